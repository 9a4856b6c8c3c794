// Application shell: loads the image, installs the console handler, starts
// the link threads and polls the sequencer until the user stops it.
#include "main.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "console.h"
#include "eth.h"
#include "fast.h"
#include "hooks.h"
#include "json.h"
#include "listen.h"
#include "machlist.h"
#include "mstate.h"
#include "news.h"
#include "options.h"
#include "outcome.h"
#include "parallel.h"
#include "plan.h"
#include "quiet.h"
#include "platform.h"
#include "report.h"
#include "rules.h"
#include "seqexec.h"
#include "serve.h"
#include "station.h"
#include "status.h"
#include "worker.h"
#include "ymodem.h"

uint8_t fw_buf[FW_BUF_SIZE];
long fw_size = 0;
char* fw_name = nullptr;
char only_explore = 0;
std::atomic<int> requestTerminate{0};

static std::atomic<int> requestExit{0};
static std::atomic<uint32_t> consoleEvent{0};  // which one, for a parallel run's workers

int ConsoleHandler(uint32_t dwType) {
    switch (dwType) {
    case 0:
        puts("ctrl-c");
        break;
    case 1:
        puts("break");
        break;
    default:
        puts("Some other event");
        break;
    }
    if (hooks.console) hooks.console(dwType);
    consoleEvent.store(dwType);
    requestExit.store(1);
    return 1;
}

void udpThread(void) {
    while (requestTerminate.load() == 0) {
        uint32_t timeout = hooks.poll_listener ? hooks.poll_listener() : PollUDP();
        fflush(stdout);
        plat_sleep_ms(timeout);
    }
}

void tcpThread(void) {
    while (requestTerminate.load() == 0) {
        uint32_t timeout = PollTCP();
        fflush(stdout);
        hooks.link_pause ? hooks.link_pause(timeout) : plat_sleep_ms(timeout);
    }
}

// Block 0 carries the path, its terminator and the size as decimal text in
// 128 bytes; a longer path would reach the machine cut short.
static bool fits_block0(const char* path, long size) {
    char size_text[24];
    int digits = snprintf(size_text, sizeof size_text, "%ld", size);
    return strlen(path) + 1 + static_cast<size_t>(digits) <= PACKET_SIZE;
}

// Loads the open image into fw_buf. An image that cannot be sent whole is
// refused before any machine is touched: returns false with `why` filled.
static bool load_image(FILE* f, const char* path, char* why, size_t why_len) {
    long size = fseek(f, 0, SEEK_END) == 0 ? ftell(f) : -1;
    if (size < 0 || fseek(f, 0, SEEK_SET) != 0) {
        snprintf(why, why_len, "cannot measure its length (%s)", strerror(errno));
        return false;
    }
    if (size > FW_BUF_SIZE) {
        snprintf(why, why_len, "%ld bytes is larger than the %d that an image may have", size, FW_BUF_SIZE);
        return false;
    }
    if (!fits_block0(path, size)) {
        snprintf(why, why_len, "the path is too long for the YMODEM header block (%zu bytes; path, size and terminator must fit in %d)",
                 strlen(path), PACKET_SIZE);
        return false;
    }
    errno = 0;
    size_t got = fread(fw_buf, 1, static_cast<size_t>(size), f);
    if (got != static_cast<size_t>(size)) {
        snprintf(why, why_len, "short read, %zu of %ld bytes (%s)", got, size,
                 errno ? strerror(errno) : "file changed while reading");
        return false;
    }
    fw_size = size;
    return true;
}

