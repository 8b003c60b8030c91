// The service-state check and its watch of a pending state. A failed query
// (unhealthy, the watch left alone) is in the fault sweep.

#include "tests/support.h"

namespace nimbrel::test {
namespace {

class ServiceStateCheck : public SimTest {};

constexpr WCHAR kEarlier[] = L"an earlier problem";
constexpr WCHAR kStuck[] = L"Print Spooler stuck in Starting/Stopping state";
constexpr WCHAR kUnexpected[] = L"Print Spooler in unexpected service state";

// Running ends the watch and leaves an earlier text; every other settled
// state is unhealthy and leaves the watch alone.
TEST_F(ServiceStateCheck, JudgesEachStateAndKeepsTheWatchUnlessRunning) {
    const PendingWatchRecord watched = {SERVICE_START_PENDING, 777};
    const struct {
        DWORD state;
        const WCHAR* issue; // the earlier text when healthy
        PendingWatchRecord watchAfter;
    } cases[] = {
        {SERVICE_RUNNING, kEarlier, {0, 0}},
        {SERVICE_STOPPED, L"Print Spooler service is stopped", watched},
        {SERVICE_CONTINUE_PENDING, kUnexpected, watched},
        {SERVICE_PAUSE_PENDING, kUnexpected, watched},
        {SERVICE_PAUSED, kUnexpected, watched},
        {0, kUnexpected, watched},
        {8, kUnexpected, watched},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        sim::Spooler().state = c.state;
        PendingWatch = watched;
        CopyText(LastIssue, kLastIssueCapacity, kEarlier);
        EXPECT_EQ(c.state == SERVICE_RUNNING ? 1 : 0, CheckServiceState() ? 1 : 0);
        EXPECT_EQ(std::wstring(c.issue), Issue());
        EXPECT_EQ(c.watchAfter.state, PendingWatch.state);
        EXPECT_EQ(c.watchAfter.since, PendingWatch.since);
    }
}

// Stuck from exactly HangTimeoutMs after the first sighting, measured by the
// unsigned difference of two tick counts, so a wrap of the counter changes
// nothing; the stuck verdict keeps the watch.
TEST_F(ServiceStateCheck, PendingStateIsStuckFromExactlyHangTimeoutAfterItsFirstSighting) {
    const DWORD hang = 120000;
    const struct {
        DWORD state, hangTimeoutMs, firstTick, laterMs;
        bool stuck;
    } cases[] = {
        {SERVICE_START_PENDING, hang, 1000000, hang - 1, false},
        {SERVICE_START_PENDING, hang, 1000000, hang, true},
        {SERVICE_STOP_PENDING, hang, 1000000, hang - 1, false},
        {SERVICE_STOP_PENDING, hang, 1000000, hang, true},
        {SERVICE_STOP_PENDING, 5000, 1000000, 4999, false},
        {SERVICE_STOP_PENDING, 5000, 1000000, 5000, true},
        {SERVICE_START_PENDING, hang, 0xFFFFFFFFu - 1000, 500, false},
        {SERVICE_START_PENDING, hang, 0xFFFFFFFFu - 1000, hang - 1, false},
        {SERVICE_START_PENDING, hang, 0xFFFFFFFFu - 1000, hang, true},
        {SERVICE_STOP_PENDING, hang, 0xFFFFFFFFu, hang, true},
        {SERVICE_START_PENDING, hang, 0, hang - 1, false},
        {SERVICE_START_PENDING, hang, 0, 2 * hang, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.state << " first at " << c.firstTick << " then +" << c.laterMs);
        Fresh();
        Settings.HangTimeoutMs = c.hangTimeoutMs;
        sim::SetTick(c.firstTick);
        sim::Spooler().state = c.state;
        EXPECT_EQ(1, CheckServiceState());
        sim::AdvanceMs(c.laterMs);
        EXPECT_EQ(c.stuck ? 0 : 1, CheckServiceState());
        EXPECT_EQ(std::wstring(c.stuck ? kStuck : L""), Issue());
        EXPECT_EQ(c.state, PendingWatch.state);
        EXPECT_EQ(c.firstTick, PendingWatch.since);
    }
}

// Only running or the other pending state ends the watch: a pending state
// that returns after a stop, a failed query or an unexpected state is still
// measured from its first sighting.
TEST_F(ServiceStateCheck, OnlyRunningOrTheOtherPendingStateEndsTheWatch) {
    struct Step {
        DWORD state; // 0: the query fails
        DWORD advanceMs;
        int healthy;
    };
    constexpr DWORD kStart = SERVICE_START_PENDING, kStop = SERVICE_STOP_PENDING, kHang = 120000;
    const std::pair<const char*, std::vector<Step>> cases[] = {
        {"start-pending then stop-pending starts anew",
         {{kStart, 0, 1}, {kStop, kHang - 1, 1}, {kStop, kHang - 1, 1}, {kStop, 1, 0}}},
        {"stopped in between", {{kStart, 0, 1}, {SERVICE_STOPPED, 60000, 0}, {kStart, 60000, 0}}},
        {"a failed query in between", {{kStart, 0, 1}, {0, 60000, 0}, {kStart, 60000, 0}}},
        {"an unexpected state in between",
         {{kStop, 0, 1}, {SERVICE_PAUSED, 60000, 0}, {kStop, 60000, 0}}},
        {"running in between ends the watch",
         {{kStart, 0, 1}, {SERVICE_RUNNING, 60000, 1}, {kStart, 60000, 1}, {kStart, kHang - 1, 1}}},
    };
    for (const auto& [what, steps] : cases) {
        SCOPED_TRACE(what);
        Fresh();
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const Step& step = steps[i];
            sim::AdvanceMs(step.advanceMs);
            if (step.state == 0) {
                sim::FailCall(sim::Op::OpenServiceW);
            } else {
                sim::Spooler().state = step.state;
            }
            EXPECT_EQ(step.healthy, CheckServiceState() ? 1 : 0) << "step " << i;
        }
    }
}

} // namespace
} // namespace nimbrel::test
