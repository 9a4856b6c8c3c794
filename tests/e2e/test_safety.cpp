// The rules that keep an image where it was meant to go: the model, one
// address one machine, the sender of an announcement, and a rollout that
// stops by itself.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <sstream>

#include "fleet_fixture.h"
#include "harness.h"

using namespace e2e;

namespace {

class Safety : public Fleet {
protected:
    std::string report = dir.file("report.jsonl");

    // The report's records by address, and its summary.
    std::map<std::string, nlohmann::json> records(nlohmann::json* summary) const {
        std::map<std::string, nlohmann::json> by_address;
        std::istringstream in(read_file(report));
        for (std::string line; std::getline(in, line);) {
            nlohmann::json j = nlohmann::json::parse(line);
            if (j.contains("summary")) {
                *summary = j;
            } else {
                by_address[j["address"].is_null() ? "" : j["address"].get<std::string>()] = j;
            }
        }
        return by_address;
    }
    long connections(int n) const { return count_events(read_log(log_of(n)), "connect"); }
};

TEST_F(Safety, OnlyTheNamedModelIsUpdatedAndAnExpectedMachineOfAnotherIsSkipped) {
    start_sim(61);
    start_sim(62, {"--model", "5S"});
    std::unique_ptr<Proc> p;
    EXPECT_EQ(run({"--all", "--model", "tavix7", "--fast", "--timeout", "3", "--machine", "127.0.0.61", "--machine",
                   "127.0.0.62", "--report", report},
                  &p),
              3)
        << p->out();
    const std::string out = p->out();
    EXPECT_NE(out.find("127.0.0.62: left alone (model Tavix5S), Tavix5S No: 1062\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nresult: 127.0.0.61 updated\nresult: 127.0.0.62 skipped\n"
                       "summary: 1 updated, 1 skipped; skipped: 127.0.0.62 (another model)\nend\n"),
              std::string::npos)
        << out;
    EXPECT_TRUE(received_intact(61));
    EXPECT_EQ(connections(62), 0);
    nlohmann::json summary;
    auto r = records(&summary);
    EXPECT_EQ(r["127.0.0.61"]["model"], "Tavix7");
    EXPECT_EQ(r["127.0.0.62"]["model"], "Tavix5S");
    EXPECT_EQ(r["127.0.0.62"]["result"], "skipped");
    EXPECT_EQ(r["127.0.0.62"]["reason"], "another model");
    EXPECT_EQ(summary["summary"]["skipped"], 1);
}

// Two boards announce one address: neither gets an image. A boot loader
// that announces another MAC field than its application is one machine.
TEST_F(Safety, TwoBoardsAtOneAddressGetNothingAndABootLoadersOwnMacFieldIsNoConflict) {
    start_sim(71);
    sims.push_back(std::make_unique<Proc>(
        std::vector<std::string>{sim_bin(), "-a", "127.0.0.71", "--announce-only", "--mac", "02:00:00:00:00:99"},
        dir.path()));
    start_sim(72, {"--boot-mac", "00:00:00:00:00:00"});
    std::unique_ptr<Proc> p;
    EXPECT_EQ(run({"--all", "--model", "Tavix7", "--fast", "--jobs", "1", "--timeout", "3", "--machine", "127.0.0.71",
                   "--machine", "127.0.0.72", "--report", report},
                  &p),
              3)
        << p->out();
    const std::string out = p->out();
    const size_t line = out.find("\n127.0.0.71: address conflict: ");
    EXPECT_NE(line, std::string::npos) << out;
    EXPECT_EQ(out.find("address conflict:", line + 14), std::string::npos) << out;  // once, and none at .72
    EXPECT_TRUE(out.find("conflict: 02:54:41:56:00:47 and 02:00:00:00:00:99\n") != std::string::npos ||
                out.find("conflict: 02:00:00:00:00:99 and 02:54:41:56:00:47\n") != std::string::npos)
        << out;
    EXPECT_NE(out.find("\nresult: 127.0.0.71 failed\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nresult: 127.0.0.72 updated\n"), std::string::npos) << out;
    EXPECT_EQ(connections(71), 0);  // heard first for a second: nothing went there
    EXPECT_TRUE(received_intact(72));
    nlohmann::json summary;
    EXPECT_EQ(records(&summary)["127.0.0.71"]["reason"], "address conflict");
}

// Any host can send what looks like an announcement: one naming another
// machine's address is not believed.
TEST_F(Safety, AnAnnouncementSentFromAnotherAddressIsNeverActedOn) {
    start_sim(81, {"--from", "127.0.0.66"});
    std::unique_ptr<Proc> p;
    EXPECT_EQ(run({"--machine", "127.0.0.81", "--timeout", "3"}, &p), 4) << p->out();
    const std::string out = p->out();
    EXPECT_NE(out.find("\nleft alone: 127.0.0.81, sent from 127.0.0.66\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("left alone:", out.find("left alone:") + 1), std::string::npos) << out;  // once
    EXPECT_EQ(connections(81), 0);
}

TEST_F(Safety, AFailedCanaryStopsTheRolloutBeforeAnyOtherMachineIsTouched) {
    std::vector<std::string> args{"--all", "--model", "Tavix7", "--fast", "--canary", "1", "--exit", "--report",
                                  report, image};
    Proc p(lanflash_cmd(args), dir.path());
    start_sim(91, {"--nak-storm"});
    ASSERT_TRUE(p.wait_for_out("127.0.0.91: chosen", kFleetMs)) << p.out();
    for (int n : {92, 93}) start_sim(n);
    EXPECT_EQ(p.wait(kFleetMs), 3) << p.out();
    const std::string out = p.out();
    EXPECT_NE(out.find("\nrollout stopped: 127.0.0.91 failed (transfer failed)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nresult: 127.0.0.91 failed\n"), std::string::npos) << out;
    nlohmann::json summary;
    auto r = records(&summary);
    for (int n : {92, 93}) {
        const std::string addr = "127.0.0." + std::to_string(n);
        EXPECT_NE(out.find("\nresult: " + addr + " skipped\n"), std::string::npos) << out;
        EXPECT_EQ(r[addr]["reason"], "rollout stopped") << addr;
        EXPECT_EQ(connections(n), 0) << addr;
    }
    EXPECT_EQ(summary["summary"]["skipped"], 2);
}

// --max-failed 1 in a parallel run: the machine in progress beside the
// failed one finishes; one heard after the stop never begins.
TEST_F(Safety, MaxFailedStopsAParallelRunAndLetsTheMachineInProgressFinish) {
    std::vector<std::string> args{"--all", "--model", "Tavix7", "--fast", "--max-failed", "1", "--jobs", "2",
                                  "--exit", "--report", report, image};
    Proc p(lanflash_cmd(args), dir.path());
    start_sim(94, {"--nak-storm"});
    start_sim(95, {"--block-delay-ms", "300"});
    ASSERT_TRUE(p.wait_for_out("rollout stopped: 127.0.0.94 failed (transfer failed)", kFleetMs)) << p.out();
    start_sim(96);
    EXPECT_EQ(p.wait(kFleetMs), 3) << p.out();
    const std::string out = p.out();
    EXPECT_NE(out.find("\nresult: 127.0.0.94 failed\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nresult: 127.0.0.95 updated\n"), std::string::npos) << out;
    EXPECT_TRUE(received_intact(95));
    EXPECT_NE(out.find("\nresult: 127.0.0.96 skipped\n"), std::string::npos) << out;
    EXPECT_EQ(connections(96), 0);
}

}  // namespace
