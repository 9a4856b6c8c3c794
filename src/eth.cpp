// Network link: announcement listener and machine link.
#include "eth.h"

#include <cstdlib>
#include <cstring>

#include "hooks.h"
#include "platform.h"

UDP_STATE udp_state = UDP_IDLE;
plat_socket sudp = PLAT_INVALID_SOCKET;
char udpDataBuff[BUF_SIZE];
std::atomic<int> UDPrecvedlength{0};
std::atomic<int> flagUDPDataLocked{0};
std::atomic<int> flagUDPDataPharsed{0};

std::atomic<TCP_STATE> tcp_state{TCP_INIT};
std::atomic<plat_socket> stcp{PLAT_INVALID_SOCKET};
plat_sockaddr_in machine_sockaddr;
uint8_t TCPconnected = 0;
uint8_t tcpTXDataBuff[TCP_BUFFER_SIZE];
uint16_t TCPtxtransmitlength = 0;
uint8_t tcpRXDataBuff[TCP_BUFFER_SIZE];
std::atomic<uint16_t> TCPrxrecvedlength{0};
std::atomic<int> flagTCPRXDataLocked{0};
std::atomic<int> flagTCPRXDataReaded{0};
std::atomic<int> flagTCPRXHandshake{0};

static constexpr uint32_t kUdpIdlePollMs = 1000;
static constexpr uint32_t kUdpInitPollMs = 100;
static constexpr uint32_t kUdpCyclePollMs = 10;
static constexpr uint32_t kUdpWaitReleaseMs = 1000;
static constexpr uint32_t kTcpSetPollMs = 10;
static constexpr uint32_t kTcpCycleSetMs = 1;
static constexpr uint32_t kTcpIdlePollMs = 1000;
static constexpr uint32_t kTcpReceivePollMs = 100;
static constexpr uint32_t kTcpHandOverWaitMs = 2;

// Release_TCP's hand-shake with the link thread.
static std::atomic<int> flagTCPRelease{0};
static constexpr int kReleaseAsked = 1;
static constexpr int kReleaseParked = 2;
static constexpr uint32_t kReleaseCloseAfterMs = 1000;
static constexpr uint32_t kReleaseGiveUpMs = 10000;

// ---------------------------------------------------------------- listener

int InitUDP(void) {
    if (plat_sockets_startup() != 0) exit(1);
    sudp = plat_udp_open_bound(PORT);
    return 0;
}

uint32_t UDPSetstate(UDP_STATE news) {
    udp_state = news;
    switch (news) {
    case UDP_IDLE:
        return kUdpIdlePollMs;
    case UDP_INIT:
        InitUDP();
        return kUdpInitPollMs;
    case UDP_WAIT_FOR_DATA_PREPARE:
        return kUdpCyclePollMs;
    case UDP_DATA_LOCK:
        ReceiveUDP();
        return kUdpCyclePollMs;
    case UDP_WAIT_FOR_DATA_FREE:
        return kUdpCyclePollMs;
    }
    return kUdpIdlePollMs;
}

uint32_t PollUDP(void) {
    uint32_t timeout = kUdpIdlePollMs;
    switch (udp_state) {
    case UDP_IDLE:
        timeout = UDPSetstate(UDP_INIT);
        break;
    case UDP_INIT:
        timeout = UDPSetstate(UDP_WAIT_FOR_DATA_PREPARE);
        break;
    case UDP_WAIT_FOR_DATA_PREPARE:
        if (flagUDPDataPharsed.load(std::memory_order_acquire) != 0) {
            timeout = kUdpWaitReleaseMs;
        } else {
            flagUDPDataLocked.store(1, std::memory_order_release);
            timeout = UDPSetstate(UDP_DATA_LOCK);
        }
        break;
    case UDP_DATA_LOCK:
        timeout = UDPSetstate(UDP_WAIT_FOR_DATA_FREE);
        flagUDPDataLocked.store(0, std::memory_order_release);
        break;
    case UDP_WAIT_FOR_DATA_FREE:
        if (flagUDPDataPharsed.load(std::memory_order_acquire) == 1) {
            flagUDPDataPharsed.store(0, std::memory_order_relaxed);
            timeout = UDPSetstate(UDP_WAIT_FOR_DATA_PREPARE);
        } else {
            timeout = kUdpWaitReleaseMs;
        }
        break;
    }
    return timeout;
}

