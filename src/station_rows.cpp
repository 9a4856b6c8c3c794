// The station's attempts: a row when a machine begins, completed and
// committed the moment it has its result; and whether a machine already has
// this image.
#include <cstdio>

#include "announce.h"
#include "conflict.h"
#include "display.h"
#include "grow.h"
#include "hooks.h"
#include "model.h"
#include "news.h"
#include "station.h"
#include "station_db.h"
#include "text.h"

namespace {

sqlite3_stmt* begin_row = nullptr;
sqlite3_stmt* finish_row = nullptr;
sqlite3_stmt* whole_row = nullptr;
sqlite3_stmt* mac_of_row = nullptr;
sqlite3_stmt* has_image = nullptr;
Array<int64_t> rows;  // per machine of the table: its attempt's row, 0 for none yet

constexpr const char* kBeginRow =
    "INSERT INTO attempts (run, address, name, model, serial, mac, image, image_bytes, image_sha256, result, tries,"
    " started, version) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)";
// The record at its result: an application confirmed after a boot loader
// began it brings its name and serial number.
constexpr const char* kFinishRow =
    "UPDATE attempts SET address = ?2, name = ?3, model = ?4, serial = ?5, result = ?6, reason = ?7, tries = ?8,"
    " blocks_sent = ?9, blocks_resent = ?10, started = ?11, finished = ?12 WHERE id = ?1";
// One that had its result without beginning: skipped, or never heard.
constexpr const char* kWholeRow =
    "INSERT INTO attempts (run, address, name, model, serial, result, reason, tries, blocks_sent, blocks_resent,"
    " started, finished, image, image_bytes, image_sha256, version)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16)";
constexpr const char* kMacOfRow = "UPDATE attempts SET mac = ?2 WHERE id = ?1";
constexpr const char* kHasImage =
    "SELECT strftime('%Y-%m-%d %H:%M', finished, 'localtime') FROM attempts"
    " WHERE serial = ?1 AND model = ?2 AND image_sha256 = ?3 AND result = 'updated'"
    " ORDER BY finished DESC LIMIT 1";

const SqliteLib& Q(void) { return *station.sql; }

int64_t RowOf(int machine) {
    return machine >= 0 && static_cast<size_t>(machine) < rows.count ? rows[static_cast<size_t>(machine)] : 0;
}

void SetRow(int machine, int64_t row) {
    if (machine < 0 || !Reserve(rows, static_cast<size_t>(machine) + 1)) return;
    while (rows.count <= static_cast<size_t>(machine)) rows.items[rows.count++] = 0;
    rows[static_cast<size_t>(machine)] = row;
}

// The statement run once, its bindings left for the next.
bool Run(sqlite3_stmt* st) {
    const bool done = SqliteStep(station.db, st) == SQLITE_DONE;
    Q().reset(st);
    return done;
}

// Name and model as the console shows them: a name is any bytes.
void BindName(sqlite3_stmt* st, int at, const char* name, int len, bool known) {
    if (!known) {
        Q().bind_null(st, at);
        return;
    }
    char printable[kRecordNameBytes + 1];
    DisplayPrintable(name, len, printable, sizeof printable);
    SqliteBindText(st, at, printable);
}

void BindAddress(sqlite3_stmt* st, int at, uint32_t addr, bool known) {
    char text[16];
    SqliteBindText(st, at, known ? DottedQuad(addr, text) : nullptr);
}

void BindSerial(sqlite3_stmt* st, int at, bool has, uint32_t serial) {
    if (has) {
        Q().bind_int64(st, at, serial);
    } else {
        Q().bind_null(st, at);
    }
}

void BindImage(sqlite3_stmt* st, int path, int bytes, int sha, int version) {
    SqliteBindText(st, path, station.image);
    Q().bind_int64(st, bytes, station.image_bytes);
    SqliteBindText(st, sha, station.image_sha256);
    SqliteBindText(st, version, station.version);
}

void Began(const News& n) {
    if (RowOf(n.machine) != 0 || n.an == nullptr) return;  // another try: the row is there
    const Announcement& an = *n.an;
    const MachineRecord& r = *n.rec;
    sqlite3_stmt* st = begin_row;
    char mac[18];
    Q().bind_int64(st, 1, station.run);
    BindAddress(st, 2, an.addr, true);
    BindName(st, 3, an.name, an.name_len, true);
    SqliteBindText(st, 4, ModelText(ModelOfName(an.name, an.name_len)));
    BindSerial(st, 5, an.kind == kAppKind, an.serial);
    SqliteBindText(st, 6, MacText(an.mac, mac));
    BindImage(st, 7, 8, 9, 13);
    SqliteBindText(st, 10, kInProgress);
    Q().bind_int64(st, 11, r.tries);
    SqliteBindTime(st, 12, r.started_utc_ms);
    if (Run(st)) SetRow(n.machine, Q().last_insert_rowid(station.db));
}

// The columns of a record that both finishing statements bind alike.
void BindRecord(sqlite3_stmt* st, const MachineRecord& r, int first) {
    const bool heard = r.result != RESULT_MISSING;
    BindAddress(st, first, r.addr, r.addr_known);
    BindName(st, first + 1, r.name, r.name_len, heard);
    SqliteBindText(st, first + 2, heard ? ModelText(ModelOfName(r.name, r.name_len)) : nullptr);
    BindSerial(st, first + 3, r.has_serial, r.serial);
    SqliteBindText(st, first + 4, ResultText(r.result));
    SqliteBindText(st, first + 5, ReasonText(r.reason));
    Q().bind_int64(st, first + 6, r.tries);
    Q().bind_int64(st, first + 7, r.blocks_sent);
    Q().bind_int64(st, first + 8, r.blocks_resent);
    SqliteBindTime(st, first + 9, r.started_utc_ms);
    SqliteBindTime(st, first + 10, r.finished_utc_ms);
}

void Finished(const News& n) {
    const int64_t row = RowOf(n.machine);
    if (row != 0) {
        Q().bind_int64(finish_row, 1, row);
        BindRecord(finish_row, *n.rec, 2);
        (void)Run(finish_row);
        return;
    }
    Q().bind_int64(whole_row, 1, station.run);
    BindRecord(whole_row, *n.rec, 2);
    BindImage(whole_row, 13, 14, 15, 16);
    if (Run(whole_row)) SetRow(n.machine, Q().last_insert_rowid(station.db));
}

// A machine left alone for having the image: its MAC field too.
void AlreadyUpdated(const News& n) {
    const int64_t row = RowOf(n.machine);
    if (row == 0 || n.an == nullptr) return;
    char mac[18];
    Q().bind_int64(mac_of_row, 1, row);
    SqliteBindText(mac_of_row, 2, MacText(n.an->mac, mac));
    (void)Run(mac_of_row);
}

}  // namespace

