// Machines by their IPv4 address: a hash map from an address to a table
// index, growing with the machines heard and never scanned whole.
#pragma once

#include <cstddef>
#include <cstdint>

struct AddrMap {
    uint32_t* keys = nullptr;  // network byte order
    int* values = nullptr;     // -1: a free slot
    size_t slots = 0;          // a power of two, or 0
    size_t used = 0;
};

// The value stored for addr, or -1.
int AddrMapGet(const AddrMap* map, uint32_t addr);
// Stores value (0 or more) for addr, replacing what was there; false when
// no memory was left for it.
bool AddrMapPut(AddrMap* map, uint32_t addr, int value);
void AddrMapFree(AddrMap* map);
