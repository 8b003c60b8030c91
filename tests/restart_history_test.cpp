// The hourly limit's memory, whichever way the clock is set.
#include "recovery/restart_history.h"
#include "tests/support.h"

namespace nimbrel::test {
namespace {

class RestartHistoryTest : public SimTest {};

TEST_F(RestartHistoryTest, TheThirtyThirdEntryDropsTheOldest) {
    const std::int64_t first = _time64(nullptr);
    for (int i = 0; i < 33; ++i) {
        RecordRestart();
        sim::JumpWallClock(1);
    }
    ASSERT_EQ(32u, g_RestartHistory.count);
    for (DWORD i = 0; i < 32; ++i) {
        EXPECT_EQ(first + 1 + i, g_RestartHistory.entries[i]) << i;
    }
}

// An hour-old entry still counts; one in the future counts until an hour after it.
TEST_F(RestartHistoryTest, TheWindowHoldsAnHourAndASetBackClockReleasesNothingEarly) {
    RecordRestart();
    sim::JumpWallClock(-7200);
    RecordRestart();
    const std::pair<std::int64_t, DWORD> steps[] = {{0, 2}, {3600, 2}, {1, 1}, {7199, 1}, {1, 0}};
    for (const auto& [jump, counted] : steps) {
        sim::JumpWallClock(jump);
        EXPECT_EQ(counted, CountRecentRestarts()) << jump;
    }
}

} // namespace
} // namespace nimbrel::test
