#include "tests/health_support.h"

namespace nimbrel::test {
namespace {

constexpr WCHAR kPlugin[] = L"C:\\Plugins\\check.exe";
constexpr WCHAR kPluginCommand[] = L"\"C:\\Plugins\\check.exe\"";

class PluginCheck : public HealthTest {
  protected:
    void SetUp() override {
        HealthTest::SetUp();
        UsePlugin(kPlugin);
    }

    static void UsePlugin(const WCHAR* path) {
        Settings.EnablePluginCheck = 1;
        CopyText(Settings.PluginPath, kPluginPathCapacity, path);
    }

    static void Install(DWORD exitCode, std::uint64_t runMs = 0) {
        sim::AddFile(kPlugin);
        sim::AddProgram(kPluginCommand, {exitCode, runMs});
    }

    static std::size_t LaunchCount() { return sim::Launches().size(); }
};

TEST_F(PluginCheck, SwitchedOffOrWithoutPathPassesWithoutLooking) {
    Install(2);
    const std::pair<DWORD, const WCHAR*> settings[] = {{0, kPlugin}, {0, L""}, {1, L""}};
    for (const auto& [enabled, path] : settings) {
        Settings.EnablePluginCheck = enabled;
        CopyText(Settings.PluginPath, kPluginPathCapacity, path);
        EXPECT_EQ(1, CheckPlugin());
    }
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::GetFileAttributesW));
    EXPECT_EQ(0u, LaunchCount());
}

