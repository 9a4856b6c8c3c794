// Lines of datagrams by key, and the ring of those that name no machine.
#include "arrival.h"

#include <cstdlib>
#include <cstring>

namespace {

// A line that knew this many keys forgets them once it is empty, so that
// senders that came and went cost nothing for the rest of the run.
constexpr size_t kForgetAfterPlaces = 4096;

// Room for one more place, the waiting ring laid out afresh from its head.
bool Grow(ArrivalLine* line) {
    const size_t old_cap = line->places.cap;
    if (!Reserve(line->places, line->places.count + 1)) return false;
    if (line->places.cap == old_cap && line->order != nullptr) return true;
    int* order = static_cast<int*>(malloc(line->places.cap * sizeof *order));
    if (order == nullptr) return false;
    for (int k = 0; k < line->count; ++k) order[k] = line->order[(line->head + k) % static_cast<int>(old_cap)];
    free(line->order);
    line->order = order;
    line->head = 0;
    return true;
}

}  // namespace

void LineClear(ArrivalLine* line) {
    for (size_t i = 0; i < line->places.count; ++i) free(line->places[i]);
    Release(line->places);
    free(line->order);
    AddrMapFree(&line->where);
    *line = ArrivalLine{};
}

void ArrivalMerge(Arrival& kept, const Arrival& a) {
    const bool same = kept.len == a.len && memcmp(kept.data, a.data, static_cast<size_t>(a.len)) == 0;
    const uint64_t first = same && kept.first_arrived_ms < a.first_arrived_ms ? kept.first_arrived_ms : a.first_arrived_ms;
    const Arrival older = kept;
    kept = a;
    kept.first_arrived_ms = first;
    if (older.conflict && !a.conflict) {
        kept.conflict = true;
        memcpy(kept.macs, older.macs, sizeof kept.macs);
    }
}

bool LinePut(ArrivalLine* line, uint64_t key, const Arrival& a) {
    int i = AddrMapGet(&line->where, key);
    if (i < 0) {
        if (!Grow(line)) return false;
        i = static_cast<int>(line->places.count);
        if (!AddrMapPut(&line->where, key, i)) return false;
        (void)Push(line->places, static_cast<Arrival*>(nullptr));
    }
    Arrival*& place = line->places[static_cast<size_t>(i)];
    if (place != nullptr) {
        ArrivalMerge(*place, a);  // keeps its place in line
        return true;
    }
    place = static_cast<Arrival*>(malloc(sizeof(Arrival)));
    if (place == nullptr) return false;
    *place = a;
    line->order[(line->head + line->count) % static_cast<int>(line->places.cap)] = i;
    ++line->count;
    return true;
}

bool LineTake(ArrivalLine* line, Arrival* a) {
    if (line->count == 0) return false;
    Arrival*& place = line->places[static_cast<size_t>(line->order[line->head])];
    *a = *place;
    free(place);
    place = nullptr;
    line->head = (line->head + 1) % static_cast<int>(line->places.cap);
    if (--line->count == 0 && line->places.count >= kForgetAfterPlaces) LineClear(line);
    return true;
}

bool LineHas(const ArrivalLine* line, uint64_t key) {
    const int i = AddrMapGet(&line->where, key);
    return i >= 0 && line->places[static_cast<size_t>(i)] != nullptr;
}

void RingPut(ArrivalRing* ring, const Arrival& a) {
    constexpr int slots = sizeof ring->items / sizeof ring->items[0];
    if (ring->count == slots) {  // junk from many senders: the oldest goes
        ring->head = (ring->head + 1) % slots;
        --ring->count;
    }
    ring->items[(ring->head + ring->count++) % slots] = a;
}

bool RingTake(ArrivalRing* ring, Arrival* a) {
    constexpr int slots = sizeof ring->items / sizeof ring->items[0];
    if (ring->count == 0) return false;
    *a = ring->items[ring->head];
    ring->head = (ring->head + 1) % slots;
    --ring->count;
    return true;
}
