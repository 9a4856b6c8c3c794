// A copy of the status as the page's JSON and as Prometheus text.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "json.h"
#include "machines.h"
#include "model.h"
#include "report.h"
#include "status.h"
#include "text.h"

namespace {

// Room for n more bytes and a terminator.
bool Room(Text& t, size_t n) {
    if (t.failed) return false;
    if (t.len + n + 1 <= t.cap) return true;
    size_t cap = t.cap != 0 ? t.cap : 4096;
    while (cap < t.len + n + 1) cap *= 2;
    char* grown = static_cast<char*>(realloc(t.p, cap));
    if (grown == nullptr) {
        t.failed = true;
        return false;
    }
    t.p = grown;
    t.cap = cap;
    return true;
}

}  // namespace

void TextPut(Text& t, const char* s, size_t n) {
    if (!Room(t, n)) return;
    memcpy(t.p + t.len, s, n);
    t.len += n;
    t.p[t.len] = '\0';
}

void TextPrintf(Text& t, const char* format, ...) {
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    const int n = vsnprintf(nullptr, 0, format, args);
    if (n > 0 && Room(t, static_cast<size_t>(n))) {
        vsnprintf(t.p + t.len, static_cast<size_t>(n) + 1, format, again);
        t.len += static_cast<size_t>(n);
    }
    va_end(again);
    va_end(args);
}

void TextFree(Text& t) {
    free(t.p);
    t = Text{};
}

namespace {

// What the page counts: each result, and machines not final yet.
enum Count { C_UPDATED, C_FAILED, C_UNCONFIRMED, C_MISSING, C_SKIPPED, C_IN_PROGRESS, C_WAITING, C_LISTED, C_COUNTS };
constexpr const char* kCountNames[] = {"updated", "failed", "unconfirmed", "missing", "skipped", "in_progress", "waiting", "listed"};
static_assert(sizeof kCountNames / sizeof kCountNames[0] == C_COUNTS, "a name per count");

struct Sums {
    int counts[C_COUNTS];
    int transfers;
    uint64_t sent, resent;
    int canary_updated;  // of the first --canary machines chosen
};

Sums Sum(const StatusView& v) {
    Sums s{};
    for (size_t i = 0; i < v.tiles.count; ++i) {
        const StatusTile& t = v.tiles[i];
        if (!t.used) continue;
        const Phase phase = static_cast<Phase>(t.phase);
        if (phase == LISTED) {
            ++s.counts[C_LISTED];
        } else if (IsFinal(phase)) {
            ++s.counts[t.result];
        } else {
            ++s.counts[InTry(phase) ? C_IN_PROGRESS : C_WAITING];
        }
        s.transfers += t.under_way;
        const bool canary = t.chosen >= 0 && static_cast<uint32_t>(t.chosen) < status_run.canary;
        s.canary_updated += canary && IsFinal(phase) && t.result == RESULT_UPDATED ? 1 : 0;
        s.sent += t.sent;
        s.resent += t.resent;
    }
    s.counts[C_MISSING] += v.missing;
    return s;
}

const char* PhaseText(const StatusTile& t) {
    static const char* const kPhases[] = {"resetting", "updating", "confirming", "updated", "failed",
                                          "unconfirmed", "listed", "waiting", "waiting to try again", "skipped"};
    const Phase phase = static_cast<Phase>(t.phase);
    if (IsFinal(phase) || !InTry(phase) || t.step == STEP_NONE)
        return t.phase < sizeof kPhases / sizeof kPhases[0] ? kPhases[t.phase] : "?";
    return StepName(static_cast<Step>(t.step));
}

void PutString(Text& out, const char* s) {
    if (s == nullptr) {
        TextPut(out, "null", 4);
        return;
    }
    char quoted[6 * kStatusEventBytes + 3];
    const size_t len = strnlen(s, kStatusEventBytes);
    TextPut(out, quoted, JsonString(s, len, quoted, sizeof quoted));
}

void PutTime(Text& out, uint64_t utc_ms) {
    char text[25];
    IsoUtc(utc_ms, text);
    PutString(out, text);
}

double Seconds(uint64_t now_utc_ms) {
    return now_utc_ms > status_run.started_utc_ms ? static_cast<double>(now_utc_ms - status_run.started_utc_ms) / 1000.0 : 0.0;
}

void PutTile(Text& out, const StatusTile& t, bool first) {
    char address[16];
    const Phase phase = static_cast<Phase>(t.phase);
    const bool final = IsFinal(phase) && phase != LISTED;
    TextPut(out, first ? "{" : ",{", first ? 1 : 2);
    TextPrintf(out, "\"address\":\"%s\",\"model\":", DottedQuad(t.addr, address));
    PutString(out, ModelText(static_cast<Model>(t.model)));
    if (t.has_serial) {
        TextPrintf(out, ",\"serial\":%u", static_cast<unsigned>(t.serial));
    } else {
        TextPut(out, ",\"serial\":null", 14);
    }
    TextPut(out, ",\"phase\":", 9);
    PutString(out, PhaseText(t));
    TextPrintf(out, ",\"blocks\":%u,\"blocks_total\":%u,\"tries\":%d,\"result\":", static_cast<unsigned>(t.blocks_done),
               static_cast<unsigned>(t.blocks_total), static_cast<int>(t.tries));
    PutString(out, final ? ResultText(static_cast<RecordResult>(t.result)) : nullptr);
    TextPut(out, ",\"reason\":", 10);
    PutString(out, final ? ReasonText(static_cast<RecordReason>(t.reason)) : nullptr);
    TextPut(out, "}", 1);
}

}  // namespace

