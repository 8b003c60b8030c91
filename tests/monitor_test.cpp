// The monitor loop over simulated hours and days of a running service:
// automatic recoveries, the hourly limit, hang detection, and stop requests
// that arrive while the loop is busy.
#include "tests/service_fixture.h"

#include "service/monitor.h"

#include <chrono>
#include <cstdio>

namespace nimbrel::test {
namespace {

const std::wstring kStarted = L"Nimbrel service started.";
const std::wstring kStopped = L"Nimbrel service stopped.";
const std::wstring kStoppedSpooler =
    L"Recovery started: Automatic recovery: Print Spooler service is stopped";
const std::wstring kStuckSpooler =
    L"Recovery started: Automatic recovery: Print Spooler stuck in Starting/Stopping state";
const std::wstring kCompleted = L"Print Spooler recovery completed successfully.";
const std::wstring kRateLimited =
    L"Print Spooler unhealthy but recovery rate limit reached. Waiting.";

class MonitorTest : public ServiceTest {
  protected:
    void SetUp() override {
        ServiceTest::SetUp(); // Monday 09:00
        WriteIni({{L"EnableScheduledRestart", L"0"}});
    }

    // The spooler stops by itself `ms` from now.
    static void SpoolerStopsAfter(std::uint64_t ms) {
        sim::After(ms, [] { sim::SetServiceState(L"Spooler", SERVICE_STOPPED); });
    }

    std::vector<std::uint64_t> TimesOf(const std::vector<sim::Event>& events) const {
        std::vector<std::uint64_t> times;
        for (const sim::Event& event : events) {
            times.push_back(SinceStart(event));
        }
        return times;
    }

    static DWORD LastReportedState() {
        return sim::StatusReports().empty() ? 0 : sim::StatusReports().back().dwCurrentState;
    }
};

TEST_F(MonitorTest, AStopSignalledBeforeTheThreadStartsEndsItWithoutACycle) {
    StopEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    EXPECT_EQ(0u, MonitorThread(nullptr));
    EXPECT_EQ(0u, sim::ElapsedMs());
    EXPECT_TRUE(sim::Events().empty());
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::GetLocalTime));
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::OpenSCManagerW));
    CloseHandle(StopEvent);
    StopEvent = nullptr;
}

TEST_F(MonitorTest, AHealthyHourIsOneVerdictPerIntervalAndNothingLogged) {
    sim::SetRecording(false);
    RunServiceFor(kHour);
    EXPECT_EQ((std::vector<std::wstring>{kStarted, kStopped}), EventTexts());
    EXPECT_EQ(kHour, SinceStart(sim::Events()[1]));
    EXPECT_EQ(0u, sim::Spooler().stopRequests + sim::Spooler().startRequests);
    EXPECT_EQ(L"", std::wstring(LastIssue));
}

TEST_F(MonitorTest, AStoppedSpoolerIsRecoveredAfterTheDelayWithItsIssueAsReason) {
    for (DWORD delay : {0u, 3000u, 7250u}) {
        SCOPED_TRACE(delay);
        sim::Reset();
        StartFreshProcess();
        sim::SetStartedByServiceManager(true);
        StartClockAt(2026, 12, 7, 9, 0);
        WriteIni({{L"EnableScheduledRestart", L"0"}, {L"RestartDelayMs", std::to_wstring(delay)}});
        SpoolerStopsAfter(kHour); // 10:00, when a cycle begins

        RunServiceFor(kHour + 30 * kMinute);

        EXPECT_EQ((std::vector<std::wstring>{kStarted, kStoppedSpooler, kCompleted, kStopped}),
                  EventTexts());
        ASSERT_EQ(4u, sim::Events().size());
        EXPECT_EQ(EVENTLOG_WARNING_TYPE, sim::Events()[1].type);
        EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, sim::Events()[2].type);
        EXPECT_EQ(kHour + delay, SinceStart(sim::Events()[1]));
        EXPECT_EQ(SERVICE_RUNNING, sim::Spooler().state);
        EXPECT_EQ(1u, RestartHistory.count);
        ExpectNothingLeftOpen();
    }
}

