// Open addressing with linear probing, at most half full: a lookup per
// datagram costs a multiplication and a probe or two.
#include "addrmap.h"

#include <cstdlib>

namespace {

constexpr size_t kFirstSlots = 64;
constexpr uint64_t kGoldenRatio64 = 0x9E3779B97F4A7C15u;  // spreads keys that differ in one byte

// The high bits of the product are the well mixed ones.
size_t SlotOf(uint64_t key, size_t slots) { return static_cast<size_t>((key * kGoldenRatio64) >> 32) & (slots - 1); }

// Into a table of `slots` that has room: no growth, no failure.
void Place(uint64_t* keys, int* values, size_t slots, uint64_t addr, int value) {
    size_t i = SlotOf(addr, slots);
    while (values[i] >= 0 && keys[i] != addr) i = (i + 1) & (slots - 1);
    keys[i] = addr;
    values[i] = value;
}

bool Grow(AddrMap* map) {
    const size_t slots = map->slots == 0 ? kFirstSlots : map->slots * 2;
    uint64_t* keys = static_cast<uint64_t*>(malloc(slots * sizeof *keys));
    int* values = static_cast<int*>(malloc(slots * sizeof *values));
    if (keys == nullptr || values == nullptr) {
        free(keys);
        free(values);
        return false;
    }
    for (size_t i = 0; i < slots; ++i) values[i] = -1;
    for (size_t i = 0; i < map->slots; ++i)
        if (map->values[i] >= 0) Place(keys, values, slots, map->keys[i], map->values[i]);
    free(map->keys);
    free(map->values);
    map->keys = keys;
    map->values = values;
    map->slots = slots;
    return true;
}

}  // namespace

int AddrMapGet(const AddrMap* map, uint64_t addr) {
    if (map->slots == 0) return -1;
    for (size_t i = SlotOf(addr, map->slots);; i = (i + 1) & (map->slots - 1)) {
        if (map->values[i] < 0) return -1;
        if (map->keys[i] == addr) return map->values[i];
    }
}

bool AddrMapPut(AddrMap* map, uint64_t addr, int value) {
    const bool is_new = AddrMapGet(map, addr) < 0;
    if (is_new && 2 * (map->used + 1) > map->slots && !Grow(map)) return false;
    Place(map->keys, map->values, map->slots, addr, value);
    if (is_new) ++map->used;
    return true;
}

void AddrMapFree(AddrMap* map) {
    free(map->keys);
    free(map->values);
    *map = AddrMap{};
}
