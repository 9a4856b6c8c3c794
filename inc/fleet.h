// What the options add to the sequencer: choosing machines, updating each
// of them once, confirming that the new firmware runs, ending by itself and
// reporting per machine. Without options none of it runs (fleet_on is 0)
// and the sequencer, the listener and the main loop are as they always were.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mstate.h"
#include "options.h"
#include "report.h"

extern bool fleet_on;  // set once at start-up, before any thread starts

void FleetStart(const LanflashOptions& opts);

// Listener thread, instead of PollUDP: takes datagrams as fast as they
// come, with the time they arrived, and keeps the newest per machine.
uint32_t FleetPollUDP(void);

// Main loop, before each sequencer poll: hands the next queued datagram to
// the sequencer when it waits for one, and keeps the time limits.
void FleetBeforePoll(void);
// Main loop: the sequencer's delay, shortened while datagrams are waiting.
uint32_t FleetPace(uint32_t delay_ms);
// True once the work is done and the run is to end by itself.
bool FleetFinished(void);
// After the main loop: one result line per machine handled. line_open:
// the output's last line has no newline yet (the trace's style).
void FleetReport(const char* version, bool line_open);
int FleetExitStatus(void);

// Seams in the sequencer.
// After a parse in M_WAIT_FOR_UDP_DATA: the parser's result to act on, or
// -1 to leave the announcement alone.
int FleetChoose(int retv);
void FleetSawTransition(M_STATE from, M_STATE to);
// The poll of M_IDLE: its delay.
uint32_t FleetIdle(void);

// Seam in the YMODEM sender: what a transfer went through, for the
// progress of a parallel run and the report. answer: the last reply byte,
// -1 for none.
enum TransferNews {
    TN_STARTED,
    TN_DATA_SENT,   // block: its number; answer: tries before this one
    TN_DATA_ACKED,  // block: its number
    TN_FAILED_BLOCK0,
    TN_FAILED_DATA,  // block: its number
    TN_FAILED_EOT,
    TN_FAILED_CLOSING,
    TN_DONE,
};
void FleetTransferNews(TransferNews news, uint32_t block, int answer);

// Datagrams with the time they arrived, newest per machine: the listener
// (or a worker's reader) puts, the sequencer (or a parallel run) takes.
void FleetQueue(const char* data, int len, uint64_t arrived_ms, uint64_t first_arrived_ms);
// Takes the oldest in line into data[BUF_SIZE]; false when none waits.
bool FleetTakeQueued(char* data, int* len, uint64_t* arrived_ms, uint64_t* first_arrived_ms);

// A parallel run's parent keeps its machines in the same table and under
// the same rules; a worker process does for each what the sequencer does.
// The table grows with the machines heard, without a limit.
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
