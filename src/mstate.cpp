// Update sequencer: announcements, discovery and the paths that reset a
// machine and download an image into its boot loader.
#include "mstate.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "eth.h"
#include "hooks.h"
#include "main.h"
#include "platform.h"
#include "ymodem.h"

#define MACHINE_NAME_T7_BOOT "BootTavix7"
#define MACHINE_NAME_T7 "Tavix7"
#define MACHINE_NAME_T5S_BOOT "BootTavix5s"
#define MACHINE_NAME_T5S "Tavix5S"

static const char ID_PACKET_SIGNATURE[] = {
    '\x22', '\xEF', '\x44', '\x1A', '\x33', '\xE9', '\xF1', '\x34', '\x54', '\x9E', '\x78'};
static constexpr int kSignatureLength = sizeof ID_PACKET_SIGNATURE;
static constexpr uint16_t kMachinePort = 888;

static constexpr uint32_t kWaitPollMs = 1000;
static constexpr uint32_t kNextStateMs = 5;
static constexpr uint32_t kConnectRetryMs = 100;
static constexpr uint32_t kAfterResetMs = 1000;
static constexpr uint32_t kAfterCloseMs = 100;
static constexpr uint32_t kBootConnectRetryMs = 1000;
static constexpr uint32_t kAfterUnlockMs = 1000;
static constexpr uint32_t kAfterRequestMs = 2000;
static constexpr uint32_t kBeforeTransferMs = 2000;
static constexpr uint32_t kAfterTransferMs = 2000;
static constexpr uint32_t kAfterRunMs = 2000;

static void SendCommand(uint8_t command) {
    tcpTXDataBuff[0] = command;
    TCPtxtransmitlength = 1;
    Transmit_TCP();
}

M_STATE m_state = M_GET_IP;

uint8_t CmpBin(const char* str1, const char* str2, int size) {
    for (int i = 0; i < size; i++) {
        if (str1[i] != str2[i]) return 0;
    }
    return 1;
}

uint16_t StringToIpSubnMac(uint8_t* buf) {
    char ip[30];
    int addr = 0;
    printf("\nIP: ");
    for (int i = 0; i < 4; i++) {
        addr += sprintf(ip + addr, i < 3 ? "%i." : "%i", buf[i]);
    }
    printf("%s", ip);
    machine_sockaddr.sin_addr = plat_inet_addr(ip);
    machine_sockaddr.sin_family = PLAT_AF_INET;
    return 4 + 4 + 6;  // address, subnet mask, MAC
}

bool IsAnnouncement(const char* datagram) {
    return CmpBin(datagram, ID_PACKET_SIGNATURE, kSignatureLength) == 1;
}

int MatchName(const char* name, int* len) {
    struct known_name {
        const char* text;
        int result;
    };
    static const known_name names[] = {
        {MACHINE_NAME_T7_BOOT, 1},
        {MACHINE_NAME_T7, 2},
        {MACHINE_NAME_T5S_BOOT, 1},
        {MACHINE_NAME_T5S, 2},
    };
    for (const known_name& known : names) {
        int n = static_cast<int>(strlen(known.text));
        if (CmpBin(name, known.text, n)) {
            *len = n;
            return known.result;
        }
    }
    return -1;
}

int NameFieldLength(const char* datagram) {
    return static_cast<int>(strnlen(datagram + kNameOffset, BUF_SIZE - kNameOffset));
}

uint32_t ReadSerial(const char* datagram, int name_len) {
    const int from = kNameOffset + name_len + 1 + 2;
    char number[BUF_SIZE + 1];
    int avail = BUF_SIZE - from;
    memcpy(number, datagram + from, static_cast<size_t>(avail));
    number[avail] = '\0';
    // Read as a 32-bit strtol reads it, so that Linux (64-bit long) and
    // Windows (32-bit long) show the same number: clamped to the int32
    // range, negatives wrapped into uint32.
    long long value = strtoll(number, nullptr, 10);
    if (value > INT32_MAX) value = INT32_MAX;
    if (value < INT32_MIN) value = INT32_MIN;
    return static_cast<uint32_t>(value);
}

int PharseUDPPacket(void) {
    int retv = -1;
    int addr = 0;
    uint16_t port = 0;

    printf("\nPharse data:");
    if (!IsAnnouncement(udpDataBuff)) return -1;
    printf(" data is KV:");
    addr = kSignatureLength;
    printf("Data size: %u\n", static_cast<unsigned>(UDPrecvedlength.load()));
    addr += StringToIpSubnMac(reinterpret_cast<uint8_t*>(udpDataBuff) + addr);
    port = static_cast<uint16_t>(static_cast<uint8_t>(udpDataBuff[addr]) << 8 |
                                 static_cast<uint8_t>(udpDataBuff[addr + 1]));
    addr += 2;
    printf(" Port: %i", port);
    machine_sockaddr.sin_port = plat_htons(kMachinePort);

    char* name = udpDataBuff + kNameOffset;
    int len = 0;
    retv = MatchName(name, &len);
    if (retv == -1) return -1;
    addr += len;

    // A datagram that fills the whole buffer has no zero byte behind its
    // text: both the trace and the number stop at the buffer's end.
    printf(" Name: %.*s", NameFieldLength(udpDataBuff), name);
    addr += 1;
    if (retv == 2) {
        uint32_t sernum = ReadSerial(udpDataBuff, len);
        printf(" No: %" PRIu32, sernum);
    }
    if (only_explore == 1 && (retv == 1 || retv == 2)) retv = 3;
    return retv;
}

