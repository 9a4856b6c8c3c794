// --serve ADDRESS:PORT: the status page of a run, from an embedded HTTP
// server (Debian's libmicrohttpd, opened when asked for) on a thread of its
// own. Read-only: GET and HEAD of /, /api/status and /metrics; any other
// method gets 405. Each request copies the state that status.h keeps and
// renders it, so a transfer or the listener never waits for the page.
#pragma once

#include <cstddef>
#include <cstdint>

// Whether this build has the page; false with one line that says what to
// use instead (lanflash.exe: no libmicrohttpd for Windows in Debian).
bool ServeBuilt(char* why, size_t why_len);
// Listens on addr:port (network byte order) before any thread starts;
// false with the reason in why.
bool ServeOpen(uint32_t addr, uint16_t port, char* why, size_t why_len);
// Today's history for the page as a JSON object (StationToday), called on
// the page's thread at most once a second; the length, 0 for none.
typedef size_t (*ServeHistory)(char* out, size_t cap);
// Starts the page's thread; history may be nullptr.
void ServeStart(ServeHistory history);

// The page itself: one file, with its style and script inside.
extern const char kServePage[];
