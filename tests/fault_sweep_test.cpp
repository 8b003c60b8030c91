// Systematic fault injection. Every operation that calls the platform is run
// once to learn which injectable calls it makes, then once more for each of
// those calls with that one call failing. Each run is checked against the
// outcome that a small table gives for the call that failed (which operation,
// which of its calls, which error), and against what every run must leave
// behind: no open handle, no heap block, no misuse of the platform, and a
// LastIssue terminated within its 256 characters.

#include "app/install.h"
#include "app/status.h"
#include "platform/registry.h"
#include "recovery/recovery.h"
#include "recovery/restart_history.h"
#include "service/monitor.h"
#include "service/service_host.h"
#include "spooler/spool_directory.h"
#include "spooler/spooler_control.h"
#include "tests/support.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <set>

namespace nimbrel::test {
namespace {

using sim::Op;

// ---- The sweep -----------------------------------------------------------------------

// Which call failed in one run of a sweep.
struct Fault {
    Op op;
    unsigned occurrence;   // 1 for the first call of `op` in the run, 2 for the second...
    DWORD error;           // the error it failed with (never 0)
    std::size_t index;     // its place among the run's injectable calls, from 0
    std::vector<Op> calls; // the injectable calls of the run without a fault

    bool Is(Op other) const { return op == other; }
    bool IsAnyOf(std::initializer_list<Op> ops) const {
        return std::find(ops.begin(), ops.end(), op) != ops.end();
    }
    // Whether the failed call came before the first call of `landmark` in
    // the run without a fault (also when that run never makes that call).
    bool Before(Op landmark) const {
        return index < static_cast<std::size_t>(std::find(calls.begin(), calls.end(), landmark) -
                                                calls.begin());
    }
    // Whether the failed call belongs to the last poll of a wait that ends
    // before `landmark` (Op::Count: the end of the run): the poll whose
    // query would have seen the state waited for.
    bool InLastPollBefore(Op landmark) const {
        auto first = std::find(calls.begin(), calls.end(), landmark);
        return std::count(calls.begin() + static_cast<std::ptrdiff_t>(index), first,
                          Op::QueryServiceStatusEx) == 1;
    }
    bool IsServiceQuery() const {
        return IsAnyOf({Op::OpenSCManagerW, Op::OpenServiceW, Op::QueryServiceStatusEx});
    }
    bool IsConsoleOutput() const {
        return IsAnyOf({Op::GetStdHandle, Op::WriteFile, Op::WriteConsoleW});
    }
};

struct Sweep {
    std::string name;                  // a test name: letters, digits and '_'
    std::function<void()> arrange;     // the machine and the process before the run
    std::function<std::wstring()> run; // runs the operation, describes its outcome
    // The outcome the tables give; a null fault stands for the run without one.
    std::function<std::wstring(const Fault*)> expected;
    std::vector<DWORD> errors = {0}; // the errors of the passes; 0 is the op's realistic error
};

std::wstring Num(std::uint64_t value) {
    return std::to_wstring(value);
}

// One row of an outcome table: the operation that failed, which of its calls
// (0: any), and the outcome, where "{e}" stands for the error number.
struct Row {
    Op op;
    unsigned occurrence;
    std::wstring outcome;
};

// The outcome of the first row that matches the fault; `clean` without a
// fault, `otherwise` when no row matches.
std::wstring Lookup(const Fault* f, const std::wstring& clean, const std::vector<Row>& rows,
                    const std::wstring& otherwise) {
    if (f == nullptr) {
        return clean;
    }
    std::wstring outcome = otherwise;
    for (const Row& row : rows) {
        if (row.op == f->op && (row.occurrence == 0 || row.occurrence == f->occurrence)) {
            outcome = row.outcome;
            break;
        }
    }
    for (std::size_t at; (at = outcome.find(L"{e}")) != std::wstring::npos;) {
        outcome.replace(at, 3, Num(f->error));
    }
    return outcome;
}

void Arrange(const Sweep& sweep) {
    sim::Reset();
    FreshProcess();
    sim::SetTimeLimitMs(24ull * 3600 * 1000); // a run that would never end aborts
    sweep.arrange();
    sim::ClearCalls(); // what the arrangement did is no part of the run
}

std::vector<Op> InjectableCalls() {
    std::vector<Op> ops;
    for (const sim::Call& call : sim::Calls()) {
        if (sim::IsInjectable(call.op)) {
            ops.push_back(call.op);
        }
    }
    return ops;
}

// What every run must leave behind, whatever failed.
void ExpectCleanEnd() {
    ExpectNothingLeftOpen();
    EXPECT_NE(LastIssue + kLastIssueCapacity,
              std::find(LastIssue, LastIssue + kLastIssueCapacity, 0))
        << "LastIssue is not terminated";
}

// Returns the number of faults injected.
std::size_t RunSweep(const Sweep& sweep, std::size_t& callCount) {
    Arrange(sweep);
    const unsigned before = sim::InjectableCalls();
    const std::wstring clean = sweep.run();
    const std::vector<Op> calls = InjectableCalls();
    EXPECT_EQ(calls.size(), sim::InjectableCalls() - before);
    EXPECT_EQ(sweep.expected(nullptr), clean) << "the run without a fault";
    ExpectCleanEnd();
    callCount = calls.size();

    std::size_t faults = 0;
    for (DWORD error : sweep.errors) {
        std::vector<unsigned> seen(static_cast<std::size_t>(Op::Count), 0);
        for (std::size_t k = 1; k <= calls.size(); ++k) {
            const Op op = calls[k - 1];
            Fault fault{op, ++seen[static_cast<std::size_t>(op)],
                        error != 0 ? error : sim::RealisticError(op), k - 1, calls};
            SCOPED_TRACE(testing::Message()
                         << "call " << k << " of " << calls.size() << ": " << sim::OpName(op)
                         << " #" << fault.occurrence << " failing with " << fault.error);
            Arrange(sweep);
            sim::SetRecording(false);
            sim::FailNthCall(static_cast<unsigned>(k), error);
            const std::wstring outcome = sweep.run();
            EXPECT_EQ(1u, sim::FaultsFired());
            EXPECT_TRUE(sim::LastFaultOp() == op) << "the run took another path before the fault";
            EXPECT_EQ(sweep.expected(&fault), outcome);
            ExpectCleanEnd();
            ++faults;
        }
    }
    return faults;
}

// ---- Outcome descriptions -----------------------------------------------------------

std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

std::wstring StateName(DWORD state) {
    static const wchar_t* const kNames[] = {L"none",          L"stopped", L"start-pending",
                                            L"stop-pending",  L"running", L"continue-pending",
                                            L"pause-pending", L"paused"};
    return state < 8 ? kNames[state] : L"state " + Num(state);
}

// The parts with the separator between them.
std::wstring Joined(const std::vector<std::wstring>& parts, const wchar_t* separator = L"|") {
    std::wstring text;
    for (const std::wstring& part : parts) {
        text += (text.empty() ? L"" : separator) + part;
    }
    return text;
}

std::wstring Result(int result) {
    return L"result " + Num(result);
}

// ---- Settings --------------------------------------------------------------------------

// A file that sets every key to a value other than its default.
constexpr wchar_t kFullIni[] = L"[Monitor]\n"
                               L"CheckIntervalMs=5000\nHangTimeoutMs=60000\nMaxRestartsPerHour=5\n"
                               L"ClearSpoolOnRecovery=0\nSpoolDirectory=D:\\Spool\n"
                               L"[Recovery]\n"
                               L"StopTimeoutMs=1000\nStartTimeoutMs=2000\nRestartDelayMs=0\n"
                               L"[HealthCheck]\n"
                               L"EnableQueueCheck=0\nStuckJobTimeoutMs=20000\nMaxQueueJobs=7\n"
                               L"QueueCheckTimeoutMs=9000\n"
                               L"EnablePluginCheck=1\nPluginIntervalMs=6000\nPluginTimeoutMs=3000\n"
                               L"PrinterName=Office\nPluginPath=C:\\p.exe\n"
                               L"[Schedule]\n"
                               L"EnableScheduledRestart=0\nClearSpoolOnScheduledRestart=1\n"
                               L"RestartTime=03:30\nRestartDays=Mon,Fri\n";

// Every field, in the order the keys are read: the sixteen numbers, then
// the five texts.
std::vector<std::wstring> Fields(const SettingsRecord& s) {
    std::vector<std::wstring> fields;
    for (DWORD value :
         {s.CheckIntervalMs, s.HangTimeoutMs, s.MaxRestartsPerHour, s.ClearSpoolOnRecovery,
          s.StopTimeoutMs, s.StartTimeoutMs, s.RestartDelayMs, s.EnableQueueCheck,
          s.StuckJobTimeoutMs, s.MaxQueueJobs, s.QueueCheckTimeoutMs, s.EnablePluginCheck,
          s.PluginIntervalMs, s.PluginTimeoutMs, s.EnableScheduledRestart,
          s.ClearSpoolOnScheduledRestart}) {
        fields.push_back(Num(value));
    }
    for (const WCHAR* text :
         {s.SpoolDirectory, s.PrinterName, s.PluginPath, s.RestartTime, s.RestartDays}) {
        fields.push_back(text);
    }
    return fields;
}

// Settings labelled as read from the file.
std::wstring FromFile() {
    unsigned count = 0;
    for (std::size_t i = 0; i < SettingCount(); ++i) {
        count += DescribeSetting(i).source == SettingSource::File ? 1 : 0;
    }
    return L" | " + Num(count) + L" from the file";
}

// A read that fails gives that key its default; without the executable's
// path no key is read at all. A section's list of key names that cannot be
// read costs its settings only their "file" label.
Sweep LoadSettingsSweep() {
    return {"LoadSettings", [] { sim::SetFileText(kIniPath, kFullIni); },
            [] {
                LoadSettings();
                return Joined(Fields(Settings), L";") + FromFile();
            },
            [](const Fault* f) {
                std::vector<std::wstring> expected = {
                    L"5000", L"60000", L"5",         L"0",      L"1000",      L"2000",  L"0",
                    L"0",    L"20000", L"7",         L"9000",   L"1",         L"6000",  L"3000",
                    L"0",    L"1",     L"D:\\Spool", L"Office", L"C:\\p.exe", L"03:30", L"Mon,Fri"};
                const std::vector<std::wstring> defaults = Fields(kDefaultSettings);
                const unsigned keysBySection[] = {5, 3, 9, 4}; // in the order the lists are read
                unsigned fromFile = 21;
                if (f != nullptr && f->Is(Op::GetModuleFileNameW)) {
                    expected = defaults;
                    fromFile = 0;
                } else if (f != nullptr && f->Is(Op::GetPrivateProfileIntW)) {
                    expected[f->occurrence - 1] = defaults[f->occurrence - 1];
                } else if (f != nullptr && f->Is(Op::GetPrivateProfileStringW) &&
                           f->occurrence <= 5) {
                    // A failed read gives the default text, which cannot be
                    // told from the file's own.
                    expected[15 + f->occurrence] = defaults[15 + f->occurrence];
                    fromFile = defaults[15 + f->occurrence].empty() ? 20 : 21;
                } else if (f != nullptr && f->Is(Op::GetPrivateProfileStringW)) {
                    fromFile -= keysBySection[f->occurrence - 6];
                }
                return Joined(expected, L";") + L" | " + Num(fromFile) + L" from the file";
            }};
}

// ---- Registry -------------------------------------------------------------------------

// A text, a number and the text's expansion: a read whose call fails gives
// nothing, never a part.
Sweep RegistryReadsSweep() {
    static constexpr wchar_t kKey[] = L"SOFTWARE\\Policies\\Nimbrel\\Monitor";
    return {
        "RegistryReads",
        [] {
            sim::SetRegistryText(kKey, L"SpoolDirectory", L"%SystemDrive%\\Spool");
            sim::SetRegistryNumber(kKey, L"CheckIntervalMs", 5000);
        },
        [] {
            WCHAR text[64];
            WCHAR expanded[64];
            DWORD number = 0;
            const int read = ReadRegistryText(kKey, L"SpoolDirectory", text, 64, nullptr) +
                             ReadRegistryNumber(kKey, L"CheckIntervalMs", &number) +
                             ExpandEnvironmentText(text, expanded, 64);
            return Num(read) + L" read: '" + text + L"', " + Num(number) + L", '" + expanded + L"'";
        },
        [](const Fault* f) {
            // The text's key or value, the number's, or the expansion.
            const bool expansion = f != nullptr && f->Is(Op::ExpandEnvironmentStringsW);
            const bool noText = f != nullptr && !expansion && f->occurrence == 1;
            const bool noNumber = f != nullptr && f->occurrence == 2;
            return Num(expansion || noText || noNumber ? 2 : 3) + L" read: '" +
                   (noText ? L"" : L"%SystemDrive%\\Spool") + L"', " + (noNumber ? L"0" : L"5000") +
                   L", '" + (noText || expansion ? L"" : L"C:\\Spool") + L"'";
        }};
}

// ---- Spooler control ------------------------------------------------------------------

// How many "spoolsv.exe" processes (any letter case) were terminated.
unsigned SpoolerProcessesKilled() {
    unsigned killed = 0;
    for (const sim::Process& process : sim::Processes()) {
        killed +=
            EqualsIgnoreAsciiCase(process.image.c_str(), L"spoolsv.exe") ? process.terminations : 0;
    }
    return killed;
}

std::wstring StopOutcome(int result, DWORD state, unsigned killed) {
    return Result(result) + L", " + StateName(state) + L", " + Num(killed) +
           L" spoolsv.exe terminated";
}

std::wstring StopObserved() {
    const int result = StopSpooler();
    return StopOutcome(result, sim::Spooler().state, SpoolerProcessesKilled());
}

// The start type: any failure gives 0 and leaves it as it was.
Sweep QuerySpoolerStartTypeSweep() {
    return {"QuerySpoolerStartType", [] { sim::Spooler().startType = SERVICE_DISABLED; },
            [] {
                DWORD startType = 9;
                const int result = QuerySpoolerStartType(&startType);
                return Result(result) + L", " + StartTypeName(startType);
            },
            [](const Fault* f) {
                return std::wstring(f ? L"result 0, Unknown" : L"result 1, Disabled");
            }};
}

// The spooler's folder moved to E:\Spool: a read that fails leaves the
// system's folder, except a folder that cannot be looked at but is not known
// to be missing.
Sweep SpoolDirectoryInEffectSweep() {
    return {
        "SpoolDirectoryInEffect",
        [] {
            sim::SetRegistryText(L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers",
                                 L"DefaultSpoolDirectory", L"E:\\Spool\\", REG_EXPAND_SZ);
            sim::AddFolder(L"E:\\Spool");
        },
        [] {
            WCHAR folder[MAX_PATH];
            const int result = GetSpoolDirectoryInEffect(folder, MAX_PATH);
            return Result(result) + L", " + folder;
        },
        [](const Fault* f) {
            const bool kept =
                f == nullptr || (f->Is(Op::GetFileAttributesW) && f->error != ERROR_FILE_NOT_FOUND);
            return L"result 1, " +
                   std::wstring(kept ? L"E:\\Spool" : L"C:\\Windows\\system32\\spool\\PRINTERS");
        },
        {0, ERROR_FILE_NOT_FOUND}};
}

// One query: any failure gives 0, with both outputs 0.
Sweep QuerySpoolerStatusSweep() {
    return {"QuerySpoolerStatus", [] {},
            [] {
                DWORD state = 9;
                DWORD pid = 9;
                const int result = QuerySpoolerStatus(&state, &pid);
                return Result(result) + L", " + StateName(state) + L", pid " + Num(pid);
            },
            [](const Fault* f) {
                return std::wstring(f ? L"result 0, none, pid 0" : L"result 1, running, pid 1000");
            }};
}

// A spooler stopping by itself after 1.2 s: a failed poll ends the wait at
// once, with 0 and the time of that poll; nothing is retried.
Sweep WaitForSpoolerStateSweep() {
    return {"WaitForSpoolerState",
            [] {
                sim::SetServiceState(L"Spooler", SERVICE_STOP_PENDING);
                sim::After(1200, [] { sim::SetServiceState(L"Spooler", SERVICE_STOPPED); });
            },
            [] {
                const int result = WaitForSpoolerState(SERVICE_STOPPED, 5000);
                return Result(result) + L" after " + Num(sim::ElapsedMs()) + L" ms";
            },
            [](const Fault* f) {
                if (f == nullptr) {
                    return std::wstring(L"result 1 after 1500 ms");
                }
                const auto polls = std::count(
                    f->calls.begin(), f->calls.begin() + static_cast<std::ptrdiff_t>(f->index),
                    Op::QueryServiceStatusEx);
                return L"result 0 after " + Num(500 * static_cast<std::uint64_t>(polls)) + L" ms";
            }};
}

// A stopped spooler that runs 0.7 s after its start: a start refused (with
// 5, or with 1056 though nothing runs) or not asked for gives 0; a failed
// poll gives 0 while the start goes on.
Sweep StartSpoolerSweep() {
    return {"StartSpooler",
            [] {
                Settings.StartTimeoutMs = 3000;
                sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
                sim::Spooler().startPendingMs = 700;
            },
            [] {
                const int result = StartSpooler();
                return Result(result) + L", " + Num(sim::Spooler().startRequests) +
                       L" start accepted";
            },
            [](const Fault* f) {
                if (f == nullptr) {
                    return std::wstring(L"result 1, 1 start accepted");
                }
                const bool started = !f->Before(Op::StartServiceW) && !f->Is(Op::StartServiceW);
                return std::wstring(started ? L"result 0, 1 start accepted"
                                            : L"result 0, 0 start accepted");
            },
            {0, ERROR_SERVICE_ALREADY_RUNNING}};
}

// A spooler that ignores the stop request, with a second "SPOOLSV.EXE" and
// an unrelated process behind it in the process list. A refusal of the stop
// request with 1062 or 1061 leaves it to be waited for and, failing that,
// terminated; with 5 the stop fails at once.
Sweep StopSpoolerIgnoredSweep() {
    return {"StopSpooler_StopIgnored",
            [] {
                Settings.StopTimeoutMs = 1000;
                sim::Spooler().stopPendingMs = sim::kNever;
                sim::AddProcess(L"notepad.exe");
                sim::AddProcess(L"SPOOLSV.EXE");
            },
            StopObserved,
            [](const Fault* f) {
                const std::wstring both = StopOutcome(1, SERVICE_STOPPED, 2);
                if (f != nullptr &&
                    (f->Before(Op::ControlService) ||
                     (f->Is(Op::ControlService) && f->error == ERROR_ACCESS_DENIED))) {
                    return StopOutcome(0, SERVICE_RUNNING, 0);
                }
                if (f == nullptr || f->Before(Op::CreateToolhelp32Snapshot)) {
                    return both; // a refusal that can be forced, or the first wait: forced at once
                }
                // The walk: the service's own process comes first, the
                // unrelated one second, the other spoolsv.exe last. When the
                // service's own process survives, it does not stop within 10 s.
                return Lookup(
                    f, both,
                    {{Op::CreateToolhelp32Snapshot, 0, StopOutcome(0, SERVICE_STOP_PENDING, 0)},
                     {Op::Process32FirstW, 0, StopOutcome(0, SERVICE_STOP_PENDING, 0)},
                     {Op::Process32NextW, 3, both},
                     {Op::Process32NextW, 0, StopOutcome(1, SERVICE_STOPPED, 1)},
                     {Op::OpenProcess, 1, StopOutcome(0, SERVICE_STOP_PENDING, 1)},
                     {Op::TerminateProcess, 1, StopOutcome(0, SERVICE_STOP_PENDING, 1)},
                     {Op::OpenProcess, 2, StopOutcome(1, SERVICE_STOPPED, 1)},
                     {Op::TerminateProcess, 2, StopOutcome(1, SERVICE_STOPPED, 1)}},
                    StopOutcome(0, SERVICE_STOPPED, 2)); // a query of the second wait
            },
            {0, ERROR_SERVICE_NOT_ACTIVE, ERROR_SERVICE_CANNOT_ACCEPT_CTRL}};
}

// ---- Health checks -------------------------------------------------------------------

std::wstring CheckOutcome(int result, const std::wstring& issue) {
    return Result(result) + L", issue '" + issue + L"'";
}

std::wstring CheckObserved(int result) {
    return CheckOutcome(result ? 1 : 0, LastIssue);
}

constexpr wchar_t kUnableToQuery[] = L"Unable to query Print Spooler service state";
constexpr wchar_t kPluginCommand[] = L"cmd.exe /c \"\"C:\\Plugins\\check.cmd\"\"";

constexpr wchar_t kStuckA[] = L"Stuck print job on 'A' (job 3, document: letter.doc)";
constexpr wchar_t kStuckB[] = L"Stuck print job on 'B' (job 7, document: report.pdf)";

// A start-pending spooler first seen: healthy, and watched from now. A failed
// query is unhealthy and leaves the watch as it was.
Sweep CheckServiceStateSweep() {
    return {"CheckServiceState", [] { sim::SetServiceState(L"Spooler", SERVICE_START_PENDING); },
            [] {
                const int result = CheckServiceState();
                return CheckObserved(result) + L", watching " + StateName(PendingWatch.state);
            },
            [](const Fault* f) {
                return f ? CheckOutcome(0, kUnableToQuery) + L", watching none"
                         : CheckOutcome(1, L"") + L", watching start-pending";
            }};
}

void PrinterWithJob(const wchar_t* printer, DWORD id, const wchar_t* document, std::int64_t age) {
    sim::AddPrinter(printer);
    sim::AddJob(printer, id, document, JOB_STATUS_PRINTING, sim::UtcSystemTime(age));
}

// Printer A holds a job printing for 10 s, printer B one printing for an
// hour. The check fails open: whatever keeps it from reading a queue is
// healthy; an unreadable submission time makes that job the oldest.
Sweep CheckPrintQueuesSweep() {
    return {"CheckPrintQueues",
            [] {
                PrinterWithJob(L"A", 3, L"letter.doc", 10);
                PrinterWithJob(L"B", 7, L"report.pdf", 3600);
            },
            [] {
                const int verdict = CheckPrintQueues();
                ReleaseQueueWorker();
                return CheckObserved(verdict);
            },
            [](const Fault* f) {
                const std::wstring healthy = CheckOutcome(1, L""),
                                   stuckB = CheckOutcome(0, kStuckB);
                // No worker, or no telling whether it answered: fails open.
                if (f != nullptr && (f->Is(Op::CreateThread) || f->Is(Op::WaitForSingleObject))) {
                    return healthy;
                }
                if (f != nullptr && f->Before(Op::EnumPrintersW)) { // the service-state gate
                    return CheckOutcome(1, kUnableToQuery);
                }
                // The printer list, then printer A (open, two enumerations,
                // its job block), else printer B.
                return Lookup(f, stuckB,
                              {{Op::EnumPrintersW, 0, healthy},
                               {Op::HeapAlloc, 1, healthy},
                               {Op::SystemTimeToFileTime, 1, CheckOutcome(0, kStuckA)},
                               {Op::SystemTimeToFileTime, 2, stuckB},
                               {Op::OpenPrinterW, 1, stuckB},
                               {Op::EnumJobsW, 1, stuckB},
                               {Op::EnumJobsW, 2, stuckB},
                               {Op::HeapAlloc, 2, stuckB}},
                              healthy);
            }};
}

constexpr wchar_t kNotFound[] = L"Plugin health check file not found";
constexpr wchar_t kLaunchFailed[] = L"Failed to launch plugin health check";
constexpr wchar_t kTimedOut[] = L"Plugin health check timed out";

// The verdict, the issue, whether a run was noted for the interval, and how
// many plugins are left running.
std::wstring PluginOutcome(const std::wstring& issue, bool ran = true, unsigned running = 0) {
    return CheckOutcome(0, issue) + (ran ? L", run noted, " : L", no run noted, ") + Num(running) +
           L" still running";
}

// A batch file, run through the system's cmd.exe, that ends with exit code
// 2 after 0.3 s, or never. A failed wait is a time-out too; an exit code
// that cannot be read counts as 1; a termination that fails leaves the
// plugin running, and its result is not looked at.
Sweep CheckPluginSweep(const char* name, std::uint64_t runMs) {
    return {name,
            [runMs] {
                Settings.EnablePluginCheck = 1;
                Settings.PluginTimeoutMs = 2000;
                CopyText(Settings.PluginPath, kPluginPathCapacity, L"C:\\Plugins\\check.cmd");
                sim::AddFile(L"C:\\Plugins\\check.cmd");
                sim::AddProgram(kPluginCommand, {2, runMs});
            },
            [] {
                int result = CheckPlugin();
                return CheckObserved(result) +
                       (LastPluginRunTick != 0 ? L", run noted, " : L", no run noted, ") +
                       Num(sim::RunningProcesses(kPluginCommand)) + L" still running";
            },
            [runMs](const Fault* f) {
                const std::wstring clean = PluginOutcome(
                    runMs == sim::kNever ? kTimedOut : L"Plugin health check failed (exit code 2)");
                return Lookup(f, clean,
                              {{Op::GetFileAttributesW, 0, PluginOutcome(kNotFound, false)},
                               {Op::GetSystemDirectoryW, 0, PluginOutcome(kLaunchFailed)},
                               {Op::CreateProcessW, 0, PluginOutcome(kLaunchFailed)},
                               {Op::WaitForSingleObject, 0, PluginOutcome(kTimedOut)},
                               {Op::GetExitCodeProcess, 0,
                                PluginOutcome(L"Plugin health check failed (exit code 1)")},
                               {Op::TerminateProcess, 0, PluginOutcome(kTimedOut, true, 1)}},
                              clean);
            }};
}

// The three checks in a row: a running spooler, printer A with a fresh job
// and a batch plugin that exits with 0. The verdict's own state query fails
// closed; the queue check's gate and its printer calls fail open (the gate's
// text stays behind the healthy verdict); an unreadable submission time makes
// the job stuck; the plugin's calls fail as that check's table says.
Sweep EvaluateHealthSweep() {
    return {"EvaluateHealth",
            [] {
                PrinterWithJob(L"A", 3, L"letter.doc", 10);
                Settings.EnablePluginCheck = 1;
                CopyText(Settings.PluginPath, kPluginPathCapacity, L"C:\\Plugins\\check.cmd");
                sim::AddFile(L"C:\\Plugins\\check.cmd");
                sim::AddProgram(kPluginCommand, {0, 300});
            },
            [] {
                const int verdict = EvaluateHealth();
                ReleaseQueueWorker();
                return CheckObserved(verdict);
            },
            [](const Fault* f) {
                if (f != nullptr && f->IsServiceQuery()) {
                    return CheckOutcome(f->occurrence == 1 ? 0 : 1, kUnableToQuery);
                }
                return Lookup(f, CheckOutcome(1, L""),
                              {{Op::SystemTimeToFileTime, 0, CheckOutcome(0, kStuckA)},
                               {Op::GetFileAttributesW, 0, CheckOutcome(0, kNotFound)},
                               {Op::GetSystemDirectoryW, 0, CheckOutcome(0, kLaunchFailed)},
                               {Op::CreateProcessW, 0, CheckOutcome(0, kLaunchFailed)},
                               // The queue check's wait fails open; the plugin's
                               // is a time-out.
                               {Op::WaitForSingleObject, 2, CheckOutcome(0, kTimedOut)},
                               {Op::GetExitCodeProcess, 0,
                                CheckOutcome(0, L"Plugin health check failed (exit code 1)")}},
                              CheckOutcome(1, L""));
            }};
}

// ---- Recovery ------------------------------------------------------------------------------

constexpr wchar_t kStarted[] = L"W:Recovery started: ";
constexpr wchar_t kStopFailed[] = L"E:Failed to stop Print Spooler during recovery.";
constexpr wchar_t kFilesLeft[] = L"W:Some spool files could not be deleted during recovery.";
constexpr wchar_t kStartFailed[] = L"E:Failed to start Print Spooler during recovery.";
constexpr wchar_t kCompleted[] = L"I:Print Spooler recovery completed successfully.";

// The spooler stops and starts in 0.7 s each; the spool folder holds two
// files and a sub-folder with a file, which stays whatever fails. What a
// recovery ends with, by the call that failed; only a completed one is
// recorded.
Sweep RunRecoverySweep() {
    return {"RunRecovery",
            [] {
                Settings.StopTimeoutMs = 3000;
                Settings.StartTimeoutMs = 3000;
                CopyText(Settings.SpoolDirectory, kSpoolDirectoryCapacity, L"C:\\Spool");
                sim::Spooler().stopPendingMs = 700;
                sim::Spooler().startPendingMs = 700;
                for (const wchar_t* file : {L"1.SHD", L"1.SPL", L"Sub\\2.SPL"}) {
                    sim::AddFile(L"C:\\Spool\\" + std::wstring(file));
                }
            },
            [] {
                int result = RunRecovery(L"test", 1, 1);
                const unsigned kept = (sim::Exists(L"C:\\Spool\\1.SHD") ? 1 : 0) +
                                      (sim::Exists(L"C:\\Spool\\1.SPL") ? 1 : 0);
                return Result(result) + L", events " + Joined(Logged()) + L", " + Num(kept) +
                       L" files kept" +
                       (sim::Exists(L"C:\\Spool\\Sub\\2.SPL") ? L"" : L", the sub-folder emptied") +
                       L", " + Num(RestartHistory.count) + L" recorded";
            },
            [](const Fault* f) {
                auto outcome = [](int result, const std::wstring& events, unsigned kept) {
                    return Result(result) + L", events " + events + L", " + Num(kept) +
                           L" files kept, " + Num(result) + L" recorded";
                };
                const std::wstring started = L"W:Recovery started: test";
                const std::wstring done = outcome(1, started + L"|" + kCompleted, 0);
                const std::wstring stopFailed = outcome(0, started + L"|" + kStopFailed, 2);
                if (f != nullptr && f->IsAnyOf({Op::RegisterEventSourceW, Op::ReportEventW})) {
                    return outcome(1, f->occurrence == 1 ? kCompleted : started, 0); // lost
                }
                if (f != nullptr && (f->Before(Op::ControlService) || f->Is(Op::ControlService))) {
                    return stopFailed;
                }
                if (f != nullptr && f->Before(Op::FindFirstFileW)) {
                    // A query of the stop's wait: the spooler is forced and the
                    // recovery goes on; by the last poll it has stopped on its
                    // own, and with no process left to terminate the stop
                    // counts as failed.
                    return f->InLastPollBefore(Op::FindFirstFileW) ? stopFailed : done;
                }
                // A folder that cannot be listed is passed over quietly; a
                // listing that ends early (".", "..", the two files, "Sub")
                // leaves the rest.
                const std::wstring completed = started + L"|" + kCompleted;
                return Lookup(
                    f, done,
                    {{Op::FindFirstFileW, 0, outcome(1, completed, 2)},
                     {Op::FindNextFileW, 1, outcome(1, completed, 2)},
                     {Op::FindNextFileW, 2, outcome(1, completed, 2)},
                     {Op::FindNextFileW, 3, outcome(1, completed, 1)},
                     {Op::FindNextFileW, 0, done},
                     {Op::DeleteFileW, 0,
                      outcome(1, started + L"|" + kFilesLeft + L"|" + kCompleted, 1)}},
                    outcome(0, started + L"|" + kStartFailed, 0)); // opening, starting, waiting
            }};
}

// ---- Console commands ------------------------------------------------------------------------

std::wstring CommandOutcome(int exitCode, const std::wstring& output) {
    return L"exit " + Num(exitCode) + L", output '" + output + L"'";
}

std::wstring CommandObserved(int exitCode) {
    return CommandOutcome(exitCode, Wide(sim::StdoutBytes()));
}

// The "recover" command over the recovery above, its settings from the file
// (a read that fails gives a default, which changes nothing here): its line
// and exit code follow the recovery's result; a lost line changes nothing
// else, and a console mode that cannot be read is a redirected output.
Sweep RecoverCommandSweep() {
    static const Sweep recovery = RunRecoverySweep();
    return {"RecoverCommand",
            [] {
                recovery.arrange();
                WriteIni(L"Recovery/StopTimeoutMs=3000\nRecovery/StartTimeoutMs=3000\n"
                         L"Monitor/SpoolDirectory=C:\\Spool");
            },
            [] { return CommandObserved(RunRecoverCommand()); },
            [](const Fault* f) {
                if (f != nullptr && f->IsConsoleOutput()) {
                    return CommandOutcome(0, L"");
                }
                // Before the recovery's first event: the settings, whose reads
                // fail to a default, and the start type, which unread is no
                // reason to refuse.
                const bool fails = f != nullptr && !f->Before(Op::RegisterEventSourceW) &&
                                   !f->Is(Op::GetConsoleMode) &&
                                   recovery.expected(f).rfind(L"result 0", 0) == 0;
                return fails ? CommandOutcome(1, L"Print Spooler recovery failed.\n")
                             : CommandOutcome(0, L"Print Spooler recovery completed.\n");
            }};
}

// The status report with its three verdicts and the issue (none when empty),
// without the piece whose output failed (from 1, one per ConsolePrint; 0
// for none).
std::wstring Report(bool state, bool queue, bool overall, const std::wstring& issue = L"",
                    unsigned missing = 0) {
    auto yesNo = [](bool b) { return std::wstring(b ? L"Yes" : L"No"); };
    std::vector<std::wstring> pieces = {L"Print Spooler service: Running",
                                        L" (PID 1000)",
                                        L"\n",
                                        L"Service state healthy: " + yesNo(state) + L"\n",
                                        L"Print queue healthy:   " + yesNo(queue) + L"\n",
                                        L"Overall healthy:       " + yesNo(overall) + L"\n"};
    if (!issue.empty()) {
        pieces.push_back(L"Last issue:            " + issue + L"\n");
    }
    pieces.push_back(L"Scheduled restart:     Every day at 02:00\n");
    pieces.push_back(L"Spool folder:          C:\\Windows\\system32\\spool\\PRINTERS\n");
    std::wstring text;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        text += i + 1 == missing ? L"" : pieces[i];
    }
    return CommandOutcome(0, text);
}

// Running spooler, no settings file, printer A with a fresh job. The report
// queries the service five times: its own line; the state line; the queue
// line's gate, which fails open and whose text the verdict empties; the
// verdict's state check; and its gate, whose text stays behind a healthy
// verdict. Settings reads fail to their defaults, which is what a missing
// file gives; a console mode that cannot be read is a redirected output.
Sweep StatusSweep() {
    return {"StatusCommand", [] { PrinterWithJob(L"A", 3, L"letter.doc", 10); },
            [] { return CommandObserved(RunStatusCommand()); },
            [](const Fault* f) {
                // The second connection reads the start type, which is only
                // shown when it is Disabled; the spool folder's reads fall
                // back to the same folder.
                const bool startType =
                    f != nullptr && f->IsAnyOf({Op::OpenSCManagerW, Op::OpenServiceW});
                if (startType && f->occurrence == 2) {
                    return Report(true, true, true);
                }
                if (f != nullptr && f->IsServiceQuery()) {
                    const unsigned query = f->occurrence - (startType && f->occurrence > 2 ? 1 : 0);
                    const std::wstring byQuery[] = {
                        CommandOutcome(1, L"Unable to query Print Spooler status.\n"),
                        Report(false, true, true), Report(true, true, true),
                        Report(true, true, false, kUnableToQuery),
                        Report(true, true, true, kUnableToQuery)};
                    return byQuery[query - 1];
                }
                if (f != nullptr && f->IsConsoleOutput()) {
                    return Report(true, true, true, L"", f->occurrence);
                }
                return Lookup(f, Report(true, true, true),
                              {{Op::SystemTimeToFileTime, 1, Report(true, false, true)},
                               {Op::SystemTimeToFileTime, 2, Report(true, true, false, kStuckA)}},
                              Report(true, true, true));
            }};
}

// The description and the service's own recovery settings are niceties; a
// console mode that cannot be read is a redirected output anyway; a lost line
// changes nothing else.
Sweep InstallSweep() {
    return {"InstallCommand",
            [] {},
            [] {
                int exitCode = RunInstallCommand();
                const sim::Service* service = sim::FindService(L"Nimbrel");
                if (service == nullptr) {
                    return CommandObserved(exitCode) + L", not installed";
                }
                return CommandObserved(exitCode) + L", installed" +
                       (service->description.empty() ? L"" : L", described") +
                       (service->failureActions.empty() ? L"" : L", restarts") +
                       (service->failureActionsOnNonCrash ? L", on errors" : L"");
            },
            [](const Fault* f) {
                const std::wstring done =
                    CommandOutcome(0, L"Service installed successfully.\n") + L", installed";
                const std::wstring all = done + L", described, restarts, on errors";
                return Lookup(
                    f, all,
                    {{Op::GetConsoleMode, 0, all},
                     {Op::OpenSCManagerW, 0,
                      CommandOutcome(1, L"OpenSCManager failed: {e}\n") + L", not installed"},
                     {Op::GetModuleFileNameW, 0,
                      CommandOutcome(1, L"GetModuleFileName failed: {e}\n") + L", not installed"},
                     {Op::CreateServiceW, 0,
                      CommandOutcome(1, L"CreateService failed: {e}\n") + L", not installed"},
                     {Op::ChangeServiceConfig2W, 1, done + L", restarts, on errors"},
                     {Op::ChangeServiceConfig2W, 2, done + L", described, on errors"},
                     {Op::ChangeServiceConfig2W, 3, done + L", described, restarts"}},
                    CommandOutcome(0, L"") + L", installed, described, restarts, on errors");
            },
            {0, ERROR_SERVICE_EXISTS}};
}

// On a console: the text goes through WriteConsoleW; a console whose mode
// cannot be read is written to as a redirected output. A service that cannot
// be opened or deleted is reported, and the exit code stays 0.
Sweep UninstallSweep() {
    return {"UninstallCommand",
            [] {
                sim::AddService(L"Nimbrel").image = L"Nimbrel.exe";
                sim::SetConsoleAttached(true);
            },
            [] {
                int exitCode = RunUninstallCommand();
                return L"exit " + Num(exitCode) + L", console '" + sim::ConsoleText() +
                       L"', redirected '" + Wide(sim::StdoutBytes()) + L"', " +
                       (sim::FindService(L"Nimbrel") ? L"installed" : L"removed");
            },
            [](const Fault* f) {
                const std::wstring done = L"Service uninstalled successfully.\n";
                return Lookup(
                    f, L"exit 0, console '" + done + L"', redirected '', removed",
                    {{Op::OpenSCManagerW, 0,
                      L"exit 1, console 'OpenSCManager failed: {e}\n', redirected '', installed"},
                     {Op::OpenServiceW, 0,
                      L"exit 0, console 'OpenService failed: {e}\n', redirected '', installed"},
                     {Op::DeleteService, 0,
                      L"exit 0, console 'DeleteService failed: {e}\n', redirected '', installed"},
                     {Op::GetConsoleMode, 0,
                      L"exit 0, console '', redirected '" + done + L"', removed"}},
                    L"exit 0, console '', redirected '', removed"); // the line is lost
            },
            {0, ERROR_ACCESS_DENIED}};
}

// ---- Service mode --------------------------------------------------------------------------

std::wstring ReportedStates() {
    std::wstring text;
    for (const SERVICE_STATUS& report : sim::StatusReports()) {
        text += (text.empty() ? L"" : L",") + Num(report.dwCurrentState);
        if (report.dwWin32ExitCode != 0) {
            text += L"(exit " + Num(report.dwWin32ExitCode) + L")";
        }
    }
    return text;
}

std::wstring ServiceOutcome(const std::wstring& reports, const std::wstring& events) {
    return L"exit 0, output '', reports " + reports + L", events " + events;
}

constexpr wchar_t kServiceStarted[] = L"I:Nimbrel service started.";
constexpr wchar_t kServiceStopped[] = L"I:Nimbrel service stopped.";

// The whole service, started by the service manager at 01:00 (before the
// daily restart) on a healthy spooler, with a stop control 5 s later, during
// the wait after the first cycle. A failed wait is no stop; settings reads
// fail to the defaults, which no file gives too; the queue check's gate and
// the printer list fail open.
Sweep ServiceMainSweep() {
    return {"ServiceMain",
            [] {
                sim::SetStartedByServiceManager(true);
                sim::SetUtc(2026, 12, 7, 1, 0, 0);
                sim::After(5000, [] { sim::SendControl(SERVICE_CONTROL_STOP); });
            },
            [] {
                int exitCode = RunServiceMode();
                return L"exit " + Num(exitCode) + L", output '" + Wide(sim::StdoutBytes()) +
                       L"', reports " + ReportedStates() + L", events " + Joined(Logged());
            },
            [](const Fault* f) {
                const std::wstring both = std::wstring(kServiceStarted) + L"|" + kServiceStopped;
                // Each cycle reads the start type first (its own connection);
                // one that cannot be read changes nothing.
                if (f != nullptr && f->IsServiceQuery() &&
                    f->occurrence == (f->Is(Op::QueryServiceStatusEx) ? 1u : 2u)) {
                    // The first verdict fails closed: a recovery follows.
                    return ServiceOutcome(L"2,4,3,1", std::wstring(kServiceStarted) + L"|" +
                                                          kStarted + L"Automatic recovery: " +
                                                          kUnableToQuery + L"|" + kCompleted +
                                                          L"|" + kServiceStopped);
                }
                return Lookup(
                    f, ServiceOutcome(L"2,4,3,1", both),
                    {{Op::StartServiceCtrlDispatcherW, 0,
                      L"exit 1, output 'StartServiceCtrlDispatcher failed: {e}\n', reports , "
                      L"events "},
                     {Op::RegisterServiceCtrlHandlerW, 0, ServiceOutcome(L"", L"")},
                     // That one report is lost.
                     {Op::SetServiceStatus, 1, ServiceOutcome(L"4,3,1", both)},
                     {Op::SetServiceStatus, 2, ServiceOutcome(L"2,3,1", both)},
                     {Op::SetServiceStatus, 3, ServiceOutcome(L"2,4,1", both)},
                     {Op::SetServiceStatus, 4, ServiceOutcome(L"2,4,3", both)},
                     {Op::CreateEventW, 0, ServiceOutcome(L"2,1(exit {e})", L"")},
                     {Op::CreateThread, 1, ServiceOutcome(L"2,4,1(exit {e})", both)},
                     // The wait for the monitor: the service stops at once,
                     // and the process would end the monitor with it.
                     {Op::WaitForSingleObject, 1, ServiceOutcome(L"2,4,1", both)},
                     {Op::RegisterEventSourceW, 1, ServiceOutcome(L"2,4,3,1", kServiceStopped)},
                     {Op::ReportEventW, 1, ServiceOutcome(L"2,4,3,1", kServiceStopped)},
                     {Op::RegisterEventSourceW, 2, ServiceOutcome(L"2,4,3,1", kServiceStarted)},
                     {Op::ReportEventW, 2, ServiceOutcome(L"2,4,3,1", kServiceStarted)}},
                    ServiceOutcome(L"2,4,3,1", both));
            }};
}

// The service's stop event, signalled 5 s after the start.
void StopEventIn5s() {
    StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    sim::After(5000, [] { SetEvent(StopEvent); });
}

// One cycle of the monitor, and the wait after it.
std::function<std::wstring()> MonitorCycle(const std::function<std::wstring()>& describe) {
    return [describe] {
        DWORD result = MonitorThread(nullptr);
        CloseHandle(StopEvent);
        StopEvent = nullptr;
        return L"result " + Num(result) + L", " + describe();
    };
}

constexpr wchar_t kRateLimited[] =
    L"W:Print Spooler unhealthy but recovery rate limit reached. Waiting.";

// One cycle of the monitor on a stopped spooler after three recoveries in
// the last hour: the warning instead of a recovery. The third wait is the
// interval's: failed, it is no stop, and the next cycle, at once, warns again.
Sweep MonitorRateLimitSweep() {
    return {"MonitorCycle_RateLimited",
            [] {
                Settings.EnableScheduledRestart = 0;
                sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
                for (int i = 0; i < 3; ++i) {
                    RecordRestart();
                }
                StopEventIn5s();
            },
            MonitorCycle([] {
                return L"events " + Joined(Logged()) + L", " + StateName(sim::Spooler().state);
            }),
            [](const Fault* f) {
                const std::wstring once = kRateLimited;
                return Lookup(f, L"result 0, events " + once + L", stopped",
                              {{Op::RegisterEventSourceW, 0, L"result 0, events , stopped"},
                               {Op::ReportEventW, 0, L"result 0, events , stopped"},
                               {Op::WaitForSingleObject, 3,
                                L"result 0, events " + once + L"|" + once + L", stopped"}},
                              L"result 0, events " + once + L", stopped");
            }};
}

// ---- The list ---------------------------------------------------------------------------------

const std::vector<Sweep>& AllSweeps() {
    static const std::vector<Sweep> sweeps = {
        LoadSettingsSweep(),
        RegistryReadsSweep(),
        QuerySpoolerStatusSweep(),
        QuerySpoolerStartTypeSweep(),
        SpoolDirectoryInEffectSweep(),
        WaitForSpoolerStateSweep(),
        StartSpoolerSweep(),
        StopSpoolerIgnoredSweep(),
        CheckServiceStateSweep(),
        CheckPrintQueuesSweep(),
        CheckPluginSweep("CheckPlugin_BatchExits", 300),
        CheckPluginSweep("CheckPlugin_BatchHangs", sim::kNever),
        EvaluateHealthSweep(),
        RunRecoverySweep(),
        RecoverCommandSweep(),
        StatusSweep(),
        InstallSweep(),
        UninstallSweep(),
        ServiceMainSweep(),
        MonitorRateLimitSweep()};
    return sweeps;
}

class FaultSweep : public testing::TestWithParam<std::size_t> {};

TEST_P(FaultSweep, EveryCallFailingInTurn) {
    const Sweep& sweep = AllSweeps()[GetParam()];
    std::size_t calls = 0;
    const std::size_t faults = RunSweep(sweep, calls);
    std::printf("[  sweep   ] %s: %zu injectable calls, %zu faults injected\n", sweep.name.c_str(),
                calls, faults);
}

INSTANTIATE_TEST_SUITE_P(Operations, FaultSweep, testing::Range<std::size_t>(0, AllSweeps().size()),
                         [](const testing::TestParamInfo<std::size_t>& info) {
                             return AllSweeps()[info.param].name;
                         });

// A call added to the seam is failed by some sweep, or this test says which
// one escaped.
TEST(FaultSweepCoverage, EveryInjectableOperationIsFailedBySomeSweep) {
    std::set<Op> reached;
    for (const Sweep& sweep : AllSweeps()) {
        Arrange(sweep);
        sweep.run();
        for (Op op : InjectableCalls()) {
            reached.insert(op);
        }
    }
    sim::Reset();
    for (int i = 0; i < static_cast<int>(Op::Count); ++i) {
        const Op op = static_cast<Op>(i);
        if (sim::IsInjectable(op)) {
            EXPECT_EQ(1u, reached.count(op)) << sim::OpName(op) << " is failed by no sweep";
        }
    }
}

} // namespace
} // namespace nimbrel::test
