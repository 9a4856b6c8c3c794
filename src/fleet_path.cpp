// The one-machine path with options: what the sequencer's seams do.
#include "fleet_path.h"

#include "conflict.h"
#include "eth.h"
#include "fleet_choose.h"
#include "fleet_intake.h"
#include "fleet_rules.h"
#include "hooks.h"
#include "mstate.h"
#include "platform.h"
#include "worker.h"

namespace {

// A machine that takes no connection for this long is given up, so that it
// neither holds up the others nor keeps the run from ending.
constexpr uint64_t kConnectGiveUpMs = 30000;
// Waiting for datagrams, the sequencer looks this often instead of once a
// second: with several machines announcing, one a second falls behind.
constexpr uint32_t kFleetWaitPollMs = 20;
constexpr uint32_t kIdlePollMs = 1000;

long image_bytes = 0;
int current = -1;  // the machine on the sequencer's current path
bool connection_open = false;
uint64_t path_started_ms = 0;
uint32_t current_from = 0;  // of the datagram in udpDataBuff
uint64_t current_arrival_ms = 0;
uint64_t current_first_arrival_ms = 0;

uint32_t DataBlocks(long bytes) {
    const uint32_t size = static_cast<uint32_t>(bytes);
    const uint32_t big = size / 1024;
    return big + (size % 1024 + 127) / 128;
}

int Choose(int retv) {
    int machine = -1;
    retv = FleetChoose(retv, current_from, current_arrival_ms, current_first_arrival_ms, &machine);
    if (retv == 1 || retv == 2) {
        current = machine;
        path_started_ms = plat_now_ms();
    }
    if (retv == 1) connection_open = true;
    return retv;
}

void SawTransition(M_STATE from, M_STATE to) {
    if (current < 0) return;
    Machine& m = TableMachine(current);
    const uint64_t now = plat_now_ms();
    if (from == M_MACHINE_SEND_RESET && to == M_MACHINE_RESET) {
        m.reset_sent_ms = now;
        WorkerSay("reset");
    }
    // '3' is not sent after a failed transfer.
    if (from == M_DOWNLOAD && to == M_IDLE) FleetFinish(m, FAILED, now, REASON_TRANSFER_FAILED);
    if (from == M_RUN_FIRMWARE && to == M_IDLE) {
        m.phase = CONFIRMING;
        m.run_ms = now;
        WorkerSay("run");
    }
}

void Transfer(TransferNews news, uint32_t block, int answer) {
    if (current < 0) return;
    Machine& m = TableMachine(current);
    const uint64_t now = plat_now_ms();
    switch (news) {
    case TN_STARTED:
        m.transfer_started_ms = now;
        WorkerSay("transfer %ld %u", image_bytes, static_cast<unsigned>(DataBlocks(image_bytes)));
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

uint32_t Idle(void) {
    if (connection_open) {
        Release_TCP();
        connection_open = false;
    }
    // One machine: its confirmation or its next try comes by announcement.
    const int one = FleetTheOne();
    const bool one_goes_on = one >= 0 && (TableMachine(one).phase == CONFIRMING || TableMachine(one).phase == RETRYING);
    if (!FleetExploring() && (FleetOptions().all || one_goes_on)) {
        MSetstate(M_WAIT_FOR_UDP_DATA);
        return kFleetWaitPollMs;
    }
    return kIdlePollMs;
}

// The sequencer is on a machine's path with a connection, or about to
// open one.
bool OnPath(void) { return current >= 0 && m_state != M_WAIT_FOR_UDP_DATA && m_state != M_IDLE; }

// Two boards at its address: the machine on the path that has not had its
// run command gets no new connection and no '3'; it ends failed once the
// connection it has is closed. In M_MACHINE_RESET the reset has gone out
// and the next poll closes; in M_DOWNLOAD the transfer has not begun.
void EndConflicted(uint64_t now) {
    if (current < 0 || !ConflictAt(TableMachine(current).rec.addr)) return;
    Machine& m = TableMachine(current);
    if (m.phase != RESETTING && m.phase != UPDATING) return;
    if (m_state == M_MACHINE_RESET) return;
    if (m_state == M_MACHINE_RECOGNIZED || m_state == M_MACHINE_SEND_RESET) TCPSetstate(TCP_CLOSE);
    if (connection_open) {
        Release_TCP();
        connection_open = false;
    }
    FleetFinish(m, FAILED, now, REASON_ADDRESS_CONFLICT);
    if (m_state != M_WAIT_FOR_UDP_DATA && m_state != M_IDLE) MSetstate(M_WAIT_FOR_UDP_DATA);
}

// Before each sequencer poll: judges what arrived, hands the sequencer the
// next datagram when it waits for one, and keeps the time limits.
void BeforePoll(bool ending) {
    const uint64_t now = plat_now_ms();
    IntakeDrain(OnPath() ? current : -1);
    EndConflicted(now);
    if (m_state == M_MACHINE_RECOGNIZED || m_state == M_BOOTLOADER_RECOGNIZED) {
        if (current >= 0 && now > path_started_ms + kConnectGiveUpMs) {
            WorkerSay("noconnect %u", static_cast<unsigned>(kConnectGiveUpMs / 1000));
            FleetFinish(TableMachine(current), FAILED, now, REASON_NO_CONNECTION);
            TCPSetstate(TCP_CLOSE);
            connection_open = false;
            MSetstate(M_WAIT_FOR_UDP_DATA);
        }
        return;
    }
    // With --all, M_IDLE only passes on to the next machine.
    if (m_state == M_IDLE && !FleetOptions().all) {
        FleetKeepTimeLimits(now, IntakeWaiting, IntakeChosenWaiting());
        return;
    }
    if (m_state != M_WAIT_FOR_UDP_DATA || UDPrecvedlength.load(std::memory_order_acquire) != 0) return;
    // Nothing new is started on the last pass before the end.
    if (!ending) (void)IntakeHand(&current_from, &current_arrival_ms, &current_first_arrival_ms);
    FleetKeepTimeLimits(now, IntakeWaiting, IntakeChosenWaiting());
}

// M_IDLE after a download only hands over to what comes next: the run
// command is on its way, and the other machines wait. Datagrams waiting
// for the sequencer are taken at once, one a poll.
uint32_t Pace(uint32_t delay_ms) {
    if (m_state == M_WAIT_FOR_UDP_DATA && IntakeBusy()) return 0;
    const bool handing_over = m_state == M_WAIT_FOR_UDP_DATA || (m_state == M_IDLE && connection_open);
    if (handing_over && delay_ms > kFleetWaitPollMs) return kFleetWaitPollMs;
    return delay_ms;
}

bool RunEnds(bool stop_asked) { return stop_asked || FleetFinished(); }

}  // namespace

void FleetPathStart(long bytes) {
    image_bytes = bytes;
    hooks.choose = Choose;
    hooks.transition = SawTransition;
    hooks.idle = Idle;
    hooks.transfer = Transfer;
    hooks.before_poll = BeforePoll;
    hooks.pace = Pace;
    hooks.run_ends = RunEnds;
}
