// What the station's parts share: the open file and this run. Filled by
// StationOpen on the main thread before any other part is used.
#pragma once

#include <cstdint>

#include "sqlitelib.h"

struct StationDb {
    const SqliteLib* sql = nullptr;
    sqlite3* db = nullptr;      // the main thread's
    sqlite3* reader = nullptr;  // the status page's thread's, read-only
    int64_t run = 0;            // this run's id in table runs
    const char* image = nullptr;
    long image_bytes = 0;
    const char* image_sha256 = nullptr;
    const char* version = nullptr;
};
extern StationDb station;

// The attempt statements, prepared once the schema is there; false with why.
bool StationRowsStart(char* why, size_t why_len);
// What an attempt that was in progress when its run died is marked with.
constexpr const char* kInterrupted = "interrupted";
constexpr const char* kInProgress = "in progress";
constexpr const char* kEndedAbruptly = "the run ended abruptly";
