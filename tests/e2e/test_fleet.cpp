// The options against several simulated machines: which machines are
// touched, how often, and how the run ends and reports.
#include <fcntl.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <memory>

#include "fleet_fixture.h"
#include "harness.h"

using namespace e2e;

namespace {

TEST_F(Fleet, AllResetsAndUpdatesEachMachineOnceAndEndsByItself) {
    for (int n : {21, 22, 23}) start_sim(n);
    std::unique_ptr<Proc> p;
    EXPECT_EQ(run({"--all", "--model", "Tavix7", "--fast", "--jobs", "1", "--timeout", "4"}, &p), 0) << p->out();
    std::string out = p->out();
    for (int n : {21, 22, 23}) {
        std::string addr = "127.0.0." + std::to_string(n);
        EXPECT_NE(out.find("\nresult: " + addr + " updated\n"), std::string::npos) << out;
        auto log = read_log(log_of(n));
        EXPECT_EQ(count_events(log, "reset"), 1) << addr;
        EXPECT_EQ(count_events(log, "receive"), 1) << addr;
        EXPECT_EQ(count_events(log, "end-of-batch"), 1) << addr;
        EXPECT_TRUE(received_intact(n)) << addr;
    }
    size_t results = 0;
    for (size_t at = out.find("\nresult: "); at != std::string::npos; at = out.find("\nresult: ", at + 1)) ++results;
    EXPECT_EQ(results, 3u) << out;
    EXPECT_EQ(out.substr(out.size() - 4), "end\n");
}

TEST_F(Fleet, SerialChoosesOneMachineAndNeverConnectsToAnother) {
    start_sim(31);
    start_sim(32);
    std::unique_ptr<Proc> p;
    EXPECT_EQ(run({"--serial", "1032", "--fast", "--exit"}, &p), 0) << p->out();
    std::string out = p->out();
    EXPECT_NE(out.find("\nleft alone: 127.0.0.31"), std::string::npos) << out;
    EXPECT_NE(out.find("\nresult: 127.0.0.32 updated\nsummary: 1 updated, 1 left alone (not named)\nend\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("result: 127.0.0.31"), std::string::npos) << out;
    EXPECT_EQ(count_events(read_log(log_of(31)), "connect"), 0);
    EXPECT_TRUE(received_intact(32));
}

TEST_F(Fleet, NoMachineBeforeTheTimeoutEndsWithStatusFour) {
    auto started = Clock::now();
    std::unique_ptr<Proc> p;
    EXPECT_EQ(run({"--timeout", "1"}, &p), 4);
    EXPECT_LT(ms_between(started, Clock::now()), 4000);
    EXPECT_EQ(p->out().find("result:"), std::string::npos) << p->out();
    EXPECT_EQ(p->out().substr(p->out().size() - 5), "\nend\n");
}

TEST_F(Fleet, FailedUnconfirmedAndUpdatedMachinesEndWithStatusThreeAndAReport) {
    start_sim(41, {"--nak-storm"});
    start_sim(42, {"--silent-after-run"});
    start_sim(43);
    std::unique_ptr<Proc> p;
    std::vector<std::string> args = named({41, 42, 43});
    for (const char* a : {"--all", "--model", "Tavix7", "--fast", "--timeout", "3", "--report"}) args.push_back(a);
    args.push_back(dir.file("report.jsonl"));
    EXPECT_EQ(run(args, &p), 3) << p->out();
    std::string out = p->out();
    EXPECT_NE(out.find("\nresult: 127.0.0.41 failed\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nresult: 127.0.0.42 unconfirmed\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nresult: 127.0.0.43 updated\n"), std::string::npos) << out;
    auto failed = read_log(log_of(41));
    EXPECT_EQ(count_events(failed, "run"), 0);  // no '3' after a failed transfer
    EXPECT_EQ(count_events(failed, "receive"), 1);  // not tried again
    EXPECT_EQ(count_events(read_log(log_of(42)), "run"), 1);

    // One line per machine as it finished, then the summary; read as JSON.
    std::map<std::string, nlohmann::json> lines;
    nlohmann::json summary;
    std::istringstream report(read_file(dir.file("report.jsonl")));
    std::string line;
    while (std::getline(report, line)) {
        nlohmann::json j = nlohmann::json::parse(line);
        ASSERT_TRUE(summary.is_null()) << "a line after the summary: " << line;
        if (j.contains("summary")) summary = j;
        else lines[j.at("address").get<std::string>()] = j;
    }
    ASSERT_EQ(lines.size(), 3u);
    const nlohmann::json& f = lines["127.0.0.41"];
    EXPECT_EQ(f["result"], "failed");
    EXPECT_EQ(f["reason"], "transfer failed");
    EXPECT_EQ(f["data_blocks_sent"], 1);  // every answer was NAK: block 1, ten times
    EXPECT_EQ(f["data_blocks_resent"], 9);
    EXPECT_TRUE(f["transfer_ms"].is_number());
    EXPECT_TRUE(f["run_to_confirm_ms"].is_null());
    const nlohmann::json& u = lines["127.0.0.42"];
    EXPECT_EQ(u["result"], "unconfirmed");
    EXPECT_EQ(u["reason"], "not confirmed");
    EXPECT_TRUE(u["run_to_confirm_ms"].is_null());
    const nlohmann::json& ok = lines["127.0.0.43"];
    EXPECT_EQ(ok["result"], "updated");
    EXPECT_TRUE(ok["reason"].is_null());
    EXPECT_EQ(ok["name"], "Tavix7");
    EXPECT_EQ(ok["serial"], 1043);
    EXPECT_EQ(ok["image"], image);
    EXPECT_EQ(ok["image_bytes"], 3000);
    EXPECT_EQ(ok["data_blocks_sent"], 10);  // two of 1024 bytes, eight of 128
    EXPECT_EQ(ok["data_blocks_resent"], 0);
    for (const char* key : {"reset_to_boot_ms", "transfer_ms", "run_to_confirm_ms"})
        EXPECT_TRUE(ok[key].is_number() && ok[key] >= 0) << key << ": " << ok;
    EXPECT_LE(ok["started"].get<std::string>(), ok["finished"].get<std::string>());
    EXPECT_EQ(summary["summary"],
              nlohmann::json({{"updated", 1}, {"failed", 1}, {"unconfirmed", 1}, {"missing", 0}, {"skipped", 0}}));
    EXPECT_EQ(summary["status"], 3);
    EXPECT_EQ(summary["version"], LANFLASH_VERSION);
}

// Every machine named is accounted for: one that never announced itself
// has a line and a record of its own, after the others, and fails the run;
// a board swapped in at a done address is a machine of its own.
TEST_F(Fleet, AnAbsentMachineIsReportedMissingAndASwappedBoardIsUpdatedToo) {
    start_sim(91);
    start_sim(93);
    std::vector<std::string> args = named({91, 92, 93});
    for (const char* a : {"--all", "--model", "Tavix7", "--fast", "--timeout", "4", "--report"}) args.push_back(a);
    args.push_back(dir.file("report.jsonl"));
    args.push_back(image);
    Proc p(lanflash_cmd(args), dir.path());
    ASSERT_TRUE(p.wait_for_out("127.0.0.91: confirmed", kFleetMs)) << p.out();
    sims[0]->signal(SIGINT);
    sims[0]->wait(kStartMs);
    Proc swapped({sim_bin(), "-a", "127.0.0.91", "-n", "2091", "--log", dir.file("swapped.log"), "--out",
                  dir.file("swapped.bin")},
                 dir.path());
    EXPECT_EQ(p.wait(kFleetMs), 3) << p.out();
    swapped.signal(SIGINT);
    std::string out = p.out();
    auto lines_of = [&](const std::string& line) {
        size_t n = 0;
        for (size_t at = out.find("\n" + line + "\n"); at != std::string::npos; at = out.find("\n" + line + "\n", at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(lines_of("result: 127.0.0.91 updated"), 2u) << out;
    EXPECT_EQ(lines_of("result: 127.0.0.93 updated"), 1u) << out;
    const std::string last = "\nresult: 127.0.0.92 not heard\nsummary: 3 updated, 1 not heard; not heard: 127.0.0.92\nend\n";
    EXPECT_EQ(out.substr(out.size() - last.size()), last) << out;
    EXPECT_EQ(read_file(dir.file("swapped.bin")), std::string(bytes.begin(), bytes.end()));
    std::vector<nlohmann::json> lines;
    std::istringstream report(read_file(dir.file("report.jsonl")));
    for (std::string line; std::getline(report, line);) lines.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(lines.size(), 5u);
    std::map<uint32_t, std::string> serials;
    for (size_t i = 0; i < 3; ++i) serials[lines[i]["serial"].get<uint32_t>()] = lines[i]["result"];
    EXPECT_EQ(serials, (std::map<uint32_t, std::string>{{1091, "updated"}, {1093, "updated"}, {2091, "updated"}}));
    const nlohmann::json& missing = lines[3];
    EXPECT_EQ(missing["address"], "127.0.0.92");
    EXPECT_EQ(missing["result"], "missing");
    EXPECT_EQ(missing["reason"], "not heard");
    EXPECT_TRUE(missing["name"].is_null() && missing["serial"].is_null() && missing["started"].is_null());
    EXPECT_EQ(lines[4]["summary"],
              nlohmann::json({{"updated", 3}, {"failed", 0}, {"unconfirmed", 0}, {"missing", 1}, {"skipped", 0}}));
    EXPECT_EQ(lines[4]["image_sha256"], lines[0]["image_sha256"]);
    EXPECT_EQ(lines[0]["image_sha256"].get<std::string>().size(), 64u);
}

// An update that failed before its run command is tried again from where
// the machine is: here its boot loader, so it is reset once in all.
TEST_F(Fleet, ATransferThatFailedOnceIsTriedAgainFromTheBootLoader) {
    start_sim(95, {"--fail-transfers", "1"});
    std::unique_ptr<Proc> p;
    EXPECT_EQ(run({"--fast", "--retries", "1", "--machine", "127.0.0.95", "--exit", "--report",
                   dir.file("report.jsonl")},
                  &p),
              0)
        << p->out();
    std::string out = p->out();
    // Without --model, the first machine about to be updated names its model.
    EXPECT_NE(out.find("\n127.0.0.95 is a Tavix7 and is about to be updated; no --model was given "
                       "(--model Tavix7 keeps the image to it)"),
              std::string::npos)
        << out;
    const std::string again = "\n127.0.0.95: trying again (2 of 2) after: transfer failed\n";
    ASSERT_NE(out.find(again), std::string::npos) << out;
    EXPECT_EQ(out.find(again, out.find(again) + 1), std::string::npos) << out;
    EXPECT_NE(out.find("\nresult: 127.0.0.95 updated\nsummary: 1 updated\nend\n"), std::string::npos) << out;
    auto log = read_log(log_of(95));
    EXPECT_EQ(count_events(log, "reset"), 1);
    EXPECT_EQ(count_events(log, "receive"), 2);
    EXPECT_TRUE(received_intact(95));
    const std::string report = read_file(dir.file("report.jsonl"));
    nlohmann::json record = nlohmann::json::parse(report.substr(0, report.find('\n')));
    EXPECT_EQ(record["result"], "updated");
    EXPECT_EQ(record["tries"], 2);
    EXPECT_EQ(record["last_failure"], "transfer failed");
    EXPECT_EQ(record["data_blocks_resent"], 0);  // the record tells of the try that counted
}

// machine-sim --fleet: three machines in one process, each with a fault
// state, a serial number, an image file and log lines of its own.
TEST_F(Fleet, OneSimPlaysAFleetWhoseMachinesEachFailOnceAndAreUpdated) {
    const std::vector<int> ns{41, 42, 43};
    Proc sim({sim_bin(), "--fleet", "3", "-a", "127.0.0.41", "-n", "1041", "--fail-transfers", "1",
              "--out-dir", dir.path(), "--log", dir.file("fleet.log")},
             dir.path());
    std::unique_ptr<Proc> p;
    std::vector<std::string> args = named(ns);
    for (const char* a : {"--all", "--model", "Tavix7", "--fast", "--retries", "1", "--exit"}) args.push_back(a);
    EXPECT_EQ(run(args, &p), 0) << p->out();
    const std::string out = p->out();
    const auto log = read_log(dir.file("fleet.log"));
    for (int n : ns) {
        const std::string addr = "127.0.0." + std::to_string(n);
        EXPECT_NE(out.find(addr + ": chosen, Tavix7 No: " + std::to_string(1000 + n) + "\n"), std::string::npos) << out;
        EXPECT_NE(out.find("\nresult: " + addr + " updated\n"), std::string::npos) << out;
        EXPECT_EQ(count_events(log, addr + " reset"), 1) << addr;
        EXPECT_EQ(count_events(log, addr + " receive"), 2) << addr;  // the failed batch, then the good one
        EXPECT_GT(count_events(log, addr + " block 1 nak-storm"), 0) << addr;
        EXPECT_EQ(read_file(dir.file(addr + ".bin")), std::string(bytes.begin(), bytes.end())) << addr;
    }
}

// Above the old limit of 256 jobs: three hundred machines of one
// machine-sim in one wave, each reset and updated exactly once.
TEST_F(Fleet, ThreeHundredMachinesInOneWaveAreEachUpdatedOnce) {
    constexpr int kMachines = 300;
    std::string list;
    std::vector<std::string> addrs;
    for (int i = 0; i < kMachines; ++i) {
        // 127.0.3.1 and up: the fleet's consecutive addresses.
        const uint32_t host = (3u << 8) + 1u + static_cast<uint32_t>(i);
        addrs.push_back("127.0." + std::to_string(host >> 8) + "." + std::to_string(host & 0xFF));
        list += addrs.back() + "\n";
    }
    Proc sim({sim_bin(), "--fleet", std::to_string(kMachines), "-a", addrs.front(), "-n", "3000", "--out-dir",
              dir.path(), "--log", dir.file("fleet.log")},
             dir.path());
    std::unique_ptr<Proc> p;
    const auto started = Clock::now();
    EXPECT_EQ(run({"--machines", dir.write("list.txt", std::vector<uint8_t>(list.begin(), list.end())), "--all", "--model", "Tavix7", "--fast", "--jobs",
                   std::to_string(kMachines), "--exit"},
                  &p),
              0)
        << p->out();
    const long took_ms = ms_between(started, Clock::now());
    const std::string out = p->out();
    EXPECT_NE(out.find("\nsummary: 300 updated\n"), std::string::npos) << out;
    const auto log = read_log(dir.file("fleet.log"));
    const std::string image_bytes(bytes.begin(), bytes.end());
    for (const std::string& addr : addrs) {
        EXPECT_EQ(count_events(log, addr + " reset"), 1) << addr;
        EXPECT_EQ(count_events(log, addr + " receive"), 1) << addr;
        EXPECT_EQ(read_file(dir.file(addr + ".bin")), image_bytes) << addr;
    }
    EXPECT_LT(took_ms, 45000) << out;
}

// A worker takes a while to be handed a large image, and its machine
// announces itself many times meanwhile: the datagram it is to reset on
// still reaches it first, and no machine waits for a second chance.
TEST_F(Fleet, AMachineThatAnnouncesWhileItsWorkerIsFedIsResetAtOnce) {
    bytes = random_bytes(1024 * 1024, 23);
    image = dir.write("fw.bin", bytes);
    const std::vector<int> ns{44, 45, 46};
    Proc sim({sim_bin(), "--fleet", "3", "-a", "127.0.0.44", "-n", "1044", "-i", "20", "--out-dir", dir.path(),
              "--log", dir.file("fleet.log")},
             dir.path());
    std::unique_ptr<Proc> p;
    std::vector<std::string> args = named(ns);
    for (const char* a : {"--all", "--model", "Tavix7", "--fast", "--exit"}) args.push_back(a);
    EXPECT_EQ(run(args, &p), 0) << p->out();
    const auto log = read_log(dir.file("fleet.log"));
    for (int n : ns) {
        const std::string addr = "127.0.0." + std::to_string(n);
        EXPECT_EQ(count_events(log, addr + " reset"), 1) << addr;
        EXPECT_EQ(read_file(dir.file(addr + ".bin")), std::string(bytes.begin(), bytes.end())) << addr;
        // Reset within seconds of its first word, not after the ten seconds
        // that a machine waits before lanflash resets it again.
        long first = -1, reset = -1;
        for (const Event& e : log) {
            if (first < 0 && e.text.rfind(addr + " announce", 0) == 0) first = e.t;
            if (reset < 0 && e.text == addr + " reset") reset = e.t;
        }
        EXPECT_LT(reset - first, 5000) << addr;
    }
}

// Eight machines at once: their transfers run side by side, and each is
// reset and updated exactly once.
TEST_F(Fleet, ParallelTransfersOverlapAndEachMachineIsUpdatedOnce) {
    bytes = random_bytes(64 * 1024, 17);
    image = dir.write("fw.bin", bytes);
    const std::vector<int> ns{61, 62, 63, 64, 65, 66, 67, 68};
    for (int n : ns) start_sim(n);
    std::unique_ptr<Proc> p;
    std::vector<std::string> args = named(ns);
    for (const char* a : {"--all", "--model", "Tavix7", "--exit", "--log-dir"}) args.push_back(a);
    args.push_back(dir.file("logs"));
    EXPECT_EQ(run(args, &p), 0) << p->out();
    std::string out = p->out();
    std::vector<std::pair<long, long>> transfers;
    for (int n : ns) {
        std::string addr = "127.0.0." + std::to_string(n);
        auto log = read_log(log_of(n));
        EXPECT_EQ(count_events(log, "reset"), 1) << addr;
        EXPECT_EQ(count_events(log, "receive"), 1) << addr;
        EXPECT_EQ(count_events(log, "end-of-batch"), 1) << addr;
        EXPECT_TRUE(received_intact(n)) << addr;
        EXPECT_NE(out.find("\nresult: " + addr + " updated\n"), std::string::npos) << out;
        // The worker's trace is the one-machine trace.
        std::string trace = read_file(dir.file("logs/" + addr + ".log"));
        EXPECT_NE(trace.find("m_state: M_DOWNLOAD-> M_RUN_FIRMWARE"), std::string::npos) << addr << trace;
        transfers.push_back(window(n, "block 0", "end-of-batch"));
    }
    EXPECT_GE(most_at_once(transfers), 4) << out;
    // The console: lines per machine event, no trace, no dots.
    EXPECT_EQ(out.find("m_state"), std::string::npos) << out;
    EXPECT_EQ(out.find(".."), std::string::npos) << out;
    EXPECT_NE(out.find("\n127.0.0.61: transfer started, 65536 bytes in 64 blocks\n"), std::string::npos) << out;
    EXPECT_LT(std::count(out.begin(), out.end(), '\n'), 8 * 20 + 10) << out;
}

TEST_F(Fleet, JobsTwoNeverHasMoreThanTwoMachinesInProgress) {
    const std::vector<int> ns{71, 72, 73, 74};
    for (int n : ns) start_sim(n);
    std::unique_ptr<Proc> p;
    std::vector<std::string> args = named(ns);
    for (const char* a : {"--all", "--model", "Tavix7", "--fast", "--exit", "--jobs", "2"}) args.push_back(a);
    EXPECT_EQ(run(args, &p), 0) << p->out();
    std::vector<std::pair<long, long>> in_progress;
    for (int n : ns) {
        EXPECT_TRUE(received_intact(n)) << n;
        in_progress.push_back(window(n, "connect", "run"));
    }
    EXPECT_EQ(most_at_once(in_progress), 2) << p->out();
}

// On a terminal the machines in progress stay in a block below the event
// lines, redrawn in place, and the block is gone before the results.
TEST_F(Fleet, OnATerminalALiveBlockIsRedrawnAndClearedBeforeTheResults) {
    for (int n : {81, 82}) start_sim(n);
    start_sim(83, {"--refuse-ms", "7000"});  // connecting, with no answer for seconds
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::string slave = ptsname(master);
    std::vector<std::string> cmd = lanflash_cmd(named({81, 82, 83}));
    for (const char* a : {"--all", "--model", "Tavix7", "--exit"}) cmd.push_back(a);
    cmd.push_back(image);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setsid();
        int tty = open(slave.c_str(), O_RDWR);
        if (tty < 0) _exit(127);
        dup2(tty, 1);
        setenv("TERM", "xterm", 1);
        std::vector<char*> argv;
        for (std::string& a : cmd) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    std::string screen;
    char buf[4096];
    auto deadline = Clock::now() + std::chrono::milliseconds(kFleetMs);
    int status = -1;
    while (Clock::now() < deadline) {
        pollfd pfd{master, POLLIN, 0};
        if (poll(&pfd, 1, 50) > 0) {
            ssize_t n = read(master, buf, sizeof buf);
            if (n > 0) screen.append(buf, static_cast<size_t>(n));
        }
        if (status < 0 && waitpid(pid, &status, WNOHANG) == pid) break;
    }
    close(master);
    ASSERT_TRUE(WIFEXITED(status)) << screen;
    EXPECT_EQ(WEXITSTATUS(status), 0) << screen;
    const size_t results = screen.find("result: 127.0.0.81 updated");
    ASSERT_NE(results, std::string::npos) << screen;
    // Redrawn: the block's lines erased many times, the bar with a percent.
    size_t erasures = 0;
    for (size_t at = screen.find("F\x1b[J"); at != std::string::npos; at = screen.find("F\x1b[J", at + 1)) ++erasures;
    EXPECT_GE(erasures, 5u) << screen;
    EXPECT_NE(screen.find("      transfer    ["), std::string::npos) << screen;
    // Its head counts the machines; the boot loader's steps are named, and
    // a step that has waited for an answer for seconds says so.
    EXPECT_NE(screen.find("done 0 (0 updated), in progress 3, waiting 0, left alone 0"), std::string::npos) << screen;
    EXPECT_NE(screen.find("      unlocking   [ "), std::string::npos) << screen;
    EXPECT_NE(screen.find("127.0.0.83      resetting   [ "), std::string::npos) << screen;
    // Said from its fifth silent second on, at whichever redraw comes first.
    bool silent_told = false;
    for (char s = '5'; s <= '9'; ++s)
        silent_told = silent_told || screen.find(std::string(1, s) + "s  no answer for " + s + " s") != std::string::npos;
    EXPECT_TRUE(silent_told) << screen;
    // Cleared: the last erasure comes before the results, and no block after.
    EXPECT_LT(screen.rfind("F\x1b[J"), results) << screen;
    EXPECT_EQ(screen.find("%", results), std::string::npos) << screen;
}

}  // namespace

// A busy network: 300 other machines announcing once a second. The chosen
// machine is updated and the run ends by itself; each of the others is
// traced once and left alone, not once per announcement.
TEST_F(Fleet, AmongThreeHundredAnnouncersOneMachineIsUpdatedAndEachOtherTracedOnce) {
    constexpr int kCrowd = 300;
    Crowd crowd(kCrowd, 20);
    start_sim(51);
    std::unique_ptr<Proc> p;
    EXPECT_EQ(run({"--machine", "127.0.0.51", "--exit"}, &p), 0) << p->out();
    std::string out = p->out();
    EXPECT_NE(out.find("\nresult: 127.0.0.51 updated\nsummary: 1 updated, " + std::to_string(kCrowd) +
                       " left alone (not named)\nend\n"),
              std::string::npos)
        << out;
    EXPECT_TRUE(received_intact(51));
    auto count = [&](const std::string& text) {
        long n = 0;
        for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
        return n;
    };
    for (int i = 0; i < kCrowd; ++i) {
        const std::string addr = Crowd::address(i, 20);
        EXPECT_EQ(count("\nIP: " + addr + " "), 1) << addr;
        EXPECT_EQ(count("\nleft alone: " + addr + "\n"), 1) << addr;
    }
    EXPECT_GT(crowd.sent(), 3 * kCrowd);  // they kept announcing meanwhile
}

// Exploring a busy network lists every machine once and ends on time.
TEST_F(Fleet, ExploringThreeHundredAnnouncersListsEachOnceAndEnds) {
    constexpr int kCrowd = 300;
    Crowd crowd(kCrowd, 30);
    auto started = Clock::now();
    Proc p(lanflash_cmd({"--all", "--timeout", "2"}), dir.path());
    EXPECT_EQ(p.wait(30000), 0) << p.out();
    EXPECT_LT(ms_between(started, Clock::now()), 10000);
    std::string out = p.out();
    for (int i = 0; i < kCrowd; ++i) {
        const std::string line = "\nmachine: " + Crowd::address(i, 30) + " Tavix7 No: " + std::to_string(7000 + i) + "\n";
        size_t at = out.find(line);
        EXPECT_NE(at, std::string::npos) << line;
        EXPECT_EQ(out.find(line, at + 1), std::string::npos) << line;
    }
}
