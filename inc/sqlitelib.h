// SQLite (Debian's libsqlite3), opened when a run asks for the station:
// linked into every run it would cost memory that runs without the station
// do not spend. Its functions by their own names and types, from its header.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>

struct SqliteLib {
    decltype(&sqlite3_open_v2) open_v2;
    decltype(&sqlite3_close) close;
    decltype(&sqlite3_exec) exec;
    decltype(&sqlite3_prepare_v2) prepare_v2;
    decltype(&sqlite3_step) step;
    decltype(&sqlite3_reset) reset;
    decltype(&sqlite3_finalize) finalize;
    decltype(&sqlite3_bind_text) bind_text;
    decltype(&sqlite3_bind_int64) bind_int64;
    decltype(&sqlite3_bind_null) bind_null;
    decltype(&sqlite3_column_text) column_text;
    decltype(&sqlite3_column_int64) column_int64;
    decltype(&sqlite3_column_type) column_type;
    decltype(&sqlite3_errmsg) errmsg;
    decltype(&sqlite3_busy_handler) busy_handler;
    decltype(&sqlite3_busy_timeout) busy_timeout;
    decltype(&sqlite3_last_insert_rowid) last_insert_rowid;
    decltype(&sqlite3_changes) changes;
    decltype(&sqlite3_free) free;
};

// The library's functions, loaded once; nullptr with the reason in why.
const SqliteLib* SqliteLoad(char* why, size_t why_len);

// A statement run to its end, again while another process holds the file:
// SQLITE_DONE (or SQLITE_ROW for the first row), else the failing code.
int SqliteStep(sqlite3* db, sqlite3_stmt* st);
// Statements without results, run one after the other; the error in why.
bool SqliteExec(sqlite3* db, const char* sql, char* why, size_t why_len);
// Binds text, or null for nullptr.
void SqliteBindText(sqlite3_stmt* st, int at, const char* text);
// Binds a UTC time as "2026-12-09T07:12:03.123Z", or null for 0.
void SqliteBindTime(sqlite3_stmt* st, int at, uint64_t utc_ms);
