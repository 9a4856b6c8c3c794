// The rules of a run with options: choosing, listening, confirming, and
// what an executor's news means for a machine.
#include "rules.h"

#include <cstdlib>
#include <cstring>

#include "addrmap.h"
#include "announce.h"
#include "grow.h"
#include "looks.h"
#include "machines.h"
#include "machlist.h"
#include "model.h"
#include "news.h"
#include "outcome.h"
#include "platform.h"
#include "rollout.h"

namespace {

int chosen_count = 0;  // machines chosen for an update so far, in the order chosen
AddrMap first_heard;       // address -> index into first_heard_ms
Array<uint64_t> first_heard_ms;
ArrivalLine to_list;       // exploring: machines not yet listed
ArrivalLine once;          // to be traced once, then left alone
ArrivalRing junk;          // datagrams of no machine
uint64_t pending_seq = 0;  // datagrams of chosen machines that began to wait, so far
int in_hand = -1;          // the chosen machine whose datagram an executor took, until judged
RulesHasImage has_image = nullptr;

int Add(const Announcement& an, Phase phase) {
    const int i = TableAdd(an, phase);
    if (i < 0) return -1;
    RunProgress(plat_now_ms());
    TableMachine(i).chosen = phase == LISTED || phase == SKIPPED ? -1 : chosen_count++;
    return i;
}

// A machine failed for an address in conflict before its first try said
// nothing of the image: its place in the canary and the waves goes to the
// machines chosen after it. (None of those has begun while it waited.)
void FailInConflict(int i) {
    Machine& m = TableMachine(i);
    if (m.chosen >= 0 && m.phase == WAITING) {
        for (int k = 0; k < TableCount(); ++k) {
            Machine& o = TableMachine(k);
            if (o.chosen > m.chosen) --o.chosen;
        }
        m.chosen = -1;
        --chosen_count;
    }
    Finish(i, FAILED, REASON_ADDRESS_CONFLICT);
}

// A machine just chosen, waiting to begin: skipped once the rollout has
// stopped, failed at an address in conflict. Without --all it is the one,
// also while it is listened to before it begins, or when it cannot.
int Choose(const Announcement& an) {
    // Updated before with this image (by serial number: a boot loader says
    // none): no connection, and one line.
    char when[32];
    if (has_image != nullptr && an.kind == kAppKind && has_image(an, when, sizeof when)) {
        const int skip = Add(an, SKIPPED);
        if (skip < 0) return -1;
        // Without --all it is the run's one machine, and the run is done.
        if (!RunOptions().all) RunSetTheOne(skip);
        Finish(skip, SKIPPED, REASON_ALREADY_UPDATED);
        News n{};
        n.kind = NEWS_LEFT_ALONE;
        n.machine = skip;
        n.addr = an.addr;
        n.refusal = ALREADY_UPDATED;
        n.an = &an;
        n.text = when;
        NewsTell(n);
        return skip;
    }
    const int i = Add(an, WAITING);
    if (i < 0) return -1;
    if (!RunOptions().all) RunSetTheOne(i);
    if (RunStopping()) {
        Finish(i, SKIPPED, REASON_RUN_STOPPED);
    } else if (RolloutStopped()) {
        Finish(i, SKIPPED, REASON_ROLLOUT_STOPPED);
    } else if (ConflictAt(an.addr)) {
        FailInConflict(i);
    }
    Tell(IsFinal(TableMachine(i).phase) ? NEWS_CHOSEN_AND_DONE : NEWS_CHOSEN, i, &an);
    return i;
}

// An expected machine of another model is accounted for: skipped.
void SkipOtherModel(const Announcement& an) {
    const int i = Add(an, SKIPPED);
    if (i >= 0) Finish(i, SKIPPED, REASON_ANOTHER_MODEL);
}

// The machine's newest datagram waits for an executor to take it.
void Pend(int i, const Arrival& a) {
    Machine& m = TableMachine(i);
    if (m.pending != nullptr) {
        ArrivalMerge(*m.pending, a);  // keeps its place in line
        return;
    }
    m.pending = static_cast<Arrival*>(malloc(sizeof(Arrival)));
    if (m.pending == nullptr) return;  // dropped: the machine announces again
    *m.pending = a;
    m.pending_seq = ++pending_seq;
}

// Whether a chosen machine may begin (its first try or another) on its
// waiting datagram: the rollout allows it, a new machine has been listened
// to long enough, and another try's pause has passed when it arrived.
bool MayBegin(int i, const Arrival& a, uint64_t now) {
    const Machine& m = TableMachine(i);
    if (!RolloutMayBegin(m.chosen)) return false;
    if (m.phase == RETRYING) return a.arrived_ms >= m.retry_at_ms;
    const int k = AddrMapGet(&first_heard, m.rec.addr);
    if (k < 0) return true;
    const uint64_t first = first_heard_ms[static_cast<size_t>(k)];
    return a.arrived_ms >= first + kListenFirstMs || now >= first + kListenHeardOnceMs;
}

// The machine whose waiting datagram an executor takes next: in a try
// first, then (when may_start) one that may begin; oldest first.
int NextPending(bool may_start, uint64_t now) {
    int best = -1;
    bool best_in_try = false;
    for (int i = TableFirstUnfinished(); i < TableCount(); ++i) {
        const Machine& m = TableMachine(i);
        if (m.pending == nullptr) continue;
        const bool in_try = InTry(m.phase);
        if (!in_try && (!may_start || !MayBegin(i, *m.pending, now))) continue;
        if (best >= 0 && (best_in_try > in_try || (best_in_try == in_try && TableMachine(best).pending_seq < m.pending_seq)))
            continue;
        best = i;
        best_in_try = in_try;
    }
    return best;
}

// A once-line datagram that is still worth its trace: not said meanwhile,
// and its machine has no newer datagram waiting.
bool StillOnce(const Arrival& a) {
    Announcement an;
    if (!ReadAnnouncement(a.data, a.len, &an)) return false;
    if (an.kind == -1) return !WasSaid(ArrivalKey(a.from, an.addr), SAID_UNKNOWN_NAME);
    const int i = TableFind(an.addr);
    if (i >= 0 && TableMachine(i).pending != nullptr && (a.from == 0 || a.from == an.addr)) return false;
    const Look l = LookAt(an, a.from);
    return l.refusal == TAKEN || !WasSaid(SaidKey(l, an.addr, a.from), SAID_LEFT_ALONE);
}

void NoteConflict(uint32_t addr, const uint8_t* first_mac, const uint8_t* second_mac) {
    if (!ConflictMark(addr)) return;
    News n{};
    n.kind = NEWS_CONFLICT;
    n.machine = -1;
    n.addr = addr;
    n.macs[0] = first_mac;
    n.macs[1] = second_mac;
    NewsTell(n);
    // No new connection there; one that had its run command keeps its
    // outcome, and a path under way ends by its executor's hand.
    const int i = TableFind(addr);
    if (i < 0) return;
    Machine& m = TableMachine(i);
    if (m.on_path && (m.phase == RESETTING || m.phase == UPDATING)) {
        m.halt = REASON_ADDRESS_CONFLICT;
    } else if (m.phase == WAITING || m.phase == RETRYING || m.phase == RESETTING || m.phase == UPDATING) {
        FailInConflict(i);
    }
}

void HeardFrom(uint32_t addr, uint64_t arrived_ms) {
    if (AddrMapGet(&first_heard, addr) >= 0 || !Reserve(first_heard_ms, first_heard_ms.count + 1)) return;
    if (!AddrMapPut(&first_heard, addr, static_cast<int>(first_heard_ms.count))) return;
    (void)Push(first_heard_ms, arrived_ms);
}

bool AnyChosenWaiting(void) {
    if (in_hand >= 0 || to_list.count > 0) return true;
    for (int i = TableFirstUnfinished(); i < TableCount(); ++i)
        if (TableMachine(i).pending != nullptr) return true;
    return false;
}

// The application announced itself after the run command: confirmed,
// judged by when it first said so.
void Confirm(int i, const Arrival& a, const Announcement& an) {
    Machine& m = TableMachine(i);
    const uint64_t first = a.first_arrived_ms > m.run_ms ? a.first_arrived_ms : a.arrived_ms;
    // Another board there confirms nothing: it waits for this one to end.
    if (first <= m.run_ms || first > m.run_ms + RunWaitMs() || OtherBoard(m, an)) return;
    m.rec.run_to_confirm_ms = static_cast<int64_t>(first - m.run_ms);
    SetName(m.rec, an.name, an.name_len);
    m.rec.has_serial = true;
    m.rec.serial = an.serial;
    Tell(NEWS_CONFIRMED, i, &an, m.rec.run_to_confirm_ms);
    Finish(i, UPDATED, REASON_NONE);
}

}  // namespace

