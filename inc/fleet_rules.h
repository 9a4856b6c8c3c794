// The rules of a run with options: each chosen machine updated at most
// once (with its retries), confirmation by the application's next
// announcement, the time limits, address conflicts, the rollout's limits
// and when the run is done. Which announcements are acted on is
// fleet_choose's; the sequencer (through fleet_path) and a parallel run's
// parent share both.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fleet_table.h"
#include "options.h"
#include "report.h"

// A machine that still announces its application this long after its reset
// did not react, and may be reset once more.
constexpr uint64_t kReactMs = 10000;

void FleetStart(const LanflashOptions& opts, bool exploring);
const LanflashOptions& FleetOptions(void);
bool FleetExploring(void);
uint64_t FleetStartedUtcMs(void);
// True once the work is done and the run is to end by itself.
bool FleetFinished(void);
// How long a step may wait for the machine: --timeout, else 30 s.
uint64_t FleetWaitMs(void);

// A line of the run's own (a rollout stopped, an address conflict): into the
// trace, or to whoever fills this slot (a parallel run's console).
extern void (*fleet_say)(const char* line);
void FleetSay(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Without --all: the one machine of this run, or -1 while none is chosen.
int FleetTheOne(void);
void FleetSetTheOne(int i);
void FleetSetExplored(void);  // exploring without --all: the first machine is listed

// A machine heard and chosen (or listed, or skipped), into the table as
// the newest at its address; -1 when no memory is left for it.
int FleetAdd(uint32_t addr, Phase phase, int kind, uint32_t serial, const char* name, int name_len);
// A machine's own announcement from addr arrived: the first one starts the
// time a new machine there is listened to before anything is sent.
void FleetHeardFrom(uint32_t addr, uint64_t arrived_ms);
// Whether a chosen machine may begin its update (or another try), judged
// at `at_ms`: the rollout allows it, and a new one has been heard for an
// announcement interval, so that a second board at its address has spoken.
bool FleetMayBegin(int i, uint64_t at_ms);
// Another try begins; the trace's or event line's text behind the address.
void FleetStartTry(Machine& m, char* text, size_t cap);

// The machine has its result: into the report at once, and to the parent
// when this is a worker; a failure before the run command may lead to
// another try instead, unless may_retry is false (the run is ending).
void FleetFinish(Machine& m, Phase phase, uint64_t now, RecordReason reason, bool may_retry = true);
// Keeps every machine's time limits and sees whether the run is done;
// waiting: a datagram of the machine at this address waits to be judged
// (nullptr: none does); any_waiting: one of a chosen machine does.
void FleetKeepTimeLimits(uint64_t now, bool (*waiting)(uint32_t addr), bool any_waiting);
// With --all, once nothing is in progress after something was: what the
// run now waits for and how long, into text; false when it does not wait.
// The trace (or the console) says it once per wait.
bool FleetWaitText(uint64_t now, char* text, size_t cap);
// An address newly in conflict (two MAC fields): the line, once, and no
// new connection there. The machine there that has not had its run command
// ends failed, unless it is `busy` (a connection of it is open; whoever
// holds that ends it). True the first time for addr.
bool FleetConflict(uint32_t addr, const uint8_t* first_mac, const uint8_t* second_mac, int busy);

// A parallel run's parent keeps its machines in the same table and under
// the same rules; a worker process does for each what the sequencer does.
enum FleetSlot { SLOT_WAITING, SLOT_WORKING, SLOT_DONE };  // WAITING: also for its next try
int FleetMachineCount(void);
// No machine before this index is in progress or waiting.
int FleetFirstUnfinished(void);
uint32_t FleetAddressOf(int i);
FleetSlot FleetSlotOf(int i);
// A waiting machine may start on an announcement that arrived then (a
// machine to be tried again waits for its pause to pass).
bool FleetMayStart(int i, uint64_t arrived_ms);
// Its worker starts. True for another try, with the event line's text
// (behind the address) in retry_text.
bool FleetWorking(int i, char* retry_text, size_t cap);
// The machine's result, as its worker reported it; a failure may lead to
// another try unless may_retry is false (the run is ending).
void FleetConclude(int i, const MachineRecord& r, bool may_retry);
// Keeps the run's time limits; once every datagram that arrived was judged.
void FleetJudgeTime(void);
