// Whole updates into machine-sim: what goes over the wire, when, and that
// the image arrives intact or, when the transfer fails, is never started.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <memory>
#include <sstream>

#include "harness.h"

using namespace e2e;

namespace {

constexpr int kStartMs = 5000;
constexpr int kUpdateMs = 90000;
constexpr int kEndMs = 5000;

// Time of the first event that starts with `prefix`, or -1.
long first(const std::vector<Event>& log, const std::string& prefix) {
    for (const Event& e : log)
        if (e.text.rfind(prefix, 0) == 0) return e.t;
    return -1;
}

class Download : public ::testing::Test {
protected:
    ScratchDir dir;
    std::string sim_log = dir.file("sim.log");
    std::string sim_out = dir.file("received.bin");

    // machine-sim as a boot loader that exits once it has run the image.
    std::unique_ptr<Proc> start_sim(std::vector<std::string> extra, const char* state = "boot") {
        std::vector<std::string> args{sim_bin(), "--state", state, "--log", sim_log, "--out", sim_out,
                                      "--exit-after-run"};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<Proc>(args, dir.path());
    }

    std::unique_ptr<Proc> start_lanflash(const std::string& image) {
        auto p = std::make_unique<Proc>(lanflash_cmd({image}), dir.path());
        EXPECT_TRUE(wait_udp_bound(kStartMs));
        return p;
    }

