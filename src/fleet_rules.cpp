// The rules of a run: choosing, once per machine, resets, retries,
// confirmation and time limits. The sequencer stays the one state machine
// that talks to a machine; these rules decide which announcements it acts
// on and when the run is done.
#include "fleet_rules.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "addrmap.h"
#include "eth.h"
#include "machlist.h"
#include "mstate.h"
#include "platform.h"
#include "text.h"
#include "worker.h"

namespace {

// A machine that still announces its application this long after its reset
// did not react, and may be reset once more.
constexpr uint64_t kReactMs = 10000;
constexpr int kMaxResets = 2;
constexpr uint32_t kDefaultWaitS = 30;

// A machine whose update failed before its run command is tried again
// after this pause, from where it then is, when --retries allows.
constexpr uint64_t kRetryPauseMs = 5000;

LanflashOptions opts;
bool exploring = false;
uint64_t start_ms = 0;
uint64_t start_utc_ms = 0;
uint64_t last_progress_ms = 0;  // a machine was first chosen or finished
int the_one = -1;  // without --all: the one machine of this run
bool explored = false;  // explore without --all: the first chosen machine is printed
bool finished = false;
AddrMap said_left_alone;  // addresses the trace has told so

uint64_t WaitMs() { return static_cast<uint64_t>(opts.timeout_s ? opts.timeout_s : kDefaultWaitS) * 1000; }

// Failures before the run command, which another try may mend.
bool Retryable(RecordReason reason) {
    return reason == REASON_NO_CONNECTION || reason == REASON_BOOT_NOT_HEARD || reason == REASON_TRANSFER_FAILED ||
           reason == REASON_WORKER_FAILED;
}

int Add(uint32_t addr, Phase phase, uint64_t now, int kind, uint32_t serial, const char* name, int name_len) {
    const int i = TableAdd(addr, phase, kind, serial, name, name_len);
    if (i >= 0) last_progress_ms = now;
    return i;
}

int AddAnnounced(uint32_t addr, Phase phase, uint64_t now) {
    return Add(addr, phase, now, announced_kind, announced_serial, udpDataBuff + kNameOffset, NameFieldLength(udpDataBuff));
}

// A failure before the run command waits for another try while --retries
// allows one (never with may_retry false: the run is ending). True when
// the machine now waits for it.
bool TryAgain(Machine& m, RecordReason reason, uint64_t now, bool may_retry) {
    if (!Retryable(reason)) return false;
    m.rec.last_failure = reason;
    if (!may_retry || static_cast<uint32_t>(m.rec.tries) > opts.retries) return false;
    m.phase = RETRYING;
    m.retry_at_ms = now + kRetryPauseMs;
    last_progress_ms = now;
    return true;
}

// "trying again (2 of 3) after: transfer failed": the trace and the event
// line of a parallel run say it alike, behind the address.
void RetryText(const Machine& m, char* out, size_t cap) {
    snprintf(out, cap, "trying again (%d of %u) after: %s", m.rec.tries, static_cast<unsigned>(opts.retries + 1),
             ReasonText(m.rec.last_failure));
}

// Another try begins: what the record says of a try starts afresh.
void StartTry(Machine& m, uint64_t now) {
    ++m.rec.tries;
    m.resets = 0;
    m.reset_ms = m.run_ms = m.reset_sent_ms = m.transfer_started_ms = 0;
    m.blocks_acked = 0;
    m.rec.reset_to_boot_ms = m.rec.transfer_ms = m.rec.run_to_confirm_ms = kNoMs;
    m.rec.blocks_sent = m.rec.blocks_resent = 0;
    m.rec.finished_utc_ms = 0;
    last_progress_ms = now;
}

void LeftAlone(uint32_t addr) {
    char text[16];
    printf("\nleft alone: %s", DottedQuad(addr, text));
    (void)AddrMapPut(&said_left_alone, addr, 1);
}

// As Add, but a machine the table cannot hold is told to be left alone.
int AddChosen(uint32_t addr, Phase phase, uint64_t now) {
    const int i = AddAnnounced(addr, phase, now);
    if (i < 0) LeftAlone(addr);
    return i;
}

// A machine in the table was chosen when it was added: so its boot
// loader, which announces no serial number, is chosen by its address.
bool Chosen(uint32_t addr, int kind, uint32_t serial, bool in_table) {
    if (!MachineListGiven() || in_table) return true;
    if (MachineListHasAddress(addr)) return true;
    return kind == kAppKind && MachineListHasSerial(serial);
}

// Another board than the one this machine heard: another serial number,
// or another model. The name field's text behind the model's name may
// change with the firmware, so it does not count.
bool OtherBoard(const Machine& m, uint32_t serial, const char* name) {
    if (!m.rec.has_serial) return false;  // its application was never heard
    int known_len = 0, heard_len = 0;
    const bool other_model = MatchName(m.rec.name, &known_len) != MatchName(name, &heard_len) || known_len != heard_len ||
                             memcmp(m.rec.name, name, static_cast<size_t>(known_len)) != 0;
    return m.rec.serial != serial || other_model;
}

// An application that is not the machine done at its address: a board
// swapped in, a machine of its own.
bool SwappedIn(const Machine& m, int kind, uint32_t serial, const char* name) {
    return kind == kAppKind && IsFinal(m.phase) && OtherBoard(m, serial, name);
}

}  // namespace

