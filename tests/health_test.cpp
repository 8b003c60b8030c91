// The service-state and plugin checks, and the verdict that runs the checks
// in order. Failing platform calls are the fault sweep's.

#include "tests/support.h"

namespace nimbrel::test {
namespace {

constexpr WCHAR kPlugin[] = L"C:\\Plugins\\check.exe";
constexpr WCHAR kPluginCommand[] = L"\"C:\\Plugins\\check.exe\"";
constexpr WCHAR kEarlier[] = L"an earlier problem";
constexpr WCHAR kStuck[] = L"Print Spooler stuck in Starting/Stopping state";
constexpr DWORD kStartPending = SERVICE_START_PENDING, kStopPending = SERVICE_STOP_PENDING;

class Health : public SimTest {
  protected:
    // A fresh machine with an earlier issue, and the plugin switched on at
    // `path`, present, and exiting with `exitCode` after `runMs`.
    static void Fresh(const WCHAR* path = kPlugin, DWORD exitCode = 0, std::uint64_t runMs = 0) {
        SimTest::Fresh();
        CopyText(LastIssue, kLastIssueCapacity, kEarlier);
        Settings.EnablePluginCheck = 1;
        CopyText(Settings.PluginPath, kPluginPathCapacity, path);
        sim::AddFile(path);
        sim::AddProgram(kPluginCommand, {exitCode, runMs});
    }
};

// The first failure ends the verdict: no plugin for a spooler known bad.
TEST_F(Health, VerdictStopsAtTheFirstFailingCheck) {
    const struct {
        bool stuckJob;
        DWORD pluginExit;
        const WCHAR* issue; // empty: healthy
    } cases[] = {
        {false, 0, L""},
        {true, 5, L"Stuck print job on 'Office' (job 12, document: a.doc)"},
        {false, 5, L"Plugin health check failed (exit code 5)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.issue));
        Fresh(kPlugin, c.pluginExit);
        sim::AddPrinter(L"Office");
        if (c.stuckJob) {
            sim::AddJob(L"Office", 12, L"a.doc", JOB_STATUS_PRINTING, sim::UtcSystemTime(3600));
        }
        EXPECT_EQ(c.issue[0] == 0, EvaluateHealth() != 0);
        EXPECT_EQ(std::wstring(c.issue), Issue());
        EXPECT_EQ(c.stuckJob ? 0u : 1u, sim::Launches().size());
    }
}

// A pending state is stuck from exactly HangTimeoutMs after its first
// sighting, across a wrap of the tick count too; only running or the other
// pending state starts the watch anew.
TEST_F(Health, ServiceStateAndTheWatchOfAPendingState) {
    struct Step {
        DWORD afterMs, state; // state 0: the query fails
        const WCHAR* issue;   // null: healthy
    };
    constexpr DWORD kHang = 120000;
    const std::vector<Step> runs[] = {
        {{0, SERVICE_STOPPED, L"Print Spooler service is stopped"}},
        {{0, SERVICE_PAUSED, L"Print Spooler in unexpected service state"}},
        {{0, kStartPending, nullptr},
         {kHang - 1, kStartPending, nullptr},
         {1, kStartPending, kStuck}},
        {{0, kStartPending, nullptr},
         {kHang - 1, kStopPending, nullptr},
         {kHang, kStopPending, kStuck}},
        {{0, kStopPending, nullptr},
         {kHang / 2, 0, L"Unable to query Print Spooler service state"},
         {kHang / 2, kStopPending, kStuck}},
        {{0, kStartPending, nullptr},
         {kHang / 2, SERVICE_RUNNING, nullptr},
         {kHang / 2, kStartPending, nullptr},
         {kHang - 1, kStartPending, nullptr}},
    };
    for (const auto& run : runs) {
        for (DWORD firstTick : {1000000u, 0xFFFFFFFFu - 1000}) {
            Fresh();
            sim::SetTick(firstTick);
            for (const Step& step : run) {
                SCOPED_TRACE(testing::Message() << "run " << &run - runs << " from " << firstTick
                                                << ", +" << step.afterMs << ": " << step.state);
                sim::AdvanceMs(step.afterMs);
                if (step.state == 0) {
                    sim::FailCall(sim::Op::OpenServiceW);
                } else {
                    sim::Spooler().state = step.state;
                }
                EXPECT_EQ(step.issue == nullptr, CheckServiceState() != 0);
                EXPECT_EQ(std::wstring(step.issue ? step.issue : kEarlier), Issue());
            }
        }
    }
}

// Batch files (by the last dot of the whole path) run through cmd.exe named by
// its full path, so that a planted cmd.exe cannot run; hidden, without our handles.
TEST_F(Health, PluginCommandLineFollowsTheExtension) {
    const std::pair<const WCHAR*, const WCHAR*> cases[] = {
        {L"C:\\My Plugins.d\\check.CMD", L"cmd.exe /c \"\"C:\\My Plugins.d\\check.CMD\"\""},
        {L"C:\\Plugins\\check.Bat", L"cmd.exe /c \"\"C:\\Plugins\\check.Bat\"\""},
        {L"C:\\Plugins.bat\\check", L"\"C:\\Plugins.bat\\check\""},
    };
    for (const auto& [path, commandLine] : cases) {
        SCOPED_TRACE(Narrow(path));
        Fresh(path);
        sim::SetSystemDirectory(L"D:\\Win\\system32");
        sim::AddProgram(commandLine, {0, 0});
        EXPECT_TRUE(CheckPlugin());
        ASSERT_EQ(1u, sim::Launches().size());
        const sim::Launch& launch = sim::Launches()[0];
        EXPECT_EQ(std::wstring(commandLine), launch.commandLine);
        const bool batch = launch.commandLine.rfind(L"cmd.exe", 0) == 0;
        EXPECT_EQ(batch ? std::optional<std::wstring>(L"D:\\Win\\system32\\cmd.exe") : std::nullopt,
                  launch.applicationName);
        EXPECT_EQ(FALSE, launch.inheritHandles);
        EXPECT_EQ(CREATE_NO_WINDOW | CREATE_SUSPENDED, launch.creationFlags);
        EXPECT_EQ(STARTF_USESHOWWINDOW, launch.startup.dwFlags);
        EXPECT_EQ(SW_HIDE, launch.startup.wShowWindow);
    }
}

// What the plugin starts is in its job from the first and ends with it, on a
// time-out too; a plugin that cannot be resumed is ended, job or none.
TEST_F(Health, NothingThePluginStartedOutlivesIt) {
    const wchar_t* const kChild = L"powershell.exe -File check.ps1";
    const struct {
        std::uint64_t runMs;
        bool resumes;
        const WCHAR* issue;
        DWORD pluginExit;
    } cases[] = {
        {sim::kNever, true, L"Plugin health check timed out", 1},
        {300, true, kEarlier, 0},
        {300, false, L"Failed to launch plugin health check", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.issue));
        Fresh(kPlugin, 0, c.runMs);
        Settings.PluginTimeoutMs = 1000;
        sim::AddProgram(kChild, {0, sim::kNever});
        sim::AddChildProgram(kPluginCommand, kChild);
        if (!c.resumes) {
            sim::FailCall(sim::Op::CreateJobObjectW);
            sim::FailCall(sim::Op::ResumeThread);
        }
        EXPECT_EQ(c.pluginExit == 0, CheckPlugin() != 0);
        EXPECT_EQ(std::wstring(c.issue), Issue());
        EXPECT_EQ(0u, sim::RunningProcesses(kPluginCommand) + sim::RunningProcesses(kChild));
        for (const sim::Process& process : sim::Processes()) {
            EXPECT_TRUE(process.commandLine != kChild || process.job != 0) << "outside the job";
            EXPECT_TRUE(process.commandLine != kPluginCommand || process.exitCode == c.pluginExit);
        }
    }
}

// A run is due an interval after the last launch (across a tick wrap too);
// between runs the check passes, whatever the last run found.
TEST_F(Health, PluginExitCodeAndInterval) {
    const struct {
        DWORD exitCode, firstTick;
        std::uint64_t laterMs; // after the first call began
        bool runsAgain;
    } cases[] = {
        {0, 1000000, 59999, false},
        {1, 0xFFFFFFFFu - 20000, 60000, true},
        {0xFFFFFFFFu, 0, 1000, true}, // a launch at tick 0 counts as none
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.exitCode);
        Fresh(kPlugin, c.exitCode, 500);
        sim::SetTick(c.firstTick);
        const std::wstring failed =
            L"Plugin health check failed (exit code " + std::to_wstring(c.exitCode) + L")";
        EXPECT_EQ(c.exitCode == 0, CheckPlugin() != 0);
        EXPECT_EQ(c.exitCode == 0 ? kEarlier : failed, Issue());
        EXPECT_EQ(500u, sim::ElapsedMs()) << "waited for the plugin to end";
        CopyText(LastIssue, kLastIssueCapacity, kEarlier);
        sim::AdvanceMs(c.laterMs - 500);
        EXPECT_EQ(!c.runsAgain || c.exitCode == 0, CheckPlugin() != 0);
        EXPECT_EQ(c.runsAgain && c.exitCode != 0 ? failed : kEarlier, Issue());
        EXPECT_EQ(c.runsAgain ? 2u : 1u, sim::Launches().size());
    }
}

} // namespace
} // namespace nimbrel::test
