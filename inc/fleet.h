// What the options add to the sequencer: choosing machines, updating each
// of them once, confirming that the new firmware runs, ending by itself and
// reporting per machine. Without options none of it runs (fleet_on is 0)
// and the sequencer, the listener and the main loop are as they always were.
#pragma once

#include <cstdint>

#include "mstate.h"
#include "options.h"

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
// After the main loop: one result line per machine handled.
void FleetReport(void);
int FleetExitStatus(void);

// Seams in the sequencer.
// After a parse in M_WAIT_FOR_UDP_DATA: the parser's result to act on, or
// -1 to leave the announcement alone.
int FleetChoose(int retv);
void FleetSawTransition(M_STATE from, M_STATE to);
// The poll of M_IDLE: its delay.
uint32_t FleetIdle(void);
