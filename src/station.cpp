// The station's file: opened (created, or upgraded in place from an older
// schema), shared with other lanflash processes, and this run's place in it.
#include "station.h"

#include <cstdio>
#include <cstring>

#include "platform.h"
#include "station_db.h"

namespace {

// Each step takes the file from the schema before it to its own; a file's
// PRAGMA user_version is the number of steps done. A newer lanflash adds a
// step and never changes one that shipped.
const char* const kSteps[] = {
    // 1: runs and their attempts.
    "CREATE TABLE runs ("
    " id INTEGER PRIMARY KEY,"
    " started TEXT NOT NULL,"       // UTC, 2026-12-09T07:12:03.123Z
    " finished TEXT,"
    " state TEXT NOT NULL,"         // running, ended, died
    " status INTEGER,"              // lanflash's exit status
    " version TEXT NOT NULL,"
    " image TEXT NOT NULL,"
    " image_bytes INTEGER NOT NULL,"
    " image_sha256 TEXT NOT NULL);"
    "CREATE TABLE attempts ("
    " id INTEGER PRIMARY KEY,"
    " run INTEGER NOT NULL REFERENCES runs(id),"
    " address TEXT,"
    " name TEXT,"
    " model TEXT,"
    " serial INTEGER,"
    " mac TEXT,"
    " image TEXT NOT NULL,"
    " image_bytes INTEGER NOT NULL,"
    " image_sha256 TEXT NOT NULL,"
    " result TEXT NOT NULL,"        // in progress, updated, failed, unconfirmed, missing, skipped, interrupted
    " reason TEXT,"
    " tries INTEGER NOT NULL,"
    " blocks_sent INTEGER NOT NULL DEFAULT 0,"
    " blocks_resent INTEGER NOT NULL DEFAULT 0,"
    " started TEXT,"
    " finished TEXT,"
    " version TEXT NOT NULL);"
    "CREATE INDEX attempts_by_board ON attempts (serial, model, image_sha256);"
    "CREATE INDEX attempts_by_start ON attempts (started);",
};
constexpr int kSchemaVersion = static_cast<int>(sizeof kSteps / sizeof kSteps[0]);

// A reader of the page waits this long for a file that is being recovered.
constexpr int kReaderBusyMs = 200;
constexpr uint32_t kMostBusyPauseMs = 20;

char lock_path[4096];  // FILE-runs: a lock slot per running lanflash

// Another process holds the file for its commit: wait, however long, and
// never fail or drop a row for it.
int WaitForTheOther(void*, int tries) {
    const uint32_t pause = static_cast<uint32_t>(tries < 0 ? 1 : tries + 1);
    plat_sleep_ms(pause < kMostBusyPauseMs ? pause : kMostBusyPauseMs);
    return 1;
}

bool Fail(char* why, size_t why_len, const char* what) {
    snprintf(why, why_len, "%s: %s", what, station.sql->errmsg(station.db));
    return false;
}

// One number from a statement, or -1.
int64_t Number(const char* sql) {
    sqlite3_stmt* st = nullptr;
    int64_t value = -1;
    if (station.sql->prepare_v2(station.db, sql, -1, &st, nullptr) == SQLITE_OK && SqliteStep(station.db, st) == SQLITE_ROW)
        value = station.sql->column_int64(st, 0);
    station.sql->finalize(st);
    return value;
}

bool WriteAheadLog(char* why, size_t why_len) {
    sqlite3_stmt* st = nullptr;
    if (station.sql->prepare_v2(station.db, "PRAGMA journal_mode=WAL", -1, &st, nullptr) != SQLITE_OK)
        return Fail(why, why_len, "PRAGMA journal_mode");
    const bool row = SqliteStep(station.db, st) == SQLITE_ROW;
    const unsigned char* mode = row ? station.sql->column_text(st, 0) : nullptr;
    const bool wal = mode != nullptr && strcmp(reinterpret_cast<const char*>(mode), "wal") == 0;
    station.sql->finalize(st);
    if (!row) return Fail(why, why_len, "PRAGMA journal_mode");
    if (!wal) snprintf(why, why_len, "this file system does not take SQLite's write-ahead log");
    // Each commit is on the disk before the line that tells of it.
    return wal && SqliteExec(station.db, "PRAGMA synchronous=FULL", why, why_len);
}

// Under the write lock, so that two processes opening an old file upgrade
// it once.
bool Upgrade(char* why, size_t why_len) {
    if (!SqliteExec(station.db, "BEGIN IMMEDIATE", why, why_len)) return false;
    const int64_t version = Number("PRAGMA user_version");
    bool ok = version >= 0;
    if (!ok) Fail(why, why_len, "PRAGMA user_version");
    if (ok && version > kSchemaVersion) {
        snprintf(why, why_len, "its schema is version %lld, from a newer lanflash; this one knows up to %d",
                 static_cast<long long>(version), kSchemaVersion);
        ok = false;
    }
    for (int64_t step = version; ok && step < kSchemaVersion; ++step) ok = SqliteExec(station.db, kSteps[step], why, why_len);
    char set[48];
    snprintf(set, sizeof set, "PRAGMA user_version=%d", kSchemaVersion);
    if (ok && version < kSchemaVersion) ok = SqliteExec(station.db, set, why, why_len);
    if (ok) return SqliteExec(station.db, "COMMIT", why, why_len);
    char ignored[64];
    (void)SqliteExec(station.db, "ROLLBACK", ignored, sizeof ignored);
    return false;
}

// The runs whose process is gone without having ended them: their attempts
// in progress are interrupted. Their lock slots tell, not their age: a run
// may go on all day.
bool MarkTheDead(int* interrupted, char* why, size_t why_len) {
    const SqliteLib& q = *station.sql;
    sqlite3_stmt *runs = nullptr, *died = nullptr, *attempts = nullptr;
    bool ok = q.prepare_v2(station.db, "SELECT id FROM runs WHERE state = 'running' AND id != ?1", -1, &runs, nullptr) == SQLITE_OK &&
              q.prepare_v2(station.db, "UPDATE runs SET state = 'died' WHERE id = ?1", -1, &died, nullptr) == SQLITE_OK &&
              q.prepare_v2(station.db, "UPDATE attempts SET result = ?2, reason = ?3 WHERE run = ?1 AND result = ?4", -1,
                           &attempts, nullptr) == SQLITE_OK;
    if (!ok) Fail(why, why_len, "prepare");
    q.bind_int64(runs, 1, station.run);
    while (ok && SqliteStep(station.db, runs) == SQLITE_ROW) {
        const int64_t run = q.column_int64(runs, 0);
        const int held = plat_slot_held(lock_path, static_cast<uint64_t>(run), why, why_len);
        if (held != 0) {
            ok = held == 1;
            continue;
        }
        q.bind_int64(died, 1, run);
        q.bind_int64(attempts, 1, run);
        SqliteBindText(attempts, 2, kInterrupted);
        SqliteBindText(attempts, 3, kEndedAbruptly);
        SqliteBindText(attempts, 4, kInProgress);
        ok = SqliteStep(station.db, died) == SQLITE_DONE && SqliteStep(station.db, attempts) == SQLITE_DONE;
        if (!ok) Fail(why, why_len, "mark the attempts of a run that died");
        *interrupted += q.changes(station.db);
        q.reset(died);
        q.reset(attempts);
    }
    q.finalize(runs);
    q.finalize(died);
    q.finalize(attempts);
    return ok;
}

// This run, with its lock slot taken before others can see it.
bool Register(int* interrupted, char* why, size_t why_len) {
    if (!SqliteExec(station.db, "BEGIN IMMEDIATE", why, why_len)) return false;
    sqlite3_stmt* st = nullptr;
    const SqliteLib& q = *station.sql;
    bool ok = q.prepare_v2(station.db,
                           "INSERT INTO runs (started, state, version, image, image_bytes, image_sha256)"
                           " VALUES (?1, 'running', ?2, ?3, ?4, ?5)",
                           -1, &st, nullptr) == SQLITE_OK;
    if (ok) {
        SqliteBindTime(st, 1, plat_utc_ms());
        SqliteBindText(st, 2, station.version);
        SqliteBindText(st, 3, station.image);
        q.bind_int64(st, 4, station.image_bytes);
        SqliteBindText(st, 5, station.image_sha256);
        ok = SqliteStep(station.db, st) == SQLITE_DONE;
    }
    if (!ok) Fail(why, why_len, "record this run");
    q.finalize(st);
    station.run = q.last_insert_rowid(station.db);
    ok = ok && plat_slot_hold(lock_path, static_cast<uint64_t>(station.run), why, why_len) == 0;
    ok = ok && MarkTheDead(interrupted, why, why_len);
    if (ok) return SqliteExec(station.db, "COMMIT", why, why_len);
    char ignored[64];
    (void)SqliteExec(station.db, "ROLLBACK", ignored, sizeof ignored);
    return false;
}

}  // namespace

