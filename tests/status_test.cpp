#include "app/dispatcher.h"
#include "app/status.h"
#include "tests/health_support.h"

namespace nimbrel::test {
namespace {

// The lines most reports share, exactly as printed.
const std::string kRunning = "Print Spooler service: Running (PID 1234)\n";
const std::string kStateYes = "Service state healthy: Yes\n";
const std::string kQueueYes = "Print queue healthy:   Yes\n";
const std::string kPluginPath = "Plugin check enabled:  C:\\Plugins\\check.exe\n";
const std::string kOverallYes = "Overall healthy:       Yes\n";
const std::string kOverallNo = "Overall healthy:       No\n";
const std::string kDaily = "Scheduled restart:     Every day at 02:00\n";

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

    void Fresh() {
        sim::Reset();
        SetUp();
    }

    static void Ini(const std::wstring& text) {
        sim::SetFileText(L"C:\\Program Files\\Nimbrel\\Nimbrel.ini", text);
    }

    // A plugin with the given behaviour, switched on in the INI file.
    static void Plugin(sim::Program program, const std::wstring& moreKeys = L"") {
        sim::AddFile(L"C:\\Plugins\\check.exe");
        sim::AddProgram(L"\"C:\\Plugins\\check.exe\"", program);
        Ini(L"[HealthCheck]\nEnablePluginCheck=1\nPluginPath=C:\\Plugins\\check.exe\n" + moreKeys);
    }

    // Runs the report; expects its exit code, its whole output and no event.
    static void ExpectReport(int exitCode, const std::string& output) {
        EXPECT_EQ(exitCode, RunStatusCommand());
        EXPECT_EQ(output, sim::StdoutBytes());
        EXPECT_EQ(0u, sim::Events().size()) << "the report writes nothing to the event log";
    }
};

TEST_F(StatusCommand, RunningAndHealthyWithTheDefaults) {
    ExpectReport(0, kHealthyRunning);
}

TEST_F(StatusCommand, ReachedThroughTheDispatcherInAnyCaseWithArgumentsIgnored) {
    WCHAR program[] = L"Nimbrel.exe", word[] = L"StAtUS", extra[] = L"--verbose";
    WCHAR* argv[] = {program, word, extra, nullptr};
    EXPECT_EQ(0, Dispatch(3, argv));
    EXPECT_EQ(kHealthyRunning, sim::StdoutBytes());
}

TEST_F(StatusCommand, StoppedSpooler) {
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    ExpectReport(0, "Print Spooler service: Stopped\n"
                    "Service state healthy: No\n"
                    "Print queue healthy:   Yes\n"
                    "Overall healthy:       No\n"
                    "Last issue:            Print Spooler service is stopped\n"
                    "Scheduled restart:     Every day at 02:00\n");
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::EnumPrintersW));
}

TEST_F(StatusCommand, UnknownState) {
    sim::Spooler().state = 9;
    ExpectReport(0, "Print Spooler service: Unknown (PID 1234)\n"
                    "Service state healthy: No\n" +
                        kQueueYes + kOverallNo +
                        "Last issue:            Print Spooler in unexpected service state\n" +
                        kDaily);
}

TEST_F(StatusCommand, NamesEveryState) {
    const std::pair<DWORD, const char*> names[] = {
        {1, "Stopped"},          {2, "Start Pending"},     {3, "Stop Pending"}, {4, "Running"},
        {5, "Continue Pending"}, {6, "Pause Pending"},     {7, "Paused"},       {0, "Unknown"},
        {8, "Unknown"},          {0xFFFFFFFFu, "Unknown"},
    };
    for (const auto& [state, name] : names) {
        SCOPED_TRACE(name);
        Fresh();
        sim::Spooler().state = state;
        sim::Spooler().pid = 0;
        EXPECT_EQ(0, RunStatusCommand());
        const std::string out = sim::StdoutBytes();
        EXPECT_EQ("Print Spooler service: " + std::string(name) + "\n",
                  out.substr(0, out.find('\n') + 1));
    }
}

TEST_F(StatusCommand, LinesComeAndGoWithTheSettings) {
    const std::pair<const WCHAR*, std::string> cases[] = {
        {L"[HealthCheck]\nEnableQueueCheck=0\n", kRunning + kStateYes + kOverallYes + kDaily},
        {L"[Schedule]\nEnableScheduledRestart=0\n", kRunning + kStateYes + kQueueYes + kOverallYes},
        {L"[HealthCheck]\nEnableQueueCheck=0\n[Schedule]\nEnableScheduledRestart=0\n",
         kRunning + kStateYes + kOverallYes},
        {L"[HealthCheck]\nEnablePluginCheck=1\nPluginPath=  \n", kHealthyRunning},
        {L"[HealthCheck]\nPluginPath=C:\\Plugins\\check.exe\n", kHealthyRunning},
        {L"[Schedule]\nRestartDays = Mon,Fri \nRestartTime=\t23:30\n",
         kRunning + kStateYes + kQueueYes + kOverallYes +
             "Scheduled restart:     Mon,Fri at 23:30\n"},
        {L"[Schedule]\nRestartTime=25:9x\n", kRunning + kStateYes + kQueueYes + kOverallYes +
                                                 "Scheduled restart:     Every day at 25:9x\n"},
    };
    for (const auto& [ini, output] : cases) {
        SCOPED_TRACE(Narrow(ini));
        Fresh();
        Ini(ini);
        ExpectReport(0, output);
        EXPECT_EQ(0u, sim::Launches().size());
        ExpectNothingLeftOpen();
    }
}

