// Listener and machine-link hand-over over loopback, on ephemeral ports only.
#include <gtest/gtest.h>

#include <dirent.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "eth.h"
#include "hooks.h"
#include "mstate.h"

namespace {

constexpr int kStuckReceiveTimeoutS = 5;  // a lost message fails the test instead of hanging it
constexpr auto kBlockedSettleTime = std::chrono::milliseconds(100);

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

void LimitReceiveWait(int fd) {
    timeval tv{kStuckReceiveTimeoutS, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// A socket bound to 127.0.0.1 on a port the kernel picks; *port receives it.
int BoundSocket(int type, uint16_t* port) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    sockaddr* sa = reinterpret_cast<sockaddr*>(&a);
    if (bind(fd, sa, len) != 0 || getsockname(fd, sa, &len) != 0) return -1;
    *port = ntohs(a.sin_port);
    return fd;
}

int OpenFdCount() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (d && readdir(d)) ++n;
    if (d) closedir(d);
    return n;
}

std::atomic<int> g_signals{0};

// Runs `blocking` on a thread, interrupts it with a signal while it waits,
// then lets `release` give it what it waits for.
void InterruptOnce(const std::function<void()>& blocking, const std::function<void()>& release) {
    struct sigaction sa{}, old{};
    sa.sa_handler = [](int) { g_signals.fetch_add(1); };
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the receive sees EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    g_signals.store(0);
    std::atomic<bool> done{false};
    std::thread t([&] {
        blocking();
        done.store(true);
    });
    std::this_thread::sleep_for(kBlockedSettleTime);
    pthread_kill(t.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(kBlockedSettleTime);
    EXPECT_FALSE(done.load()) << "returned on the interruption";
    release();
    t.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(g_signals.load(), 1);
}

class Link : public testing::Test {
protected:
    void SetUp() override {
        udp_state = UDP_WAIT_FOR_DATA_PREPARE;
        memset(udpDataBuff, 0, sizeof udpDataBuff);
        UDPrecvedlength.store(0);
        flagUDPDataLocked.store(0);
        flagUDPDataPharsed.store(0);
        m_state = M_WAIT_FOR_UDP_DATA;
        Close_TCP();
        tcp_state.store(TCP_IDLE);
        TCPrxrecvedlength.store(0);
        flagTCPRXDataLocked.store(0);
        flagTCPRXDataReaded.store(0);
        flagTCPRXHandshake.store(0);
        TCPtxtransmitlength = 0;

        uint16_t udp_port = 0, tcp_port = 0;
        sudp = BoundSocket(SOCK_DGRAM, &udp_port);
        ASSERT_GE(sudp, 0);
        LimitReceiveWait(static_cast<int>(sudp));
        udp_to_ = Loopback(udp_port);
        sender_ = socket(AF_INET, SOCK_DGRAM, 0);
        listener_ = BoundSocket(SOCK_STREAM, &tcp_port);
        ASSERT_GE(listener_, 0);
        ASSERT_EQ(listen(listener_, 4), 0);
        machine_sockaddr = plat_sockaddr_in{PLAT_AF_INET, htons(tcp_port), htonl(INADDR_LOOPBACK)};
    }
    void TearDown() override {
        hooks.rx_unlocked = nullptr;
        Close_TCP();
        close(static_cast<int>(sudp));
        sudp = PLAT_INVALID_SOCKET;
        for (int fd : {sender_, listener_, peer_}) close(fd);
    }

    void Send(const std::string& d) {
        ASSERT_EQ(sendto(sender_, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&udp_to_), sizeof udp_to_),
                  static_cast<ssize_t>(d.size()));
    }
    // Machine link connected the way the sequencer does it; peer_ is the machine's end.
    void Connect() {
        EXPECT_EQ(TCPSetstate(TCP_INIT), 10u);
        ASSERT_EQ(Open_TCP(), 0);
        EXPECT_EQ(TCPconnected, 1);
        LimitReceiveWait(static_cast<int>(stcp.load()));
        peer_ = accept(listener_, nullptr, nullptr);
        ASSERT_GE(peer_, 0);
    }
    void PeerSends(const std::string& d) {
        ASSERT_EQ(send(peer_, d.data(), d.size(), 0), static_cast<ssize_t>(d.size()));
    }
    std::string Rx() const {
        return std::string(reinterpret_cast<const char*>(tcpRXDataBuff), TCPrxrecvedlength.load());
    }

    sockaddr_in udp_to_{};
    int sender_ = -1, listener_ = -1, peer_ = -1;
};

TEST_F(Link, StrayDatagramsAreDroppedAndShortOnesZeroFilled) {
    Send(std::string(600, 'A'));
    Send(std::string(BUF_SIZE + 1, 'C'));
    Send("");
    Send("hello");
    ReceiveUDP();
    EXPECT_EQ(UDPrecvedlength.load(), 5);
    EXPECT_EQ(std::string(udpDataBuff, 5), "hello");
    EXPECT_EQ(std::string(udpDataBuff + 5, BUF_SIZE - 5), std::string(BUF_SIZE - 5, '\0'));

    Send(std::string(BUF_SIZE, 'B'));  // the largest taken
    Send("hi");
    ReceiveUDP();
    EXPECT_EQ(UDPrecvedlength.load(), BUF_SIZE);
    EXPECT_EQ(udpDataBuff[BUF_SIZE - 1], 'B');
    ReceiveUDP();
    EXPECT_EQ(UDPrecvedlength.load(), 2);
    EXPECT_EQ(std::string(udpDataBuff + 2, BUF_SIZE - 2), std::string(BUF_SIZE - 2, '\0'));
}

TEST_F(Link, InterruptedReceivesAreRetried) {
    InterruptOnce([] { ReceiveUDP(); }, [this] { Send("after the signal"); });
    EXPECT_EQ(UDPrecvedlength.load(), 16);
    Connect();
    InterruptOnce([] { Receive_TCP(); }, [this] { PeerSends("C"); });
    EXPECT_EQ(Rx(), "C");
}

TEST_F(Link, FailedDatagramReceiveEndsTheProcess) {
    close(static_cast<int>(sudp));
    sudp = PLAT_INVALID_SOCKET;
    EXPECT_EXIT(ReceiveUDP(), testing::ExitedWithCode(1), "");
}

// Listener and sequencer driven by hand in the order their threads would run:
// a rejected datagram is released and the listener takes the next one.
TEST_F(Link, ListenerHandsDatagramsToTheSequencerOneAtATime) {
    Send("junk");
    EXPECT_EQ(PollUDP(), 10u);
    EXPECT_EQ(udp_state, UDP_DATA_LOCK);
    EXPECT_EQ(flagUDPDataLocked.load(), 1);
    EXPECT_EQ(UDPrecvedlength.load(), 4);
    testing::internal::CaptureStdout();
    EXPECT_EQ(PollMState(), 1000u);  // still locked
    EXPECT_EQ(PollUDP(), 10u);
    EXPECT_EQ(udp_state, UDP_WAIT_FOR_DATA_FREE);
    EXPECT_EQ(flagUDPDataLocked.load(), 0);
    EXPECT_EQ(PollUDP(), 1000u);  // nothing parsed yet
    EXPECT_EQ(PollMState(), 1000u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nPharse data:");
    EXPECT_EQ(flagUDPDataPharsed.load(), 1);

    EXPECT_EQ(PollUDP(), 10u);
    EXPECT_EQ(udp_state, UDP_WAIT_FOR_DATA_PREPARE);
    EXPECT_EQ(flagUDPDataPharsed.load(), 0);
    Send("next");
    EXPECT_EQ(PollUDP(), 10u);
    EXPECT_EQ(std::string(udpDataBuff), "next");
    EXPECT_EQ(UDPrecvedlength.load(), 4);
}

TEST_F(Link, SendsExactlyTheGivenLengthAndStoresZeroForFailedReceives) {
    Connect();
    for (int i = 0; i < TCP_BUFFER_SIZE; ++i) tcpTXDataBuff[i] = static_cast<uint8_t>(i * 7);
    TCPtxtransmitlength = 1000;
    EXPECT_EQ(Transmit_TCP(), 0);
    tcpTXDataBuff[0] = 'R';
    TCPtxtransmitlength = 1;
    EXPECT_EQ(Transmit_TCP(), 0);
    PeerSends("abc");
    Receive_TCP();
    EXPECT_EQ(Rx(), "abc");
    shutdown(peer_, SHUT_WR);  // the machine closes its side
    Receive_TCP();
    EXPECT_EQ(TCPrxrecvedlength.load(), 0);

    EXPECT_EQ(TCPSetstate(TCP_CLOSE), 10u);
    EXPECT_EQ(TCPconnected, 0);
    EXPECT_EQ(stcp.load(), PLAT_INVALID_SOCKET);
    EXPECT_EQ(Transmit_TCP(), 1);
    TCPrxrecvedlength.store(99);
    Receive_TCP();
    EXPECT_EQ(TCPrxrecvedlength.load(), 0);

    std::string got;
    char chunk[2048];
    for (ssize_t n; (n = recv(peer_, chunk, sizeof chunk, 0)) > 0;) got.append(chunk, static_cast<size_t>(n));
    ASSERT_EQ(got.size(), 1001u);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(static_cast<uint8_t>(got[i]), static_cast<uint8_t>(i * 7)) << i;
    EXPECT_EQ(got[1000], 'R');
}

TEST_F(Link, ReceiveHandOverCycle) {
    Connect();
    tcp_state.store(TCP_WAIT_FOR_RX_DATA);
    PeerSends("hello");
    EXPECT_EQ(PollTCP(), 100u);
    EXPECT_EQ(tcp_state.load(), TCP_WAIT_FOR_RX_DATA);
    EXPECT_EQ(Rx(), "hello");
    EXPECT_EQ(flagTCPRXDataLocked.load(), 1);  // to be replaced, never consumed

    flagTCPRXHandshake.store(1);
    PeerSends("C");
    EXPECT_EQ(PollTCP(), 100u);
    EXPECT_EQ(tcp_state.load(), TCP_WAIT_FOR_RX_DATA_FREE);
    EXPECT_EQ(flagTCPRXDataLocked.load(), 0);
    EXPECT_EQ(Rx(), "C");
    EXPECT_EQ(PollTCP(), 2u);  // not yet consumed
    EXPECT_EQ(tcp_state.load(), TCP_WAIT_FOR_RX_DATA_FREE);

    TCPrxrecvedlength.store(0);
    flagTCPRXDataReaded.store(1);
    EXPECT_EQ(PollTCP(), 0u);
    EXPECT_EQ(tcp_state.load(), TCP_WAIT_FOR_RX_DATA_PREPARE);
    EXPECT_EQ(flagTCPRXDataReaded.load(), 0);

    // The next receive blocks with the buffer locked until the machine answers.
    std::thread link([] { EXPECT_EQ(PollTCP(), 0u); });
    std::this_thread::sleep_for(kBlockedSettleTime);
    EXPECT_EQ(tcp_state.load(), TCP_RX_DATA_LOCK);
    EXPECT_EQ(flagTCPRXDataLocked.load(), 1);
    PeerSends(std::string(3000, '\x06'));
    link.join();
    EXPECT_EQ(tcp_state.load(), TCP_WAIT_FOR_RX_DATA_FREE);
    EXPECT_EQ(flagTCPRXDataLocked.load(), 0);
    EXPECT_GT(TCPrxrecvedlength.load(), 0);
    EXPECT_EQ(Rx(), std::string(TCPrxrecvedlength.load(), '\x06'));
}

// The transfer's start clears the length of a receive that may just have
// completed: an empty batch is never handed over, the link receives again.
TEST_F(Link, EmptyBatchAtTheHandshakeIsNotHandedOver) {
    Connect();
    tcp_state.store(TCP_WAIT_FOR_RX_DATA);
    flagTCPRXHandshake.store(1);
    shutdown(peer_, SHUT_WR);  // the receive completes with nothing in it
    EXPECT_EQ(PollTCP(), 100u);
    EXPECT_EQ(tcp_state.load(), TCP_WAIT_FOR_RX_DATA_PREPARE);
    EXPECT_EQ(flagTCPRXDataLocked.load(), 0);
    EXPECT_EQ(PollTCP(), 0u);  // receives again: still closed, so empty
    EXPECT_EQ(tcp_state.load(), TCP_WAIT_FOR_RX_DATA_FREE);
    EXPECT_EQ(TCPrxrecvedlength.load(), 0);
}

std::string g_taken;

// The sender may take a one-byte batch (a lone ACK or 'C') the instant the
// link unlocks it; the link must still see it handed back and receive again.
TEST_F(Link, BatchTakenTheMomentItIsUnlockedKeepsTheCycleGoing) {
    Connect();
    tcp_state.store(TCP_WAIT_FOR_RX_DATA);
    flagTCPRXHandshake.store(1);
    g_taken.clear();
    hooks.rx_unlocked = [] {
        g_taken.append(reinterpret_cast<const char*>(tcpRXDataBuff), TCPrxrecvedlength.load());
        TCPrxrecvedlength.store(0);
        flagTCPRXDataReaded.store(1);
    };
    PeerSends("C");
    EXPECT_EQ(PollTCP(), 100u);
    PeerSends("\x06");
    EXPECT_EQ(PollTCP(), 0u);  // sees the batch handed back
    EXPECT_EQ(PollTCP(), 0u);  // receives the next one
    EXPECT_EQ(g_taken, "C\x06");
    EXPECT_EQ(tcp_state.load(), TCP_WAIT_FOR_RX_DATA_FREE);
}

// A machine that stops reading must not hold the main thread in a send for ever.
TEST_F(Link, SendToAMachineThatStopsReadingGivesUp) {
    Connect();
    static uint8_t chunk[TCP_BUFFER_SIZE];
    TCPtxtransmitlength = TCP_BUFFER_SIZE;
    memcpy(tcpTXDataBuff, chunk, sizeof chunk);
    auto start = std::chrono::steady_clock::now();
    int result = 0;
    for (int i = 0; i < 100000 && result == 0; ++i) result = Transmit_TCP();
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result, 1);
    EXPECT_LT(waited, std::chrono::milliseconds(PLAT_SEND_TIMEOUT_MS + 4000));
}

TEST_F(Link, FailedConnectsLeakNoDescriptors) {
    uint16_t closed_port = 0;
    int probe = BoundSocket(SOCK_STREAM, &closed_port);
    ASSERT_GE(probe, 0);
    close(probe);  // nobody listens there now
    machine_sockaddr.sin_port = htons(closed_port);

    const int before = OpenFdCount();
    TCPSetstate(TCP_INIT);
    EXPECT_EQ(Open_TCP(), 1);
    EXPECT_EQ(TCPconnected, 0);
    tcp_state.store(TCP_OPEN);
    EXPECT_EQ(PollTCP(), 10u);
    for (int i = 0; i < 50; ++i) {
        TCPSetstate(TCP_INIT);  // what the boot path does before each attempt
        TCPSetstate(TCP_OPEN);
        EXPECT_EQ(Open_TCP(), 1);
    }
    EXPECT_EQ(OpenFdCount(), before);
    for (int i = 0; i < 5; ++i) Init_TCP();
    EXPECT_EQ(OpenFdCount(), before + 1);
    Close_TCP();
    EXPECT_EQ(OpenFdCount(), before);
}

}  // namespace
