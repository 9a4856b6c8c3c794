// The platform seam for the fuzz targets: no sockets, no threads, no waiting.
// What the program sends is kept in memory; sleeps go to the hook that
// plat_set_sleep_hook installed, the fuzz target's fake clock.
#pragma once

#include <cstdint>
#include <vector>

#include "platform.h"

namespace fake {

constexpr plat_socket kSocket = 3;  // what every socket call hands out

// Every byte sent on any socket, in order; the target takes them away.
extern std::vector<uint8_t> sent;

}  // namespace fake