#define DUMPSTATE(a) \
    case a:          \
        printf("%s", #a); \
        return;

void M_PrintState(M_STATE eState) {
    switch (eState) {
        DUMPSTATE(M_GET_IP)
        DUMPSTATE(M_IDLE)
        DUMPSTATE(M_WAIT_FOR_UDP_DATA)
        DUMPSTATE(M_DATA_PHARSE)
        DUMPSTATE(M_MACHINE_RECOGNIZED)
        DUMPSTATE(M_MACHINE_SEND_RESET)
        DUMPSTATE(M_BOOTLOADER_RECOGNIZED)
        DUMPSTATE(M_UNLOCK_MEMORY)
        DUMPSTATE(M_REQUEST_DOWNLOAD_PREPARE)
        DUMPSTATE(M_REQUEST_DOWNLOAD)
        DUMPSTATE(M_DOWNLOAD)
        DUMPSTATE(M_RUN_FIRMWARE)
        DUMPSTATE(M_EXIT_APP)
        DUMPSTATE(M_MACHINE_RESET)
    }
}

uint32_t MSetstate(M_STATE news) {
    uint32_t timeout = 5;
    printf("\nm_state: ");
    M_PrintState(m_state);
    printf("-> ");
    M_PrintState(news);
    if (hooks.transition) hooks.transition(m_state, news);
    m_state = news;
    return timeout;
}

M_STATE MGetstate(void) { return m_state; }

void MReturnToWait(void) {
    if (m_state != M_WAIT_FOR_UDP_DATA) MSetstate(M_WAIT_FOR_UDP_DATA);
}

uint32_t PollMState(void) {
    uint32_t timeout = kWaitPollMs;
    int retv;
    switch (m_state) {
    case M_GET_IP:
        MSetstate(M_WAIT_FOR_UDP_DATA);
        return kNextStateMs;
    case M_WAIT_FOR_UDP_DATA:
        if (flagUDPDataLocked.load(std::memory_order_acquire) != 0 ||
            UDPrecvedlength.load(std::memory_order_acquire) == 0)
            return kWaitPollMs;
        retv = PharseUDPPacket();
        if (hooks.choose) retv = hooks.choose(retv);
        if (retv == 3) {
            MSetstate(M_IDLE);
            timeout = kNextStateMs;
        } else if (retv == 2) {
            MSetstate(M_MACHINE_RECOGNIZED);
            TCPSetstate(TCP_INIT);
            timeout = kNextStateMs;
        } else if (retv == 1) {
            MSetstate(M_BOOTLOADER_RECOGNIZED);
            timeout = kNextStateMs;
        }
        // Length first: once the listener sees the flag it may store the
        // next datagram's length, which must not be cleared here.
        UDPrecvedlength.store(0, std::memory_order_relaxed);
        flagUDPDataPharsed.store(1, std::memory_order_release);
        return timeout;
    case M_IDLE:
        if (hooks.idle) return hooks.idle();
        return kWaitPollMs;
    case M_MACHINE_RECOGNIZED:
        if (TCPconnected == 0) {
            TCPSetstate(TCP_OPEN);
        } else {
            MSetstate(M_MACHINE_SEND_RESET);
        }
        return kConnectRetryMs;
    case M_MACHINE_SEND_RESET:
        SendCommand('R');
        MSetstate(M_MACHINE_RESET);
        return kAfterResetMs;
    case M_MACHINE_RESET:
        TCPSetstate(TCP_CLOSE);
        MSetstate(M_WAIT_FOR_UDP_DATA);
        return kAfterCloseMs;
    case M_BOOTLOADER_RECOGNIZED:
        if (TCPconnected == 0) {
            TCPSetstate(TCP_INIT);
            TCPSetstate(TCP_OPEN);
        } else {
            TCPSetstate(TCP_WAIT_FOR_RX_DATA);
            MSetstate(M_UNLOCK_MEMORY);
        }
        return kBootConnectRetryMs;
    case M_UNLOCK_MEMORY:
        SendCommand('4');
        MSetstate(M_REQUEST_DOWNLOAD_PREPARE);
        return kAfterUnlockMs;
    case M_REQUEST_DOWNLOAD_PREPARE:
        SendCommand('1');
        MSetstate(M_REQUEST_DOWNLOAD);
        return kAfterRequestMs;
    case M_REQUEST_DOWNLOAD:
        MSetstate(M_DOWNLOAD);
        return kBeforeTransferMs;
    case M_DOWNLOAD:
        // The boot loader's answers to '4' and '1' are not for the sender.
        TCPrxrecvedlength.store(0, std::memory_order_relaxed);
        flagTCPRXDataReaded.store(0, std::memory_order_relaxed);
        flagTCPRXHandshake.store(1, std::memory_order_release);
        if (Ymodem_Transmit(fw_buf, reinterpret_cast<const uint8_t*>(fw_name),
                            static_cast<uint32_t>(fw_size)) != 0) {
            // Never start a half-written image: the machine stays in its
            // boot loader, where the next run can update it.
            printf("\nTransmit FW failed");
            MSetstate(M_IDLE);
        } else {
            MSetstate(M_RUN_FIRMWARE);
        }
        return kAfterTransferMs;
    case M_RUN_FIRMWARE:
        SendCommand('3');
        MSetstate(M_IDLE);
        return kAfterRunMs;
    default:
        return timeout;
    }
}
