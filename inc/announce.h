// What an announcement says, read once: every module above the design that
// looks at a datagram reads it through here, as the sequencer reads it.
#pragma once

#include <cstdint>

constexpr int kMacOffset = 19;  // behind the address and the subnet mask
constexpr int kMacBytes = 6;

struct Announcement {
    uint32_t addr;     // as announced, network byte order
    int kind;          // 1 a boot loader, 2 an application (kAppKind), -1 a name we do not know
    const char* name;  // the name field, into the datagram
    int name_len;      // its bytes up to the zero byte (or the buffer's end)
    int matched_len;   // of the known name it begins with; 0 for kind -1
    uint32_t serial;   // an application's; 0 for a boot loader
    const uint8_t* mac;  // the MAC field, into the datagram
};

// data: a whole datagram buffer (BUF_SIZE bytes, zero behind its len).
// False for anything that is no announcement carrying an address: no
// signature, or too short for one (junk). A known signature and address
// with a name we do not know is an announcement of kind -1.
bool ReadAnnouncement(const char* data, int len, Announcement* out);