    void stop(Proc& lanflash) {
        lanflash.signal(SIGINT);
        EXPECT_EQ(lanflash.wait(kEndMs), 0);
    }
};

class ImageSizes : public Download, public ::testing::WithParamInterface<size_t> {};

TEST_P(ImageSizes, ArriveIntactWithOneDotPerBlock) {
    size_t size = GetParam();
    std::vector<uint8_t> data = random_bytes(size, static_cast<uint32_t>(size));
    std::string image = dir.write("fw.bin", data);
    auto sim = start_sim({});
    auto lf = start_lanflash(image);
    ASSERT_EQ(sim->wait(kUpdateMs), 0) << lf->out() << read_file(sim_log);
    ASSERT_TRUE(lf->wait_for_out("M_RUN_FIRMWARE-> M_IDLE", kStartMs));
    stop(*lf);
    EXPECT_EQ(read_file(sim_out), std::string(data.begin(), data.end()));

    size_t blocks = size / 1024 + (size % 1024 + 127) / 128;
    std::string dots = "\nTransmit FW " + std::string(1 + blocks, '.') + "\nm_state: M_DOWNLOAD-> M_RUN_FIRMWARE";
    EXPECT_NE(lf->out().find(dots), std::string::npos) << lf->out();
    auto log = read_log(sim_log);
    EXPECT_EQ(count_events(log, "block 0 name=" + image + " size=" + std::to_string(size)), 1);
    EXPECT_EQ(count_events(log, "block "), static_cast<long>(blocks) + 1);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ImageSizes, ::testing::Values(0, 1, 128, 1023, 1024, 1500, 1048576));

TEST_F(Download, WireTimeLineFromResetToRun) {
    std::string image = dir.write("fw.bin", random_bytes(5000, 3));
    auto sim = start_sim({}, "app");
    auto lf = start_lanflash(image);
    ASSERT_EQ(sim->wait(kUpdateMs), 0) << lf->out() << read_file(sim_log);
    stop(*lf);
    auto log = read_log(sim_log);
    long reset = first(log, "rx-cmd 0x52");
    long unlock = first(log, "rx-cmd 0x34");
    long request = first(log, "rx-cmd 0x31");
    long block0 = first(log, "block 0 name=");
    long batch_end = first(log, "end-of-batch");
    long run = first(log, "rx-cmd 0x33");
    ASSERT_TRUE(reset >= 0 && unlock > reset && request > unlock && block0 > request && batch_end > block0 &&
                run > batch_end)
        << read_file(sim_log);
    EXPECT_NEAR(request - unlock, 1000, 300);
    EXPECT_NEAR(block0 - request, 4000, 500);
    EXPECT_NEAR(run - batch_end, 2000, 500);
    EXPECT_NE(lf->out().find("M_RUN_FIRMWARE-> M_IDLE"), std::string::npos);
}

// --fast changes only the waiting: a strict machine sees no byte before it
// asked for it, and each connection carries what a run without it sent.
TEST_F(Download, FastSendsTheSameBytesOnEachConnectionSooner) {
    std::vector<uint8_t> data = random_bytes(5000, 13);
    std::string image = dir.write("fw.bin", data);
    auto update = [&](const std::string& tag, std::vector<std::string> args) {
        std::string log = dir.file(tag + ".log"), out = dir.file(tag + ".bin");
        Proc sim({sim_bin(), "--strict", "--log", log, "--out", out, "--rx-dump", dir.file(tag)}, dir.path());
        for (const char* a : {"--exit", "--machine", "127.0.0.7"}) args.push_back(a);
        args.push_back(image);
        auto started = Clock::now();
        Proc lf(lanflash_cmd(args), dir.path());
        EXPECT_EQ(lf.wait(kUpdateMs), 0) << lf.out() << read_file(log);
        long took_ms = ms_between(started, Clock::now());
        sim.signal(SIGINT);
        sim.wait(kEndMs);
        EXPECT_EQ(read_file(out), std::string(data.begin(), data.end())) << tag;
        EXPECT_EQ(count_events(read_log(log), "early"), 0) << read_file(log);
        // Four long blocks and eight short ones, each with its dot.
        EXPECT_NE(lf.out().find("\nTransmit FW " + std::string(1 + 12, '.') + "\nm_state: M_DOWNLOAD-> M_RUN_FIRMWARE"),
                  std::string::npos)
            << lf.out();
        return took_ms;
    };
    update("paused", {});
    // The design's pauses alone add up to ten seconds; the machine's own
    // (a second announcement, two restarts and its first 'C') to 2.5 s.
    EXPECT_LT(update("fast", {"--fast"}), 6000);
    for (const char* conn : {".1", ".2"}) {
        std::string sent = read_file(dir.file("fast") + conn);
        EXPECT_FALSE(sent.empty()) << conn;
        EXPECT_TRUE(sent == read_file(dir.file("paused") + conn)) << "connection " << conn << " differs";
    }
    EXPECT_EQ(read_file(dir.file("paused.3")) + read_file(dir.file("fast.3")), "");
}

// A boot loader that never asks for block 0 still gets it, after the
// design's four seconds.
TEST_F(Download, FastFallsBackToTheDesignsPauseWithoutASign) {
    std::vector<uint8_t> data = random_bytes(2000, 19);
    std::string image = dir.write("fw.bin", data);
    auto sim = start_sim({"--c-interval-ms", "600000"});
    Proc lf(lanflash_cmd({"--fast", "--machine", "127.0.0.7", image}), dir.path());
    ASSERT_EQ(sim->wait(kUpdateMs), 0) << lf.out() << read_file(sim_log);
    lf.signal(SIGINT);
    lf.wait(kEndMs);
    auto log = read_log(sim_log);
    EXPECT_NEAR(first(log, "block 0 name=") - first(log, "rx-cmd 0x31"), 4000, 300) << read_file(sim_log);
    EXPECT_EQ(count_events(log, "tx-c"), 0) << read_file(sim_log);
    EXPECT_EQ(read_file(sim_out), std::string(data.begin(), data.end()));
}

TEST_F(Download, BlockZeroCarriesThePathAsTyped) {
    // A relative path with a directory part, as a user would type it.
    ASSERT_EQ(system(("mkdir -p " + dir.file("images")).c_str()), 0);
    std::vector<uint8_t> data = random_bytes(300, 9);
    dir.write("images/fw-2.bin", data);
    auto sim = start_sim({});
    std::vector<std::string> cmd = lanflash_cmd({"images/fw-2.bin"});
    // Run lanflash from the scratch folder so that the relative path resolves.
    std::vector<std::string> sh{"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", dir.path()};
    sh.insert(sh.end(), cmd.begin(), cmd.end());
    Proc lf(sh, dir.path());
    ASSERT_EQ(sim->wait(kUpdateMs), 0) << lf.out() << read_file(sim_log);
    stop(lf);
    EXPECT_EQ(count_events(read_log(sim_log), "block 0 name=images/fw-2.bin size=300"), 1) << read_file(sim_log);
    EXPECT_EQ(read_file(sim_out), std::string(data.begin(), data.end()));
}

struct Failure {
    const char* name;
    std::vector<std::string> sim_args;
};

void PrintTo(const Failure& f, std::ostream* os) { *os << f.name; }

class FailedTransfer : public Download, public ::testing::WithParamInterface<Failure> {};

TEST_P(FailedTransfer, IsReportedAndNeverRun) {
    std::string image = dir.write("fw.bin", random_bytes(4096, 5));
    auto sim = start_sim(GetParam().sim_args);
    auto lf = start_lanflash(image);
    ASSERT_TRUE(lf->wait_for_out("\nTransmit FW failed", kUpdateMs)) << lf->out() << read_file(sim_log);
    ASSERT_TRUE(lf->wait_for_out("\nm_state: M_DOWNLOAD-> M_IDLE", kStartMs)) << lf->out();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // '3' would have gone by now
    stop(*lf);
    EXPECT_EQ(lf->out().find("M_RUN_FIRMWARE"), std::string::npos) << lf->out();
    EXPECT_EQ(count_events(read_log(sim_log), "rx-cmd 0x33"), 0) << read_file(sim_log);
    EXPECT_EQ(count_events(read_log(sim_log), "run "), 0);
}

INSTANTIATE_TEST_SUITE_P(Receivers, FailedTransfer,
                         ::testing::Values(Failure{"Garbage", {"--garbage"}},
                                           Failure{"CForever", {"--c-forever"}},
                                           Failure{"NakStorm", {"--nak-storm"}}),
                         [](const ::testing::TestParamInfo<Failure>& info) { return info.param.name; });

}  // namespace
