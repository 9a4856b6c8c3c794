// The one-machine path with options: what the sequencer's seams do.
#include "seqexec.h"

#include "hooks.h"
#include "listen.h"
#include "mstate.h"
#include "outcome.h"
#include "platform.h"

namespace {

// Waiting for datagrams, the sequencer looks this often instead of once a
// second: with several machines announcing, one a second falls behind.
constexpr uint32_t kWaitPollMs = 20;
constexpr uint32_t kIdlePollMs = 1000;

SeqDriver d;
int current = -1;        // the machine of the sequencer's latest path
bool path_open = false;  // its connection may be open: let go at the path's end
Taken taken;             // what the sequencer was offered last
bool offered = false;

void Tell(ExecNews news, uint32_t step = 0, uint32_t block = 0, int32_t answer = -1) {
    if (current >= 0) d.event(current, ExecEvent{news, step, block, answer, plat_now_ms()});
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
    }
    return act;
}

void SawTransition(M_STATE from, M_STATE to) {
    if ((from == M_MACHINE_RECOGNIZED && to == M_MACHINE_SEND_RESET) ||
        (from == M_BOOTLOADER_RECOGNIZED && to == M_UNLOCK_MEMORY))
        Tell(EX_CONNECTED);
    if (from == M_MACHINE_SEND_RESET && to == M_MACHINE_RESET) Tell(EX_RESET_SENT);
    if (from == M_MACHINE_RESET && to == M_WAIT_FOR_UDP_DATA) {
        path_open = false;  // the reset path closed it
        Tell(EX_RESET_DONE);
    }
    // '3' is not sent after a failed transfer.
    if (from == M_DOWNLOAD && to == M_IDLE) Tell(EX_NO_RUN);
    if (from == M_RUN_FIRMWARE && to == M_IDLE) Tell(EX_RUN_SENT);
}

void Transfer(TransferNews news, uint32_t block, int answer) { Tell(EX_TRANSFER, news, block, answer); }

uint32_t Idle(void) {
    if (path_open) {
        TCPLetGo();
        path_open = false;
    }
    if (d.goes_on()) {
        MReturnToWait();
        return kWaitPollMs;
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
// has not begun.
void EndPathIfAsked(void) {
    if (!OnPath() || MGetstate() == M_MACHINE_RESET || d.halt(current) == REASON_NONE) return;
    TCPLetGo();
    path_open = false;
    MReturnToWait();
    Tell(EX_ABANDONED);
}

// Before each sequencer poll: takes in what arrived, keeps the time limits,
// ends a path that is to end, and offers the sequencer the next datagram
// when it waits for one.
void BeforePoll(bool ending) {
    d.drain();
    d.tick();
    EndPathIfAsked();
    // Nothing new is started on the last pass before the end.
    if (ending || MGetstate() != M_WAIT_FOR_UDP_DATA || UDPOffered()) return;
    if (d.take(true, &taken)) {
        UDPOffer(taken.a.data, taken.a.len);
        offered = true;
    }
}

// M_IDLE after a download only hands over to what comes next: the run
// command is on its way, and the other machines wait. Datagrams waiting
// for the sequencer are taken at once, one a poll.
uint32_t Pace(uint32_t delay_ms) {
    const M_STATE s = MGetstate();
    if (s == M_WAIT_FOR_UDP_DATA && d.busy()) return 0;
    const bool handing_over = s == M_WAIT_FOR_UDP_DATA || (s == M_IDLE && path_open);
    if (handing_over && delay_ms > kWaitPollMs) return kWaitPollMs;
    return delay_ms;
}

bool RunEnds(bool stop_asked) { return stop_asked || d.finished(); }

void DrainListener(void) {
    Arrival a;
    while (ListenTake(&a)) RulesHeard(a);
}

// A listener that failed hears nothing more: the run ends as it is.
bool Finished(void) { return RunFinished() || ListenFailed() != nullptr; }

}  // namespace

void SeqExecStart(const SeqDriver& driver) {
    d = driver;
    hooks.choose = Choose;
    hooks.transition = SawTransition;
    hooks.idle = Idle;
    hooks.transfer = Transfer;
    hooks.before_poll = BeforePoll;
    hooks.pace = Pace;
    hooks.run_ends = RunEnds;
}

SeqDriver SeqExecRules(void) {
    return SeqDriver{DrainListener, RulesTake, RulesChoose, RulesEvent,           RulesTick,
                     RulesHalt,     RulesBusy, RulesSequencerGoesOn, Finished};
}
