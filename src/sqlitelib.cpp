// SQLite's functions, looked up by name in the library opened for a run.
#include "sqlitelib.h"

#include <cstdio>

#include "json.h"
#include "platform.h"

namespace {

SqliteLib lib;
bool loaded = false;
// A statement that finds the file locked by another process waits and
// goes again: the other holds it for a commit, milliseconds long.
constexpr uint32_t kBusyPauseMs = 5;

template <typename F>
bool Find(plat_library handle, const char* name, F* out, char* why, size_t why_len) {
    *out = reinterpret_cast<F>(plat_library_symbol(handle, name));
    if (*out == nullptr) snprintf(why, why_len, "libsqlite3 has no %s", name);
    return *out != nullptr;
}

}  // namespace

const SqliteLib* SqliteLoad(char* why, size_t why_len) {
    if (loaded) return &lib;
    plat_library handle = plat_library_open("libsqlite3.so.0", why, why_len);
    if (handle == nullptr) return nullptr;
    SqliteLib l{};
    const bool all = Find(handle, "sqlite3_open_v2", &l.open_v2, why, why_len) &&
                     Find(handle, "sqlite3_close", &l.close, why, why_len) &&
                     Find(handle, "sqlite3_exec", &l.exec, why, why_len) &&
                     Find(handle, "sqlite3_prepare_v2", &l.prepare_v2, why, why_len) &&
                     Find(handle, "sqlite3_step", &l.step, why, why_len) &&
                     Find(handle, "sqlite3_reset", &l.reset, why, why_len) &&
                     Find(handle, "sqlite3_finalize", &l.finalize, why, why_len) &&
                     Find(handle, "sqlite3_bind_text", &l.bind_text, why, why_len) &&
                     Find(handle, "sqlite3_bind_int64", &l.bind_int64, why, why_len) &&
                     Find(handle, "sqlite3_bind_null", &l.bind_null, why, why_len) &&
                     Find(handle, "sqlite3_column_text", &l.column_text, why, why_len) &&
                     Find(handle, "sqlite3_column_int64", &l.column_int64, why, why_len) &&
                     Find(handle, "sqlite3_column_type", &l.column_type, why, why_len) &&
                     Find(handle, "sqlite3_errmsg", &l.errmsg, why, why_len) &&
                     Find(handle, "sqlite3_busy_handler", &l.busy_handler, why, why_len) &&
                     Find(handle, "sqlite3_busy_timeout", &l.busy_timeout, why, why_len) &&
                     Find(handle, "sqlite3_last_insert_rowid", &l.last_insert_rowid, why, why_len) &&
                     Find(handle, "sqlite3_changes", &l.changes, why, why_len) &&
                     Find(handle, "sqlite3_free", &l.free, why, why_len);
    if (!all) return nullptr;
    lib = l;
    loaded = true;
    return &lib;
}

int SqliteStep(sqlite3* db, sqlite3_stmt* st) {
    (void)db;
    for (;;) {
        const int rc = lib.step(st);
        // The busy handler waits already; this is for the cases where
        // SQLite returns without asking it.
        if ((rc & 0xFF) != SQLITE_BUSY && (rc & 0xFF) != SQLITE_LOCKED) return rc;
        lib.reset(st);
        plat_sleep_ms(kBusyPauseMs);
    }
}

bool SqliteExec(sqlite3* db, const char* sql, char* why, size_t why_len) {
    for (;;) {
        char* error = nullptr;
        const int rc = lib.exec(db, sql, nullptr, nullptr, &error);
        if (rc != SQLITE_OK) snprintf(why, why_len, "%s", error != nullptr ? error : lib.errmsg(db));
        lib.free(error);
        if (rc == SQLITE_OK) return true;
        if ((rc & 0xFF) != SQLITE_BUSY && (rc & 0xFF) != SQLITE_LOCKED) return false;
        plat_sleep_ms(kBusyPauseMs);
    }
}

void SqliteBindText(sqlite3_stmt* st, int at, const char* text) {
    if (text == nullptr) {
        lib.bind_null(st, at);
    } else {
        lib.bind_text(st, at, text, -1, SQLITE_TRANSIENT);
    }
}

void SqliteBindTime(sqlite3_stmt* st, int at, uint64_t utc_ms) {
    if (utc_ms == 0) {
        lib.bind_null(st, at);
        return;
    }
    char text[25];
    IsoUtc(utc_ms, text);
    lib.bind_text(st, at, text, -1, SQLITE_TRANSIENT);
}
