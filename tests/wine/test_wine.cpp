// lanflash.exe on Wine's Windows interfaces against the Linux machine-sim:
// start-up, the console handler, Windows Sockets on both paths and a whole
// update. Each test runs in its own network namespace (tests/e2e/in-netns).
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>

#include "harness.h"

using namespace e2e;

namespace {

// A fresh wineserver brings up Wine's services on the program's first start.
constexpr int kWineStartMs = 30000;
constexpr int kTraceMs = 10000;
constexpr int kEndMs = 10000;
constexpr int kUpdateMs = 120000;


// The path as a Windows user types it: Wine's drive Z: is the Unix root.
std::string windows_path(const std::string& unix_path) {
    std::string p = "Z:" + unix_path;
    for (char& c : p)
        if (c == '/') c = '\\';
    return p;
}

// machine-sim writes a backslash in a file name as \x5C.
std::string as_logged(const std::string& name) {
    std::string out;
    for (char c : name) out += c == '\\' ? std::string("\\x5C") : std::string(1, c);
    return out;
}

class Wine : public ::testing::Test {
protected:
    ScratchDir dir;

    // Wine makes every socket in its server process, so the server must live
    // in this test's namespace: none may be left from another test.
    void SetUp() override {
        setenv("LANFLASH_RUNNER", WINE_LOADER, 0);
        setenv("LANFLASH_BIN", LANFLASH_BIN, 0);
        setenv("WINEPREFIX", WINE_PREFIX, 0);
        setenv("WINESERVER", WINE_SERVER, 0);
        setenv("WINEDEBUG", "-all", 0);
        setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 0);
        setenv("DISPLAY", "", 1);
        setenv("HOME", dir.path().c_str(), 0);  // Wine wants one; CI may have none
        wineserver("-k");
        ASSERT_EQ(wineserver("-w"), 0);
        ASSERT_EQ(wineserver("-p"), 0) << "could not start a wineserver";
    }

    void TearDown() override {
        wineserver("-k");
        wineserver("-w");
    }

    static int wineserver(const std::string& args) {
        std::string cmd = std::string("'") + getenv("WINESERVER") + "' " + args + " </dev/null >/dev/null 2>&1";
        return system(cmd.c_str());
    }

    std::unique_ptr<Proc> start(const std::vector<std::string>& args) {
        auto p = std::make_unique<Proc>(lanflash_cmd(args), dir.path());
        EXPECT_TRUE(wait_udp_bound(kWineStartMs)) << "listener never bound port 11000\n" << p->out() << p->err();
        return p;
    }

    // Ctrl-C as Wine delivers it: SIGINT becomes CTRL_C_EVENT.
    static void stop(Proc& p) {
        p.signal(SIGINT);
        EXPECT_EQ(p.wait(kEndMs), 0);
        EXPECT_NE(p.out().find("ctrl-c\nend\n"), std::string::npos) << p.out();
    }
};

TEST_F(Wine, VersionAndHelpExitAtOnce) {
    Proc version(lanflash_cmd({"--version"}), dir.path());
    EXPECT_EQ(version.wait(kWineStartMs), 0);
    EXPECT_EQ(version.out(), std::string("lanflash ") + LANFLASH_VERSION + "\n");
    Proc help(lanflash_cmd({"--help"}), dir.path());
    EXPECT_EQ(help.wait(kEndMs), 0);
    EXPECT_EQ(help.out().rfind("Usage: lanflash [IMAGE]\n", 0), 0u) << help.out();
    EXPECT_EQ(help.err(), "");
}