bool StationRowsStart(char* why, size_t why_len) {
    const struct {
        const char* sql;
        sqlite3_stmt** st;
    } statements[] = {{kBeginRow, &begin_row}, {kFinishRow, &finish_row}, {kWholeRow, &whole_row},
                      {kMacOfRow, &mac_of_row}, {kHasImage, &has_image}};
    for (const auto& s : statements) {
        if (Q().prepare_v2(station.db, s.sql, -1, s.st, nullptr) != SQLITE_OK) {
            snprintf(why, why_len, "prepare: %s", Q().errmsg(station.db));
            return false;
        }
    }
    return true;
}

// Each statement commits on its own (autocommit): the row is on the disk
// before the next line of the run is printed.
void StationNews(const News& n) {
    if (!StationOn()) return;
    if (n.kind == NEWS_BEGAN && n.machine >= 0) Began(n);
    if (n.kind == NEWS_FINISHED) Finished(n);
    if (n.kind == NEWS_LEFT_ALONE && n.refusal == ALREADY_UPDATED) AlreadyUpdated(n);
}

bool StationHasImage(const Announcement& an, char* when, size_t cap) {
    if (!StationOn() || an.kind != kAppKind) return false;
    Q().bind_int64(has_image, 1, an.serial);
    SqliteBindText(has_image, 2, ModelText(ModelOfName(an.name, an.name_len)));
    SqliteBindText(has_image, 3, station.image_sha256);
    const bool found = SqliteStep(station.db, has_image) == SQLITE_ROW;
    if (found) {
        const unsigned char* text = Q().column_text(has_image, 0);
        snprintf(when, cap, "%s", text != nullptr ? reinterpret_cast<const char*>(text) : "?");
    }
    Q().reset(has_image);
    return found;
}
