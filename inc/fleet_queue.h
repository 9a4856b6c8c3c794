// Datagrams with the time they arrived, newest per machine: the listener
// (or a worker's reader) puts, the sequencer (or a parallel run) takes.
#pragma once

#include <cstdint>

// Called on the putting thread once a datagram is queued, so that a waiter
// looks at once; set before any thread starts.
extern void (*queue_news)(void);

void FleetQueue(const char* data, int len, uint64_t arrived_ms, uint64_t first_arrived_ms);
// Takes the oldest in line into data[BUF_SIZE]; false when none waits.
bool FleetTakeQueued(char* data, int* len, uint64_t* arrived_ms, uint64_t* first_arrived_ms);
bool FleetQueueEmpty(void);

// Listener thread, instead of PollUDP: takes datagrams as fast as they
// come, with the time they arrived, and keeps the newest per machine.
uint32_t FleetPollUDP(void);
