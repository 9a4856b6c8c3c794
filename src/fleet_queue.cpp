// The line of datagrams between the thread that receives them and the one
// that judges them. Announcements of one machine replace each other in
// their place in line, so a machine that announces often takes one place.
#include "fleet_queue.h"

#include <atomic>
#include <cstring>

#include "eth.h"
#include "platform.h"

void (*queue_news)(void) = nullptr;

namespace {

constexpr int kQueueSlots = 64;
// Signature and announced address: datagrams alike in these come from one
// machine, and the newer says all that the older did.
constexpr int kMachineKeyBytes = 15;

struct Datagram {
    char data[BUF_SIZE];
    int len;
    uint64_t arrived_ms;        // the newest of those merged into this one
    uint64_t first_arrived_ms;  // the first of them that said the same
};

// Listener thread fills, main thread takes. A spin lock held for a copy or
// two: std::mutex would pull in the C++ runtime library for its exceptions.
std::atomic_flag queue_busy = ATOMIC_FLAG_INIT;

struct QueueLock {
    QueueLock() {
        while (queue_busy.test_and_set(std::memory_order_acquire)) plat_sleep_ms(0);
    }
    ~QueueLock() { queue_busy.clear(std::memory_order_release); }
    QueueLock(const QueueLock&) = delete;
    QueueLock& operator=(const QueueLock&) = delete;
};

Datagram queue[kQueueSlots];
int queue_head = 0, queue_count = 0;
bool listener_ready = false;  // listener thread only

void Enqueue(Datagram& d) {
    QueueLock lock;
    for (int i = 0; i < queue_count; ++i) {
        Datagram& q = queue[(queue_head + i) % kQueueSlots];
        if (q.len >= kMachineKeyBytes && d.len >= kMachineKeyBytes &&
            memcmp(q.data, d.data, kMachineKeyBytes) == 0) {
            // A confirmation counts from the first announcement that said so.
            if (q.len == d.len && memcmp(q.data, d.data, static_cast<size_t>(d.len)) == 0 &&
                q.first_arrived_ms < d.first_arrived_ms)
                d.first_arrived_ms = q.first_arrived_ms;
            q = d;  // keeps its place in line
            return;
        }
    }
    if (queue_count == kQueueSlots) {  // junk from many senders: the oldest goes
        queue_head = (queue_head + 1) % kQueueSlots;
        --queue_count;
    }
    queue[(queue_head + queue_count) % kQueueSlots] = d;
    ++queue_count;
}

}  // namespace

void FleetQueue(const char* data, int len, uint64_t arrived_ms, uint64_t first_arrived_ms) {
    Datagram d;
    memcpy(d.data, data, BUF_SIZE);
    d.len = len;
    d.arrived_ms = arrived_ms;
    d.first_arrived_ms = first_arrived_ms;
    Enqueue(d);
    if (queue_news) queue_news();
}

bool FleetTakeQueued(char* data, int* len, uint64_t* arrived_ms, uint64_t* first_arrived_ms) {
    QueueLock lock;
    if (queue_count == 0) return false;
    const Datagram& d = queue[queue_head];
    memcpy(data, d.data, BUF_SIZE);
    *len = d.len;
    *arrived_ms = d.arrived_ms;
    *first_arrived_ms = d.first_arrived_ms;
    queue_head = (queue_head + 1) % kQueueSlots;
    --queue_count;
    return true;
}

bool FleetQueueEmpty(void) {
    QueueLock lock;
    return queue_count == 0;
}

uint32_t FleetPollUDP(void) {
    if (!listener_ready) {
        InitUDP();
        listener_ready = true;
        return 0;
    }
    char data[BUF_SIZE];
    const int len = ReceiveDatagram(data);
    const uint64_t now = plat_now_ms();
    FleetQueue(data, len, now, now);
    return 0;
}
