// The fleet's table of machines: as many as are heard, each found again by
// its address, and a board swapped in at a done address a machine of its own.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "fleet.h"
#include "machlist.h"
#include "mstate.h"
#include "options.h"

namespace {

TEST(FleetTable, HoldsEveryMachineHeardAndTellsASwappedBoardApart) {
    MachineListClear();
    LanflashOptions opts;
    opts.any = opts.all = true;
    FleetStart(opts);
    constexpr int kMachines = 1000;  // far beyond the 256 a run once held
    auto addr = [](int n) { return htonl(0x0A000000u + static_cast<uint32_t>(n)); };
    bool added = false;
    for (int n = 0; n < kMachines; ++n) {
        ASSERT_EQ(FleetHeard(addr(n), kAppKind, 5000 + n, "Tavix7", 6, &added), n);
        EXPECT_TRUE(added);
    }
    EXPECT_EQ(FleetMachineCount(), kMachines);
    for (int n : {0, 255, 256, 700, kMachines - 1}) {
        EXPECT_EQ(FleetHeard(addr(n), kAppKind, 5000 + n, "Tavix7", 6, &added), n);
        EXPECT_FALSE(added);
        EXPECT_EQ(FleetAddressOf(n), addr(n));
        EXPECT_EQ(FleetSlotOf(n), SLOT_WAITING);
    }

    char retry[96];
    EXPECT_FALSE(FleetWorking(700, retry, sizeof retry));
    MachineRecord updated;
    updated.result = RESULT_UPDATED;
    updated.has_serial = true;
    updated.serial = 5700;
    FleetConclude(700, updated, true);
    EXPECT_EQ(FleetSlotOf(700), SLOT_DONE);
    // The same board again is done; another serial number or name there is new.
    EXPECT_EQ(FleetHeard(addr(700), kAppKind, 5700, "Tavix7", 6, &added), 700);
    EXPECT_FALSE(added);
    EXPECT_EQ(FleetHeard(addr(700), kAppKind, 9700, "Tavix7", 6, &added), kMachines);
    EXPECT_TRUE(added);
    EXPECT_EQ(FleetSlotOf(kMachines), SLOT_WAITING);
    // Its boot loader, which says no serial number, is the newest machine there.
    EXPECT_EQ(FleetHeard(addr(700), 1, 0, "BootTavix7", 10, &added), kMachines);
    EXPECT_FALSE(added);
    EXPECT_EQ(FleetMachineCount(), kMachines + 1);
}

}  // namespace
