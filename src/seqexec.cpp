// The one-machine path with options: what the sequencer's seams do.
#include "seqexec.h"

#include <atomic>
#include <cstdio>

#include "console.h"
#include "hooks.h"
#include "listen.h"
#include "mstate.h"
#include "outcome.h"
#include "platform.h"

namespace {

// Waiting for datagrams, the sequencer looks at once when one comes (the
// pauses block on news), and this often all the same, for the time limits
// and for a machine that may begin once its listening second is over.
constexpr uint32_t kWaitPollMs = 250;
// Datagrams of no machine are traced one every this long, as a look a
// second would and a flood of them never turns into a busy loop.
constexpr uint32_t kJunkPollMs = 20;
// After a download the run command is on its way: the next look is soon.
constexpr uint32_t kHandOverMs = 20;
constexpr uint32_t kIdlePollMs = 1000;

SeqDriver d;
int current = -1;        // the machine of the sequencer's latest path
bool path_open = false;  // its connection may be open: let go at the path's end
Taken taken;             // what the sequencer was offered last
bool offered = false;
bool junk_taken = false;  // the last datagram offered was of no machine
bool ending_pass = false;  // the run's last pass
// Link thread sets, main thread clears as a path begins: the machine
// closed the connection, and no reply will come on it.
std::atomic<bool> link_closed{false};
// In this process's run: a transfer runs (main thread sets), and how often
// the user asked to stop (console thread counts).
std::atomic<bool> transferring{false};
std::atomic<int> presses{0};
int presses_seen = 0;  // main thread: those the rules have heard of

// The console's stops, told to the rules on the main thread.
void HearStops(void) {
    const int now = presses.load(std::memory_order_acquire);
    if (now >= 1 && presses_seen < 1) RulesStop();
    if (now >= 2 && presses_seen < 2) RulesAbandon();
    presses_seen = now;
}

// The transfer under way: data blocks acknowledged, sent and sent again.
uint32_t acked = 0, sent = 0, resent = 0;

void Tell(ExecNews news, uint32_t step = 0, uint32_t block = 0, int32_t answer = -1) {
    HearStops();  // a transfer abandoned ends inside the poll that ran it
    if (current >= 0) d.event(current, ExecEvent{news, step, block, answer, plat_now_ms(), sent, resent});
}

int Choose(int retv) {
    if (!offered) return -1;
    offered = false;
    int machine = -1;
    const int act = d.choose(taken, &machine);
    // The same bytes, read by the same pieces: never another kind.
    if (act != retv) return -1;
    if (act == 1 || act == 2) {
        current = machine;
        path_open = true;
        link_closed.store(false, std::memory_order_relaxed);
    }
    return act;
}

void SawTransition(M_STATE from, M_STATE to) {
    if ((from == M_MACHINE_RECOGNIZED && to == M_MACHINE_SEND_RESET) ||
        (from == M_BOOTLOADER_RECOGNIZED && to == M_UNLOCK_MEMORY))
        Tell(EX_CONNECTED);
    if (from == M_MACHINE_SEND_RESET && to == M_MACHINE_RESET) Tell(EX_RESET_SENT);
    if (from == M_UNLOCK_MEMORY && to == M_REQUEST_DOWNLOAD_PREPARE) Tell(EX_UNLOCK_SENT);
    if (from == M_REQUEST_DOWNLOAD_PREPARE && to == M_REQUEST_DOWNLOAD) Tell(EX_REQUEST_SENT);
    if (from == M_MACHINE_RESET && to == M_WAIT_FOR_UDP_DATA) {
        path_open = false;  // the reset path closed it
        Tell(EX_RESET_DONE);
    }
    // '3' is not sent after a failed transfer.
    if (from == M_DOWNLOAD && to == M_IDLE) Tell(EX_NO_RUN);
    if (from == M_RUN_FIRMWARE && to == M_IDLE) Tell(EX_RUN_SENT);
}

void Transfer(TransferNews news, uint32_t block, int answer) {
    transferring.store(news != TN_DONE && news != TN_FAILED_BLOCK0 && news != TN_FAILED_DATA && news != TN_FAILED_EOT &&
                           news != TN_FAILED_CLOSING,
                       std::memory_order_release);
    // Block by block only counted: told as progress, which a worker may
    // gather into fewer records.
    if (news == TN_STARTED) acked = sent = resent = 0;
    if (news == TN_DATA_SENT) {
        ++(answer == 0 ? sent : resent);
        return;
    }
    if (news == TN_DATA_ACKED) {
        Tell(EX_PROGRESS, 0, ++acked);
        return;
    }
    if (news != TN_STARTED && news != TN_DONE) {
        // Why it failed: the machine hung up, or the user abandoned it.
        if (d.abandoned()) answer = kAnswerAbandoned;
        if (link_closed.load(std::memory_order_acquire)) answer = kAnswerClosed;
    }
    Tell(EX_TRANSFER, news, block, answer);
}

bool GiveUp(void) { return link_closed.load(std::memory_order_acquire) || d.abandoned(); }

void LinkClosed(void) { link_closed.store(true, std::memory_order_release); }

uint32_t Idle(void) {
    // On the run's last pass the link thread has stopped and would never
    // let go: the end of the process closes the connection.
    if (path_open && !ending_pass) {
        TCPLetGo();
        path_open = false;
    }
    if (d.goes_on()) {
        MReturnToWait();
        return kHandOverMs;
    }
    return kIdlePollMs;
}

// The sequencer is on a path, with a connection or about to open one.
bool OnPath(void) {
    const M_STATE s = MGetstate();
    return current >= 0 && s != M_WAIT_FOR_UDP_DATA && s != M_IDLE;
}

// Ends the path to the current machine without '3'. In M_MACHINE_RESET the
// reset has gone out and the next poll closes; in M_DOWNLOAD the transfer
// has not begun; in M_RUN_FIRMWARE a transfer is done, and a stopped run
// lets it have its '3'.
void EndPathIfAsked(void) {
    const RecordReason why = OnPath() ? d.halt(current) : REASON_NONE;
    if (why == REASON_NONE || MGetstate() == M_MACHINE_RESET) return;
    if (MGetstate() == M_RUN_FIRMWARE && (why == REASON_RUN_STOPPED || why == REASON_STOPPED_IN_BOOT_LOADER)) return;
    if (!ending_pass) TCPLetGo();  // else the end of the process closes it
    path_open = false;
    MReturnToWait();
    Tell(EX_ABANDONED);
}

// Before each sequencer poll: takes in what arrived, keeps the time limits,
// ends a path that is to end, and offers the sequencer the next datagram
// when it waits for one.
void BeforePoll(bool ending) {
    ending_pass = ending;
    HearStops();
    d.drain();
    d.tick();
    EndPathIfAsked();
    // Nothing new is started on the last pass before the end.
    if (ending || MGetstate() != M_WAIT_FOR_UDP_DATA || UDPOffered()) return;
    junk_taken = false;
    if (d.take(true, &taken)) {
        UDPOffer(taken.a.data, taken.a.len);
        offered = true;
        junk_taken = taken.junk;
    }
}

// M_IDLE after a download only hands over to what comes next: the run
// command is on its way, and the other machines wait. Datagrams waiting
// for the sequencer are taken at once, one a poll.
uint32_t Pace(uint32_t delay_ms) {
    const M_STATE s = MGetstate();
    if (s == M_WAIT_FOR_UDP_DATA && d.busy()) return 0;
    uint32_t most = delay_ms;
    if (s == M_WAIT_FOR_UDP_DATA) most = junk_taken ? kJunkPollMs : kWaitPollMs;
    if (s == M_IDLE && path_open) most = kHandOverMs;
    return delay_ms < most ? delay_ms : most;
}

bool RunEnds(bool stop_asked) {
    HearStops();
    const bool awaits = d.awaits != nullptr && !d.abandoned() && d.awaits();
    return (stop_asked && !awaits) || d.finished();
}

void DrainListener(void) {
    Arrival a;
    while (ListenTake(&a)) RulesHeard(a);
}

// A listener that failed hears nothing more: the run ends as it is.
bool Finished(void) { return RunFinished() || ListenFailed() != nullptr; }

bool Abandoned(void) { return presses.load(std::memory_order_acquire) >= 2; }

// The console's thread: the first stop says what the run now waits for
// (the main thread may be inside a transfer), the second abandons it.
void Console(uint32_t) {
    if (presses.fetch_add(1, std::memory_order_acq_rel) == 0 && transferring.load(std::memory_order_acquire)) {
        char line[96];
        ConsoleStoppingText(1, line, sizeof line);
        printf("%s\n", line);
    }
}

}  // namespace

void SeqExecStart(const SeqDriver& driver) {
    d = driver;
    hooks.give_up = GiveUp;
    hooks.link_closed = LinkClosed;
    hooks.choose = Choose;
    hooks.transition = SawTransition;
    hooks.idle = Idle;
    hooks.transfer = Transfer;
    hooks.before_poll = BeforePoll;
    hooks.pace = Pace;
    hooks.run_ends = RunEnds;
}

SeqDriver SeqExecRules(void) {
    hooks.console = Console;
    return SeqDriver{DrainListener, RulesTake, RulesChoose,          RulesEvent, RulesTick,
                     RulesHalt,     RulesBusy, RulesSequencerGoesOn, Finished,   Abandoned, RulesAwaiting};
}
