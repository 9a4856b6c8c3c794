// The status page's state, kept from the news on the main thread and copied
// out under a lock held for that copy only.
#include "status.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "machines.h"
#include "model.h"
#include "news.h"
#include "platform.h"
#include "rules.h"
#include "text.h"

namespace {

// Main thread writes, the page's thread copies. A spin lock held for a
// store or a copy, taken and given back by hand (see listen.cpp: a guard
// object would pull in the C++ runtime).
std::atomic_flag busy = ATOMIC_FLAG_INIT;
StatusView shared;
int event_next = 0;  // the ring's next slot; main thread only

void Lock(void) {
    while (busy.test_and_set(std::memory_order_acquire)) plat_sleep_ms(0);
}

void Unlock(void) { busy.clear(std::memory_order_release); }

// The tile of machine i, as the rules now have it. Under the lock.
void Refresh(int i) {
    if (i < 0 || i >= RulesMachineCount()) return;
    if (!Reserve(shared.tiles, static_cast<size_t>(i) + 1)) return;
    while (shared.tiles.count <= static_cast<size_t>(i)) shared.tiles.items[shared.tiles.count++] = StatusTile{};
    const Machine& m = RulesMachine(i);
    const MachineRecord& r = m.rec;
    StatusTile& t = shared.tiles[static_cast<size_t>(i)];
    t.used = 1;
    t.addr = r.addr;
    t.has_serial = r.has_serial ? 1 : 0;
    t.serial = r.serial;
    t.model = static_cast<uint8_t>(ModelOfName(r.name, r.name_len));
    t.phase = static_cast<uint8_t>(m.phase);
    t.step = static_cast<uint8_t>(m.step);
    t.result = static_cast<uint8_t>(r.result);
    t.reason = static_cast<uint8_t>(r.reason);
    t.under_way = RulesUnderWay(i) ? 1 : 0;
    t.tries = r.tries;
    t.chosen = m.chosen;
    t.blocks_done = m.blocks_acked;
    t.blocks_total = RulesDataBlocks();
    // Another try counts its blocks from 0 again; the totals go on.
    t.sent += r.blocks_sent >= t.try_sent ? r.blocks_sent - t.try_sent : r.blocks_sent;
    t.resent += r.blocks_resent >= t.try_resent ? r.blocks_resent - t.try_resent : r.blocks_resent;
    t.try_sent = r.blocks_sent;
    t.try_resent = r.blocks_resent;
}

// The event's text, or nullptr for news that the page does not list.
const char* EventText(const News& n, char* out, size_t cap) {
    switch (n.kind) {
    case NEWS_CHOSEN: return "chosen";
    case NEWS_BEGAN: return "began";
    case NEWS_RESET_SENT: return "reset sent";
    case NEWS_BOOT_LOADER_HEARD: return "boot loader heard";
    case NEWS_TRANSFER_STARTED: return "transfer started";
    case NEWS_TRANSFER_DONE: return "transfer done";
    case NEWS_TRANSFER_FAILED: return "transfer failed";
    case NEWS_RUN_SENT: return "run command sent";
    case NEWS_CONFIRMED: return "confirmed";
    case NEWS_CONFLICT: return "address conflict";
    case NEWS_TRYING_AGAIN:
        snprintf(out, cap, "trying again (%d of %d)", static_cast<int>(n.values[0]), static_cast<int>(n.values[1]));
        return out;
    case NEWS_LEFT_ALONE:
        if (n.refusal != ALREADY_UPDATED) return nullptr;
        snprintf(out, cap, "left alone (already has this image, updated %s)", n.text);
        return out;
    case NEWS_FINISHED:
        if (n.rec == nullptr) return nullptr;
        snprintf(out, cap, "%s%s%s%s", ResultText(n.rec->result), n.rec->reason != REASON_NONE ? " (" : "",
                 n.rec->reason != REASON_NONE ? ReasonText(n.rec->reason) : "", n.rec->reason != REASON_NONE ? ")" : "");
        return out;
    default:
        return nullptr;
    }
}

void AddEvent(const News& n) {
    char about[96], address[16];
    const char* text = EventText(n, about, sizeof about);
    if (text == nullptr) return;
    StatusEvent& e = shared.events[event_next];
    e.utc_ms = plat_utc_ms();
    if (n.kind == NEWS_FINISHED && !n.rec->addr_known) {
        snprintf(e.text, sizeof e.text, "serial %u: %s", static_cast<unsigned>(n.rec->serial), text);
    } else {
        snprintf(e.text, sizeof e.text, "%s: %s", DottedQuad(n.addr, address), text);
    }
    event_next = (event_next + 1) % kStatusEvents;
    if (shared.event_count < kStatusEvents) ++shared.event_count;
}

}  // namespace

StatusRun status_run;

void StatusStart(const LanflashOptions& opts, const char* image, long image_bytes, const char* image_sha256,
                 const char* version, uint64_t started_utc_ms) {
    status_run.canary = opts.canary;
    status_run.image = image;
    status_run.image_bytes = image_bytes;
    status_run.image_sha256 = image_sha256;
    status_run.version = version;
    status_run.started_utc_ms = started_utc_ms;
}

void StatusNews(const News& n) {
    Lock();
    if (n.machine >= 0) Refresh(n.machine);
    if (n.kind == NEWS_FINISHED && n.machine < 0 && n.rec != nullptr && n.rec->result == RESULT_MISSING) ++shared.missing;
    if (n.kind == NEWS_ROLLOUT_STOPPED && n.rec != nullptr) {
        char address[16];
        shared.rollout_stopped = true;
        snprintf(shared.stop_why, sizeof shared.stop_why, "%s %s (%s)", DottedQuad(n.addr, address),
                 ResultText(n.rec->result), n.rec->reason != REASON_NONE ? ReasonText(n.rec->reason) : "");
    }
    AddEvent(n);
    Unlock();
}

bool StatusCopy(StatusView* view) {
    for (;;) {
        Lock();
        const size_t count = shared.tiles.count;
        if (view->tiles.cap >= count) {
            if (count > 0) memcpy(view->tiles.items, shared.tiles.items, count * sizeof(StatusTile));
            view->tiles.count = count;
            // The ring, oldest first.
            const int first = (event_next - shared.event_count + kStatusEvents) % kStatusEvents;
            for (int k = 0; k < shared.event_count; ++k) view->events[k] = shared.events[(first + k) % kStatusEvents];
            view->event_count = shared.event_count;
            view->missing = shared.missing;
            view->rollout_stopped = shared.rollout_stopped;
            memcpy(view->stop_why, shared.stop_why, sizeof view->stop_why);
            Unlock();
            return true;
        }
        Unlock();
        if (!Reserve(view->tiles, count)) return false;
    }
}
