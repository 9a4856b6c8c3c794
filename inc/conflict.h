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

#include "announce.h"

constexpr uint64_t kConflictWithinMs = 3000;

// Receiving thread, for every announcement its machine sent itself (sent
// from the address it names), before any are merged: true when it shows a
// conflict, with the MAC field it differs from in other_mac.
bool ConflictSeen(const Announcement& an, uint64_t arrived_ms, uint8_t other_mac[kMacBytes]);

// "02:54:41:56:00:07" into out[18].
const char* MacText(const uint8_t* mac, char* out);
