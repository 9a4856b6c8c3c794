// How each machine's try ends and when the run does: results (or another
// try), the rollout's limits, the time limits, and at the end the results
// of machines still under way and of those named and never heard, with the
// exit status. Below the rules (rules.h), which decide what happens to each
// announcement and executor event; main thread only, no I/O.
#pragma once

#include <cstddef>
#include <cstdint>

#include "machines.h"
#include "news.h"
#include "options.h"
#include "report.h"

// A machine that still announces its application this long after its reset
// did not react, and may be reset once more.
constexpr uint64_t kReactMs = 10000;
// A machine that takes no connection for this long is given up, so that it
// neither holds up the others nor keeps the run from ending.
constexpr uint64_t kConnectGiveUpMs = 30000;
// A machine whose update failed before its run command is tried again
// after this pause, from where it then is, when --retries allows.
constexpr uint64_t kRetryPauseMs = 5000;
constexpr uint32_t kDefaultWaitS = 30;

void OutcomeStart(const LanflashOptions& opts, bool exploring);
const LanflashOptions& RunOptions(void);
bool RunExploring(void);
uint64_t RunStartedUtcMs(void);
// How long a step may wait for the machine: --timeout, else 30 s.
uint64_t RunWaitMs(void);
// Something happened that a run without --exit's end waits behind.
void RunProgress(uint64_t now);

// A console event came: nothing new begins.
void RunStop(void);
bool RunStopping(void);

// News of machine i (-1: none; then of an, when given) to the watchers.
void Tell(NewsKind kind, int i, const Announcement* an = nullptr, int64_t a = 0, int64_t b = 0, int64_t c = 0);

// Without --all: the one machine of this run, or -1 while none is chosen.
int RunTheOne(void);
void RunSetTheOne(int i);
void RunSetExplored(void);  // exploring without --all: the first machine is listed

// The machine has its result: told at once (NEWS_FINISHED). A failure
// before the run command may lead to another try instead, unless may_retry
// is false (the run is ending).
void Finish(int i, Phase phase, RecordReason reason, bool may_retry = true);
// Another try begins (NEWS_TRYING_AGAIN).
void StartTry(int i);

// Keeps every machine's time limits and sees whether the run is done; a
// machine whose datagram waits (pending, or `in_hand` with an executor) is
// spared, so that it is never given up while its answer waits in a line;
// any_waiting: a datagram of a chosen machine waits.
void KeepTimeLimits(uint64_t now, int in_hand, bool any_waiting);
// True once the work is done and the run is to end by itself.
bool RunFinished(void);
// With --all, once nothing is in progress after something was: what the
// run now waits for and how long, into text; false when it does not wait.
bool RunWaitText(uint64_t now, char* text, size_t cap);

// The run ends: machines still in progress are stopped, and each machine
// named and never heard has its record (NEWS_FINISHED with RESULT_MISSING).
void OutcomeEnd(void);
// The machine the list names as expected number e was never heard: with
// --all, that one; without, none at all was.
bool RunNotHeard(int e);
// updated, failed, unconfirmed, missing, skipped (listed in [0] when exploring).
void RunCounts(int counts[kReportCounts]);
int RunExitStatus(void);
