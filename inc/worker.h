// One machine of a parallel run, in a process of its own that runs the
// one-machine path unchanged: its parent hands it that machine's datagrams
// on standard input, and it tells its parent what happened on standard
// error, one marked line per event (its trace goes to standard output).
#pragma once

#include <cstddef>
#include <cstdint>

#include "fleet_queue.h"
#include "platform.h"
#include "report.h"

// What a parent sends: a header, then `len` datagram bytes. Both ends are
// this same program on one machine, so the layout is native.
struct WorkerWire {
    uint32_t type;
    uint32_t value;  // WIRE_STOP: the console event (0 Ctrl-C, 1 Ctrl-Break, else other);
                     // WIRE_IMAGE: the image's CRC-16
    uint32_t len;    // WIRE_DATAGRAM: bytes that follow, 1 to BUF_SIZE; WIRE_IMAGE: its size
    uint32_t from;   // WIRE_DATAGRAM: its sender's address
    uint64_t arrived_ms, first_arrived_ms;  // plat_now_ms, the same clock in every process
    uint8_t conflict;                       // WIRE_DATAGRAM: it showed its address in conflict
    uint8_t macs[2][6];                     // the two MAC fields
    uint8_t unused[3];
};
constexpr uint32_t WIRE_DATAGRAM = 0x4441544Eu;
constexpr uint32_t WIRE_STOP = 0x53544F50u;
// The first record: the image as the parent loaded it. A worker that reads
// another (the file changed during the run) must not send it.
constexpr uint32_t WIRE_IMAGE = 0x494D4147u;
constexpr size_t kWorkerWireMaxBytes = sizeof(WorkerWire) + 512;

// Event lines begin with this byte; anything else on a worker's standard
// error (a message, a sanitizer's report) is passed on as it is.
constexpr char kWorkerMark = '\x1e';
// Room for the longest event line, mark and newline included: a record,
// eleven numbers and its name in hex.
constexpr size_t kWorkerEventBytes = 256 + 2 * kRecordNameBytes;

// Worker, before any thread starts: its listener reads the parent's
// records instead of the network. `stop` is what a console event would
// call (the parent forwards its own events, and the end of its input
// counts as one); the image is the one this process loaded.
void WorkerStart(plat_console_handler stop, const uint8_t* image, long image_bytes, const char* image_path);
// Tells the parent one event: a word and its values. Nothing outside a worker.
void WorkerSay(const char* format, ...) __attribute__((format(printf, 1, 2)));
void WorkerRecord(const MachineRecord& r);

// Parent: the record for plat_child_write in out[kWorkerWireMaxBytes]; its length.
size_t WorkerWireDatagram(char* out, const Arrival& a);
size_t WorkerWireStop(char* out, uint32_t console_event);
size_t WorkerWireImage(char* out, uint32_t crc, uint32_t bytes);
// Parent: a "record ..." event's text (behind the word) back into *r.
bool WorkerParseRecord(const char* text, MachineRecord* r);
