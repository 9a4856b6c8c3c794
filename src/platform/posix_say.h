// The platform layer's own: how a failed system call is told.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace posix {

// "call: reason", or "call path: reason", as every failed call reads.
inline void say(char* why, size_t why_len, const char* call, const char* path, int err) {
    if (why == nullptr || why_len == 0) return;
    if (path != nullptr) snprintf(why, why_len, "%s %s: %s", call, path, strerror(err));
    else snprintf(why, why_len, "%s: %s", call, strerror(err));
}

}  // namespace posix
