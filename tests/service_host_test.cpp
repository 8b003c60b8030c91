// The service host: what the service manager is told, in which order, and what is logged.
#include "tests/service_fixture.h"

#include <algorithm>

namespace nimbrel::test {
namespace {

class ServiceHostTest : public ServiceTest {
  protected:
    void SetUp() override {
        ServiceTest::SetUp();
        WriteIni(L"Schedule/EnableScheduledRestart=0\nRecovery/RestartDelayMs=0");
    }
};

// Controls are refused only while starting (no stop event yet); a second stop only
// advances the checkpoint, and a late one, after the stop event is closed, does nothing.
TEST_F(ServiceHostTest, AWholeRunIsReportedInOrderAndLogged) {
    sim::SetFileBytes(kIniPath, "\xEF\xBB\xBF[Schedule]\r\nEnableScheduledRestart=0\r\n");
    for (DWORD control : {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_PAUSE, DWORD{0x80}}) {
        sim::After(3 * kSecond, [control] { sim::SendControl(control); });
    }
    sim::After(25 * kSecond, [] {
        sim::SendControl(SERVICE_CONTROL_STOP);
        sim::SendControl(SERVICE_CONTROL_STOP);
    });
    EXPECT_EQ(0, RunServiceMode());
    EXPECT_EQ(L"Nimbrel", sim::DispatchedServiceName());
    EXPECT_EQ(L"Nimbrel", sim::HandlerServiceName());
    EXPECT_EQ(
        (std::vector<std::wstring>{kStarted, L"W:" + std::wstring(kUtf8MarkNotice), kStopped}),
        Logged());
    EXPECT_EQ(25 * kSecond, SinceStart(sim::Events().back()));
    EXPECT_EQ((std::vector<DWORD>{NO_ERROR, ERROR_CALL_NOT_IMPLEMENTED, ERROR_CALL_NOT_IMPLEMENTED,
                                  NO_ERROR, NO_ERROR}),
              sim::ControlResults());

    const DWORD accepted =
        SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN;
    const std::vector<std::vector<DWORD>> expected = {{SERVICE_START_PENDING, 0, 1, 2000},
                                                      {SERVICE_RUNNING, accepted, 0, 0},
                                                      {SERVICE_STOP_PENDING, accepted, 2, 5000},
                                                      {SERVICE_STOP_PENDING, accepted, 3, 5000},
                                                      {SERVICE_STOPPED, accepted, 0, 0}};
    std::vector<std::vector<DWORD>> reports;
    for (const SERVICE_STATUS& r : sim::StatusReports()) {
        EXPECT_EQ(SERVICE_WIN32_OWN_PROCESS, r.dwServiceType);
        EXPECT_EQ(0u, r.dwWin32ExitCode | r.dwServiceSpecificExitCode);
        reports.push_back({r.dwCurrentState, r.dwControlsAccepted, r.dwCheckPoint, r.dwWaitHint});
    }
    EXPECT_EQ(expected, reports);

    // Stop-pending is reported before the stop is signalled: the monitor may end at once.
    const std::vector<sim::Call>& calls = sim::Calls();
    const auto signal = std::find_if(calls.begin(), calls.end(),
                                     [](const sim::Call& c) { return c.op == sim::Op::SetEvent; });
    EXPECT_LE(3, std::count_if(calls.begin(), signal, [](const sim::Call& c) {
                  return c.op == sim::Op::SetServiceStatus;
              }));

    EXPECT_EQ(nullptr, g_StopEvent);
    const unsigned signals = sim::CountCalls(sim::Op::SetEvent);
    sim::SendControl(SERVICE_CONTROL_STOP);
    EXPECT_EQ(signals, sim::CountCalls(sim::Op::SetEvent));
    EXPECT_EQ(expected.size(), sim::StatusReports().size());
}

// At (pre-)shutdown a waiting recovery neither clears the folder nor starts the spooler;
// a stop request lets it finish.
TEST_F(ServiceHostTest, AtShutdownNoRepairStepBeginsAnyMore) {
    const std::wstring spoolFile = L"C:\\Windows\\system32\\spool\\PRINTERS\\00001.SPL";
    for (DWORD control :
         {SERVICE_CONTROL_PRESHUTDOWN, SERVICE_CONTROL_SHUTDOWN, SERVICE_CONTROL_STOP}) {
        SCOPED_TRACE(control);
        SetUp();
        sim::AddFile(spoolFile);
        sim::Spooler().stopPendingMs = 10 * kSecond;
        sim::After(kMinute, [] { sim::SetServiceState(L"Spooler", SERVICE_PAUSED); });
        sim::After(kMinute + 5 * kSecond, [control] { sim::SendControl(control); });
        EXPECT_EQ(0, RunServiceMode());
        const bool shutdown = control != SERVICE_CONTROL_STOP;
        const std::vector<std::wstring> logged = Logged();
        ASSERT_EQ(shutdown ? 3u : 4u, logged.size());
        EXPECT_EQ(L"W:Recovery started: Automatic recovery: Print Spooler in unexpected service "
                  L"state",
                  logged[1]);
        EXPECT_EQ(shutdown, sim::Exists(spoolFile));
        EXPECT_EQ(shutdown ? 0u : 1u, sim::Spooler().startRequests);
        EXPECT_EQ(kMinute + 10 * kSecond, SinceStart(sim::Events().back()));
    }
}

// A stop during a full-length recovery reports progress before each hint runs out, so
// no controller takes the stop for a hang.
TEST_F(ServiceHostTest, AStopDuringAFullLengthRecoveryShowsSteadyProgress) {
    sim::Spooler().stopPendingMs = sim::kNever;
    sim::Spooler().startPendingMs = 59 * kSecond;
    sim::After(kMinute, [] { sim::SetServiceState(L"Spooler", SERVICE_PAUSED); });
    sim::After(kMinute + kSecond, [] { sim::SendControl(SERVICE_CONTROL_STOP); });
    EXPECT_EQ(0, RunServiceMode());
    EXPECT_EQ(L"I:Print Spooler recovery completed successfully.", Logged().at(2));
    const std::vector<SERVICE_STATUS>& reports = sim::StatusReports();
    const std::vector<std::uint64_t>& times = sim::StatusReportTimes();
    ASSERT_GT(reports.size(), 40u) << "a report every 2 s of some 90 s";
    for (std::size_t i = 2; i + 1 < reports.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(i, reports[i].dwCheckPoint);
        EXPECT_LE(times[i + 1] - times[i], 2000u);
        EXPECT_LT(times[i + 1] - times[i], reports[i].dwWaitHint);
    }
    EXPECT_EQ(SERVICE_STOPPED, reports.back().dwCurrentState);
}

} // namespace
} // namespace nimbrel::test
