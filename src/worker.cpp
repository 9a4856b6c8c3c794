// A parallel run's worker: the channel to and from the parent. Everything
// else in a worker is the one-machine path with --machine and --exit.
#include "worker.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "eth.h"
#include "fleet_queue.h"
#include "hooks.h"
#include "ymodem.h"

namespace {

constexpr uint32_t kInputEndedPollMs = 1000;
constexpr uint32_t kEventOther = 2;  // what the end of the parent's input counts as

bool worker_on = false;
plat_console_handler stop_run = nullptr;
const uint8_t* image = nullptr;  // as this process loaded it
long image_bytes = 0;
const char* image_path = nullptr;
bool input_ended = false;  // listener thread only

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
    WorkerWire w;
    if (!ReadWhole(&w, sizeof w)) return InputEnded();
    if (w.type == WIRE_STOP) {
        stop_run(w.value);
        return 0;
    }
    if (w.type == WIRE_IMAGE) {
        if (w.len == static_cast<uint32_t>(image_bytes) && w.value == Cal_CRC16(image, w.len)) return 0;
        // The machine would get another image than the report names.
        fprintf(stderr, "lanflash: %s: changed since the run began; not sent\n", image_path);
        return InputEnded();
    }
    if (w.type != WIRE_DATAGRAM || w.len == 0 || w.len > BUF_SIZE) return InputEnded();
    Arrival a = {};  // the parser reads zeros behind a short datagram
    if (!ReadWhole(a.data, w.len)) return InputEnded();
    a.len = static_cast<int>(w.len);
    a.arrived_ms = w.arrived_ms;
    a.first_arrived_ms = w.first_arrived_ms;
    a.from = w.from;
    a.conflict = w.conflict != 0;
    memcpy(a.macs, w.macs, sizeof a.macs);
    FleetQueue(a);
    return 0;
}

}  // namespace

void WorkerStart(plat_console_handler stop, const uint8_t* bytes, long size, const char* path) {
    stop_run = stop;
    image = bytes;
    image_bytes = size;
    image_path = path;
    worker_on = true;
    hooks.poll_listener = PollInput;
}

void WorkerSay(const char* format, ...) {
    if (!worker_on) return;
    char line[kWorkerEventBytes];
    line[0] = kWorkerMark;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line + 1, sizeof line - 2, format, args);
    va_end(args);
    if (n < 0) return;
    size_t len = 1 + (static_cast<size_t>(n) < sizeof line - 2 ? static_cast<size_t>(n) : sizeof line - 3);
    line[len++] = '\n';
    // One write per line: the parent never sees half an event.
    fwrite(line, 1, len, stderr);
    fflush(stderr);
}

void WorkerRecord(const MachineRecord& r) {
    if (!worker_on) return;
    char name[2 * kRecordNameBytes + 1];
    for (int i = 0; i < r.name_len; ++i) snprintf(name + 2 * i, 3, "%02x", static_cast<uint8_t>(r.name[i]));
    name[2 * r.name_len] = '\0';
    WorkerSay("record %d %d %lld %lld %lld %u %u %d %" PRIu32 " %" PRIu64 " %" PRIu64 " %s", static_cast<int>(r.result),
              static_cast<int>(r.reason), static_cast<long long>(r.reset_to_boot_ms),
              static_cast<long long>(r.transfer_ms), static_cast<long long>(r.run_to_confirm_ms),
              static_cast<unsigned>(r.blocks_sent), static_cast<unsigned>(r.blocks_resent), r.has_serial ? 1 : 0,
              r.serial, r.started_utc_ms, r.finished_utc_ms, r.name_len > 0 ? name : "-");
}

bool WorkerParseRecord(const char* text, MachineRecord* r) {
    int result = 0, reason = 0, has_serial = 0;
    long long rtb = 0, tms = 0, rtc = 0;
    unsigned sent = 0, resent = 0;
    char name[2 * kRecordNameBytes + 1];
    if (sscanf(text, "%d %d %lld %lld %lld %u %u %d %" SCNu32 " %" SCNu64 " %" SCNu64 " %1024s", &result, &reason,
               &rtb, &tms, &rtc, &sent, &resent, &has_serial, &r->serial, &r->started_utc_ms, &r->finished_utc_ms,
               name) != 12)
        return false;
    // What a worker can tell of its one machine.
    if (result < RESULT_UPDATED || result > RESULT_UNCONFIRMED || reason < REASON_NONE ||
        (reason > REASON_WORKER_FAILED && reason != REASON_ADDRESS_CONFLICT))
        return false;
    r->result = static_cast<RecordResult>(result);
    r->reason = static_cast<RecordReason>(reason);
    r->reset_to_boot_ms = rtb;
    r->transfer_ms = tms;
    r->run_to_confirm_ms = rtc;
    r->blocks_sent = sent;
    r->blocks_resent = resent;
    r->has_serial = has_serial != 0;
    r->name_len = 0;
    if (strcmp(name, "-") != 0) {
        const size_t digits = strlen(name);
        for (size_t i = 0; i + 1 < digits && r->name_len < kRecordNameBytes; i += 2) {
            const char pair[3] = {name[i], name[i + 1], '\0'};
            r->name[r->name_len++] = static_cast<char>(strtoul(pair, nullptr, 16));
        }
    }
    return true;
}

size_t WorkerWireDatagram(char* out, const Arrival& a) {
    WorkerWire w{WIRE_DATAGRAM, 0, static_cast<uint32_t>(a.len), a.from, a.arrived_ms, a.first_arrived_ms,
                 a.conflict ? uint8_t{1} : uint8_t{0}, {}, {}};
    memcpy(w.macs, a.macs, sizeof a.macs);
    memcpy(out, &w, sizeof w);
    memcpy(out + sizeof w, a.data, static_cast<size_t>(a.len));
    return sizeof w + static_cast<size_t>(a.len);
}

size_t WorkerWireImage(char* out, uint32_t crc, uint32_t bytes) {
    WorkerWire w{WIRE_IMAGE, crc, bytes, 0, 0, 0, 0, {}, {}};
    memcpy(out, &w, sizeof w);
    return sizeof w;
}

size_t WorkerWireStop(char* out, uint32_t console_event) {
    WorkerWire w{WIRE_STOP, console_event, 0, 0, 0, 0, 0, {}, {}};
    memcpy(out, &w, sizeof w);
    return sizeof w;
}
