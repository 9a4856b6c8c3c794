// Datagrams with the time they arrived, and the lines that hold them until
// they are looked at. A line keeps one place per key (a sender and the
// address it announced), in the order the keys first came, with the newest
// datagram there: the newer says all that the older did, so a machine that
// announces often takes one place, and a line holds at most one datagram
// per machine heard. Plain containers: the caller does the locking.
#pragma once

#include <cstddef>
#include <cstdint>

#include "addrmap.h"
#include "eth.h"
#include "grow.h"

struct Arrival {
    char data[BUF_SIZE];  // zero behind its length, as the parser reads it
    int len;
    uint64_t arrived_ms;        // the newest of those merged into this one
    uint64_t first_arrived_ms;  // the first of them that said the same
    uint32_t from;              // the sender's address, 0 when not known
    bool conflict;              // it showed its address in conflict (conflict.h)
    uint8_t macs[2][6];         // then: the MAC field seen before, and the one that differed
};

// Sender and announced address: a machine's own announcements and one
// host's claims of its address take places of their own.
inline uint64_t ArrivalKey(uint32_t from, uint32_t addr) { return AddrPair(from, addr); }

// A newer datagram of the same place in *kept; identical ones keep the
// first one's time: a confirmation counts from the first that said so. A
// conflict, once seen, stays.
void ArrivalMerge(Arrival& kept, const Arrival& a);

struct ArrivalLine {
    AddrMap where;            // key -> place
    Array<Arrival*> places;   // the datagram waiting at each place, or nullptr
    int* order = nullptr;     // the places that wait, oldest first, as a ring of places.cap
    int head = 0, count = 0;
};

// Queues a at its key's place, or merges it there; false when no memory
// was left for a new place (a is dropped).
bool LinePut(ArrivalLine* line, uint64_t key, const Arrival& a);
// The oldest place's datagram into *a; false when the line is empty.
bool LineTake(ArrivalLine* line, Arrival* a);
bool LineHas(const ArrivalLine* line, uint64_t key);
// Forgets every place and what waits there.
void LineClear(ArrivalLine* line);

// Datagrams of no machine: the newest 64, the oldest dropped.
struct ArrivalRing {
    Arrival items[64];
    int head = 0, count = 0;
};
void RingPut(ArrivalRing* ring, const Arrival& a);
bool RingTake(ArrivalRing* ring, Arrival* a);
