// --station and --serve against simulated machines: the rows a run leaves,
// the same command run again, a run killed and run again, two processes on
// one file, and the status page read by a program and by a browser.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fleet_fixture.h"
#include "harness.h"

using namespace e2e;

namespace {

using Row = std::map<std::string, std::string>;
constexpr char kNull[] = "<null>";
constexpr int kPagePort = 8080;
constexpr char kChromium[] = "/usr/bin/chromium";

// Every row of a query, read with SQLite itself; columns by name.
std::vector<Row> query(const std::string& db_path, const std::string& sql) {
    std::vector<Row> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return rows;
    }
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
        while (sqlite3_step(st) == SQLITE_ROW) {
            Row r;
            for (int c = 0; c < sqlite3_column_count(st); ++c) {
                const unsigned char* text = sqlite3_column_text(st, c);
                r[sqlite3_column_name(st, c)] = text ? reinterpret_cast<const char*>(text) : kNull;
            }
            rows.push_back(r);
        }
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

size_t count_rows(const std::string& db, const std::string& where) {
    return query(db, "SELECT id FROM attempts WHERE " + where).size();
}

std::string sha256_of(const std::string& path) {
    std::string out;
    if (FILE* p = popen(("sha256sum '" + path + "'").c_str(), "r")) {
        char buf[128];
        if (fgets(buf, sizeof buf, p)) out = std::string(buf).substr(0, 64);
        pclose(p);
    }
    return out;
}

// Lines of a machine-sim --fleet log (t=MS ADDRESS EVENT) of one machine
// that contain `what`.
long fleet_events(const std::string& log, const std::string& addr, const std::string& what) {
    long n = 0;
    std::istringstream in(read_file(log));
    for (std::string line; std::getline(in, line);)
        n += line.find(" " + addr + " ") != std::string::npos && line.find(what) != std::string::npos ? 1 : 0;
    return n;
}

struct Answer {
    int status = 0;
    std::string body;
};

// One request to the page over loopback, read to its end.
Answer http(const std::string& method, const std::string& path) {
    Answer a;
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kPagePort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        const std::string req = method + " " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n";
        (void)!write(s, req.data(), req.size());
        std::string got;
        char buf[65536];
        for (ssize_t n; (n = read(s, buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
        if (got.rfind("HTTP/1.", 0) == 0) a.status = std::stoi(got.substr(9, 3));
        const size_t body = got.find("\r\n\r\n");
        if (body != std::string::npos) a.body = got.substr(body + 4);
    }
    close(s);
    return a;
}

nlohmann::json status_json() {
    const Answer a = http("GET", "/api/status");
    return a.status == 200 ? nlohmann::json::parse(a.body, nullptr, false) : nlohmann::json();
}

// Waits until the page's JSON satisfies `done`.
template <typename F>
nlohmann::json wait_status(F done, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    nlohmann::json s;
    while (Clock::now() < deadline) {
        s = status_json();
        if (s.is_object() && done(s)) return s;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return s;
}

class Station : public Fleet {
protected:
    std::string db = dir.file("line.db");
    std::vector<std::string> command(const std::vector<int>& ns, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = named(ns);
        for (const char* a : {"--all", "--model", "Tavix7", "--fast", "--exit", "--station"}) args.push_back(a);
        args.push_back(db);
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    long connects(int n) { return count_events(read_log(log_of(n)), "connect"); }
};

TEST_F(Station, ARunLeavesItsRowsAndTheSameCommandAgainTouchesNothing) {
    start_sim(11);
    start_sim(12);
    std::unique_ptr<Proc> p;
    ASSERT_EQ(run(command({11, 12}), &p), 0) << p->out() << p->err();
    const std::vector<Row> rows = query(db, "SELECT * FROM attempts ORDER BY serial");
    ASSERT_EQ(rows.size(), 2u);
    const std::string sha = sha256_of(image);
    ASSERT_EQ(sha.size(), 64u);
    for (int k = 0; k < 2; ++k) {
        const Row& r = rows[static_cast<size_t>(k)];
        EXPECT_EQ(r.at("address"), "127.0.0.1" + std::to_string(k + 1));
        EXPECT_EQ(r.at("name"), "Tavix7");
        EXPECT_EQ(r.at("model"), "Tavix7");
        EXPECT_EQ(r.at("serial"), std::to_string(1011 + k));
        EXPECT_TRUE(std::regex_match(r.at("mac"), std::regex("([0-9a-f]{2}:){5}[0-9a-f]{2}"))) << r.at("mac");
        EXPECT_EQ(r.at("image"), image);
        EXPECT_EQ(r.at("image_bytes"), "3000");
        EXPECT_EQ(r.at("image_sha256"), sha);
        EXPECT_EQ(r.at("result"), "updated");
        EXPECT_EQ(r.at("reason"), kNull);
        EXPECT_EQ(r.at("tries"), "1");
        EXPECT_EQ(r.at("blocks_sent"), "10");
        EXPECT_EQ(r.at("blocks_resent"), "0");
        EXPECT_TRUE(std::regex_match(r.at("started"), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
        EXPECT_LT(r.at("started"), r.at("finished"));
        EXPECT_EQ(r.at("version"), LANFLASH_VERSION);
    }
    EXPECT_EQ(query(db, "SELECT * FROM runs WHERE state = 'ended' AND status = 0").size(), 1u);

    // The same command: no connection, a line each, skipped, status 0.
    const long before[] = {connects(11), connects(12)};
    ASSERT_EQ(run(command({11, 12}), &p), 0) << p->out() << p->err();
    const std::string out = p->out();
    for (int n : {11, 12}) {
        const std::regex line("(^|\n)127\\.0\\.0\\." + std::to_string(n) +
                              ": left alone \\(already has this image, updated \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d\\)");
        EXPECT_TRUE(std::regex_search(out, line)) << out;
        EXPECT_NE(out.find("\nresult: 127.0.0." + std::to_string(n) + " skipped\n"), std::string::npos) << out;
        EXPECT_EQ(connects(n), before[n - 11]) << n;
    }
    EXPECT_EQ(count_rows(db, "result = 'skipped' AND reason = 'already has this image' AND mac IS NOT NULL"), 2u);

    // --again updates them all the same.
    ASSERT_EQ(run(command({11, 12}, {"--again"}), &p), 0) << p->out() << p->err();
    EXPECT_EQ(connects(11), before[0] + 2);  // the reset, then the transfer
    EXPECT_EQ(count_rows(db, "result = 'updated'"), 4u);
}

// A file that a newer lanflash made, or that is no database, is refused
// before anything is bound or sent; nothing of it is changed.
TEST_F(Station, AFileOfANewerSchemaOrNoDatabaseIsRefused) {
    sqlite3* newer = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &newer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(newer, "CREATE TABLE later (x); PRAGMA user_version = 99", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(newer);
    std::unique_ptr<Proc> p;
    EXPECT_EQ(run(command({11}), &p), 1);
    EXPECT_EQ(p->err(), "lanflash: --station: " + db +
                            ": its schema is version 99, from a newer lanflash; this one knows up to 1\n");
    EXPECT_EQ(query(db, "PRAGMA user_version").at(0).at("user_version"), "99");
    EXPECT_TRUE(query(db, "SELECT name FROM sqlite_master WHERE name = 'attempts'").empty());
    std::vector<std::string> args = command({11});
    args[args.size() - 1] = image;  // the image itself as the station's file
    EXPECT_EQ(run(args, &p), 1);
    EXPECT_NE(p->err().find("file is not a database"), std::string::npos) << p->err();
}

// Killed mid-transfer (SIGKILL), then the same command: the machine
// confirmed before is never connected again, the one left in its boot
// loader and those not begun are updated, and each ends with one updated row.
TEST_F(Station, AKilledRunIsResumedByTheSameCommand) {
    const std::string log = dir.file("fleet.log");
    Proc fleet({sim_bin(), "--fleet", "3", "-a", "127.0.0.21", "-n", "1021", "--block-delay-ms", "60", "--log", log,
                "--out-dir", dir.path()},
               dir.path());
    std::vector<std::string> args = command({21, 22, 23}, {"--jobs", "1"});
    args.push_back(image);
    auto first = std::make_unique<Proc>(lanflash_cmd(args), dir.path());
    const auto deadline = Clock::now() + std::chrono::milliseconds(kFleetMs);
    // Cut once one machine is confirmed and another is in its transfer.
    std::string cut;
    while (cut.empty() && Clock::now() < deadline) {
        if (count_rows(db, "result = 'updated'") > 0) {
            for (const Row& r : query(db, "SELECT address FROM attempts WHERE result = 'in progress'")) {
                const std::string& a = r.at("address");
                if (fleet_events(log, a, " block 3 ok") > 0 && fleet_events(log, a, " end-of-batch") == 0) cut = a;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_FALSE(cut.empty()) << first->out();
    first->signal(SIGKILL);
    first->wait(kStartMs);
    // One after the other, but one restarting after its reset may be in
    // progress beside the one in its transfer.
    const size_t in_progress = count_rows(db, "result = 'in progress'");
    EXPECT_EQ(count_rows(db, "result = 'in progress' AND address = '" + cut + "'"), 1u);
    std::map<std::string, long> confirmed;  // address: its connections so far
    for (const Row& r : query(db, "SELECT address FROM attempts WHERE result = 'updated'"))
        confirmed[r.at("address")] = fleet_events(log, r.at("address"), " connect ");
    ASSERT_FALSE(confirmed.empty());

    std::unique_ptr<Proc> p;
    ASSERT_EQ(run(command({21, 22, 23}, {"--jobs", "1"}), &p), 0) << p->out() << p->err();
    const std::string said = std::to_string(in_progress) + (in_progress == 1 ? " update" : " updates") +
                             " left in progress by a run that ended abruptly, now interrupted";
    EXPECT_NE(p->err().find(said), std::string::npos) << p->err();
    for (const auto& c : confirmed) EXPECT_EQ(fleet_events(log, c.first, " connect "), c.second) << c.first;
    EXPECT_EQ(count_rows(db, "result = 'interrupted'"), in_progress);
    std::string rows;
    for (const Row& r : query(db, "SELECT run, address, serial, result FROM attempts"))
        rows += r.at("run") + " " + r.at("address") + " " + r.at("serial") + " " + r.at("result") + "\n";
    EXPECT_EQ(count_rows(db, "result = 'interrupted' AND address = '" + cut + "'"), 1u) << cut << "\n" << rows;
    for (int n : {21, 22, 23}) {
        EXPECT_EQ(count_rows(db, "result = 'updated' AND serial = " + std::to_string(1000 + n)), 1u) << n;
        EXPECT_EQ(read_file(dir.file("127.0.0." + std::to_string(n) + ".bin")), std::string(bytes.begin(), bytes.end()));
    }
    fleet.signal(SIGINT);
}

// Two segments on one PC, each a lanflash with machines of its own, write
// one file; a third party holds its write lock for a while meanwhile. Both
// wait for it, and no row is lost.
TEST_F(Station, TwoProcessesShareOneFileAndWaitForItsLock) {
    std::vector<std::unique_ptr<Proc>> segments;
    for (int s = 0; s < 2; ++s) {
        const std::string first = "127.0.0." + std::to_string(31 + 10 * s);
        const std::string cmd = "ip link set lo up && \"$0\" --fleet 3 -a " + first + " -n " +
                                std::to_string(1031 + 10 * s) + " >/dev/null & sim=$!; \"$@\"; status=$?; kill $sim; exit $status";
        std::vector<std::string> args{"/usr/bin/unshare", "-n", "sh", "-c", cmd, sim_bin()};
        for (const std::string& a : lanflash_cmd(command({31 + 10 * s, 32 + 10 * s, 33 + 10 * s}))) args.push_back(a);
        args.push_back(image);
        segments.push_back(std::make_unique<Proc>(args, dir.path()));
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(kFleetMs);
    while (count_rows(db, "1") == 0 && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &holder), SQLITE_OK);
    sqlite3_busy_timeout(holder, 10000);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_EQ(sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(holder);
    for (auto& s : segments) EXPECT_EQ(s->wait(kFleetMs), 0) << s->out() << s->err();
    EXPECT_EQ(count_rows(db, "result = 'updated'"), 6u);
    EXPECT_EQ(query(db, "SELECT DISTINCT run FROM attempts").size(), 2u);
    EXPECT_EQ(query(db, "SELECT id FROM runs WHERE state = 'ended' AND status = 0").size(), 2u);
}

class Page : public Station {
protected:
    std::unique_ptr<Proc> lanflash;
    // A run that goes on until Ctrl-C, as a station's does, with its page.
    void start(const std::vector<int>& ns) {
        for (int n : ns) start_sim(n, {"--block-delay-ms", "40"});
        std::vector<std::string> args = named(ns);
        for (const char* a : {"--all", "--model", "Tavix7", "--fast", "--serve", "8080", "--station"}) args.push_back(a);
        args.push_back(db);
        args.push_back(image);
        lanflash = std::make_unique<Proc>(lanflash_cmd(args), dir.path());
    }
    static bool all_updated(const nlohmann::json& s, size_t n) {
        return s["counts"]["updated"] == n && s["machines"].size() == n;
    }
};

TEST_F(Page, StatusAndMetricsTellTheRunAndAPostIsRefused) {
    start({51, 52});
    nlohmann::json s = wait_status([](const nlohmann::json& j) { return j["machines"].size() == 2; }, kFleetMs);
    ASSERT_EQ(s["machines"].size(), 2u) << s;
    EXPECT_EQ(http("POST", "/api/status").status, 405);
    EXPECT_EQ(http("DELETE", "/").status, 405);
    EXPECT_EQ(http("GET", "/nothing").status, 404);
    const Answer page = http("GET", "/");
    EXPECT_EQ(page.status, 200);
    EXPECT_TRUE(page.body.find("src=") == std::string::npos && page.body.find("href=") == std::string::npos)
        << "the page loads nothing from elsewhere";
    // A machine part way through its blocks is in its transfer (40 ms a
    // block: the polls see it).
    std::set<std::string> mid_transfer;
    s = wait_status(
        [&mid_transfer](const nlohmann::json& j) {
            for (const auto& m : j["machines"])
                if (m["result"].is_null() && m["blocks"] > 0 && m["blocks"] < m["blocks_total"])
                    mid_transfer.insert(m["phase"].get<std::string>());
            return all_updated(j, 2);
        },
        kFleetMs);
    ASSERT_TRUE(all_updated(s, 2)) << s;
    EXPECT_EQ(mid_transfer, std::set<std::string>{"transfer"});
    std::map<std::string, uint32_t> serials;
    for (const auto& m : s["machines"]) {
        serials[m["address"]] = m["serial"];
        EXPECT_EQ(m["result"], "updated") << m;
        EXPECT_EQ(m["blocks"], m["blocks_total"]) << m;
    }
    EXPECT_EQ(serials, (std::map<std::string, uint32_t>{{"127.0.0.51", 1051}, {"127.0.0.52", 1052}}));
    EXPECT_EQ(s["data_blocks_sent"], 20);
    EXPECT_EQ(s["image"]["sha256"], sha256_of(image));
    EXPECT_FALSE(s["rollout"]["stopped"]);
    // Today's history from the station, read at most once a second.
    auto history = [](const nlohmann::json& j) {
        for (const auto& p : j["history"]["per_image"])
            if (p["result"] == "updated" && p["count"] == 2) return true;
        return false;
    };
    s = wait_status(history, kStartMs);
    EXPECT_TRUE(history(s)) << s["history"];

    std::map<std::string, double> metrics;
    std::istringstream text(http("GET", "/metrics").body);
    for (std::string line; std::getline(text, line);) {
        if (line.empty() || line[0] == '#') continue;
        const size_t space = line.rfind(' ');
        metrics[line.substr(0, space)] = std::stod(line.substr(space + 1));
    }
    EXPECT_EQ(metrics["lanflash_machines{result=\"updated\"}"], 2);
    EXPECT_EQ(metrics["lanflash_machines{result=\"in_progress\"}"], 0);
    EXPECT_EQ(metrics["lanflash_transfers_in_progress"], 0);
    EXPECT_EQ(metrics["lanflash_data_blocks_sent_total"], 20);
    EXPECT_EQ(metrics["lanflash_data_blocks_resent_total"], 0);
    EXPECT_GT(metrics["lanflash_run_seconds"], 1.0);
    lanflash->signal(SIGINT);
    EXPECT_EQ(lanflash->wait(kStartMs), 0) << lanflash->out();
}

// The page in a real browser: its script draws a tile per machine from
// what it fetches, then each one's result.
TEST_F(Page, InChromiumEveryMachineHasATileThenItsResult) {
    if (access(kChromium, X_OK) != 0) {
        // CI sets LANFLASH_REQUIRE_CHROMIUM=1: there a skip would hide the test.
        const char* required = getenv("LANFLASH_REQUIRE_CHROMIUM");
        ASSERT_FALSE(required != nullptr && std::string(required) == "1") << "no " << kChromium;
        GTEST_SKIP() << "needs Debian's chromium (" << kChromium << "; make check installs it as root)";
    }
    auto dom = [&]() {
        Proc browser({kChromium, "--no-sandbox", "--headless", "--disable-gpu", "--disable-background-networking",
                      "--disable-component-update", "--disable-sync", "--no-first-run",
                      "--user-data-dir=" + dir.file("chromium"), "--virtual-time-budget=3000", "--dump-dom",
                      "http://127.0.0.1:8080/"},
                     dir.path());
        EXPECT_EQ(browser.wait(60000), 0) << browser.err();
        return browser.out();
    };
    start({61, 62, 63});
    ASSERT_EQ(wait_status([](const nlohmann::json& j) { return j["machines"].size() == 3; }, kFleetMs)["machines"].size(), 3u);
    std::string page = dom();
    for (int n : {61, 62, 63})
        EXPECT_NE(page.find("data-address=\"127.0.0." + std::to_string(n) + "\""), std::string::npos) << page;
    ASSERT_TRUE(all_updated(wait_status([](const nlohmann::json& j) { return all_updated(j, 3); }, kFleetMs), 3));
    page = dom();
    const std::regex tile(R"(<div class="tile updated" data-address="127\.0\.0\.6[123]">.*?<div class="result updated">updated</div>)");
    EXPECT_EQ(std::distance(std::sregex_iterator(page.begin(), page.end(), tile), std::sregex_iterator()), 3) << page;
    EXPECT_NE(page.find("<span class=\"n\">3</span> updated"), std::string::npos) << page;
    lanflash->signal(SIGINT);
    EXPECT_EQ(lanflash->wait(kStartMs), 0) << lanflash->out();
}

}  // namespace
