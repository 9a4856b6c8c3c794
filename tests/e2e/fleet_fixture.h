// Several simulated machines and lanflash with options: the fixture of the
// fleet and safety tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {

constexpr int kStartMs = 5000;
constexpr int kFleetMs = 150000;

class Fleet : public ::testing::Test {
protected:
    ScratchDir dir;
    std::vector<uint8_t> bytes = random_bytes(3000, 11);
    std::string image = dir.write("fw.bin", bytes);
    std::vector<std::unique_ptr<Proc>> sims;
    std::map<int, Clock::time_point> sim_started;

    // machine-sim number n at 127.0.0.<n>, serial 1000 + n, running its application.
    void start_sim(int n, std::vector<std::string> extra = {}) {
        std::string tag = std::to_string(n);
        std::vector<std::string> args{sim_bin(), "-a", "127.0.0." + tag, "-n", std::to_string(1000 + n),
                                      "--log", log_of(n), "--out", dir.file("out" + tag + ".bin")};
        args.insert(args.end(), extra.begin(), extra.end());
        sim_started[n] = Clock::now();
        sims.push_back(std::make_unique<Proc>(args, dir.path()));
    }
    // When sim n logged its first event starting with `from` and its first
    // starting with `to`, in ms on one clock for all sims.
    std::pair<long, long> window(int n, const std::string& from, const std::string& to) {
        long base = ms_between(sim_started.begin()->second, sim_started[n]);
        long a = -1, b = -1;
        for (const Event& e : read_log(log_of(n))) {
            if (a < 0 && e.text.rfind(from, 0) == 0) a = base + e.t;
            if (b < 0 && e.text.rfind(to, 0) == 0) b = base + e.t;
        }
        return {a, b};
    }
    // The most windows open at one instant.
    static int most_at_once(const std::vector<std::pair<long, long>>& windows) {
        int most = 0;
        for (const auto& w : windows) {
            int open = 0;
            for (const auto& v : windows) open += v.first <= w.first && w.first < v.second ? 1 : 0;
            most = std::max(most, open);
        }
        return most;
    }
    std::vector<std::string> named(const std::vector<int>& ns) const {
        std::vector<std::string> args;
        for (int n : ns) {
            args.push_back("--machine");
            args.push_back("127.0.0." + std::to_string(n));
        }
        return args;
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

}  // namespace e2e
