// Datagrams with the time they arrived. A line keeps one place per
// announced address, in the order the addresses first came, and the newest
// datagram there: the newer says all that the older did, so a machine that
// announces often takes one place, and a line holds at most one datagram
// per machine heard. The listener (or a worker's reader) puts into the
// hand-over line; the sequencer's intake (or a parallel run) takes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "addrmap.h"
#include "eth.h"

struct Arrival {
    char data[BUF_SIZE];  // zero behind its length, as the parser reads it
    int len;
    uint64_t arrived_ms;        // the newest of those merged into this one
    uint64_t first_arrived_ms;  // the first of them that said the same
    uint32_t from;              // the sender's address, 0 when not known
    bool conflict;              // it showed its address in conflict (conflict.h)
    uint8_t macs[2][6];         // then: the MAC field seen before, and the one that differed
};

// The announced address, for a datagram long enough to carry one behind
// the signature; false for anything else (junk).
bool ArrivalAddress(const Arrival& a, uint32_t* addr);

// Sender and announced address, for a datagram long enough to carry one:
// a machine's own announcements and one host's claims of its address take
// places of their own.
inline uint64_t ArrivalKey(const Arrival& a, uint32_t addr) { return AddrPair(a.from, addr); }

// A newer datagram of the same place in *kept; identical ones keep the
// first one's time: a confirmation counts from the first that said so. A
// conflict, once seen, stays.
void ArrivalMerge(Arrival& kept, const Arrival& a);

struct ArrivalSlot;
struct ArrivalLine {
    AddrMap where;  // key -> slot
    ArrivalSlot* slots = nullptr;  // one place per key
    int slot_count = 0, slot_cap = 0;
    int* order = nullptr;  // the queued slots, oldest first, as a ring
    int head = 0, count = 0;
};

// Queues a at addr's place, or merges it there; false when no memory was
// left for a new place (a is dropped).
bool LinePut(ArrivalLine* line, uint64_t key, const Arrival& a);
// The oldest place's datagram into *a; false when the line is empty.
bool LineTake(ArrivalLine* line, Arrival* a);
bool LineHas(const ArrivalLine* line, uint64_t key);

// Datagrams of no machine: the newest 64, the oldest dropped.
struct ArrivalRing {
    Arrival items[64];
    int head = 0, count = 0;
};
void RingPut(ArrivalRing* ring, const Arrival& a);
bool RingTake(ArrivalRing* ring, Arrival* a);

// The hand-over between the thread that receives and the main thread.
// Called on the putting thread once a datagram is queued, so that a waiter
// looks at once; set before any thread starts.
extern void (*queue_news)(void);
void FleetQueue(const Arrival& a);
// Takes the oldest in line; false when none waits.
bool FleetTakeQueued(Arrival* a);

// Main thread, before any thread starts: binds the listener's UDP port, so
// that a port another program holds is told at once, before anything is
// sent. False with the message in why.
bool FleetListen(char* why, size_t why_len);
// Listener thread, instead of PollUDP: takes datagrams as fast as they
// come, with the time they arrived and their sender, and sees address
// conflicts datagram by datagram.
uint32_t FleetPollUDP(void);
