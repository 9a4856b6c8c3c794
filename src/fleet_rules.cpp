// The rules of a run: once per machine, retries, confirmation, time limits,
// address conflicts and the rollout's limits. The sequencer stays the one
// state machine that talks to a machine; these rules decide when a machine
// is done and when the run is.
#include "fleet_rules.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "addrmap.h"
#include "conflict.h"
#include "machlist.h"
#include "platform.h"
#include "rollout.h"
#include "text.h"
#include "worker.h"

void (*fleet_say)(const char* line) = nullptr;

namespace {

constexpr uint32_t kDefaultWaitS = 30;

// A machine whose update failed before its run command is tried again
// after this pause, from where it then is, when --retries allows.
constexpr uint64_t kRetryPauseMs = 5000;
constexpr size_t kSayBytes = 256;
// Machines announce once a second: listened to this long (the next
// announcement of the first board comes no sooner), every board at an
// address has announced itself, and two of them are an address conflict
// before the first connection.
constexpr uint64_t kListenFirstMs = 950;

LanflashOptions opts;
bool exploring = false;
uint64_t start_ms = 0;
uint64_t start_utc_ms = 0;
uint64_t last_progress_ms = 0;  // a machine was first chosen or finished
int the_one = -1;  // without --all: the one machine of this run
bool explored = false;  // explore without --all: the first chosen machine is printed
bool finished = false;
int chosen_count = 0;  // machines chosen for an update so far, in the order chosen
// With --all: nothing is in progress after something was, and the run
// waits for more; said once per wait.
bool worked = false;
bool idle_after_work = false;
bool wait_said = false;
AddrMap first_heard;  // address -> index into first_heard_ms
uint64_t* first_heard_ms = nullptr;
int first_heard_count = 0, first_heard_cap = 0;

}  // namespace

uint64_t FleetWaitMs(void) { return static_cast<uint64_t>(opts.timeout_s ? opts.timeout_s : kDefaultWaitS) * 1000; }

namespace {

uint64_t WaitMs() { return FleetWaitMs(); }

// Failures before the run command, which another try may mend.
bool Retryable(RecordReason reason) {
    return reason == REASON_NO_CONNECTION || reason == REASON_BOOT_NOT_HEARD || reason == REASON_TRANSFER_FAILED ||
           reason == REASON_WORKER_FAILED;
}

// A failure before the run command waits for another try while --retries
// allows one (never with may_retry false: the run is ending). True when
// the machine now waits for it.
bool TryAgain(Machine& m, RecordReason reason, uint64_t now, bool may_retry) {
    if (!Retryable(reason)) return false;
    m.rec.last_failure = reason;
    if (!may_retry || RolloutStopped() || static_cast<uint32_t>(m.rec.tries) > opts.retries) return false;
    m.phase = RETRYING;
    m.retry_at_ms = now + kRetryPauseMs;
    last_progress_ms = now;
    return true;
}

// The rollout stopped: no machine begins and no new try starts; those in
// progress finish.
void StopRollout(const Machine& why, uint64_t now) {
    char address[16];
    FleetSay("rollout stopped: %s %s (%s)", DottedQuad(why.rec.addr, address), ResultText(why.rec.result),
             ReasonText(why.rec.reason));
    for (int i = TableFirstUnfinished(); i < TableCount(); ++i) {
        Machine& m = TableMachine(i);
        if (m.phase == WAITING) FleetFinish(m, SKIPPED, now, REASON_ROLLOUT_STOPPED);
        if (m.phase == RETRYING) FleetFinish(m, FAILED, now, m.rec.last_failure, false);
    }
}

}  // namespace

void FleetStart(const LanflashOptions& o, bool explore) {
    opts = o;
    exploring = explore;
    TableStart(opts.all);
    RolloutStart(opts.canary, opts.max_failed);
    start_ms = last_progress_ms = plat_now_ms();
    start_utc_ms = plat_utc_ms();
}

const LanflashOptions& FleetOptions(void) { return opts; }

bool FleetExploring(void) { return exploring; }

uint64_t FleetStartedUtcMs(void) { return start_utc_ms; }

bool FleetFinished(void) { return opts.exit && finished; }

void FleetSay(const char* format, ...) {
    char line[kSayBytes];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (fleet_say) {
        fleet_say(line);
    } else {
        printf("\n%s", line);
    }
}

int FleetTheOne(void) { return the_one; }

void FleetSetTheOne(int i) { the_one = i; }

void FleetSetExplored(void) { explored = true; }

int FleetAdd(uint32_t addr, Phase phase, int kind, uint32_t serial, const char* name, int name_len) {
    const int i = TableAdd(addr, phase, kind, serial, name, name_len);
    if (i < 0) return -1;
    last_progress_ms = plat_now_ms();
    Machine& m = TableMachine(i);
    m.chosen = phase == LISTED || phase == SKIPPED ? -1 : chosen_count++;
    return i;
}

