// The service host: what the service manager is told, in which order, and
// what reaches the event log, over whole runs of the service.
#include "tests/service_fixture.h"

namespace nimbrel::test {
namespace {

struct Report {
    DWORD state;
    DWORD controlsAccepted;
    DWORD exitCode;
    DWORD checkPoint;
    DWORD waitHint;
};

constexpr Report kStartPending1 = {SERVICE_START_PENDING, 0, 0, 1, 2000};
constexpr Report kRunning = {SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0};
constexpr Report kStopPending2 = {SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP, 0, 2, 5000};
constexpr Report kStopPending3 = {SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP, 0, 3, 5000};
constexpr Report kStopped = {SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0, 0};

class ServiceHostTest : public ServiceTest {
  protected:
    void SetUp() override {
        ServiceTest::SetUp();
        // A healthy spooler and no daily restart: the host's own doings only.
        WriteIni({{L"EnableScheduledRestart", L"0"}});
    }

    static void ExpectReports(const std::vector<Report>& expected) {
        const std::vector<SERVICE_STATUS>& reports = sim::StatusReports();
        ASSERT_EQ(expected.size(), reports.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            SCOPED_TRACE("report " + std::to_string(i));
            EXPECT_EQ(SERVICE_WIN32_OWN_PROCESS, reports[i].dwServiceType);
            EXPECT_EQ(0u, reports[i].dwServiceSpecificExitCode);
            EXPECT_EQ(expected[i].state, reports[i].dwCurrentState);
            EXPECT_EQ(expected[i].controlsAccepted, reports[i].dwControlsAccepted);
            EXPECT_EQ(expected[i].exitCode, reports[i].dwWin32ExitCode);
            EXPECT_EQ(expected[i].checkPoint, reports[i].dwCheckPoint);
            EXPECT_EQ(expected[i].waitHint, reports[i].dwWaitHint);
        }
    }