void StatusJson(const StatusView& v, const char* history, uint64_t now_utc_ms, Text& out) {
    const Sums s = Sum(v);
    TextPut(out, "{\"version\":", 11);
    PutString(out, status_run.version);
    TextPut(out, ",\"started\":", 11);
    PutTime(out, status_run.started_utc_ms);
    TextPrintf(out, ",\"run_seconds\":%.3f,\"image\":", Seconds(now_utc_ms));
    if (status_run.image != nullptr) {
        char path[6 * 256 + 3];
        TextPut(out, "{\"path\":", 8);
        TextPut(out, path, JsonString(status_run.image, strnlen(status_run.image, 256), path, sizeof path));
        TextPrintf(out, ",\"bytes\":%ld,\"sha256\":", status_run.image_bytes);
        PutString(out, status_run.image_sha256);
        TextPut(out, "}", 1);
    } else {
        TextPut(out, "null", 4);
    }
    TextPut(out, ",\"counts\":{", 11);
    for (int c = 0; c < C_COUNTS; ++c) TextPrintf(out, "%s\"%s\":%d", c ? "," : "", kCountNames[c], s.counts[c]);
    TextPrintf(out, "},\"transfers_in_progress\":%d,\"data_blocks_sent\":%llu,\"data_blocks_resent\":%llu", s.transfers,
               static_cast<unsigned long long>(s.sent), static_cast<unsigned long long>(s.resent));
    TextPrintf(out, ",\"rollout\":{\"canary\":%u,\"canary_updated\":%d,\"stopped\":%s,\"why\":",
               static_cast<unsigned>(status_run.canary), s.canary_updated, v.rollout_stopped ? "true" : "false");
    PutString(out, v.rollout_stopped ? v.stop_why : nullptr);
    TextPut(out, "},\"machines\":[", 14);
    bool first = true;
    for (size_t i = 0; i < v.tiles.count; ++i) {
        if (!v.tiles[i].used) continue;
        PutTile(out, v.tiles[i], first);
        first = false;
    }
    TextPut(out, "],\"events\":[", 12);
    for (int k = 0; k < v.event_count; ++k) {
        TextPut(out, k ? ",{\"at\":" : "{\"at\":", k ? 7 : 6);
        PutTime(out, v.events[k].utc_ms);
        TextPut(out, ",\"text\":", 8);
        PutString(out, v.events[k].text);
        TextPut(out, "}", 1);
    }
    TextPut(out, "],\"history\":", 12);
    if (history != nullptr && history[0] != '\0') {
        TextPut(out, history, strlen(history));
    } else {
        TextPut(out, "null", 4);
    }
    TextPut(out, "}\n", 2);
}

void StatusMetrics(const StatusView& v, uint64_t now_utc_ms, Text& out) {
    const Sums s = Sum(v);
    TextPrintf(out, "# HELP lanflash_machines Machines of this run by result; in_progress, waiting and listed are not final.\n"
                    "# TYPE lanflash_machines gauge\n");
    for (int c = 0; c < C_COUNTS; ++c) TextPrintf(out, "lanflash_machines{result=\"%s\"} %d\n", kCountNames[c], s.counts[c]);
    TextPrintf(out,
               "# HELP lanflash_transfers_in_progress YMODEM transfers under way.\n"
               "# TYPE lanflash_transfers_in_progress gauge\n"
               "lanflash_transfers_in_progress %d\n"
               "# HELP lanflash_data_blocks_sent_total Data blocks sent, each counted once per try.\n"
               "# TYPE lanflash_data_blocks_sent_total counter\n"
               "lanflash_data_blocks_sent_total %llu\n"
               "# HELP lanflash_data_blocks_resent_total Sendings of a data block beyond its first.\n"
               "# TYPE lanflash_data_blocks_resent_total counter\n"
               "lanflash_data_blocks_resent_total %llu\n",
               s.transfers, static_cast<unsigned long long>(s.sent), static_cast<unsigned long long>(s.resent));
    TextPrintf(out,
               "# HELP lanflash_run_seconds Seconds since the run started.\n"
               "# TYPE lanflash_run_seconds gauge\n"
               "lanflash_run_seconds %.3f\n",
               Seconds(now_utc_ms));
}