void FleetHeardFrom(uint32_t addr, uint64_t arrived_ms) {
    if (AddrMapGet(&first_heard, addr) >= 0) return;
    if (first_heard_count == first_heard_cap) {
        const int cap = first_heard_cap == 0 ? 64 : 2 * first_heard_cap;
        uint64_t* grown = static_cast<uint64_t*>(realloc(first_heard_ms, static_cast<size_t>(cap) * sizeof *grown));
        if (grown == nullptr) return;
        first_heard_ms = grown;
        first_heard_cap = cap;
    }
    if (!AddrMapPut(&first_heard, addr, first_heard_count)) return;
    first_heard_ms[first_heard_count++] = arrived_ms;
}

bool FleetMayBegin(int i, uint64_t at_ms) {
    const Machine& m = TableMachine(i);
    if (!RolloutMayBegin(m.chosen)) return false;
    // Another try was heard long enough; a worker's parent listened already.
    if (m.phase != WAITING || opts.worker) return true;
    const int k = AddrMapGet(&first_heard, m.rec.addr);
    return k < 0 || at_ms >= first_heard_ms[k] + kListenFirstMs;
}

void FleetStartTry(Machine& m, char* text, size_t cap) {
    ++m.rec.tries;
    m.resets = 0;
    m.reset_ms = m.run_ms = m.reset_sent_ms = m.transfer_started_ms = 0;
    m.blocks_acked = 0;
    m.rec.reset_to_boot_ms = m.rec.transfer_ms = m.rec.run_to_confirm_ms = kNoMs;
    m.rec.blocks_sent = m.rec.blocks_resent = 0;
    m.rec.finished_utc_ms = 0;
    last_progress_ms = plat_now_ms();
    // "trying again (2 of 3) after: transfer failed": the trace and the
    // event line of a parallel run say it alike, behind the address.
    snprintf(text, cap, "trying again (%d of %u) after: %s", m.rec.tries, static_cast<unsigned>(opts.retries + 1),
             ReasonText(m.rec.last_failure));
}

void FleetFinish(Machine& m, Phase phase, uint64_t now, RecordReason reason, bool may_retry) {
    if (phase == FAILED && TryAgain(m, reason, now, may_retry)) return;
    // Skipped, or held back by a conflict before it began: no try.
    if (phase == SKIPPED || (m.phase == WAITING && reason == REASON_ADDRESS_CONFLICT)) m.rec.tries = 0;
    m.phase = phase;
    last_progress_ms = now;
    m.rec.result = phase == UPDATED  ? RESULT_UPDATED
                   : phase == FAILED ? RESULT_FAILED
                   : phase == SKIPPED ? RESULT_SKIPPED
                                      : RESULT_UNCONFIRMED;
    m.rec.reason = reason;
    // A finish time already in the record (a worker's) stands.
    if (m.rec.finished_utc_ms == 0) m.rec.finished_utc_ms = plat_utc_ms();
    TableAccount(m);
    ReportMachine(m.rec);
    WorkerRecord(m.rec);
    // A run stopped by the user stops no rollout: it ends anyway.
    if (phase != SKIPPED && reason != REASON_STOPPED && RolloutFinal(m.chosen, phase == UPDATED)) StopRollout(m, now);
}

// Runs only for a machine none of whose datagrams waits to be judged, so
// that it is never given up while its answer waits in a queue.
void FleetKeepTimeLimits(uint64_t now, bool (*waiting)(uint32_t addr), bool any_waiting) {
    bool in_progress = false;
    for (int i = TableFirstUnfinished(); i < TableCount(); ++i) {
        Machine& m = TableMachine(i);
        if (waiting != nullptr && waiting(m.rec.addr)) {
            in_progress = in_progress || !IsFinal(m.phase);
            continue;
        }
        if (m.phase == CONFIRMING && now > m.run_ms + WaitMs()) {
            WorkerSay("unconfirmed %u", static_cast<unsigned>(WaitMs() / 1000));
            FleetFinish(m, UNCONFIRMED, now, REASON_NOT_CONFIRMED);
        }
        // Reset, and its boot loader never announced.
        if (m.phase == RESETTING && now > m.reset_ms + kReactMs + WaitMs()) {
            WorkerSay("noboot %u", static_cast<unsigned>((kReactMs + WaitMs()) / 1000));
            FleetFinish(m, FAILED, now, REASON_BOOT_NOT_HEARD);
        }
        // To be tried again, and not heard since the pause.
        if (m.phase == RETRYING && now > m.retry_at_ms + WaitMs()) FleetFinish(m, FAILED, now, m.rec.last_failure, false);
        in_progress = in_progress || !IsFinal(m.phase);
    }
    // A chosen machine's announcement that waits may be a new machine.
    const bool timed = opts.timeout_s != 0 && !any_waiting;
    if (!opts.all) {
        if (exploring) {
            finished = explored || (timed && now > start_ms + WaitMs());
        } else if (the_one >= 0) {
            finished = IsFinal(TableMachine(the_one).phase);
        } else {
            finished = timed && now > start_ms + WaitMs();
        }
        return;
    }
    if (any_waiting) return;
    worked = worked || in_progress;
    idle_after_work = worked && !in_progress && !exploring;
    if (!idle_after_work) wait_said = false;
    if (RolloutStopped() && !in_progress) {
        finished = true;
        return;
    }
    // Machines chosen by a block, or swapped in at a named address, are not
    // expected: the run waits for those in progress all the same.
    if (TableNamedMachinesDone() && !in_progress) {
        finished = true;
        return;
    }
    const bool named = MachineListExpectedCount() > 0;
    if ((timed || !named) && !in_progress && now > last_progress_ms + WaitMs()) finished = true;
    char text[96];
    if (!finished && !wait_said && FleetWaitText(now, text, sizeof text)) {
        FleetSay("%s", text);
        wait_said = true;
    }
}

