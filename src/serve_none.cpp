// The status page in a build without libmicrohttpd (lanflash.exe: Debian
// has no build of it for Windows): --serve says so in one line.
#include <cstdio>

#include "serve.h"

bool ServeBuilt(char* why, size_t why_len) {
    snprintf(why, why_len,
             "--serve: this build lacks it (no libmicrohttpd for Windows); follow the run with --report FILE, or "
             "serve the page from lanflash on Linux");
    return false;
}

bool ServeOpen(uint32_t, uint16_t, char* why, size_t why_len) { return ServeBuilt(why, why_len); }

void ServeStart(ServeHistory) {}