TEST_F(StatusCommand, FailedQueryPrintsOneLineAndExits1) {
    void (*const failures[])() = {
        [] { sim::RemoveService(L"Spooler"); },
        [] { sim::SetManagerAccessDenied(true); },
        [] { sim::FailCall(sim::Op::QueryServiceStatusEx); },
    };
    for (auto fail : failures) {
        Fresh();
        Plugin({3, 0});
        fail();
        ExpectReport(1, "Unable to query Print Spooler status.\n");
        EXPECT_EQ(0u, sim::Launches().size());
        EXPECT_EQ(0u, sim::CountCalls(sim::Op::EnumPrintersW));
        ExpectNothingLeftOpen();
    }
}

// The plugin line shows this report's run; the overall verdict runs the
// plugin again only once its interval has passed since that launch.
TEST_F(StatusCommand, PluginLineAndOverallVerdictShareTheLaunchTick) {
    struct Case {
        sim::Program program;
        const WCHAR* moreKeys;
        std::string fromPluginLine;
        std::size_t launches;
    };
    const std::string pluginNo = "Plugin healthy:        No\n";
    const Case cases[] = {
        {{3, 1000}, L"", pluginNo + kOverallYes + kDaily, 1},
        {{0, 10}, L"", "Plugin healthy:        Yes\n" + kOverallYes + kDaily, 1},
        {{3, 6000},
         L"PluginIntervalMs=5000\n",
         pluginNo + kOverallNo +
             "Last issue:            Plugin health check failed (exit code 3)\n" + kDaily,
         2},
        {{0, sim::kNever},
         L"PluginIntervalMs=5000\nPluginTimeoutMs=5000\n",
         pluginNo + kOverallNo + "Last issue:            Plugin health check timed out\n" + kDaily,
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.launches);
        Fresh();
        Plugin(c.program, c.moreKeys);
        ExpectReport(0, kRunning + kStateYes + kQueueYes + kPluginPath + c.fromPluginLine);
        EXPECT_EQ(c.launches, sim::Launches().size());
        ExpectNothingLeftOpen();
    }
}

TEST_F(StatusCommand, MissingPluginFailsTheOverallVerdictToo) {
    Ini(L"[HealthCheck]\nEnablePluginCheck=1\nPluginPath=C:\\Plugins\\gone.cmd\n");
    ExpectReport(0, kRunning + kStateYes + kQueueYes +
                        "Plugin check enabled:  C:\\Plugins\\gone.cmd\n"
                        "Plugin healthy:        No\n" +
                        kOverallNo + "Last issue:            Plugin health check file not found\n" +
                        kDaily);
}

// A pending spooler is healthy at its first sighting; it is stuck only when
// the report itself lasts HangTimeoutMs.
TEST_F(StatusCommand, PendingSpoolerAgainstTheHangTimeOut) {
    for (std::uint64_t pluginMs : {4999, 5000}) {
        Fresh();
        sim::SetServiceState(L"Spooler", SERVICE_START_PENDING);
        sim::Spooler().pid = 1234;
        Plugin({0, pluginMs}, L"[Monitor]\nHangTimeoutMs=5000\n");
        const std::string verdict =
            pluginMs < 5000
                ? kOverallYes
                : kOverallNo +
                      "Last issue:            Print Spooler stuck in Starting/Stopping state\n";
        ExpectReport(0, "Print Spooler service: Start Pending (PID 1234)\n" + kStateYes +
                            kQueueYes + kPluginPath + "Plugin healthy:        Yes\n" + verdict +
                            kDaily);
    }
}

TEST_F(StatusCommand, QueueProblemWithNonAsciiNamesComesOutAsUtf8) {
    sim::AddPrinter(L"Étage 2 – Büro");
    sim::AddJob(L"Étage 2 – Büro", 8, L"Rechnung €.pdf", JOB_STATUS_PRINTING,
                sim::UtcSystemTime(3600));
    ExpectReport(0, kRunning + kStateYes + "Print queue healthy:   No\n" + kOverallNo +
                        Utf8(L"Last issue:            Stuck print job on 'Étage 2 – Büro' (job 8, "
                             L"document: Rechnung €.pdf)\n") +
                        kDaily);
}

// The verdict's queue check queries the state once more; a text it leaves
// stands under an overall "Yes". Queries: the report's own, the state line,
// the queue line's gate, the verdict's state check, the verdict's gate.
TEST_F(StatusCommand, IssueLineUnderAHealthyVerdict) {
    sim::FailCall(sim::Op::QueryServiceStatusEx, 0, 5);
    ExpectReport(0, kRunning + kStateYes + kQueueYes + kOverallYes +
                        "Last issue:            Unable to query Print Spooler service state\n" +
                        kDaily);
}

TEST_F(StatusCommand, OutputErrorsChangeNoExitCode) {
    sim::SetStdoutBroken(true);
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    EXPECT_EQ(0, RunStatusCommand());
    sim::RemoveService(L"Spooler");
    EXPECT_EQ(1, RunStatusCommand());
}

} // namespace
} // namespace nimbrel::test
