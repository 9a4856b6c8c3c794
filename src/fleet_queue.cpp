// Lines of datagrams by announced address, and the hand-over line between
// the listener and the main thread.
#include "fleet_queue.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "conflict.h"
#include "mstate.h"
#include "platform.h"

void (*queue_news)(void) = nullptr;

struct ArrivalSlot {
    Arrival* arrival;  // while queued: a line holds only what waits
};

namespace {

constexpr int kFirstSlots = 64;
// A line that knew this many addresses forgets them once it is empty, so
// that senders that came and went cost nothing for the rest of the run.
constexpr int kForgetAfterSlots = 4096;

bool Grow(ArrivalLine* line) {
    const int cap = line->slot_cap == 0 ? kFirstSlots : 2 * line->slot_cap;
    ArrivalSlot* slots = static_cast<ArrivalSlot*>(realloc(line->slots, static_cast<size_t>(cap) * sizeof *slots));
    if (slots == nullptr) return false;
    line->slots = slots;
    int* order = static_cast<int*>(malloc(static_cast<size_t>(cap) * sizeof *order));
    if (order == nullptr) return false;
    // The ring laid out afresh from its head: each slot is in it at most once.
    for (int k = 0; k < line->count; ++k) order[k] = line->order[(line->head + k) % line->slot_cap];
    free(line->order);
    line->order = order;
    line->head = 0;
    line->slot_cap = cap;
    return true;
}

// Listener thread puts, main thread takes. A spin lock held for a copy or
// two, taken and given back by hand: std::mutex, or a guard object whose
// clean-up must run on unwinding, would pull in the C++ runtime library
// (a megabyte and more of a small program's memory).
std::atomic_flag queue_busy = ATOMIC_FLAG_INIT;

void Lock(void) {
    while (queue_busy.test_and_set(std::memory_order_acquire)) plat_sleep_ms(0);
}

void Unlock(void) { queue_busy.clear(std::memory_order_release); }

ArrivalLine handed;  // announcements, by address
ArrivalRing junk;    // the rest
bool listener_ready = false;  // set before the listener thread starts, then its own

// Forgets every place; only for a line that is empty.
void LineForget(ArrivalLine* line) {
    for (int i = 0; i < line->slot_count; ++i) free(line->slots[i].arrival);
    free(line->slots);
    free(line->order);
    AddrMapFree(&line->where);
    *line = ArrivalLine{};
}

}  // namespace

bool ArrivalAddress(const Arrival& a, uint32_t* addr) {
    if (a.len < kAnnouncedAddressOffset + 4 || !IsAnnouncement(a.data)) return false;
    memcpy(addr, a.data + kAnnouncedAddressOffset, sizeof *addr);
    return true;
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
        if (line->slot_count == line->slot_cap && !Grow(line)) return false;
        if (!AddrMapPut(&line->where, key, line->slot_count)) return false;
        i = line->slot_count++;
        line->slots[i] = ArrivalSlot{nullptr};
    }
    ArrivalSlot& slot = line->slots[i];
    if (slot.arrival != nullptr) {
        ArrivalMerge(*slot.arrival, a);  // keeps its place in line
        return true;
    }
    slot.arrival = static_cast<Arrival*>(malloc(sizeof(Arrival)));
    if (slot.arrival == nullptr) return false;
    *slot.arrival = a;
    line->order[(line->head + line->count) % line->slot_cap] = i;
    ++line->count;
    return true;
}

bool LineTake(ArrivalLine* line, Arrival* a) {
    if (line->count == 0) return false;
    ArrivalSlot& slot = line->slots[line->order[line->head]];
    *a = *slot.arrival;
    free(slot.arrival);
    slot.arrival = nullptr;
    line->head = (line->head + 1) % line->slot_cap;
    if (--line->count == 0 && line->slot_count >= kForgetAfterSlots) LineForget(line);
    return true;
}

bool LineHas(const ArrivalLine* line, uint64_t key) {
    const int i = AddrMapGet(&line->where, key);
    return i >= 0 && line->slots[i].arrival != nullptr;
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

void FleetQueue(const Arrival& given) {
    Arrival a = given;
    uint32_t addr = 0;
    const bool announcement = ArrivalAddress(a, &addr);
    // Before any are merged; only what the machine at an address sent itself.
    uint8_t other[kMacBytes];
    if (announcement && (a.from == 0 || a.from == addr) && ConflictSeen(a.data, a.arrived_ms, other) && !a.conflict) {
        a.conflict = true;
        memcpy(a.macs[0], other, kMacBytes);
        memcpy(a.macs[1], a.data + kMacOffset, kMacBytes);
    }
    Lock();
    if (announcement) {
        (void)LinePut(&handed, ArrivalKey(a, addr), a);
    } else {
        RingPut(&junk, a);
    }
    Unlock();
    if (queue_news) queue_news();
}

bool FleetTakeQueued(Arrival* a) {
    Lock();
    const bool took = LineTake(&handed, a) || RingTake(&junk, a);
    Unlock();
    return took;
}

bool FleetListen(char* why, size_t why_len) {
    if (plat_sockets_startup() != 0) {
        snprintf(why, why_len, "cannot start the sockets layer");
        return false;
    }
    bool in_use = false;
    char reason[128];
    sudp = plat_udp_listen(PORT, &in_use, reason, sizeof reason);
    if (sudp == PLAT_INVALID_SOCKET) {
        snprintf(why, why_len, "cannot listen on UDP port %d: %s%s", PORT, reason,
                 in_use ? " (is another lanflash running?)" : "");
        return false;
    }
    listener_ready = true;
    return true;
}

uint32_t FleetPollUDP(void) {
    if (!listener_ready) {
        InitUDP();
        listener_ready = true;
        return 0;
    }
    Arrival a = {};
    a.len = ReceiveDatagram(a.data, &a.from);
    a.arrived_ms = a.first_arrived_ms = plat_now_ms();
    FleetQueue(a);
    return 0;
}
