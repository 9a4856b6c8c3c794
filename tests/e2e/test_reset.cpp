// The reset path against a recording stand-in machine on 127.0.0.7:888.
#include <gtest/gtest.h>
#include <signal.h>

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
    long opens_before = active_opens();
    int fds_before = count_fds(p->pid());
    std::this_thread::sleep_for(std::chrono::milliseconds(5000));
    long attempts = active_opens() - opens_before;
    EXPECT_GE(attempts, 40);  // about fifty in five seconds
    EXPECT_LE(attempts, 55);
    EXPECT_EQ(count_fds(p->pid()), fds_before);
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

}  // namespace