TEST_F(MonitorTest, TheFourthFailureInAnHourWaitsForTheOldestRecoveryToAge) {
    sim::SetRecording(false);
    for (std::uint64_t minute : {60, 70, 80, 90}) { // 10:00 to 10:30
        SpoolerStopsAfter(minute * kMinute);
    }
    RunServiceFor(3 * kHour);

    const std::vector<std::uint64_t> recoveries = TimesOf(EventsReading(kStoppedSpooler));
    ASSERT_EQ(4u, recoveries.size());
    const std::vector<sim::Event> done = EventsReading(kCompleted);
    ASSERT_EQ(4u, done.size());
    const std::uint64_t oldest = SinceStart(done[0]);
    EXPECT_EQ(kHour + 3 * kSecond, oldest);
    EXPECT_LT(recoveries[2], kHour + 21 * kMinute);
    // The fourth waits until the first is more than an hour old, then comes
    // with the next cycle (10 s) and its pause (3 s).
    EXPECT_GT(recoveries[3], oldest + kHour);
    EXPECT_LE(recoveries[3], oldest + kHour + 13 * kSecond);

    // Meanwhile one warning per cycle, each a warning-type event.
    const std::vector<sim::Event> warnings = EventsReading(kRateLimited);
    ASSERT_EQ(180u, warnings.size());
    EXPECT_GE(SinceStart(warnings.front()), kHour + 30 * kMinute);
    EXPECT_LT(SinceStart(warnings.front()), kHour + 30 * kMinute + 10 * kSecond);
    for (std::size_t i = 1; i < warnings.size(); ++i) {
        EXPECT_EQ(10 * kSecond, warnings[i].elapsedMs - warnings[i - 1].elapsedMs);
        EXPECT_EQ(EVENTLOG_WARNING_TYPE, warnings[i].type);
    }
    EXPECT_EQ(recoveries[3] - 3 * kSecond - 10 * kSecond, SinceStart(warnings.back()));
    EXPECT_EQ(SERVICE_RUNNING, sim::Spooler().state);
    EXPECT_EQ(4u, RestartHistory.count);
}

TEST_F(MonitorTest, ASpoolerStuckStartingIsRecoveredAtTheFirstCyclePastTheHangTimeout) {
    // It crashes at 10:00; the recovery's start hangs and fails after
    // StartTimeoutMs; the spooler stays start-pending until the watch runs
    // out. It accepts a stop while starting, and the second start works.
    WriteIni({{L"EnableScheduledRestart", L"0"}, {L"StartTimeoutMs", L"60000"}});
    sim::Spooler().startPendingMs = sim::kNever;
    sim::Spooler().pendingStopError = 0;
    SpoolerStopsAfter(kHour);
    sim::After(kHour + 30 * kSecond, [] { sim::Spooler().startPendingMs = 2000; });
    sim::SetRecording(false);

    RunServiceFor(2 * kHour);

    EXPECT_EQ((std::vector<std::wstring>{kStarted, kStoppedSpooler,
                                         L"Failed to start Print Spooler during recovery.",
                                         kStuckSpooler, kCompleted, kStopped}),
              EventTexts());
    ASSERT_EQ(6u, sim::Events().size());
    // First sighting one interval after the failure; stuck 120 s later; the
    // 3 s pause; no cycle in between recovered.
    EXPECT_EQ(10 * kSecond + 120 * kSecond + 3 * kSecond,
              sim::Events()[3].elapsedMs - sim::Events()[2].elapsedMs);
    EXPECT_EQ(SERVICE_RUNNING, sim::Spooler().state);
    EXPECT_EQ(1u, RestartHistory.count);
}