// Any host on the network can send us anything: a datagram that is empty or
// longer than the buffer is dropped and the next one received, so that one
// stray packet can neither stop nor stall the listener.
void ReceiveUDP(void) {
    UDPrecvedlength.store(ReceiveDatagram(udpDataBuff, nullptr), std::memory_order_release);
}

int ReceiveDatagram(char* buf, uint32_t* from) {
    for (;;) {
        memset(buf, 0, BUF_SIZE);
        int n = plat_udp_recv(sudp, buf, BUF_SIZE, from);
        if (n == PLAT_RECV_INTERRUPTED || n == PLAT_RECV_OVERSIZE || n == 0) continue;
        if (n < 0) exit(1);
        return n;
    }
}

// ------------------------------------------------------------ machine link

// Closes any socket left from an earlier attempt: each path asks for a new
// socket per connect and must not leak the old one.
int Init_TCP(void) {
    if (plat_sockets_startup() != 0) exit(1);
    plat_socket old = stcp.exchange(PLAT_INVALID_SOCKET);
    if (old != PLAT_INVALID_SOCKET) plat_close(old);
    stcp.store(plat_tcp_socket());
    return 0;
}

// A socket whose connect failed is closed and replaced at the next attempt:
// Linux does not reliably allow a second connect on it.
int Open_TCP(void) {
    if (stcp.load() == PLAT_INVALID_SOCKET) stcp.store(plat_tcp_socket());
    if (plat_tcp_connect(stcp.load(), &machine_sockaddr) != 0) {
        plat_close(stcp.exchange(PLAT_INVALID_SOCKET));
        return 1;
    }
    TCPconnected = 1;
    return 0;
}

void Release_TCP(void) {
    flagTCPRXHandshake.store(0, std::memory_order_release);
    flagTCPRelease.store(kReleaseAsked, std::memory_order_release);
    plat_shutdown(stcp.load());
    for (uint32_t waited = 0; flagTCPRelease.load(std::memory_order_acquire) != kReleaseParked; ++waited) {
        // A receive that the shutdown did not wake ends when its socket is
        // closed; a link that never parks must not hold the program for ever.
        if (waited == kReleaseCloseAfterMs) Close_TCP();
        if (waited == kReleaseGiveUpMs) break;
        plat_sleep_ms(1);
    }
    Close_TCP();
    TCPrxrecvedlength.store(0, std::memory_order_relaxed);
    flagTCPRXDataReaded.store(0, std::memory_order_relaxed);
    flagTCPRXDataLocked.store(0, std::memory_order_relaxed);
    flagTCPRelease.store(0, std::memory_order_release);
}

void UDPOffer(const char* datagram, int len) {
    memset(udpDataBuff, 0, BUF_SIZE);
    memcpy(udpDataBuff, datagram, static_cast<size_t>(len));
    UDPrecvedlength.store(len, std::memory_order_release);
}

bool UDPOffered(void) { return UDPrecvedlength.load(std::memory_order_acquire) != 0; }

void TCPLetGo(void) {
    switch (tcp_state.load()) {
    case TCP_WAIT_FOR_RX_DATA:
    case TCP_WAIT_FOR_RX_DATA_PREPARE:
    case TCP_RX_DATA_LOCK:
    case TCP_WAIT_FOR_RX_DATA_FREE:
        Release_TCP();
        return;
    default:
        TCPSetstate(TCP_CLOSE);
        return;
    }
}

bool TCPIsConnected(void) { return TCPconnected != 0; }

bool TCPLinkWaits(void) {
    const TCP_STATE s = tcp_state.load();
    if (s == TCP_WAIT_FOR_RX_DATA_FREE) return flagTCPRXDataReaded.load(std::memory_order_acquire) == 0;
    return s != TCP_WAIT_FOR_RX_DATA && s != TCP_WAIT_FOR_RX_DATA_PREPARE && s != TCP_RX_DATA_LOCK;
}

bool TCPBatchWaiting(void) {
    return flagTCPRXDataLocked.load(std::memory_order_acquire) == 0 &&
           TCPrxrecvedlength.load(std::memory_order_acquire) != 0;
}

