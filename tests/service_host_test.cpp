// The service host: what the service manager is told, in which order, and
// what reaches the event log, over whole runs of the service. A failing
// dispatcher, handler registration, stop event or monitor thread is in the
// fault sweep.
#include "tests/service_fixture.h"

namespace nimbrel::test {
namespace {

struct Report {
    DWORD state, controlsAccepted, checkPoint, waitHint;
};

// Controls are refused only while starting, when there is no stop event yet;
// pending reports carry the next checkpoint, settled ones 0.
constexpr DWORD kAccepted =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN;
constexpr Report kStartPending1 = {SERVICE_START_PENDING, 0, 1, 2000};
constexpr Report kRunning = {SERVICE_RUNNING, kAccepted, 0, 0};
constexpr Report kStopPending2 = {SERVICE_STOP_PENDING, kAccepted, 2, 5000};
constexpr Report kStopPending3 = {SERVICE_STOP_PENDING, kAccepted, 3, 5000};
constexpr Report kStopped = {SERVICE_STOPPED, kAccepted, 0, 0};

class ServiceHostTest : public ServiceTest {
  protected:
    void SetUp() override {
        ServiceTest::SetUp();
        // A healthy spooler and no daily restart: the host's own doings only.
        WriteIni(L"Schedule/EnableScheduledRestart=0");
    }

    static void ExpectReports(const std::vector<Report>& expected) {
        const std::vector<SERVICE_STATUS>& reports = sim::StatusReports();
        ASSERT_EQ(expected.size(), reports.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            SCOPED_TRACE("report " + std::to_string(i));
            EXPECT_EQ(SERVICE_WIN32_OWN_PROCESS, reports[i].dwServiceType);
            EXPECT_EQ(0u, reports[i].dwWin32ExitCode | reports[i].dwServiceSpecificExitCode);
            EXPECT_EQ(expected[i].state, reports[i].dwCurrentState);
            EXPECT_EQ(expected[i].controlsAccepted, reports[i].dwControlsAccepted);
            EXPECT_EQ(expected[i].checkPoint, reports[i].dwCheckPoint);
            EXPECT_EQ(expected[i].waitHint, reports[i].dwWaitHint);
        }
    }
};

TEST_F(ServiceHostTest, StartAndStopAreReportedInOrderAndLogged) {
    EXPECT_EQ(0, RunServiceFor(25 * kSecond));
    EXPECT_EQ(L"Nimbrel", sim::DispatchedServiceName());
    EXPECT_EQ(L"Nimbrel", sim::HandlerServiceName());
    ExpectReports({kStartPending1, kRunning, kStopPending2, kStopped});
    EXPECT_EQ(
        (std::vector<std::wstring>{L"I:Nimbrel service started.", L"I:Nimbrel service stopped."}),
        Logged());
    // The stop control came in the third wait; nothing kept the service after it.
    EXPECT_EQ(25 * kSecond, SinceStart(sim::Events()[1]));
}

TEST_F(ServiceHostTest, AFileWithAUtf8MarkIsNotedOnceAtTheStart) {
    sim::SetFileBytes(kIniPath, "\xEF\xBB\xBF[Schedule]\r\nEnableScheduledRestart=0\r\n");
    EXPECT_EQ(0, RunServiceFor(25 * kSecond));
    EXPECT_EQ((std::vector<std::wstring>{L"I:Nimbrel service started.",
                                         std::wstring(L"W:") + kUtf8MarkNotice,
                                         L"I:Nimbrel service stopped."}),
              Logged());
}

// The stop is reported before it is signalled: once signalled, the monitor
// thread may end and the service report stopped at any moment.
TEST_F(ServiceHostTest, StopPendingIsReportedBeforeTheStopIsSignalled) {
    RunServiceFor(5 * kSecond);
    const std::vector<sim::Call>& calls = sim::Calls();
    std::size_t reports = 0, stopPending = 0, signal = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].op == sim::Op::SetServiceStatus && ++reports == 3) {
            stopPending = i;
        } else if (calls[i].op == sim::Op::SetEvent) {
            signal = i;
        }
    }
    EXPECT_LT(stopPending, signal);
}

TEST_F(ServiceHostTest, ASecondStopReportsTheNextCheckpointAndChangesNothingElse) {
    sim::After(5 * kSecond, [] {
        sim::SendControl(SERVICE_CONTROL_STOP);
        sim::SendControl(SERVICE_CONTROL_STOP);
    });
    EXPECT_EQ(0, RunServiceMode());
    ExpectReports({kStartPending1, kRunning, kStopPending2, kStopPending3, kStopped});
    EXPECT_EQ(2u, sim::Events().size());
}

// Interrogate and the rest: the last report still holds; only interrogate
// is answered as handled.
TEST_F(ServiceHostTest, ControlsOtherThanStopAreIgnored) {
    for (DWORD control : {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_PAUSE, DWORD{0x80}}) {
        sim::After(3 * kSecond, [control] { sim::SendControl(control); });
    }
    EXPECT_EQ(0, RunServiceFor(30 * kSecond));
    ExpectReports({kStartPending1, kRunning, kStopPending2, kStopped});
    EXPECT_EQ(30 * kSecond, SinceStart(sim::Events()[1]));
    EXPECT_EQ((std::vector<DWORD>{NO_ERROR, ERROR_CALL_NOT_IMPLEMENTED, ERROR_CALL_NOT_IMPLEMENTED,
                                  NO_ERROR}),
              sim::ControlResults());
}

