// The hourly limit's memory: the window, the slide of a full history, and a
// clock set back or forward.

#include "recovery/restart_history.h"

#include "tests/support.h"

namespace nimbrel::test {
namespace {

class RestartHistoryTest : public SimTest {};

TEST_F(RestartHistoryTest, TheThirtyThirdEntryDropsTheOldest) {
    EXPECT_EQ(0u, CountRecentRestarts());
    const std::int64_t first = _time64(nullptr);
    for (int i = 0; i < 33; ++i) {
        RecordRestart();
        sim::JumpWallClock(1);
    }
    ASSERT_EQ(32u, RestartHistory.count);
    for (DWORD i = 0; i < 32; ++i) {
        EXPECT_EQ(first + 1 + i, RestartHistory.entries[i]) << i;
    }
    EXPECT_EQ(32u, CountRecentRestarts());
}

// An entry exactly an hour old still counts; old entries stay, uncounted.
TEST_F(RestartHistoryTest, AnEntryExactlyAnHourOldStillCounts) {
    RecordRestart();
    sim::JumpWallClock(1800);
    RecordRestart();
    sim::JumpWallClock(1800);
    EXPECT_EQ(2u, CountRecentRestarts());
    sim::JumpWallClock(1);
    EXPECT_EQ(1u, CountRecentRestarts());
    sim::JumpWallClock(1800);
    EXPECT_EQ(0u, CountRecentRestarts());
    EXPECT_EQ(2u, RestartHistory.count);
}

// Setting the clock back never releases the limit early: an entry in the
// future counts until the clock has passed it by an hour.
TEST_F(RestartHistoryTest, ClockSetBackKeepsEntriesCountedAndForwardReleasesThem) {
    const std::int64_t recorded = _time64(nullptr);
    RecordRestart();
    sim::JumpWallClock(-7200);
    RecordRestart();
    EXPECT_EQ(recorded, RestartHistory.entries[0]); // recording order, not sorted
    EXPECT_EQ(recorded - 7200, RestartHistory.entries[1]);
    EXPECT_EQ(2u, CountRecentRestarts());
    sim::JumpWallClock(3601); // the second has aged out; the first is still ahead
    EXPECT_EQ(1u, CountRecentRestarts());
    sim::JumpWallClock(3599 + 3600); // the first is exactly an hour old
    EXPECT_EQ(1u, CountRecentRestarts());
    sim::JumpWallClock(1);
    EXPECT_EQ(0u, CountRecentRestarts());

    RecordRestart();
    RecordRestart();
    sim::JumpWallClock(3601); // set forward by more than an hour
    EXPECT_EQ(0u, CountRecentRestarts());
}

} // namespace
} // namespace nimbrel::test
