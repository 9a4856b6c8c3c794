// The sequencer under the rules of a run with options: it fills the
// sequencer's and the main loop's slots (hooks.h), hands the sequencer one
// queued datagram at a time, tells the rules what the machine it acts on
// went through, and after M_IDLE goes on to the next announcement.
#pragma once

#include <cstdint>

// After FleetStart, before any thread starts. image_bytes: the image's
// size, for the count of its data blocks.
void FleetPathStart(long image_bytes);
