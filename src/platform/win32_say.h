// The platform layer's own: how a failed system call is told, and the
// handle behind a plat_handle.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform.h"

namespace win32 {

// "call: reason", or "call path: reason", the reason in the system's words.
inline void say(char* why, size_t why_len, const char* call, const char* path, DWORD err) {
    if (why == nullptr || why_len == 0) return;
    char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err,
                             MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
    // The system's sentences end in ".\r\n"; ours go on a line of their own.
    while (n > 0 && strchr(" .\r\n", text[n - 1]) != nullptr) n--;
    text[n] = '\0';
    if (n == 0) snprintf(text, sizeof text, "error %lu", static_cast<unsigned long>(err));
    if (path != nullptr) snprintf(why, why_len, "%s %s: %s", call, path, text);
    else snprintf(why, why_len, "%s: %s", call, text);
}

inline HANDLE as_handle(plat_handle h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace win32