    // Positions in the call record of the first call of `op` at or after `from`.
    static std::size_t IndexOf(sim::Op op, std::size_t from = 0) {
        const std::vector<sim::Call>& calls = sim::Calls();
        for (std::size_t i = from; i < calls.size(); ++i) {
            if (calls[i].op == op) {
                return i;
            }
        }
        return calls.size();
    }
};

TEST_F(ServiceHostTest, FromAConsoleTheDispatcherFailureIsPrinted) {
    sim::SetStartedByServiceManager(false);
    EXPECT_EQ(1, RunServiceMode());
    EXPECT_EQ("StartServiceCtrlDispatcher failed: 1063\n", sim::StdoutBytes());
    EXPECT_TRUE(sim::StatusReports().empty());
    EXPECT_TRUE(sim::Events().empty());
}

TEST_F(ServiceHostTest, StartAndStopAreReportedInOrderAndLogged) {
    EXPECT_EQ(0, RunServiceFor(25 * kSecond));

    EXPECT_EQ(L"Nimbrel", sim::DispatchedServiceName());
    EXPECT_EQ(L"Nimbrel", sim::HandlerServiceName());
    ExpectReports({kStartPending1, kRunning, kStopPending2, kStopped});
    ASSERT_EQ(2u, sim::Events().size());
    for (const sim::Event& event : sim::Events()) {
        EXPECT_EQ(L"Nimbrel", event.source);
        EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, event.type);
    }
    EXPECT_EQ((std::vector<std::wstring>{L"Nimbrel service started.", L"Nimbrel service stopped."}),
              EventTexts());
    // The stop control came in the third wait; nothing kept the service after it.
    EXPECT_EQ(25 * kSecond, SinceStart(sim::Events()[1]));
    EXPECT_EQ(nullptr, StopEvent);
}

TEST_F(ServiceHostTest, StepsComeInTheirOrder) {
    RunServiceFor(5 * kSecond);

    // Start-pending before the event exists; the settings, then the start
    // message, then running; the monitor thread, in which the stop control
    // arrives: stop-pending before the signal; the wait for the thread and
    // its handle closed; the stop message, the event closed, then stopped.
    const std::vector<sim::Call>& calls = sim::Calls();
    std::size_t registered = IndexOf(sim::Op::RegisterServiceCtrlHandlerW);
    std::size_t startPending = IndexOf(sim::Op::SetServiceStatus, registered);
    std::size_t event = IndexOf(sim::Op::CreateEventW, startPending);
    std::size_t settings = IndexOf(sim::Op::GetModuleFileNameW, event);
    std::size_t started = IndexOf(sim::Op::ReportEventW, settings);
    std::size_t running = IndexOf(sim::Op::SetServiceStatus, started);
    std::size_t thread = IndexOf(sim::Op::CreateThread, running);
    std::size_t stopPending = IndexOf(sim::Op::SetServiceStatus, thread);
    std::size_t signal = IndexOf(sim::Op::SetEvent, stopPending);
    std::size_t threadWait = signal;
    while (threadWait < calls.size() && !(calls[threadWait].op == sim::Op::WaitForSingleObject &&
                                          calls[threadWait].args[1] == L"4294967295")) {
        ++threadWait;
    }
    std::size_t threadClosed = IndexOf(sim::Op::CloseHandle, threadWait);
    std::size_t stoppedLogged = IndexOf(sim::Op::ReportEventW, threadClosed);
    std::size_t eventClosed = IndexOf(sim::Op::CloseHandle, stoppedLogged);
    std::size_t stopped = IndexOf(sim::Op::SetServiceStatus, eventClosed);
    ASSERT_LT(stopped, calls.size());
    EXPECT_EQ(4u, sim::CountCalls(sim::Op::SetServiceStatus));
    EXPECT_EQ(2u, sim::CountCalls(sim::Op::ReportEventW));

    // A manual-reset event, not signalled, without a name or security; the
    // thread with default security and stack, no parameter, no id wanted.
    EXPECT_EQ(L"CreateEventW(null, 1, 0, null)", sim::Describe(calls[event]));
    EXPECT_EQ(L"CreateThread(null, 0, fn, null, 0, null)", sim::Describe(calls[thread]));
    EXPECT_EQ(calls[threadWait].args[0], calls[threadClosed].args[0]);
    EXPECT_EQ(calls[signal].args[0], calls[eventClosed].args[0]);
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

TEST_F(ServiceHostTest, ControlsOtherThanStopAreIgnored) {
    for (DWORD control : {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_PAUSE, DWORD{0x80}}) {
        sim::After(3 * kSecond, [control] { sim::SendControl(control); });
    }
    EXPECT_EQ(0, RunServiceFor(30 * kSecond));
    ExpectReports({kStartPending1, kRunning, kStopPending2, kStopped});
    EXPECT_EQ(30 * kSecond, SinceStart(sim::Events()[1]));
}

TEST_F(ServiceHostTest, AStopControlAfterTheServiceStoppedSignalsNoClosedHandle) {
    RunServiceFor(5 * kSecond);
    const unsigned signals = sim::CountCalls(sim::Op::SetEvent);
    sim::SendControl(SERVICE_CONTROL_STOP);
    EXPECT_EQ(signals, sim::CountCalls(sim::Op::SetEvent));
}

TEST_F(ServiceHostTest, AStopEventThatCannotBeCreatedStopsTheServiceWithItsError) {
    sim::FailCall(sim::Op::CreateEventW, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(0, RunServiceMode());
    ExpectReports(
        {kStartPending1, {SERVICE_STOPPED, SERVICE_ACCEPT_STOP, ERROR_NOT_ENOUGH_MEMORY, 0, 0}});
    EXPECT_TRUE(sim::Events().empty());
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::GetModuleFileNameW)) << "settings loaded";
    EXPECT_EQ(0u, sim::ThreadsCreated());
}

TEST_F(ServiceHostTest, AMonitorThreadThatCannotBeCreatedStopsTheServiceCleanly) {
    sim::FailCall(sim::Op::CreateThread);
    EXPECT_EQ(0, RunServiceMode());
    ExpectReports({kStartPending1, kRunning, kStopped});
    EXPECT_EQ((std::vector<std::wstring>{L"Nimbrel service started.", L"Nimbrel service stopped."}),
              EventTexts());
    // Back to back, without any cycle between them.
    EXPECT_EQ(sim::Events()[0].elapsedMs, sim::Events()[1].elapsedMs);
}

TEST_F(ServiceHostTest, AHandlerThatCannotBeRegisteredEndsTheServiceSilently) {
    sim::FailCall(sim::Op::RegisterServiceCtrlHandlerW);
    EXPECT_EQ(0, RunServiceMode());
    EXPECT_TRUE(sim::StatusReports().empty());
    EXPECT_TRUE(sim::Events().empty());
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::CreateEventW));
}

TEST_F(ServiceHostTest, FailedReportsAndAMissingEventLogChangeNothing) {
    sim::SetEventLogAvailable(false);
    sim::FailCall(sim::Op::SetServiceStatus, ERROR_INVALID_HANDLE, 1, true);
    const std::uint64_t start = sim::ElapsedMs();
    EXPECT_EQ(0, RunServiceFor(12 * kSecond));
    EXPECT_EQ(4u, sim::CountCalls(sim::Op::SetServiceStatus));
    EXPECT_EQ(1u, sim::ThreadsCreated());
    EXPECT_EQ(12 * kSecond, sim::ElapsedMs() - start);
    EXPECT_TRUE(sim::Events().empty());
}

} // namespace
} // namespace nimbrel::test
