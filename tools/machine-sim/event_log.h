#pragma once
#include <cstdint>

// Wire-event log: one line per event, "t=<ms since start> <event> [args]".
// Tests parse these lines; keep the wording stable.

// Milliseconds since the program started (monotonic clock).
std::int64_t NowMs();

// Sends events to stdout (verbose) and/or to a file; returns false when the
// file cannot be opened.
bool OpenEventLog(bool to_stdout, const char* path);

// With a fleet, the address of the machine whose events follow, written
// after the time; null (as for a single machine) writes none.
void SetLogTag(const char* tag);

void LogEvent(const char* format, ...) __attribute__((format(printf, 1, 2)));
