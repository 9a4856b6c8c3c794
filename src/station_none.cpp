// The station in a build without SQLite (lanflash.exe: Debian has no build
// of it for Windows): --station says so in one line, and nothing else runs.
#include <cstdio>

#include "station.h"

bool StationBuilt(char* why, size_t why_len) {
    snprintf(why, why_len,
             "--station: this build lacks it (no SQLite for Windows); keep a record with --report FILE, or run the "
             "station on Linux");
    return false;
}

bool StationOpen(const char*, const char*, long, const char*, const char*, int* interrupted, char* why, size_t why_len) {
    *interrupted = 0;
    return StationBuilt(why, why_len);
}

bool StationOn(void) { return false; }

void StationNews(const News&) {}

bool StationHasImage(const Announcement&, char*, size_t) { return false; }

void StationEnd(int) {}

size_t StationToday(char*, size_t) { return 0; }
