// Machines by their IPv4 address (or by a pair of addresses, one in each
// half of the key): a hash map from a key to a table index, growing with the
// machines heard and never scanned whole.
#pragma once

#include <cstddef>
#include <cstdint>

struct AddrMap {
    uint64_t* keys = nullptr;  // an address in network byte order, or a pair
    int* values = nullptr;     // -1: a free slot
    size_t slots = 0;          // a power of two, or 0
    size_t used = 0;
};

// Two addresses as one key: a sender and the address it named.
inline uint64_t AddrPair(uint32_t from, uint32_t named) { return static_cast<uint64_t>(from) << 32 | named; }

// The value stored for key, or -1.
int AddrMapGet(const AddrMap* map, uint64_t key);
// Stores value (0 or more) for key, replacing what was there; false when
// no memory was left for it.
bool AddrMapPut(AddrMap* map, uint64_t key, int value);
void AddrMapFree(AddrMap* map);