static const char kUsage[] =
    "Usage: lanflash [IMAGE]\n"
    "   or: lanflash [OPTION]... [--] [IMAGE] [OPTION]...\n"
    "Brings IMAGE (at most 1 MiB) to the first machine that announces itself on\n"
    "UDP port 11000: resets it into its boot loader over TCP port 888, sends the\n"
    "image with YMODEM and starts the new firmware. Without IMAGE, prints what the\n"
    "first machine announces and does nothing else. Stop with Ctrl-C.\n"
    "\n"
    "Options may stand before or after IMAGE; -- ends them. Any other argument that\n"
    "begins with '-' is an error: give such a file as ./NAME or after --. With\n"
    "options, so is a second IMAGE; without any, what follows IMAGE is ignored.\n"
    "  --machine ADDRESS|BLOCK\n"
    "                     act only on the machine that announces this IPv4\n"
    "                     address, or on those in this CIDR block (like\n"
    "                     10.20.0.0/24); may be repeated\n"
    "  --machines FILE    act only on the machines FILE names (- for standard\n"
    "                     input), one a line: ADDRESS, BLOCK or 'serial NUMBER';\n"
    "                     '#' begins a comment; may be repeated\n"
    "  --serial NUMBER    act only on the machine whose application announces this\n"
    "                     serial number (as the trace prints it), and on its boot\n"
    "                     loader after the reset; may be repeated. A machine that\n"
    "                     is already in its boot loader announces no serial number:\n"
    "                     find it with --machine\n"
    "  --all              update every chosen machine, each at most once, up to\n"
    "                     --jobs at a time (with IMAGE, --model is needed); without\n"
    "                     IMAGE, list every machine heard. Each address named alone\n"
    "                     and each serial number named must be heard:\n"
    "                     \"result: ADDRESS not heard\" otherwise\n"
    "  --model NAME       act only on machines of model NAME, Tavix7 or Tavix5S (any\n"
    "                     case); may be repeated. An image is for one model, so\n"
    "                     --all with IMAGE needs it\n"
    "  --jobs N           with --all: machines in progress at once, each in a\n"
    "                     process of its own; 1 to 4096, default 32. --jobs 1 updates\n"
    "                     them one after the other, with the full trace\n"
    "  --exit             end by itself once the work is done\n"
    "  --timeout SECONDS  stop waiting for the first chosen machine after SECONDS\n"
    "                     (with --all: end once SECONDS pass with no machine in\n"
    "                     progress and none new); implies --exit\n"
    "  --log-dir DIR      with --all, --jobs above 1 and IMAGE: each machine's full\n"
    "                     trace into DIR/ADDRESS.log, made anew\n"
    "  --report FILE      append to FILE one JSON line per machine as it has its\n"
    "                     result, and one summary line for the run\n"
    "  --station FILE     keep every update in SQLite file FILE; skip what it has\n"
    "  --again            with --station: update machines that have this image too\n"
    "  --serve [ADDR:]PORT  the run on a web page at http://ADDR:PORT/ (127.0.0.1)\n"
    "  --canary N         with --all: the first N machines chosen go first (1 to\n"
    "                     1000); the others begin once all N are updated, and the\n"
    "                     rollout stops if one of them is not\n"
    "  --max-failed N     with --all: the rollout stops once N machines failed or\n"
    "                     stayed unconfirmed (1 to 1000000)\n"
    "  --retries N        try an update that failed before its run command up to N\n"
    "                     more times (0 to 10, default 0), 5 s after the failure,\n"
    "                     from where the machine then is\n"
    "  --fast             pace each update by the machine's answers instead of the\n"
    "                     fixed pauses (each pause stays the longest wait); for\n"
    "                     machines that answer as soon as they are ready\n"
    "  --plan             connect to nothing: listen for --timeout seconds (else 3),\n"
    "                     then say what the run with these options would do to each\n"
    "                     machine heard or named, one line each, and end\n"
    "  -h, --help         show this text and exit\n"
    "  --version          show the version and exit\n"
    "\n"
    "With any option, a machine that is not chosen (not named, of another model, or\n"
    "in an announcement that another host sent) is traced once, with a line\n"
    "\"left alone: ADDRESS\", and never connected to, so that on a busy network the\n"
    "trace stays that of the machines acted on. An address that two boards announce\n"
    "gets no new connection, and its machine fails unless its run command went out.\n"
    "An update counts only when the machine announces its application again after\n"
    "the run command (within --timeout, else 30 s), and the run ends with one line\n"
    "per machine: \"result: ADDRESS updated\" (or failed, unconfirmed, or skipped: of\n"
    "another model, or not begun when the rollout stopped). With --all --exit, no\n"
    "--timeout and no machine named by its address or serial number (a block names\n"
    "none that way), the run ends 30 s after the last machine. With --all and --jobs\n"
    "above 1, the console shows one line per event of a machine (on a terminal, a\n"
    "live line per machine in progress below them) instead of the trace. With any\n"
    "option, Ctrl-C begins nothing new and lets the transfers under way finish;\n"
    "a second Ctrl-C abandons them, without the run command.\n"
    "\n"
    "Exit status: 0 done (or stopped, without options); 1 the image cannot be sent,\n"
    "the network cannot be used, a --machines file cannot be read, or the --report\n"
    "file or --log-dir folder cannot be written; 2 usage error; 3 a machine failed,\n"
    "stayed unconfirmed or was skipped, or (with --all) a named machine was never\n"
    "heard; 4 no chosen machine was heard in time.\n";

