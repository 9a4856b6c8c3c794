// Two boards at one address: boards fresh from production often share a
// default address, and then the reset may reach one and the image the
// other. Announcements of the same kind (two from applications, or two from
// boot loaders) for one address whose MAC fields differ, less than 3 s
// apart, put that address in conflict for the rest of the run. An
// application and a boot loader are not compared: what a boot loader puts
// in that field is not known, and a machine that restarts must never look
// like two.
#pragma once

#include <cstdint>

constexpr int kMacOffset = 19;  // behind the address and the subnet mask
constexpr int kMacBytes = 6;
constexpr uint64_t kConflictWithinMs = 3000;

// Receiving thread, for every announcement its machine sent itself (sent
// from the address it names), before any are merged: true when it shows a
// conflict, with the MAC field it differs from in other_mac.
bool ConflictSeen(const char* datagram, uint64_t arrived_ms, uint8_t other_mac[kMacBytes]);

// Main thread: the addresses in conflict. True the first time for addr.
bool ConflictNote(uint32_t addr);
bool ConflictAt(uint32_t addr);

// "02:54:41:56:00:07" into out[18].
const char* MacText(const uint8_t* mac, char* out);
