// The faults a user meets in a run with options, against machine-sims: a
// Ctrl-C (once, then again), a machine that hangs up, a machine heard only
// once, and an image file changed while the run goes on. Without options
// each of them stays as the design has it (test_faults.cpp).
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <signal.h>

#include <map>
#include <sstream>

#include "../plain_crc.h"
#include "fleet_fixture.h"
#include "harness.h"

using namespace e2e;

namespace {

class Stopping : public Fleet {
protected:
    std::string report = dir.file("report.jsonl");

    Stopping() {
        bytes = random_bytes(64 * 1024, 41);
        image = dir.write("fw.bin", bytes);
    }
    std::map<std::string, nlohmann::json> records() const {
        std::map<std::string, nlohmann::json> by_address;
        std::istringstream in(read_file(report));
        for (std::string line; std::getline(in, line);) {
            nlohmann::json j = nlohmann::json::parse(line);
            if (!j.contains("summary")) by_address[j["address"].get<std::string>()] = j;
        }
        return by_address;
    }
    long events(int n, const std::string& prefix) const { return count_events(read_log(log_of(n)), prefix); }
    static size_t count(const std::string& out, const std::string& text) {
        size_t c = 0;
        for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++c;
        return c;
    }
    // Until the output holds text `times` times; false after a fleet's time.
    static bool until_count(const Proc& p, const std::string& text, size_t times) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(kFleetMs);
        while (count(p.out(), text) < times) {
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
};

// A parallel run: the first Ctrl-C lets the three transfers under way
// finish, each with its link still read, and begins nothing more; the
// machine that waited for a job is left untouched.
TEST_F(Stopping, TheFirstCtrlCLetsTheTransfersUnderWayFinish) {
    for (int n : {31, 32, 33}) start_sim(n, {"--block-delay-ms", "60"});
    std::vector<std::string> args = named({31, 32, 33, 34});
    for (const char* a : {"--all", "--model", "Tavix7", "--fast", "--jobs", "3", "--exit", "--report"}) args.push_back(a);
    args.push_back(report);
    args.push_back(image);
    Proc p(lanflash_cmd(args), dir.path());
    ASSERT_TRUE(until_count(p, ": chosen", 3)) << p.out();
    start_sim(34);  // the jobs are taken: it waits
    ASSERT_TRUE(until_count(p, ": transfer started", 3)) << p.out();
    p.signal(SIGINT);
    EXPECT_NE(p.wait(kFleetMs), -1) << p.out();
    const std::string out = p.out();
    EXPECT_NE(out.find("\nstopping: 3 transfers under way finish first; Ctrl-C again abandons them\n"),
              std::string::npos)
        << out;
    for (int n : {31, 32, 33}) {
        EXPECT_TRUE(received_intact(n)) << n;
        EXPECT_EQ(events(n, "rx-cmd 0x33"), 1) << n;
        // Heard to confirm before the run ends.
        EXPECT_EQ(records()["127.0.0." + std::to_string(n)]["result"], "updated") << out;
    }
    EXPECT_EQ(count(out, "transfer failed"), 0u) << out;
    EXPECT_EQ(events(34, "connect"), 0);
    EXPECT_NE(out.find("\nresult: 127.0.0.34 skipped\n"), std::string::npos) << out;
    EXPECT_EQ(records()["127.0.0.34"]["reason"], "run stopped");
}

// Stopped while its workers are still being handed a large image, before
// any of them began: each worker ends, and so does the run, in moments.
TEST_F(Stopping, ACtrlCBeforeAWorkerBeganEndsItAndTheRun) {
    bytes = random_bytes(1024 * 1024, 43);
    image = dir.write("fw.bin", bytes);
    for (int n : {35, 36, 37}) start_sim(n, {"-i", "50"});
    std::vector<std::string> args = named({35, 36, 37});
    for (const char* a : {"--all", "--model", "Tavix7", "--fast", "--exit", "--report"}) args.push_back(a);
    args.push_back(report);
    args.push_back(image);
    Proc p(lanflash_cmd(args), dir.path());
    ASSERT_TRUE(until_count(p, ": chosen", 1)) << p.out();
    p.signal(SIGINT);
    const auto stopped = Clock::now();
    EXPECT_EQ(p.wait(kFleetMs), 3) << p.out();  // not every machine was updated
    EXPECT_LT(ms_between(stopped, Clock::now()), 5000) << p.out();
    // (A machine named and not yet heard when the run stopped is not heard.)
    for (const auto& [address, record] : records())
        EXPECT_TRUE(record["result"] == "updated" || record["reason"] == "run stopped" ||
                    record["reason"] == "not heard")
            << record.dump();
}

// Asked again, the transfers under way are abandoned: no '3', their
// connections closed, each machine failed, and the run over in moments.
TEST_F(Stopping, TheSecondCtrlCAbandonsTheTransfersWithoutTheRunCommand) {
    // Transfers of 10 s: ending within 4 s (a sanitizer's slower exits
    // included) is not waiting for them.
    for (int n : {35, 36}) start_sim(n, {"--block-delay-ms", "150"});
    std::vector<std::string> args = named({35, 36});
    for (const char* a : {"--all", "--model", "Tavix7", "--fast", "--exit", "--report"}) args.push_back(a);
    args.push_back(report);
    args.push_back(image);
    Proc p(lanflash_cmd(args), dir.path());
    ASSERT_TRUE(until_count(p, ": transfer started", 2)) << p.out();
    p.signal(SIGINT);
    ASSERT_TRUE(p.wait_for_out("stopping: 2 transfers", kStartMs)) << p.out();
    p.signal(SIGINT);
    const auto abandoned = Clock::now();
    EXPECT_EQ(p.wait(kFleetMs), 3) << p.out();
    EXPECT_LT(ms_between(abandoned, Clock::now()), 4000) << p.out();
    for (int n : {35, 36}) {
        const std::string addr = "127.0.0." + std::to_string(n);
        EXPECT_EQ(events(n, "rx-cmd 0x33"), 0) << n;
        EXPECT_FALSE(received_intact(n)) << n;
        EXPECT_EQ(records()[addr]["reason"], "abandoned") << addr;
        EXPECT_NE(p.out().find("\nresult: " + addr + " failed\n"), std::string::npos) << p.out();
    }
}

// One machine in this process: a Ctrl-C before its transfer leaves it in
// its boot loader, untouched further; one during the transfer lets it end
// with '3' and waits to hear it confirm; a second one abandons it.
TEST_F(Stopping, OneMachineStopsBeforeItsTransferFinishesItOrAbandonsIt) {
    struct Case {
        const char* waits_for;  // in the trace, before the Ctrl-C
        bool fast;              // the first needs the pause before the transfer
        int presses;
        const char* result;
        const char* reason;  // nullptr: none
        long run_commands;
        int status;
    };
    const Case cases[] = {
        {"M_UNLOCK_MEMORY-> M_REQUEST_DOWNLOAD_PREPARE", false, 1, "skipped", "run stopped in boot loader", 0, 3},
        {"\nTransmit FW ...", true, 1, "updated", nullptr, 1, 0},
        {"\nTransmit FW ...", true, 2, "failed", "abandoned", 0, 3},
    };
    int n = 40;
    for (const Case& c : cases) {
        ++n;
        start_sim(n, {"--state", "boot", "--block-delay-ms", "40"});
        const std::string addr = "127.0.0." + std::to_string(n);
        std::remove(report.c_str());
        std::vector<std::string> args{"--machine", addr, "--exit", "--report", report, image};
        if (c.fast) args.insert(args.begin(), "--fast");
        Proc p(lanflash_cmd(args), dir.path());
        ASSERT_TRUE(p.wait_for_out(c.waits_for, kFleetMs)) << p.out();
        p.signal(SIGINT);
        if (c.presses == 2) {
            ASSERT_TRUE(p.wait_for_out("stopping: 1 transfer under way finishes first", kStartMs)) << p.out();
            p.signal(SIGINT);
        }
        const auto asked = Clock::now();
        EXPECT_EQ(p.wait(kFleetMs), c.status) << p.out();
        EXPECT_LT(ms_between(asked, Clock::now()), c.presses == 2 ? 3000 : 20000) << p.out();
        const nlohmann::json record = records()[addr];
        EXPECT_EQ(record["result"], c.result) << p.out();
        EXPECT_EQ(record["reason"], c.reason ? nlohmann::json(c.reason) : nlohmann::json()) << p.out();
        EXPECT_EQ(events(n, "rx-cmd 0x33"), c.run_commands) << c.result;
        if (c.run_commands == 1) {
            EXPECT_TRUE(received_intact(n));
        }
        if (c.presses == 1 && c.run_commands == 0) {
            EXPECT_EQ(events(n, "block 0"), 0) << p.out();
            EXPECT_NE(p.out().find("\nresult: " + addr + " skipped (it waits in its boot loader; a rerun updates it)\n"),
                      std::string::npos)
                << p.out();
        }
        if (c.presses == 2) {
            EXPECT_NE(p.out().find("transfer failed: abandoned at data block "), std::string::npos) << p.out();
        }
    }
}

// A machine that hangs up in the transfer ends the step at once, with the
// reason in the trace, and --retries tries it again.
TEST_F(Stopping, AClosedConnectionEndsTheStepAtOnce) {
    start_sim(51, {"--state", "boot", "--close-at-block", "10"});
    Proc p(lanflash_cmd({"--machine", "127.0.0.51", "--fast", "--retries", "1", "--timeout", "20", image}), dir.path());
    const std::string told = "\n127.0.0.51: transfer failed: the machine closed the connection at data block 10\n";
    auto closed = [&] { return events(51, "block 10 close") > 0; };
    while (!closed() && p.running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto at = Clock::now();
    ASSERT_TRUE(p.wait_for_out(told, kFleetMs)) << p.out();
    EXPECT_LT(ms_between(at, Clock::now()), 1000) << p.out();  // not ten waits of 8 s
    EXPECT_EQ(p.wait(kFleetMs), 3) << p.out();
    const std::string out = p.out();
    EXPECT_EQ(count(out, told), 2u) << out;
    EXPECT_NE(out.find("trying again (2 of 2) after: transfer failed"), std::string::npos) << out;
    EXPECT_EQ(events(51, "rx-cmd 0x33"), 0);
}

// A boot loader that announces itself once is updated: the listening
// second ends, and the one datagram heard is acted on. (The machine starts
// once lanflash listens: its one datagram must not come before that.)
TEST_F(Stopping, AMachineHeardOnceIsActedOn) {
    Proc p(lanflash_cmd({"--machine", "127.0.0.52", "--fast", "--exit", image}), dir.path());
    ASSERT_TRUE(p.wait_for_out("M_WAIT_FOR_UDP_DATA", kFleetMs)) << p.out();
    start_sim(52, {"--state", "boot", "--count", "1"});
    EXPECT_EQ(p.wait(kFleetMs), 0) << p.out();
    EXPECT_NE(p.out().find("\nresult: 127.0.0.52 updated\n"), std::string::npos) << p.out();
    EXPECT_TRUE(received_intact(52));
}

// Workers send the bytes the parent loaded and the report names, even when
// the file is rewritten during the run with others of the same length and
// CRC-16.
TEST_F(Stopping, EveryMachineGetsTheBytesTheReportNames) {
    for (int n : {53, 54}) start_sim(n);
    std::vector<std::string> args = named({53, 54});
    for (const char* a : {"--all", "--model", "Tavix7", "--fast", "--exit", "--report"}) args.push_back(a);
    args.push_back(report);
    args.push_back(image);
    Proc p(lanflash_cmd(args), dir.path());
    ASSERT_TRUE(p.wait_for_out("chosen", kFleetMs)) << p.out();
    // Other bytes, whose CRC-16 and length are the image's own: a block of
    // them followed by their CRC adds nothing to the CRC.
    std::vector<uint8_t> other = bytes;
    std::vector<uint8_t> delta(bytes.size(), 0);
    for (size_t i = 100; i < 200; ++i) delta[i] = static_cast<uint8_t>(i * 7 + 1);
    const uint16_t crc = PlainCrc(delta.data(), 200);
    delta[200] = static_cast<uint8_t>(crc >> 8);
    delta[201] = static_cast<uint8_t>(crc & 0xFF);
    for (size_t i = 0; i < other.size(); ++i) other[i] ^= delta[i];
    ASSERT_EQ(PlainCrc(other.data(), other.size()), PlainCrc(bytes.data(), bytes.size()));
    ASSERT_NE(other, bytes);
    (void)dir.write("fw.bin", other);
    EXPECT_EQ(p.wait(kFleetMs), 0) << p.out() << p.err();
    for (int n : {53, 54}) EXPECT_TRUE(received_intact(n)) << n;
    std::string sha = "?";
    (void)dir.write("original.bin", bytes);
    if (FILE* f = popen(("sha256sum '" + dir.file("original.bin") + "'").c_str(), "r")) {
        char hex[65] = "";
        if (fscanf(f, "%64s", hex) == 1) sha = hex;
        pclose(f);
    }
    for (const auto& r : records()) EXPECT_EQ(r.second["image_sha256"], sha) << r.first;
}

}  // namespace