TEST_F(PluginCheck, ExitCodeDecidesAndIsShownUnsigned) {
    struct Case {
        DWORD exitCode;
        const WCHAR* issue;
    };
    const Case cases[] = {
        {0, L"an earlier problem"},
        {2, L"Plugin health check failed (exit code 2)"},
        {0x80000000u, L"Plugin health check failed (exit code 2147483648)"},
        {0xFFFFFFFFu, L"Plugin health check failed (exit code 4294967295)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.exitCode);
        sim::Reset();
        FreshProcess();
        UsePlugin(kPlugin);
        Install(c.exitCode, 250);
        CopyText(LastIssue, kLastIssueCapacity, L"an earlier problem");
        EXPECT_EQ(c.exitCode == 0 ? 1 : 0, CheckPlugin());
        EXPECT_EQ(std::wstring(c.issue), Issue());
        EXPECT_EQ(1u, LaunchCount());
        EXPECT_EQ(250u, sim::ElapsedMs()) << "waited for the plugin to end";
        ExpectNothingLeftOpen();
    }
}

// Batch files run through the command interpreter; the extension is what
// follows the last dot of the whole path, compared without ASCII case.
TEST_F(PluginCheck, CommandLineFollowsTheExtension) {
    struct Case {
        const WCHAR* path;
        const WCHAR* commandLine;
    };
    const Case cases[] = {
        {L"C:\\Plugins\\check.cmd", L"cmd.exe /c \"\"C:\\Plugins\\check.cmd\"\""},
        {L"C:\\Plugins\\check.CMD", L"cmd.exe /c \"\"C:\\Plugins\\check.CMD\"\""},
        {L"C:\\My Plugins\\check.Bat", L"cmd.exe /c \"\"C:\\My Plugins\\check.Bat\"\""},
        {L"C:\\Plugins\\check.exe", L"\"C:\\Plugins\\check.exe\""},
        {L"C:\\Plugins\\check", L"\"C:\\Plugins\\check\""},
        {L"C:\\Plugins.bat\\check", L"\"C:\\Plugins.bat\\check\""},
        {L"C:\\Plugins.d\\check.cmd", L"cmd.exe /c \"\"C:\\Plugins.d\\check.cmd\"\""},
        {L"C:\\Plugins\\check.bat.exe", L"\"C:\\Plugins\\check.bat.exe\""},
        {L"C:\\Plugins\\check.cmdx", L"\"C:\\Plugins\\check.cmdx\""},
        {L"C:\\Plugins\\check.bat\\run", L"\"C:\\Plugins\\check.bat\\run\""},
        {L"C:\\Plugins\\check.\u0131at", L"\"C:\\Plugins\\check.\u0131at\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.path));
        sim::Reset();
        FreshProcess();
        UsePlugin(c.path);
        sim::AddFile(c.path);
        sim::AddProgram(c.commandLine, {0, 0});
        EXPECT_EQ(1, CheckPlugin());
        ASSERT_EQ(1u, LaunchCount());
        EXPECT_EQ(std::wstring(c.commandLine), sim::Launches()[0].commandLine);
        // A batch file runs the system's own interpreter, never one found on
        // the search path; a program is named by its full path already.
        const bool batch = std::wstring(c.commandLine).rfind(L"cmd.exe", 0) == 0;
        EXPECT_EQ(batch ? std::optional<std::wstring>(L"C:\\Windows\\system32\\cmd.exe")
                        : std::nullopt,
                  sim::Launches()[0].applicationName);
        ExpectNothingLeftOpen();
    }
}

TEST_F(PluginCheck, BatchFileIsNotLaunchedWithoutTheSystemInterpreter) {
    UsePlugin(L"C:\\Plugins\\check.cmd");
    sim::AddFile(L"C:\\Plugins\\check.cmd");
    sim::FailCall(sim::Op::GetSystemDirectoryW);
    EXPECT_EQ(0, CheckPlugin());
    EXPECT_EQ(L"Failed to launch plugin health check", Issue());
    EXPECT_EQ(0u, LaunchCount());
    EXPECT_NE(0u, LastPluginRunTick) << "an attempt counts as a run for the interval";
}

TEST_F(PluginCheck, LaunchesHiddenWithoutConsoleOrInheritedHandles) {
    Install(0);
    EXPECT_EQ(1, CheckPlugin());
    ASSERT_EQ(1u, LaunchCount());
    const sim::Launch& launch = sim::Launches()[0];
    EXPECT_FALSE(launch.applicationName.has_value());
    EXPECT_EQ(FALSE, launch.inheritHandles);
    EXPECT_EQ(CREATE_NO_WINDOW, launch.creationFlags);
    EXPECT_FALSE(launch.environmentGiven);
    EXPECT_FALSE(launch.currentDirectoryGiven);
    const STARTUPINFOW& s = launch.startup;
    EXPECT_EQ(sizeof(STARTUPINFOW), s.cb);
    EXPECT_EQ(STARTF_USESHOWWINDOW, s.dwFlags);
    EXPECT_EQ(SW_HIDE, s.wShowWindow);
    // Every other field zero: no desktop, title or standard handles passed.
    EXPECT_EQ(nullptr, s.lpReserved);
    EXPECT_EQ(nullptr, s.lpDesktop);
    EXPECT_EQ(nullptr, s.lpTitle);
    EXPECT_EQ(0u, s.dwX | s.dwY | s.dwXSize | s.dwYSize | s.dwXCountChars | s.dwYCountChars |
                      s.dwFillAttribute | s.cbReserved2);
    EXPECT_EQ(nullptr, s.lpReserved2);
    EXPECT_EQ(nullptr, s.hStdInput);
    EXPECT_EQ(nullptr, s.hStdOutput);
    EXPECT_EQ(nullptr, s.hStdError);
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
    EXPECT_EQ(1u, process->terminations);
}

// Whatever fails once the plugin is launched, both of its handles are closed:
// the thread's at once, the process's after the wait.
TEST_F(PluginCheck, HandlesAreClosedOnEveryPath) {
    struct Case {
        const char* what;
        std::optional<sim::Op> fail;
        std::uint64_t runMs;
        const WCHAR* issue;
        std::vector<sim::Op> after; // the calls that follow CreateProcessW
    };
    using sim::Op;
    const Case cases[] = {
        {"ends with 0",
         std::nullopt,
         10,
         L"",
         {Op::CloseHandle, Op::WaitForSingleObject, Op::GetExitCodeProcess, Op::CloseHandle}},
        {"the exit code cannot be read",
         Op::GetExitCodeProcess,
         10,
         L"Plugin health check failed (exit code 1)",
         {Op::CloseHandle, Op::WaitForSingleObject, Op::GetExitCodeProcess, Op::CloseHandle}},
        {"the wait fails",
         Op::WaitForSingleObject,
         10,
         L"Plugin health check timed out",
         {Op::CloseHandle, Op::WaitForSingleObject, Op::TerminateProcess, Op::CloseHandle}},
        {"times out and cannot be terminated",
         Op::TerminateProcess,
         sim::kNever,
         L"Plugin health check timed out",
         {Op::CloseHandle, Op::WaitForSingleObject, Op::TerminateProcess, Op::CloseHandle}},
        {"the launch fails", Op::CreateProcessW, 10, L"Failed to launch plugin health check", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        FreshProcess();
        UsePlugin(kPlugin);
        Settings.PluginTimeoutMs = 1000;
        Install(0, c.runMs);
        if (c.fail) {
            sim::FailCall(*c.fail);
        }
        EXPECT_EQ(c.issue[0] == 0 ? 1 : 0, CheckPlugin());
        EXPECT_EQ(std::wstring(c.issue), Issue());
        EXPECT_NE(0u, LastPluginRunTick) << "every launch attempt counts as a run";
        std::vector<Op> after;
        bool launched = false;
        for (const sim::Call& call : sim::Calls()) {
            if (launched) {
                after.push_back(call.op);
            }
            launched = launched || call.op == Op::CreateProcessW;
        }
        EXPECT_EQ(c.after, after);
        ExpectNothingLeftOpen();
    }
}

TEST_F(PluginCheck, RunsAtMostOncePerIntervalCountedFromLaunchToLaunch) {
    struct Case {
        const char* what;
        DWORD firstTick;
        std::uint64_t laterMs; // after the first call began
        bool runsAgain;
    };
    const Case cases[] = {
        {"one second later", 1000000, 1000, false},
        {"one millisecond early", 1000000, 59999, false},
        {"exactly the interval", 1000000, 60000, true},
        {"across a wrap, one millisecond early", 0xFFFFFFFFu - 20000, 59999, false},
        {"across a wrap, exactly the interval", 0xFFFFFFFFu - 20000, 60000, true},
        {"a launch at tick 0 counts as none", 0, 1000, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        FreshProcess();
        UsePlugin(kPlugin);
        Install(2, 500);
        sim::SetTick(c.firstTick);
        EXPECT_EQ(0, CheckPlugin());
        EXPECT_EQ(c.firstTick, LastPluginRunTick) << "the tick read before the plugin ran";
        LastIssue[0] = 0;
        sim::AdvanceMs(c.laterMs - 500);
        EXPECT_EQ(c.runsAgain ? 0 : 1, CheckPlugin()) << "between runs it simply passes";
        EXPECT_EQ(c.runsAgain ? 2u : 1u, LaunchCount());
        EXPECT_EQ(std::wstring(c.runsAgain ? L"Plugin health check failed (exit code 2)" : L""),
                  Issue());
        ExpectNothingLeftOpen();
    }
}

TEST_F(PluginCheck, MissingFileIsLookedForAgainAtEveryCall) {
    sim::AddProgram(kPluginCommand, {0, 0});
    for (int call = 0; call < 3; ++call) {
        LastIssue[0] = 0;
        EXPECT_EQ(0, CheckPlugin());
        EXPECT_EQ(L"Plugin health check file not found", Issue());
        sim::AdvanceMs(1);
    }
    EXPECT_EQ(3u, sim::CountCalls(sim::Op::GetFileAttributesW));
    EXPECT_EQ(0u, LastPluginRunTick);
    EXPECT_EQ(0u, LaunchCount());

    sim::AddFile(kPlugin);
    EXPECT_EQ(1, CheckPlugin()) << "runs as soon as the file is there";
    EXPECT_EQ(1u, LaunchCount());
}

TEST_F(PluginCheck, FolderCountsAsFoundButCannotBeLaunched) {
    UsePlugin(L"C:\\Plugins");
    sim::AddFolder(L"C:\\Plugins");
    EXPECT_EQ(0, CheckPlugin());
    EXPECT_EQ(L"Failed to launch plugin health check", Issue());
    EXPECT_EQ(1u, LaunchCount());
    EXPECT_EQ(sim::Tick(), LastPluginRunTick);
    sim::AdvanceMs(1000);
    EXPECT_EQ(1, CheckPlugin()) << "a failed launch counts for the interval";
    EXPECT_EQ(1u, LaunchCount());
}

} // namespace
} // namespace nimbrel::test
