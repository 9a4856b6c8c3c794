// The parent of a parallel run. Each machine's try runs in a worker: this
// program with --worker --machine ADDRESS, whose sequencer, link and
// YMODEM sender keep their one machine in module variables, so a process
// per machine runs them side by side. The parent holds the rules: it hands
// each worker its machine's datagrams with what to do with them, and feeds
// the rules what the workers did.
#include "parallel.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "addrmap.h"
#include "announce.h"
#include "console.h"
#include "display.h"
#include "hooks.h"
#include "listen.h"
#include "model.h"
#include "outcome.h"
#include "platform.h"
#include "rules.h"
#include "text.h"
#include "wire.h"

namespace {

// Workers are read, fed and started this often; the design's own waits
// are 10 ms and more, so nothing here polls faster than the design does.
constexpr uint32_t kPollMs = 20;
// Room for "/255.255.255.255.log" behind it in a path buffer of kLogPathBytes.
constexpr size_t kLogPathBytes = 1024;
constexpr size_t kMaxLogDirBytes = kLogPathBytes - 32;
// A worker's standard error holds its events (a few dozen bytes each) and
// lines of text; a line longer than this is passed on in pieces.
constexpr size_t kJobInputBytes = 512;
// Workers start at most this many a poll, 500 a second: a thousand machines
// begin within two seconds, and their first connections and resets are
// spread over them rather than one burst that a switch, or this computer
// forking a thousand processes, would have to absorb at once.
constexpr int kStartsPerPoll = 10;
// Descriptors besides two per worker: the sockets, the report, the log.
constexpr uint64_t kOtherFiles = 64;

struct Job {
    bool running;
    int machine;
    plat_child child;
    uint64_t started_ms;
    uint32_t halt_sent;  // the reason its path was told to end with, REASON_NONE before
    bool end_sent;
    uint32_t image_sent;  // bytes of the image it has; its datagrams wait for the rest
    bool has_first;
    WireDatagram first;   // the newest datagram handed while the image went out
    char in[kJobInputBytes];  // its standard error, not yet read through
    size_t in_len;
};

LanflashOptions opts;
Array<Job> jobs;    // --jobs places, allocated at the start
Array<int> job_of;  // per machine of the table: the place of its worker, -1 for none
int running = 0;
int starts = 0;     // workers started in this poll
bool stopping = false;
bool abandoning = false;
std::atomic<int> presses{0};  // console thread counts, main thread reads
AddrMap logged;  // addresses whose log this run began: a later worker adds to it
const char* image_path = nullptr;  // as typed: block 0 carries it
const uint8_t* image = nullptr;    // as loaded here: every worker sends these bytes
uint32_t image_bytes = 0;

const char* ConsoleEventText(int type) { return type == 0 ? "ctrl-c" : type == 1 ? "break" : "Some other event"; }

void Console(uint32_t) { presses.fetch_add(1, std::memory_order_acq_rel); }

// 0 when sent, 1 when the pipe is full, -1 when the worker is gone.
int Send(Job& job, uint32_t type, const void* payload, uint32_t len) {
    char out[kWireMaxBytes];
    const int sent = plat_child_write(&job.child, out, WireEncode(type, payload, len, out));
    // A full pipe drops a datagram, which comes again within a second; the
    // others are sent again until they go (halt_sent, end_sent).
    if (sent != 0 && type == WIRE_HALT) job.halt_sent = REASON_NONE;
    if (sent != 0 && type == WIRE_END) job.end_sent = false;
    return sent;
}

// As much of the image as its pipe takes now, then the datagram it begins on.
void FeedImage(Job& job) {
    while (job.image_sent < image_bytes) {
        uint32_t n = image_bytes - job.image_sent;
        if (n > kWireMaxPayloadBytes) n = static_cast<uint32_t>(kWireMaxPayloadBytes);
        if (Send(job, WIRE_IMAGE_DATA, image + job.image_sent, n) != 0) return;
        job.image_sent += n;
    }
    // One that begins a path waits for room in the pipe: its machine would
    // otherwise wait ten seconds for another chance. One the worker only
    // traces is dropped when there is none; the next comes within a second.
    if (job.has_first && (Send(job, WIRE_DATAGRAM, &job.first, sizeof job.first) == 0 || job.first.action <= 0))
        job.has_first = false;
}

void Hand(Job& job, const Arrival& a, int action) {
    if (job.has_first && job.first.action > 0 && action <= 0) return;  // it stays the one to send
    job.first.action = action;
    job.first.a = a;
    job.has_first = true;
    FeedImage(job);
}

Job* JobOf(int machine) {
    if (machine < 0 || static_cast<size_t>(machine) >= job_of.count || job_of[static_cast<size_t>(machine)] < 0)
        return nullptr;
    return &jobs[static_cast<size_t>(job_of[static_cast<size_t>(machine)])];
}

void SetJobOf(int machine, int place) {
    while (job_of.count <= static_cast<size_t>(machine))
        if (!Push(job_of, -1)) return;
    job_of[static_cast<size_t>(machine)] = place;
}

// A worker for the machine that begins a path now, handed the datagram it
// begins on.
void Start(int machine, const Arrival& a, int action, uint64_t now) {
    Job* job = nullptr;
    for (size_t k = 0; k < jobs.count && job == nullptr; ++k)
        if (!jobs[k].running) job = &jobs[k];
    const uint32_t addr = RulesMachine(machine).rec.addr;
    char address[16], log[kLogPathBytes], why[256];
    DottedQuad(addr, address);
    const char* args[12];
    int n = 0;
    args[n++] = "--worker";
    if (opts.fast) args[n++] = "--fast";
    // The worker holds to the models too: it never sends to another one.
    static const Model kModels[] = {MODEL_T7, MODEL_T5S};
    for (Model model : kModels) {
        if (opts.models == kAnyModel || !ModelWanted(opts.models, model)) continue;
        args[n++] = "--model";
        args[n++] = ModelText(model);
    }
    args[n++] = "--machine";
    args[n++] = address;
    args[n++] = "--";
    args[n++] = image_path;
    if (opts.log_dir != nullptr) snprintf(log, sizeof log, "%s/%s.log", opts.log_dir, address);
    const bool again = AddrMapGet(&logged, addr) >= 0;
    if (job == nullptr ||
        plat_spawn_self(args, n, opts.log_dir != nullptr ? log : nullptr, again, &job->child, why, sizeof why) != 0) {
        DisplayEvent(addr, "cannot start its worker: %s", job == nullptr ? "no job is free" : why);
        RulesEvent(machine, ExecEvent{EX_GONE, 0, 0, -1, now, 0, 0});
        return;
    }
    (void)AddrMapPut(&logged, addr, 1);
    SetJobOf(machine, static_cast<int>(job - jobs.items));
    ++starts;
    job->running = true;
    job->machine = machine;
    job->started_ms = now;
    job->halt_sent = REASON_NONE;
    job->end_sent = job->has_first = false;
    job->image_sent = 0;
    job->in_len = 0;
    ++running;
    Send(*job, WIRE_IMAGE, &image_bytes, sizeof image_bytes);
    Hand(*job, a, action);
}

// Everything that waits for a judgment: a datagram that begins a path
// starts a worker, one of a machine with a worker goes to it.
void TakeAll(uint64_t now) {
    Taken t;
    while (RulesTake(running < static_cast<int>(opts.jobs) && starts < kStartsPerPoll && !RunFinished(), &t)) {
        int machine = -1;
        const int action = RulesChoose(t, &machine);
        if (machine < 0) continue;
        Job* job = JobOf(machine);
        // Until it is told to end, a worker traces its machine's datagrams,
        // the confirming one among them.
        if (job != nullptr) {
            if (!job->end_sent) Hand(*job, t.a, action);
        } else if (action == 1 || action == 2) {
            Start(machine, t.a, action, now);
        }
    }
}

// One record or text line at the start of the job's input; false when
// what is there is not whole yet.
bool ReadOne(Job& job, bool closed) {
    WireHeader h;
    const long whole = WireDecode(job.in, job.in_len, &h);
    size_t used = 0;
    if (whole > 0) {
        ExecEvent e;
        if (h.type == WIRE_EVENT && h.len == sizeof e) {
            memcpy(&e, job.in + 1 + sizeof h, sizeof e);
            RulesEvent(job.machine, e);
        }
        used = static_cast<size_t>(whole);
    } else if (whole == 0 && !closed) {
        return false;
    } else {
        // Text: its messages, a sanitizer's report. Passed on as it is.
        const char* nl = static_cast<const char*>(memchr(job.in, '\n', job.in_len));
        if (nl == nullptr && !closed && job.in_len < sizeof job.in) return false;
        used = nl != nullptr ? static_cast<size_t>(nl - job.in) + 1 : job.in_len;
        fprintf(stderr, "%.*s%s", static_cast<int>(used), job.in, nl != nullptr ? "" : "\n");
    }
    memmove(job.in, job.in + used, job.in_len - used);
    job.in_len -= used;
    return true;
}

// False once the worker has closed its end.
bool Drain(Job& job) {
    for (;;) {
        const int n = plat_child_read(&job.child, job.in + job.in_len, sizeof job.in - job.in_len);
        if (n > 0) job.in_len += static_cast<size_t>(n);
        while (job.in_len > 0 && ReadOne(job, n < 0)) {
        }
        if (n <= 0) return n == 0;
    }
}

void Reap(Job& job, bool input_closed) {
    int status = 0;
    if (!input_closed || plat_child_reap(&job.child, &status, false) == 0) return;
    job.running = false;
    SetJobOf(job.machine, -1);
    --running;
    if (RulesInTry(job.machine) && !stopping) {
        DisplayEvent(RulesMachine(job.machine).rec.addr, "its worker ended without a result (status %d)", status);
        RulesEvent(job.machine, ExecEvent{EX_GONE, 0, 0, -1, plat_now_ms(), 0, 0});
    }
}

// What the workers wrote, and which of them ended: one look at all, then
// a read of those that have something.
void ReadWorkers(void) {
    static Array<const plat_child*> children;
    static Array<Job*> of;
    static Array<bool> ready;
    children.count = of.count = 0;
    for (Job& job : jobs) {
        if (!job.running) continue;
        FeedImage(job);
        if (!Push(children, static_cast<const plat_child*>(&job.child)) || !Push(of, &job)) return;
    }
    if (!Reserve(ready, children.count)) return;
    if (plat_children_ready(children.items, static_cast<int>(children.count), ready.items) != 0) {
        for (size_t k = 0; k < children.count; ++k) ready[k] = true;  // look at each, then
    }
    for (size_t k = 0; k < children.count; ++k)
        if (ready[k]) Reap(*of[k], !Drain(*of[k]));
}

// A step that waits for the machine: a connection, a reply, its boot
// loader's or its application's announcement.
bool Awaits(Step step) {
    return step == STEP_RESETTING || step == STEP_BOOT_LOADER || step == STEP_TRANSFER || step == STEP_RESTARTING ||
           step == STEP_CONFIRMING;
}

// The live block: the counts, a line per machine in progress, and what the
// run waits for.
void ShowBlock(uint64_t now) {
    constexpr uint64_t kSilentAfterMs = 5000;  // more than a machine's pause between announcements
    static DisplayRow rows[kMaxDisplayRows];
    if (!DisplayLive()) return;
    int count = 0, done = 0, waiting = 0, updated = 0;
    for (int i = 0; i < RulesMachineCount(); ++i) {
        const Machine& m = RulesMachine(i);
        done += IsFinal(m.phase) ? 1 : 0;
        updated += m.phase == UPDATED ? 1 : 0;
        waiting += m.phase == WAITING || m.phase == RETRYING ? 1 : 0;
    }
    for (const Job& job : jobs) {
        if (!job.running || count == kMaxDisplayRows) continue;
        const Machine& m = RulesMachine(job.machine);
        const bool blocks = m.step == STEP_TRANSFER || m.step == STEP_STARTING || m.step == STEP_CONFIRMING;
        const uint64_t silent = Awaits(m.step) && now > m.step_ms + kSilentAfterMs ? (now - m.step_ms) / 1000 : 0;
        rows[count++] = DisplayRow{m.rec.addr, StepName(m.step), m.blocks_acked, blocks ? RulesDataBlocks() : 0,
                                   job.started_ms, static_cast<uint32_t>(silent)};
    }
    char header[128], waits[128];
    snprintf(header, sizeof header, "done %d (%d updated), in progress %d, waiting %d, left alone %d", done, updated,
             running, waiting, RulesLeftAloneCount());
    DisplayRows(header, rows, count, now, RunWaitText(now, waits, sizeof waits) ? waits : nullptr);
}

// Main loop, instead of the sequencer; console_event is -1 until the user
// asks to stop. The delay before the next call.
uint32_t PollParallel(int console_event) {
    const uint64_t now = plat_now_ms();
    // A stop: no machine begins a new step, and the transfers under way
    // finish (their workers go on reading their machines); asked again,
    // they are abandoned. A listener that failed stops the run as well.
    const int asked = presses.load(std::memory_order_acquire);
    if ((asked >= 1 || ListenFailed() != nullptr) && !stopping) {
        stopping = true;
        if (console_event >= 0) DisplayForeignLine(ConsoleEventText(console_event));
        RulesStop();
        char line[96];
        const int under_way = RulesTransfersUnderWay();
        ConsoleStoppingText(under_way, line, sizeof line);
        if (under_way > 0) DisplayLine(line);
    }
    if (asked >= 2 && !abandoning) {
        abandoning = true;
        RulesAbandon();
    }
    Arrival a;
    while (ListenTake(&a)) RulesHeard(a);
    starts = 0;
    TakeAll(now);
    ReadWorkers();
    RulesTick();
    for (Job& job : jobs) {
        if (!job.running) continue;
        const uint32_t halt = RulesHalt(job.machine);
        if (halt != REASON_NONE && halt != job.halt_sent) {
            job.halt_sent = halt;
            Send(job, WIRE_HALT, &halt, sizeof halt);
        }
        // Its try is over; once the run stops, also one waiting to confirm.
        const bool over = !RulesInTry(job.machine) || (stopping && !RulesUnderWay(job.machine) && halt == REASON_NONE);
        if (over && !job.end_sent) {
            job.end_sent = true;
            Send(job, WIRE_END, nullptr, 0);
        }
    }
    ShowBlock(now);
    return kPollMs;
}

// Once every worker has ended and nothing more will start; a stopped run
// still hears the machines that had their run command, unless asked again.
bool RunEnds(bool) {
    return (RunFinished() || (stopping && (abandoning || !RulesAwaiting()))) && running == 0;
}

}  // namespace

