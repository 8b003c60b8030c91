// The plugin check: how the plugin is started, what its exit code means, and
// how often it runs. Every failing platform call is in the fault sweep (a
// missing file is no run, a failed launch is one); a plugin switched off or
// without a path is in the status report's tests.

#include "tests/support.h"

namespace nimbrel::test {
namespace {

constexpr WCHAR kPlugin[] = L"C:\\Plugins\\check.exe";
constexpr WCHAR kPluginCommand[] = L"\"C:\\Plugins\\check.exe\"";

class PluginCheck : public SimTest {
  protected:
    void SetUp() override { Fresh(); }
    // A fresh machine with the plugin switched on at `path`.
    static void Fresh(const WCHAR* path = kPlugin) {
        SimTest::Fresh();
        Settings.EnablePluginCheck = 1;
        CopyText(Settings.PluginPath, kPluginPathCapacity, path);
    }
    static void Install(DWORD exitCode, std::uint64_t runMs = 0) {
        sim::AddFile(kPlugin);
        sim::AddProgram(kPluginCommand, {exitCode, runMs});
    }
};

// Healthy leaves an earlier text alone; the exit code is shown unsigned.
TEST_F(PluginCheck, ExitCodeDecidesAndIsShownUnsigned) {
    const std::pair<DWORD, const WCHAR*> cases[] = {
        {0, L"an earlier problem"},
        {2, L"Plugin health check failed (exit code 2)"},
        {0x80000000u, L"Plugin health check failed (exit code 2147483648)"},
        {0xFFFFFFFFu, L"Plugin health check failed (exit code 4294967295)"},
    };
    for (const auto& [exitCode, issue] : cases) {
        SCOPED_TRACE(exitCode);
        Fresh();
        Install(exitCode, 250);
        CopyText(LastIssue, kLastIssueCapacity, L"an earlier problem");
        EXPECT_EQ(exitCode == 0 ? 1 : 0, CheckPlugin());
        EXPECT_EQ(std::wstring(issue), Issue());
        EXPECT_EQ(250u, sim::ElapsedMs()) << "waited for the plugin to end";
    }
}

// Batch files run through the system folder's cmd.exe, named by its full
// path (a cmd.exe planted in the current folder must not run); the extension
// is what follows the last dot of the whole path, compared without ASCII
// case. The plugin starts hidden, without a console and without our handles.
TEST_F(PluginCheck, CommandLineFollowsTheExtension) {
    const std::pair<const WCHAR*, const WCHAR*> cases[] = {
        {L"C:\\Plugins\\check.cmd", L"cmd.exe /c \"\"C:\\Plugins\\check.cmd\"\""},
        {L"C:\\My Plugins\\check.Bat", L"cmd.exe /c \"\"C:\\My Plugins\\check.Bat\"\""},
        {L"C:\\Plugins.d\\check.CMD", L"cmd.exe /c \"\"C:\\Plugins.d\\check.CMD\"\""},
        {L"C:\\Plugins\\check.exe", L"\"C:\\Plugins\\check.exe\""},
        {L"C:\\Plugins\\check", L"\"C:\\Plugins\\check\""},
        {L"C:\\Plugins.bat\\check", L"\"C:\\Plugins.bat\\check\""},
        {L"C:\\Plugins\\check.bat.exe", L"\"C:\\Plugins\\check.bat.exe\""},
        {L"C:\\Plugins\\check.cmdx", L"\"C:\\Plugins\\check.cmdx\""},
        {L"C:\\Plugins\\check.\u0131at", L"\"C:\\Plugins\\check.\u0131at\""},
    };
    for (const auto& [path, commandLine] : cases) {
        SCOPED_TRACE(Narrow(path));
        Fresh(path);
        sim::SetSystemDirectory(L"D:\\Win\\system32");
        sim::AddFile(path);
        sim::AddProgram(commandLine, {0, 0});
        EXPECT_EQ(1, CheckPlugin());
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
        EXPECT_EQ(nullptr, launch.startup.hStdOutput);
    }
}

TEST_F(PluginCheck, PluginPastItsTimeOutIsTerminatedWithExitCode1) {
    Settings.PluginTimeoutMs = 1000;
    Install(0, sim::kNever);
    EXPECT_EQ(0, CheckPlugin());
    EXPECT_EQ(L"Plugin health check timed out", Issue());
    EXPECT_EQ(1000u, sim::ElapsedMs());
    const sim::Process* process = sim::FindProcess(sim::Launches()[0].pid);
    EXPECT_FALSE(process->running);
    EXPECT_EQ(1u, process->exitCode);
}

// What the plugin starts (a batch file's script engine, a "start /b" child)
// ends with it: when it times out, and when it returns leaving the child
// behind. Nothing it started runs before it is in its job.
TEST_F(PluginCheck, NothingThePluginStartedOutlivesIt) {
    const wchar_t* const kChild = L"powershell.exe -File check.ps1";
    for (std::uint64_t runMs : {sim::kNever, std::uint64_t{300}}) {
        SCOPED_TRACE(runMs);
        Fresh();
        Settings.PluginTimeoutMs = 1000;
        Install(0, runMs);
        sim::AddProgram(kChild, {0, sim::kNever});
        sim::AddChildProgram(kPluginCommand, kChild);
        EXPECT_EQ(runMs == sim::kNever ? 0 : 1, CheckPlugin());
        EXPECT_EQ(0u, sim::RunningProcesses(kPluginCommand) + sim::RunningProcesses(kChild));
        for (const sim::Process& process : sim::Processes()) {
            if (process.commandLine == kChild) {
                EXPECT_NE(0u, process.job) << "started outside the plugin's job";
            }
        }
    }
}

// Counted from launch to launch with the tick's unsigned difference; between
// runs the check passes without remembering what the last run found.
TEST_F(PluginCheck, RunsAtMostOncePerIntervalCountedFromLaunchToLaunch) {
    const struct {
        const char* what;
        DWORD firstTick;
        std::uint64_t laterMs; // after the first call began
        bool runsAgain;
    } cases[] = {
        {"one second later", 1000000, 1000, false},
        {"one millisecond early", 1000000, 59999, false},
        {"exactly the interval", 1000000, 60000, true},
        {"across a wrap, one second later", 0xFFFFFFFFu - 20000, 1000, false},
        {"across a wrap, one millisecond early", 0xFFFFFFFFu - 20000, 59999, false},
        {"across a wrap, exactly the interval", 0xFFFFFFFFu - 20000, 60000, true},
        {"a launch at tick 0 counts as none", 0, 1000, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh();
        Install(2, 500);
        sim::SetTick(c.firstTick);
        EXPECT_EQ(0, CheckPlugin());
        LastIssue[0] = 0;
        sim::AdvanceMs(c.laterMs - 500);
        EXPECT_EQ(c.runsAgain ? 0 : 1, CheckPlugin());
        EXPECT_EQ(c.runsAgain ? 2u : 1u, sim::Launches().size());
        EXPECT_EQ(std::wstring(c.runsAgain ? L"Plugin health check failed (exit code 2)" : L""),
                  Issue());
    }
}

} // namespace
} // namespace nimbrel::test
