// --fast. Three threads wait for each other through two news words: the
// main thread (sequencer and sender) for what the link received and for
// datagrams, the link thread for batches handed back and for the
// sequencer's steps. Each wait still ends when the design's pause would
// have, so a machine that never shows a sign gets the old timing.
#include "fast.h"

#include <atomic>
#include <cstdio>

#include "hooks.h"
#include "mstate.h"
#include "platform.h"
#include "quiet.h"

namespace {

// The boot loader has answered '4' once it said something and then kept
// quiet this long: its menu text may come in pieces.
constexpr uint64_t kQuietAfterUnlockMs = 50;
// A YMODEM receiver asks for block 0 with this byte, the last it sends
// before it waits; a menu line ends with its line break instead.
constexpr uint8_t kRequestForData = 'C';

bool parallel_parent = false;

// Link thread writes, main thread reads.
std::atomic<uint32_t> answers{0};          // receives that brought bytes
std::atomic<uint32_t> requests{0};         // of them, those that ended in 'C'
std::atomic<uint64_t> last_answer_ms{0};   // when the newest of them came

// Link thread only.
bool received = false;        // in the poll that just ran
bool received_bytes = false;  // and it brought some

// Main thread only.
M_STATE paced = M_GET_IP;  // the sequencer's state at the last pause
uint32_t answers_before_unlock = 0;     // taken as '4' goes out
uint32_t requests_before_download = 0;  // taken as '1' goes out

bool AnsweredAndQuiet(uint64_t now_ms, uint64_t* look_at_ms) {
    if (answers.load(std::memory_order_acquire) == answers_before_unlock) return false;
    const uint64_t quiet_from = last_answer_ms.load(std::memory_order_relaxed) + kQuietAfterUnlockMs;
    if (now_ms >= quiet_from) return true;
    *look_at_ms = quiet_from;
    return false;
}

bool AskedForData(uint64_t, uint64_t*) {
    return requests.load(std::memory_order_acquire) != requests_before_download;
}

void MainPause(uint32_t ms, bool ending) {
    // What the step printed goes out now: a pause may last seconds, and
    // the link thread, which flushes too, may be waiting as well.
    fflush(stdout);
    const M_STATE state = MGetstate();
    const bool entered = state != paced;
    paced = state;
    // The step may have given the link a new state to act on.
    QuietPostLink();
    const uint64_t until = plat_now_ms() + ms;
    // A parent waits for its workers to end, and their output is no news.
    if (parallel_parent) {
        QuietAwait(until, nullptr, true);
        return;
    }
    // The run ends: its last passes need no pause.
    if (ending) return;
    switch (state) {
    case M_GET_IP:
    case M_MACHINE_SEND_RESET:
    case M_MACHINE_RESET:      // 'R' has gone out
    case M_UNLOCK_MEMORY:
    case M_RUN_FIRMWARE:       // the closing block was acknowledged
        return;
    case M_MACHINE_RECOGNIZED:
    case M_BOOTLOADER_RECOGNIZED:
        // Connect at once; after a failed attempt keep the old pace.
        if (entered || TCPIsConnected()) return;
        plat_sleep_ms(ms);
        return;
    case M_REQUEST_DOWNLOAD_PREPARE:  // '4' has gone out
        QuietAwait(until, AnsweredAndQuiet, false);
        return;
    case M_REQUEST_DOWNLOAD:  // '1' has gone out
    case M_DOWNLOAD:
        QuietAwait(until, AskedForData, false);
        return;
    case M_WAIT_FOR_UDP_DATA:
    case M_IDLE:
        QuietAwait(until, nullptr, true);
        return;
    case M_DATA_PHARSE:
    case M_EXIT_APP:
        break;
    }
    plat_sleep_ms(ms);
}

void LinkPause(uint32_t ms) {
    if (received) {
        received = false;
        QuietPostMain();
        // A connection that ended answers every receive at once: keep the
        // old pace there, whatever news comes.
        if (!received_bytes) plat_sleep_ms(ms);
        return;
    }
    QuietLinkPause(ms);
}

bool BatchWaiting(uint64_t, uint64_t*) { return TCPBatchWaiting(); }

void ReplyPause(bool took, uint32_t ms) {
    if (took) {
        // The batch may be used up and handed back: the link receives again.
        QuietPostLink();
        return;
    }
    QuietAwait(plat_now_ms() + ms, BatchWaiting, false);
}

void Sending(const uint8_t* data, int len) {
    // Before the byte goes: an answer to it cannot have come yet, and a
    // banner or an old request that came before it does not count.
    if (len != 1) return;
    const M_STATE state = MGetstate();
    if (state == M_UNLOCK_MEMORY && data[0] == '4') answers_before_unlock = answers.load(std::memory_order_acquire);
    if (state == M_REQUEST_DOWNLOAD_PREPARE && data[0] == '1')
        requests_before_download = requests.load(std::memory_order_acquire);
}

void Received(const uint8_t* data, int n) {
    received = true;
    received_bytes = n > 0;
    if (n <= 0) return;
    last_answer_ms.store(plat_now_ms(), std::memory_order_relaxed);
    // After the receive stored its length: whoever sees the count also sees
    // the batch in place, and a transfer's start that empties it comes after.
    if (data[n - 1] == kRequestForData) requests.fetch_add(1, std::memory_order_release);
    answers.fetch_add(1, std::memory_order_release);
}

}  // namespace

void FastStart(bool parent) {
    parallel_parent = parent;
    hooks.main_pause = MainPause;
    hooks.link_pause = LinkPause;
    hooks.reply_pause = ReplyPause;
    hooks.sending = Sending;
    hooks.received = Received;
}
