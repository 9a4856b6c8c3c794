// The rules of a run with options: which machines are chosen, each updated
// at most once (with its retries), a reset given again to a machine that
// did not react, confirmation by the application's next announcement, the
// time limits and when the run is done. The sequencer (through fleet_path)
// and a parallel run's parent (through the calls below) share them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fleet_table.h"
#include "options.h"
#include "report.h"

void FleetStart(const LanflashOptions& opts, bool exploring);
const LanflashOptions& FleetOptions(void);
bool FleetExploring(void);
uint64_t FleetStartedUtcMs(void);
// True once the work is done and the run is to end by itself.
bool FleetFinished(void);

// The sequencer's side.
// After a parse in M_WAIT_FOR_UDP_DATA of the announcement in udpDataBuff,
// which arrived at arrived_ms (the first that said the same at
// first_arrived_ms): the parser's result to act on, or -1 to leave it
// alone. For 1 and 2, *machine is the machine the sequencer now acts on.
int FleetChoose(int retv, uint64_t arrived_ms, uint64_t first_arrived_ms, int* machine);
// What FleetChoose would make of an announcement, judged as it arrives,
// without acting on it: a machine in progress, a new one to choose, one to
// leave alone (and whether the trace said so already), or one done.
enum Verdict { V_IN_PROGRESS, V_NEW, V_LEFT_ALONE, V_LEFT_ALONE_SAID, V_NOTHING_NEW };
Verdict FleetJudge(uint32_t addr, int kind, uint32_t serial, const char* name);
// Without --all: the one machine of this run, or -1 while none is chosen.
int FleetTheOne(void);
// The machine has its result: into the report at once, and to the parent
// when this is a worker; a failure before the run command may lead to
// another try instead, unless may_retry is false (the run is ending).
void FleetFinish(Machine& m, Phase phase, uint64_t now, RecordReason reason, bool may_retry = true);
// Keeps every machine's time limits and sees whether the run is done;
// waiting: a datagram of the machine at this address waits to be judged
// (nullptr: none does); any_waiting: one of a chosen machine does.
void FleetKeepTimeLimits(uint64_t now, bool (*waiting)(uint32_t addr), bool any_waiting);

// A parallel run's parent keeps its machines in the same table and under
// the same rules; a worker process does for each what the sequencer does.
enum FleetSlot { SLOT_WAITING, SLOT_WORKING, SLOT_DONE };  // WAITING: also for its next try
// The table index of the machine announcing this address when it is
// chosen (added as waiting when new, or swapped in at a done address:
// *added), else -1.
int FleetHeard(uint32_t addr, int kind, uint32_t serial, const char* name, int name_len, bool* added);
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
