// Choosing machines, updating every one of them once, confirming the new
// firmware, ending by itself and the result per machine. The sequencer
// stays the one state machine that talks to a machine; this module decides
// which announcements it acts on and what happens after M_IDLE.
#include "fleet.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "addrmap.h"
#include "eth.h"
#include "fast.h"
#include "machlist.h"
#include "main.h"
#include "platform.h"
#include "report.h"
#include "worker.h"

bool fleet_on = false;

namespace {

// A machine that still announces its application this long after its reset
// did not react, and may be reset once more.
constexpr uint64_t kReactMs = 10000;
constexpr int kMaxResets = 2;
constexpr uint32_t kDefaultWaitS = 30;
// A machine that takes no connection for this long is given up, so that it
// neither holds up the others nor keeps the run from ending.
constexpr uint64_t kConnectGiveUpMs = 30000;
// Waiting for datagrams, the sequencer looks this often instead of once a
// second: with several machines announcing, one a second falls behind.
constexpr uint32_t kFleetWaitPollMs = 20;
constexpr int kQueueSlots = 64;
// Signature and announced address: datagrams alike in these come from one
// machine, and the newer says all that the older did.
constexpr int kMachineKeyBytes = 15;

// A machine whose update failed before its run command is tried again
// after this pause, from where it then is, when --retries allows.
constexpr uint64_t kRetryPauseMs = 5000;

// WAITING and WORKING only in a parallel run's parent: chosen, and in the
// hands of a worker process. RETRYING: failed, and to be tried again.
enum Phase { RESETTING, UPDATING, CONFIRMING, UPDATED, FAILED, UNCONFIRMED, LISTED, WAITING, WORKING, RETRYING };

struct Machine {
    Phase phase;
    int resets;
    uint64_t reset_ms, run_ms;
    uint64_t reset_sent_ms, transfer_started_ms;  // 0: not yet
    uint32_t blocks_acked;
    uint64_t retry_at_ms;
    MachineRecord rec;
};

// What became of a machine the list expects.
enum Expected : uint8_t { NOT_HEARD, HEARD, DONE };

struct Datagram {
    char data[BUF_SIZE];
    int len;
    uint64_t arrived_ms;        // the newest of those merged into this one
    uint64_t first_arrived_ms;  // the first of them that said the same
};

LanflashOptions opts;
uint64_t start_ms = 0;
uint64_t start_utc_ms = 0;
uint64_t last_progress_ms = 0;  // a machine was first chosen or finished
// Each machine on its own, so that a pointer to it survives the table's growth.
Machine** machines = nullptr;
int machine_count = 0;
int machine_slots = 0;
int first_unfinished = 0;  // no machine before it is in progress
AddrMap newest;            // address -> the newest machine heard there
Expected* expected = nullptr;  // per machine the list expects, in its order
int expected_done = 0;
int current = -1;  // the machine on the sequencer's current path
int the_one = -1;  // without --all: the one machine of this run
bool connection_open = false;
bool explored = false;  // explore without --all: the first chosen machine is printed
bool finished = false;
uint64_t path_started_ms = 0;
uint64_t current_arrival_ms = 0;  // of the datagram in udpDataBuff
uint64_t current_first_arrival_ms = 0;

// Listener thread fills, main thread takes. A spin lock held for a copy or
// two: std::mutex would pull in the C++ runtime library for its exceptions.
std::atomic_flag queue_busy = ATOMIC_FLAG_INIT;

struct QueueLock {
    QueueLock() {
        while (queue_busy.test_and_set(std::memory_order_acquire)) plat_sleep_ms(0);
    }
    ~QueueLock() { queue_busy.clear(std::memory_order_release); }
    QueueLock(const QueueLock&) = delete;
    QueueLock& operator=(const QueueLock&) = delete;
};

Datagram queue[kQueueSlots];
int queue_head = 0, queue_count = 0;
bool listener_ready = false;  // listener thread only

uint64_t WaitMs() { return static_cast<uint64_t>(opts.timeout_s ? opts.timeout_s : kDefaultWaitS) * 1000; }

bool IsFinal(Phase p) { return p == UPDATED || p == FAILED || p == UNCONFIRMED || p == LISTED; }

// The newest machine heard at this address, or -1.
int Find(uint32_t addr) { return AddrMapGet(&newest, addr); }

// Failures before the run command, which another try may mend.
bool Retryable(RecordReason reason) {
    return reason == REASON_NO_CONNECTION || reason == REASON_BOOT_NOT_HEARD || reason == REASON_TRANSFER_FAILED ||
           reason == REASON_WORKER_FAILED;
}

void MarkExpected(int e, Expected state) {
    if (e < 0 || expected[e] >= state) return;
    if (state == DONE) ++expected_done;
    expected[e] = state;
}

// The list's machines that this one is: heard, and done once final.
void Account(const Machine& m) {
    if (expected == nullptr) return;
    const Expected state = IsFinal(m.phase) ? DONE : HEARD;
    MarkExpected(MachineListExpectedIndexOfAddress(m.rec.addr), state);
    if (m.rec.has_serial) MarkExpected(MachineListExpectedIndexOfSerial(m.rec.serial), state);
}

uint32_t DataBlocks(long bytes) {
    const uint32_t size = static_cast<uint32_t>(bytes);
    const uint32_t big = size / 1024;
    return big + (size % 1024 + 127) / 128;
}

void SetName(MachineRecord& r, const char* name, int len) {
    if (len > kRecordNameBytes) len = kRecordNameBytes;
    memcpy(r.name, name, static_cast<size_t>(len));
    r.name_len = len;
}

// -1 when no memory is left for it: that machine is then left alone.
int Add(uint32_t addr, Phase phase, uint64_t now, int kind, uint32_t serial, const char* name, int name_len) {
    if (machine_count == machine_slots) {
        const int slots = machine_slots == 0 ? 64 : 2 * machine_slots;
        Machine** grown = static_cast<Machine**>(realloc(machines, static_cast<size_t>(slots) * sizeof *machines));
        if (grown == nullptr) return -1;
        machines = grown;
        machine_slots = slots;
    }
    Machine* m = static_cast<Machine*>(malloc(sizeof(Machine)));
    if (m == nullptr || !AddrMapPut(&newest, addr, machine_count)) {
        free(m);
        return -1;
    }
    *m = Machine{};
    m->phase = phase;
    m->rec.addr = addr;
    m->rec.has_serial = kind == kAppKind;
    m->rec.serial = kind == kAppKind ? serial : 0;
    m->rec.started_utc_ms = plat_utc_ms();
    SetName(m->rec, name, name_len);
    machines[machine_count] = m;
    last_progress_ms = now;
    Account(*m);
    return machine_count++;
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

// The machine has its result: into the report at once, and to the parent
// when this is a worker. A finish time already in the record (a worker's)
// stands.
void Finish(Machine& m, Phase phase, uint64_t now, RecordReason reason, bool may_retry = true) {
    if (phase == FAILED && TryAgain(m, reason, now, may_retry)) return;
    m.phase = phase;
    last_progress_ms = now;
    m.rec.result = phase == UPDATED ? RESULT_UPDATED : phase == FAILED ? RESULT_FAILED : RESULT_UNCONFIRMED;
    m.rec.reason = reason;
    if (m.rec.finished_utc_ms == 0) m.rec.finished_utc_ms = plat_utc_ms();
    Account(m);
    ReportMachine(m.rec);
    WorkerRecord(m.rec);
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

bool NamedMachinesDone() {
    const int count = MachineListExpectedCount();
    return count > 0 && expected_done == count;
}

// Runs only once every datagram that arrived so far has been judged, so
// that a machine is never given up while its answer waits in the queue.
void KeepTimeLimits(uint64_t now) {
    while (first_unfinished < machine_count && IsFinal(machines[first_unfinished]->phase)) ++first_unfinished;
    bool in_progress = false;
    for (int i = first_unfinished; i < machine_count; ++i) {
        Machine& m = *machines[i];
        if (m.phase == CONFIRMING && now > m.run_ms + WaitMs()) {
            WorkerSay("unconfirmed %u", static_cast<unsigned>(WaitMs() / 1000));
            Finish(m, UNCONFIRMED, now, REASON_NOT_CONFIRMED);
        }
        // Reset, and its boot loader never announced.
        if (m.phase == RESETTING && now > m.reset_ms + kReactMs + WaitMs()) {
            WorkerSay("noboot %u", static_cast<unsigned>((kReactMs + WaitMs()) / 1000));
            Finish(m, FAILED, now, REASON_BOOT_NOT_HEARD);
        }
        // To be tried again, and not heard since the pause.
        if (m.phase == RETRYING && now > m.retry_at_ms + WaitMs()) Finish(m, FAILED, now, m.rec.last_failure, false);
        in_progress = in_progress || !IsFinal(m.phase);
    }
    const bool timed = opts.timeout_s != 0;
    if (!opts.all) {
        if (only_explore == 1) {
            finished = explored || (timed && now > start_ms + WaitMs());
        } else if (the_one >= 0) {
            finished = IsFinal(machines[the_one]->phase);
        } else {
            finished = timed && now > start_ms + WaitMs();
        }
        return;
    }
    // Machines chosen by a block, or swapped in at a named address, are not
    // expected: the run waits for those in progress all the same.
    if (NamedMachinesDone() && !in_progress) {
        finished = true;
        return;
    }
    const bool named = MachineListExpectedCount() > 0;
    if ((timed || !named) && !in_progress && now > last_progress_ms + WaitMs()) finished = true;
}

}  // namespace

void FleetStart(const LanflashOptions& o) {
    opts = o;
    const int count = MachineListExpectedCount();
    if (opts.all && count > 0) expected = static_cast<Expected*>(calloc(static_cast<size_t>(count), sizeof *expected));
    start_ms = last_progress_ms = plat_now_ms();
    start_utc_ms = plat_utc_ms();
}

namespace {

void Enqueue(Datagram& d) {
    QueueLock lock;
    for (int i = 0; i < queue_count; ++i) {
        Datagram& q = queue[(queue_head + i) % kQueueSlots];
        if (q.len >= kMachineKeyBytes && d.len >= kMachineKeyBytes &&
            memcmp(q.data, d.data, kMachineKeyBytes) == 0) {
            // A confirmation counts from the first announcement that said so.
            if (q.len == d.len && memcmp(q.data, d.data, static_cast<size_t>(d.len)) == 0 &&
                q.first_arrived_ms < d.first_arrived_ms)
                d.first_arrived_ms = q.first_arrived_ms;
            q = d;  // keeps its place in line
            return;
        }
    }
    if (queue_count == kQueueSlots) {  // junk from many senders: the oldest goes
        queue_head = (queue_head + 1) % kQueueSlots;
        --queue_count;
    }
    queue[(queue_head + queue_count) % kQueueSlots] = d;
    ++queue_count;
}

}  // namespace

void FleetQueue(const char* data, int len, uint64_t arrived_ms, uint64_t first_arrived_ms) {
    Datagram d;
    memcpy(d.data, data, BUF_SIZE);
    d.len = len;
    d.arrived_ms = arrived_ms;
    d.first_arrived_ms = first_arrived_ms;
    Enqueue(d);
    if (fast_on) FastNews();
}

bool FleetTakeQueued(char* data, int* len, uint64_t* arrived_ms, uint64_t* first_arrived_ms) {
    QueueLock lock;
    if (queue_count == 0) return false;
    const Datagram& d = queue[queue_head];
    memcpy(data, d.data, BUF_SIZE);
    *len = d.len;
    *arrived_ms = d.arrived_ms;
    *first_arrived_ms = d.first_arrived_ms;
    queue_head = (queue_head + 1) % kQueueSlots;
    --queue_count;
    return true;
}

uint32_t FleetPollUDP(void) {
    if (!listener_ready) {
        InitUDP();
        listener_ready = true;
        return 0;
    }
    char data[BUF_SIZE];
    const int len = ReceiveDatagram(data);
    const uint64_t now = plat_now_ms();
    FleetQueue(data, len, now, now);
    return 0;
}

void FleetBeforePoll(void) {
    const uint64_t now = plat_now_ms();
    if (m_state == M_MACHINE_RECOGNIZED || m_state == M_BOOTLOADER_RECOGNIZED) {
        if (current >= 0 && now > path_started_ms + kConnectGiveUpMs) {
            WorkerSay("noconnect %u", static_cast<unsigned>(kConnectGiveUpMs / 1000));
            Finish(*machines[current], FAILED, now, REASON_NO_CONNECTION);
            TCPSetstate(TCP_CLOSE);
            connection_open = false;
            MSetstate(M_WAIT_FOR_UDP_DATA);
        }
        return;
    }
    // With --all, M_IDLE only passes on to the next machine.
    if (m_state == M_IDLE && !opts.all) {
        KeepTimeLimits(now);
        return;
    }
    if (m_state != M_WAIT_FOR_UDP_DATA || UDPrecvedlength.load(std::memory_order_acquire) != 0) return;
    // Nothing new is started on the last pass before the end.
    const bool ending = FleetFinished() || requestTerminate.load() != 0;
    int len = 0;
    if (!ending && FleetTakeQueued(udpDataBuff, &len, &current_arrival_ms, &current_first_arrival_ms)) {
        UDPrecvedlength.store(len, std::memory_order_release);
        return;
    }
    bool none_queued;
    {
        QueueLock lock;
        none_queued = queue_count == 0;
    }
    // Outside the lock: its clean-up on unwinding would pull in the C++
    // runtime library, and the listener would spin meanwhile.
    if (none_queued) KeepTimeLimits(now);
}

// M_IDLE after a download only hands over to what comes next: the run
// command is on its way, and the other machines wait.
uint32_t FleetPace(uint32_t delay_ms) {
    const bool handing_over = m_state == M_WAIT_FOR_UDP_DATA || (m_state == M_IDLE && connection_open);
    if (handing_over && delay_ms > kFleetWaitPollMs) return kFleetWaitPollMs;
    return delay_ms;
}

bool FleetFinished(void) { return opts.exit && finished; }

int FleetChoose(int retv) {
    if (retv == -1) return -1;
    const uint64_t now = plat_now_ms();
    const uint32_t addr = machine_sockaddr.sin_addr;
    const char* name = udpDataBuff + kNameOffset;
    const int name_len = NameFieldLength(udpDataBuff);
    int i = Find(addr);
    if (i >= 0 && SwappedIn(*machines[i], announced_kind, announced_serial, name)) i = -1;
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
    Machine* m = i >= 0 ? machines[i] : nullptr;
    bool fresh = m == nullptr;  // a new machine, or a new try of one
    if (m != nullptr && m->phase == RETRYING) {
        // Judged by when it arrived: announced during the pause, it waits.
        if (current_arrival_ms < m->retry_at_ms) return -1;
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
            m = machines[i];
        } else if (fresh) {
            m->phase = RESETTING;
        } else if (m->phase == CONFIRMING) {
            // Judged by when it arrived: the main loop may have been busy.
            const uint64_t run_ms = m->run_ms;
            const uint64_t first = current_first_arrival_ms > run_ms ? current_first_arrival_ms : current_arrival_ms;
            // Another board there confirms nothing: it waits for this one to end.
            if (first > run_ms && first <= run_ms + WaitMs() && !OtherBoard(*m, announced_serial, name)) {
                m->rec.run_to_confirm_ms = static_cast<int64_t>(first - run_ms);
                SetName(m->rec, name, name_len);
                m->rec.has_serial = true;
                m->rec.serial = announced_serial;
                WorkerSay("confirmed %lld", static_cast<long long>(m->rec.run_to_confirm_ms));
                Finish(*m, UPDATED, now, REASON_NONE);
            }
            return -1;
        } else if (m->phase != RESETTING || m->resets >= kMaxResets || current_arrival_ms <= m->reset_ms + kReactMs) {
            return -1;  // sent before its reset, still restarting, or done
        }
        ++m->resets;
        m->reset_ms = now;
    } else {
        if (m == nullptr) {
            i = AddChosen(addr, UPDATING, now);
            if (i < 0) return -1;
            m = machines[i];
        } else if (fresh) {
            m->phase = UPDATING;
        } else if (m->phase == RESETTING) {
            m->phase = UPDATING;
            if (m->reset_sent_ms != 0) {
                const uint64_t heard = current_first_arrival_ms > m->reset_sent_ms ? current_first_arrival_ms : current_arrival_ms;
                m->rec.reset_to_boot_ms = heard > m->reset_sent_ms ? static_cast<int64_t>(heard - m->reset_sent_ms) : 0;
            }
        } else {
            return -1;  // updated, failed or waiting to be confirmed: once per run
        }
        WorkerSay("boot");
        connection_open = true;
    }
    the_one = i;
    current = i;
    path_started_ms = now;
    return retv;
}

void FleetSawTransition(M_STATE from, M_STATE to) {
    if (current < 0) return;
    Machine& m = *machines[current];
    const uint64_t now = plat_now_ms();
    if (from == M_MACHINE_SEND_RESET && to == M_MACHINE_RESET) {
        m.reset_sent_ms = now;
        WorkerSay("reset");
    }
    // '3' is not sent after a failed transfer.
    if (from == M_DOWNLOAD && to == M_IDLE) Finish(m, FAILED, now, REASON_TRANSFER_FAILED);
    if (from == M_RUN_FIRMWARE && to == M_IDLE) {
        m.phase = CONFIRMING;
        m.run_ms = now;
        WorkerSay("run");
    }
}

void FleetTransferNews(TransferNews news, uint32_t block, int answer) {
    if (current < 0) return;
    Machine& m = *machines[current];
    const uint64_t now = plat_now_ms();
    switch (news) {
    case TN_STARTED:
        m.transfer_started_ms = now;
        WorkerSay("transfer %ld %u", fw_size, static_cast<unsigned>(DataBlocks(fw_size)));
        return;
    case TN_DATA_SENT:
        if (answer == 0) {
            ++m.rec.blocks_sent;
        } else {
            ++m.rec.blocks_resent;
        }
        return;
    case TN_DATA_ACKED:
        WorkerSay("acked %u", static_cast<unsigned>(++m.blocks_acked));
        return;
    case TN_FAILED_BLOCK0:
    case TN_FAILED_DATA:
    case TN_FAILED_EOT:
    case TN_FAILED_CLOSING:
    case TN_DONE:
        break;
    }
    m.rec.transfer_ms = static_cast<int64_t>(now - m.transfer_started_ms);
    if (news == TN_DONE) {
        WorkerSay("done %lld %u", static_cast<long long>(m.rec.transfer_ms), static_cast<unsigned>(m.rec.blocks_resent));
    } else {
        WorkerSay("failed %d %u %d", static_cast<int>(news), static_cast<unsigned>(block), answer);
    }
}

uint32_t FleetIdle(void) {
    if (connection_open) {
        Release_TCP();
        connection_open = false;
    }
    // One machine: its confirmation or its next try comes by announcement.
    const bool one_goes_on = the_one >= 0 && (machines[the_one]->phase == CONFIRMING || machines[the_one]->phase == RETRYING);
    if (only_explore != 1 && (opts.all || one_goes_on)) {
        MSetstate(M_WAIT_FOR_UDP_DATA);
        return kFleetWaitPollMs;
    }
    return 1000;
}

void FleetReport(const char* version, bool line_open) {
    // The trace's last line has no newline of its own; a console event's
    // line may have been followed by more trace (a transfer runs to its end).
    if (line_open) putchar('\n');
    const uint64_t now = plat_now_ms();
    int counts[kReportCounts] = {0, 0, 0, 0};
    for (int i = 0; i < machine_count; ++i) {
        Machine& m = *machines[i];
        if (m.phase == LISTED) {
            ++counts[0];
            continue;
        }
        // Still in progress: the run was stopped. No new try begins.
        if (m.phase == RETRYING) Finish(m, FAILED, now, m.rec.last_failure, false);
        if (!IsFinal(m.phase)) Finish(m, m.phase == CONFIRMING ? UNCONFIRMED : FAILED, now, REASON_STOPPED, false);
        ++counts[m.rec.result];
        if (only_explore == 1) continue;
        char text[16];
        printf("result: %s %s\n", DottedQuad(m.rec.addr, text), ResultText(m.rec.result));
    }
    // Named and never heard, in the order named, after the others.
    for (int e = 0; expected != nullptr && e < MachineListExpectedCount(); ++e) {
        if (expected[e] != NOT_HEARD) continue;
        ++counts[RESULT_MISSING];
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
        ReportMachine(r);
        char text[16];
        if (x.is_serial) {
            printf("result: serial %" PRIu32 " not heard\n", x.value);
        } else {
            printf("result: %s not heard\n", DottedQuad(x.value, text));
        }
    }
    ReportSummary(counts, only_explore == 1, FleetExitStatus(), start_utc_ms, plat_utc_ms(), version);
}

int FleetExitStatus(void) {
    if (machine_count == 0) return 4;  // no chosen machine was heard
    for (int e = 0; expected != nullptr && e < MachineListExpectedCount(); ++e)
        if (expected[e] == NOT_HEARD) return 3;
    if (only_explore == 1) return 0;
    for (int i = 0; i < machine_count; ++i)
        if (machines[i]->phase != UPDATED) return 3;
    return 0;
}

int FleetHeard(uint32_t addr, int kind, uint32_t serial, const char* name, int name_len, bool* added) {
    *added = false;
    int i = Find(addr);
    if (i >= 0 && !SwappedIn(*machines[i], kind, serial, name)) return i;
    if (!Chosen(addr, kind, serial, false)) return -1;
    i = Add(addr, WAITING, plat_now_ms(), kind, serial, name, name_len);
    *added = i >= 0;
    return i;
}

int FleetMachineCount(void) { return machine_count; }

int FleetFirstUnfinished(void) { return first_unfinished; }

uint32_t FleetAddressOf(int i) { return machines[i]->rec.addr; }

FleetSlot FleetSlotOf(int i) {
    const Phase phase = machines[i]->phase;
    if (phase == WAITING || phase == RETRYING) return SLOT_WAITING;
    return phase == WORKING ? SLOT_WORKING : SLOT_DONE;
}

bool FleetMayStart(int i, uint64_t arrived_ms) {
    const Machine& m = *machines[i];
    return m.phase == WAITING || (m.phase == RETRYING && arrived_ms >= m.retry_at_ms);
}

bool FleetWorking(int i, char* retry_text, size_t cap) {
    Machine& m = *machines[i];
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
    Machine& m = *machines[i];
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
    Finish(m, phase, plat_now_ms(), r.reason, may_retry);
}

void FleetJudgeTime(void) { KeepTimeLimits(plat_now_ms()); }