int Close_TCP(void) {
    plat_socket s = stcp.exchange(PLAT_INVALID_SOCKET);
    if (s != PLAT_INVALID_SOCKET) plat_close(s);
    TCPconnected = 0;
    return 0;
}

int Receive_TCP(void) {
    int n = plat_recv(stcp.load(), tcpRXDataBuff, TCP_BUFFER_SIZE);
    TCPrxrecvedlength.store(static_cast<uint16_t>(n > 0 ? n : 0), std::memory_order_release);
    if (hooks.received) hooks.received(tcpRXDataBuff, n);
    if (n <= 0 && hooks.link_closed) hooks.link_closed();
    return 0;
}

// From here on the consumer may take the batch at any moment.
static void UnlockRX(void) {
    flagTCPRXDataLocked.store(0, std::memory_order_release);
    if (hooks.rx_unlocked) hooks.rx_unlocked();
}

int Transmit_TCP(void) {
    if (hooks.sending) hooks.sending(tcpTXDataBuff, TCPtxtransmitlength);
    return plat_send(stcp.load(), tcpTXDataBuff, TCPtxtransmitlength) < 0 ? 1 : 0;
}

uint32_t TCPSetstate(TCP_STATE news) {
    tcp_state.store(news);
    switch (news) {
    case TCP_INIT:
        Init_TCP();
        return kTcpSetPollMs;
    case TCP_OPEN:
        Open_TCP();
        return kTcpSetPollMs;
    case TCP_CLOSE:
        Close_TCP();
        return kTcpSetPollMs;
    case TCP_WAIT_FOR_RX_DATA_PREPARE:
        return kTcpCycleSetMs;
    case TCP_RX_DATA_LOCK:
        flagTCPRXDataLocked.store(1, std::memory_order_release);
        Receive_TCP();
        // The next state reads only the consumer's flag, so unlocking first
        // leaves nothing to race with.
        UnlockRX();
        TCPSetstate(TCP_WAIT_FOR_RX_DATA_FREE);
        return kTcpCycleSetMs;
    case TCP_WAIT_FOR_RX_DATA_FREE:
        return kTcpCycleSetMs;
    default:
        return kTcpIdlePollMs;
    }
}

uint32_t PollTCP(void) {
    if (flagTCPRelease.load(std::memory_order_acquire) == kReleaseAsked) {
        tcp_state.store(TCP_IDLE);
        flagTCPRelease.store(kReleaseParked, std::memory_order_release);
        return kTcpSetPollMs;
    }
    switch (tcp_state.load()) {
    case TCP_WAIT_FOR_RX_DATA:
        // The buffer stays locked while receives only replace each other, so
        // the consumer can never read bytes that a receive is overwriting;
        // the first receive after the transfer began is handed over unlocked.
        flagTCPRXDataLocked.store(1, std::memory_order_release);
        Receive_TCP();
        if (flagTCPRXHandshake.load(std::memory_order_acquire) == 1) {
            // Decide while the buffer is still ours: once unlocked, the sender
            // may take the whole batch at once and store length 0, and a
            // decision read from that would wait for a release that never
            // comes. The transfer's start may also have emptied this very
            // receive; then nobody would ever hand the buffer back, so
            // receive again.
            if (TCPrxrecvedlength.load(std::memory_order_acquire) == 0) {
                TCPSetstate(TCP_WAIT_FOR_RX_DATA_PREPARE);
            } else {
                TCPSetstate(TCP_WAIT_FOR_RX_DATA_FREE);
            }
            UnlockRX();
        }
        return kTcpReceivePollMs;
    case TCP_WAIT_FOR_RX_DATA_PREPARE:
        if (flagTCPRXDataReaded.load(std::memory_order_acquire) == 0) {
            TCPSetstate(TCP_RX_DATA_LOCK);
            return 0;
        }
        return kTcpHandOverWaitMs;
    case TCP_WAIT_FOR_RX_DATA_FREE:
        if (flagTCPRXDataReaded.load(std::memory_order_acquire) == 1) {
            flagTCPRXDataReaded.store(0, std::memory_order_relaxed);
            TCPSetstate(TCP_WAIT_FOR_RX_DATA_PREPARE);
            return 0;
        }
        return kTcpHandOverWaitMs;
    default:
        return kTcpSetPollMs;
    }
}
