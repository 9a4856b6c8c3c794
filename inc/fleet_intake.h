// The sequencer's intake of datagrams in a run with options. Every datagram
// that arrived is judged on the main thread at its next look, by the time
// it arrived: a chosen machine's goes to the sequencer first (those in
// progress before new ones), a machine that is not chosen is handed once,
// to be traced and left alone, and costs nothing after that, and datagrams
// of no machine come last. Main thread only.
#pragma once

#include <cstdint>

// Judges everything the hand-over line holds. busy: the machine whose
// connection the sequencer holds, -1 for none (an address conflict there
// is the sequencer's to end).
void IntakeDrain(int busy);
// The next datagram for the sequencer into udpDataBuff, with its sender
// and the time it arrived (the first that said the same at *first_ms);
// false when none.
bool IntakeHand(uint32_t* from, uint64_t* arrived_ms, uint64_t* first_ms);
// A datagram of the machine at this address waits for the sequencer, or
// is in its hands.
bool IntakeWaiting(uint32_t addr);
// One of a chosen machine does.
bool IntakeChosenWaiting(void);
// The sequencer has more than datagrams of no machine to look at: at once.
bool IntakeBusy(void);
