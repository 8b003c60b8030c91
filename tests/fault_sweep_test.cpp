// Each operation runs once per injectable call with that call failing: nothing left
// open, a benign failure costs only its call's result, any other ends as documented.

#include "app/dispatcher.h"
#include "app/install.h"
#include "app/status.h"
#include "recovery/recovery.h"
#include "recovery/restart_history.h"
#include "service/metrics.h"
#include "spooler/spooler_control.h"
#include "tests/support.h"

#include <functional>
#include <set>

namespace nimbrel::test {
namespace {

struct Sweep {
    std::string name;
    std::function<void()> arrange;      // the machine and the process before the run
    std::function<std::wstring()> run;  // runs the operation, describes its outcome
    std::wstring clean;                 // the outcome without a fault
    std::vector<std::wstring> failures; // the documented others; "{e}": the error
    std::vector<DWORD> errors = {0};    // 0: each call's realistic error
};

std::wstring Num(std::uint64_t value) {
    return std::to_wstring(value);
}

std::wstring Joined(const std::vector<std::wstring>& parts) {
    std::wstring text;
    for (const std::wstring& part : parts) {
        text += (text.empty() ? L"" : L"|") + part;
    }
    return text;
}

std::wstring WithError(std::wstring outcome, DWORD error) {
    const std::size_t at = outcome.find(L"{e}");
    return at == std::wstring::npos ? outcome : outcome.replace(at, 3, Num(error));
}

// Whether `outcome` is `clean` with at most one run of characters cut out.
bool CostNoMoreThanItsCall(const std::wstring& clean, const std::wstring& outcome) {
    std::size_t head = 0;
    while (head < outcome.size() && head < clean.size() && outcome[head] == clean[head]) {
        ++head;
    }
    return outcome.size() <= clean.size() && clean.compare(clean.size() - (outcome.size() - head),
                                                           std::wstring::npos, outcome, head) == 0;
}

// The injectable calls the run makes, in order.
std::vector<sim::Op> Arrange(const Sweep& sweep, bool learn = false) {
    sim::Reset();
    FreshProcess();
    sim::SetTimeLimitMs(24ull * 3600 * 1000); // a run that would never end aborts
    sweep.arrange();
    sim::ClearCalls();
    std::vector<sim::Op> calls;
    if (learn) {
        EXPECT_EQ(sweep.clean, sweep.run()) << "the run without a fault";
        for (const sim::Call& call : sim::Calls()) {
            if (sim::IsInjectable(call.op)) {
                calls.push_back(call.op);
            }
        }
    }
    return calls;
}

void RunSweep(const Sweep& sweep) {
    const std::vector<sim::Op> calls = Arrange(sweep, true);
    ExpectNothingLeftOpen();
    std::vector<bool> seen(sweep.failures.size(), false);
    for (DWORD error : sweep.errors) {
        for (std::size_t k = 1; k <= calls.size(); ++k) {
            const DWORD failure = error != 0 ? error : sim::RealisticError(calls[k - 1]);
            SCOPED_TRACE(testing::Message() << "call " << k << ": " << sim::OpName(calls[k - 1])
                                            << " failing with " << failure);
            Arrange(sweep);
            sim::SetRecording(false);
            sim::FailNthCall(static_cast<unsigned>(k), error);
            const std::wstring outcome = sweep.run();
            ASSERT_TRUE(sim::FaultsFired() == 1 && sim::LastFaultOp() == calls[k - 1])
                << "the run took another path before the fault";
            bool known = outcome == sweep.clean;
            for (std::size_t i = 0; i < sweep.failures.size(); ++i) {
                if (outcome == WithError(sweep.failures[i], failure)) {
                    seen[i] = known = true;
                }
            }
            if (sim::LastFaultBenign()) {
                EXPECT_TRUE(CostNoMoreThanItsCall(sweep.clean, outcome))
                    << "a benign failure cost more than its call: " << Narrow(outcome);
            } else {
                EXPECT_TRUE(known) << "an outcome no one documented: " << Narrow(outcome);
            }
            ExpectNothingLeftOpen();
        }
    }
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_TRUE(seen[i]) << "no failure led to: " << Narrow(sweep.failures[i]);
    }
}

// Redirected output first: in one run, only what follows it goes to a console.
std::wstring Output() {
    const std::string bytes = sim::StdoutBytes();
    return L"'" + std::wstring(bytes.begin(), bytes.end()) + sim::ConsoleText() + L"'";
}

constexpr wchar_t kPluginCommand[] = L"cmd.exe /c \"\"C:\\Plugins\\check.cmd\"\"";
constexpr wchar_t kUnableToQuery[] = L"Unable to query Print Spooler service state";
constexpr wchar_t kStuck[] = L"Stuck print job on 'A' (job 3, document: letter.doc)";
constexpr wchar_t kNotFound[] = L"Plugin health check file not found";
constexpr wchar_t kNotLaunched[] = L"Failed to launch plugin health check";
constexpr wchar_t kTimedOut[] = L"Plugin health check timed out";

// The verdict, the issue, and how many plugins are left running.
std::wstring Check(int verdict, const std::wstring& issue) {
    return Num(verdict ? 1 : 0) + L" '" + issue + L"' " +
           Num(sim::RunningProcesses(kPluginCommand));
}

// Printer A with a fresh job, and a batch plugin that ends after `runMs`.
void PrinterAndPlugin(std::uint64_t runMs) {
    sim::AddPrinter(L"A");
    sim::AddJob(L"A", 3, L"letter.doc", JOB_STATUS_PRINTING, sim::UtcSystemTime(10));
    g_Settings.EnablePluginCheck = 1;
    CopyText(g_Settings.PluginPath, kPluginPathCapacity, L"C:\\Plugins\\check.cmd");
    sim::AddFile(L"C:\\Plugins\\check.cmd");
    sim::AddProgram(kPluginCommand, {0, runMs});
}

constexpr wchar_t kCompleted[] = L"I:Print Spooler recovery completed successfully.";
constexpr wchar_t kFaxLeft[] =
    L"W:Print Spooler recovered, but the dependent service 'Fax' could not be restarted.";

// The result, the event between the first and the last, files left and Fax's state.
std::wstring Recovered(int result, const std::wstring& event, unsigned kept, DWORD fax = 4) {
    return Num(result) + L" W:Recovery started: test" + (event.empty() ? L"" : L"|" + event) +
           (result ? L"|" + std::wstring(kCompleted) : L"") + L", " + Num(kept) +
           L" kept, 1 recorded, Fax " + Num(fax);
}

std::wstring Installed(int uninstalled, const std::wstring& rest) {
    return L"0 described restarts on-errors " + Num(uninstalled) +
           L" 'Service installed successfully.\n" + rest;
}

constexpr wchar_t kServiceStarted[] = L"I:Nimbrel service started.";
constexpr wchar_t kServiceStopped[] = L"I:Nimbrel service stopped.";

const std::vector<Sweep>& AllSweeps() {
    static const std::vector<Sweep> sweeps = {
        // A spooler stopping after 1.2 s: a failed poll ends the wait, unretried.
        {"WaitForSpoolerState",
         [] {
             sim::SetServiceState(L"Spooler", SERVICE_STOP_PENDING);
             sim::After(1200, [] { sim::SetServiceState(L"Spooler", SERVICE_STOPPED); });
         },
         [] {
             const int result = WaitForSpoolerState(SERVICE_STOPPED, 5000);
             return Num(result) + L" after " + Num(sim::ElapsedMs());
         },
         L"1 after 1500",
         {L"0 after 0", L"0 after 500", L"0 after 1000", L"0 after 1500"}},
        // A spooler that ignores the stop, a second "SPOOLSV.EXE" and one that must live.
        {"StopSpooler_StopIgnored",
         [] {
             g_Settings.StopTimeoutMs = 1000;
             sim::Spooler().stopPendingMs = sim::kNever;
             sim::AddProcess(L"notepad.exe");
             sim::FindProcess(sim::AddProcess(L"SPOOLSV.EXE"))->needsDebugPrivilege = true;
             sim::FindProcess(sim::Spooler().pid)->needsDebugPrivilege = true;
             sim::SetDebugPrivilege(true, false);
         },
         [] {
             DependentServices stopped;
             std::wstring outcome = Num(StopSpooler(&stopped));
             outcome += L", state " + Num(sim::Spooler().state) + L", killed";
             for (const sim::Process& process : sim::Processes()) {
                 outcome += L" " + Num(process.terminations);
             }
             return outcome;
         },
         L"1, state 1, killed 1 0 1",
         {L"0, state 4, killed 0 0 0", L"0, state 3, killed 0 0 0", L"0, state 3, killed 0 0 1",
          L"1, state 1, killed 1 0 0", L"0, state 1, killed 1 0 1"},
         {0, ERROR_SERVICE_NOT_ACTIVE, ERROR_SERVICE_CANNOT_ACCEPT_CTRL}},
        // The state query fails closed, the queue check open; a failed wait is a time-out.
        {"EvaluateHealth",
         [] { PrinterAndPlugin(300); },
         [] {
             const int verdict = EvaluateHealth();
             ReleaseQueueWorker(); // one whose wait failed
             return Check(verdict, g_LastIssue);
         },
         Check(1, L""),
         {Check(0, kUnableToQuery), Check(1, kUnableToQuery), Check(0, kStuck), Check(0, kNotFound),
          Check(0, kNotLaunched), Check(0, kTimedOut),
          Check(0, L"Plugin health check failed (exit code 1)")}},
        // A plugin that never ends is ended at its time-out, with what it started.
        {"CheckPlugin_Hangs",
         [] { PrinterAndPlugin(sim::kNever); },
         [] {
             const int verdict = CheckPlugin();
             return Check(verdict, g_LastIssue);
         },
         Check(0, kTimedOut),
         {Check(0, kNotFound), Check(0, kNotLaunched)}},
        // Counted whatever its outcome; Fax restarted whatever fails after its stop.
        {"RunRecovery",
         [] {
             g_Settings.StopTimeoutMs = 3000;
             g_Settings.StartTimeoutMs = 3000;
             sim::SetRegistryText(L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers",
                                  L"DefaultSpoolDirectory", L"%SystemDrive%\\Spool", REG_EXPAND_SZ);
             sim::Spooler().stopPendingMs = 700;
             sim::Spooler().startPendingMs = 700;
             sim::AddDependentService(L"Fax", L"Spooler");
             for (const wchar_t* file : {L"1.SHD", L"1.SPL", L"Sub\\2.SPL"}) {
                 sim::AddFile(L"C:\\Spool\\" + std::wstring(file));
             }
         },
         [] {
             const int result = RunRecovery(L"test", SpoolFiles::Clear, Counting::Counted);
             unsigned kept = 0;
             for (const wchar_t* file : {L"1.SHD", L"1.SPL", L"Sub\\2.SPL"}) {
                 kept += sim::Exists(L"C:\\Spool\\" + std::wstring(file)) ? 1 : 0;
             }
             return Num(result) + L" " + Joined(Logged()) + L", " + Num(kept) + L" kept, " +
                    Num(g_RestartHistory.count) + L" recorded, Fax " +
                    Num(sim::FindService(L"Fax")->state);
         },
         Recovered(1, L"", 1),
         {Recovered(0, L"E:Failed to stop Print Spooler during recovery.", 3), Recovered(1, L"", 2),
          Recovered(1, L"", 3),
          Recovered(1, L"W:Some spool files could not be deleted during recovery.", 2),
          Recovered(0, L"E:Failed to start Print Spooler during recovery.", 1, 1),
          Recovered(1, kFaxLeft, 1), Recovered(1, kFaxLeft, 1, 1)}},
        // "install", then "uninstall" on a console: failures reported, exit code 0.
        {"Install_Uninstall",
         [] {},
         [] {
             std::wstring outcome = Num(RunInstallCommand());
             const sim::Service* service = sim::FindService(L"Nimbrel");
             if (service != nullptr) {
                 outcome += std::wstring(service->description.empty() ? L"" : L" described") +
                            (service->failureActions.empty() ? L"" : L" restarts") +
                            (service->failureActionsOnNonCrash ? L" on-errors" : L"");
             }
             sim::SetConsoleAttached(true);
             outcome += L" " + Num(RunUninstallCommand());
             return outcome + L" " + Output() + (sim::FindService(L"Nimbrel") ? L" kept" : L"");
         },
         Installed(0, L"Service uninstalled successfully.\n'"),
         {L"1 0 'OpenSCManager failed: {e}\nOpenService failed: 1060\n'",
          L"1 0 'GetModuleFileName failed: {e}\nOpenService failed: 1060\n'",
          L"1 0 'CreateService failed: {e}\nOpenService failed: 1060\n'",
          Installed(1, L"OpenSCManager failed: {e}\n' kept"),
          Installed(0, L"OpenService failed: {e}\n' kept"),
          Installed(0, L"DeleteService failed: {e}\n' kept")},
         {0, ERROR_SERVICE_EXISTS}},
        // Started at 01:00 (before the daily restart), stopped 5 s later.
        {"ServiceMain",
         [] {
             WriteIni(L"Monitor/CheckIntervalMs=10000"); // as its default
             sim::SetStartedByServiceManager(true);
             sim::SetUtc(2026, 12, 7, 1, 0, 0);
             sim::After(5000, [] { sim::SendControl(SERVICE_CONTROL_STOP); });
         },
         [] {
             std::wstring outcome = Num(RunServiceMode()) + L" ";
             outcome += Output() + L", reports";
             for (const SERVICE_STATUS& report : sim::StatusReports()) {
                 outcome += L" " + Num(report.dwCurrentState) +
                            (report.dwWin32ExitCode ? L"/" + Num(report.dwWin32ExitCode) : L"");
             }
             return outcome + L", " + Joined(Logged());
         },
         L"0 '', reports 2 4 3 1, " + Joined({kServiceStarted, kServiceStopped}),
         {L"1 'StartServiceCtrlDispatcher failed: {e}\n', reports, ", L"0 '', reports, ",
          L"0 '', reports 2 1/{e}, ",
          L"0 '', reports 2 4 1/{e}, " + Joined({kServiceStarted, kServiceStopped}),
          L"0 '', reports 2 4 3 1, " +
              Joined({kServiceStarted,
                      L"W:Recovery started: Automatic recovery: " + std::wstring(kUnableToQuery),
                      kCompleted, kServiceStopped})}},
        // An unread spooler state is written as 0; a file not written is logged.
        {"WriteMetrics",
         [] {
             sim::AddFolder(L"C:\\Metrics");
             CopyText(g_Settings.MetricsFile, kMetricsFileCapacity, L"C:\\Metrics\\nimbrel.prom");
         },
         [] {
             WriteMetrics(15);
             const std::string text = sim::FileBytes(L"C:\\Metrics\\nimbrel.prom");
             const std::size_t at = text.find("\nnimbrel_spooler_state ");
             return (at == std::string::npos ? L"-" : Num(text[at + 23] - '0')) + L", " +
                    Num(sim::Listing(L"C:\\Metrics").size()) + L" files, " + Joined(Logged());
         },
         L"4, 1 files, ",
         {L"0, 1 files, ",
          L"-, 0 files, W:Unable to write the metrics file C:\\Metrics\\nimbrel.prom: error {e}."}},
    };
    return sweeps;
}

class FaultSweep : public testing::TestWithParam<std::size_t> {};

TEST_P(FaultSweep, EveryCallFailingInTurn) {
    RunSweep(AllSweeps()[GetParam()]);
}

INSTANTIATE_TEST_SUITE_P(Operations, FaultSweep, testing::Range<std::size_t>(0, AllSweeps().size()),
                         [](const testing::TestParamInfo<std::size_t>& info) {
                             return AllSweeps()[info.param].name;
                         });

// A call added to the seam is failed by some sweep, or this names it.
TEST(FaultSweepCoverage, EveryInjectableOperationIsFailedBySomeSweep) {
    std::set<sim::Op> reached;
    for (const Sweep& sweep : AllSweeps()) {
        for (sim::Op op : Arrange(sweep, true)) {
            reached.insert(op);
        }
    }
    sim::Reset();
    for (int i = 0; i < static_cast<int>(sim::Op::Count); ++i) {
        const sim::Op op = static_cast<sim::Op>(i);
        EXPECT_TRUE(!sim::IsInjectable(op) || reached.count(op) == 1)
            << sim::OpName(op) << " is failed by no sweep";
    }
}

} // namespace
} // namespace nimbrel::test