void RulesStart(const LanflashOptions& opts, bool exploring, long bytes) {
    OutcomeStart(opts, exploring);
    RulesEventsStart(bytes);
    chosen_count = 0;
    LooksStart();
    AddrMapFree(&first_heard);
    Release(first_heard_ms);
    LineClear(&to_list);
    LineClear(&once);
    junk = ArrivalRing{};
    pending_seq = 0;
    in_hand = -1;
}

void RulesAskHasImage(RulesHasImage ask) { has_image = ask; }

void RulesHeard(const Arrival& a) {
    Announcement an;
    if (!ReadAnnouncement(a.data, a.len, &an)) {
        RingPut(&junk, a);
        return;
    }
    const uint64_t key = ArrivalKey(a.from, an.addr);
    const bool own = a.from == 0 || a.from == an.addr;
    if (own) HeardFrom(an.addr, a.first_arrived_ms);
    if (a.conflict) NoteConflict(an.addr, a.macs[0], a.macs[1]);
    if (an.kind == -1) {
        if (!WasSaid(key, SAID_UNKNOWN_NAME)) (void)LinePut(&once, key, a);
        return;
    }
    const Look l = LookAt(an, a.from);
    if (l.refusal != TAKEN) {
        if (l.refusal == OTHER_MODEL && l.i < 0 && Expected(an)) SkipOtherModel(an);
        if (!WasSaid(SaidKey(l, an.addr, a.from), SAID_LEFT_ALONE)) (void)LinePut(&once, key, a);
        return;
    }
    if (RunExploring()) {
        if (!RunOptions().all || l.i < 0) (void)LinePut(&to_list, key, a);
        return;
    }
    int i = l.i;
    if (i < 0 && (i = Choose(an)) < 0) {
        SayLeftAlone(Look{-1, NOT_LISTED, l.model}, an, a.from);  // no memory left for it
        return;
    }
    if (!IsFinal(TableMachine(i).phase)) Pend(i, a);
}