bool ParallelStart(const LanflashOptions& o, const uint8_t* bytes, long size, const char* path, char* why,
                   size_t why_len) {
    opts = o;
    image_path = path;
    image = bytes;
    image_bytes = static_cast<uint32_t>(size);
    // Two pipes a worker: too few descriptors is told now, not as workers
    // that fail to start one by one.
    const uint64_t wanted = 2 * static_cast<uint64_t>(opts.jobs) + kOtherFiles;
    const uint64_t allowed = plat_raise_open_files(wanted);
    if (allowed < wanted) {
        const uint64_t most = allowed > kOtherFiles ? (allowed - kOtherFiles) / 2 : 0;
        snprintf(why, why_len,
                 "--jobs %u needs %llu open files, and this system allows %llu (ulimit -n): give --jobs %llu or fewer",
                 static_cast<unsigned>(opts.jobs), static_cast<unsigned long long>(wanted),
                 static_cast<unsigned long long>(allowed), static_cast<unsigned long long>(most));
        return false;
    }
    if (!Reserve(jobs, opts.jobs)) {
        snprintf(why, why_len, "out of memory for %u jobs", static_cast<unsigned>(opts.jobs));
        return false;
    }
    jobs.count = opts.jobs;
    for (Job& job : jobs) job.running = false;
    hooks.poll_instead = PollParallel;
    hooks.run_ends = RunEnds;
    hooks.console = Console;
    DisplayStart();
    if (opts.log_dir == nullptr) return true;
    if (strlen(opts.log_dir) > kMaxLogDirBytes) {
        snprintf(why, why_len, "--log-dir: the path is longer than %zu bytes", kMaxLogDirBytes);
        return false;
    }
    if (plat_make_dir(opts.log_dir) != 0) {
        snprintf(why, why_len, "--log-dir: cannot make %s", opts.log_dir);
        return false;
    }
    // Made and removed at once: a folder that takes no files is found now,
    // not when the first machine is under way.
    char probe[kLogPathBytes];
    snprintf(probe, sizeof probe, "%s/.lanflash-probe", opts.log_dir);
    FILE* f = fopen(probe, "wb");
    if (f == nullptr) {
        snprintf(why, why_len, "--log-dir: cannot write in %s", opts.log_dir);
        return false;
    }
    fclose(f);
    remove(probe);
    return true;
}

void ParallelEnd(void) { DisplayEnd(); }
