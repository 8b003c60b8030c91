#include "app/dispatcher.h"
#include "app/status.h"
#include "tests/health_support.h"

namespace nimbrel::test {
namespace {

constexpr WCHAR kIni[] = L"C:\\Program Files\\Nimbrel\\Nimbrel.ini";

const std::string kHealthyRunning = "Print Spooler service: Running (PID 1234)\n"
                                    "Service state healthy: Yes\n"
                                    "Print queue healthy:   Yes\n"
                                    "Overall healthy:       Yes\n"
                                    "Scheduled restart:     Every day at 02:00\n";

class StatusCommand : public HealthTest {
  protected:
    void SetUp() override {
        HealthTest::SetUp();
        sim::Spooler().pid = 1234;
    }

    static void Ini(const std::wstring& text) { sim::SetFileText(kIni, text); }

    // A plugin with the given behaviour, switched on in the INI file.
    static void Plugin(sim::Program program, const std::wstring& moreHealthCheckKeys = L"") {
        sim::AddFile(L"C:\\Plugins\\check.exe");
        sim::AddProgram(L"\"C:\\Plugins\\check.exe\"", program);
        Ini(L"[HealthCheck]\nEnablePluginCheck=1\nPluginPath=C:\\Plugins\\check.exe\n" +
            moreHealthCheckKeys);
    }

    static int Run() {
        const int rc = RunStatusCommand();
        EXPECT_EQ(0u, sim::Events().size()) << "the report writes nothing to the event log";
        return rc;
    }
};

TEST_F(StatusCommand, RunningAndHealthyWithTheDefaults) {
    EXPECT_EQ(0, Run());
    EXPECT_EQ(kHealthyRunning, sim::StdoutBytes());
}

TEST_F(StatusCommand, ReachedThroughTheDispatcherInAnyCaseWithArgumentsIgnored) {
    WCHAR program[] = L"Nimbrel.exe";
    WCHAR word[] = L"StAtUS";
    WCHAR extra[] = L"--verbose";
    WCHAR* argv[] = {program, word, extra, nullptr};
    EXPECT_EQ(0, Dispatch(3, argv));
    EXPECT_EQ(kHealthyRunning, sim::StdoutBytes());
}

TEST_F(StatusCommand, StoppedSpooler) {
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    EXPECT_EQ(0, Run());
    EXPECT_EQ("Print Spooler service: Stopped\n"
              "Service state healthy: No\n"
              "Print queue healthy:   Yes\n"
              "Overall healthy:       No\n"
              "Last issue:            Print Spooler service is stopped\n"
              "Scheduled restart:     Every day at 02:00\n",
              sim::StdoutBytes());
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::EnumPrintersW));
}

TEST_F(StatusCommand, UnknownState) {
    sim::Spooler().state = 9;
    EXPECT_EQ(0, Run());
    EXPECT_EQ("Print Spooler service: Unknown (PID 1234)\n"
              "Service state healthy: No\n"
              "Print queue healthy:   Yes\n"
              "Overall healthy:       No\n"
              "Last issue:            Print Spooler in unexpected service state\n"
              "Scheduled restart:     Every day at 02:00\n",
              sim::StdoutBytes());
}

TEST_F(StatusCommand, NamesEveryState) {
    const std::pair<DWORD, const char*> names[] = {
        {1, "Stopped"},          {2, "Start Pending"},     {3, "Stop Pending"}, {4, "Running"},
        {5, "Continue Pending"}, {6, "Pause Pending"},     {7, "Paused"},       {0, "Unknown"},
        {8, "Unknown"},          {0xFFFFFFFFu, "Unknown"},
    };
    for (const auto& [state, name] : names) {
        SCOPED_TRACE(name);
        sim::Reset();
        FreshProcess();
        sim::Spooler().state = state;
        sim::Spooler().pid = 0;
        EXPECT_EQ(0, Run());
        const std::string out = sim::StdoutBytes();
        EXPECT_EQ("Print Spooler service: " + std::string(name) + "\n",
                  out.substr(0, out.find('\n') + 1));
    }
}

// A first sighting of a pending state is healthy; it turns stuck only when
// the report itself lasts HangTimeoutMs.
TEST_F(StatusCommand, PendingSpoolerAgainstTheHangTimeOut) {
    sim::SetServiceState(L"Spooler", SERVICE_START_PENDING);
    sim::Spooler().pid = 1234;
    Plugin({0, 4999}, L"[Monitor]\nHangTimeoutMs=5000\n");
    EXPECT_EQ(0, Run());
    EXPECT_EQ("Print Spooler service: Start Pending (PID 1234)\n"
              "Service state healthy: Yes\n"
              "Print queue healthy:   Yes\n"
              "Plugin check enabled:  C:\\Plugins\\check.exe\n"
              "Plugin healthy:        Yes\n"
              "Overall healthy:       Yes\n"
              "Scheduled restart:     Every day at 02:00\n",
              sim::StdoutBytes());

    sim::Reset();
    FreshProcess();
    sim::SetServiceState(L"Spooler", SERVICE_START_PENDING);
    sim::Spooler().pid = 1234;
    Plugin({0, 5000}, L"[Monitor]\nHangTimeoutMs=5000\n");
    EXPECT_EQ(0, Run());
    EXPECT_EQ("Print Spooler service: Start Pending (PID 1234)\n"
              "Service state healthy: Yes\n"
              "Print queue healthy:   Yes\n"
              "Plugin check enabled:  C:\\Plugins\\check.exe\n"
              "Plugin healthy:        Yes\n"
              "Overall healthy:       No\n"
              "Last issue:            Print Spooler stuck in Starting/Stopping state\n"
              "Scheduled restart:     Every day at 02:00\n",
              sim::StdoutBytes());
}