int main(int argc, char** argv) {
    LanflashOptions opts;
    int image = 0;
    char why[256];
    switch (ParseCommandLine(argc, argv, &opts, &image, why, sizeof why)) {
    case CL_VERSION:
        printf("lanflash %s\n", LANFLASH_VERSION);
        return 0;
    case CL_HELP:
        fputs(kUsage, stdout);
        return 0;
    case CL_USAGE_ERROR:
        fprintf(stderr, "lanflash: %s\nTry 'lanflash --help'.\n", why);
        return 2;
    case CL_RUN:
        break;
    }
    // This build may lack them (lanflash.exe): said before anything starts.
    if ((opts.station != nullptr && !StationBuilt(why, sizeof why)) || (opts.serve && !ServeBuilt(why, sizeof why))) {
        fprintf(stderr, "lanflash: %s\n", why);
        return 2;
    }
    static char list_why[4096];  // up to ten bad lines of a list, and a count
    switch (MachineListLoad(list_why, sizeof list_why)) {
    case ML_LOADED:
        break;
    case ML_BAD_LINE:
        fprintf(stderr, "lanflash: %s\nTry 'lanflash --help'.\n", list_why);
        return 2;
    case ML_UNREADABLE:
        fprintf(stderr, "lanflash: %s\n", list_why);
        return 1;
    }
    if (MachineListNamesNone()) fputs("lanflash: the machine list names no machine, so none is chosen\n", stderr);
    // A worker sends the bytes its parent loaded, whatever became of the file.
    FILE* f = image > 0 && !opts.worker ? fopen(argv[image], "rb") : nullptr;
    if (f == nullptr && image > 0 && opts.any && !opts.worker) {
        // A script asked for an update: exploring instead would end as if
        // it had succeeded.
        fprintf(stderr, "lanflash: %s: cannot open (%s)\n", argv[image], strerror(errno));
        return 1;
    }
    if (opts.worker) {
        fw_name = image > 0 ? argv[image] : nullptr;
    } else if (f == nullptr) {
        fputs("File not opened", stderr);
        only_explore = 1;
        printf("\nNo infut file switch to explore");
    } else {
        fw_name = argv[image];
        char why[256];
        bool loaded = load_image(f, fw_name, why, sizeof why);
        fclose(f);
        if (!loaded) {
            fprintf(stderr, "lanflash: %s: %s\n", fw_name, why);
            return 1;
        }
    }

    const bool parallel = ParallelRun(opts) && only_explore == 0 && !opts.plan;
    if (parallel && !ParallelStart(opts, fw_buf, fw_size, fw_name, why, sizeof why)) {
        fprintf(stderr, "lanflash: %s\n", why);
        return 1;
    }
    if (opts.report != nullptr && !ReportOpen(opts.report, why, sizeof why)) {
        fprintf(stderr, "lanflash: --report: %s\n", why);
        return 1;
    }
    // Which image a machine got, told apart from another of the same name.
    static char image_sha256[2 * PLAT_SHA256_BYTES + 1];
    if ((opts.report != nullptr || opts.station != nullptr) && only_explore == 0) {
        uint8_t digest[PLAT_SHA256_BYTES];
        if (plat_sha256(fw_buf, static_cast<size_t>(fw_size), digest, why, sizeof why) != 0) {
            fprintf(stderr, "lanflash: %s: %s\n", opts.report != nullptr ? "--report" : "--station", why);
            return 1;
        }
        Sha256Hex(digest, image_sha256);
        ReportImage(fw_name, fw_size, image_sha256);
    }
    int interrupted = 0;
    if (opts.station != nullptr &&
        !StationOpen(opts.station, fw_name, fw_size, image_sha256, LANFLASH_VERSION, &interrupted, why, sizeof why)) {
        fprintf(stderr, "lanflash: --station: %s: %s\n", opts.station, why);
        return 1;
    }
    if (interrupted > 0)
        fprintf(stderr, "lanflash: --station: %s: %d update%s left in progress by a run that ended abruptly, now interrupted\n",
                opts.station, interrupted, interrupted == 1 ? "" : "s");
    if (opts.serve && !ServeOpen(opts.serve_addr, opts.serve_port, why, sizeof why)) {
        fprintf(stderr, "lanflash: --serve: %s\n", why);
        StationEnd(1);
        return 1;
    }
    // What the options add fills the design's slots, before any thread
    // starts: the rules and what carries them out, or a worker's channel.
    bool serving = false;  // the page's thread starts with the others
    if (opts.worker) {
        WorkerStart(ConsoleHandler, fw_buf, FW_BUF_SIZE, &fw_size, opts.models);
        SeqExecStart(WorkerDriver());
    } else if (opts.plan) {
        RulesStart(opts, only_explore == 1, fw_size);
        // A plan tells what the station's record would leave alone.
        if (StationOn() && !opts.again) RulesAskHasImage(StationHasImage);
        PlanStart();
        hooks.poll_listener = ListenPoll;
    } else if (opts.any) {
        RulesStart(opts, only_explore == 1, fw_size);
        ConsoleStart(parallel);
        if (ReportOn()) NewsWatch(ReportNews);
        if (StationOn()) NewsWatch(StationNews);
        if (StationOn() && !opts.again) RulesAskHasImage(StationHasImage);
        if (opts.serve) {
            StatusStart(opts, only_explore == 0 ? fw_name : nullptr, fw_size, image_sha256[0] ? image_sha256 : nullptr,
                        LANFLASH_VERSION, RunStartedUtcMs());
            NewsWatch(StatusNews);
            serving = true;
        }
        if (!parallel) SeqExecStart(SeqExecRules());
        hooks.poll_listener = ListenPoll;
    }
    // The waits block on news: --fast's, else the quiet ones of any option.
    if (opts.fast) {
        FastStart(parallel);
    } else if (opts.any) {
        QuietStart(parallel);
    }
    listen_news = QuietPostMain;
    worker_news = QuietPostMain;

    // Its thread starts after every slot is filled, and before any other
    // thread, which then leaves the console's signals to it. A worker hears
    // of console events from its parent; where it has no console to hook
    // (Windows), that is all it needs.
    if (plat_install_console_handler(ConsoleHandler) != 0 && !opts.worker) {
        fputs("Unable to install handler!\n", stderr);
        return 1;
    }
    if (serving) ServeStart(StationOn() ? StationToday : nullptr);

    // Told now, not as a silent end: a port another program holds.
    if (opts.any && !opts.worker && !ListenOpen(why, sizeof why)) {
        fprintf(stderr, "lanflash: %s\n", why);
        const int counts[kReportCounts] = {};
        ReportSummary(counts, only_explore == 1, 1, RunStartedUtcMs(), plat_utc_ms(), LANFLASH_VERSION);
        StationEnd(1);
        return 1;
    }

    plat_start_thread(udpThread);
    if (!parallel && !opts.plan) plat_start_thread(tcpThread);

    while (requestTerminate.load() == 0) {
        const bool stop = requestExit.load() == 1;
        if (hooks.run_ends ? hooks.run_ends(stop) : stop) requestTerminate.store(1);
        uint32_t timeout;
        if (hooks.poll_instead) {
            timeout = hooks.poll_instead(stop ? static_cast<int>(consoleEvent.load()) : -1);
        } else {
            if (hooks.before_poll) hooks.before_poll(requestTerminate.load() != 0);
            timeout = PollMState();
            if (hooks.pace) timeout = hooks.pace(timeout);
        }
        if (hooks.main_pause) {
            // The run's last passes need no pause.
            hooks.main_pause(timeout, requestTerminate.load() != 0 || (hooks.run_ends && hooks.run_ends(false)));
        } else if (timeout != 0) {
            plat_sleep_ms(timeout);
        }
        fflush(stdout);
    }
    int status = 0;
    if (opts.plan) {
        status = PlanEnd(LANFLASH_VERSION);
    } else if (opts.any && !opts.worker) {
        if (parallel) ParallelEnd();
        OutcomeEnd();
        ConsoleResults(!parallel);
        status = RunExitStatus();
        // The network stopped working: the run ended early, and says why.
        if (const char* failed = ListenFailed()) {
            fprintf(stderr, "lanflash: %s\n", failed);
            status = 1;
        }
        int counts[kReportCounts];
        RunCounts(counts);
        ReportSummary(counts, only_explore == 1, status, RunStartedUtcMs(), plat_utc_ms(), LANFLASH_VERSION);
        StationEnd(status);
    }
    puts("end");
    return status;
}
