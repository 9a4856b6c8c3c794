// What the person at the console reads: a plan before the run, and a run
// that cannot find its machine saying so instead of waiting in silence.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>

#include "fleet_fixture.h"
#include "harness.h"

using namespace e2e;

namespace {

// A mixed network planned: the canary and the rest, another model, two
// boards at one address, an announcement from another host, and a machine
// named that is not there; nothing is connected to.
TEST_F(Fleet, APlanSaysWhatTheRunWouldDoAndConnectsToNothing) {
    start_sim(11);
    start_sim(12);
    start_sim(13, {"--model", "5S"});
    start_sim(14, {"--announce-only"});
    sims.push_back(std::make_unique<Proc>(
        std::vector<std::string>{sim_bin(), "-a", "127.0.0.14", "--announce-only", "--mac", "02:00:00:00:00:99"},
        dir.path()));
    sims.push_back(std::make_unique<Proc>(
        std::vector<std::string>{sim_bin(), "-a", "127.0.0.8", "--from", "127.0.0.66", "--announce-only"}, dir.path()));
    const std::string report = dir.file("plan.jsonl");
    std::unique_ptr<Proc> p;
    EXPECT_EQ(run({"--plan", "--all", "--model", "Tavix7", "--canary", "1", "--machine", "127.0.0.0/27", "--machine",
                   "127.0.0.13", "--machine", "127.0.0.99", "--report", report},
                  &p),
              3)
        << p->out();
    const std::string out = p->out();
    for (const char* line : {"plan: 127.0.0.13 skip (another model), Tavix5S No: 1013\n",
                             // by the serial of whichever of the two boards was heard first
                             "plan: 127.0.0.14 leave alone (address conflict), Tavix7 No: 1",
                             "plan: 127.0.0.8 leave alone (sent from 127.0.0.66)\n", "plan: 127.0.0.99 not heard\n",
                             "summary: 2 to update, 2 to leave alone, 1 to skip, 1 not heard\nend\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line << out;
    // The canary is whichever of the two was chosen first; the other waits.
    EXPECT_NE(out.find(" update (wave 1, the canary), Tavix7 No: 101"), std::string::npos) << out;
    EXPECT_NE(out.find(" update (wave 2), Tavix7 No: 101"), std::string::npos) << out;
    for (int n : {11, 12, 13, 14}) EXPECT_EQ(count_events(read_log(log_of(n)), "connect"), 0) << n;
    std::istringstream records(read_file(report));
    int lines = 0;
    for (std::string line; std::getline(records, line); ++lines) {
        const nlohmann::json j = nlohmann::json::parse(line);
        if (j.contains("plan_summary")) {
            EXPECT_EQ(j["status"], 3);
            EXPECT_EQ(j["plan_summary"]["update"], 2);
        } else if (j["address"] == "127.0.0.99") {
            EXPECT_EQ(j["plan"], "not heard");
        }
    }
    EXPECT_EQ(lines, 7);
}

// Without --all, a named machine that never comes: within seconds a line
// says what the run waits for, and at its end the machine is not heard.
TEST_F(Fleet, ARunThatHearsNoneOfItsMachinesSaysSoAndEnds) {
    const std::string report = dir.file("report.jsonl");
    Proc p(lanflash_cmd({"--machine", "127.0.0.99", "--timeout", "5", "--report", report, image}), dir.path());
    const auto started = Clock::now();
    ASSERT_TRUE(p.wait_for_out("\nwaiting up to 2 s for 127.0.0.99, not heard yet; Ctrl-C ends", kStartMs)) << p.out();
    EXPECT_LT(ms_between(started, Clock::now()), 4500);
    EXPECT_EQ(p.wait(kStartMs * 2), 4) << p.out();
    const std::string end =
        "\nresult: 127.0.0.99 not heard\nsummary: no machine the list chooses was heard; not heard: 127.0.0.99\nend\n";
    EXPECT_EQ(p.out().substr(p.out().size() - end.size()), end) << p.out();
    const std::string records = read_file(report);
    EXPECT_NE(records.find("\"address\":\"127.0.0.99\",\"name\":null"), std::string::npos) << records;
    EXPECT_NE(records.find("\"result\":\"missing\""), std::string::npos) << records;
}

}  // namespace