bool FleetWaitText(uint64_t now, char* text, size_t cap) {
    if (!idle_after_work || finished || RolloutStopped()) return false;
    const bool named = MachineListExpectedCount() > 0;
    if (!opts.exit) {
        snprintf(text, cap, "waiting for more machines; Ctrl-C ends");
    } else if (opts.timeout_s != 0 || !named) {
        const uint64_t end = last_progress_ms + WaitMs();
        const uint64_t left_s = end > now ? (end - now + 999) / 1000 : 0;
        snprintf(text, cap, "waiting up to %u s for more machines; Ctrl-C ends", static_cast<unsigned>(left_s));
    } else {
        int left = 0;
        for (int e = 0; e < MachineListExpectedCount(); ++e) left += TableNotHeard(e) ? 1 : 0;
        snprintf(text, cap, "waiting for %d named machine%s not yet heard; Ctrl-C ends", left, left == 1 ? "" : "s");
    }
    return true;
}

bool FleetConflict(uint32_t addr, const uint8_t* first_mac, const uint8_t* second_mac, int busy) {
    if (!ConflictNote(addr)) return false;
    char address[16], a[18], b[18];
    FleetSay("%s: address conflict: %s and %s", DottedQuad(addr, address), MacText(first_mac, a), MacText(second_mac, b));
    const int i = TableFind(addr);
    if (i < 0 || i == busy) return true;
    Machine& m = TableMachine(i);
    // One that had its run command keeps its outcome.
    if (m.phase == WAITING || m.phase == RETRYING || m.phase == RESETTING || m.phase == UPDATING)
        FleetFinish(m, FAILED, plat_now_ms(), REASON_ADDRESS_CONFLICT);
    return true;
}

int FleetMachineCount(void) { return TableCount(); }

int FleetFirstUnfinished(void) { return TableFirstUnfinished(); }

uint32_t FleetAddressOf(int i) { return TableMachine(i).rec.addr; }

FleetSlot FleetSlotOf(int i) {
    const Phase phase = TableMachine(i).phase;
    if (phase == WAITING || phase == RETRYING) return SLOT_WAITING;
    return phase == WORKING ? SLOT_WORKING : SLOT_DONE;
}

bool FleetMayStart(int i, uint64_t arrived_ms) {
    const Machine& m = TableMachine(i);
    return m.phase == WAITING || (m.phase == RETRYING && arrived_ms >= m.retry_at_ms);
}

bool FleetWorking(int i, char* retry_text, size_t cap) {
    Machine& m = TableMachine(i);
    const bool again = m.phase == RETRYING;
    if (again) {
        FleetStartTry(m, retry_text, cap);
    } else {
        m.rec.started_utc_ms = plat_utc_ms();
    }
    m.phase = WORKING;
    last_progress_ms = plat_now_ms();
    return again;
}

void FleetConclude(int i, const MachineRecord& r, bool may_retry) {
    Machine& m = TableMachine(i);
    // A worker that could not tell still leaves what the parent heard; the
    // tries are the parent's to count.
    const MachineRecord heard = m.rec;
    m.rec = r;
    m.rec.addr = heard.addr;
    m.rec.started_utc_ms = heard.started_utc_ms;
    m.rec.tries = heard.tries;
    m.rec.last_failure = heard.last_failure;
    // A worker that heard no application (a try begun in the boot loader)
    // leaves the application's name and serial number that the parent knows.
    if (r.name_len == 0 || (!r.has_serial && heard.has_serial)) SetName(m.rec, heard.name, heard.name_len);
    if (!r.has_serial) {
        m.rec.has_serial = heard.has_serial;
        m.rec.serial = heard.serial;
    }
    const Phase phase = r.result == RESULT_UPDATED ? UPDATED : r.result == RESULT_FAILED ? FAILED : UNCONFIRMED;
    FleetFinish(m, phase, plat_now_ms(), r.reason, may_retry);
}

void FleetJudgeTime(void) { FleetKeepTimeLimits(plat_now_ms(), nullptr, false); }
