// The monitor loop over simulated hours of a running service.
#include "tests/service_fixture.h"

#include "recovery/restart_history.h"
#include "service/metrics.h"
#include "service/monitor.h"

namespace nimbrel::test {
namespace {

const std::wstring kRecovery =
    L"Recovery started: Automatic recovery: Print Spooler service is stopped";
const std::wstring kCompleted = L"I:Print Spooler recovery completed successfully.";
const std::wstring kRateLimited =
    L"Print Spooler unhealthy but recovery rate limit reached. Waiting.";
const std::wstring kDisabled = L"W:Print Spooler is disabled; Nimbrel will not start it.";

class MonitorTest : public ServiceTest {
  protected:
    void SetUp() override {
        ServiceTest::SetUp();
        sim::SetRecording(false);
    }

    // No daily restart unless asked.
    static void Ini(const std::wstring& more = L"") {
        WriteIni(L"Schedule/EnableScheduledRestart=0\n" + more);
    }

    static void SpoolerEnters(std::uint64_t afterMs, DWORD state = SERVICE_STOPPED) {
        sim::After(afterMs, [state] { sim::SetServiceState(L"Spooler", state); });
    }
};

TEST_F(MonitorTest, AStopSignalledBeforeTheThreadStartsEndsItWithoutACycle) {
    g_StopEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    EXPECT_EQ(0u, MonitorThread(nullptr));
    EXPECT_TRUE(sim::Events().empty());
    CloseHandle(g_StopEvent);
    g_StopEvent = nullptr;
}

// The longest issue is the reason whole; the recovery's own switch empties the folder.
TEST_F(MonitorTest, TheWholeIssueIsTheReasonAndTheFolderIsClearedByTheRecoverysSwitch) {
    Ini(L"Monitor/ClearSpoolOnRecovery=1\nSchedule/ClearSpoolOnScheduledRestart=0");
    sim::AddFile(L"C:\\Windows\\system32\\spool\\PRINTERS\\1.SPL");
    sim::AddPrinter(L"Office");
    sim::AddJob(L"Office", 1, std::wstring(300, L'd'), JOB_STATUS_PRINTING,
                sim::UtcSystemTime(3600));
    RunServiceFor(6 * kMinute);
    const std::wstring issue =
        (L"Stuck print job on 'Office' (job 1, document: " + std::wstring(300, L'd'))
            .substr(0, kLastIssueCapacity - 1);
    EXPECT_FALSE(EventsReading(L"Recovery started: Automatic recovery: " + issue).empty());
    EXPECT_FALSE(sim::Exists(L"C:\\Windows\\system32\\spool\\PRINTERS\\1.SPL"));
}

// The daily restart at 02:00 neither waits for the full hourly limit nor counts in it.
TEST_F(MonitorTest, ADailyRestartIsNotHeldBackByTheHourlyLimitNorCountedByIt) {
    StartClockAt(2026, 12, 7, 1, 0);
    WriteIni(L""); // the defaults: daily at 02:00
    for (std::uint64_t minute : {5, 20, 35, 50, 63}) {
        SpoolerEnters(minute * kMinute);
    }
    RunServiceFor(3 * kHour);
    EXPECT_EQ((std::vector<std::string>{"Mon 01:05", "Mon 01:20", "Mon 01:35", "Mon 02:05"}),
              ClockTimesOf(kRecovery));
    EXPECT_EQ(std::vector<std::string>{"Mon 01:50"}, ClockTimesOf(kRateLimited));
    EXPECT_EQ(std::vector<std::string>{"Mon 02:00"},
              ClockTimesOf(L"Recovery started: Scheduled nightly restart"));
    EXPECT_EQ(4u, g_RestartHistory.count);
}

// No repair, no daily restart and one warning per disabled spell; a start type
// that cannot be read keeps what was known, and a restart passed over does not come late.
TEST_F(MonitorTest, ADisabledSpoolerIsLeftAloneWithOneWarningPerSpell) {
    StartClockAt(2026, 12, 7, 0, 30);
    WriteIni(L""); // the defaults: daily at 02:00
    auto disable = [] {
        sim::Spooler().startType = SERVICE_DISABLED;
        sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    };
    sim::After(30 * kMinute, disable);
    sim::After(2 * kHour, [] {
        sim::FailCall(sim::Op::QueryServiceConfigW, 0, 1, true); // for half an hour
        sim::After(30 * kMinute, [] { sim::ClearFaults(); });
    });
    sim::After(150 * kMinute, [] { sim::Spooler().startType = SERVICE_AUTO_START; });
    sim::After(270 * kMinute, disable);
    RunServiceFor(6 * kHour);
    EXPECT_EQ((std::vector<std::wstring>{kStarted, kDisabled, L"W:" + kRecovery, kCompleted,
                                         kDisabled, kStopped}),
              Logged());
    const std::vector<std::uint64_t> warned = TimesOf(kDisabled.substr(2));
    ASSERT_EQ(2u, warned.size());
    EXPECT_LE(warned[0] - 30 * kMinute, 10 * kSecond) << "at the first cycle of the spell";
    EXPECT_LE(warned[1] - 270 * kMinute, 10 * kSecond);
    EXPECT_EQ(1u, sim::Spooler().startRequests);
    EXPECT_EQ(1u, sim::Spooler().stopRequests);
}

// A stop ends a plugin run, the pause and an unlimited spooler wait at once, terminating
// nothing; a recovery with time limits is let finish.
TEST_F(MonitorTest, AStopIsSeenBetweenAndWithinTheStepsOfACycle) {
    const std::wstring kFailedStop = L"E:Failed to stop Print Spooler during recovery.",
                       kFailedStart = L"E:Failed to start Print Spooler during recovery.",
                       kPaused = L"W:Recovery started: Automatic recovery: Print Spooler in "
                                 L"unexpected service state";
    const std::wstring kRecovered = L"W:" + kRecovery;
    const struct {
        std::wstring ini;
        DWORD state; // entered at 10:00
        std::uint64_t pendingMs, stopAfterMs, stoppedAtMs;
        std::wstring started, ended; // the recovery's events, if one starts
        unsigned plugins, spoolers;  // running when the stop comes, and at the end
    } cases[] = {
        {L"HealthCheck/EnablePluginCheck=1\nHealthCheck/PluginPath=C:\\Checks\\check.exe",
         SERVICE_STOPPED, 20 * kSecond, kSecond, kSecond, L"", L"", 1, 1},
        {L"Recovery/RestartDelayMs=5000", SERVICE_STOPPED, 20 * kSecond, kHour + kSecond,
         kHour + kSecond, L"", L"", 0, 0},
        {L"Recovery/RestartDelayMs=4294967295", SERVICE_STOPPED, 20 * kSecond, 4 * kHour, 4 * kHour,
         L"", L"", 0, 0},
        {L"Recovery/RestartDelayMs=4294967294", SERVICE_STOPPED, 20 * kSecond, 4 * kHour, 4 * kHour,
         L"", L"", 0, 0},
        {L"", SERVICE_STOPPED, 20 * kSecond, kHour + 10 * kSecond, kHour + 23 * kSecond, kRecovered,
         kCompleted, 0, 1},
        {L"Recovery/StopTimeoutMs=4294967295", SERVICE_PAUSED, sim::kNever, 2 * kHour, 2 * kHour,
         kPaused, kFailedStop, 0, 1},
        {L"Recovery/StartTimeoutMs=4294967295", SERVICE_STOPPED, sim::kNever, 2 * kHour, 2 * kHour,
         kRecovered, kFailedStart, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.ini));
        SetUp();
        Ini(c.ini);
        // A plugin that takes 2 s to find the spooler unhealthy.
        sim::AddFile(L"C:\\Checks\\check.exe");
        sim::AddProgram(L"\"C:\\Checks\\check.exe\"", {1, 2 * kSecond});
        SpoolerEnters(kHour, c.state);
        sim::Spooler().startPendingMs = c.pendingMs;
        sim::Spooler().stopPendingMs = c.pendingMs == sim::kNever ? sim::kNever : 0;
        sim::After(c.stopAfterMs, [plugins = c.plugins] {
            EXPECT_EQ(plugins, sim::RunningProcesses(L"\"C:\\Checks\\check.exe\""));
            sim::SendControl(SERVICE_CONTROL_STOP);
            EXPECT_EQ(SERVICE_STOP_PENDING, sim::StatusReports().back().dwCurrentState);
        });
        EXPECT_EQ(0, RunServiceMode());
        const std::vector<std::wstring> quiet = {kStarted, kStopped},
                                        busy = {kStarted, c.started, c.ended, kStopped};
        EXPECT_EQ(c.started.empty() ? quiet : busy, Logged());
        EXPECT_EQ(c.stoppedAtMs, SinceStart(sim::Events().back()));
        EXPECT_EQ(0u, sim::RunningProcesses(L"\"C:\\Checks\\check.exe\"")) << "the plugin ended";
        EXPECT_EQ(c.spoolers, sim::RunningProcesses(L"spoolsv.exe"));
    }
}

// Stopped or paused wakes the loop at once; a pending state, or no notification, waits a cycle.
TEST_F(MonitorTest, ASpoolerThatLeavesTheRunningStateIsNoticedAtOnce) {
    const struct {
        DWORD state;
        bool notificationsFail;
        std::uint64_t first, second; // from 10:00:03 and 10:10:08, off the cycles' grid
    } cases[] = {
        {SERVICE_STOPPED, false, 0, 0},
        {SERVICE_PAUSED, false, 0, 0},
        {SERVICE_STOP_PENDING, false, 127 * kSecond, 122 * kSecond},
        {SERVICE_STOPPED, true, 7 * kSecond, 2 * kSecond},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        SetUp();
        Ini(L"Recovery/RestartDelayMs=0");
        if (c.notificationsFail) {
            sim::FailCall(sim::Op::NotifyServiceStatusChangeW, 0, 1, true);
        }
        SpoolerEnters(kHour + 3 * kSecond, c.state);
        SpoolerEnters(kHour + 10 * kMinute + 8 * kSecond, c.state);
        EXPECT_EQ(0, RunServiceFor(kHour + 15 * kMinute));
        const std::vector<std::wstring> logged = Logged();
        ASSERT_EQ(6u, logged.size());
        EXPECT_EQ(logged[1], logged[3]) << "the same repair twice";
        EXPECT_EQ(L"W:Recovery started: ", logged[1].substr(0, 20));
        EXPECT_EQ(kHour + 3 * kSecond + c.first, SinceStart(sim::Events()[1]));
        EXPECT_EQ(kHour + 10 * kMinute + 8 * kSecond + c.second, SinceStart(sim::Events()[3]));
    }
}

// A spooler that cannot be started must not shorten the wait; a failed wait is no stop.
TEST_F(MonitorTest, ASpoolerThatStaysStoppedDoesNotMakeTheLoopSpin) {
    Ini(L"Recovery/RestartDelayMs=0");
    sim::Spooler().startError = ERROR_ACCESS_DENIED;
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    sim::After(kMinute, [] { sim::FailCall(sim::Op::WaitForSingleObject); }); // not a stop
    EXPECT_EQ(0, RunServiceFor(kHour - kSecond));
    EXPECT_EQ(360u, g_Metrics.cycles);
}

} // namespace
} // namespace nimbrel::test