TEST_F(StatusCommand, LinesComeAndGoWithTheSettings) {
    struct Case {
        const char* what;
        const WCHAR* ini;
        const char* output;
    };
    const Case cases[] = {
        {"no queue check", L"[HealthCheck]\nEnableQueueCheck=0\n",
         "Print Spooler service: Running (PID 1234)\n"
         "Service state healthy: Yes\n"
         "Overall healthy:       Yes\n"
         "Scheduled restart:     Every day at 02:00\n"},
        {"no scheduled restart", L"[Schedule]\nEnableScheduledRestart=0\n",
         "Print Spooler service: Running (PID 1234)\n"
         "Service state healthy: Yes\n"
         "Print queue healthy:   Yes\n"
         "Overall healthy:       Yes\n"},
        {"plugin check without a path", L"[HealthCheck]\nEnablePluginCheck=1\nPluginPath=  \n",
         "Print Spooler service: Running (PID 1234)\n"
         "Service state healthy: Yes\n"
         "Print queue healthy:   Yes\n"
         "Overall healthy:       Yes\n"
         "Scheduled restart:     Every day at 02:00\n"},
        {"a plugin path with the check off", L"[HealthCheck]\nPluginPath=C:\\Plugins\\check.exe\n",
         "Print Spooler service: Running (PID 1234)\n"
         "Service state healthy: Yes\n"
         "Print queue healthy:   Yes\n"
         "Overall healthy:       Yes\n"
         "Scheduled restart:     Every day at 02:00\n"},
        {"some days, a later time", L"[Schedule]\nRestartDays = Mon,Fri \nRestartTime=\t23:30\n",
         "Print Spooler service: Running (PID 1234)\n"
         "Service state healthy: Yes\n"
         "Print queue healthy:   Yes\n"
         "Overall healthy:       Yes\n"
         "Scheduled restart:     Mon,Fri at 23:30\n"},
        {"a time that is no time", L"[Schedule]\nRestartTime=25:9x\n",
         "Print Spooler service: Running (PID 1234)\n"
         "Service state healthy: Yes\n"
         "Print queue healthy:   Yes\n"
         "Overall healthy:       Yes\n"
         "Scheduled restart:     Every day at 25:9x\n"},
        {"everything off",
         L"[HealthCheck]\nEnableQueueCheck=0\n[Schedule]\nEnableScheduledRestart=0\n",
         "Print Spooler service: Running (PID 1234)\n"
         "Service state healthy: Yes\n"
         "Overall healthy:       Yes\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        FreshProcess();
        sim::Spooler().pid = 1234;
        Ini(c.ini);
        EXPECT_EQ(0, Run());
        EXPECT_EQ(std::string(c.output), sim::StdoutBytes());
        EXPECT_EQ(0u, sim::Launches().size());
        ExpectNothingLeftOpen();
    }
}

TEST_F(StatusCommand, FailedQueryPrintsOneLineAndExits1) {
    struct Case {
        const char* what;
        void (*arrange)();
    };
    const Case cases[] = {
        {"no Spooler service", [] { sim::RemoveService(L"Spooler"); }},
        {"no right to connect", [] { sim::SetManagerAccessDenied(true); }},
        {"the query fails", [] { sim::FailCall(sim::Op::QueryServiceStatusEx); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        FreshProcess();
        Plugin({3, 0});
        c.arrange();
        EXPECT_EQ(1, Run());
        EXPECT_EQ("Unable to query Print Spooler status.\n", sim::StdoutBytes());
        EXPECT_EQ(0u, sim::Launches().size());
        EXPECT_EQ(0u, sim::CountCalls(sim::Op::EnumPrintersW));
        ExpectNothingLeftOpen();
    }
}

// The plugin line shows this report's run; the overall verdict runs the
// plugin again only once its interval has passed since that launch.
TEST_F(StatusCommand, PluginLineAndOverallVerdictShareTheLaunchTick) {
    struct Case {
        const char* what;
        sim::Program program;
        const WCHAR* moreKeys;
        const char* output;
        std::size_t launches;
    };
    const Case cases[] = {
        {"exits 3 after a second",
         {3, 1000},
         L"",
         "Print Spooler service: Running (PID 1234)\n"
         "Service state healthy: Yes\n"
         "Print queue healthy:   Yes\n"
         "Plugin check enabled:  C:\\Plugins\\check.exe\n"
         "Plugin healthy:        No\n"
         "Overall healthy:       Yes\n"
         "Scheduled restart:     Every day at 02:00\n",
         1},
        {"runs past its interval",
         {3, 6000},
         L"PluginIntervalMs=5000\n",
         "Print Spooler service: Running (PID 1234)\n"
         "Service state healthy: Yes\n"
         "Print queue healthy:   Yes\n"
         "Plugin check enabled:  C:\\Plugins\\check.exe\n"
         "Plugin healthy:        No\n"
         "Overall healthy:       No\n"
         "Last issue:            Plugin health check failed (exit code 3)\n"
         "Scheduled restart:     Every day at 02:00\n",
         2},
        {"times out past its interval",
         {0, sim::kNever},
         L"PluginIntervalMs=5000\nPluginTimeoutMs=5000\n",
         "Print Spooler service: Running (PID 1234)\n"
         "Service state healthy: Yes\n"
         "Print queue healthy:   Yes\n"
         "Plugin check enabled:  C:\\Plugins\\check.exe\n"
         "Plugin healthy:        No\n"
         "Overall healthy:       No\n"
         "Last issue:            Plugin health check timed out\n"
         "Scheduled restart:     Every day at 02:00\n",
         2},
        {"exits 0",
         {0, 10},
         L"",
         "Print Spooler service: Running (PID 1234)\n"
         "Service state healthy: Yes\n"
         "Print queue healthy:   Yes\n"
         "Plugin check enabled:  C:\\Plugins\\check.exe\n"
         "Plugin healthy:        Yes\n"
         "Overall healthy:       Yes\n"
         "Scheduled restart:     Every day at 02:00\n",
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        FreshProcess();
        sim::Spooler().pid = 1234;
        Plugin(c.program, c.moreKeys);
        EXPECT_EQ(0, Run());
        EXPECT_EQ(std::string(c.output), sim::StdoutBytes());
        EXPECT_EQ(c.launches, sim::Launches().size());
        ExpectNothingLeftOpen();
    }
}

TEST_F(StatusCommand, MissingPluginFailsTheOverallVerdictToo) {
    Ini(L"[HealthCheck]\nEnablePluginCheck=1\nPluginPath=C:\\Plugins\\gone.cmd\n");
    EXPECT_EQ(0, Run());
    EXPECT_EQ("Print Spooler service: Running (PID 1234)\n"
              "Service state healthy: Yes\n"
              "Print queue healthy:   Yes\n"
              "Plugin check enabled:  C:\\Plugins\\gone.cmd\n"
              "Plugin healthy:        No\n"
              "Overall healthy:       No\n"
              "Last issue:            Plugin health check file not found\n"
              "Scheduled restart:     Every day at 02:00\n",
              sim::StdoutBytes());
}

TEST_F(StatusCommand, QueueProblemShowsInTheQueueLineAndTheLastIssue) {
    sim::AddPrinter(L"Étage 2 – Büro");
    sim::AddJob(L"Étage 2 – Büro", 8, L"Rechnung €.pdf", JOB_STATUS_PRINTING,
                sim::UtcSystemTime(3600));
    EXPECT_EQ(0, Run());
    EXPECT_EQ("Print Spooler service: Running (PID 1234)\n"
              "Service state healthy: Yes\n"
              "Print queue healthy:   No\n"
              "Overall healthy:       No\n"
              "Last issue:            Stuck print job on '" +
                  Utf8(L"Étage 2 – Büro") + "' (job 8, document: " + Utf8(L"Rechnung €.pdf") +
                  ")\n"
                  "Scheduled restart:     Every day at 02:00\n",
              sim::StdoutBytes());
}

// The service-state text left by the queue check's own query stands under
// an overall "Yes" when the state turns bad between the verdict's queries.
TEST_F(StatusCommand, IssueLineUnderAHealthyVerdict) {
    // Queries: the report's own, the state line, the queue line's gate, the
    // verdict's state check, the verdict's queue gate.
    sim::FailCall(sim::Op::QueryServiceStatusEx, 0, 5);
    EXPECT_EQ(0, Run());
    EXPECT_EQ("Print Spooler service: Running (PID 1234)\n"
              "Service state healthy: Yes\n"
              "Print queue healthy:   Yes\n"
              "Overall healthy:       Yes\n"
              "Last issue:            Unable to query Print Spooler service state\n"
              "Scheduled restart:     Every day at 02:00\n",
              sim::StdoutBytes());
}

TEST_F(StatusCommand, OutputErrorsChangeNothing) {
    sim::SetStdoutBroken(true);
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    EXPECT_EQ(0, Run());
    sim::RemoveService(L"Spooler");
    EXPECT_EQ(1, Run());
}

} // namespace
} // namespace nimbrel::test
