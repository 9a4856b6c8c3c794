// Choosing machines, updating every one of them once, confirming the new
// firmware, ending by itself and the result per machine. The sequencer
// stays the one state machine that talks to a machine; this module decides
// which announcements it acts on and what happens after M_IDLE.
#include "fleet.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>

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

// WAITING and WORKING only in a parallel run's parent: chosen, and in the
// hands of a worker process.
enum Phase { RESETTING, UPDATING, CONFIRMING, UPDATED, FAILED, UNCONFIRMED, LISTED, WAITING, WORKING };

struct Machine {
    Phase phase;
    int resets;
    uint64_t reset_ms, run_ms;
    uint64_t reset_sent_ms, transfer_started_ms;  // 0: not yet
    uint32_t blocks_acked;
    MachineRecord rec;
};

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
Machine machines[kFleetMaxMachines];
int machine_count = 0;
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

int Find(uint32_t addr) {
    for (int i = 0; i < machine_count; ++i)
        if (machines[i].rec.addr == addr) return i;
    return -1;
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

// -1 when the table is full: that machine is then left alone.
int Add(uint32_t addr, Phase phase, uint64_t now, int kind, uint32_t serial, const char* name, int name_len) {
    if (machine_count == kFleetMaxMachines) return -1;
    Machine& m = machines[machine_count];
    m = Machine{};
    m.phase = phase;
    m.rec.addr = addr;
    m.rec.has_serial = kind == kAppKind;
    m.rec.serial = kind == kAppKind ? serial : 0;
    m.rec.started_utc_ms = plat_utc_ms();
    SetName(m.rec, name, name_len);
    last_progress_ms = now;
    return machine_count++;
}

int AddAnnounced(uint32_t addr, Phase phase, uint64_t now) {
    return Add(addr, phase, now, announced_kind, announced_serial, udpDataBuff + kNameOffset, NameFieldLength(udpDataBuff));
}

// The machine has its result: into the report at once, and to the parent
// when this is a worker.
void Finish(Machine& m, Phase phase, uint64_t now, RecordReason reason) {
    m.phase = phase;
    last_progress_ms = now;
    m.rec.result = phase == UPDATED ? RESULT_UPDATED : phase == FAILED ? RESULT_FAILED : RESULT_UNCONFIRMED;
    m.rec.reason = reason;
    m.rec.finished_utc_ms = plat_utc_ms();
    ReportMachine(m.rec);
    WorkerRecord(m.rec);
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

// Every machine in the table was chosen when it was added: so a boot
// loader, which announces no serial number, is found by its address.
bool Chosen(uint32_t addr, int kind, uint32_t serial) {
    if (!MachineListGiven()) return true;
    if (Find(addr) >= 0) return true;
    if (MachineListHasAddress(addr)) return true;
    return kind == kAppKind && MachineListHasSerial(serial);
}

// Stops at the first expected machine not done. Each before it is a machine
// of the table, one at most twice (by address and by serial number): a long
// list costs no more than the table does.
bool NamedMachinesDone() {
    const int expected = MachineListExpectedCount();
    if (expected == 0) return false;
    for (int e = 0; e < expected; ++e) {
        const ExpectedMachine x = MachineListExpected(e);
        bool done = false;
        if (!x.is_serial) {
            const int m = Find(x.value);
            done = m >= 0 && IsFinal(machines[m].phase);
        }
        for (int i = 0; i < machine_count && x.is_serial && !done; ++i)
            done = machines[i].rec.has_serial && machines[i].rec.serial == x.value && IsFinal(machines[i].phase);
        if (!done) return false;
    }
    return true;
}

// Runs only once every datagram that arrived so far has been judged, so
// that a machine is never given up while its answer waits in the queue.
void KeepTimeLimits(uint64_t now) {
    bool in_progress = false;
    for (int i = 0; i < machine_count; ++i) {
        Machine& m = machines[i];
        if (m.phase == CONFIRMING && now > m.run_ms + WaitMs()) {
            WorkerSay("unconfirmed %u", static_cast<unsigned>(WaitMs() / 1000));
            Finish(m, UNCONFIRMED, now, REASON_NOT_CONFIRMED);
        }
        // Reset, and its boot loader never announced.
        if (m.phase == RESETTING && now > m.reset_ms + kReactMs + WaitMs()) {
            WorkerSay("noboot %u", static_cast<unsigned>((kReactMs + WaitMs()) / 1000));
            Finish(m, FAILED, now, REASON_BOOT_NOT_HEARD);
        }
        in_progress = in_progress || !IsFinal(m.phase);
    }
    const bool timed = opts.timeout_s != 0;
    if (!opts.all) {
        if (only_explore == 1) {
            finished = explored || (timed && now > start_ms + WaitMs());
        } else if (the_one >= 0) {
            finished = IsFinal(machines[the_one].phase);
        } else {
            finished = timed && now > start_ms + WaitMs();
        }
        return;
    }
    // Machines chosen by a block are not expected: the run waits for those
    // in progress all the same.
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
            Finish(machines[current], FAILED, now, REASON_NO_CONNECTION);
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
    if (!Chosen(addr, announced_kind, announced_serial)) {
        LeftAlone(addr);
        return -1;
    }
    int i = Find(addr);
    if (retv == 3) {  // explore mode
        const bool boot = announced_kind != kAppKind;
        if (!opts.all) {
            explored = true;
            if (AddAnnounced(addr, LISTED, now) < 0) return -1;
            ReportListed(addr, udpDataBuff + kNameOffset, NameFieldLength(udpDataBuff), boot, !boot, announced_serial);
            return 3;
        }
        if (i < 0 && AddAnnounced(addr, LISTED, now) >= 0) {
            char text[16];
            const char* name = udpDataBuff + kNameOffset;
            printf("\nmachine: %s %.*s", DottedQuad(addr, text), NameFieldLength(udpDataBuff), name);
            if (announced_kind == kAppKind) printf(" No: %" PRIu32, announced_serial);
            ReportListed(addr, name, NameFieldLength(udpDataBuff), boot, !boot, announced_serial);
        }
        return -1;
    }
    if (!opts.all && the_one >= 0 && i != the_one) {
        LeftAlone(addr);
        return -1;
    }
    if (retv == 2) {
        if (i < 0) {
            i = AddChosen(addr, RESETTING, now);
            if (i < 0) return -1;
        } else if (machines[i].phase == CONFIRMING) {
            // Judged by when it arrived: the main loop may have been busy.
            const uint64_t run_ms = machines[i].run_ms;
            const uint64_t first = current_first_arrival_ms > run_ms ? current_first_arrival_ms : current_arrival_ms;
            if (first > run_ms && first <= run_ms + WaitMs()) {
                Machine& m = machines[i];
                m.rec.run_to_confirm_ms = static_cast<int64_t>(first - run_ms);
                SetName(m.rec, udpDataBuff + kNameOffset, NameFieldLength(udpDataBuff));
                m.rec.has_serial = true;
                m.rec.serial = announced_serial;
                WorkerSay("confirmed %lld", static_cast<long long>(m.rec.run_to_confirm_ms));
                Finish(m, UPDATED, now, REASON_NONE);
            }
            return -1;
        } else if (machines[i].phase != RESETTING || machines[i].resets >= kMaxResets ||
                   current_arrival_ms <= machines[i].reset_ms + kReactMs) {
            return -1;  // sent before its reset, still restarting, or done
        }
        ++machines[i].resets;
        machines[i].reset_ms = now;
    } else {
        if (i < 0) {
            i = AddChosen(addr, UPDATING, now);
            if (i < 0) return -1;
        } else if (machines[i].phase == RESETTING) {
            Machine& m = machines[i];
            m.phase = UPDATING;
            if (m.reset_sent_ms != 0) {
                const uint64_t heard = current_first_arrival_ms > m.reset_sent_ms ? current_first_arrival_ms : current_arrival_ms;
                m.rec.reset_to_boot_ms = heard > m.reset_sent_ms ? static_cast<int64_t>(heard - m.reset_sent_ms) : 0;
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
    Machine& m = machines[current];
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
    Machine& m = machines[current];
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
    if (only_explore != 1 && (opts.all || (the_one >= 0 && machines[the_one].phase == CONFIRMING))) {
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
        Machine& m = machines[i];
        if (m.phase == LISTED) {
            ++counts[0];
            continue;
        }
        // Still in progress: the run was stopped.
        if (!IsFinal(m.phase)) Finish(m, m.phase == CONFIRMING ? UNCONFIRMED : FAILED, now, REASON_STOPPED);
        ++counts[m.rec.result];
        if (only_explore == 1) continue;
        char text[16];
        printf("result: %s %s\n", DottedQuad(m.rec.addr, text), ResultText(m.rec.result));
    }
    ReportSummary(counts, only_explore == 1, FleetExitStatus(), start_utc_ms, plat_utc_ms(), version);
}

int FleetExitStatus(void) {
    if (machine_count == 0) return 4;  // no chosen machine was heard
    if (only_explore == 1) return 0;
    for (int i = 0; i < machine_count; ++i)
        if (machines[i].phase != UPDATED) return 3;
    return 0;
}

int FleetHeard(uint32_t addr, int kind, uint32_t serial, const char* name, int name_len, bool* added) {
    *added = false;
    int i = Find(addr);
    if (i >= 0) return i;
    if (!Chosen(addr, kind, serial)) return -1;
    i = Add(addr, WAITING, plat_now_ms(), kind, serial, name, name_len);
    *added = i >= 0;
    return i;
}

int FleetMachineCount(void) { return machine_count; }

uint32_t FleetAddressOf(int i) { return machines[i].rec.addr; }

FleetSlot FleetSlotOf(int i) {
    if (machines[i].phase == WAITING) return SLOT_WAITING;
    return machines[i].phase == WORKING ? SLOT_WORKING : SLOT_DONE;
}

void FleetWorking(int i) {
    machines[i].phase = WORKING;
    machines[i].rec.started_utc_ms = plat_utc_ms();
    last_progress_ms = plat_now_ms();
}

void FleetConclude(int i, const MachineRecord& r) {
    Machine& m = machines[i];
    // A worker that could not tell still leaves what the parent heard.
    const MachineRecord heard = m.rec;
    m.rec = r;
    m.rec.addr = heard.addr;
    if (r.name_len == 0) SetName(m.rec, heard.name, heard.name_len);
    if (!r.has_serial) {
        m.rec.has_serial = heard.has_serial;
        m.rec.serial = heard.serial;
    }
    m.phase = r.result == RESULT_UPDATED ? UPDATED : r.result == RESULT_FAILED ? FAILED : UNCONFIRMED;
    last_progress_ms = plat_now_ms();
    ReportMachine(m.rec);
}

void FleetJudgeTime(void) { KeepTimeLimits(plat_now_ms()); }
