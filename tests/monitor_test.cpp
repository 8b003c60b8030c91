// The monitor loop over simulated hours of a running service: automatic
// recoveries and their reasons, the hourly limit, hang detection, and stop
// requests that arrive while the loop is busy.
#include "tests/service_fixture.h"

#include "recovery/restart_history.h"
#include "service/monitor.h"

namespace nimbrel::test {
namespace {

const std::wstring kStarted = L"I:Nimbrel service started.";
const std::wstring kStopped = L"I:Nimbrel service stopped.";
const std::wstring kStoppedSpooler =
    L"W:Recovery started: Automatic recovery: Print Spooler service is stopped";
const std::wstring kCompleted = L"I:Print Spooler recovery completed successfully.";
const std::wstring kRateLimited =
    L"W:Print Spooler unhealthy but recovery rate limit reached. Waiting.";
const std::wstring kScheduled = L"W:Recovery started: Scheduled nightly restart";

class MonitorTest : public ServiceTest {
  protected:
    void SetUp() override {
        ServiceTest::SetUp(); // Monday 09:00
        sim::SetRecording(false);
    }

    // The settings file: no daily restart unless asked, and `more`.
    static void Ini(const std::wstring& more = L"") {
        WriteIni(L"Schedule/EnableScheduledRestart=0\n" + more);
    }

    // The spooler stops by itself `ms` from now.
    static void SpoolerStopsAfter(std::uint64_t ms) {
        sim::After(ms, [] { sim::SetServiceState(L"Spooler", SERVICE_STOPPED); });
    }

