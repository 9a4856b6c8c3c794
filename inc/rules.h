// The rules of a run with options: which machines are chosen (each once, a
// board swapped in a machine of its own), what is left alone and said so
// once, address conflicts, the model, when a machine may begin (the
// listening second, the rollout, another try), confirmation, and (through
// outcome.h) results, time limits and the end. A state machine fed three
// things: the announcements as they arrived, what an executor did, and the
// clock. It answers with decisions: which datagram to act on next and how,
// which path must end, and when the run is done. It calls no socket,
// thread, process or sleep and prints nothing; its news goes to whoever
// watches (news.h). Main thread only.
//
// Two executors carry its decisions out: the sequencer in this process
// (seqexec.h), one machine at a time, and a parallel run's workers, each a
// process of its own (parallel.h).
#pragma once

#include <cstdint>

#include "arrival.h"
#include "hooks.h"
#include "machines.h"
#include "news.h"
#include "options.h"

// Machines announce once a second. A new machine is listened to this long
// before anything is sent to it, so that a second board at its address has
// announced itself and shows as a conflict: the next announcement of the
// first board comes no sooner.
constexpr uint64_t kListenFirstMs = 950;
// A machine heard only once (it announces once, or its next datagram was
// lost) is acted on once a whole interval more has passed, in which any
// other board at its address has spoken too.
constexpr uint64_t kListenHeardOnceMs = kListenFirstMs + 1000;
// A machine is reset at most this many times more when its application
// goes on announcing long after the reset.
constexpr int kMaxResets = 2;

void RulesStart(const LanflashOptions& opts, bool exploring, long image_bytes);
// Whether a machine's application already runs this image, by a record
// kept across runs (the station's); then, in when, since when. Asked once
// per machine newly chosen; nullptr: never (the default, and --again).
typedef bool (*RulesHasImage)(const Announcement& an, char* when, size_t cap);
void RulesAskHasImage(RulesHasImage ask);

// Every datagram that arrived, in the order taken from the listener.
void RulesHeard(const Arrival& a);

// What an executor takes next: a chosen machine's datagram (those in
// progress before new ones, a new one only when may_start and the rollout,
// the listening second and its pause allow), then one to be traced once
// and left alone, then exploring's, then one of no machine (junk).
struct Taken {
    Arrival a;
    bool junk;
    bool may_start;  // as taken: a new machine (or try) may begin on it
};
bool RulesTake(bool may_start, Taken* t);
// The judgment of a datagram taken (after the sequencer's trace of it):
// the parser's result to act on (1 a boot loader, 2 an application, 3
// exploring's first), or -1 to leave it. For 1 and 2, *machine is the
// machine an executor now begins a path to; for -1, the chosen machine
// whose datagram it was (its executor may trace it), or -1.
int RulesChoose(const Taken& t, int* machine);

// What an executor did on a machine's path.
enum ExecNews : uint32_t {
    EX_CONNECTED,   // the machine took the connection
    EX_RESET_SENT,  // 'R' went out
    EX_RESET_DONE,  // the reset path closed its connection
    EX_TRANSFER,    // the sender's news: step (a TransferNews), block, answer
    EX_NO_RUN,      // the transfer failed; the path ended without '3'
    EX_RUN_SENT,    // '3' went out; the path ended
    EX_ABANDONED,   // the path ended as RulesHalt asked, without '3'
    EX_GONE,        // the executor ended (a worker) before the machine's try did
    EX_UNLOCK_SENT,   // '4' went out
    EX_REQUEST_SENT,  // '1' went out
    EX_PROGRESS,      // the transfer so far: block data blocks acknowledged, sent and resent
};
// A failed transfer's answer, besides a reply byte and -1 for none.
constexpr int32_t kAnswerClosed = -2;     // the machine closed the connection
constexpr int32_t kAnswerAbandoned = -3;  // the user abandoned the transfer
struct ExecEvent {
    uint32_t news;   // ExecNews
    uint32_t step;   // EX_TRANSFER: a TransferNews
    uint32_t block;  // EX_TRANSFER: a data block's number
    int32_t answer;  // EX_TRANSFER: the last reply byte, -1 for none, or kAnswer...
    uint64_t at_ms;  // plat_now_ms when it happened (one clock for every process)
    uint32_t sent, resent;  // EX_PROGRESS: sendings of a data block, first and later ones
};
void RulesEvent(int machine, const ExecEvent& e);
// RulesStart's: the image's size, for its count of data blocks.
void RulesEventsStart(long image_bytes);
// The image's data blocks.
uint32_t RulesDataBlocks(void);

// The clock: time limits, and whether the run is done.
void RulesTick(void);
// A console event: nothing new begins. A transfer under way runs to its
// end (and its '3'); every other path ends before its next step, with no
// reset, no '4' or '1' and no transfer; a machine waiting to begin, or
// restarting into its boot loader, is left as it is (skipped, run stopped).
void RulesStop(void);
// Asked again: every transfer under way is abandoned, without '3'.
void RulesAbandon(void);
// The machine's transfer is under way (or its '3' is due after it).
bool RulesUnderWay(int machine);
int RulesTransfersUnderWay(void);
// A transfer under way, or a machine that had its run command and waits
// to be heard: a stopped run still waits for them (up to the confirmation's
// limit) unless asked again.
bool RulesAwaiting(void);

// Why the path to this machine must end now (an address conflict, no
// connection), or REASON_NONE.
RecordReason RulesHalt(int machine);
// The machine is in a try (begun, and neither final nor waiting to try again).
bool RulesInTry(int machine);
// A datagram of a chosen machine, or to be traced, waits: look at once.
bool RulesBusy(void);
// After a download, the sequencer goes back to announcements (--all, or
// the one machine's confirmation or next try); else it idles.
bool RulesSequencerGoesOn(void);

// What was left alone and said so, once each, in the order said.
struct LeftAlone {
    uint32_t addr;
    uint32_t from;  // the sender, for SENT_FROM_ELSEWHERE
    Refusal refusal;
    Model model;
};
int RulesLeftAloneCount(void);
const LeftAlone& RulesLeftAlone(int i);

// The machines as the rules keep them, for whoever shows them.
const Machine& RulesMachine(int i);
int RulesMachineCount(void);
