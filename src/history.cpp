// Today's attempts for the status page, read on the page's own thread and
// connection: the counts per image and result, and the newest attempts. A
// reader of a write-ahead log never holds up a writer.
#include <cstdio>
#include <cstring>

#include "json.h"
#include "station.h"
#include "station_db.h"

namespace {

// Local midnight as the stored UTC text, so that the index on started does
// the work: the day's rows only, however long the file's history.
constexpr const char* kToday = "strftime('%Y-%m-%dT%H:%M:%fZ', date('now', 'localtime'), 'utc')";
constexpr int kNewest = 20;

struct Out {
    char* p;
    size_t cap, len;
    bool full;
};

void Put(Out& o, const char* text) {
    const size_t n = strlen(text);
    if (o.full || o.len + n >= o.cap) {
        o.full = true;
        return;
    }
    memcpy(o.p + o.len, text, n + 1);
    o.len += n;
}

// A column as a JSON value: text escaped, numbers as they are, null.
void PutColumn(Out& o, sqlite3_stmt* st, int col) {
    const SqliteLib& q = *station.sql;
    const int type = q.column_type(st, col);
    char text[600];
    if (type == SQLITE_NULL) {
        Put(o, "null");
    } else if (type == SQLITE_INTEGER) {
        snprintf(text, sizeof text, "%lld", static_cast<long long>(q.column_int64(st, col)));
        Put(o, text);
    } else {
        const char* s = reinterpret_cast<const char*>(q.column_text(st, col));
        if (JsonString(s, strnlen(s, 96), text, sizeof text) == 0) snprintf(text, sizeof text, "null");
        Put(o, text);
    }
}

// Rows of a query as an array of objects with these keys.
bool Rows(Out& o, const char* sql, const char* const* keys, int count) {
    const SqliteLib& q = *station.sql;
    sqlite3_stmt* st = nullptr;
    if (q.prepare_v2(station.reader, sql, -1, &st, nullptr) != SQLITE_OK) return false;
    Put(o, "[");
    bool first = true;
    int rc;
    while ((rc = q.step(st)) == SQLITE_ROW) {
        Put(o, first ? "{" : ",{");
        first = false;
        for (int k = 0; k < count; ++k) {
            Put(o, k == 0 ? "\"" : ",\"");
            Put(o, keys[k]);
            Put(o, "\":");
            PutColumn(o, st, k);
        }
        Put(o, "}");
    }
    q.finalize(st);
    Put(o, "]");
    return rc == SQLITE_DONE;
}

}  // namespace

size_t StationToday(char* out, size_t cap) {
    if (station.reader == nullptr || cap == 0) return 0;
    Out o{out, cap, 0, false};
    char sql[512];
    static const char* const kPerImage[] = {"image", "image_sha256", "result", "count"};
    static const char* const kNewestKeys[] = {"address", "model", "serial", "result", "reason", "finished"};
    Put(o, "{\"per_image\":");
    snprintf(sql, sizeof sql,
             "SELECT image, image_sha256, result, count(*) FROM attempts WHERE started >= %s"
             " GROUP BY image_sha256, image, result ORDER BY image, result",
             kToday);
    bool ok = Rows(o, sql, kPerImage, 4);
    Put(o, ",\"newest\":");
    snprintf(sql, sizeof sql,
             "SELECT address, model, serial, result, reason, strftime('%%H:%%M:%%S', finished, 'localtime')"
             " FROM attempts WHERE started >= %s ORDER BY id DESC LIMIT %d",
             kToday, kNewest);
    ok = ok && Rows(o, sql, kNewestKeys, 6);
    Put(o, "}");
    if (!ok || o.full) {
        out[0] = '\0';
        return 0;
    }
    return o.len;
}
