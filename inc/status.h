// What the status page shows of a run (--serve): a watcher of the news that
// keeps each machine's tile, the newest events and the rollout's state, and
// hands a copy of them to the page's thread, which never reads the rules'
// own variables. The copy turns into the page's JSON and Prometheus text.
#pragma once

#include <cstddef>
#include <cstdint>

#include "grow.h"
#include "options.h"

struct News;

// A machine as the page shows it.
struct StatusTile {
    uint32_t addr;  // network byte order
    uint32_t serial;
    int32_t tries;
    int32_t chosen;  // its number in the order chosen, -1 for one listed or skipped
    uint32_t blocks_done, blocks_total;  // data blocks acknowledged in this try, and the image's
    uint64_t sent, resent;               // data blocks sent and sent again, every try added up
    uint32_t try_sent, try_resent;       // the current try's, as last seen
    uint8_t has_serial, model, phase, step, result, reason, under_way, used;
};

constexpr int kStatusEvents = 20;
constexpr size_t kStatusEventBytes = 120;
struct StatusEvent {
    uint64_t utc_ms;
    char text[kStatusEventBytes];
};

// A copy of the state, owned by whoever took it.
struct StatusView {
    Array<StatusTile> tiles;  // in the order machines were heard (and chosen)
    StatusEvent events[kStatusEvents];  // oldest first
    int event_count;
    int missing;  // named and never heard
    bool rollout_stopped;
    char stop_why[kStatusEventBytes];
};

// What the run is: set once, before the page's thread starts.
struct StatusRun {
    uint32_t canary;
    const char* image;  // nullptr when exploring
    long image_bytes;
    const char* image_sha256;  // nullptr without --report or --station
    const char* version;
    uint64_t started_utc_ms;
};
extern StatusRun status_run;
void StatusStart(const LanflashOptions& opts, const char* image, long image_bytes, const char* image_sha256,
                 const char* version, uint64_t started_utc_ms);
// The watcher (news.h), on the main thread.
void StatusNews(const News& n);
// Any other thread: the state as it is now, into view; false when no
// memory was left for it.
bool StatusCopy(StatusView* view);

// Text that grows as it is written; `failed` once memory ran out.
struct Text {
    char* p = nullptr;
    size_t len = 0, cap = 0;
    bool failed = false;
};
void TextPut(Text& t, const char* s, size_t n);
void TextPrintf(Text& t, const char* format, ...) __attribute__((format(printf, 2, 3)));
void TextFree(Text& t);

// /api/status: the view as one JSON object; history: today's attempts from
// the station (a JSON object), or nullptr.
void StatusJson(const StatusView& v, const char* history, uint64_t now_utc_ms, Text& out);
// /metrics: Prometheus' text format.
void StatusMetrics(const StatusView& v, uint64_t now_utc_ms, Text& out);
