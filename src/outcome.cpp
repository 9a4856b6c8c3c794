// Results, retries, the rollout's limits, the time limits and the end.
#include "outcome.h"

#include <cstdio>
#include <cstdlib>

#include "machlist.h"
#include "news.h"
#include "platform.h"
#include "rollout.h"
#include "text.h"

namespace {

LanflashOptions opts;
bool exploring = false;
uint64_t start_ms = 0;
uint64_t start_utc_ms = 0;
uint64_t last_progress_ms = 0;  // a machine was first chosen or finished
int the_one = -1;
bool explored = false;
bool finished = false;
// With --all: nothing is in progress after something was, and the run
// waits for more; said once per wait.
bool worked = false;
bool idle_after_work = false;
bool wait_said = false;
bool first_wait_said = false;  // a run that has chosen nothing yet said what it waits for
bool stopping = false;

// Failures before the run command, which another try may mend.
bool Retryable(RecordReason reason) {
    return reason == REASON_NO_CONNECTION || reason == REASON_BOOT_NOT_HEARD || reason == REASON_TRANSFER_FAILED ||
           reason == REASON_WORKER_FAILED;
}

// A failure before the run command waits for another try while --retries
// allows one. True when the machine now waits for it.
bool TryAgain(Machine& m, RecordReason reason, uint64_t now, bool may_retry) {
    if (!Retryable(reason)) return false;
    m.rec.last_failure = reason;
    if (!may_retry || stopping || RolloutStopped() || static_cast<uint32_t>(m.rec.tries) > opts.retries) return false;
    m.phase = RETRYING;
    m.step = STEP_FAILED;
    m.on_path = false;
    m.halt = REASON_NONE;
    m.retry_at_ms = now + kRetryPauseMs;
    last_progress_ms = now;
    return true;
}

// The rollout stopped: no machine begins and no new try starts; those in
// progress finish.
void StopRollout(int why) {
    Tell(NEWS_ROLLOUT_STOPPED, why);
    for (int i = TableFirstUnfinished(); i < TableCount(); ++i) {
        Machine& m = TableMachine(i);
        if (m.phase == WAITING) Finish(i, SKIPPED, REASON_ROLLOUT_STOPPED);
        if (m.phase == RETRYING) Finish(i, FAILED, m.rec.last_failure, false);
    }
}

// A run that has chosen no machine for this long says what it waits for:
// a user must never face a silent wait.
constexpr uint64_t kSilentWaitMs = 3000;

void TellWaiting(const char* text) {
    News n{};
    n.kind = NEWS_WAITING;
    n.machine = -1;
    n.text = text;
    NewsTell(n);
}

// "waiting for 127.0.0.99, not heard yet; Ctrl-C ends", while nothing is
// chosen; false when the run does not wait that way.
bool FirstWaitText(uint64_t now, char* text, size_t cap) {
    if (exploring || finished || TableCount() > 0 || now < start_ms + kSilentWaitMs) return false;
    char limit[48] = "";
    if (opts.timeout_s != 0) {
        const uint64_t end = start_ms + RunWaitMs();
        snprintf(limit, sizeof limit, " up to %u s", static_cast<unsigned>(end > now ? (end - now + 999) / 1000 : 0));
    }
    const int named = MachineListExpectedCount();
    if (named == 0) {
        snprintf(text, cap, "waiting%s for a chosen machine to announce itself; Ctrl-C ends", limit);
        return true;
    }
    char first[32], name[16];
    const ExpectedMachine x = MachineListExpected(0);
    if (x.is_serial) {
        snprintf(first, sizeof first, "serial %u", static_cast<unsigned>(x.value));
    } else {
        snprintf(first, sizeof first, "%s", DottedQuad(x.value, name));
    }
    if (named == 1) {
        snprintf(text, cap, "waiting%s for %s, not heard yet; Ctrl-C ends", limit, first);
    } else {
        snprintf(text, cap, "waiting%s for %d named machines, none heard yet (%s, ...); Ctrl-C ends", limit, named, first);
    }
    return true;
}

}  // namespace

void Tell(NewsKind kind, int i, const Announcement* an, int64_t a, int64_t b, int64_t c) {
    News n{};
    n.kind = kind;
    n.machine = i;
    n.addr = i >= 0 ? TableMachine(i).rec.addr : an != nullptr ? an->addr : 0;
    n.an = an;
    n.rec = i >= 0 ? &TableMachine(i).rec : nullptr;
    n.values[0] = a;
    n.values[1] = b;
    n.values[2] = c;
    NewsTell(n);
}