    std::vector<std::uint64_t> TimesOf(const std::wstring& text) const {
        std::vector<std::uint64_t> times;
        for (const sim::Event& event : EventsReading(text.substr(2))) {
            times.push_back(SinceStart(event));
        }
        return times;
    }
};

TEST_F(MonitorTest, AStopSignalledBeforeTheThreadStartsEndsItWithoutACycle) {
    StopEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    EXPECT_EQ(0u, MonitorThread(nullptr));
    EXPECT_EQ(0u, sim::ElapsedMs());
    EXPECT_TRUE(sim::Events().empty());
    CloseHandle(StopEvent);
    StopEvent = nullptr;
}

// The recovery comes RestartDelayMs after the cycle that found the problem,
// with the issue as its reason; a healthy hour before it logs nothing.
TEST_F(MonitorTest, AStoppedSpoolerIsRecoveredAfterTheDelayWithItsIssueAsReason) {
    for (DWORD delay : {0u, 3000u, 7250u}) {
        SCOPED_TRACE(delay);
        SetUp(); // a fresh machine and process
        Ini(L"Recovery/RestartDelayMs=" + std::to_wstring(delay));
        SpoolerStopsAfter(kHour); // 10:00, when a cycle begins
        RunServiceFor(kHour + 30 * kMinute);
        EXPECT_EQ((std::vector<std::wstring>{kStarted, kStoppedSpooler, kCompleted, kStopped}),
                  Logged());
        EXPECT_EQ((std::vector<std::uint64_t>{kHour + delay}), TimesOf(kStoppedSpooler));
        EXPECT_EQ(SERVICE_RUNNING, sim::Spooler().state);
        EXPECT_EQ(1u, RestartHistory.count);
    }
}

// The longest issue is the reason whole; an automatic recovery empties the
// spool folder by its own switch, not the daily restart's. (The job is found
// stuck once the service has watched it make no progress for 5 minutes.)
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

// Three recoveries between 10:00 and 10:20; the fourth waits until the first
// completed more than an hour ago, then comes with the next cycle (10 s) and
// its pause (3 s). Meanwhile one warning, at the first refusal.
TEST_F(MonitorTest, TheFourthFailureInAnHourWaitsForTheOldestRecoveryToAge) {
    Ini();
    for (std::uint64_t minute : {60, 70, 80, 90}) {
        SpoolerStopsAfter(minute * kMinute);
    }
    RunServiceFor(3 * kHour);

    const std::vector<std::uint64_t> recoveries = TimesOf(kStoppedSpooler);
    ASSERT_EQ(4u, recoveries.size());
    const std::uint64_t oldest = TimesOf(kCompleted).at(0);
    EXPECT_EQ(kHour + 3 * kSecond, oldest);
    EXPECT_LT(recoveries[2], kHour + 21 * kMinute);
    EXPECT_GT(recoveries[3], oldest + kHour);
    EXPECT_LE(recoveries[3], oldest + kHour + 13 * kSecond);

    const std::vector<std::uint64_t> warnings = TimesOf(kRateLimited);
    ASSERT_EQ(1u, warnings.size()) << "the first refusal only, within the hour";
    EXPECT_GE(warnings.front(), kHour + 30 * kMinute);
    EXPECT_LT(warnings.front(), kHour + 30 * kMinute + 10 * kSecond);
    EXPECT_EQ(4u, RestartHistory.count);
}

// It crashes at 10:00; the recovery's start hangs and fails after
// StartTimeoutMs; the spooler stays start-pending. The first sighting of
// that state is one interval after the failure, stuck 120 s later, then the
// 3 s pause: no cycle in between recovered. The second start works.
TEST_F(MonitorTest, ASpoolerStuckStartingIsRecoveredAtTheFirstCyclePastTheHangTimeout) {
    Ini(L"Recovery/StartTimeoutMs=60000");
    sim::Spooler().startPendingMs = sim::kNever;
    sim::Spooler().pendingStopError = 0;
    SpoolerStopsAfter(kHour);
    sim::After(kHour + 30 * kSecond, [] { sim::Spooler().startPendingMs = 2000; });
    RunServiceFor(2 * kHour);

    const std::wstring stuck =
        L"W:Recovery started: Automatic recovery: Print Spooler stuck in Starting/Stopping state";
    EXPECT_EQ((std::vector<std::wstring>{kStarted, kStoppedSpooler,
                                         L"E:Failed to start Print Spooler during recovery.", stuck,
                                         kCompleted, kStopped}),
              Logged());
    ASSERT_EQ(6u, sim::Events().size());
    EXPECT_EQ(10 * kSecond + 120 * kSecond + 3 * kSecond,
              sim::Events()[3].elapsedMs - sim::Events()[2].elapsedMs);
    EXPECT_EQ(SERVICE_RUNNING, sim::Spooler().state);
}

// After 02:03 the limit holds only until the 01:05 recovery is an hour old:
// the daily restart at 02:00 was not held back by it and did not count.
TEST_F(MonitorTest, ADailyRestartIsNotHeldBackByTheHourlyLimitNorCountedByIt) {
    StartClockAt(2026, 12, 7, 1, 0);
    WriteIni(L""); // the defaults: daily at 02:00
    for (std::uint64_t minute : {5, 20, 35, 50, 63}) {
        SpoolerStopsAfter(minute * kMinute);
    }
    RunServiceFor(3 * kHour);

    std::vector<std::wstring> kinds;
    for (const std::wstring& text : Logged()) {
        if (kinds.empty() || kinds.back() != text) {
            kinds.push_back(text);
        }
    }
    EXPECT_EQ(
        (std::vector<std::wstring>{kStarted, kStoppedSpooler, kCompleted, kStoppedSpooler,
                                   kCompleted, kStoppedSpooler, kCompleted, kRateLimited,
                                   kScheduled, kCompleted, kStoppedSpooler, kCompleted, kStopped}),
        kinds);
    EXPECT_EQ(4u, RestartHistory.count);
    const std::vector<sim::Event> recoveries = EventsReading(kStoppedSpooler.substr(2));
    ASSERT_EQ(4u, recoveries.size());
    EXPECT_EQ("02:05", Hhmm(LocalTimeOf(recoveries[3])));
}

// Disabled at 01:00 and stopped: no recovery, no daily restart at 02:00, one
// warning. Enabled at 03:00: the next cycle repairs it, and the day's
// restart, passed over, does not come late. Disabled and stopped again at
// 05:00: a new spell, a new warning. A start type that cannot be read keeps
// what was known.
TEST_F(MonitorTest, ADisabledSpoolerIsLeftAloneWithOneWarningPerSpell) {
    const std::wstring kDisabled = L"W:Print Spooler is disabled; Nimbrel will not start it.";
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

    const std::wstring stopped =
        L"W:Recovery started: Automatic recovery: Print Spooler service is stopped";
    EXPECT_EQ(
        (std::vector<std::wstring>{kStarted, kDisabled, stopped, kCompleted, kDisabled, kStopped}),
        Logged());
    const std::vector<std::uint64_t> warned = TimesOf(kDisabled);
    ASSERT_EQ(2u, warned.size());
    EXPECT_LE(warned[0] - 30 * kMinute, 10 * kSecond) << "at the first cycle of the spell";
    EXPECT_LE(warned[1] - 270 * kMinute, 10 * kSecond);
    EXPECT_EQ(1u, sim::Spooler().startRequests);
    EXPECT_EQ(1u, sim::Spooler().stopRequests);
}

// A stop request ends the plugin's run (the plugin is ended) and the pause
// before a recovery at once, whatever their length, and no recovery follows;
// one during a recovery waits for the recovery to finish.
TEST_F(MonitorTest, AStopIsSeenBetweenTheStepsOfACycle) {
    const struct {
        const char* name;
        std::wstring ini;
        std::uint64_t stopAfterMs, stoppedAtMs;
        bool recovered;
    } cases[] = {
        {"during the verdict",
         L"HealthCheck/EnablePluginCheck=1\nHealthCheck/PluginPath=C:\\Checks\\check.exe", kSecond,
         kSecond, false},
        {"during the pause", L"Recovery/RestartDelayMs=5000", kHour + kSecond, kHour + kSecond,
         false},
        {"during an endless pause", L"Recovery/RestartDelayMs=4294967295", 4 * kHour, 4 * kHour,
         false},
        {"during the longest pause there is", L"Recovery/RestartDelayMs=4294967294", 4 * kHour,
         4 * kHour, false},
        {"during the recovery", L"", kHour + 10 * kSecond, kHour + 23 * kSecond, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp(); // a fresh machine and process
        Ini(c.ini);
        // A plugin that takes two seconds to find the spooler unhealthy, a
        // spooler that dies at 10:00 and takes 20 s to start again.
        sim::AddFile(L"C:\\Checks\\check.exe");
        sim::AddProgram(L"\"C:\\Checks\\check.exe\"", {1, 2 * kSecond});
        SpoolerStopsAfter(kHour);
        sim::Spooler().startPendingMs = 20 * kSecond;
        sim::After(c.stopAfterMs, [] {
            sim::SendControl(SERVICE_CONTROL_STOP);
            EXPECT_EQ(SERVICE_STOP_PENDING, sim::StatusReports().back().dwCurrentState)
                << "told at once";
        });
        EXPECT_EQ(0, RunServiceMode());
        const std::vector<std::wstring> quiet = {kStarted, kStopped},
                                        recovered = {kStarted, kStoppedSpooler, kCompleted,
                                                     kStopped};
        EXPECT_EQ(c.recovered ? recovered : quiet, Logged());
        EXPECT_EQ(c.stoppedAtMs, SinceStart(sim::Events().back()));
        EXPECT_EQ(c.recovered ? 1u : 0u, sim::Spooler().startRequests);
        EXPECT_EQ(0u, sim::RunningProcesses(L"\"C:\\Checks\\check.exe\"")) << "the plugin ended";
    }
}

// A spooler wait without a time limit (4294967295) cannot keep the service
// from stopping: the stop request ends it within one poll, the recovery
// reports the step it could not see through, no other step follows, and the
// spooler is not terminated on the way out.
TEST_F(MonitorTest, AStopEndsASpoolerWaitWithoutATimeLimit) {
    const struct {
        const char* name;
        const wchar_t* ini;
        DWORD brokenState;
        const wchar_t* failure;
        unsigned startRequests;
    } cases[] = {
        {"stopping", L"Recovery/StopTimeoutMs=4294967295", SERVICE_PAUSED,
         L"E:Failed to stop Print Spooler during recovery.", 0},
        {"starting", L"Recovery/StartTimeoutMs=4294967295", SERVICE_STOPPED,
         L"E:Failed to start Print Spooler during recovery.", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        Ini(c.ini);
        sim::Spooler().stopPendingMs = sim::kNever;
        sim::Spooler().startPendingMs = sim::kNever;
        const DWORD state = c.brokenState;
        sim::After(kHour, [state] { sim::SetServiceState(L"Spooler", state); });
        EXPECT_EQ(0, RunServiceFor(2 * kHour));
        const std::vector<std::wstring> logged = Logged();
        ASSERT_EQ(4u, logged.size());
        EXPECT_EQ(c.failure, logged[2]);
        EXPECT_EQ(kStopped, logged[3]);
        EXPECT_LE(SinceStart(sim::Events().back()), 2 * kHour + 500);
        EXPECT_EQ(c.startRequests, sim::Spooler().startRequests);
        EXPECT_EQ(1u, sim::RunningProcesses(L"spoolsv.exe")) << "not terminated";
    }
}

// The service manager tells the monitor at once when the Spooler leaves the
// running state for stopped or paused: the repair starts then, not at the
// next cycle. A pending state wakes nothing (its own time limit applies, on
// the cycles' grid), and without the notification the loop polls as before.
TEST_F(MonitorTest, ASpoolerThatLeavesTheRunningStateIsNoticedAtOnce) {
    const struct {
        const char* name;
        DWORD state;
        bool notificationsFail;
        std::uint64_t recoveryAtMs;
    } cases[] = {
        {"stopped", SERVICE_STOPPED, false, kHour + 3 * kSecond},
        {"paused", SERVICE_PAUSED, false, kHour + 3 * kSecond},
        {"hung stopping", SERVICE_STOP_PENDING, false, kHour + 130 * kSecond},
        {"stopped, without notifications", SERVICE_STOPPED, true, kHour + 10 * kSecond},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        Ini(L"Recovery/RestartDelayMs=0");
        if (c.notificationsFail) {
            sim::FailCall(sim::Op::NotifyServiceStatusChangeW, 0, 1, true);
        }
        const DWORD state = c.state;
        sim::After(kHour + 3 * kSecond, [state] { sim::SetServiceState(L"Spooler", state); });
        EXPECT_EQ(0, RunServiceFor(kHour + 5 * kMinute));
        std::vector<std::uint64_t> started;
        for (const sim::Event& event : sim::Events()) {
            if (event.strings[0].rfind(L"Recovery started: ", 0) == 0) {
                started.push_back(SinceStart(event));
            }
        }
        ASSERT_FALSE(started.empty());
        EXPECT_EQ(c.recoveryAtMs, started[0]);
    }
}

// A Spooler that stays stopped (it cannot be started) arms no notification,
// so it never shortens the wait: one cycle per CheckIntervalMs, and nothing
// left armed or queued.
TEST_F(MonitorTest, ASpoolerThatStaysStoppedDoesNotMakeTheLoopSpin) {
    Ini(L"Recovery/RestartDelayMs=0");
    sim::Spooler().startError = ERROR_ACCESS_DENIED;
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    unsigned waits = 0;
    sim::SetWaitObserver([&waits](HANDLE object, DWORD milliseconds) {
        waits += object == StopEvent && milliseconds == Settings.CheckIntervalMs ? 1 : 0;
    });
    EXPECT_EQ(0, RunServiceFor(kHour - kSecond));
    sim::SetWaitObserver(nullptr);
    EXPECT_EQ(360u, waits);
    EXPECT_EQ(0u, sim::ArmedNotifications() + sim::QueuedNotifications());
}

} // namespace
} // namespace nimbrel::test
