// Waits that block on news, for runs with options.
#include "quiet.h"

#include <atomic>
#include <cstdio>

#include "hooks.h"
#include "mstate.h"
#include "platform.h"

namespace {

// A link that waits for another thread wakes this often all the same:
// nothing is lost if a post came before the look, and a stuck state is seen.
constexpr uint32_t kWaitingLinkMs = 1000;

plat_news main_news{0};  // the main thread waits on it
plat_news link_news{0};  // the link thread waits on it
uint32_t main_seen = 0;  // main thread only: main_news when it last looked
uint32_t link_seen = 0;  // link thread only: link_news when it last looked
bool parent = false;

void MainPause(uint32_t ms, bool ending) {
    // What the step printed goes out now; the step may have given the link
    // a new state to act on.
    fflush(stdout);
    QuietPostLink();
    if (ending) return;  // the run's last passes need no pause
    const M_STATE state = MGetstate();
    // The design's pauses are its timing: kept. The looks for datagrams and
    // the pause after a download are the options' own: a datagram ends them.
    if (parent || state == M_WAIT_FOR_UDP_DATA || state == M_IDLE) {
        QuietAwait(plat_now_ms() + ms, nullptr, true);
        return;
    }
    plat_sleep_ms(ms);
}

void ReplyPause(bool took, uint32_t ms) {
    // The batch may be used up and handed back: the link receives again.
    if (took) QuietPostLink();
    plat_sleep_ms(ms);
}

}  // namespace

void QuietPostMain(void) { plat_news_post(&main_news); }

void QuietPostLink(void) { plat_news_post(&link_news); }

void QuietAwait(uint64_t until_ms, bool (*ready)(uint64_t now_ms, uint64_t* look_at_ms), bool any_news) {
    for (;;) {
        const uint64_t now = plat_now_ms();
        uint64_t look_at = until_ms;
        if (ready != nullptr && ready(now, &look_at)) return;
        if (now >= until_ms) return;
        if (look_at > until_ms) look_at = until_ms;
        const uint32_t seen = main_seen;
        plat_news_wait(&main_news, seen, static_cast<uint32_t>(look_at > now ? look_at - now : 0));
        main_seen = main_news.load(std::memory_order_acquire);
        if (any_news && main_seen != seen) return;
    }
}

void QuietLinkPause(uint32_t ms) {
    plat_news_wait(&link_news, link_seen, TCPLinkWaits() ? kWaitingLinkMs : ms);
    link_seen = link_news.load(std::memory_order_acquire);
}

void QuietStart(bool parallel_parent) {
    parent = parallel_parent;
    hooks.main_pause = MainPause;
    if (parallel_parent) return;
    hooks.link_pause = QuietLinkPause;
    hooks.reply_pause = ReplyPause;
}
