// The reset path against a recording stand-in machine on 127.0.0.7:888.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <sstream>

#include "harness.h"

using namespace e2e;

namespace {

constexpr int kStartMs = 5000;
constexpr int kPathMs = 8000;

// Connection attempts made in this network namespace so far.
long active_opens() {
    std::istringstream snmp(read_file("/proc/net/snmp"));
    std::string header, values;
    while (std::getline(snmp, header) && std::getline(snmp, values)) {
        if (header.rfind("Tcp:", 0) != 0) continue;
        std::istringstream h(header), v(values);
        std::string name, value;
        while (h >> name && v >> value) {
            if (name == "ActiveOpens") return std::stol(value);
        }
    }
    return -1;
}

class Reset : public ::testing::Test {
protected:
    ScratchDir dir;
    std::string image = dir.write("fw.bin", random_bytes(3000, 7));

    std::unique_ptr<Proc> start(const std::vector<std::string>& args) {
        auto p = std::make_unique<Proc>(lanflash_cmd(args), dir.path());
        EXPECT_TRUE(wait_udp_bound(kStartMs));
        return p;
    }
};

TEST_F(Reset, SendsOneResetByteAndClosesAboutASecondLater) {
    TcpRecorder machine;
    auto p = start({image});
    send_udp(announcement("Tavix7"));
    ASSERT_TRUE(machine.wait_closed(1, kPathMs));
    ASSERT_TRUE(p->wait_for_out("M_MACHINE_RESET-> M_WAIT_FOR_UDP_DATA", kPathMs)) << p->out();
    auto conns = machine.conns();
    ASSERT_EQ(conns.size(), 1u);
    ASSERT_EQ(conns[0].bytes.size(), 1u);
    EXPECT_EQ(conns[0].bytes[0].value, 0x52);
    long held_ms = ms_between(conns[0].bytes[0].at, conns[0].closed);
    EXPECT_GE(held_ms, 900);
    EXPECT_LE(held_ms, 1500);
    p->signal(SIGINT);
    EXPECT_EQ(p->wait(kStartMs), 0);
    std::string out = p->out();
    size_t at = 0;
    for (const char* line : {"\nm_state: M_WAIT_FOR_UDP_DATA-> M_MACHINE_RECOGNIZED",
                             "\nm_state: M_MACHINE_RECOGNIZED-> M_MACHINE_SEND_RESET",
                             "\nm_state: M_MACHINE_SEND_RESET-> M_MACHINE_RESET",
                             "\nm_state: M_MACHINE_RESET-> M_WAIT_FOR_UDP_DATA"}) {
        size_t found = out.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << " in " << out;
        at = found + 1;
    }
}

TEST_F(Reset, RefusedConnectsAreRetriedTenTimesASecondWithoutLeaks) {
    auto p = start({image});
    send_udp(announcement("Tavix7"));
    ASSERT_TRUE(p->wait_for_out("M_MACHINE_RECOGNIZED", kStartMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    // A socket of an attempt under way is open for a moment: the fewest
    // descriptors over a few looks are the ones the process keeps.
    auto kept_fds = [&] {
        int fewest = count_fds(p->pid());
        for (int i = 0; i < 10; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            fewest = std::min(fewest, count_fds(p->pid()));
        }
        return fewest;
    };
    long opens_before = active_opens();
    int fds_before = kept_fds();
    std::this_thread::sleep_for(std::chrono::milliseconds(5000));
    long attempts = active_opens() - opens_before;
    EXPECT_GE(attempts, 40);  // about fifty in five seconds
    EXPECT_LE(attempts, 55);
    EXPECT_EQ(kept_fds(), fds_before);
    p->signal(SIGINT);
    EXPECT_EQ(p->wait(kStartMs), 0);
    std::string out = p->out();
    size_t recognized = out.find("M_WAIT_FOR_UDP_DATA-> M_MACHINE_RECOGNIZED");
    ASSERT_NE(recognized, std::string::npos);
    EXPECT_EQ(out.find("m_state", recognized + 1), std::string::npos) << out;
}

TEST_F(Reset, AnnouncementDuringThePathStartsItAgain) {
    TcpRecorder machine;
    auto p = start({image});
    send_udp(announcement("Tavix7"));
    ASSERT_TRUE(p->wait_for_out("M_MACHINE_SEND_RESET", kPathMs));
    send_udp(announcement("Tavix7", "777"));
    ASSERT_TRUE(machine.wait_closed(2, 2 * kPathMs)) << p->out();
    auto conns = machine.conns();
    ASSERT_EQ(conns.size(), 2u);
    for (const auto& c : conns) {
        ASSERT_EQ(c.bytes.size(), 1u);
        EXPECT_EQ(c.bytes[0].value, 'R');
    }
    EXPECT_GE(ms_between(conns[0].closed, conns[1].accepted), 0);
    EXPECT_NE(p->out().find("No: 777"), std::string::npos);
}

TEST_F(Reset, ExploreModeNeverConnects) {
    TcpRecorder machine;
    long opens_before = active_opens();
    auto p = start({});
    send_udp(announcement("Tavix7"));
    ASSERT_TRUE(p->wait_for_out("M_IDLE", kStartMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(machine.conns().empty());
    EXPECT_EQ(active_opens(), opens_before);
}

// A machine on 127.0.0.9:888 that swallows connection requests: its accept
// queue is full and never drained, so Linux drops every further request
// without an answer, as a powered-off machine or a wrong address does.
class Swallower {
public:
    Swallower() {
        listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = addr();
        if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listen_fd_, 0) != 0) return;
        for (int i = 0; i < 3; ++i) fillers_.push_back(pending_connect());
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ~Swallower() {
        for (int fd : fillers_) close(fd);
        close(listen_fd_);
    }
    // True when a further connect still has no answer after half a second.
    bool swallows() {
        int probe = pending_connect();
        pollfd p{probe, POLLOUT, 0};
        int n = poll(&p, 1, 500);
        close(probe);
        return n == 0;
    }

private:
    static sockaddr_in addr() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(888);
        inet_pton(AF_INET, "127.0.0.9", &a.sin_addr);
        return a;
    }
    static int pending_connect() {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        fcntl(fd, F_SETFL, O_NONBLOCK);
        sockaddr_in a = addr();
        (void)connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        return fd;
    }
    int listen_fd_ = -1;
    std::vector<int> fillers_;
};

// Each connect attempt gives up after 3 s instead of the system's two
// minutes, the sequencer keeps retrying, and Ctrl-C is acted on at once.
class Unanswered : public Reset, public ::testing::WithParamInterface<const char*> {};

TEST_P(Unanswered, ConnectsGiveUpAndCtrlCEndsPromptly) {
    Swallower machine;
    ASSERT_TRUE(machine.swallows());
    auto p = start({image});
    const uint8_t ip[4] = {127, 0, 0, 9};
    send_udp(announcement(GetParam(), "12345", ip));
    ASSERT_TRUE(p->wait_for_out("RECOGNIZED", kStartMs));
    long opens_before = active_opens();
    std::this_thread::sleep_for(std::chrono::milliseconds(8500));
    EXPECT_TRUE(p->running());
    long attempts = active_opens() - opens_before;
    EXPECT_GE(attempts, 2);  // one per 3.1 s resetting, per 4 s for a boot loader
    EXPECT_LE(attempts, 4);
    auto asked = Clock::now();
    p->signal(SIGINT);
    EXPECT_EQ(p->wait(kStartMs), 0);
    EXPECT_LE(ms_between(asked, Clock::now()), 4000);
    std::string out = p->out();
    ASSERT_GE(out.size(), 4u);
    EXPECT_EQ(out.substr(out.size() - 4), "end\n");
}

INSTANTIATE_TEST_SUITE_P(Reset, Unanswered, ::testing::Values("Tavix7", "BootTavix7"));

}  // namespace
