// --fast: an update paced by the machine's answers. Every pause of the
// sequencer, the link and the YMODEM sender gives way to the sign that the
// machine is ready, and the pause itself stays as the longest wait; the
// bytes on the wire and the trace are the same, only sooner. Without
// --fast none of it runs (its slots in hooks.h stay empty) and every pause
// is as it was.
#pragma once

// Fills the pauses' slots, before any thread starts. A parallel run's
// parent has no sequencer: it only waits for datagrams.
void FastStart(bool parallel_parent);
