// --fast: an update paced by the machine's answers. Every pause of the
// sequencer, the link and the YMODEM sender gives way to the sign that the
// machine is ready, and the pause itself stays as the longest wait; the
// bytes on the wire and the trace are the same, only sooner. Without
// --fast none of it runs (fast_on is false) and every pause is as it was.
#pragma once

#include <cstdint>

extern bool fast_on;  // set once at start-up, before any thread starts

// A parallel run's parent has no sequencer: it only waits for datagrams.
void FastStart(bool parallel_parent);

// Main loop, instead of its sleep: waits until the machine is ready for the
// sequencer's next step, at most ms (what the step asked for).
void FastPause(uint32_t ms);
// Link thread, instead of its sleep: none after a receive that brought
// bytes; else until the sequencer or the sender has news, at most ms.
void FastLinkPause(uint32_t ms);
// YMODEM sender, instead of its look every 10 ms: none once a byte was
// taken; else until the link hands over a receive batch, at most ms.
void FastReplyPause(bool took, uint32_t ms);

// Main thread, as the link sends len bytes: a command byte is a moment
// that answers are counted from.
void FastSending(const uint8_t* data, int len);
// Link thread, right after a receive stored n bytes (n <= 0: the machine
// closed the connection, or the receive failed) while they are still its own.
void FastReceived(const uint8_t* data, int n);
// A datagram was queued: the main loop looks at once.
void FastNews(void);