// Debian has no SQLite or libmicrohttpd for Windows: each option says in
// one line that this build lacks it, and what to use instead.
TEST_F(Wine, StationAndServeSayThisBuildLacksThem) {
    const std::string image = windows_path(dir.write("fw.bin", random_bytes(100, 5)));
    for (const auto& args : {std::vector<std::string>{"--station", "line.db", image},
                             std::vector<std::string>{"--serve", "8080", image}}) {
        Proc p(lanflash_cmd(args), dir.path());
        EXPECT_EQ(p.wait(kWineStartMs), 2);
        const std::string err = p.err();
        EXPECT_EQ(err.rfind("lanflash: " + args[0] + ": this build lacks it", 0), 0u) << err;
        EXPECT_NE(err.find("--report FILE"), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(p.out(), "");
    }
}

TEST_F(Wine, CtrlCReachesTheConsoleHandler) {
    auto p = start({});
    ASSERT_TRUE(p->wait_for_out("M_WAIT_FOR_UDP_DATA", kTraceMs)) << p->out();
    auto sent = Clock::now();
    p->signal(SIGINT);
    EXPECT_EQ(p->wait(kEndMs), 0);
    EXPECT_LE(ms_between(sent, Clock::now()), 3000);  // the main loop's next pass or two
    EXPECT_EQ(p->out(), std::string(kExploreHead) + "ctrl-c\nend\n");
    EXPECT_EQ(p->err(), "File not opened");
}

// A serial number past 2^31 - 1 clamps as on Linux, although long has 32
// bits here and 64 there.
TEST_F(Wine, ExploreShowsTheSimulatedMachine) {
    Proc sim({sim_bin(), "--interval-ms", "300", "--serial", "3000000000"}, dir.path());
    auto p = start({});
    ASSERT_TRUE(p->wait_for_out("M_IDLE", kTraceMs)) << p->out();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // more announcements, all ignored
    stop(*p);
    EXPECT_EQ(p->out(), std::string(kExploreHead) + kParsed + "47\n\nIP: 127.0.0.7 Port: 888 Name: Tavix7" +
                            " No: 2147483647\nm_state: M_WAIT_FOR_UDP_DATA-> M_IDLEctrl-c\nend\n");
    EXPECT_EQ(p->err(), "File not opened");
}

// Every poll sleeps 10 ms, so a sleep must last what it asks. Wine has no
// 15.6 ms tick of its own: this tries the timer path, not the tick.
TEST_F(Wine, TenMillisecondSleepsKeepTime) {
    Proc probe({WINE_LOADER, SLEEP_PROBE_BIN}, dir.path());
    ASSERT_EQ(probe.wait(kWineStartMs), 0) << probe.out() << probe.err();
    long total_ms = std::atol(probe.out().c_str());
    EXPECT_GE(total_ms, 950) << probe.out();
    EXPECT_LE(total_ms, 1500) << probe.out();
    RecordProperty("sleep_100x10_ms", static_cast<int>(total_ms));
}

// Windows cuts a long datagram to the buffer and reports WSAEMSGSIZE; an
// empty one is no announcement either. Neither may stop the listener.
TEST_F(Wine, OversizeAndEmptyDatagramsAreDropped) {
    auto p = start({});
    send_udp(std::vector<uint8_t>(600, 'x'));
    send_udp({});
    send_udp(announcement("Tavix7"));
    ASSERT_TRUE(p->wait_for_out("M_IDLE", kTraceMs)) << p->out();
    stop(*p);
    EXPECT_EQ(p->out(), std::string(kExploreHead) + kAppTrace +
                            "\nm_state: M_WAIT_FOR_UDP_DATA-> M_IDLEctrl-c\nend\n");
}

TEST_F(Wine, ResetPathSendsOneResetByteAndCloses) {
    TcpRecorder machine;
    std::string image = dir.write("fw.bin", random_bytes(3000, 7));
    auto p = start({image});
    send_udp(announcement("Tavix7"));
    ASSERT_TRUE(machine.wait_closed(1, kTraceMs));
    ASSERT_TRUE(p->wait_for_out("M_MACHINE_RESET-> M_WAIT_FOR_UDP_DATA", kTraceMs)) << p->out();
    auto conns = machine.conns();
    ASSERT_EQ(conns.size(), 1u);
    ASSERT_EQ(conns[0].bytes.size(), 1u);
    EXPECT_EQ(conns[0].bytes[0].value, 'R');
    long held_ms = ms_between(conns[0].bytes[0].at, conns[0].closed);
    EXPECT_GE(held_ms, 900);
    EXPECT_LE(held_ms, 2000);
    stop(*p);
}

// The whole road on Windows: reset, boot loader, YMODEM with 1024- and
// 128-byte blocks, run; the image typed as a Windows path.
TEST_F(Wine, CompleteUpdateArrivesByteForByte) {
    constexpr size_t kImageBytes = 40000;  // 39 long blocks and one short
    std::vector<uint8_t> data = random_bytes(kImageBytes, 11);
    std::string image = windows_path(dir.write("fw.bin", data));
    std::string sim_log = dir.file("sim.log"), sim_out = dir.file("received.bin");
    Proc sim({sim_bin(), "--state", "app", "--log", sim_log, "--out", sim_out, "--exit-after-run"}, dir.path());
    auto started = Clock::now();
    auto p = start({image});
    ASSERT_EQ(sim.wait(kUpdateMs), 0) << p->out() << read_file(sim_log);
    ASSERT_TRUE(p->wait_for_out("M_RUN_FIRMWARE-> M_IDLE", kTraceMs)) << p->out();
    long update_ms = ms_between(started, Clock::now());
    stop(*p);
    EXPECT_EQ(read_file(sim_out), std::string(data.begin(), data.end()));

    std::string out = p->out();
    std::string dots = "\nTransmit FW " + std::string(1 + 40, '.') + "\nm_state: M_DOWNLOAD-> M_RUN_FIRMWARE";
    size_t at = 0;
    for (const std::string& step : {std::string("M_WAIT_FOR_UDP_DATA-> M_MACHINE_RECOGNIZED"),
                                    std::string("M_MACHINE_SEND_RESET-> M_MACHINE_RESET"),
                                    std::string("M_WAIT_FOR_UDP_DATA-> M_BOOTLOADER_RECOGNIZED"),
                                    std::string("M_REQUEST_DOWNLOAD-> M_DOWNLOAD"), dots,
                                    std::string("M_RUN_FIRMWARE-> M_IDLE")}) {
        size_t found = out.find(step, at);
        ASSERT_NE(found, std::string::npos) << step << " in " << out;
        at = found + 1;
    }
    EXPECT_NE(read_file(sim_log).find("block 0 name=" + as_logged(image) + " size=40000\n"), std::string::npos)
        << read_file(sim_log);
    EXPECT_EQ(p->err(), "");
    RecordProperty("update_ms", static_cast<int>(update_ms));
}

// --fast on Windows' waits: the same update, paced by the machine's
// answers, and no byte before the machine asked for it.
TEST_F(Wine, FastUpdateEndsWithinSecondsOfTheMachinesOwnPauses) {
    std::vector<uint8_t> data = random_bytes(40000, 23);
    std::string image = windows_path(dir.write("fw.bin", data));
    std::string sim_log = dir.file("sim.log"), sim_out = dir.file("received.bin");
    auto p = start({"--fast", "--exit", "--machine", "127.0.0.7", image});
    Proc sim({sim_bin(), "--strict", "--log", sim_log, "--out", sim_out}, dir.path());
    auto started = Clock::now();
    EXPECT_EQ(p->wait(kUpdateMs), 0) << p->out() << p->err() << read_file(sim_log);
    // The machine's own pauses are 1.5 s; the design's would add ten.
    EXPECT_LT(ms_between(started, Clock::now()), 6000) << read_file(sim_log);
    sim.signal(SIGINT);
    sim.wait(kEndMs);
    EXPECT_EQ(read_file(sim_out), std::string(data.begin(), data.end()));
    EXPECT_EQ(count_events(read_log(sim_log), "early"), 0) << read_file(sim_log);
    EXPECT_NE(p->out().find("\nresult: 127.0.0.7 updated\nsummary: 1 updated\nend\n"), std::string::npos) << p->out();
}

// A busy network on Windows: 200 other machines announcing once a second
// neither hold up the one chosen nor keep the run from ending.
TEST_F(Wine, AmongTwoHundredAnnouncersOneMachineIsUpdatedAndTheRunEnds) {
    Crowd crowd(200, 40);
    std::vector<uint8_t> data = random_bytes(3000, 29);
    std::string image = windows_path(dir.write("fw.bin", data));
    auto p = start({"--fast", "--exit", "--machine", "127.0.0.7", image});
    Proc sim({sim_bin(), "--out", dir.file("received.bin")}, dir.path());
    EXPECT_EQ(p->wait(kUpdateMs), 0) << p->out() << p->err();
    sim.signal(SIGINT);
    sim.wait(kEndMs);
    EXPECT_EQ(read_file(dir.file("received.bin")), std::string(data.begin(), data.end()));
    const std::string out = p->out();
    EXPECT_NE(out.find("\nresult: 127.0.0.7 updated\nsummary: 1 updated, 200 left alone (not named)\nend\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\nleft alone: 127.40.0.1\n"), std::string::npos) << out;
}

// A port another program holds is told on Windows in the same words.
TEST_F(Wine, APortInUseIsToldWithOptions) {
    const int held = hold_udp_port();
    ASSERT_GE(held, 0);
    std::string image = windows_path(dir.write("fw.bin", random_bytes(100, 5)));
    Proc p(lanflash_cmd({"--exit", "--timeout", "5", image}), dir.path());
    EXPECT_EQ(p.wait(kWineStartMs), 1) << p.out();
    EXPECT_EQ(p.err(), "lanflash: cannot listen on UDP port 11000: Address already in use (is another lanflash running?)\n");
    close(held);
}

// --model on Windows: the Tavix7 is updated, the Tavix5S named beside it
// is left alone and skipped.
TEST_F(Wine, ModelChoosesTheTavix7AndSkipsTheTavix5S) {
    std::vector<uint8_t> data = random_bytes(3000, 31);
    std::string image = windows_path(dir.write("fw.bin", data));
    Proc t7({sim_bin(), "-a", "127.0.0.61", "--out", dir.file("out61")}, dir.path());
    Proc t5s({sim_bin(), "-a", "127.0.0.62", "-m", "5S", "--log", dir.file("sim62")}, dir.path());
    Proc p(lanflash_cmd({"--all", "--model", "Tavix7", "--fast", "--timeout", "5", "--machine", "127.0.0.61",
                         "--machine", "127.0.0.62", image}),
           dir.path());
    EXPECT_EQ(p.wait(kUpdateMs), 3) << p.out() << p.err();
    const std::string out = p.out();
    EXPECT_NE(out.find("127.0.0.62: left alone (model Tavix5S), Tavix5S No: 12345\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nresult: 127.0.0.61 updated\nresult: 127.0.0.62 skipped\n"
                       "summary: 1 updated, 1 skipped; skipped: 127.0.0.62 (another model)\nend\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(read_file(dir.file("out61")), std::string(data.begin(), data.end()));
    EXPECT_EQ(count_events(read_log(dir.file("sim62")), "connect"), 0);
}

// Two machines on Windows: each reset and updated once, the first
// machine's connection let go before the second's, and the run ends by
// itself with a result per machine.
// Three machines at once, each in a worker process of lanflash.exe's own.
TEST_F(Wine, AllUpdatesThreeMachinesAtOnceAndEndsByItself) {
    std::vector<uint8_t> data = random_bytes(3000, 13);
    std::string image = windows_path(dir.write("fw.bin", data));
    const std::vector<std::string> ns{"51", "52", "53"};
    std::vector<std::unique_ptr<Proc>> sims;
    std::vector<std::string> args{"--all", "--model", "Tavix7", "--exit", "--report", windows_path(dir.file("report.jsonl"))};
    for (const std::string& n : ns) {
        sims.push_back(std::make_unique<Proc>(
            std::vector<std::string>{sim_bin(), "-a", "127.0.0." + n, "--log", dir.file("sim" + n), "--out",
                                     dir.file("out" + n)},
            dir.path()));
        args.push_back("--machine");
        args.push_back("127.0.0." + n);
    }
    args.push_back(image);
    Proc p(lanflash_cmd(args), dir.path());
    EXPECT_EQ(p.wait(kUpdateMs), 0) << p.out() << p.err();
    std::string out = p.out();
    for (const std::string& n : ns) {
        EXPECT_NE(out.find("\n127.0.0." + n + ": transfer started, 3000 bytes in 10 blocks\n"), std::string::npos) << out;
        EXPECT_NE(out.find("\nresult: 127.0.0." + n + " updated\n"), std::string::npos) << out;
        EXPECT_EQ(read_file(dir.file("out" + n)), std::string(data.begin(), data.end())) << n;
        EXPECT_EQ(count_events(read_log(dir.file("sim" + n)), "reset"), 1) << n;
    }
    EXPECT_EQ(out.substr(out.size() - 32), " updated\nsummary: 3 updated\nend\n") << out;
    std::istringstream report(read_file(dir.file("report.jsonl")));
    std::vector<nlohmann::json> lines;
    for (std::string line; std::getline(report, line);) lines.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(lines.size(), 4u);
    // BCrypt's hash of the image, as sha256sum gives it.
    std::string sha = "?";
    if (FILE* f = popen(("sha256sum '" + dir.file("fw.bin") + "'").c_str(), "r")) {
        char hex[65] = "";
        if (fscanf(f, "%64s", hex) == 1) sha = hex;
        pclose(f);
    }
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(lines[i]["result"], "updated") << lines[i];
        EXPECT_EQ(lines[i]["image_sha256"], sha) << lines[i];
    }
    EXPECT_EQ(lines[3]["summary"]["updated"], 3) << lines[3];
    EXPECT_EQ(lines[3]["image_sha256"], sha) << lines[3];
}

}  // namespace