void FleetStart(const LanflashOptions& o, bool explore) {
    opts = o;
    exploring = explore;
    TableStart(opts.all);
    start_ms = last_progress_ms = plat_now_ms();
    start_utc_ms = plat_utc_ms();
}

const LanflashOptions& FleetOptions(void) { return opts; }

bool FleetExploring(void) { return exploring; }

uint64_t FleetStartedUtcMs(void) { return start_utc_ms; }

bool FleetFinished(void) { return opts.exit && finished; }

int FleetTheOne(void) { return the_one; }

void FleetFinish(Machine& m, Phase phase, uint64_t now, RecordReason reason, bool may_retry) {
    if (phase == FAILED && TryAgain(m, reason, now, may_retry)) return;
    m.phase = phase;
    last_progress_ms = now;
    m.rec.result = phase == UPDATED ? RESULT_UPDATED : phase == FAILED ? RESULT_FAILED : RESULT_UNCONFIRMED;
    m.rec.reason = reason;
    // A finish time already in the record (a worker's) stands.
    if (m.rec.finished_utc_ms == 0) m.rec.finished_utc_ms = plat_utc_ms();
    TableAccount(m);
    ReportMachine(m.rec);
    WorkerRecord(m.rec);
}

void FleetKeepTimeLimits(uint64_t now, bool (*waiting)(uint32_t addr), bool any_waiting) {
    bool in_progress = false;
    for (int i = TableFirstUnfinished(); i < TableCount(); ++i) {
        Machine& m = TableMachine(i);
        // Never given up while its answer waits to be judged.
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
    // Machines chosen by a block, or swapped in at a named address, are not
    // expected: the run waits for those in progress all the same.
    if (TableNamedMachinesDone() && !in_progress) {
        finished = true;
        return;
    }
    const bool named = MachineListExpectedCount() > 0;
    if ((timed || !named) && !in_progress && now > last_progress_ms + WaitMs()) finished = true;
}

Verdict FleetJudge(uint32_t addr, int kind, uint32_t serial, const char* name) {
    int i = TableFind(addr);
    if (i >= 0 && SwappedIn(TableMachine(i), kind, serial, name)) i = -1;
    const bool said = AddrMapGet(&said_left_alone, addr) >= 0;
    if (!Chosen(addr, kind, serial, i >= 0)) return said ? V_LEFT_ALONE_SAID : V_LEFT_ALONE;
    if (exploring) return opts.all && i >= 0 ? V_NOTHING_NEW : V_NEW;
    if (!opts.all && the_one >= 0 && i != the_one) return said ? V_LEFT_ALONE_SAID : V_LEFT_ALONE;
    if (i < 0) return V_NEW;
    return IsFinal(TableMachine(i).phase) ? V_NOTHING_NEW : V_IN_PROGRESS;
}

int FleetChoose(int retv, uint64_t arrived_ms, uint64_t first_arrived_ms, int* machine) {
    if (retv == -1) return -1;
    const uint64_t now = plat_now_ms();
    const uint32_t addr = machine_sockaddr.sin_addr;
    const char* name = udpDataBuff + kNameOffset;
    const int name_len = NameFieldLength(udpDataBuff);
    int i = TableFind(addr);
    if (i >= 0 && SwappedIn(TableMachine(i), announced_kind, announced_serial, name)) i = -1;
    if (!Chosen(addr, announced_kind, announced_serial, i >= 0)) {
        LeftAlone(addr);
        return -1;
    }
    if (retv == 3) {  // explore mode
        const bool boot = announced_kind != kAppKind;
        if (!opts.all) {
            explored = true;
            if (AddAnnounced(addr, LISTED, now) < 0) return -1;
            ReportListed(addr, name, name_len, boot, !boot, announced_serial);
            return 3;
        }
        if (i < 0 && AddAnnounced(addr, LISTED, now) >= 0) {
            char text[16];
            printf("\nmachine: %s %.*s", DottedQuad(addr, text), name_len, name);
            if (announced_kind == kAppKind) printf(" No: %" PRIu32, announced_serial);
            ReportListed(addr, name, name_len, boot, !boot, announced_serial);
        }
        return -1;
    }
    if (!opts.all && the_one >= 0 && i != the_one) {
        LeftAlone(addr);
        return -1;
    }
    Machine* m = i >= 0 ? &TableMachine(i) : nullptr;
    bool fresh = m == nullptr;  // a new machine, or a new try of one
    if (m != nullptr && m->phase == RETRYING) {
        // Judged by when it arrived: announced during the pause, it waits.
        if (arrived_ms < m->retry_at_ms) return -1;
        StartTry(*m, now);
        char text[96], address[16];
        RetryText(*m, text, sizeof text);
        printf("\n%s: %s", DottedQuad(addr, address), text);
        fresh = true;
    }
    if (retv == 2) {
        if (m == nullptr) {
            i = AddChosen(addr, RESETTING, now);
            if (i < 0) return -1;
            m = &TableMachine(i);
        } else if (fresh) {
            m->phase = RESETTING;
        } else if (m->phase == CONFIRMING) {
            // Judged by when it arrived: the main loop may have been busy.
            const uint64_t run_ms = m->run_ms;
            const uint64_t first = first_arrived_ms > run_ms ? first_arrived_ms : arrived_ms;
            // Another board there confirms nothing: it waits for this one to end.
            if (first > run_ms && first <= run_ms + WaitMs() && !OtherBoard(*m, announced_serial, name)) {
                m->rec.run_to_confirm_ms = static_cast<int64_t>(first - run_ms);
                SetName(m->rec, name, name_len);
                m->rec.has_serial = true;
                m->rec.serial = announced_serial;
                WorkerSay("confirmed %lld", static_cast<long long>(m->rec.run_to_confirm_ms));
                FleetFinish(*m, UPDATED, now, REASON_NONE);
            }
            return -1;
        } else if (m->phase != RESETTING || m->resets >= kMaxResets || arrived_ms <= m->reset_ms + kReactMs) {
            return -1;  // sent before its reset, still restarting, or done
        }
        ++m->resets;
        m->reset_ms = now;
    } else {
        if (m == nullptr) {
            i = AddChosen(addr, UPDATING, now);
            if (i < 0) return -1;
            m = &TableMachine(i);
        } else if (fresh) {
            m->phase = UPDATING;
        } else if (m->phase == RESETTING) {
            m->phase = UPDATING;
            if (m->reset_sent_ms != 0) {
                const uint64_t heard = first_arrived_ms > m->reset_sent_ms ? first_arrived_ms : arrived_ms;
                m->rec.reset_to_boot_ms = heard > m->reset_sent_ms ? static_cast<int64_t>(heard - m->reset_sent_ms) : 0;
            }
        } else {
            return -1;  // updated, failed or waiting to be confirmed: once per run
        }
        WorkerSay("boot");
    }
    the_one = i;
    *machine = i;
    return retv;
}

int FleetHeard(uint32_t addr, int kind, uint32_t serial, const char* name, int name_len, bool* added) {
    *added = false;
    int i = TableFind(addr);
    if (i >= 0 && !SwappedIn(TableMachine(i), kind, serial, name)) return i;
    if (!Chosen(addr, kind, serial, false)) return -1;
    i = Add(addr, WAITING, plat_now_ms(), kind, serial, name, name_len);
    *added = i >= 0;
    return i;
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
    const uint64_t now = plat_now_ms();
    if (again) {
        StartTry(m, now);
        RetryText(m, retry_text, cap);
    } else {
        m.rec.started_utc_ms = plat_utc_ms();
    }
    m.phase = WORKING;
    last_progress_ms = now;
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
