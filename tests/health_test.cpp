// The health checks and the verdict that runs them in order.
#include "spooler/spooler_control.h" // StopEvent
#include "tests/service_fixture.h"

namespace nimbrel::test {
namespace {

constexpr WCHAR kPlugin[] = L"C:\\Plugins\\check.exe";
constexpr WCHAR kPluginCommand[] = L"\"C:\\Plugins\\check.exe\"";
constexpr WCHAR kEarlier[] = L"an earlier problem";
constexpr WCHAR kStuck[] = L"Print Spooler stuck in Starting/Stopping state";
constexpr DWORD kStarting = SERVICE_START_PENDING, kStopping = SERVICE_STOP_PENDING;
constexpr const WCHAR* kOk = nullptr;

class Health : public SimTest {
  protected:
    // An earlier issue, and the plugin at `path` exiting with `exitCode` after `runMs`.
    static void Fresh(const WCHAR* path = kPlugin, DWORD exitCode = 0, std::uint64_t runMs = 0) {
        SimTest::Fresh();
        CopyText(g_LastIssue, kLastIssueCapacity, kEarlier);
        g_Settings.EnablePluginCheck = 1;
        CopyText(g_Settings.PluginPath, kPluginPathCapacity, path);
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

// A pending state is stuck HangTimeoutMs after its first sighting (tick wrap too).
TEST_F(Health, ServiceStateAndTheWatchOfAPendingState) {
    struct Step {
        DWORD afterMs, state; // state 0: the query fails
        const WCHAR* issue;   // null: healthy
    };
    constexpr DWORD kHang = 120000;
    const std::vector<Step> runs[] = {
        {{0, SERVICE_STOPPED, L"Print Spooler service is stopped"}},
        {{0, SERVICE_PAUSED, L"Print Spooler in unexpected service state"}},
        {{0, kStarting, kOk}, {kHang - 1, kStarting, kOk}, {1, kStarting, kStuck}},
        {{0, kStarting, kOk}, {kHang - 1, kStopping, kOk}, {kHang, kStopping, kStuck}},
        {{0, kStopping, kOk},
         {kHang / 2, 0, L"Unable to query Print Spooler service state"},
         {kHang / 2, kStopping, kStuck}},
        {{0, kStarting, kOk},
         {kHang / 2, SERVICE_RUNNING, kOk},
         {kHang / 2, kStarting, kOk},
         {kHang - 1, kStarting, kOk}},
    };
    for (const auto& run : runs) {
        for (DWORD firstTick : {1000000u, 0xFFFFFFFFu - 1000}) {
            Fresh();
            sim::SetTick(firstTick);
            for (const Step& step : run) {
                SCOPED_TRACE(testing::Message()
                             << &run - runs << "@" << firstTick << "+" << step.afterMs);
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

// cmd.exe by its full path for batch files, so that a planted cmd.exe cannot run.
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

// What the plugin starts ends with it, on a time-out or a stop (no verdict) too.
TEST_F(Health, NothingThePluginStartedOutlivesIt) {
    const wchar_t* const kChild = L"powershell.exe -File check.ps1";
    const struct {
        std::uint64_t runMs, stopAfterMs, elapsedMs;
        DWORD pluginExit;
        bool resumes;
        const WCHAR* issue;
    } cases[] = {
        {sim::kNever, sim::kNever, 1000, 1, true, L"Plugin health check timed out"},
        {300, sim::kNever, 300, 0, true, kEarlier},
        {sim::kNever, 500, 500, 1, true, kEarlier},
        {300, sim::kNever, 0, 1, false, L"Failed to launch plugin health check"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.elapsedMs);
        Fresh(kPlugin, 0, c.runMs);
        g_Settings.PluginTimeoutMs = 1000;
        sim::AddProgram(kChild, {0, sim::kNever});
        sim::AddChildProgram(kPluginCommand, kChild);
        g_StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (c.stopAfterMs != sim::kNever) {
            sim::After(c.stopAfterMs, [] { SetEvent(g_StopEvent); });
        }
        if (!c.resumes) {
            sim::FailCall(sim::Op::CreateJobObjectW);
            sim::FailCall(sim::Op::ResumeThread);
        }
        EXPECT_EQ(c.issue == kEarlier, CheckPlugin() != 0);
        EXPECT_EQ(std::wstring(c.issue), Issue());
        EXPECT_EQ(c.elapsedMs, sim::ElapsedMs());
        EXPECT_EQ(0u, sim::RunningProcesses(kPluginCommand) + sim::RunningProcesses(kChild));
        for (const sim::Process& process : sim::Processes()) {
            EXPECT_TRUE(process.commandLine != kChild || process.job != 0) << "outside the job";
            EXPECT_TRUE(process.commandLine != kPluginCommand || process.exitCode == c.pluginExit);
        }
        CloseHandle(g_StopEvent);
        g_StopEvent = nullptr;
    }
}

// Between runs, an interval after the last launch, the check passes.
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
        CopyText(g_LastIssue, kLastIssueCapacity, kEarlier);
        sim::AdvanceMs(c.laterMs - 500);
        EXPECT_EQ(!c.runsAgain || c.exitCode == 0, CheckPlugin() != 0);
        EXPECT_EQ(c.runsAgain && c.exitCode != 0 ? failed : kEarlier, Issue());
        EXPECT_EQ(c.runsAgain ? 2u : 1u, sim::Launches().size());
    }
}

constexpr std::uint64_t kFileSecond = 10000000; // FILETIME units
const std::wstring kStuckOffice = L"Stuck print job on 'Office' (job 7, document: report.pdf)";
constexpr WCHAR kStuckFirst[] = L"Stuck print job on 'Office' (job 1, document: report.pdf)";

class PrintQueueCheck : public SimTest {
  protected:
    static void Job(const std::wstring& printer, DWORD id, std::int64_t secondsAgo,
                    DWORD status = JOB_STATUS_PRINTING,
                    std::optional<std::wstring> document = L"report.pdf") {
        sim::AddJob(printer, id, std::move(document), status, sim::UtcSystemTime(secondsAgo));
    }
    static unsigned Opens(const std::wstring& printer) { return sim::FindPrinter(printer)->opens; }
};

// Stuck is judged in UTC to the 100 ns; a job stamped in the future is a clock set back.
TEST_F(PrintQueueCheck, DepthAndStuckJobRules) {
    const std::uint64_t limit = 300 * kFileSecond;
    const struct {
        DWORD maxJobs, jobs, status; // the status of job 1; the others are new
        std::uint64_t age;           // of job 1; may wrap to a time before it
        int localOffsetMinutes;
        const WCHAR* issue;
    } cases[] = {
        {0, 3, JOB_STATUS_PRINTING, limit + 1, 0, kStuckFirst},
        {3, 3, JOB_STATUS_PRINTING, limit + 1, 0, kStuckFirst},
        {1, 2, JOB_STATUS_PRINTING, limit + 1, 0,
         L"Printer 'Office' queue depth 2 exceeds limit 1"},
        {0, 1, JOB_STATUS_PRINTING, limit, 840, L""},
        {0, 1, JOB_STATUS_SPOOLING, limit + 1, -600, kStuckFirst},
        {0, 1, JOB_STATUS_PAUSED, 86400 * kFileSecond, 0, L""},
        {0, 1, JOB_STATUS_PRINTING, ~std::uint64_t{0} - 3600 * kFileSecond + 1, 0, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << &c - cases);
        Fresh();
        g_Settings.MaxQueueJobs = c.maxJobs;
        sim::SetLocalOffsetMinutes(c.localOffsetMinutes);
        sim::AddPrinter(L"Office");
        Job(L"Office", 1, 0, c.status);
        sim::SetUtcNow(sim::UtcNow() + c.age);
        for (DWORD id = 2; id <= c.jobs; ++id) {
            Job(L"Office", id, 0);
        }
        EXPECT_EQ(c.issue[0] == 0, CheckPrintQueues() != 0);
        EXPECT_EQ(std::wstring(c.issue), Issue());
    }
}

TEST_F(PrintQueueCheck, WalkNamesTheFirstStuckJobAndStopsThere) {
    sim::AddPrinter(L"Offline", PRINTER_STATUS_OFFLINE);
    Job(L"Offline", 1, 86400);
    sim::AddNamelessPrinter();
    sim::AddPrinter(L"Healthy");
    Job(L"Healthy", 2, 10);
    sim::AddPrinter(L"A");
    Job(L"A", 3, 10);
    Job(L"A", 4294967295u, 3600, JOB_STATUS_PRINTING, std::nullopt);
    Job(L"A", 4, 7200);
    sim::AddPrinter(L"B");
    Job(L"B", 5, 3600);
    EXPECT_FALSE(CheckPrintQueues());
    EXPECT_EQ(L"Stuck print job on 'A' (job 4294967295, document: (unknown))", Issue());
    EXPECT_EQ(0u, Opens(L"Offline"));
    EXPECT_EQ(1u, Opens(L"Healthy"));
    EXPECT_EQ(0u, Opens(L"B"));
    // Off, the check reads nothing and passes.
    g_Settings.EnableQueueCheck = 0;
    sim::ClearCalls();
    EXPECT_TRUE(CheckPrintQueues());
    EXPECT_EQ(0u, sim::Calls().size());
}

// No print server is contacted unless its queue is the one named.
TEST_F(PrintQueueCheck, OnlyLocalQueuesUnlessOneIsNamed) {
    const struct {
        bool connection, examined;
        DWORD attributes, status;
        const WCHAR* named; // PrinterName
    } cases[] = {
        {false, false, PRINTER_ATTRIBUTE_NETWORK, 0, L""},
        {false, true, PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_NETWORK, 0, L""},
        {true, true, PRINTER_ATTRIBUTE_NETWORK, PRINTER_STATUS_OFFLINE, L"\\\\server\\Q"},
        {false, false, PRINTER_ATTRIBUTE_LOCAL, 0, L"No Such Printer"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.attributes << " " << Narrow(c.named));
        Fresh();
        sim::Printer& printer = sim::AddPrinter(L"\\\\server\\Q", c.status);
        printer.connection = c.connection;
        printer.attributes = c.attributes;
        Job(L"\\\\server\\Q", 1, 86400);
        CopyText(g_Settings.PrinterName, kPrinterNameCapacity, c.named);
        EXPECT_EQ(!c.examined, CheckPrintQueues() != 0);
        EXPECT_EQ(c.examined ? 1u : 0u, Opens(L"\\\\server\\Q"));
        const auto enumerations = sim::CallsOf(sim::Op::EnumPrintersW);
        EXPECT_EQ(c.named[0] != 0, enumerations.empty()) << "a named queue needs no list";
        for (const sim::Call& call : enumerations) {
            EXPECT_EQ(L"2", call.args[0]) << "local printers only";
        }
    }
}

TEST_F(PrintQueueCheck, ASilentSpoolerHoldsOneWorkerAtMost) {
    const std::wstring silent =
        L"Print Spooler not responding (no answer to a print queue request within 20000 ms)";
    g_Settings.QueueCheckTimeoutMs = 20000;
    sim::AddPrinter(L"Office");
    sim::HangSpooler();
    EXPECT_FALSE(CheckPrintQueues());
    EXPECT_EQ(20000u, sim::ElapsedMs());
    EXPECT_EQ(silent, Issue());
    sim::AdvanceMs(10000);
    g_LastIssue[0] = 0;
    EXPECT_FALSE(CheckPrintQueues());
    EXPECT_EQ(30000u, sim::ElapsedMs()) << "no second wait";
    EXPECT_EQ(silent, Issue());
    EXPECT_EQ(1u, sim::ThreadsCreated());
    sim::ReleaseSpooler();
    sim::AdvanceMs(1);
    EXPECT_TRUE(CheckPrintQueues());
    EXPECT_EQ(2u, sim::ThreadsCreated());
    EXPECT_EQ(0u, sim::LiveThreads());
}

// In the service a long document still printing is not stuck; "status" judges by age.
TEST_F(PrintQueueCheck, InTheServiceAJobIsStuckOnlyOnceItShowsNoProgress) {
    const struct {
        std::int64_t submittedSecondsAgo;
        DWORD status, printsUntil; // the minute its pages printed stop growing
        int inService, inStatus;   // the first stuck minute; -1: never
    } cases[] = {
        {1200, JOB_STATUS_PRINTING, 12, -1, 0},
        {1200, JOB_STATUS_SPOOLING, 3, 9, 0},
        {0, JOB_STATUS_PRINTING, 0, 6, 6},
    };
    for (const auto& c : cases) {
        for (int service : {1, 0}) {
            SCOPED_TRACE(testing::Message() << c.printsUntil << " service " << service);
            Fresh();
            sim::SetRecording(false);
            sim::AddPrinter(L"Office");
            g_WatchJobProgress = service;
            Job(L"Office", 7, c.submittedSecondsAgo, c.status);
            int stuckAt = -1; // checked once a minute
            for (DWORD minute = 0; minute <= 12 && stuckAt < 0; ++minute) {
                sim::FindPrinter(L"Office")->jobs[0].pagesPrinted = std::min(minute, c.printsUntil);
                stuckAt = CheckPrintQueues() ? -1 : static_cast<int>(minute);
                sim::AdvanceMs(60000);
            }
            EXPECT_EQ(service ? c.inService : c.inStatus, stuckAt);
            EXPECT_TRUE(Issue().empty() || Issue() == kStuckOffice);
            ExpectNothingLeftOpen();
        }
    }
}

// Jobs beyond a full memory are never stuck, until jobs gone make room.
TEST_F(PrintQueueCheck, JobMemoryIsBoundedAndForgetsJobsThatAreGone) {
    sim::SetRecording(false);
    sim::AddPrinter(L"Office");
    g_WatchJobProgress = 1;
    for (DWORD id = 1; id <= kWatchedJobsCapacity + 1; ++id) {
        Job(L"Office", id, 3600);
    }
    std::vector<sim::Job>& jobs = sim::FindPrinter(L"Office")->jobs;
    EXPECT_TRUE(CheckPrintQueues());
    EXPECT_EQ(kWatchedJobsCapacity, WatchedJobs());
    sim::AdvanceMs(6 * 60000);
    for (std::size_t i = 0; i < kWatchedJobsCapacity; ++i) {
        jobs[i].pagesPrinted = 1;
    }
    EXPECT_TRUE(CheckPrintQueues()) << "the last has not moved, but is not watched";
    // The look that finds the others gone makes room; the next watches the last.
    jobs.erase(jobs.begin(), jobs.end() - 1);
    EXPECT_TRUE(CheckPrintQueues());
    EXPECT_EQ(0u, WatchedJobs());
    EXPECT_TRUE(CheckPrintQueues());
    sim::AdvanceMs(5 * 60000 + 1);
    EXPECT_FALSE(CheckPrintQueues());
}

class SilentSpooler : public ServiceTest {};

// The repair ends the spooler, which releases the call; a stop does not wait for it.
TEST_F(SilentSpooler, TheServiceRepairsItAndAStopDoesNotWaitForTheWorker) {
    const std::wstring repair = L"Recovery started: Automatic recovery: Print Spooler not "
                                L"responding (no answer to a print queue request within 20000 ms)";
    sim::SetRecording(false);
    sim::AddPrinter(L"Office");
    sim::Spooler().stopPendingMs = sim::kNever; // a deadlocked spooler only ends
    WriteIni(L"Schedule/EnableScheduledRestart=0\nHealthCheck/QueueCheckTimeoutMs=20000\n"
             L"Recovery/StopTimeoutMs=5000");
    sim::After(5 * kSecond, [] { sim::HangSpooler(); });
    sim::After(105 * kSecond, [] { sim::HangSpooler(); });
    EXPECT_EQ(0, RunServiceFor(2 * kMinute));
    const std::vector<std::wstring> expected = {L"I:Nimbrel service started.", L"W:" + repair,
                                                L"I:Print Spooler recovery completed successfully.",
                                                L"I:Nimbrel service stopped."};
    EXPECT_EQ(expected, Logged());
    // The second cycle's deadline ends at 30 s, the pause before the repair at 33 s.
    EXPECT_EQ(33 * kSecond, SinceStart(EventsReading(repair).at(0)));
    EXPECT_EQ(2 * kMinute, SinceStart(EventsReading(L"Nimbrel service stopped.").at(0)));
    EXPECT_EQ(1u, sim::HeldSpoolerCalls());
    sim::ReleaseSpooler();
    sim::AdvanceMs(1);
    EXPECT_EQ(0u, sim::LiveThreads());
}

} // namespace
} // namespace nimbrel::test