TEST_F(MonitorTest, ADailyRestartIsNotHeldBackByTheHourlyLimitNorCountedByIt) {
    StartClockAt(2026, 12, 7, 1, 0);
    WriteIni({}); // the defaults: daily at 02:00
    sim::SetRecording(false);
    for (std::uint64_t minute : {5, 20, 35, 50, 63}) { // 01:05 to 02:03
        SpoolerStopsAfter(minute * kMinute);
    }
    RunServiceFor(3 * kHour);

    const std::vector<std::wstring> texts = EventTexts();
    std::vector<std::wstring> kinds;
    for (const std::wstring& text : texts) {
        if (kinds.empty() || kinds.back() != text) {
            kinds.push_back(text);
        }
    }
    EXPECT_EQ((std::vector<std::wstring>{kStarted, kStoppedSpooler, kCompleted, kStoppedSpooler,
                                         kCompleted, kStoppedSpooler, kCompleted, kRateLimited,
                                         L"Recovery started: Scheduled nightly restart", kCompleted,
                                         kRateLimited, kStoppedSpooler, kCompleted, kStopped}),
              kinds);
    EXPECT_EQ(4u, RestartHistory.count);
    // After 02:03 the limit holds only until the 01:05 recovery is an hour
    // old: the daily restart at 02:00 did not count.
    const std::vector<sim::Event> recoveries = EventsReading(kStoppedSpooler);
    ASSERT_EQ(4u, recoveries.size());
    EXPECT_EQ("02:05", Hhmm(LocalTimeOf(recoveries[3])));
}

TEST_F(MonitorTest, AStopWhileTheVerdictIsFormedEndsTheLoopBeforeTheLimitAndThePause) {
    // A plugin that takes two seconds to find the spooler unhealthy.
    WriteIni({{L"EnableScheduledRestart", L"0"},
              {L"EnablePluginCheck", L"1"},
              {L"PluginPath", L"C:\\Checks\\check.exe"}});
    sim::AddFile(L"C:\\Checks\\check.exe");
    sim::AddProgram(L"\"C:\\Checks\\check.exe\"", {1, 2 * kSecond});
    RunServiceFor(kSecond);

    EXPECT_EQ((std::vector<std::wstring>{kStarted, kStopped}), EventTexts());
    EXPECT_EQ(2 * kSecond, SinceStart(sim::Events()[1]));
    EXPECT_EQ(1u, sim::Launches().size());
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::_time64)) << "the history was counted";
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::Sleep));
}

TEST_F(MonitorTest, AStopDuringTheDelayEndsTheLoopWithoutARecovery) {
    WriteIni({{L"EnableScheduledRestart", L"0"}, {L"RestartDelayMs", L"5000"}});
    SpoolerStopsAfter(kHour);
    sim::SetRecording(false);
    RunServiceFor(kHour + kSecond);
    EXPECT_EQ((std::vector<std::wstring>{kStarted, kStopped}), EventTexts());
    // The pause is not cut short.
    EXPECT_EQ(kHour + 5 * kSecond, SinceStart(sim::Events()[1]));
    EXPECT_EQ(SERVICE_STOPPED, sim::Spooler().state);
    EXPECT_EQ(0u, sim::Spooler().startRequests);
    EXPECT_EQ(SERVICE_STOPPED, LastReportedState());
}

TEST_F(MonitorTest, AStopDuringARecoveryWaitsForItToFinish) {
    sim::Spooler().startPendingMs = 20 * kSecond;
    SpoolerStopsAfter(kHour);
    sim::SetRecording(false);
    sim::After(kHour + 10 * kSecond, [] {
        sim::SendControl(SERVICE_CONTROL_STOP);
        // Told at once, while the spooler is still starting.
        EXPECT_EQ(SERVICE_STOP_PENDING, LastReportedState());
        EXPECT_EQ(SERVICE_START_PENDING, sim::Spooler().state);
    });
    RunServiceMode();

    EXPECT_EQ((std::vector<std::wstring>{kStarted, kStoppedSpooler, kCompleted, kStopped}),
              EventTexts());
    ASSERT_EQ(4u, sim::Events().size());
    EXPECT_EQ(kHour + 23 * kSecond, SinceStart(sim::Events()[2]));
    EXPECT_EQ(sim::Events()[2].elapsedMs, sim::Events()[3].elapsedMs);
    EXPECT_EQ(SERVICE_RUNNING, sim::Spooler().state);
    EXPECT_EQ(4u, sim::StatusReports().size());
    EXPECT_EQ(SERVICE_STOPPED, LastReportedState());
}

