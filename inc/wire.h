// What a parallel run's parent and its workers say to each other, both
// ways: records of a mark byte, a header and a payload of the header's
// length. The parent hands each worker the image it loaded, so that every
// machine gets the bytes the report names, whatever happens to the file. Both ends are this same program on one machine, so the layout is
// native. A worker's records go out on its standard error between whatever
// text it writes there (a message, a sanitizer's report); the mark tells
// them apart, since a text line never begins with it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "arrival.h"
#include "platform.h"
#include "rules.h"

constexpr char kWireMark = '\x1e';

enum WireType : uint32_t {
    // Parent to worker.
    WIRE_IMAGE = 1,       // uint32_t: the image's size; the first record
    WIRE_IMAGE_DATA = 7,  // the image's next bytes; all of them before the first datagram
    WIRE_DATAGRAM = 2,  // WireDatagram: a datagram of its machine, and what to do with it
    WIRE_HALT = 3,      // uint32_t RecordReason: end the path, without '3' (abandoned: its transfer too)
    WIRE_END = 4,       // the machine's try is over, or the run stopped: end
    // Worker to parent.
    WIRE_EVENT = 6,     // ExecEvent
};

struct WireHeader {
    uint32_t type;
    uint32_t len;  // payload bytes that follow
};

struct WireDatagram {
    int32_t action;  // what the parent's rules made of it: 1, 2, or -1 (for the trace only)
    Arrival a;
};

// The longest record: one write into a pipe, which never mixes with another.
constexpr size_t kWireMaxBytes = 4096;
constexpr size_t kWireMaxPayloadBytes = kWireMaxBytes - 1 - sizeof(WireHeader);
static_assert(sizeof(WireDatagram) <= kWireMaxPayloadBytes, "a datagram fits a record");

// A record into out[kWireMaxBytes]; its length.
size_t WireEncode(uint32_t type, const void* payload, uint32_t len, char* out);
// A record at the start of in[0..n): its length once it is whole there,
// with its header in *h and its payload at in + 1 + sizeof *h; 0 while
// more must come; -1 when in holds no record (no mark, or a length no
// record has).
long WireDecode(const char* in, size_t n, WireHeader* h);