bool StationBuilt(char*, size_t) { return true; }

bool StationOpen(const char* path, const char* image, long image_bytes, const char* image_sha256, const char* version,
                 int* interrupted, char* why, size_t why_len) {
    *interrupted = 0;
    if (snprintf(lock_path, sizeof lock_path, "%s-runs", path) >= static_cast<int>(sizeof lock_path)) {
        snprintf(why, why_len, "the path is too long");
        return false;
    }
    station.sql = SqliteLoad(why, why_len);
    if (station.sql == nullptr) return false;
    station.image = image;
    station.image_bytes = image_bytes;
    station.image_sha256 = image_sha256;
    station.version = version;
    const SqliteLib& q = *station.sql;
    if (q.open_v2(path, &station.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
        return Fail(why, why_len, "open");
    q.busy_handler(station.db, WaitForTheOther, nullptr);
    if (!WriteAheadLog(why, why_len) || !Upgrade(why, why_len) || !Register(interrupted, why, why_len) ||
        !StationRowsStart(why, why_len))
        return false;
    // The page reads on its own thread and connection; a write of this run
    // or another never waits for it.
    if (q.open_v2(path, &station.reader, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return Fail(why, why_len, "open");
    q.busy_timeout(station.reader, kReaderBusyMs);
    return true;
}

// A failed write cannot be made up for: the run goes on, and its result
// lines still tell.
void StationEnd(int status) {
    if (!StationOn()) return;
    sqlite3_stmt* st = nullptr;
    const SqliteLib& q = *station.sql;
    if (q.prepare_v2(station.db, "UPDATE runs SET finished = ?1, state = 'ended', status = ?2 WHERE id = ?3", -1, &st,
                     nullptr) == SQLITE_OK) {
        SqliteBindTime(st, 1, plat_utc_ms());
        q.bind_int64(st, 2, status);
        q.bind_int64(st, 3, station.run);
        (void)SqliteStep(station.db, st);
    }
    q.finalize(st);
}