bool RulesTake(bool may_start, Taken* t) {
    in_hand = -1;
    t->may_start = may_start && !RunStopping();
    const int i = NextPending(may_start && !RunStopping(), plat_now_ms());
    if (i >= 0) {
        Machine& m = TableMachine(i);
        t->a = *m.pending;
        free(m.pending);
        m.pending = nullptr;
        t->junk = false;
        in_hand = i;
        return true;
    }
    t->junk = false;
    if (LineTake(&to_list, &t->a)) return true;
    while (LineTake(&once, &t->a))
        if (StillOnce(t->a)) return true;
    t->junk = RingTake(&junk, &t->a);
    return t->junk;
}

int RulesChoose(const Taken& t, int* machine) {
    in_hand = -1;
    *machine = -1;
    Announcement an;
    if (t.junk || !ReadAnnouncement(t.a.data, t.a.len, &an)) return -1;
    const uint32_t from = t.a.from;
    if (an.kind == -1) {
        MarkSaid(ArrivalKey(from, an.addr), SAID_UNKNOWN_NAME);
        return -1;
    }
    const Look l = LookAt(an, from);
    if (l.refusal == OTHER_MODEL && l.i < 0 && Expected(an)) SkipOtherModel(an);
    if (l.refusal != TAKEN) {
        SayLeftAlone(l, an, from);
        return -1;
    }
    const uint64_t now = plat_now_ms();
    if (RunExploring()) {
        if (!RunOptions().all) {
            RunSetExplored();
            const int listed = Add(an, LISTED);
            if (listed < 0) return -1;
            Tell(NEWS_LISTED, listed, &an);
            return 3;
        }
        const int listed = l.i < 0 ? Add(an, LISTED) : -1;
        if (listed >= 0) Tell(NEWS_LISTED, listed, &an);
        return -1;
    }
    int i = l.i;
    if (i < 0 && (i = Choose(an)) < 0) {
        SayLeftAlone(Look{-1, NOT_LISTED, l.model}, an, from);  // no memory left for it
        return -1;
    }
    Machine& m = TableMachine(i);
    *machine = i;
    if (IsFinal(m.phase)) return -1;  // updated, failed or skipped: once per run
    // An address in conflict gets no new connection.
    if (ConflictAt(an.addr) && (m.phase == WAITING || m.phase == RETRYING || m.phase == RESETTING)) {
        FailInConflict(i);
        return -1;
    }
    bool fresh = false;  // a new machine, or a new try of one
    if (m.phase == WAITING || m.phase == RETRYING) {
        // Judged by when it arrived; one that may not begin yet waits on.
        if (RunStopping() || !t.may_start || !MayBegin(i, t.a, now)) {
            Pend(i, t.a);
            return -1;
        }
        if (m.phase == RETRYING) StartTry(i);
        fresh = true;
        Tell(NEWS_BEGAN, i, &an);
    }
    if (an.kind == kAppKind) {
        if (fresh) {
            m.phase = RESETTING;
        } else if (m.phase == CONFIRMING) {
            Confirm(i, t.a, an);
            return -1;
        } else if (m.phase != RESETTING || m.resets >= kMaxResets || t.a.arrived_ms <= m.reset_ms + kReactMs) {
            return -1;  // sent before its reset, still restarting, or done
        }
        ++m.resets;
        m.reset_ms = now;
        m.step = STEP_RESETTING;
    } else {
        if (fresh) {
            m.phase = UPDATING;
        } else if (m.phase == RESETTING) {
            m.phase = UPDATING;
            if (m.reset_sent_ms != 0) {
                const uint64_t heard = t.a.first_arrived_ms > m.reset_sent_ms ? t.a.first_arrived_ms : t.a.arrived_ms;
                m.rec.reset_to_boot_ms = heard > m.reset_sent_ms ? static_cast<int64_t>(heard - m.reset_sent_ms) : 0;
            }
        } else {
            return -1;  // being updated, or waiting to be confirmed: once per try
        }
        m.step = STEP_BOOT_LOADER;
        Tell(NEWS_BOOT_LOADER_HEARD, i);
    }
    RunSetTheOne(i);
    m.on_path = true;
    m.connected = false;
    m.path_from_ms = m.step_ms = now;
    return an.kind;
}

