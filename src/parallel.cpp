// The parent of a parallel run. Each machine's worker is this program with
// --worker --machine ADDRESS --exit: the sequencer, the link and the YMODEM
// sender keep their one machine in module variables, so a process per
// machine runs them side by side without a change.
#include "parallel.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "addrmap.h"
#include "display.h"
#include "eth.h"
#include "conflict.h"
#include "fleet_choose.h"
#include "fleet_queue.h"
#include "fleet_rules.h"
#include "model.h"
#include "hooks.h"
#include "mstate.h"
#include "platform.h"
#include "text.h"
#include "worker.h"
#include "ymodem.h"

namespace {

// Workers are read, fed and started this often; the design's own waits
// are 10 ms and more, so nothing here polls faster than the design does.
constexpr uint32_t kPollMs = 20;
constexpr int kDeciles = 10;
// Room for "/255.255.255.255.log" behind it in a path buffer of kLogPathBytes.
constexpr size_t kLogPathBytes = 1024;
constexpr size_t kMaxLogDirBytes = kLogPathBytes - 32;

struct Pending {
    Arrival a;  // len 0: none
    int kind;
};

struct Job {
    bool running;
    bool got_record;
    int machine;
    plat_child child;
    uint64_t started_ms;
    const char* phase;
    uint32_t blocks_done, blocks_total;
    uint32_t decile;
    char line[kWorkerEventBytes];
    int line_len;
};

LanflashOptions opts;
// Per machine of the table, the newest datagram while it waits for a job;
// only machines that wait have one.
Pending** pending = nullptr;
int pending_slots = 0;
Job jobs[kMaxJobs];
int running = 0;
bool stopping = false;
AddrMap left_alone;  // addresses (or sender and address) told that they are left alone, so that it is said once
AddrMap logged;      // addresses whose log this run began: a later worker adds to it
const char* image_path = nullptr;  // as typed: every worker loads it itself
long image_bytes = 0;
uint16_t image_crc = 0;  // of the image as loaded here, for every worker to compare

const char* ConsoleEventText(int type) { return type == 0 ? "ctrl-c" : type == 1 ? "break" : "Some other event"; }

// True the first time for this key: the line is said once.
bool FirstLeftAlone(uint64_t key) {
    if (AddrMapGet(&left_alone, key) >= 0) return false;
    (void)AddrMapPut(&left_alone, key, 1);
    return true;
}

// The machine's waiting datagram, made when missing; nullptr when no memory is left.
Pending* PendingOf(int machine) {
    if (machine >= pending_slots) {
        int slots = pending_slots == 0 ? 64 : pending_slots;
        while (slots <= machine) slots *= 2;
        Pending** grown = static_cast<Pending**>(realloc(pending, static_cast<size_t>(slots) * sizeof *pending));
        if (grown == nullptr) return nullptr;
        for (int i = pending_slots; i < slots; ++i) grown[i] = nullptr;
        pending = grown;
        pending_slots = slots;
    }
    if (pending[machine] == nullptr) {
        pending[machine] = static_cast<Pending*>(calloc(1, sizeof(Pending)));
    }
    return pending[machine];
}

bool HasPending(int machine) {
    return machine < pending_slots && pending[machine] != nullptr && pending[machine]->a.len > 0;
}

// The machine's waiting datagram, now the caller's to free.
Pending* TakePending(int machine) {
    Pending* p = pending[machine];
    pending[machine] = nullptr;
    return p;
}

// "Tavix7 No: 1001", or a boot loader's name: for the console.
void Describe(const char* data, int kind, uint32_t serial, char* out, int cap) {
    char printable[BUF_SIZE];
    DisplayPrintable(data + kNameOffset, NameFieldLength(data), printable, sizeof printable);
    if (kind == kAppKind) {
        snprintf(out, static_cast<size_t>(cap), "%.64s No: %" PRIu32, printable, serial);
    } else {
        snprintf(out, static_cast<size_t>(cap), "%.64s (boot loader)", printable);
    }
}

void Send(Job& job, const Arrival& a) {
    char wire[kWorkerWireMaxBytes];
    const size_t n = WorkerWireDatagram(wire, a);
    // A full pipe drops this one: the machine announces again within a second.
    (void)plat_child_write(&job.child, wire, n);
}

Job* JobOf(int machine) {
    for (Job& job : jobs)
        if (job.running && job.machine == machine) return &job;
    return nullptr;
}

// One datagram from the listener: chosen machines are remembered or
// handed to their worker, the others are left alone, once said.
void Route(const Arrival& a) {
    const char* data = a.data;
    uint32_t addr;
    if (!ArrivalAddress(a, &addr)) return;
    int name_len = 0;
    const int kind = MatchName(data + kNameOffset, &name_len);
    if (kind == -1) return;
    const uint32_t serial = kind == kAppKind ? ReadSerial(data, name_len) : 0;
    char about[128], sender[16];
    // Any host can send what looks like an announcement; only the machine
    // itself is believed, and the claim does not count as hearing it.
    if (a.from != 0 && a.from != addr) {
        if (FirstLeftAlone(AddrPair(a.from, addr))) DisplayEvent(addr, "left alone, sent from %s", DottedQuad(a.from, sender));
        return;
    }
    FleetHeardFrom(addr, a.first_arrived_ms);
    if (a.conflict) (void)FleetConflict(addr, a.macs[0], a.macs[1], -1);
    Heard how = HEARD_KNOWN;
    // Asked every time: a boot loader left alone may announce a chosen
    // serial number once it runs its application, and a board swapped in may be chosen.
    const int i = FleetHeard(addr, kind, serial, data + kNameOffset, NameFieldLength(data), &how);
    if (i < 0) {
        if (!FirstLeftAlone(addr)) return;
        Describe(data, kind, serial, about, sizeof about);
        if (how == HEARD_OTHER_MODEL) {
            DisplayEvent(addr, "left alone (model %s), %s", ModelText(ModelOfName(data + kNameOffset, name_len)), about);
        } else {
            DisplayEvent(addr, "left alone, %s", about);
        }
        return;
    }
    if (how == HEARD_ADDED) {
        Describe(data, kind, serial, about, sizeof about);
        const MachineRecord& r = TableMachine(i).rec;
        if (FleetSlotOf(i) == SLOT_DONE) {
            DisplayEvent(addr, "%s (%s), %s", ResultText(r.result), ReasonText(r.reason), about);
        } else {
            DisplayEvent(addr, "chosen, %s", about);
        }
    }
    switch (FleetSlotOf(i)) {
    case SLOT_WAITING: {
        if (!FleetMayStart(i, a.arrived_ms)) break;
        Pending* kept = PendingOf(i);
        if (kept == nullptr) break;
        ArrivalMerge(kept->a, a);
        kept->kind = kind;
        break;
    }
    case SLOT_WORKING:
        if (Job* job = JobOf(i)) Send(*job, a);
        break;
    case SLOT_DONE:
        break;
    }
}

void Fail(int machine, RecordReason reason) {
    MachineRecord r;
    r.result = RESULT_FAILED;
    r.reason = reason;
    r.started_utc_ms = r.finished_utc_ms = plat_utc_ms();
    FleetConclude(machine, r, !stopping);
}

void Start(int machine, uint64_t now) {
    Job* job = nullptr;
    for (Job& j : jobs)
        if (!j.running) {
            job = &j;
            break;
        }
    if (job == nullptr) return;
    const uint32_t addr = FleetAddressOf(machine);
    char address[16], timeout[16], log[kLogPathBytes];
    DottedQuad(addr, address);
    snprintf(timeout, sizeof timeout, "%u", static_cast<unsigned>(opts.timeout_s));
    const char* args[14];
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
    args[n++] = "--exit";
    if (opts.timeout_s != 0) {
        args[n++] = "--timeout";
        args[n++] = timeout;
    }
    args[n++] = "--";
    args[n++] = image_path;
    if (opts.log_dir != nullptr) snprintf(log, sizeof log, "%s/%s.log", opts.log_dir, address);
    // Counted before the start, so that a worker that cannot start still
    // uses up a try.
    char retry[96];
    if (FleetWorking(machine, retry, sizeof retry)) DisplayEvent(addr, "%s", retry);
    Pending* p = TakePending(machine);
    const bool again = AddrMapGet(&logged, addr) >= 0;
    char why[256];
    if (plat_spawn_self(args, n, opts.log_dir != nullptr ? log : nullptr, again, &job->child, why, sizeof why) != 0) {
        DisplayEvent(addr, "cannot start its worker: %s", why);
        free(p);
        Fail(machine, REASON_WORKER_FAILED);
        return;
    }
    (void)AddrMapPut(&logged, addr, 1);
    *job = Job{true, false, machine, job->child, now, "", 0, 0, 0, {}, 0};
    job->phase = p->kind == kAppKind ? "resetting" : "boot loader";
    ++running;
    char wire[kWorkerWireMaxBytes];
    (void)plat_child_write(&job->child, wire, WorkerWireImage(wire, image_crc, static_cast<uint32_t>(image_bytes)));
    Send(*job, p->a);
    free(p);
}

const char* StepText(int news) {
    switch (news) {
    case TN_FAILED_BLOCK0:
        return "block 0";
    case TN_FAILED_EOT:
        return "end of file";
    case TN_FAILED_CLOSING:
        return "closing block";
    default:
        return "data block";
    }
}

// One event line of a worker, without its mark.
void Event(Job& job, const char* line) {
    const uint32_t addr = FleetAddressOf(job.machine);
    char word[16] = "";
    int used = 0;
    if (sscanf(line, "%15s%n", word, &used) != 1) return;
    const char* rest = line + used;
    unsigned a = 0;
    long long ms = 0;
    int news = 0, answer = 0;
    if (strcmp(word, "reset") == 0) {
        job.phase = "restarting";
        DisplayEvent(addr, "reset sent");
    } else if (strcmp(word, "boot") == 0) {
        job.phase = "boot loader";
        DisplayEvent(addr, "boot loader heard");
    } else if (strcmp(word, "transfer") == 0 && sscanf(rest, "%lld %u", &ms, &a) == 2) {
        job.phase = "transfer";
        job.blocks_total = a;
        DisplayEvent(addr, "transfer started, %lld bytes in %u blocks", ms, a);
    } else if (strcmp(word, "acked") == 0 && sscanf(rest, "%u", &a) == 1) {
        job.blocks_done = a;
        const uint32_t decile = job.blocks_total ? a * kDeciles / job.blocks_total : 0;
        if (decile > job.decile && decile < kDeciles)
            DisplayEvent(addr, "%u%% (%u of %u blocks)", static_cast<unsigned>(decile * 10), a,
                         static_cast<unsigned>(job.blocks_total));
        if (decile > job.decile) job.decile = decile;
    } else if (strcmp(word, "done") == 0 && sscanf(rest, "%lld %u", &ms, &a) == 2) {
        job.phase = "starting";
        DisplayEvent(addr, "transfer done in %.1f s, %u blocks sent again", static_cast<double>(ms) / 1000.0, a);
    } else if (strcmp(word, "failed") == 0 && sscanf(rest, "%d %u %d", &news, &a, &answer) == 3) {
        job.phase = "failed";
        char last[16];
        snprintf(last, sizeof last, answer < 0 ? "none" : "0x%02X", static_cast<unsigned>(answer));
        if (news == TN_FAILED_DATA) {
            DisplayEvent(addr, "transfer failed: data block %u not acknowledged in 10 tries (last answer: %s)", a, last);
        } else {
            DisplayEvent(addr, "transfer failed: %s not acknowledged (last answer: %s)", StepText(news), last);
        }
    } else if (strcmp(word, "run") == 0) {
        job.phase = "confirming";
        DisplayEvent(addr, "run command sent");
    } else if (strcmp(word, "confirmed") == 0 && sscanf(rest, "%lld", &ms) == 1) {
        DisplayEvent(addr, "confirmed, application heard %.1f s after the run command", static_cast<double>(ms) / 1000.0);
    } else if (strcmp(word, "unconfirmed") == 0 && sscanf(rest, "%u", &a) == 1) {
        DisplayEvent(addr, "not confirmed, application not heard within %u s", a);
    } else if (strcmp(word, "noconnect") == 0 && sscanf(rest, "%u", &a) == 1) {
        DisplayEvent(addr, "no connection for %u s, given up", a);
    } else if (strcmp(word, "noboot") == 0 && sscanf(rest, "%u", &a) == 1) {
        DisplayEvent(addr, "boot loader not heard within %u s of the reset", a);
    } else if (strcmp(word, "record") == 0) {
        MachineRecord r;
        if (!job.got_record && WorkerParseRecord(rest, &r)) {
            job.got_record = true;
            FleetConclude(job.machine, r, !stopping);
        }
    }
}

// A worker's standard error: marked lines are events, the rest (its
// messages, a sanitizer's report) goes on to ours.
void Line(Job& job) {
    job.line[job.line_len] = '\0';
    if (job.line_len > 0 && job.line[job.line_len - 1] == '\r') job.line[--job.line_len] = '\0';
    if (job.line[0] == kWorkerMark) {
        Event(job, job.line + 1);
    } else {
        fprintf(stderr, "%s\n", job.line);
    }
    job.line_len = 0;
}

// False once the worker has closed its end.
bool Drain(Job& job) {
    char buf[4096];
    for (;;) {
        const int n = plat_child_read(&job.child, buf, sizeof buf);
        if (n == 0) return true;
        if (n < 0) {
            if (job.line_len > 0) Line(job);
            return false;
        }
        for (int k = 0; k < n; ++k) {
            if (buf[k] == '\n') {
                Line(job);
            } else if (job.line_len < static_cast<int>(kWorkerEventBytes) - 1) {
                job.line[job.line_len++] = buf[k];
            }
        }
    }
}

void Reap(Job& job, bool input_closed) {
    int status = 0;
    if (!input_closed || plat_child_reap(&job.child, &status, false) == 0) return;
    job.running = false;
    --running;
    if (!job.got_record) {
        DisplayEvent(FleetAddressOf(job.machine), "its worker ended without a result (status %d)", status);
        Fail(job.machine, REASON_WORKER_FAILED);
    }
}

// Main loop, instead of the sequencer; console_event is -1 until the user
// asks to stop. The delay before the next call.
uint32_t PollParallel(int console_event) {
    const uint64_t now = plat_now_ms();
    if (console_event >= 0 && !stopping) {
        // No new machine starts; those under way finish as a stopped
        // one-machine run would.
        stopping = true;
        DisplayForeignLine(ConsoleEventText(console_event));
        char wire[kWorkerWireMaxBytes];
        const size_t n = WorkerWireStop(wire, static_cast<uint32_t>(console_event));
        for (Job& job : jobs)
            if (job.running) (void)plat_child_write(&job.child, wire, n);
    }
    Arrival a;
    while (FleetTakeQueued(&a)) Route(a);
    for (Job& job : jobs) {
        if (!job.running) continue;
        Reap(job, !Drain(job));
    }
    if (!stopping && !FleetFinished()) {
        for (int i = FleetFirstUnfinished(); i < FleetMachineCount() && running < static_cast<int>(opts.jobs); ++i)
            if (FleetSlotOf(i) == SLOT_WAITING && HasPending(i) && FleetMayBegin(i, now)) Start(i, now);
    }
    FleetJudgeTime();
    DisplayRow rows[kMaxJobs];
    int count = 0;
    for (const Job& job : jobs)
        if (job.running)
            rows[count++] = DisplayRow{FleetAddressOf(job.machine), job.phase, job.blocks_done, job.blocks_total,
                                       job.started_ms};
    char waiting[96];
    DisplayRows(rows, count, now, FleetWaitText(now, waiting, sizeof waiting) ? waiting : nullptr);
    return kPollMs;
}

// Once every worker has ended and nothing more will start.
bool RunEnds(bool) { return (stopping || FleetFinished()) && running == 0; }

}  // namespace

bool ParallelStart(const LanflashOptions& o, const uint8_t* image, long bytes, const char* path, char* why,
                   size_t why_len) {
    opts = o;
    image_path = path;
    image_bytes = bytes;
    image_crc = Cal_CRC16(image, static_cast<uint32_t>(bytes));
    hooks.poll_instead = PollParallel;
    hooks.run_ends = RunEnds;
    fleet_say = DisplayLine;
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
