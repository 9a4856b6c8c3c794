// The listener with options, and the hand-over line to the main thread.
#include "listen.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "announce.h"
#include "conflict.h"
#include "eth.h"
#include "platform.h"

void (*listen_news)(void) = nullptr;

namespace {

constexpr uint32_t kFailedPollMs = 1000;
// Several seconds of a thousand machines' announcements (the system counts
// about a kilobyte a datagram), for when this computer is too busy to read.
constexpr int kListenQueueBytes = 8 << 20;

plat_socket sock = PLAT_INVALID_SOCKET;

// Listener thread puts, main thread takes. A spin lock held for a copy or
// two, taken and given back by hand: std::mutex, or a guard object whose
// clean-up must run on unwinding, would pull in the C++ runtime library
// (a megabyte and more of a small program's memory).
std::atomic_flag busy = ATOMIC_FLAG_INIT;
ArrivalLine handed;  // announcements, by sender and address
ArrivalRing junk;    // the rest

void Lock(void) {
    while (busy.test_and_set(std::memory_order_acquire)) plat_sleep_ms(0);
}

void Unlock(void) { busy.clear(std::memory_order_release); }

// Written once by the listener thread before `failed` is set.
char failure[256];
std::atomic<bool> failed{false};

}  // namespace

bool ListenOpen(char* why, size_t why_len) {
    if (plat_sockets_startup() != 0) {
        snprintf(why, why_len, "cannot start the sockets layer");
        return false;
    }
    bool in_use = false;
    char reason[128];
    sock = plat_udp_listen(PORT, &in_use, reason, sizeof reason);
    if (sock == PLAT_INVALID_SOCKET) {
        snprintf(why, why_len, "cannot listen on UDP port %d: %s%s", PORT, reason,
                 in_use ? " (is another lanflash running?)" : "");
        return false;
    }
    (void)plat_udp_grow_queue(sock, kListenQueueBytes);
    return true;
}

uint32_t ListenPoll(void) {
    if (failed.load(std::memory_order_acquire)) return kFailedPollMs;
    Arrival a = {};
    for (;;) {
        const int n = plat_udp_recv(sock, a.data, BUF_SIZE, &a.from);
        // Any host can send anything: an empty datagram or one longer than
        // the buffer is dropped, and the next one received.
        if (n == PLAT_RECV_INTERRUPTED || n == PLAT_RECV_OVERSIZE || n == 0) {
            memset(a.data, 0, BUF_SIZE);
            continue;
        }
        if (n < 0) {
            char reason[160];
            plat_socket_error(reason, sizeof reason);
            snprintf(failure, sizeof failure, "cannot receive on UDP port %d: recvfrom: %s", PORT, reason);
            failed.store(true, std::memory_order_release);
            if (listen_news) listen_news();
            return kFailedPollMs;
        }
        a.len = n;
        break;
    }
    a.arrived_ms = a.first_arrived_ms = plat_now_ms();
    ListenQueue(a);
    return 0;
}

void ListenQueue(const Arrival& given) {
    Arrival a = given;
    Announcement an;
    const bool announcement = ReadAnnouncement(a.data, a.len, &an);
    // Before any are merged; only what the machine at an address sent itself.
    uint8_t other[kMacBytes];
    if (announcement && (a.from == 0 || a.from == an.addr) && ConflictSeen(an, a.arrived_ms, other) && !a.conflict) {
        a.conflict = true;
        memcpy(a.macs[0], other, kMacBytes);
        memcpy(a.macs[1], an.mac, kMacBytes);
    }
    Lock();
    if (announcement) {
        (void)LinePut(&handed, ArrivalKey(a.from, an.addr), a);
    } else {
        RingPut(&junk, a);
    }
    Unlock();
    if (listen_news) listen_news();
}

bool ListenTake(Arrival* a) {
    Lock();
    const bool took = LineTake(&handed, a) || RingTake(&junk, a);
    Unlock();
    return took;
}

const char* ListenFailed(void) { return failed.load(std::memory_order_acquire) ? failure : nullptr; }
