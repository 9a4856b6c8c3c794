// Address conflicts: seen datagram by datagram on the receiving thread,
// kept on the main thread.
#include "conflict.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "addrmap.h"
#include "mstate.h"

namespace {

// Per address, the last MAC field of each kind and when it came.
struct LastSeen {
    uint8_t mac[2][kMacBytes];
    uint64_t at_ms[2];
    bool seen[2];
};

// Receiving thread only.
AddrMap where;
LastSeen* seen = nullptr;
int seen_count = 0, seen_cap = 0;

// Main thread only.
AddrMap in_conflict;

LastSeen* Of(uint32_t addr) {
    const int i = AddrMapGet(&where, addr);
    if (i >= 0) return &seen[i];
    if (seen_count == seen_cap) {
        const int cap = seen_cap == 0 ? 64 : 2 * seen_cap;
        LastSeen* grown = static_cast<LastSeen*>(realloc(seen, static_cast<size_t>(cap) * sizeof *seen));
        if (grown == nullptr) return nullptr;
        seen = grown;
        seen_cap = cap;
    }
    if (!AddrMapPut(&where, addr, seen_count)) return nullptr;
    seen[seen_count] = LastSeen{};
    return &seen[seen_count++];
}

}  // namespace

bool ConflictSeen(const char* datagram, uint64_t arrived_ms, uint8_t other_mac[kMacBytes]) {
    int name_len = 0;
    const int kind = MatchName(datagram + kNameOffset, &name_len);
    if (kind == -1) return false;
    uint32_t addr;
    memcpy(&addr, datagram + kAnnouncedAddressOffset, sizeof addr);
    LastSeen* last = Of(addr);
    if (last == nullptr) return false;
    const int k = kind == kAppKind ? 1 : 0;
    const uint8_t* mac = reinterpret_cast<const uint8_t*>(datagram + kMacOffset);
    const bool conflict = last->seen[k] && memcmp(last->mac[k], mac, kMacBytes) != 0 &&
                          arrived_ms < last->at_ms[k] + kConflictWithinMs;
    if (conflict) memcpy(other_mac, last->mac[k], kMacBytes);
    memcpy(last->mac[k], mac, kMacBytes);
    last->at_ms[k] = arrived_ms;
    last->seen[k] = true;
    return conflict;
}

bool ConflictNote(uint32_t addr) {
    if (ConflictAt(addr)) return false;
    (void)AddrMapPut(&in_conflict, addr, 1);
    return true;
}

bool ConflictAt(uint32_t addr) { return AddrMapGet(&in_conflict, addr) >= 0; }

const char* MacText(const uint8_t* mac, char* out) {
    snprintf(out, 18, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return out;
}
