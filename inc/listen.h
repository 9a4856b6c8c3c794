// The listener of a run with options: it takes datagrams as fast as they
// come on a socket of its own, with the time they arrived and their sender,
// sees address conflicts datagram by datagram, and hands everything to the
// main thread through one line. The design's listener is not used then.
#pragma once

#include <cstddef>
#include <cstdint>

#include "arrival.h"

// Main thread, before any thread starts: binds UDP port 11000, so that a
// port another program holds is told at once, before anything is sent.
// False with the message in why.
bool ListenOpen(char* why, size_t why_len);
// Listener thread: one receive; its delay. A receive that fails ends the
// listening (ListenFailed) instead of the process.
uint32_t ListenPoll(void);
// Queues a datagram on the receiving thread: conflicts are seen here,
// before any datagrams are merged.
void ListenQueue(const Arrival& a);
// Main thread: the oldest in line; false when none waits.
bool ListenTake(Arrival* a);
// Why the receive failed, or nullptr while it works (any thread).
const char* ListenFailed(void);
// Called on the receiving thread once a datagram is queued, so that a
// waiter looks at once; set before any thread starts.
extern void (*listen_news)(void);