void OutcomeStart(const LanflashOptions& o, bool explore) {
    opts = o;
    exploring = explore;
    TableStart(opts.all);
    RolloutStart(opts.canary, opts.max_failed);
    start_ms = last_progress_ms = plat_now_ms();
    start_utc_ms = plat_utc_ms();
    the_one = -1;
    explored = finished = worked = idle_after_work = wait_said = first_wait_said = stopping = false;
}

void RunStop(void) { stopping = true; }

bool RunStopping(void) { return stopping; }

const LanflashOptions& RunOptions(void) { return opts; }

bool RunExploring(void) { return exploring; }

uint64_t RunStartedUtcMs(void) { return start_utc_ms; }

uint64_t RunWaitMs(void) { return static_cast<uint64_t>(opts.timeout_s ? opts.timeout_s : kDefaultWaitS) * 1000; }

void RunProgress(uint64_t now) { last_progress_ms = now; }

int RunTheOne(void) { return the_one; }

void RunSetTheOne(int i) { the_one = i; }

void RunSetExplored(void) { explored = true; }

bool RunFinished(void) { return opts.exit && finished; }

void Finish(int i, Phase phase, RecordReason reason, bool may_retry) {
    Machine& m = TableMachine(i);
    const uint64_t now = plat_now_ms();
    if (phase == FAILED && TryAgain(m, reason, now, may_retry)) return;
    // Never begun (skipped, or held back before it began): no try.
    if (m.phase == WAITING || m.phase == SKIPPED) m.rec.tries = 0;
    m.phase = phase;
    if (phase == FAILED) m.step = STEP_FAILED;
    m.on_path = false;
    m.halt = REASON_NONE;
    free(m.pending);
    m.pending = nullptr;
    last_progress_ms = now;
    m.rec.result = phase == UPDATED  ? RESULT_UPDATED
                   : phase == FAILED ? RESULT_FAILED
                   : phase == SKIPPED ? RESULT_SKIPPED
                                      : RESULT_UNCONFIRMED;
    m.rec.reason = reason;
    m.rec.finished_utc_ms = plat_utc_ms();
    TableAccount(m);
    Tell(NEWS_FINISHED, i);
    // A run stopped by the user stops no rollout: it ends anyway.
    if (phase != SKIPPED && reason != REASON_STOPPED && RolloutFinal(m.chosen, phase == UPDATED)) StopRollout(i);
}

void StartTry(int i) {
    Machine& m = TableMachine(i);
    ++m.rec.tries;
    m.resets = 0;
    m.reset_ms = m.run_ms = m.reset_sent_ms = m.transfer_started_ms = 0;
    m.blocks_acked = m.tenths = 0;
    m.rec.reset_to_boot_ms = m.rec.transfer_ms = m.rec.run_to_confirm_ms = kNoMs;
    m.rec.blocks_sent = m.rec.blocks_resent = 0;
    m.rec.finished_utc_ms = 0;
    m.rec.started_utc_ms = plat_utc_ms();
    last_progress_ms = plat_now_ms();
    Tell(NEWS_TRYING_AGAIN, i, nullptr, m.rec.tries, static_cast<int64_t>(opts.retries) + 1);
}

