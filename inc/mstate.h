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

// One step of the sequencer; the result is the delay in ms before the next.
uint32_t PollMState(void);
uint32_t MSetstate(M_STATE news);
void M_PrintState(M_STATE eState);

// -1: not an announcement or an unknown name; 1: a boot loader; 2: a machine
// running its application; 3: either of them, in explore mode.
int PharseUDPPacket(void);
uint16_t StringToIpSubnMac(uint8_t* buf);
// 1 when the first `size` bytes are equal (and for size <= 0), else 0.
uint8_t CmpBin(const char* str1, const char* str2, int size);
