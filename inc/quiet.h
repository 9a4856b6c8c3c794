// The waits of a run with options, blocking on what they wait for instead
// of waking up to look: a thousand workers that each looked a hundred times
// a second would need more than this computer's cores. Two news words carry
// the signs: the main thread (sequencer and sender) waits on one for
// datagrams and what the link received, the link thread on the other for
// the sequencer's steps and batches handed back. The design's own pauses
// (its trace and timing) stay as they are; only the options' own looks and
// the idle link's polling give way to the news. --fast (fast.h) builds on
// the same words.
#pragma once

#include <cstdint>

// Any thread: something the main thread may be waiting for happened (a
// datagram queued, a record from the parent, a receive).
void QuietPostMain(void);
// Any thread: something the link thread may be waiting for happened (the
// sequencer stepped, a batch was handed back).
void QuietPostLink(void);
// Main thread: waits until ready (which may name a moment to look again in
// *look_at_ms) or until_ms; with any_news, the first news ends it as well.
void QuietAwait(uint64_t until_ms, bool (*ready)(uint64_t now_ms, uint64_t* look_at_ms), bool any_news);
// Link thread, instead of its pause of ms: a link that waits for another
// thread (the sequencer's next step, or the sender to take a batch) waits
// for its news; a busy one for news, at most ms.
void QuietLinkPause(uint32_t ms);
// Fills the pauses' slots for a run with options but without --fast,
// before any thread starts. A parallel run's parent only waits for news.
void QuietStart(bool parallel_parent);
