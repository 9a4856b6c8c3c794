// Address conflicts, seen datagram by datagram on the receiving thread.
#include "conflict.h"

#include <cstdio>
#include <cstring>

#include "addrmap.h"
#include "grow.h"
#include "hooks.h"

namespace {

// Per address, the last MAC field of each kind and when it came.
struct LastSeen {
    uint8_t mac[2][kMacBytes];
    uint64_t at_ms[2];
    bool seen[2];
};

// Receiving thread only.
AddrMap where;
Array<LastSeen> seen;

LastSeen* Of(uint32_t addr) {
    const int i = AddrMapGet(&where, addr);
    if (i >= 0) return &seen[static_cast<size_t>(i)];
    if (!Reserve(seen, seen.count + 1) || !AddrMapPut(&where, addr, static_cast<int>(seen.count))) return nullptr;
    (void)Push(seen, LastSeen{});
    return &seen[seen.count - 1];
}

}  // namespace

bool ConflictSeen(const Announcement& an, uint64_t arrived_ms, uint8_t other_mac[kMacBytes]) {
    if (an.kind == -1) return false;
    LastSeen* last = Of(an.addr);
    if (last == nullptr) return false;
    const int k = an.kind == kAppKind ? 1 : 0;
    const bool conflict = last->seen[k] && memcmp(last->mac[k], an.mac, kMacBytes) != 0 &&
                          arrived_ms < last->at_ms[k] + kConflictWithinMs;
    if (conflict) memcpy(other_mac, last->mac[k], kMacBytes);
    memcpy(last->mac[k], an.mac, kMacBytes);
    last->at_ms[k] = arrived_ms;
    last->seen[k] = true;
    return conflict;
}

const char* MacText(const uint8_t* mac, char* out) {
    snprintf(out, 18, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return out;
}
