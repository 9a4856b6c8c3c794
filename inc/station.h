// --station FILE: every update of every run in one SQLite database, kept
// across runs, so that a machine that has an image is never updated with it
// twice and a run that died is resumed by running it again. The schema and
// the queries a user runs are in docs/station.md. Main thread only, but for
// StationToday.
#pragma once

#include <cstddef>
#include <cstdint>

struct Announcement;
struct News;

// Whether this build has the station; false with one line that says what
// to use instead (lanflash.exe: no SQLite for Windows among Debian's packages).
bool StationBuilt(char* why, size_t why_len);

// Opens FILE (creating it, or upgrading an older schema in place), records
// this run, and marks the attempts that a run which ended abruptly left in
// progress as interrupted: *interrupted says how many. The image is named
// by its path as typed, its size and its SHA-256 (lower-case hex), kept,
// not copied. False with the reason in why.
bool StationOpen(const char* path, const char* image, long image_bytes, const char* image_sha256, const char* version,
                 int* interrupted, char* why, size_t why_len);
bool StationOn(void);

// A watcher of the run's news (news.h): an attempt's row when a machine
// begins, completed and committed when it has its result.
void StationNews(const News& n);
// For RulesAskHasImage: this machine's model and serial number were
// updated with this image before; when: since when, local time.
bool StationHasImage(const Announcement& an, char* when, size_t cap);
// The run ended with this exit status.
void StationEnd(int status);

// Today's attempts (local time), as a JSON object for the status page:
// per image and result, and the newest ones. Called on the page's thread,
// on a connection of its own; the length written, 0 when none.
size_t StationToday(char* out, size_t cap);
