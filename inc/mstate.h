// Update sequencer: parses announcements and walks a machine from discovery
// to running its new firmware. Runs on the main thread only.
#pragma once

#include <cstdint>

enum M_STATE : uint32_t {
    M_GET_IP = 0,
    M_IDLE = 1,
    M_WAIT_FOR_UDP_DATA = 2,
    M_DATA_PHARSE = 3,
    M_MACHINE_RECOGNIZED = 4,
    M_MACHINE_SEND_RESET = 5,
    M_BOOTLOADER_RECOGNIZED = 6,
    M_UNLOCK_MEMORY = 7,
    M_REQUEST_DOWNLOAD_PREPARE = 8,
    M_REQUEST_DOWNLOAD = 9,
    M_DOWNLOAD = 10,
    M_RUN_FIRMWARE = 11,
    M_EXIT_APP = 12,
    M_MACHINE_RESET = 13,
};

extern M_STATE m_state;
// What the last recognised announcement said, before explore mode maps it
// to 3: 1 boot loader, 2 application, and for 2 its serial number.
extern int announced_kind;
extern uint32_t announced_serial;

// One step of the sequencer; the result is the delay in ms before the next.
uint32_t PollMState(void);
uint32_t MSetstate(M_STATE news);
void M_PrintState(M_STATE eState);

// -1: not an announcement or an unknown name; 1: a boot loader; 2: a machine
// running its application; 3: either of them, in explore mode.
int PharseUDPPacket(void);
uint16_t StringToIpSubnMac(uint8_t* buf);
// The parser's pieces, for whoever reads announcements without a trace.
constexpr int kAnnouncedAddressOffset = 11;  // 4 bytes, network byte order
constexpr int kNameOffset = 27;
constexpr int kAppKind = 2;  // MatchName's (and the parser's) application
bool IsAnnouncement(const char* datagram);  // the signature matches
// 1 when the name field begins with a boot loader's name, 2 with an
// application's, -1 with neither; *len is the matched name's length.
int MatchName(const char* name, int* len);
// The name field's bytes up to its zero byte or the datagram buffer's end.
int NameFieldLength(const char* datagram);
// The serial number of an application whose matched name is name_len
// bytes long: its text begins behind the name, its zero byte and two more.
uint32_t ReadSerial(const char* datagram, int name_len);
// 1 when the first `size` bytes are equal (and for size <= 0), else 0.
uint8_t CmpBin(const char* str1, const char* str2, int size);
