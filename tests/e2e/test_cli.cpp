// The two options, and that they are options only as the first argument.
#include <gtest/gtest.h>
#include <signal.h>

#include "harness.h"

using namespace e2e;

namespace {

constexpr int kStartMs = 5000;
constexpr int kAtOnceMs = 2000;  // a run without options never ends by itself

TEST(CommandLine, VersionAndHelpPrintAndExitAtOnce) {
    ScratchDir dir;
    Proc version(lanflash_cmd({"--version", "ignored"}), dir.path());
    EXPECT_EQ(version.wait(kAtOnceMs), 0);
    EXPECT_EQ(version.out(), std::string("lanflash ") + LANFLASH_VERSION + "\n");
    EXPECT_EQ(version.err(), "");

    Proc help(lanflash_cmd({"--help"}), dir.path());
    EXPECT_EQ(help.wait(kAtOnceMs), 0);
    std::string usage = help.out();
    EXPECT_EQ(usage.rfind("Usage: lanflash [IMAGE]\n", 0), 0u) << usage;
    EXPECT_NE(usage.find("--version"), std::string::npos) << usage;
    EXPECT_EQ(help.err(), "");
}

TEST(CommandLine, OptionsAfterTheImageAndLookalikesKeepTheirOldMeaning) {
    ScratchDir dir;
    std::string image = dir.write("fw.bin", random_bytes(100, 5));
    {
        Proc p(lanflash_cmd({image, "--version"}), dir.path());
        ASSERT_TRUE(wait_udp_bound(kStartMs));
        ASSERT_TRUE(p.wait_for_out("M_GET_IP-> M_WAIT_FOR_UDP_DATA", kStartMs)) << p.out();
        p.signal(SIGINT);
        EXPECT_EQ(p.wait(kStartMs), 0);
        EXPECT_EQ(p.out(), "\nm_state: M_GET_IP-> M_WAIT_FOR_UDP_DATActrl-c\nend\n");
        EXPECT_EQ(p.err(), "");
    }
    // Not quite an option: an image path that cannot be opened.
    for (const char* lookalike : {"-v", "--Version", "--help=1"}) {
        Proc p(lanflash_cmd({lookalike}), dir.path());
        ASSERT_TRUE(wait_udp_bound(kStartMs)) << lookalike;
        ASSERT_TRUE(p.wait_for_out("M_WAIT_FOR_UDP_DATA", kStartMs)) << lookalike;
        p.signal(SIGINT);
        EXPECT_EQ(p.wait(kStartMs), 0) << lookalike;
        EXPECT_EQ(p.err(), "File not opened") << lookalike;
    }
}

}  // namespace
