// What the network and the machine can do wrong, against the real program:
// each test checks that lanflash keeps running, that its trace tells what
// happened, and that a failed transfer is never followed by '3'.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>

#include "harness.h"

using namespace e2e;

namespace {

constexpr int kStartMs = 5000;
constexpr int kTraceMs = 5000;
constexpr int kEndMs = 5000;
constexpr int kUpdateMs = 60000;
// A silent step: ten waits of 8 s, after the 5 s of unlocking and requesting.
constexpr int kSilentStepMs = 80000;
constexpr int kSilentFailMs = kSilentStepMs + 40000;


std::vector<long> times_of(const std::string& log_path, const std::string& prefix) {
    std::vector<long> t;
    for (const Event& e : read_log(log_path))
        if (e.text.rfind(prefix, 0) == 0) t.push_back(e.t);
    return t;
}

// The sequencer's transitions in the order traced, as "OLD-> NEW".
std::vector<std::string> transitions(const std::string& out) {
    auto name_end = [&](size_t i) {
        while (i < out.size() && (isupper(static_cast<unsigned char>(out[i])) || out[i] == '_')) ++i;
        return i;
    };
    std::vector<std::string> t;
    const std::string mark = "\nm_state: ";
    for (size_t at = out.find(mark); at != std::string::npos; at = out.find(mark, at + 1)) {
        const size_t from = at + mark.size();
        const size_t old_end = name_end(from);
        if (out.compare(old_end, 3, "-> ") != 0) continue;
        t.push_back(out.substr(from, name_end(old_end + 3) - from));
    }
    return t;
}

const std::vector<std::string> kResetPath = {
    "M_WAIT_FOR_UDP_DATA-> M_MACHINE_RECOGNIZED",
    "M_MACHINE_RECOGNIZED-> M_MACHINE_SEND_RESET",
    "M_MACHINE_SEND_RESET-> M_MACHINE_RESET",
    "M_MACHINE_RESET-> M_WAIT_FOR_UDP_DATA",
};

const std::vector<std::string> kUpdatePath = {
    "M_WAIT_FOR_UDP_DATA-> M_BOOTLOADER_RECOGNIZED",
    "M_BOOTLOADER_RECOGNIZED-> M_UNLOCK_MEMORY",
    "M_UNLOCK_MEMORY-> M_REQUEST_DOWNLOAD_PREPARE",
    "M_REQUEST_DOWNLOAD_PREPARE-> M_REQUEST_DOWNLOAD",
    "M_REQUEST_DOWNLOAD-> M_DOWNLOAD",
    "M_DOWNLOAD-> M_RUN_FIRMWARE",
    "M_RUN_FIRMWARE-> M_IDLE",
};

const std::vector<std::string> kFailedUpdate = {
    "M_GET_IP-> M_WAIT_FOR_UDP_DATA",
    "M_WAIT_FOR_UDP_DATA-> M_BOOTLOADER_RECOGNIZED",
    "M_BOOTLOADER_RECOGNIZED-> M_UNLOCK_MEMORY",
    "M_UNLOCK_MEMORY-> M_REQUEST_DOWNLOAD_PREPARE",
    "M_REQUEST_DOWNLOAD_PREPARE-> M_REQUEST_DOWNLOAD",
    "M_REQUEST_DOWNLOAD-> M_DOWNLOAD",
    "M_DOWNLOAD-> M_IDLE",
};

// Polls until `done` holds; false after timeout_ms.
bool until(int timeout_ms, const std::function<bool()>& done) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class Faults : public ::testing::Test {
protected:
    ScratchDir dir;
    std::string sim_log = dir.file("sim.log");
    std::string sim_out = dir.file("received.bin");

    std::vector<std::string> sim_args(const std::vector<std::string>& extra, const std::string& log,
                                      const std::string& out, const char* state = "boot") {
        std::vector<std::string> args{sim_bin(), "--state", state, "--log", log, "--out", out, "--exit-after-run"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    std::unique_ptr<Proc> start_sim(const std::vector<std::string>& extra, const char* state = "boot") {
        return std::make_unique<Proc>(sim_args(extra, sim_log, sim_out, state), dir.path());
    }
    std::unique_ptr<Proc> start_lanflash(const std::vector<std::string>& args) {
        auto p = std::make_unique<Proc>(lanflash_cmd(args), dir.path());
        EXPECT_TRUE(wait_udp_bound(kStartMs));
        return p;
    }
    // Ctrl-C: "ctrl-c", then "end", status 0.
    void stop(Proc& lanflash) {
        ASSERT_TRUE(lanflash.running()) << lanflash.out();
        lanflash.signal(SIGINT);
        EXPECT_EQ(lanflash.wait(kEndMs), 0);
        std::string out = lanflash.out();
        EXPECT_NE(out.find("ctrl-c\n"), std::string::npos) << out;
        EXPECT_EQ(out.size() >= 4 ? out.substr(out.size() - 4) : out, "end\n") << out;
    }
};

// A machine in a network namespace of its own, nested in this test's, with a
// lanflash beside it: lets a second slow scenario run at the same time as the
// first. The returned process is lanflash; the machine's pid is in a file.
std::unique_ptr<Proc> start_nested_update(const ScratchDir& dir, const std::vector<std::string>& sim,
                                          const std::vector<std::string>& lanflash) {
    std::string script = "ip link set lo up || exit 97; ";
    for (const std::string& a : sim) script += quoted(a) + " ";
    script += ">/dev/null 2>" + quoted(dir.file("nested-sim.err")) + " & echo $! >" + quoted(dir.file("nested-sim.pid")) +
              "; exec";
    for (const std::string& a : lanflash) script += " " + quoted(a);
    return std::make_unique<Proc>(std::vector<std::string>{"/usr/bin/unshare", "-rn", "/bin/sh", "-c", script},
                                  dir.path());
}

// Ends the nested machine however the test ends; it is not our child.
struct NestedSimStopper {
    const ScratchDir& dir;
    ~NestedSimStopper() {
        std::string pid = read_file(dir.file("nested-sim.pid"));
        if (!pid.empty()) kill(std::stoi(pid), SIGTERM);
    }
};

TEST_F(Faults, RefusedConnectionsAreRetriedUntilTheMachineAccepts) {
    std::vector<uint8_t> data = random_bytes(3000, 21);
    std::string image = dir.write("fw.bin", data);
    // Refuses for 2.5 s after each start: as its application, then as its boot loader.
    auto sim = start_sim({"--refuse-ms", "2500"}, "app");
    auto lf = start_lanflash({image});
    ASSERT_EQ(sim->wait(kUpdateMs), 0) << lf->out() << read_file(sim_log);
    ASSERT_TRUE(lf->wait_for_out("M_RUN_FIRMWARE-> M_IDLE", kStartMs));
    stop(*lf);
    EXPECT_EQ(read_file(sim_out), std::string(data.begin(), data.end()));
    EXPECT_EQ(times_of(sim_log, "refuse").size(), 2u) << read_file(sim_log);
    // Refused attempts leave no trace. Every connection the machine took is
    // one path in the trace: the resets (one more for each application
    // announcement that waited in the queue meanwhile), then the update.
    size_t connections = times_of(sim_log, "connect").size();
    ASSERT_GE(connections, 2u) << read_file(sim_log);
    std::vector<std::string> expected{"M_GET_IP-> M_WAIT_FOR_UDP_DATA"};
    for (size_t i = 0; i + 1 < connections; ++i) expected.insert(expected.end(), kResetPath.begin(), kResetPath.end());
    expected.insert(expected.end(), kUpdatePath.begin(), kUpdatePath.end());
    EXPECT_EQ(transitions(lf->out()), expected) << lf->out() << read_file(sim_log);
}

TEST_F(Faults, SilentAndClosingReceiversFailTheStepAfterTenWaits) {
    std::vector<uint8_t> data = random_bytes(8192, 22);
    std::string image = dir.write("fw.bin", data);
    // Both take 80 s, so they run side by side: the silent one here, the one
    // that hangs up in a namespace of its own.
    std::string closing_log = dir.file("closing.log");
    auto closing = start_nested_update(
        dir, sim_args({"--close-at-block", "3"}, closing_log, dir.file("closing.bin")), lanflash_cmd({image}));
    NestedSimStopper stop_nested_sim{dir};
    auto sim = start_sim({"--silent-from-block", "2"});
    auto lf = start_lanflash({image});

    Clock::time_point silent_at, closed_at, silent_failed_at, closing_failed_at;
    ASSERT_TRUE(until(kUpdateMs, [&] {
        auto now = Clock::now();
        if (silent_at == Clock::time_point() && !times_of(sim_log, "block 2 silent").empty()) silent_at = now;
        if (closed_at == Clock::time_point() && !times_of(closing_log, "block 3 close").empty()) closed_at = now;
        return silent_at != Clock::time_point() && closed_at != Clock::time_point();
    })) << lf->out() << closing->out();
    ASSERT_TRUE(until(kSilentFailMs, [&] {
        auto now = Clock::now();
        if (silent_failed_at == Clock::time_point() && lf->out().find("failed") != std::string::npos)
            silent_failed_at = now;
        if (closing_failed_at == Clock::time_point() && closing->out().find("failed") != std::string::npos)
            closing_failed_at = now;
        return silent_failed_at != Clock::time_point() && closing_failed_at != Clock::time_point();
    })) << lf->out() << closing->out();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // '3' would have gone by now

    // Ten waits of about 8 s each, then the failure; nothing after it. As
    // below, the sleeps only overshoot: up to 4 s late, never 3 s early.
    for (long waited : {ms_between(silent_at, silent_failed_at), ms_between(closed_at, closing_failed_at)}) {
        EXPECT_GE(waited, kSilentStepMs - 3000);
        EXPECT_LE(waited, kSilentStepMs + 4000);
    }
    std::vector<long> silent = times_of(sim_log, "block 2 silent");
    ASSERT_EQ(silent.size(), 10u) << read_file(sim_log);
    // Each wait is 800 sleeps of 10 ms, and sleeps only overshoot: on a
    // loaded machine or under ThreadSanitizer about 0.3 ms each, 2 s in all.
    EXPECT_GE(silent.back() - silent.front(), 9 * 8000 - 1000);
    EXPECT_LE(silent.back() - silent.front(), 9 * 8000 + 4000);
    EXPECT_EQ(times_of(sim_log, "rx-cmd 0x33").size(), 0u) << read_file(sim_log);
    EXPECT_EQ(times_of(sim_log, "eot").size(), 0u);
    EXPECT_EQ(times_of(closing_log, "close block").size(), 1u) << read_file(closing_log);
    EXPECT_EQ(times_of(closing_log, "rx-cmd 0x33").size(), 0u) << read_file(closing_log);

    stop(*lf);
    stop(*closing);
    // Block 0 and the blocks acknowledged before the fault each have their dot.
    EXPECT_NE(lf->out().find("\nTransmit FW ..\nTransmit FW failed\nm_state: M_DOWNLOAD-> M_IDLE"),
              std::string::npos)
        << lf->out();
    EXPECT_NE(closing->out().find("\nTransmit FW ...\nTransmit FW failed\nm_state: M_DOWNLOAD-> M_IDLE"),
              std::string::npos)
        << closing->out();
    EXPECT_EQ(transitions(lf->out()), kFailedUpdate);
    EXPECT_EQ(transitions(closing->out()), kFailedUpdate);

    std::string nested_err = read_file(dir.file("nested-sim.err"));
    EXPECT_EQ(nested_err.find("Sanitizer"), std::string::npos) << nested_err;
    EXPECT_EQ(nested_err.find("runtime error"), std::string::npos) << nested_err;
}

// Announcements cut short: before the address ends, inside the name, right
// behind it; and one that fills the whole buffer with no zero byte in it.
TEST_F(Faults, TruncatedDatagramsAreRejectedOrReadWithZeros) {
    const std::vector<uint8_t> app = announcement("Tavix7");
    const std::vector<uint8_t> sig(app.begin(), app.begin() + 11);
    std::vector<uint8_t> in_address = sig;
    in_address.push_back(10);
    in_address.push_back(1);
    struct Run {
        std::vector<std::vector<uint8_t>> datagrams;
        std::string trace;
    };
    std::vector<uint8_t> full(app.begin(), app.begin() + 27);
    std::string name = "Tavix5S" + std::string(512 - 27 - 7, 'x');
    full.insert(full.end(), name.begin(), name.end());
    const std::vector<Run> runs = {
        {{sig, in_address, std::vector<uint8_t>(app.begin(), app.begin() + 30),
          std::vector<uint8_t>(app.begin(), app.begin() + 33)},
         std::string(kParsed) + "11\n\nIP: 0.0.0.0 Port: 0" + kParsed + "13\n\nIP: 10.1.0.0 Port: 0" + kParsed +
             "30\n\nIP: 127.0.0.7 Port: 888" + kParsed + "33\n\nIP: 127.0.0.7 Port: 888 Name: Tavix7 No: 0"},
        {{full}, std::string(kParsed) + "512\n\nIP: 127.0.0.7 Port: 888 Name: " + name + " No: 0"},
    };
    for (const Run& run : runs) {
        auto lf = start_lanflash({});
        for (const auto& d : run.datagrams) send_udp(d);
        ASSERT_TRUE(lf->wait_for_out("M_IDLE", kTraceMs * static_cast<int>(run.datagrams.size()))) << lf->out();
        stop(*lf);
        EXPECT_EQ(lf->out(), kExploreHead + run.trace + "\nm_state: M_WAIT_FOR_UDP_DATA-> M_IDLEctrl-c\nend\n");
    }
}

TEST_F(Faults, JunkBurstDelaysTheNextAnnouncementByASecondPerDatagram) {
    constexpr int kJunk = 20;
    auto lf = start_lanflash({});
    auto sent = Clock::now();
    for (int i = 0; i < kJunk; ++i) {
        std::vector<uint8_t> junk = random_bytes(1 + static_cast<size_t>(i) * 25, 100 + i);
        junk[0] = 0x00;  // never the signature
        send_udp(junk);
    }
    send_udp(announcement("Tavix7"));
    ASSERT_TRUE(lf->wait_for_out("M_IDLE", 3 * kJunk * 1000)) << lf->out();
    long delay_ms = ms_between(sent, Clock::now());
    std::cout << "[ MEASURED ] " << kJunk << " junk datagrams delayed the announcement by " << delay_ms << " ms\n";
    RecordProperty("burst_delay_ms", static_cast<int>(delay_ms));
    // One datagram per poll of the sequencer, a second apart.
    EXPECT_GE(delay_ms, kJunk * 1000 - 1000);
    EXPECT_LE(delay_ms, 2 * kJunk * 1000 + 2000);
    stop(*lf);
    std::string junk_traces;
    for (int i = 0; i < kJunk; ++i) junk_traces += "\nPharse data:";
    EXPECT_EQ(lf->out(), kExploreHead + junk_traces + kParsed +
                             "42\n\nIP: 127.0.0.7 Port: 888 Name: Tavix7 No: 12345"
                             "\nm_state: M_WAIT_FOR_UDP_DATA-> M_IDLEctrl-c\nend\n");
}

TEST_F(Faults, CtrlCDuringTheTransferLetsItFinishFirst) {
    std::vector<uint8_t> data = random_bytes(16 * 1024, 23);
    std::string image = dir.write("fw.bin", data);
    auto sim = start_sim({"--block-delay-ms", "400"});
    auto lf = start_lanflash({image});
    ASSERT_TRUE(until(kUpdateMs, [&] { return !times_of(sim_log, "block 4 ok").empty(); })) << lf->out();
    lf->signal(SIGINT);
    ASSERT_TRUE(lf->wait_for_out("ctrl-c\n", kEndMs));
    // Twelve blocks at 400 ms remain, then '3' and the last pass.
    EXPECT_EQ(lf->wait(kUpdateMs), 0) << lf->out();
    EXPECT_EQ(sim->wait(kEndMs), 0) << read_file(sim_log);
    EXPECT_EQ(read_file(sim_out), std::string(data.begin(), data.end()));

    std::string out = lf->out();
    size_t download = out.find("M_REQUEST_DOWNLOAD-> M_DOWNLOAD");
    size_t ctrl_c = out.find("ctrl-c\n");
    size_t done = out.find("\nm_state: M_DOWNLOAD-> M_RUN_FIRMWARE");
    ASSERT_NE(done, std::string::npos) << out;
    EXPECT_LT(download, ctrl_c) << out;
    EXPECT_LT(ctrl_c, done) << out;
    EXPECT_EQ(out.substr(done), "\nm_state: M_DOWNLOAD-> M_RUN_FIRMWARE\nm_state: M_RUN_FIRMWARE-> M_IDLEend\n");
    EXPECT_EQ(times_of(sim_log, "end-of-batch").size(), 1u);
    EXPECT_EQ(times_of(sim_log, "run size=16384 intact").size(), 1u) << read_file(sim_log);
}

}  // namespace
