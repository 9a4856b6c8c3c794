// A parallel run's worker: the channel to and from the parent, and the
// sequencer's driver that does what the parent decided.
#include "worker.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "announce.h"
#include "hooks.h"
#include "machlist.h"
#include "model.h"
#include "mstate.h"
#include "wire.h"

void (*worker_news)(void) = nullptr;

namespace {

constexpr uint32_t kInputEndedPollMs = 1000;
constexpr uint32_t kEventOther = 2;  // what the end of the parent's input counts as
constexpr int kQueued = 8;           // datagrams handed while the sequencer was busy

plat_console_handler stop_run = nullptr;
uint8_t* image = nullptr;  // where the parent's bytes go
long image_cap = 0;
long* image_size = nullptr;
bool image_told = false;      // the parent announced its size
uint32_t image_expected = 0;
uint32_t image_got = 0;
uint8_t models = 0;
bool input_ended = false;  // reading thread only

// Reading thread puts, main thread takes; a spin lock held for a copy.
std::atomic_flag busy = ATOMIC_FLAG_INIT;
WireDatagram queue[kQueued];
int head = 0, count = 0;
std::atomic<uint32_t> halt{REASON_NONE};
std::atomic<bool> ended{false};

// Main thread only.
int32_t action = -1;  // what the parent decided for the datagram offered last
bool run_sent = false;
bool began = false;   // a path began: a halt is the sequencer's to answer
bool told_unbegun = false;

void Lock(void) {
    while (busy.test_and_set(std::memory_order_acquire)) plat_sleep_ms(0);
}

void Unlock(void) { busy.clear(std::memory_order_release); }

void News(void) {
    if (worker_news) worker_news();
}

// False at end of input or on an error.
bool ReadWhole(void* buf, size_t len) {
    char* p = static_cast<char*>(buf);
    while (len > 0) {
        const int n = plat_stdin_read(p, len);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// The parent is gone or talks nonsense: stop as on a console event, once.
uint32_t InputEnded(void) {
    if (!input_ended) {
        input_ended = true;
        stop_run(kEventOther);
    }
    return kInputEndedPollMs;
}

uint32_t PollInput(void) {
    if (input_ended) return kInputEndedPollMs;
    static char record[kWireMaxBytes];
    WireHeader h;
    if (!ReadWhole(record, 1 + sizeof h) || WireDecode(record, 1 + sizeof h, &h) < 0) return InputEnded();
    char* payload = record + 1 + sizeof h;
    if (!ReadWhole(payload, h.len)) return InputEnded();
    uint32_t value = 0;
    if (h.len == sizeof value) memcpy(&value, payload, sizeof value);
    switch (h.type) {
    case WIRE_IMAGE:
        if (h.len != sizeof value || value > static_cast<uint32_t>(image_cap)) return InputEnded();
        image_told = true;
        image_expected = value;
        image_got = 0;
        return 0;
    case WIRE_IMAGE_DATA:
        if (!image_told || h.len > image_expected - image_got) return InputEnded();
        memcpy(image + image_got, payload, h.len);
        image_got += h.len;
        return 0;
    case WIRE_DATAGRAM:
        // The whole image is here before its first datagram: the sequencer
        // sends it once it acts on one.
        if (h.len != sizeof(WireDatagram) || !image_told || image_got != image_expected) return InputEnded();
        Lock();
        // Published once, with the first datagram: the sequencer reads the
        // size only after it took one, and then while it sends.
        if (*image_size != static_cast<long>(image_got)) *image_size = static_cast<long>(image_got);
        if (count == kQueued) {  // the oldest says least
            head = (head + 1) % kQueued;
            --count;
        }
        memcpy(&queue[(head + count++) % kQueued], payload, sizeof(WireDatagram));
        Unlock();
        News();
        return 0;
    case WIRE_HALT:
        halt.store(value, std::memory_order_release);
        News();
        return 0;
    case WIRE_END:
        ended.store(true, std::memory_order_release);
        News();
        return 0;
    default:
        return InputEnded();
    }
}

void Drain(void) {}

bool Take(bool, Taken* t) {
    Lock();
    const bool took = count > 0;
    if (took) {
        t->a = queue[head].a;
        action = queue[head].action;
        head = (head + 1) % kQueued;
        --count;
    }
    Unlock();
    t->junk = false;
    t->may_start = true;
    return took;
}

// The parent decided; a worker still never acts on another address or
// model than it was started for.
int Choose(const Taken& t, int* machine) {
    Announcement an;
    if (!ReadAnnouncement(t.a.data, t.a.len, &an) || !MachineListHasAddress(an.addr) ||
        !ModelWanted(models, ModelOfName(an.name, an.name_len)))
        return -1;
    *machine = 0;
    if (action == 1 || action == 2) began = true;
    return action;
}

void Write(const ExecEvent& e) {
    char out[kWireMaxBytes];
    const size_t n = WireEncode(WIRE_EVENT, &e, sizeof e, out);
    // One write per record: the parent never sees half of one.
    fflush(stderr);
    (void)plat_stderr_write(out, n);
}

// A transfer's progress goes to the parent a few times a second, not once
// a block: a thousand workers writing a record a block would cost the
// computer more than the transfers themselves.
constexpr uint64_t kProgressEveryMs = 100;
ExecEvent progress{};  // the newest not written yet; news 0 for none
uint64_t progress_written_ms = 0;

void Event(int, const ExecEvent& e) {
    if (e.news == EX_RUN_SENT) run_sent = true;
    if (e.news == EX_PROGRESS) {
        progress = e;
        if (e.at_ms < progress_written_ms + kProgressEveryMs) return;
    } else if (progress.news == EX_PROGRESS) {
        Write(progress);  // what came before it, first
    }
    if (e.news == EX_PROGRESS) progress_written_ms = e.at_ms;
    progress = ExecEvent{};
    Write(e);
}

void Tick(void) {}

RecordReason Halt(int) { return static_cast<RecordReason>(halt.load(std::memory_order_acquire)); }

bool Busy(void) {
    Lock();
    const bool waiting = count > 0;
    Unlock();
    return waiting;
}

// After '3' it looks at its machine's announcements for the trace.
bool GoesOn(void) { return run_sent; }

// The parent abandons its transfer.
bool Abandoned(void) { return halt.load(std::memory_order_acquire) == REASON_ABANDONED; }

// Halted before its path began (the datagram to begin on had not come):
// there is nothing to end but the worker, which says so once.
bool HaltedUnbegun(void) {
    if (began || halt.load(std::memory_order_acquire) == REASON_NONE || MGetstate() != M_WAIT_FOR_UDP_DATA ||
        UDPOffered() || Busy())
        return false;
    if (!told_unbegun) {
        told_unbegun = true;
        Write(ExecEvent{EX_ABANDONED, 0, 0, -1, plat_now_ms(), 0, 0});
    }
    return true;
}

// Told to end, once the datagrams handed before that the sequencer waits
// for (its trace) are parsed.
bool Finished(void) {
    if (HaltedUnbegun()) return true;
    return ended.load(std::memory_order_acquire) && (MGetstate() != M_WAIT_FOR_UDP_DATA || !Busy());
}

}  // namespace

void WorkerStart(plat_console_handler stop, uint8_t* image_buf, long cap, long* size, uint8_t model_set) {
    // A thousand workers must not crowd out the parent that listens and decides.
    plat_yield_to_parent();
    stop_run = stop;
    image = image_buf;
    image_cap = cap;
    image_size = size;
    models = model_set;
    hooks.poll_listener = PollInput;
}

SeqDriver WorkerDriver(void) {
    return SeqDriver{Drain, Take, Choose, Event, Tick, Halt, Busy, GoesOn, Finished, Abandoned, nullptr};
}