void KeepTimeLimits(uint64_t now, int in_hand, bool any_waiting) {
    bool in_progress = false;
    for (int i = TableFirstUnfinished(); i < TableCount(); ++i) {
        Machine& m = TableMachine(i);
        if (m.pending != nullptr || i == in_hand) {
            in_progress = in_progress || !IsFinal(m.phase);
            continue;
        }
        if (m.phase == CONFIRMING && now > m.run_ms + RunWaitMs()) {
            Tell(NEWS_UNCONFIRMED, i, nullptr, static_cast<int64_t>(RunWaitMs() / 1000));
            Finish(i, UNCONFIRMED, REASON_NOT_CONFIRMED);
        }
        // Reset, and its boot loader never announced.
        if (m.phase == RESETTING && !m.on_path && now > m.reset_ms + kReactMs + RunWaitMs()) {
            Tell(NEWS_BOOT_NOT_HEARD, i, nullptr, static_cast<int64_t>((kReactMs + RunWaitMs()) / 1000));
            Finish(i, FAILED, REASON_BOOT_NOT_HEARD);
        }
        // To be tried again, and not heard since the pause.
        if (m.phase == RETRYING && now > m.retry_at_ms + RunWaitMs()) Finish(i, FAILED, m.rec.last_failure, false);
        // A connection that never came: its path is to end.
        if (m.on_path && !m.connected && m.halt == REASON_NONE && now > m.path_from_ms + kConnectGiveUpMs)
            m.halt = REASON_NO_CONNECTION;
        in_progress = in_progress || !IsFinal(m.phase);
    }
    char text[128];
    if (!first_wait_said && FirstWaitText(now, text, sizeof text)) {
        TellWaiting(text);
        first_wait_said = true;
    }
    // A chosen machine's announcement that waits may be a new machine.
    const bool timed = opts.timeout_s != 0 && !any_waiting;
    if (!opts.all) {
        if (exploring) {
            finished = explored || (timed && now > start_ms + RunWaitMs());
        } else if (the_one >= 0) {
            finished = IsFinal(TableMachine(the_one).phase);
        } else {
            finished = timed && now > start_ms + RunWaitMs();
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
    if ((timed || !named) && !in_progress && now > last_progress_ms + RunWaitMs()) finished = true;
    if (!finished && !wait_said && idle_after_work && RunWaitText(now, text, sizeof text)) {
        TellWaiting(text);
        wait_said = true;
    }
}

bool RunWaitText(uint64_t now, char* text, size_t cap) {
    if (FirstWaitText(now, text, cap)) return true;
    if (!idle_after_work || finished || RolloutStopped() || stopping) return false;
    const bool named = MachineListExpectedCount() > 0;
    if (!opts.exit) {
        snprintf(text, cap, "waiting for more machines; Ctrl-C ends");
    } else if (opts.timeout_s != 0 || !named) {
        const uint64_t end = last_progress_ms + RunWaitMs();
        const uint64_t left_s = end > now ? (end - now + 999) / 1000 : 0;
        snprintf(text, cap, "waiting up to %u s for more machines; Ctrl-C ends", static_cast<unsigned>(left_s));
    } else {
        int left = 0;
        for (int e = 0; e < MachineListExpectedCount(); ++e) left += RunNotHeard(e) ? 1 : 0;
        snprintf(text, cap, "waiting for %d named machine%s not yet heard; Ctrl-C ends", left, left == 1 ? "" : "s");
    }
    return true;
}

void OutcomeEnd(void) {
    for (int i = 0; i < TableCount(); ++i) {
        Machine& m = TableMachine(i);
        if (m.phase == LISTED) continue;
        // Still in progress: the run was stopped. No new try begins.
        if (m.phase == WAITING) Finish(i, SKIPPED, REASON_RUN_STOPPED, false);
        if (m.phase == RETRYING) Finish(i, FAILED, m.rec.last_failure, false);
        if (!IsFinal(m.phase)) Finish(i, m.phase == CONFIRMING ? UNCONFIRMED : FAILED, REASON_STOPPED, false);
    }
    // Named and never heard, in the order named.
    for (int e = 0; e < MachineListExpectedCount(); ++e) {
        if (!RunNotHeard(e)) continue;
        const ExpectedMachine x = MachineListExpected(e);
        MachineRecord r;
        r.addr_known = !x.is_serial;
        r.addr = x.is_serial ? 0 : x.value;
        r.has_serial = x.is_serial;
        r.serial = x.is_serial ? x.value : 0;
        r.result = RESULT_MISSING;
        r.reason = REASON_NOT_HEARD;
        r.tries = 0;
        r.started_utc_ms = r.finished_utc_ms = 0;
        News n{};
        n.kind = NEWS_FINISHED;
        n.machine = -1;
        n.addr = r.addr;
        n.rec = &r;
        NewsTell(n);
    }
}

bool RunNotHeard(int e) {
    if (opts.all) return TableNotHeard(e);
    // Without --all the run looks for whichever named machine comes first.
    return TableCount() == 0;
}

void RunCounts(int counts[kReportCounts]) {
    for (int k = 0; k < kReportCounts; ++k) counts[k] = 0;
    for (int i = 0; i < TableCount(); ++i) {
        const Machine& m = TableMachine(i);
        if (m.phase == LISTED) {
            ++counts[0];
        } else if (IsFinal(m.phase)) {
            ++counts[m.rec.result];
        }
    }
    for (int e = 0; e < MachineListExpectedCount(); ++e) counts[RESULT_MISSING] += RunNotHeard(e) ? 1 : 0;
}

int RunExitStatus(void) {
    if (TableCount() == 0) return 4;  // no chosen machine was heard
    if (TableAnyNotHeard()) return 3;
    for (int i = 0; i < TableCount(); ++i) {
        const Phase phase = TableMachine(i).phase;
        // Exploring, a named machine of another model is what a run would
        // skip; one that already has this image is done.
        const bool done = phase == UPDATED || TableMachine(i).rec.reason == REASON_ALREADY_UPDATED;
        if ((phase == SKIPPED && !done) || (!exploring && !done)) return 3;
    }
    return 0;
}
