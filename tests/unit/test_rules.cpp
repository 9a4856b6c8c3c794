// The rules of a run with options, driven through minutes of a run on a
// fake clock: what the executors are told to do, what is said, and how each
// machine ends. No socket, thread or process: announcements and executor
// events go in as values.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "conflict.h"
#include "machlist.h"
#include "news.h"
#include "outcome.h"
#include "platform.h"
#include "rules.h"
#include "wire.h"

namespace {

uint64_t fake_now = 0;
uint64_t Now(void) { return fake_now; }

struct Said {
    NewsKind kind;
    uint32_t addr;
    int64_t v0;
    RecordResult result;
    RecordReason reason;
};
std::vector<Said> said;
void Watch(const News& n) {
    Said s{n.kind, n.addr, n.values[0], RESULT_FAILED, REASON_NONE};
    if (n.rec != nullptr) {
        s.result = n.rec->result;
        s.reason = n.rec->reason;
    }
    said.push_back(s);
}

uint32_t Addr(int n) { return htonl(0x0A000000u + static_cast<uint32_t>(n)); }

// An announcement of machine n at 10.0.0.n: its application (with a
// serial number) or its boot loader, with a MAC field of its own. The
// byte behind the name ends the name field, unless tail says otherwise.
Arrival Announce(int n, const std::string& name, uint32_t serial, uint64_t at, uint32_t from = 0, uint8_t mac = 0,
                 char tail = '\0') {
    std::string d("\x22\xEF\x44\x1A\x33\xE9\xF1\x34\x54\x9E\x78", 11);
    const uint32_t addr = Addr(n);
    d.append(reinterpret_cast<const char*>(&addr), 4);
    d += std::string("\xFF\xFF\xFF\x00", 4) + "\x02\x54\x41\x56" + static_cast<char>(n >> 8) + static_cast<char>(n + mac);
    d += std::string("\x03\x78", 2) + name + tail + "ZZ";
    if (name.rfind("Boot", 0) != 0) d += std::to_string(serial);
    Arrival a{};
    memcpy(a.data, d.data(), d.size());
    a.len = static_cast<int>(d.size());
    a.arrived_ms = a.first_arrived_ms = at;
    a.from = from == 0 ? addr : from;
    return a;
}

class Rules : public testing::Test {
protected:
    LanflashOptions opts;
    void SetUp() override {
        fake_now = 1000000;
        plat_set_clock_hook(Now);
        NewsClear();
        NewsWatch(Watch);
        said.clear();
        MachineListClear();
        opts.any = opts.all = opts.exit = true;
    }
    void TearDown() override {
        plat_set_clock_hook(nullptr);
        NewsClear();
        MachineListClear();
    }
    void Start(bool exploring = false) { RulesStart(opts, exploring, 3000); }
    void Name(const std::vector<int>& ns) {
        char why[256];
        for (int n : ns) {
            const std::string text = "10.0.0." + std::to_string(n);
            ASSERT_TRUE(MachineListAddAddress(text.c_str(), why, sizeof why)) << why;
        }
        ASSERT_EQ(MachineListLoad(why, sizeof why), ML_LOADED) << why;
    }
    void Later(uint64_t ms) {
        fake_now += ms;
        RulesTick();
    }
    void App(int n, uint32_t serial = 0, uint32_t from = 0, uint8_t mac = 0) {
        RulesHeard(Announce(n, "Tavix7", serial ? serial : 5000 + n, fake_now, from, mac));
    }
    void Boot(int n) { RulesHeard(Announce(n, "BootTavix7", 0, fake_now)); }
    // The next decision: the action, and the machine in *i.
    int Act(int* i, bool may_start = true) {
        Taken t;
        *i = -1;
        if (!RulesTake(may_start, &t)) return 0;
        return RulesChoose(t, i);
    }
    // Everything that waits, acted on; the machines that begin a path.
    std::vector<int> ActAll(bool may_start = true) {
        std::vector<int> began;
        Taken t;
        while (RulesTake(may_start, &t)) {
            int i = -1;
            if (RulesChoose(t, &i) > 0) began.push_back(i);
        }
        return began;
    }
    void Ex(int i, ExecNews news, uint32_t step = 0) { RulesEvent(i, ExecEvent{news, step, 0, -1, fake_now, 0, 0}); }
    // A reset path from the connection to its close.
    void Reset(int i) {
        Ex(i, EX_CONNECTED);
        Ex(i, EX_RESET_SENT);
        Ex(i, EX_RESET_DONE);
    }
    // A download path to '3' (ok) or to a failed transfer.
    void Download(int i, bool ok) {
        Ex(i, EX_CONNECTED);
        Ex(i, EX_TRANSFER, TN_STARTED);
        Ex(i, EX_TRANSFER, ok ? TN_DONE : TN_FAILED_DATA);
        Ex(i, ok ? EX_RUN_SENT : EX_NO_RUN);
    }
    // Machine n, heard for its listening second, reset, in its boot loader,
    // updated, and (when it confirms) its application heard again.
    void Update(int n, bool ok, bool confirms = true) {
        int i = -1;
        App(n);
        Later(kListenFirstMs);
        App(n);
        ASSERT_EQ(Act(&i), 2) << n;
        Reset(i);
        Later(600);
        Boot(n);
        ASSERT_EQ(Act(&i), 1) << n;
        Download(i, ok);
        if (!ok || !confirms) return;
        Later(500);
        App(n);
        ASSERT_EQ(Act(&i), -1);
    }
    Phase PhaseOf(int n) { return RulesMachine(TableFind(Addr(n))).phase; }
    int Count(NewsKind kind) {
        int c = 0;
        for (const Said& s : said) c += s.kind == kind ? 1 : 0;
        return c;
    }
};

TEST_F(Rules, EachMachineIsChosenOnceAndABoardSwappedInIsAMachineOfItsOwn) {
    Start();
    Update(1, true);
    Update(2, true);
    constexpr int kMachines = 1000;  // far beyond the 256 a run once held
    for (int n = 10; n < 10 + kMachines; ++n) App(n);
    EXPECT_EQ(RulesMachineCount(), 2 + kMachines);
    EXPECT_EQ(Count(NEWS_CHOSEN), 2 + kMachines);
    for (int n : {10, 265, 266, 710, 9 + kMachines}) {
        App(n);
        EXPECT_EQ(TableFind(Addr(n)), n - 8);
        EXPECT_EQ(PhaseOf(n), WAITING);
    }
    EXPECT_EQ(RulesMachineCount(), 2 + kMachines);
    // The same board again is done, whatever its new firmware writes behind
    // its model's name; another serial number or model there is a board
    // swapped in, a machine of its own, and its boot loader the newest there.
    RulesHeard(Announce(1, "Tavix7", 5001, fake_now, 0, 0, '-'));
    EXPECT_EQ(TableFind(Addr(1)), 0);
    App(1, 9001);
    EXPECT_EQ(TableFind(Addr(1)), 2 + kMachines);
    RulesHeard(Announce(2, "Tavix5S", 5002, fake_now));
    EXPECT_EQ(TableFind(Addr(2)), 3 + kMachines);
    Boot(1);
    EXPECT_EQ(TableFind(Addr(1)), 2 + kMachines);
    EXPECT_EQ(RulesMachineCount(), 4 + kMachines);
}

// A new machine is listened to for a second before anything is sent: on
// its next announcement, or, heard only once, a whole interval later.
TEST_F(Rules, ANewMachineBeginsAfterItsListeningSecondOrOnceHeardOnce) {
    Start();
    int i = -1;
    App(1);
    Later(kListenFirstMs - 1);
    EXPECT_EQ(Act(&i), 0);
    App(1);  // before the second ends: it waits on
    EXPECT_EQ(Act(&i), 0);
    Later(1);
    App(1);
    EXPECT_EQ(Act(&i), 2);
    App(2);
    Later(kListenHeardOnceMs - 1);
    EXPECT_EQ(Act(&i), 0);
    Later(1);
    EXPECT_EQ(Act(&i), 2);
    EXPECT_EQ(i, TableFind(Addr(2)));
}

// --canary 3: three go first; the others begin once all three are updated,
// and not one of them before; one of the three failing stops the rollout.
// A machine at an address in conflict, found before or after it was chosen,
// fails before it begins and gives its place among the three to the next.
TEST_F(Rules, TheCanaryGoesFirstAndAFailureInItStopsTheRollout) {
    for (bool fail : {false, true}) {
        SetUp();
        opts.canary = 3;
        Start();
        App(8);
        int i = -1;
        Act(&i);
        ASSERT_GE(TableFind(Addr(8)), 0);  // chosen, listened to first
        EXPECT_EQ(RulesMachine(TableFind(Addr(8))).chosen, 0);
        for (int n : {8, 9}) {
            if (n == 9) App(n);  // heard, not yet chosen
            Arrival twins = Announce(n, "Tavix7", 5000 + n, fake_now);
            twins.conflict = true;
            RulesHeard(twins);
            EXPECT_TRUE(ActAll().empty());
            ASSERT_GE(TableFind(Addr(n)), 0);
            EXPECT_EQ(PhaseOf(n), FAILED) << n;
        }
        for (int n = 1; n <= 5; ++n) App(n);
        Later(kListenFirstMs);
        for (int n = 1; n <= 5; ++n) App(n);
        EXPECT_EQ(ActAll().size(), 3u);
        std::vector<int> rest;
        for (int n = 1; n <= 3; ++n) {
            i = TableFind(Addr(n));
            Reset(i);
            Boot(n);
            ASSERT_EQ(Act(&i), 1);
            Download(i, !(fail && n == 3));
            Later(500);
            App(n);
            rest = ActAll();
            // Fewer than three updated: the others still wait.
            if (n < 3) {
                EXPECT_TRUE(rest.empty()) << n;
            }
            for (int w : {4, 5}) App(w);
        }
        EXPECT_EQ(PhaseOf(3), fail ? FAILED : UPDATED);
        EXPECT_EQ(rest.size(), fail ? 0u : 2u);
        EXPECT_EQ(Count(NEWS_ROLLOUT_STOPPED), fail ? 1 : 0);
        for (int w : {4, 5}) EXPECT_EQ(PhaseOf(w), fail ? SKIPPED : RESETTING) << w;
    }
}

// --max-failed 2: one failure goes on, the second stops the rollout; a
// machine in progress finishes, those waiting are skipped.
TEST_F(Rules, MaxFailedStopsTheRolloutAtItsLimitAndNotBefore) {
    opts.max_failed = 2;
    Start();
    Update(1, false);
    EXPECT_EQ(Count(NEWS_ROLLOUT_STOPPED), 0);
    App(3);
    Later(kListenFirstMs);
    App(3);
    int busy = -1;
    ASSERT_EQ(Act(&busy), 2);
    App(4);
    Update(2, false);
    EXPECT_EQ(Count(NEWS_ROLLOUT_STOPPED), 1);
    EXPECT_EQ(PhaseOf(4), SKIPPED);
    EXPECT_EQ(PhaseOf(3), RESETTING);
    Reset(busy);
    Boot(3);
    int i = -1;
    EXPECT_EQ(Act(&i), 1);
    Download(i, true);
    EXPECT_EQ(PhaseOf(3), CONFIRMING);
    App(5);
    EXPECT_EQ(PhaseOf(5), SKIPPED);  // heard after the stop: never begins
    OutcomeEnd();
    EXPECT_EQ(RunExitStatus(), 3);
}

// --retries 1: another try 5 s after the failure, judged by when its
// datagram arrived, counted in the record; the second failure is final.
TEST_F(Rules, AnotherTryWaitsItsPauseByArrivalAndEndsAtItsLimit) {
    opts.retries = 1;
    Start();
    Update(1, false);
    const int i = TableFind(Addr(1));
    EXPECT_EQ(PhaseOf(1), RETRYING);
    Later(kRetryPauseMs - 1);
    Boot(1);  // arrived during the pause
    int at = -1;
    EXPECT_EQ(Act(&at), 0);
    Later(1);
    Boot(1);
    EXPECT_EQ(Act(&at), 1);
    EXPECT_EQ(at, i);
    EXPECT_EQ(Count(NEWS_TRYING_AGAIN), 1);
    EXPECT_EQ(RulesMachine(i).rec.tries, 2);
    Download(i, false);
    EXPECT_EQ(PhaseOf(1), FAILED);
    EXPECT_EQ(RulesMachine(i).rec.last_failure, REASON_TRANSFER_FAILED);
}

// Each time limit at its edge.
TEST_F(Rules, EachTimeLimitEndsAMachineAtItsEdge) {
    struct Case {
        const char* what;
        uint32_t timeout_s;
        uint64_t limit_ms;
        RecordReason reason;
    };
    const Case cases[] = {
        {"unconfirmed", 0, 30000, REASON_NOT_CONFIRMED},
        {"unconfirmed, --timeout 7", 7, 7000, REASON_NOT_CONFIRMED},
        {"boot loader not heard", 0, kReactMs + 30000, REASON_BOOT_NOT_HEARD},
        {"no connection", 0, kConnectGiveUpMs, REASON_NO_CONNECTION},
        {"not heard again", 0, kRetryPauseMs + 30000, REASON_TRANSFER_FAILED},
    };
    for (const Case& c : cases) {
        SetUp();
        opts.timeout_s = c.timeout_s;
        opts.retries = c.reason == REASON_TRANSFER_FAILED ? 1 : 0;
        Start();
        App(1);
        Later(kListenFirstMs);
        App(1);
        int i = -1;
        ASSERT_EQ(Act(&i), 2);
        if (c.reason != REASON_NO_CONNECTION) Reset(i);
        if (c.reason == REASON_NOT_CONFIRMED || c.reason == REASON_TRANSFER_FAILED) {
            Boot(1);
            ASSERT_EQ(Act(&i), 1);
            Download(i, c.reason == REASON_NOT_CONFIRMED);
        }
        Later(c.limit_ms);
        EXPECT_FALSE(IsFinal(PhaseOf(1))) << c.what;
        EXPECT_EQ(RulesHalt(i), REASON_NONE) << c.what;
        Later(1);
        if (c.reason == REASON_NO_CONNECTION) {
            EXPECT_EQ(RulesHalt(i), REASON_NO_CONNECTION) << c.what;
            Ex(i, EX_ABANDONED);
        }
        EXPECT_TRUE(IsFinal(PhaseOf(1))) << c.what;
        EXPECT_EQ(RulesMachine(i).rec.reason, c.reason) << c.what;
    }
}

// A confirmation is judged by when it arrived, and the machine is never
// given up while it waits to be looked at.
TEST_F(Rules, AConfirmationThatWaitsIsJudgedByItsArrival) {
    opts.all = false;
    Start();
    Update(1, true, false);
    Later(29999);
    App(1);  // in time, but not looked at before the limit
    Later(60000);
    EXPECT_EQ(PhaseOf(1), CONFIRMING);
    int i = -1;
    EXPECT_EQ(Act(&i), -1);
    EXPECT_EQ(PhaseOf(1), UPDATED);
    EXPECT_EQ(RulesMachine(i).rec.run_to_confirm_ms, 29999);
    RulesTick();
    EXPECT_TRUE(RunFinished());
    OutcomeEnd();
    EXPECT_EQ(RunExitStatus(), 0);
}

// Two MAC fields of one kind at an address less than 3 s apart are a
// conflict; at 3 s, or an application beside its boot loader, are not.
TEST_F(Rules, TheConflictWindowAndWhatAConflictEnds) {
    struct Case {
        uint64_t apart_ms;
        bool boot_second;
        bool conflict;
    };
    for (const Case& c : {Case{kConflictWithinMs - 1, false, true}, Case{kConflictWithinMs, false, false},
                          Case{0, true, false}}) {
        const int n = 40 + static_cast<int>(c.apart_ms % 7) + (c.boot_second ? 1 : 0);
        const Arrival first = Announce(n, "Tavix7", 1, 1000);
        const Arrival second = Announce(n, c.boot_second ? "BootTavix7" : "Tavix7", 1, 1000 + c.apart_ms, 0, 9);
        uint8_t other[kMacBytes];
        Announcement a1, a2;
        ASSERT_TRUE(ReadAnnouncement(first.data, first.len, &a1) && ReadAnnouncement(second.data, second.len, &a2));
        EXPECT_FALSE(ConflictSeen(a1, first.arrived_ms, other));
        EXPECT_EQ(ConflictSeen(a2, second.arrived_ms, other), c.conflict) << c.apart_ms;
    }
    // What a conflict ends: one waiting fails at once, one on a path ends
    // by its executor's hand, one that had its run command keeps it.
    Start();
    for (int n : {1, 2, 3}) App(n);
    Later(kListenFirstMs);
    int on_path = -1, confirming = -1, i = -1;
    App(2);
    ASSERT_EQ(Act(&on_path), 2);
    App(3);
    ASSERT_EQ(Act(&confirming), 2);
    Reset(confirming);
    Boot(3);
    ASSERT_EQ(Act(&i), 1);
    Download(i, true);
    for (int n : {1, 2, 3}) {
        Arrival a = Announce(n, "Tavix7", 5000 + n, fake_now);
        a.conflict = true;
        RulesHeard(a);
    }
    EXPECT_EQ(Count(NEWS_CONFLICT), 3);
    EXPECT_EQ(PhaseOf(1), FAILED);
    EXPECT_EQ(RulesHalt(on_path), REASON_ADDRESS_CONFLICT);
    Ex(on_path, EX_ABANDONED);
    EXPECT_EQ(PhaseOf(2), FAILED);
    EXPECT_EQ(RulesMachine(on_path).rec.reason, REASON_ADDRESS_CONFLICT);
    EXPECT_EQ(PhaseOf(3), CONFIRMING);
    App(1);
    EXPECT_EQ(Act(&i), -1);  // no new machine at an address in conflict
    EXPECT_EQ(RulesMachineCount(), 3);
}

// What is not chosen is said once, however often it announces: another
// model, an address the list does not name, one named by another host.
TEST_F(Rules, WhatIsLeftAloneIsSaidOnce) {
    opts.models = 1u << MODEL_T7;
    Name({1, 2});
    Start();
    for (int round = 0; round < 3; ++round) {
        RulesHeard(Announce(1, "Tavix5S", 7001, fake_now));
        App(3);
        App(2, 0, Addr(66));
        (void)ActAll(false);
        Later(1000);
    }
    EXPECT_EQ(Count(NEWS_LEFT_ALONE), 3);
    EXPECT_EQ(PhaseOf(1), SKIPPED);  // named: accounted for
    EXPECT_EQ(TableFind(Addr(3)), -1);
    EXPECT_EQ(TableFind(Addr(2)), -1);  // a claim is not hearing it
    OutcomeEnd();
    EXPECT_EQ(RunExitStatus(), 3);
}

// A station's record: an application that has the image is asked about
// once, left alone and done; a boot loader (no serial number) is never
// asked. Without --all the one machine is done, and so is the run.
std::vector<uint32_t> asked;
bool HasImage(const Announcement& an, char* when, size_t cap) {
    asked.push_back(an.serial);
    snprintf(when, cap, "2026-12-09 07:12");
    return an.serial == 5001;
}

TEST_F(Rules, AMachineThatHasTheImageIsLeftAloneAndCountsAsDone) {
    asked.clear();
    RulesAskHasImage(HasImage);
    Start();
    for (int round = 0; round < 3; ++round) {
        App(1);
        Boot(2);
        App(3);
        Later(1000);
        (void)ActAll();
    }
    EXPECT_EQ(asked, (std::vector<uint32_t>{5001, 5003}));
    EXPECT_EQ(PhaseOf(1), SKIPPED);
    EXPECT_EQ(RulesMachine(TableFind(Addr(1))).rec.reason, REASON_ALREADY_UPDATED);
    EXPECT_EQ(PhaseOf(2), UPDATING);
    EXPECT_EQ(PhaseOf(3), RESETTING);
    opts.all = false;
    Start();
    App(1);
    Later(1000);
    (void)ActAll();
    EXPECT_EQ(Count(NEWS_BEGAN), 2);  // 2 and 3 of the first run
    EXPECT_TRUE(RunFinished());
    OutcomeEnd();
    EXPECT_EQ(RunExitStatus(), 0);
    RulesAskHasImage(nullptr);
}

// A stop: a transfer under way runs on; every other path ends before its
// next step, and what waits or restarts is left as it is; asked again, the
// transfer is abandoned without '3'.
TEST_F(Rules, AStopLeavesEachPhaseAsItIsAndASecondAbandonsTheTransfer) {
    opts.retries = 1;
    Start();
    for (int n = 1; n <= 7; ++n) App(n);
    Later(kListenFirstMs);
    for (int n = 2; n <= 7; ++n) App(n);  // 1 waits to begin
    int i = -1, connecting = -1, restarting = -1, boot = -1, transfer = -1, confirming = -1, retrying = -1;
    ASSERT_EQ(Act(&connecting), 2);
    ASSERT_EQ(Act(&restarting), 2);
    Reset(restarting);
    for (int* m : {&boot, &transfer, &confirming, &retrying}) {
        ASSERT_EQ(Act(m), 2);
        Reset(*m);
    }
    for (int n = 4; n <= 7; ++n) Boot(n);
    for (int k = 0; k < 4; ++k) ASSERT_EQ(Act(&i), 1);
    Ex(boot, EX_CONNECTED);
    Ex(transfer, EX_CONNECTED);
    Ex(transfer, EX_TRANSFER, TN_STARTED);
    Download(confirming, true);
    Download(retrying, false);
    ASSERT_EQ(PhaseOf(7), RETRYING);
    App(8);  // heard just before the stop
    RulesStop();
    EXPECT_EQ(RulesTransfersUnderWay(), 1);
    EXPECT_EQ(PhaseOf(1), SKIPPED);
    EXPECT_EQ(RulesMachine(TableFind(Addr(1))).rec.reason, REASON_RUN_STOPPED);
    EXPECT_EQ(RulesHalt(connecting), REASON_RUN_STOPPED);  // no reset
    EXPECT_EQ(PhaseOf(3), SKIPPED);
    EXPECT_EQ(RulesMachine(restarting).rec.reason, REASON_STOPPED_IN_BOOT_LOADER);
    EXPECT_EQ(RulesHalt(boot), REASON_STOPPED_IN_BOOT_LOADER);  // no '4', '1' or transfer
    EXPECT_EQ(RulesHalt(transfer), REASON_NONE);
    EXPECT_EQ(PhaseOf(6), CONFIRMING);
    EXPECT_EQ(PhaseOf(7), FAILED);  // no other try
    EXPECT_EQ(PhaseOf(8), SKIPPED);
    Ex(connecting, EX_ABANDONED);
    Ex(boot, EX_ABANDONED);
    EXPECT_EQ(PhaseOf(2), SKIPPED);
    EXPECT_EQ(RulesMachine(boot).rec.reason, REASON_STOPPED_IN_BOOT_LOADER);
    Later(kListenFirstMs);
    App(9);
    Later(kListenHeardOnceMs);
    EXPECT_TRUE(ActAll().empty());  // nothing begins
    EXPECT_EQ(PhaseOf(9), SKIPPED);
    RulesAbandon();
    EXPECT_EQ(RulesHalt(transfer), REASON_ABANDONED);
    Ex(transfer, EX_TRANSFER, TN_FAILED_DATA);
    Ex(transfer, EX_NO_RUN);
    EXPECT_EQ(PhaseOf(5), FAILED);
    EXPECT_EQ(RulesMachine(transfer).rec.reason, REASON_ABANDONED);
    EXPECT_EQ(RulesTransfersUnderWay(), 0);
    // The stopped run still waits to hear the machine that had its '3'.
    EXPECT_TRUE(RulesAwaiting());
    App(6);
    EXPECT_TRUE(ActAll().empty());
    EXPECT_EQ(PhaseOf(6), UPDATED);
    EXPECT_FALSE(RulesAwaiting());
}

// Datagrams of one sender and address take one place in a line, the newest
// there, keeping the first arrival of identical ones and a conflict once
// seen; another sender's claim of the address waits in a place of its own.
TEST(ArrivalLine, MergesByKeyAndKeepsWhatCounts) {
    ArrivalLine line;
    Arrival a = Announce(1, "Tavix7", 1, 100);
    a.conflict = true;
    const uint64_t key = ArrivalKey(a.from, Addr(1));
    ASSERT_TRUE(LinePut(&line, key, a));
    ASSERT_TRUE(LinePut(&line, ArrivalKey(Addr(9), Addr(1)), Announce(1, "Tavix7", 1, 150, Addr(9))));
    ASSERT_TRUE(LinePut(&line, key, Announce(1, "Tavix7", 1, 200)));  // the same again
    Arrival got;
    ASSERT_TRUE(LineTake(&line, &got));
    EXPECT_EQ(got.arrived_ms, 200u);
    EXPECT_EQ(got.first_arrived_ms, 100u);
    EXPECT_TRUE(got.conflict);
    ASSERT_TRUE(LineTake(&line, &got));
    EXPECT_EQ(got.from, Addr(9));
    EXPECT_FALSE(LineTake(&line, &got));
    ASSERT_TRUE(LinePut(&line, key, Announce(1, "Tavix7", 1, 300)));
    ASSERT_TRUE(LinePut(&line, key, Announce(1, "BootTavix7", 0, 400)));  // says something new
    ASSERT_TRUE(LineTake(&line, &got));
    EXPECT_EQ(got.first_arrived_ms, 400u);
    LineClear(&line);
}

// A worker's records, both ways: whole ones decode to what was encoded, a
// part waits for the rest, and text or a length no record has is none.
TEST(Wire, RecordsRoundTripAndAPartWaits) {
    char out[kWireMaxBytes];
    const ExecEvent e{EX_TRANSFER, TN_FAILED_DATA, 7, 0x15, 123456789, 9, 3};
    const size_t n = WireEncode(WIRE_EVENT, &e, sizeof e, out);
    WireHeader h;
    for (size_t part = 0; part < n; ++part) EXPECT_EQ(WireDecode(out, part, &h), 0) << part;
    ASSERT_EQ(WireDecode(out, n, &h), static_cast<long>(n));
    ExecEvent back;
    ASSERT_EQ(h.type, WIRE_EVENT);
    ASSERT_EQ(h.len, sizeof back);
    memcpy(&back, out + 1 + sizeof h, sizeof back);
    EXPECT_EQ(memcmp(&back, &e, sizeof e), 0);
    WireDatagram w{};
    w.action = 1;
    w.a = Announce(5, "BootTavix7", 0, 42, Addr(5));
    w.a.conflict = true;
    const size_t m = WireEncode(WIRE_DATAGRAM, &w, sizeof w, out);
    ASSERT_EQ(WireDecode(out, m, &h), static_cast<long>(m));
    WireDatagram wb;
    memcpy(&wb, out + 1 + sizeof h, sizeof wb);
    EXPECT_EQ(wb.action, 1);
    EXPECT_EQ(memcmp(wb.a.data, w.a.data, BUF_SIZE), 0);
    EXPECT_TRUE(wb.a.len == w.a.len && wb.a.arrived_ms == 42 && wb.a.from == Addr(5) && wb.a.conflict);
    EXPECT_EQ(WireDecode("lanflash: a message\n", 20, &h), -1);
    const WireHeader too_long{WIRE_EVENT, static_cast<uint32_t>(kWireMaxPayloadBytes + 1)};
    out[0] = kWireMark;
    memcpy(out + 1, &too_long, sizeof too_long);
    EXPECT_EQ(WireDecode(out, 1 + sizeof too_long, &h), -1);
}

}  // namespace