void RulesTick(void) { KeepTimeLimits(plat_now_ms(), in_hand, AnyChosenWaiting()); }

void RulesStop(void) {
    if (RunStopping()) return;
    RunStop();
    for (int i = TableFirstUnfinished(); i < TableCount(); ++i) {
        Machine& m = TableMachine(i);
        const bool reset = m.reset_sent_ms != 0;
        if (m.phase == WAITING) {
            Finish(i, SKIPPED, REASON_RUN_STOPPED);
        } else if (m.phase == RETRYING) {
            Finish(i, FAILED, m.rec.last_failure, false);
        } else if (m.phase == RESETTING && !m.on_path) {
            Finish(i, SKIPPED, REASON_STOPPED_IN_BOOT_LOADER);  // restarting after its reset
        } else if (m.phase == RESETTING && !reset) {
            m.halt = REASON_RUN_STOPPED;  // no reset: it runs what it ran
        } else if (m.phase == UPDATING && BeforeTransfer(m.step)) {
            m.halt = REASON_STOPPED_IN_BOOT_LOADER;  // no '4', no '1', no transfer
        }
    }
}

void RulesAbandon(void) {
    RulesStop();
    for (int i = TableFirstUnfinished(); i < TableCount(); ++i)
        if (RulesUnderWay(i)) TableMachine(i).halt = REASON_ABANDONED;
}

bool RulesUnderWay(int i) {
    const Machine& m = TableMachine(i);
    return m.phase == UPDATING && (m.step == STEP_TRANSFER || m.step == STEP_STARTING);
}

int RulesTransfersUnderWay(void) {
    int n = 0;
    for (int i = TableFirstUnfinished(); i < TableCount(); ++i) n += RulesUnderWay(i) ? 1 : 0;
    return n;
}

bool RulesAwaiting(void) {
    for (int i = TableFirstUnfinished(); i < TableCount(); ++i)
        if (TableMachine(i).phase == CONFIRMING || RulesUnderWay(i)) return true;
    return false;
}

RecordReason RulesHalt(int i) { return i >= 0 && i < TableCount() ? TableMachine(i).halt : REASON_NONE; }

bool RulesInTry(int i) { return i >= 0 && i < TableCount() && InTry(TableMachine(i).phase); }

bool RulesBusy(void) {
    if (to_list.count > 0 || once.count > 0) return true;
    return NextPending(!RunStopping(), plat_now_ms()) >= 0;
}

bool RulesSequencerGoesOn(void) {
    const int one = RunTheOne();
    const bool one_goes_on =
        one >= 0 && (TableMachine(one).phase == CONFIRMING || TableMachine(one).phase == RETRYING);
    return !RunExploring() && (RunOptions().all || one_goes_on);
}

const Machine& RulesMachine(int i) { return TableMachine(i); }

int RulesMachineCount(void) { return TableCount(); }

