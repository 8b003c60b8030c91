#include "tests/health_support.h"

namespace nimbrel::test {
namespace {

class ServiceStateCheck : public HealthTest {};

constexpr WCHAR kEarlier[] = L"an earlier problem";
constexpr WCHAR kStopped[] = L"Print Spooler service is stopped";
constexpr WCHAR kStuck[] = L"Print Spooler stuck in Starting/Stopping state";
constexpr WCHAR kUnexpected[] = L"Print Spooler in unexpected service state";
constexpr WCHAR kUnqueried[] = L"Unable to query Print Spooler service state";

TEST_F(ServiceStateCheck, JudgesEachStateAndKeepsTheWatchUnlessRunning) {
    struct Case {
        DWORD state;
        int healthy;
        const WCHAR* issue;
        PendingWatchRecord watchAfter;
    };
    const PendingWatchRecord watched = {SERVICE_START_PENDING, 777};
    const Case cases[] = {
        {SERVICE_RUNNING, 1, kEarlier, {0, 0}},
        {SERVICE_STOPPED, 0, kStopped, watched},
        {SERVICE_CONTINUE_PENDING, 0, kUnexpected, watched},
        {SERVICE_PAUSE_PENDING, 0, kUnexpected, watched},
        {SERVICE_PAUSED, 0, kUnexpected, watched},
        {0, 0, kUnexpected, watched},
        {8, 0, kUnexpected, watched},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.state);
        sim::Spooler().state = c.state;
        PendingWatch = watched;
        CopyText(LastIssue, kLastIssueCapacity, kEarlier);
        EXPECT_EQ(c.healthy, CheckServiceState() ? 1 : 0);
        EXPECT_EQ(std::wstring(c.issue), Issue());
        EXPECT_EQ(c.watchAfter.state, PendingWatch.state);
        EXPECT_EQ(c.watchAfter.since, PendingWatch.since);
    }
}

TEST_F(ServiceStateCheck, FailedQueryIsUnhealthyAndLeavesTheWatch) {
    struct Case {
        const char* what;
        void (*arrange)();
    };
    const Case cases[] = {
        {"no Spooler service", [] { sim::RemoveService(L"Spooler"); }},
        {"no right to connect", [] { sim::SetManagerAccessDenied(true); }},
        {"no right to query", [] { sim::Spooler().deniedAccess = SERVICE_QUERY_STATUS; }},
        {"query fails", [] { sim::FailCall(sim::Op::QueryServiceStatusEx); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        sim::SetServiceState(L"Spooler", SERVICE_START_PENDING);
        PendingWatch = {SERVICE_START_PENDING, 5};
        c.arrange();
        EXPECT_EQ(0, CheckServiceState());
        EXPECT_EQ(std::wstring(kUnqueried), Issue());
        EXPECT_EQ(SERVICE_START_PENDING, PendingWatch.state);
        EXPECT_EQ(5u, PendingWatch.since);
        ExpectNothingLeftOpen();
    }
}

// The hang test is exact at HangTimeoutMs and uses the unsigned difference
// of two tick counts, so a wrap of the counter changes nothing.
TEST_F(ServiceStateCheck, PendingStateIsStuckFromExactlyHangTimeoutAfterItsFirstSighting) {
    struct Case {
        DWORD state;
        DWORD firstTick;
        DWORD laterMs;
        int healthy;
    };
    const DWORD hang = 120000;
    const Case cases[] = {
        {SERVICE_START_PENDING, 1000000, hang - 1, 1},
        {SERVICE_START_PENDING, 1000000, hang, 0},
        {SERVICE_STOP_PENDING, 1000000, hang - 1, 1},
        {SERVICE_STOP_PENDING, 1000000, hang, 0},
        {SERVICE_START_PENDING, 0xFFFFFFFFu - 1000, hang - 1, 1},
        {SERVICE_START_PENDING, 0xFFFFFFFFu - 1000, hang, 0},
        {SERVICE_STOP_PENDING, 0xFFFFFFFFu, hang, 0},
        {SERVICE_START_PENDING, 0, hang - 1, 1},
        {SERVICE_START_PENDING, 0, 2 * hang, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.state << " first at " << c.firstTick << " then +" << c.laterMs);
        PendingWatch = {0, 0};
        LastIssue[0] = 0;
        sim::SetTick(c.firstTick);
        sim::Spooler().state = c.state;
        EXPECT_EQ(1, CheckServiceState());
        EXPECT_EQ(c.state, PendingWatch.state);
        EXPECT_EQ(c.firstTick, PendingWatch.since);
        sim::AdvanceMs(c.laterMs);
        EXPECT_EQ(c.healthy, CheckServiceState() ? 1 : 0);
        EXPECT_EQ(std::wstring(c.healthy ? L"" : kStuck), Issue());
        EXPECT_EQ(c.firstTick, PendingWatch.since) << "the stuck verdict keeps the watch";
    }
}

TEST_F(ServiceStateCheck, HangTimeoutComesFromTheSettings) {
    Settings.HangTimeoutMs = 5000;
    sim::Spooler().state = SERVICE_STOP_PENDING;
    EXPECT_EQ(1, CheckServiceState());
    sim::AdvanceMs(4999);
    EXPECT_EQ(1, CheckServiceState());
    sim::AdvanceMs(1);
    EXPECT_EQ(0, CheckServiceState());
    sim::AdvanceMs(60000);
    EXPECT_EQ(0, CheckServiceState()) << "still stuck while the same state is seen";
}

TEST_F(ServiceStateCheck, OnlyRunningOrTheOtherPendingStateEndsTheWatch) {
    struct Step {
        DWORD state; // 0: the query fails
        DWORD advanceMs;
        int healthy;
    };
    struct Case {
        const char* what;
        std::vector<Step> steps;
    };
    const DWORD hang = 120000;
    const Case cases[] = {
        {"start-pending then stop-pending starts anew",
         {{SERVICE_START_PENDING, 0, 1},
          {SERVICE_STOP_PENDING, hang - 1, 1},
          {SERVICE_STOP_PENDING, hang - 1, 1},
          {SERVICE_STOP_PENDING, 1, 0}}},
        {"stopped in between: measured from the first sighting",
         {{SERVICE_START_PENDING, 0, 1},
          {SERVICE_STOPPED, 60000, 0},
          {SERVICE_START_PENDING, 60000, 0}}},
        {"a failed query in between: measured from the first sighting",
         {{SERVICE_START_PENDING, 0, 1}, {0, 60000, 0}, {SERVICE_START_PENDING, 60000, 0}}},
        {"an unexpected state in between: measured from the first sighting",
         {{SERVICE_STOP_PENDING, 0, 1},
          {SERVICE_PAUSED, 60000, 0},
          {SERVICE_STOP_PENDING, 60000, 0}}},
        {"running in between ends the watch",
         {{SERVICE_START_PENDING, 0, 1},
          {SERVICE_RUNNING, 60000, 1},
          {SERVICE_START_PENDING, 60000, 1},
          {SERVICE_START_PENDING, hang - 1, 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        FreshProcess();
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const Step& step = c.steps[i];
            sim::AdvanceMs(step.advanceMs);
            if (step.state == 0) {
                sim::FailCall(sim::Op::OpenServiceW);
            } else {
                sim::Spooler().state = step.state;
            }
            EXPECT_EQ(step.healthy, CheckServiceState() ? 1 : 0) << "step " << i;
        }
        ExpectNothingLeftOpen();
    }
}

TEST_F(ServiceStateCheck, HealthyVerdictLeavesAnEarlierTextAndQueriesOncePerCall) {
    sim::Spooler().state = SERVICE_STOPPED;
    EXPECT_EQ(0, CheckServiceState());
    sim::Spooler().state = SERVICE_START_PENDING;
    EXPECT_EQ(1, CheckServiceState());
    sim::Spooler().state = SERVICE_RUNNING;
    EXPECT_EQ(1, CheckServiceState());
    EXPECT_EQ(std::wstring(kStopped), Issue());
    EXPECT_EQ(3u, sim::CountCalls(sim::Op::QueryServiceStatusEx));
    for (const sim::Call& call : sim::CallsOf(sim::Op::OpenServiceW)) {
        EXPECT_EQ(L"Spooler", call.args[1]);
        EXPECT_EQ(L"4", call.args[2]) << "the state is all it asks for";
    }
}

} // namespace
} // namespace nimbrel::test
