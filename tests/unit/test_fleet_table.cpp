// The fleet's table of machines: as many as are heard, each found again by
// its address, and a board swapped in at a done address a machine of its own.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "fleet_choose.h"
#include "fleet_rules.h"
#include "machlist.h"
#include "mstate.h"
#include "options.h"

namespace {

TEST(FleetTable, HoldsEveryMachineHeardAndTellsASwappedBoardApart) {
    MachineListClear();
    LanflashOptions opts;
    opts.any = opts.all = true;
    FleetStart(opts, false);
    constexpr int kMachines = 1000;  // far beyond the 256 a run once held
    auto addr = [](int n) { return htonl(0x0A000000u + static_cast<uint32_t>(n)); };
    bool added = false;
    auto heard = [&](uint32_t a, int kind, uint32_t serial, const char* name, int len) {
        Heard how = HEARD_KNOWN;
        const int i = FleetHeard(a, kind, serial, name, len, &how);
        added = how == HEARD_ADDED;
        return i;
    };
    for (int n = 0; n < kMachines; ++n) {
        ASSERT_EQ(heard(addr(n), kAppKind, 5000 + n, "Tavix7", 6), n);
        EXPECT_TRUE(added);
    }
    EXPECT_EQ(FleetMachineCount(), kMachines);
    for (int n : {0, 255, 256, 700, kMachines - 1}) {
        EXPECT_EQ(heard(addr(n), kAppKind, 5000 + n, "Tavix7", 6), n);
        EXPECT_FALSE(added);
        EXPECT_EQ(FleetAddressOf(n), addr(n));
        EXPECT_EQ(FleetSlotOf(n), SLOT_WAITING);
    }

    char retry[96];
    MachineRecord updated;
    updated.result = RESULT_UPDATED;
    updated.has_serial = true;
    for (int n : {700, 701}) {
        EXPECT_FALSE(FleetWorking(n, retry, sizeof retry));
        updated.serial = 5000 + static_cast<uint32_t>(n);
        FleetConclude(n, updated, true);
        EXPECT_EQ(FleetSlotOf(n), SLOT_DONE);
    }
    // The same board again is done, whatever its new firmware writes behind
    // its model's name; another serial number or model there is a board
    // swapped in, a machine of its own.
    EXPECT_EQ(heard(addr(700), kAppKind, 5700, "Tavix7 2.1", 10), 700);
    EXPECT_FALSE(added);
    EXPECT_EQ(heard(addr(700), kAppKind, 9700, "Tavix7", 6), kMachines);
    EXPECT_TRUE(added);
    EXPECT_EQ(heard(addr(701), kAppKind, 5701, "Tavix5S", 7), kMachines + 1);
    EXPECT_TRUE(added);
    EXPECT_EQ(FleetSlotOf(kMachines), SLOT_WAITING);
    // Its boot loader, which says no serial number, is the newest machine there.
    EXPECT_EQ(heard(addr(700), 1, 0, "BootTavix7", 10), kMachines);
    EXPECT_FALSE(added);
    EXPECT_EQ(FleetMachineCount(), kMachines + 2);
}

}  // namespace
