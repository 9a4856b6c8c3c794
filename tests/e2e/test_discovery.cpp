// Start-up, explore mode, discovery and the console events, on the real
// program with datagrams sent over loopback.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "harness.h"

using namespace e2e;

namespace {

constexpr int kStartMs = 5000;
constexpr int kTraceMs = 5000;
constexpr int kEndMs = 5000;


class Discovery : public ::testing::Test {
protected:
    ScratchDir dir;

    // Starts lanflash and waits until its listener is bound.
    std::unique_ptr<Proc> start(const std::vector<std::string>& args) {
        auto p = std::make_unique<Proc>(lanflash_cmd(args), dir.path());
        EXPECT_TRUE(wait_udp_bound(kStartMs)) << "listener never bound port 11000";
        // The first transition comes before any console event we send.
        EXPECT_TRUE(p->wait_for_out("M_GET_IP-> M_WAIT_FOR_UDP_DATA", kStartMs)) << p->out();
        return p;
    }

    void stop(Proc& p, const char* line = "ctrl-c") {
        p.signal(SIGINT);
        EXPECT_EQ(p.wait(kEndMs), 0);
        EXPECT_NE(p.out().find(std::string(line) + "\nend\n"), std::string::npos) << p.out();
    }
};

TEST_F(Discovery, ExploreWithoutArgumentTracesFirstMachineAndIdles) {
    auto p = start({});
    send_udp(announcement("Tavix7"));
    ASSERT_TRUE(p->wait_for_out("M_IDLE", kTraceMs)) << p->out();
    // Explore mode parses nothing after the first machine.
    send_udp(announcement("BootTavix7"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    stop(*p);
    EXPECT_EQ(p->out(), std::string(kExploreHead) + kAppTrace +
                            "\nm_state: M_WAIT_FOR_UDP_DATA-> M_IDLEctrl-c\nend\n");
    EXPECT_EQ(p->err(), "File not opened");
}

TEST_F(Discovery, ExploreWithUnopenablePathTracesBootLoader) {
    auto p = start({dir.file("no-such-image.bin")});
    send_udp(announcement("BootTavix5s"));
    ASSERT_TRUE(p->wait_for_out("M_IDLE", kTraceMs)) << p->out();
    stop(*p);
    EXPECT_EQ(p->out(), std::string(kExploreHead) +
                            "\nPharse data: data is KV:Data size: 47\n"
                            "\nIP: 127.0.0.7 Port: 888 Name: BootTavix5s"
                            "\nm_state: M_WAIT_FOR_UDP_DATA-> M_IDLEctrl-c\nend\n");
    EXPECT_EQ(p->err(), "File not opened");
}

TEST_F(Discovery, UpdateModeRecognisesApplicationAndBootLoader) {
    std::string image = dir.write("fw.bin", random_bytes(1000, 1));
    {
        auto p = start({image});
        send_udp(announcement("Tavix5S"));
        ASSERT_TRUE(p->wait_for_out("M_WAIT_FOR_UDP_DATA-> M_MACHINE_RECOGNIZED", kTraceMs)) << p->out();
        stop(*p);
        EXPECT_EQ(p->out().rfind("\nm_state: M_GET_IP-> M_WAIT_FOR_UDP_DATA", 0), 0u) << p->out();
        EXPECT_EQ(p->err(), "");
    }
    {
        auto p = start({image});
        send_udp(announcement("BootTavix7"));
        ASSERT_TRUE(p->wait_for_out("M_WAIT_FOR_UDP_DATA-> M_BOOTLOADER_RECOGNIZED", kTraceMs)) << p->out();
        stop(*p);
    }
}

TEST_F(Discovery, EmptyImageStaysInUpdateMode) {
    std::string image = dir.write("empty.bin", {});
    auto p = start({image});
    send_udp(announcement("BootTavix7"));
    ASSERT_TRUE(p->wait_for_out("M_BOOTLOADER_RECOGNIZED", kTraceMs)) << p->out();
    stop(*p);
    EXPECT_EQ(p->out().find("explore"), std::string::npos);
}

TEST_F(Discovery, JunkDatagramsAreDroppedAndTheNextAnnouncementIsTraced) {
    auto p = start({});
    send_udp(std::vector<uint8_t>(600, 'x'));  // longer than the 512-byte buffer
    send_udp({});                              // empty
    std::vector<uint8_t> wrong = announcement("Tavix7");
    wrong[0] ^= 0xFF;  // signature differs
    send_udp(wrong);
    send_udp(announcement("Tavix7"));
    ASSERT_TRUE(p->wait_for_out("M_IDLE", kTraceMs)) << p->out();
    stop(*p);
    EXPECT_EQ(p->out(), std::string(kExploreHead) + "\nPharse data:" + kAppTrace +
                            "\nm_state: M_WAIT_FOR_UDP_DATA-> M_IDLEctrl-c\nend\n");
}

TEST_F(Discovery, PortAlreadyTakenEndsWithStatusOne) {
    // Another program holds UDP 11000: the receive fails instead of waiting for ever.
    int holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(11000);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    Proc p(lanflash_cmd({}), dir.path());
    EXPECT_EQ(p.wait(kEndMs), 1);
    close(holder);
}

struct EventCase {
    int sig;
    const char* line;
};

void PrintTo(const EventCase& c, std::ostream* os) { *os << c.line; }

class ConsoleEvents : public Discovery, public ::testing::WithParamInterface<EventCase> {};

TEST_P(ConsoleEvents, PrintLineThenEndWithStatusZero) {
    auto p = start({});
    ASSERT_TRUE(p->wait_for_out("M_WAIT_FOR_UDP_DATA", kTraceMs));
    p->signal(GetParam().sig);
    EXPECT_EQ(p->wait(kEndMs), 0);
    EXPECT_EQ(p->out(), std::string(kExploreHead) + GetParam().line + "\nend\n");
}

INSTANTIATE_TEST_SUITE_P(Signals, ConsoleEvents,
                         ::testing::Values(EventCase{SIGINT, "ctrl-c"}, EventCase{SIGQUIT, "break"},
                                           EventCase{SIGTERM, "Some other event"},
                                           EventCase{SIGHUP, "Some other event"}),
                         [](const ::testing::TestParamInfo<EventCase>& info) {
                             return std::string(sigabbrev_np(info.param.sig));
                         });

TEST_F(Discovery, ImagesThatCannotBeSentWholeAreRefusedBeforeAnythingStarts) {
    std::string big = dir.write("big.bin", std::vector<uint8_t>(1048577, 0x55));
    std::string longname = dir.write(std::string(120, 'n') + ".bin", {1, 2, 3});
    std::string justfits = dir.write("fits.bin", std::vector<uint8_t>(1048576, 0x55));
    for (const std::string& image : {big, longname}) {
        Proc p(lanflash_cmd({image}), dir.path());
        EXPECT_EQ(p.wait(kEndMs), 1) << image;
        std::string err = p.err();
        EXPECT_EQ(err.rfind("lanflash: " + image + ": ", 0), 0u) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(p.out(), "");
    }
    // Exactly 1 MiB is accepted.
    auto p = start({justfits});
    stop(*p);
    EXPECT_EQ(p->err(), "");
}

}  // namespace
