// The command line: --help and --version, options before IMAGE only, and
// usage errors.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>

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

// On a line without any of our options, what follows IMAGE is ignored.
TEST(CommandLine, WithoutOptionsWhatFollowsTheImageIsIgnored) {
    ScratchDir dir;
    std::string image = dir.write("fw.bin", random_bytes(100, 5));
    Proc p(lanflash_cmd({image, "notes.txt", "--frobnicate"}), dir.path());
    ASSERT_TRUE(wait_udp_bound(kStartMs));
    ASSERT_TRUE(p.wait_for_out("M_GET_IP-> M_WAIT_FOR_UDP_DATA", kStartMs)) << p.out();
    p.signal(SIGINT);
    EXPECT_EQ(p.wait(kStartMs), 0);
    EXPECT_EQ(p.out(), "\nm_state: M_GET_IP-> M_WAIT_FOR_UDP_DATActrl-c\nend\n");
    EXPECT_EQ(p.err(), "");
}

// A usage error says what is wrong and exits 2 before anything starts.
TEST(CommandLine, UsageErrorsNameTheFaultAndExitTwo) {
    ScratchDir dir;
    std::string image = dir.write("fw.bin", random_bytes(100, 5));
    auto bytes = [](const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); };
    // The bad line after a comment, a CRLF line and a blank one.
    std::string hosts = dir.write("hosts.txt", bytes("# lab\n10.0.0.1\r\n\n10.0.0.300 # typo\n10.0.0.2\n"));
    std::string serials = dir.write("serials.txt", bytes("serial 42\nserial 42x\n"));
    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    // Each message is checked in the unit tests of the options; here, that
    // the program prints it as one line and exits 2, from the options, their
    // combination and a list file.
    const Case cases[] = {
        {{"--all", "--frobnicate", image}, "unknown option '--frobnicate'"},
        {{"--log-dir", "logs", image}, "--log-dir: only with --all"},
        {{"--all", "--model", "Tavix7", "--machines", hosts, image},
         "--machines " + hosts + ":4: '10.0.0.300' is not an address, a CIDR block or 'serial NUMBER'"},
        {{"--machine", "10.0.0.1", "--machines=" + serials, "--exit", image},
         "--machines " + serials + ":2: 'serial 42x' is not an address, a CIDR block or 'serial NUMBER'"},
    };
    for (const Case& c : cases) {
        Proc p(lanflash_cmd(c.args), dir.path());
        EXPECT_EQ(p.wait(kAtOnceMs), 2) << c.says;
        EXPECT_EQ(p.out(), "") << c.says;
        std::string err = p.err();
        EXPECT_EQ(err.rfind(std::string("lanflash: ") + c.says, 0), 0u) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
        EXPECT_NE(err.find("\nTry 'lanflash --help'.\n"), std::string::npos) << err;
    }
    // Asked for an update, a script must not see exploring end as success;
    // nor a run whose record or logs could not be kept. A file stands where
    // a folder is needed: that fails for root too.
    const Case unusable[] = {
        {{"--exit", dir.file("missing.bin")}, "cannot open"},
        // The list is read before the image is opened.
        {{"--exit", "--machines", dir.file("missing.txt"), dir.file("missing.bin")},
         "lanflash: --machines " + dir.file("missing.txt") + ": cannot read (No such file or directory)\n"},
        {{"--report", image + "/r.jsonl", image}, "--report: open "},
        {{"--all", "--model", "tavix7", "--log-dir", image + "/logs", image}, "--log-dir: cannot make "},
    };
    for (const Case& c : unusable) {
        Proc p(lanflash_cmd(c.args), dir.path());
        EXPECT_EQ(p.wait(kAtOnceMs), 1) << c.says;
        EXPECT_EQ(p.out(), "") << c.says;
        EXPECT_NE(p.err().find(c.says), std::string::npos) << p.err();
    }
}

// UDP port 11000 held by another program, most likely another lanflash:
// with options that is told before anything is sent, and the report ends
// with a summary of that status. Without options the end stays silent.
TEST(CommandLine, APortInUseIsToldWithOptionsAndTheReportSaysSo) {
    ScratchDir dir;
    std::string image = dir.write("fw.bin", random_bytes(100, 5));
    const int held = hold_udp_port();
    ASSERT_GE(held, 0);
    Proc p(lanflash_cmd({"--all", "--model", "Tavix7", "--exit", "--timeout", "5", "--report", dir.file("two.jsonl"),
                         image}),
           dir.path());
    EXPECT_EQ(p.wait(kAtOnceMs), 1);
    EXPECT_EQ(p.err(), "lanflash: cannot listen on UDP port 11000: Address already in use (is another lanflash running?)\n");
    EXPECT_EQ(p.out(), "");
    const std::string report = read_file(dir.file("two.jsonl"));
    EXPECT_EQ(report.rfind("{\"summary\":{\"updated\":0,\"failed\":0,\"unconfirmed\":0,\"missing\":0,\"skipped\":0},"
                           "\"status\":1,",
                           0),
              0u)
        << report;
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 1) << report;
    Proc design(lanflash_cmd({image}), dir.path());
    EXPECT_EQ(design.wait(kAtOnceMs), 1);
    EXPECT_EQ(design.err(), "");
    close(held);
}

}  // namespace