TEST_F(MonitorTest, AStopDuringADailyRestartWaitsForItToFinish) {
    WriteIni({{L"RestartTime", L"10:00"}});
    sim::Spooler().startPendingMs = 20 * kSecond;
    sim::SetRecording(false);
    RunServiceFor(kHour + 5 * kSecond);
    EXPECT_EQ((std::vector<std::wstring>{kStarted, L"Recovery started: Scheduled nightly restart",
                                         kCompleted, kStopped}),
              EventTexts());
    ASSERT_EQ(4u, sim::Events().size());
    EXPECT_EQ(kHour, SinceStart(sim::Events()[1]));
    EXPECT_EQ(kHour + 20 * kSecond, SinceStart(sim::Events()[3]));
    EXPECT_EQ(SERVICE_RUNNING, sim::Spooler().state);
}

TEST_F(MonitorTest, AnInfiniteDelayIsEndedByAStopRequest) {
    WriteIni({{L"EnableScheduledRestart", L"0"}, {L"RestartDelayMs", L"4294967295"}});
    SpoolerStopsAfter(kHour);
    RunServiceFor(4 * kHour);

    EXPECT_EQ(4294967295u, Settings.RestartDelayMs);
    EXPECT_EQ((std::vector<std::wstring>{kStarted, kStopped}), EventTexts());
    EXPECT_EQ(4 * kHour, SinceStart(sim::Events()[1]));
    EXPECT_EQ(0u, sim::Spooler().startRequests);
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::Sleep));
    // The pause was a wait on the stop event, the only one without a limit
    // besides ServiceMain's wait for the thread.
    unsigned endless = 0;
    for (const sim::Call& call : sim::CallsOf(sim::Op::WaitForSingleObject)) {
        endless += call.args[1] == L"4294967295" ? 1 : 0;
    }
    EXPECT_EQ(2u, endless);
    EXPECT_EQ(SERVICE_STOPPED, LastReportedState());
}

TEST_F(MonitorTest, AnyOtherDelayIsSleptWholeWhateverAStopRequest) {
    WriteIni({{L"EnableScheduledRestart", L"0"}, {L"RestartDelayMs", L"4294967294"}});
    SpoolerStopsAfter(kHour);
    sim::SetRecording(false);
    RunServiceFor(4 * kHour);
    EXPECT_EQ((std::vector<std::wstring>{kStarted, kStopped}), EventTexts());
    EXPECT_EQ(kHour + 4294967294u, SinceStart(sim::Events()[1]));
}

TEST_F(MonitorTest, ASimulatedMonthRunsInWellUnderASecond) {
    StartClockAt(2026, 12, 1, 0, 0);
    WriteIni({}); // the defaults: every 10 s, daily at 02:00, queues checked
    sim::Spooler().startPendingMs = 1500;
    for (std::uint64_t day = 0; day < 30; day += 3) {
        SpoolerStopsAfter(At(day, 14, 7));
    }
    sim::SetRecording(false);

    const auto started = std::chrono::steady_clock::now();
    RunServiceFor(30 * kDay);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    EXPECT_EQ(30u, ScheduledRestarts().size());
    EXPECT_EQ(10u, EventsReading(kStoppedSpooler).size());
    EXPECT_EQ(40u, EventsReading(kCompleted).size());
    EXPECT_EQ(2u + 30 * 2 + 10 * 2, sim::Events().size());
    EXPECT_EQ(SERVICE_RUNNING, sim::Spooler().state);
    std::printf("[ TIMING   ] a simulated month (%u cycles) in %.3f s\n",
                static_cast<unsigned>(30 * kDay / (10 * kSecond)), seconds);
    RecordProperty("month_seconds", std::to_string(seconds));
}

} // namespace
} // namespace nimbrel::test
