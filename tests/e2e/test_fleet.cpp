// The options against several simulated machines: which machines are
// touched, how often, and how the run ends and reports.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <memory>

#include "harness.h"

using namespace e2e;

namespace {

constexpr int kStartMs = 5000;
constexpr int kFleetMs = 150000;

class Fleet : public ::testing::Test {
protected:
    ScratchDir dir;
    std::vector<uint8_t> bytes = random_bytes(3000, 11);
    std::string image = dir.write("fw.bin", bytes);
    std::vector<std::unique_ptr<Proc>> sims;

    // machine-sim number n at 127.0.0.<n>, serial 1000 + n, running its application.
    void start_sim(int n, std::vector<std::string> extra = {}) {
        std::string tag = std::to_string(n);
        std::vector<std::string> args{sim_bin(), "-a", "127.0.0." + tag, "-n", std::to_string(1000 + n),
                                      "--log", log_of(n), "--out", dir.file("out" + tag + ".bin")};
        args.insert(args.end(), extra.begin(), extra.end());
        sims.push_back(std::make_unique<Proc>(args, dir.path()));
    }
    std::string log_of(int n) const { return dir.file("sim" + std::to_string(n) + ".log"); }
    bool received_intact(int n) const {
        std::string got = read_file(dir.file("out" + std::to_string(n) + ".bin"));
        return got == std::string(bytes.begin(), bytes.end());
    }

    // lanflash with these options and the image; its exit status.
    int run(std::vector<std::string> args, std::unique_ptr<Proc>* keep) {
        args.push_back(image);
        *keep = std::make_unique<Proc>(lanflash_cmd(args), dir.path());
        return (*keep)->wait(kFleetMs);
    }
};

TEST_F(Fleet, AllResetsAndUpdatesEachMachineOnceAndEndsByItself) {
    for (int n : {21, 22, 23}) start_sim(n);
    std::unique_ptr<Proc> p;
    EXPECT_EQ(run({"--all", "--jobs", "1", "--timeout", "4"}, &p), 0) << p->out();
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
    EXPECT_EQ(run({"--serial", "1032", "--exit"}, &p), 0) << p->out();
    std::string out = p->out();
    EXPECT_NE(out.find("\nleft alone: 127.0.0.31"), std::string::npos) << out;
    EXPECT_NE(out.find("\nresult: 127.0.0.32 updated\nend\n"), std::string::npos) << out;
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

TEST_F(Fleet, FailedAndUnconfirmedMachinesEndWithStatusThree) {
    start_sim(41, {"--nak-storm"});
    start_sim(42, {"--silent-after-run"});
    std::unique_ptr<Proc> p;
    EXPECT_EQ(run({"--all", "--machine", "127.0.0.41", "--machine", "127.0.0.42", "--timeout", "3"}, &p), 3)
        << p->out();
    std::string out = p->out();
    EXPECT_NE(out.find("\nresult: 127.0.0.41 failed\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nresult: 127.0.0.42 unconfirmed\n"), std::string::npos) << out;
    auto failed = read_log(log_of(41));
    EXPECT_EQ(count_events(failed, "run"), 0);  // no '3' after a failed transfer
    EXPECT_EQ(count_events(failed, "receive"), 1);  // not tried again
    EXPECT_EQ(count_events(read_log(log_of(42)), "run"), 1);
}

}  // namespace
