// Command-line options: which machines to act on, whether to update all of
// them, and when to end by itself. Without options lanflash behaves as it
// always has.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t kDefaultJobs = 32;
constexpr uint32_t kMaxJobs = 4096;
constexpr uint32_t kMaxRetries = 10;
constexpr uint32_t kMaxCanary = 1000;
constexpr uint32_t kMaxFailedLimit = 1000000;

struct LanflashOptions {
    bool any = false;  // at least one of the options below was given
    bool all = false;
    bool exit = false;
    uint32_t timeout_s = 0;  // 0: none given
    uint32_t jobs = kDefaultJobs;  // machines in progress at once, with --all
    const char* log_dir = nullptr;
    const char* report = nullptr;
    bool fast = false;  // paced by the machine's answers
    uint32_t retries = 0;  // more tries for an update that failed before its run command
    uint8_t models = 0;    // --model: a set of (1 << Model); 0: any model
    uint32_t canary = 0;   // --canary: machines that go first; 0: none
    uint32_t max_failed = 0;  // --max-failed: failures that stop the rollout; 0: no limit
    bool plan = false;        // --plan: listen, say what the run would do, connect to nothing
    const char* station = nullptr;  // --station: the database of every update
    bool again = false;             // --again: update machines the station says have the image
    bool serve = false;             // --serve: the status page
    uint32_t serve_addr = 0;        // its address, network byte order (loopback unless given)
    uint16_t serve_port = 0;
    // This process runs one machine for a parallel run's parent: its
    // announcements come on standard input, its progress goes to stderr.
    bool worker = false;
};

// More than one machine at a time: each in a worker process of its own.
inline bool ParallelRun(const LanflashOptions& o) { return o.all && o.jobs > 1 && !o.worker; }

enum CommandLine { CL_RUN, CL_HELP, CL_VERSION, CL_USAGE_ERROR };

// Reads argv. CL_RUN fills *opts and *image (argv's index of IMAGE, or 0
// when there is none) and the machine list (machlist.h), anew, whose files
// MachineListLoad reads later; CL_USAGE_ERROR writes one line, without
// newline, to why. An argument that begins with '-' must be one of ours
// (or "--", which ends them): a typo must not turn into an image path and a
// run without end. Options may stand before or after IMAGE; on a line
// with none, what follows IMAGE is ignored.
CommandLine ParseCommandLine(int argc, char** argv, LanflashOptions* opts, int* image, char* why,
                             size_t why_len);