// The machine's end, told before the services (pre-shutdown) or with them
// (shutdown), while a recovery waits for a slow spooler to stop: the service
// stops as for a stop request, and the recovery neither clears the spool
// folder nor starts the spooler, nor logs anything more. A stop request
// lets that recovery finish.
TEST_F(ServiceHostTest, AtShutdownNoRepairStepBeginsAnyMore) {
    const std::wstring spoolFile = L"C:\\Windows\\system32\\spool\\PRINTERS\\00001.SPL";
    const std::wstring started =
        L"W:Recovery started: Automatic recovery: Print Spooler in unexpected service state";
    for (DWORD control :
         {SERVICE_CONTROL_PRESHUTDOWN, SERVICE_CONTROL_SHUTDOWN, SERVICE_CONTROL_STOP}) {
        SCOPED_TRACE(control);
        SetUp();
        WriteIni(L"Schedule/EnableScheduledRestart=0\nRecovery/RestartDelayMs=0");
        sim::AddFile(spoolFile);
        sim::Spooler().stopPendingMs = 10 * kSecond;
        sim::After(kMinute, [] { sim::SetServiceState(L"Spooler", SERVICE_PAUSED); });
        sim::After(kMinute + 5 * kSecond, [control] { sim::SendControl(control); });
        EXPECT_EQ(0, RunServiceMode());
        const bool shutdown = control != SERVICE_CONTROL_STOP;
        const std::vector<std::wstring> quiet = {L"I:Nimbrel service started.", started,
                                                 L"I:Nimbrel service stopped."};
        const std::vector<std::wstring> finished = {
            L"I:Nimbrel service started.", started,
            L"I:Print Spooler recovery completed successfully.", L"I:Nimbrel service stopped."};
        EXPECT_EQ(shutdown ? quiet : finished, Logged());
        EXPECT_EQ(shutdown, sim::Exists(spoolFile));
        EXPECT_EQ(shutdown ? 0u : 1u, sim::Spooler().startRequests);
        EXPECT_EQ(kMinute + 10 * kSecond, SinceStart(sim::Events().back()));
        EXPECT_EQ(SERVICE_STOP_PENDING, sim::StatusReports()[2].dwCurrentState);
        EXPECT_EQ(SERVICE_STOPPED, sim::StatusReports().back().dwCurrentState);
    }
}

// A stop request during a recovery that takes its full time (the spooler
// ignores the stop for StopTimeoutMs, is terminated, and takes almost all of
// StartTimeoutMs to start): from the request until stopped, stop-pending
// with the next checkpoint at most every 2 s, each before the last hint ran
// out, so no controller that follows the rules takes the stop for a hang.
TEST_F(ServiceHostTest, AStopDuringAFullLengthRecoveryShowsSteadyProgress) {
    WriteIni(L"Schedule/EnableScheduledRestart=0\nRecovery/RestartDelayMs=0");
    sim::Spooler().stopPendingMs = sim::kNever;
    sim::Spooler().startPendingMs = 59 * kSecond;
    sim::After(kMinute, [] { sim::SetServiceState(L"Spooler", SERVICE_PAUSED); });
    sim::After(kMinute + kSecond, [] { sim::SendControl(SERVICE_CONTROL_STOP); });
    const std::uint64_t start = sim::ElapsedMs();
    EXPECT_EQ(0, RunServiceMode());
    EXPECT_EQ(L"I:Print Spooler recovery completed successfully.", Logged().at(2));

    const std::vector<SERVICE_STATUS>& reports = sim::StatusReports();
    const std::vector<std::uint64_t>& times = sim::StatusReportTimes();
    ASSERT_GT(reports.size(), 40u) << "a report every 2 s of some 90 s";
    EXPECT_EQ(kMinute + kSecond, times[2] - start);
    for (std::size_t i = 2; i + 1 < reports.size(); ++i) {
        SCOPED_TRACE("report " + std::to_string(i));
        EXPECT_EQ(SERVICE_STOP_PENDING, reports[i].dwCurrentState);
        EXPECT_EQ(i, reports[i].dwCheckPoint);
        EXPECT_LE(times[i + 1] - times[i], 2000u);
        EXPECT_LT(times[i + 1] - times[i], reports[i].dwWaitHint);
    }
    EXPECT_EQ(SERVICE_STOPPED, reports.back().dwCurrentState);
}

// The stop event is forgotten before it is closed: a late stop control must
// not signal whatever object reuses its value.
TEST_F(ServiceHostTest, AStopControlAfterTheServiceStoppedSignalsNoClosedHandle) {
    RunServiceFor(5 * kSecond);
    EXPECT_EQ(nullptr, StopEvent);
    const unsigned signals = sim::CountCalls(sim::Op::SetEvent);
    sim::SendControl(SERVICE_CONTROL_STOP);
    EXPECT_EQ(signals, sim::CountCalls(sim::Op::SetEvent));
}

} // namespace
} // namespace nimbrel::test
