// Systematic fault injection. Every operation that calls the platform is run
// once to learn which injectable calls it makes, then once more for each of
// those calls with that one call failing. Each run is checked against the
// outcome that a small table gives for the call that failed (which operation,
// which of its calls, which error), and against what every run must leave
// behind: no open handle, no heap block, no misuse of the platform, and a
// LastIssue terminated within its 256 characters.

#include "app/install.h"
#include "app/status.h"
#include "config/settings.h"
#include "health/health.h"
#include "recovery/recovery.h"
#include "recovery/restart_history.h"
#include "service/monitor.h"
#include "service/schedule.h"
#include "service/service_host.h"
#include "spooler/spooler_control.h"
#include "tests/support.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

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
        auto first = std::find(calls.begin(), calls.end(), landmark);
        return index < static_cast<std::size_t>(first - calls.begin());
    }
    // Whether the failed call belongs to the last poll of a wait that ends
    // before `landmark` (Op::Count: the end of the run): the poll whose
    // query would have seen the state waited for.
    bool InLastPollBefore(Op landmark) const {
        auto first = std::find(calls.begin(), calls.end(), landmark);
        return std::count(calls.begin() + static_cast<std::ptrdiff_t>(index), first,
                          Op::QueryServiceStatusEx) == 1;
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

// The process-wide state of a Nimbrel process that has just started.
void FreshProcess() {
    Settings = kDefaultSettings;
    LastIssue[0] = 0;
    PendingWatch = {0, 0};
    LastPluginRunTick = 0;
    RestartHistory = {};
    LastScheduledRestartDate = 0;
    CheckPointCounter = 1;
    ServiceStatus = {};
    StopEvent = nullptr;
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
    EXPECT_EQ(0u, sim::OpenHandles()) << "open: " << SimTest::Narrow(sim::DescribeOpenHandles());
    EXPECT_EQ(0u, sim::LiveHeapBlocks()) << "heap blocks left allocated";
    for (const std::string& misuse : sim::Misuses()) {
        ADD_FAILURE() << "platform misuse: " << misuse;
    }
    std::size_t length = 0;
    while (length < kLastIssueCapacity && LastIssue[length] != 0) {
        ++length;
    }
    EXPECT_LT(length, kLastIssueCapacity) << "LastIssue is not terminated";
}

struct SweepTotals {
    std::size_t calls = 0;  // injectable calls of the runs without a fault
    std::size_t faults = 0; // runs with one call failing
};

void RunSweep(const Sweep& sweep, SweepTotals& totals) {
    Arrange(sweep);
    const unsigned before = sim::InjectableCalls();
    const std::wstring clean = sweep.run();
    const std::vector<Op> calls = InjectableCalls();
    EXPECT_EQ(calls.size(), sim::InjectableCalls() - before);
    EXPECT_EQ(sweep.expected(nullptr), clean) << "the run without a fault";
    ExpectCleanEnd();
    totals.calls = calls.size();

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
            ASSERT_EQ(1u, sim::FaultsFired());
            ASSERT_TRUE(sim::LastFaultOp() == op) << "the run took another path before the fault";
            EXPECT_EQ(sweep.expected(&fault), outcome);
            ExpectCleanEnd();
            ++totals.faults;
        }
    }
}

// ---- Outcome descriptions -----------------------------------------------------------

std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

std::wstring Num(std::uint64_t value) {
    return std::to_wstring(value);
}

std::wstring StateName(DWORD state) {
    static const wchar_t* const kNames[] = {L"none",          L"stopped", L"start-pending",
                                            L"stop-pending",  L"running", L"continue-pending",
                                            L"pause-pending", L"paused"};
    return state < 8 ? kNames[state] : L"state " + Num(state);
}

// Every event logged, in order: "W:text|I:text".
std::wstring EventsText() {
    std::wstring text;
    for (const sim::Event& event : sim::Events()) {
        const wchar_t* type = event.type == EVENTLOG_ERROR_TYPE         ? L"E:"
                              : event.type == EVENTLOG_WARNING_TYPE     ? L"W:"
                              : event.type == EVENTLOG_INFORMATION_TYPE ? L"I:"
                                                                        : L"?:";
        text += (text.empty() ? L"" : L"|") + std::wstring(type) +
                (event.strings.empty() ? L"" : event.strings[0]);
    }
    return text;
}

// How many "spoolsv.exe" processes (any letter case) were terminated.
unsigned SpoolerProcessesKilled() {
    unsigned killed = 0;
    for (const sim::Process& process : sim::Processes()) {
        std::wstring image = process.image;
        for (wchar_t& c : image) {
            c = (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
        }
        killed += image == L"spoolsv.exe" ? process.terminations : 0;
    }
    return killed;
}

void UseText(WCHAR* field, std::size_t capacity, const wchar_t* text) {
    CopyText(field, capacity, text);
}

bool IsServiceQuery(const Fault& f) {
    return f.IsAnyOf({Op::OpenSCManagerW, Op::OpenServiceW, Op::QueryServiceStatusEx});
}

bool IsConsoleOutput(const Fault& f) {
    return f.IsAnyOf({Op::GetStdHandle, Op::WriteFile, Op::WriteConsoleW});
}

// ---- Settings --------------------------------------------------------------------------

constexpr wchar_t kIniPath[] = L"C:\\Program Files\\Nimbrel\\Nimbrel.ini";

// A file that sets every key to a value other than its default.
constexpr wchar_t kFullIni[] = L"[Monitor]\n"
                               L"CheckIntervalMs=5000\nHangTimeoutMs=60000\nMaxRestartsPerHour=5\n"
                               L"ClearSpoolOnRecovery=0\nSpoolDirectory=D:\\Spool\n"
                               L"[Recovery]\n"
                               L"StopTimeoutMs=1000\nStartTimeoutMs=2000\nRestartDelayMs=0\n"
                               L"[HealthCheck]\n"
                               L"EnableQueueCheck=0\nStuckJobTimeoutMs=20000\nMaxQueueJobs=7\n"
                               L"EnablePluginCheck=1\nPluginIntervalMs=6000\nPluginTimeoutMs=3000\n"
                               L"PrinterName= Office \nPluginPath=C:\\p.exe\n"
                               L"[Schedule]\n"
                               L"EnableScheduledRestart=0\nClearSpoolOnScheduledRestart=1\n"
                               L"RestartTime=03:30\nRestartDays=Mon,Fri\n";

// The integer keys and the text keys, each in the order they are read.
DWORD SettingsRecord::*const kIntegerFields[] = {
    &SettingsRecord::CheckIntervalMs,
    &SettingsRecord::HangTimeoutMs,
    &SettingsRecord::MaxRestartsPerHour,
    &SettingsRecord::ClearSpoolOnRecovery,
    &SettingsRecord::StopTimeoutMs,
    &SettingsRecord::StartTimeoutMs,
    &SettingsRecord::RestartDelayMs,
    &SettingsRecord::EnableQueueCheck,
    &SettingsRecord::StuckJobTimeoutMs,
    &SettingsRecord::MaxQueueJobs,
    &SettingsRecord::EnablePluginCheck,
    &SettingsRecord::PluginIntervalMs,
    &SettingsRecord::PluginTimeoutMs,
    &SettingsRecord::EnableScheduledRestart,
    &SettingsRecord::ClearSpoolOnScheduledRestart,
};
const std::size_t kTextFieldCount = 5;

WCHAR* TextField(SettingsRecord& s, std::size_t i) {
    WCHAR* const fields[kTextFieldCount] = {s.SpoolDirectory, s.PrinterName, s.PluginPath,
                                            s.RestartTime, s.RestartDays};
    return fields[i];
}

std::wstring Describe(const SettingsRecord& s) {
    std::wstring text;
    for (auto field : kIntegerFields) {
        text += Num(s.*field) + L";";
    }
    SettingsRecord copy = s;
    for (std::size_t i = 0; i < kTextFieldCount; ++i) {
        text += std::wstring(L"'") + TextField(copy, i) + L"';";
    }
    return text;
}

SettingsRecord FullIniSettings() {
    SettingsRecord s = kDefaultSettings;
    const DWORD values[] = {5000, 60000, 5, 0, 1000, 2000, 0, 0, 20000, 7, 1, 6000, 3000, 0, 1};
    for (std::size_t i = 0; i < std::size(kIntegerFields); ++i) {
        s.*kIntegerFields[i] = values[i];
    }
    const wchar_t* texts[] = {L"D:\\Spool", L"Office", L"C:\\p.exe", L"03:30", L"Mon,Fri"};
    UseText(s.SpoolDirectory, kSpoolDirectoryCapacity, texts[0]);
    UseText(s.PrinterName, kPrinterNameCapacity, texts[1]);
    UseText(s.PluginPath, kPluginPathCapacity, texts[2]);
    UseText(s.RestartTime, kRestartTimeCapacity, texts[3]);
    UseText(s.RestartDays, kRestartDaysCapacity, texts[4]);
    return s;
}

// A read that fails gives that key its default; without the executable's
// path no key is read at all.
std::wstring ExpectedSettings(const Fault* f) {
    SettingsRecord s = FullIniSettings();
    if (f == nullptr) {
        return Describe(s);
    }
    if (f->Is(Op::GetModuleFileNameW)) {
        return Describe(kDefaultSettings);
    }
    SettingsRecord defaults = kDefaultSettings;
    if (f->Is(Op::GetPrivateProfileIntW)) {
        auto field = kIntegerFields[f->occurrence - 1];
        s.*field = kDefaultSettings.*field;
    } else if (f->Is(Op::GetPrivateProfileStringW)) {
        WCHAR* field = TextField(s, f->occurrence - 1);
        CopyText(field, TextLength(TextField(defaults, f->occurrence - 1)) + 1,
                 TextField(defaults, f->occurrence - 1));
    }
    return Describe(s);
}

Sweep LoadSettingsSweep() {
    return {"LoadSettings", [] { sim::SetFileText(kIniPath, kFullIni); },
            [] {
                LoadSettings();
                return Describe(Settings);
            },
            ExpectedSettings};
}

// ---- Spooler control ------------------------------------------------------------------

std::wstring QueryOutcome(int result, DWORD state, DWORD pid) {
    return L"result " + Num(result) + L", " + StateName(state) + L", pid " + Num(pid);
}

Sweep QuerySpoolerStatusSweep() {
    return {"QuerySpoolerStatus", [] {},
            [] {
                DWORD state = 99, pid = 99;
                int result = QuerySpoolerStatus(&state, &pid);
                return QueryOutcome(result, state, pid);
            },
            [](const Fault* f) {
                return f ? QueryOutcome(0, 0, 0) : QueryOutcome(1, SERVICE_RUNNING, 1000);
            }};
}

// A spooler that takes 1.2 s to start: the wait queries it three times.
Sweep WaitForSpoolerStateSweep() {
    return {"WaitForSpoolerState",
            [] {
                sim::SetServiceState(L"Spooler", SERVICE_START_PENDING);
                sim::After(1200, [] { sim::SetServiceState(L"Spooler", SERVICE_RUNNING); });
            },
            [] {
                int result = WaitForSpoolerState(SERVICE_RUNNING, 5000);
                return L"result " + Num(result) + L" after " + Num(sim::ElapsedMs()) + L" ms";
            },
            [](const Fault* f) {
                // A failed query ends the wait at once, at the poll it failed in.
                if (f == nullptr) {
                    return std::wstring(L"result 1 after 1500 ms");
                }
                return L"result 0 after " + Num(500 * ((f->occurrence - 1))) + L" ms";
            }};
}

std::wstring StopOutcome(int result, DWORD state, unsigned killed) {
    return L"result " + Num(result) + L", " + StateName(state) + L", " + Num(killed) +
           L" spoolsv.exe terminated";
}

std::wstring StopObserved(int result) {
    return StopOutcome(result, sim::Spooler().state, SpoolerProcessesKilled());
}

// A stop request refused with one of these leaves a spooler to be waited
// for and, failing that, terminated.
bool StopRefusalIsForced(DWORD error) {
    return error == ERROR_SERVICE_NOT_ACTIVE || error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
}

const std::vector<DWORD> kStopErrors = {0, ERROR_SERVICE_NOT_ACTIVE,
                                        ERROR_SERVICE_CANNOT_ACCEPT_CTRL};

// A spooler that stops 0.7 s after the request.
Sweep StopSpoolerSweep() {
    return {"StopSpooler_Cooperative",
            [] {
                Settings.StopTimeoutMs = 3000;
                sim::Spooler().stopPendingMs = 700;
            },
            [] { return StopObserved(StopSpooler()); },
            [](const Fault* f) {
                if (f == nullptr) {
                    return StopOutcome(1, SERVICE_STOPPED, 0);
                }
                if (f->Before(Op::ControlService)) { // opening the service for the request
                    return StopOutcome(0, SERVICE_RUNNING, 0);
                }
                if (f->Is(Op::ControlService)) {
                    // A refusal that can be forced: the wait runs out on a
                    // spooler that never got the request, which is then ended.
                    return StopRefusalIsForced(f->error) ? StopOutcome(1, SERVICE_STOPPED, 1)
                                                         : StopOutcome(0, SERVICE_RUNNING, 0);
                }
                // A query of the wait: the wait ends and the process is ended.
                // By the last poll the spooler has stopped on its own: nothing
                // is left to terminate, and a stop not seen is no stop.
                return f->InLastPollBefore(Op::Count) ? StopOutcome(0, SERVICE_STOPPED, 0)
                                                      : StopOutcome(1, SERVICE_STOPPED, 1);
            },
            kStopErrors};
}

// A spooler that ignores the stop request, with a second "SPOOLSV.EXE" and
// an unrelated process behind it in the process list.
Sweep StopSpoolerIgnoredSweep() {
    return {"StopSpooler_StopIgnored",
            [] {
                Settings.StopTimeoutMs = 1000;
                sim::Spooler().stopPendingMs = sim::kNever;
                sim::AddProcess(L"notepad.exe");
                sim::AddProcess(L"SPOOLSV.EXE");
            },
            [] { return StopObserved(StopSpooler()); },
            [](const Fault* f) {
                if (f == nullptr) {
                    return StopOutcome(1, SERVICE_STOPPED, 2);
                }
                if (f->Before(Op::ControlService)) {
                    return StopOutcome(0, SERVICE_RUNNING, 0);
                }
                if (f->Is(Op::ControlService)) {
                    return StopRefusalIsForced(f->error) ? StopOutcome(1, SERVICE_STOPPED, 2)
                                                         : StopOutcome(0, SERVICE_RUNNING, 0);
                }
                if (f->Before(Op::CreateToolhelp32Snapshot)) { // the first wait: forced at once
                    return StopOutcome(1, SERVICE_STOPPED, 2);
                }
                if (f->IsAnyOf({Op::CreateToolhelp32Snapshot, Op::Process32FirstW})) {
                    return StopOutcome(0, SERVICE_STOP_PENDING, 0);
                }
                // The walk: the service's own process comes first, the
                // unrelated one second, the other spoolsv.exe last.
                if (f->Is(Op::Process32NextW)) {
                    return f->occurrence < 3 ? StopOutcome(1, SERVICE_STOPPED, 1)
                                             : StopOutcome(1, SERVICE_STOPPED, 2);
                }
                if (f->IsAnyOf({Op::OpenProcess, Op::TerminateProcess})) {
                    // The service's own process survives: no stop within 10 s.
                    return f->occurrence == 1 ? StopOutcome(0, SERVICE_STOP_PENDING, 1)
                                              : StopOutcome(1, SERVICE_STOPPED, 1);
                }
                return StopOutcome(0, SERVICE_STOPPED, 2); // a query of the second wait
            },
            kStopErrors};
}

// A stopped spooler that takes 0.7 s to start. The outcome names the state
// the spooler reaches once the clock has run on.
Sweep StartSpoolerSweep() {
    return {"StartSpooler",
            [] {
                Settings.StartTimeoutMs = 3000;
                sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
                sim::Spooler().startPendingMs = 700;
            },
            [] {
                int result = StartSpooler();
                sim::AdvanceMs(1000);
                return L"result " + Num(result) + L", then " + StateName(sim::Spooler().state);
            },
            [](const Fault* f) -> std::wstring {
                if (f == nullptr) {
                    return L"result 1, then running";
                }
                if (f->Before(Op::StartServiceW) || f->Is(Op::StartServiceW)) {
                    return L"result 0, then stopped";
                }
                return L"result 0, then running"; // the wait failed; the start goes on
            },
            {0, ERROR_SERVICE_ALREADY_RUNNING}};
}

// ---- Health checks -------------------------------------------------------------------

std::wstring CheckOutcome(int result, const std::wstring& issue) {
    return L"result " + Num(result) + L", issue '" + issue + L"'";
}

std::wstring CheckObserved(int result) {
    return CheckOutcome(result ? 1 : 0, LastIssue);
}

constexpr wchar_t kUnableToQuery[] = L"Unable to query Print Spooler service state";

Sweep CheckServiceStateSweep() {
    return {"CheckServiceState",
            [] {
                PendingWatch = {SERVICE_START_PENDING, sim::Tick() - 1000};
            },
            [] {
                int result = CheckServiceState();
                return CheckObserved(result) + L", watch " + StateName(PendingWatch.state);
            },
            [](const Fault* f) {
                // A failed query leaves the watch as it was.
                return f ? CheckOutcome(0, kUnableToQuery) + L", watch start-pending"
                         : CheckOutcome(1, L"") + L", watch none";
            }};
}

constexpr wchar_t kStuckA[] = L"Stuck print job on 'A' (job 3, document: letter.doc)";
constexpr wchar_t kStuckB[] = L"Stuck print job on 'B' (job 7, document: report.pdf)";

// Printer A holds a job printing for 10 s, printer B one printing for an hour.
void TwoPrinters() {
    sim::AddPrinter(L"A");
    sim::AddJob(L"A", 3, L"letter.doc", JOB_STATUS_PRINTING, sim::UtcSystemTime(10));
    sim::AddPrinter(L"B");
    sim::AddJob(L"B", 7, L"report.pdf", JOB_STATUS_PRINTING, sim::UtcSystemTime(3600));
}

Sweep CheckPrintQueuesSweep() {
    return {"CheckPrintQueues", TwoPrinters, [] { return CheckObserved(CheckPrintQueues()); },
            [](const Fault* f) {
                if (f == nullptr) {
                    return CheckOutcome(0, kStuckB);
                }
                // Fails open: whatever keeps it from reading a queue is healthy.
                if (f->Before(Op::EnumPrintersW)) { // the service-state gate
                    return CheckOutcome(1, kUnableToQuery);
                }
                if (f->Is(Op::EnumPrintersW) || (f->Is(Op::HeapAlloc) && f->occurrence == 1)) {
                    return CheckOutcome(1, L"");
                }
                if (f->Is(Op::SystemTimeToFileTime)) { // an unreadable time is the oldest
                    return CheckOutcome(0, f->occurrence == 1 ? kStuckA : kStuckB);
                }
                // Printer A (open, two enumerations, its job block), else printer B.
                const bool printerA = (f->Is(Op::OpenPrinterW) && f->occurrence == 1) ||
                                      (f->Is(Op::EnumJobsW) && f->occurrence <= 2) ||
                                      (f->Is(Op::HeapAlloc) && f->occurrence == 2);
                return printerA ? CheckOutcome(0, kStuckB) : CheckOutcome(1, L"");
            }};
}

constexpr wchar_t kPluginExe[] = L"C:\\Plugins\\check.exe";
constexpr wchar_t kPluginExeCommand[] = L"\"C:\\Plugins\\check.exe\"";
constexpr wchar_t kPluginBatch[] = L"C:\\Plugins\\check.cmd";
constexpr wchar_t kPluginBatchCommand[] = L"cmd.exe /c \"\"C:\\Plugins\\check.cmd\"\"";

constexpr wchar_t kNotFound[] = L"Plugin health check file not found";
constexpr wchar_t kLaunchFailed[] = L"Failed to launch plugin health check";
constexpr wchar_t kTimedOut[] = L"Plugin health check timed out";

void UsePlugin(const wchar_t* path, const wchar_t* command, sim::Program program) {
    Settings.EnablePluginCheck = 1;
    Settings.PluginTimeoutMs = 2000;
    UseText(Settings.PluginPath, kPluginPathCapacity, path);
    sim::AddFile(path);
    sim::AddProgram(command, program);
}

std::wstring PluginOutcome(int result, const std::wstring& issue, bool ran, unsigned running) {
    return CheckOutcome(result, issue) + (ran ? L", run noted" : L", no run noted") + L", " +
           Num(running) + L" still running";
}

std::wstring PluginObserved(int result, const wchar_t* command) {
    return PluginOutcome(result ? 1 : 0, LastIssue, LastPluginRunTick != 0,
                         sim::RunningProcesses(command));
}

// A program that ends with exit code 2 after 0.3 s.
Sweep CheckPluginSweep() {
    return {"CheckPlugin_ExitCode",
            [] {
                UsePlugin(kPluginExe, kPluginExeCommand, {2, 300});
            },
            [] { return PluginObserved(CheckPlugin(), kPluginExeCommand); },
            [](const Fault* f) {
                if (f == nullptr) {
                    return PluginOutcome(0, L"Plugin health check failed (exit code 2)", true, 0);
                }
                switch (f->op) {
                case Op::GetFileAttributesW:
                    return PluginOutcome(0, kNotFound, false, 0);
                case Op::CreateProcessW:
                    return PluginOutcome(0, kLaunchFailed, true, 0);
                case Op::WaitForSingleObject: // treated as a time-out: terminated
                    return PluginOutcome(0, kTimedOut, true, 0);
                default: // GetExitCodeProcess: the exit code counts as 1
                    return PluginOutcome(0, L"Plugin health check failed (exit code 1)", true, 0);
                }
            }};
}

// A batch file that never ends: run through the system's cmd.exe, timed out.
Sweep CheckPluginHangingSweep() {
    return {"CheckPlugin_BatchHangs",
            [] {
                UsePlugin(kPluginBatch, kPluginBatchCommand, {0, sim::kNever});
            },
            [] { return PluginObserved(CheckPlugin(), kPluginBatchCommand); },
            [](const Fault* f) {
                if (f == nullptr) {
                    return PluginOutcome(0, kTimedOut, true, 0);
                }
                switch (f->op) {
                case Op::GetFileAttributesW:
                    return PluginOutcome(0, kNotFound, false, 0);
                case Op::GetSystemDirectoryW:
                case Op::CreateProcessW:
                    return PluginOutcome(0, kLaunchFailed, true, 0);
                case Op::TerminateProcess: // its result is not looked at
                    return PluginOutcome(0, kTimedOut, true, 1);
                default: // WaitForSingleObject: a failed wait is a time-out too
                    return PluginOutcome(0, kTimedOut, true, 0);
                }
            }};
}

// Running spooler, printer A with a fresh job, a plugin that passes.
Sweep EvaluateHealthSweep() {
    return {"EvaluateHealth",
            [] {
                sim::AddPrinter(L"A");
                sim::AddJob(L"A", 3, L"letter.doc", JOB_STATUS_PRINTING, sim::UtcSystemTime(10));
                UsePlugin(kPluginExe, kPluginExeCommand, {0, 100});
            },
            [] { return CheckObserved(EvaluateHealth()); },
            [](const Fault* f) {
                if (f == nullptr) {
                    return CheckOutcome(1, L"");
                }
                if (IsServiceQuery(*f)) {
                    // The first query is the verdict's own; the second the
                    // queue check's gate, which passes and leaves its text.
                    return CheckOutcome(f->occurrence == 1 ? 0 : 1, kUnableToQuery);
                }
                switch (f->op) {
                case Op::SystemTimeToFileTime:
                    return CheckOutcome(0, kStuckA);
                case Op::GetFileAttributesW:
                    return CheckOutcome(0, kNotFound);
                case Op::CreateProcessW:
                    return CheckOutcome(0, kLaunchFailed);
                case Op::WaitForSingleObject:
                    return CheckOutcome(0, kTimedOut);
                case Op::GetExitCodeProcess:
                    return CheckOutcome(0, L"Plugin health check failed (exit code 1)");
                default: // the printer enumeration fails open
                    return CheckOutcome(1, L"");
                }
            }};
}

// ---- Recovery ------------------------------------------------------------------------------

constexpr wchar_t kStarted[] = L"W:Recovery started: ";
constexpr wchar_t kStopFailed[] = L"E:Failed to stop Print Spooler during recovery.";
constexpr wchar_t kFilesLeft[] = L"W:Some spool files could not be deleted during recovery.";
constexpr wchar_t kStartFailed[] = L"E:Failed to start Print Spooler during recovery.";
constexpr wchar_t kCompleted[] = L"I:Print Spooler recovery completed successfully.";

struct RecoveryOutcome {
    int result;
    std::vector<std::wstring> events; // the reason is added to kStarted
    unsigned kept;                    // spool files left
};

// The spooler stops and starts in 0.7 s each; the spool folder holds two
// files. What a recovery ends with, by the call that failed.
RecoveryOutcome ExpectedRecovery(const Fault* f) {
    const RecoveryOutcome success{1, {kStarted, kCompleted}, 0};
    if (f == nullptr) {
        return success;
    }
    if (f->IsAnyOf({Op::RegisterEventSourceW, Op::ReportEventW})) { // one message lost
        return {1, {f->occurrence == 1 ? kCompleted : kStarted}, 0};
    }
    if (f->Before(Op::ControlService) || f->Is(Op::ControlService)) {
        return {0, {kStarted, kStopFailed}, 2};
    }
    if (f->Before(Op::FindFirstFileW)) {
        // A query of the stop's wait: the spooler is forced and the recovery
        // goes on; by the last poll it has stopped on its own, and with no
        // process left to terminate the stop counts as failed.
        return f->InLastPollBefore(Op::FindFirstFileW)
                   ? RecoveryOutcome{0, {kStarted, kStopFailed}, 2}
                   : success;
    }
    if (f->Is(Op::FindFirstFileW)) { // the folder cannot be listed: skipped quietly
        return {1, {kStarted, kCompleted}, 2};
    }
    if (f->Is(Op::FindNextFileW)) {
        // The listing ends early: ".", "..", then the two files.
        const unsigned kept[] = {2, 2, 1, 0};
        return {1, {kStarted, kCompleted}, kept[f->occurrence - 1]};
    }
    if (f->Is(Op::DeleteFileW)) {
        return {1, {kStarted, kFilesLeft, kCompleted}, 1};
    }
    return {0, {kStarted, kStartFailed}, 0}; // opening, starting or the start's wait
}

constexpr wchar_t kSpool[] = L"C:\\Spool";

void SpoolerAndSpoolFolder(const std::wstring& folder) {
    sim::Spooler().stopPendingMs = 700;
    sim::Spooler().startPendingMs = 700;
    sim::AddFile(folder + L"\\00001.SHD");
    sim::AddFile(folder + L"\\00001.SPL");
}

std::wstring RecoveryText(const RecoveryOutcome& o, const std::wstring& reason) {
    std::wstring events;
    for (const std::wstring& e : o.events) {
        events += (events.empty() ? L"" : L"|") + e + (e == kStarted ? reason : L"");
    }
    return L"result " + Num(o.result) + L", events " + events + L", " + Num(o.kept) +
           L" files kept";
}

Sweep RunRecoverySweep() {
    return {"RunRecovery",
            [] {
                Settings.StopTimeoutMs = 3000;
                Settings.StartTimeoutMs = 3000;
                UseText(Settings.SpoolDirectory, kSpoolDirectoryCapacity, kSpool);
                SpoolerAndSpoolFolder(kSpool);
            },
            [] {
                int result = RunRecovery(L"test", 1, 1);
                return L"result " + Num(result) + L", events " + EventsText() + L", " +
                       Num(sim::Listing(kSpool).size()) + L" files kept, " +
                       Num(RestartHistory.count) + L" recorded";
            },
            [](const Fault* f) {
                RecoveryOutcome o = ExpectedRecovery(f);
                // Only a completed recovery is recorded.
                return RecoveryText(o, L"test") + L", " + Num(o.result) + L" recorded";
            }};
}

// ---- Console commands ------------------------------------------------------------------------

std::wstring CommandOutcome(int exitCode, const std::wstring& output) {
    return L"exit " + Num(exitCode) + L", output '" + output + L"'";
}

std::wstring CommandObserved(int exitCode) {
    return CommandOutcome(exitCode, Wide(sim::StdoutBytes()));
}

// The status report's pieces, one per ConsolePrint.
struct Report {
    bool stateHealthy = true;
    bool queueHealthy = true;
    bool overallHealthy = true;
    std::wstring issue;
    unsigned missing = 0; // the piece whose output failed, from 1; 0 for none
};

std::wstring ReportText(const Report& r) {
    auto yesNo = [](bool b) { return std::wstring(b ? L"Yes" : L"No"); };
    std::vector<std::wstring> pieces = {
        L"Print Spooler service: Running",
        L" (PID 1000)",
        L"\n",
        L"Service state healthy: " + yesNo(r.stateHealthy) + L"\n",
        L"Print queue healthy:   " + yesNo(r.queueHealthy) + L"\n",
        L"Overall healthy:       " + yesNo(r.overallHealthy) + L"\n",
    };
    if (!r.issue.empty()) {
        pieces.push_back(L"Last issue:            " + r.issue + L"\n");
    }
    pieces.push_back(L"Scheduled restart:     Every day at 02:00\n");
    std::wstring text;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        text += i + 1 == r.missing ? L"" : pieces[i];
    }
    return text;
}

// Running spooler, no settings file, printer A with a fresh job. The report
// queries the service five times: its own line, the state check, the queue
// check's gate, then the verdict's state check and its queue check's gate.
Sweep StatusSweep() {
    return {"StatusCommand",
            [] {
                sim::AddPrinter(L"A");
                sim::AddJob(L"A", 3, L"letter.doc", JOB_STATUS_PRINTING, sim::UtcSystemTime(10));
            },
            [] { return CommandObserved(RunStatusCommand()); },
            [](const Fault* f) {
                Report r;
                if (f == nullptr) {
                    return CommandOutcome(0, ReportText(r));
                }
                if (IsServiceQuery(*f)) {
                    switch (f->occurrence) {
                    case 1:
                        return CommandOutcome(1, L"Unable to query Print Spooler status.\n");
                    case 2:
                        r.stateHealthy = false;
                        break;
                    case 3: // the queue line fails open; the verdict empties the issue
                        break;
                    case 4:
                        r.overallHealthy = false;
                        r.issue = kUnableToQuery;
                        break;
                    default: // the verdict's gate: healthy, with its text left behind
                        r.issue = kUnableToQuery;
                        break;
                    }
                } else if (f->Is(Op::SystemTimeToFileTime)) {
                    (f->occurrence == 1 ? r.queueHealthy : r.overallHealthy) = false;
                    r.issue = f->occurrence == 1 ? L"" : kStuckA;
                } else if (IsConsoleOutput(*f)) {
                    r.missing = f->occurrence;
                }
                // Settings reads fail to their defaults, which is what a
                // missing file gives; the queue check fails open; a console
                // mode that cannot be read is a redirected output anyway.
                return CommandOutcome(0, ReportText(r));
            }};
}

// The recovery of the "recover" command, with the settings file's defaults.
Sweep RecoverSweep() {
    return {"RecoverCommand", [] { SpoolerAndSpoolFolder(kDefaultSettings.SpoolDirectory); },
            [] {
                int exitCode = RunRecoverCommand();
                return CommandObserved(exitCode) + L", events " + EventsText() + L", " +
                       Num(sim::Listing(kDefaultSettings.SpoolDirectory).size()) + L" files kept";
            },
            [](const Fault* f) {
                // Settings reads fail to their defaults, which a missing file
                // gives too; a console mode that cannot be read is a
                // redirected output anyway; a lost line changes nothing else.
                const bool lostOutput = f != nullptr && IsConsoleOutput(*f);
                const bool noEffect =
                    f != nullptr && f->IsAnyOf({Op::GetModuleFileNameW, Op::GetPrivateProfileIntW,
                                                Op::GetPrivateProfileStringW, Op::GetConsoleMode});
                RecoveryOutcome o = ExpectedRecovery(lostOutput || noEffect ? nullptr : f);
                std::wstring text = o.result ? L"Print Spooler recovery completed.\n"
                                             : L"Print Spooler recovery failed.\n";
                std::wstring events =
                    RecoveryText(o, L"Manual recovery requested from command line");
                return CommandOutcome(o.result ? 0 : 1, lostOutput ? L"" : text) +
                       events.substr(events.find(L", events"));
            }};
}

std::wstring InstallObserved(int exitCode) {
    const sim::Service* service = sim::FindService(L"Nimbrel");
    return CommandObserved(exitCode) + (service == nullptr             ? L", not installed"
                                        : service->description.empty() ? L", installed"
                                                                       : L", installed, described");
}

Sweep InstallSweep() {
    return {"InstallCommand",
            [] {},
            [] { return InstallObserved(RunInstallCommand()); },
            [](const Fault* f) {
                const std::wstring error = f ? Num(f->error) : L"";
                const std::wstring done = L"Service installed successfully.\n";
                if (f == nullptr || f->Is(Op::GetConsoleMode)) {
                    return CommandOutcome(0, done) + L", installed, described";
                }
                switch (f->op) {
                case Op::OpenSCManagerW:
                    return CommandOutcome(1, L"OpenSCManager failed: " + error + L"\n") +
                           L", not installed";
                case Op::GetModuleFileNameW:
                    return CommandOutcome(1, L"GetModuleFileName failed: " + error + L"\n") +
                           L", not installed";
                case Op::CreateServiceW:
                    return CommandOutcome(1, L"CreateService failed: " + error + L"\n") +
                           L", not installed";
                case Op::ChangeServiceConfig2W: // the description is a nicety
                    return CommandOutcome(0, done) + L", installed";
                default: // the line is lost, nothing else
                    return CommandOutcome(0, L"") + L", installed, described";
                }
            },
            {0, ERROR_SERVICE_EXISTS}};
}

// On a console: the text goes through WriteConsoleW; a console whose mode
// cannot be read is written to as a redirected output.
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
            [](const Fault* f) -> std::wstring {
                auto outcome = [](int exitCode, const std::wstring& console,
                                  const std::wstring& redirected, bool removed) {
                    return L"exit " + Num(exitCode) + L", console '" + console +
                           L"', redirected '" + redirected + L"', " +
                           (removed ? L"removed" : L"installed");
                };
                const std::wstring done = L"Service uninstalled successfully.\n";
                if (f == nullptr) {
                    return outcome(0, done, L"", true);
                }
                const std::wstring error = Num(f->error);
                switch (f->op) {
                case Op::OpenSCManagerW:
                    return outcome(1, L"OpenSCManager failed: " + error + L"\n", L"", false);
                case Op::OpenServiceW: // reported, and still exit code 0
                    return outcome(0, L"OpenService failed: " + error + L"\n", L"", false);
                case Op::DeleteService:
                    return outcome(0, L"DeleteService failed: " + error + L"\n", L"", false);
                case Op::GetConsoleMode:
                    return outcome(0, L"", done, true);
                default: // GetStdHandle, WriteConsoleW: the line is lost
                    return outcome(0, L"", L"", true);
                }
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

std::wstring ServiceOutcome(int exitCode, const std::wstring& output, const std::wstring& reports,
                            const std::wstring& events) {
    return L"exit " + Num(exitCode) + L", output '" + output + L"', reports " + reports +
           L", events " + events;
}

constexpr wchar_t kServiceStarted[] = L"I:Nimbrel service started.";
constexpr wchar_t kServiceStopped[] = L"I:Nimbrel service stopped.";
constexpr wchar_t kUnableReason[] =
    L"W:Recovery started: Automatic recovery: Unable to query Print Spooler service state";

// The whole service, started by the service manager at 01:00 (before the
// daily restart) on a healthy spooler, with a stop control 5 s later, during
// the wait after the first cycle.
Sweep ServiceMainSweep() {
    return {
        "ServiceMain",
        [] {
            sim::SetStartedByServiceManager(true);
            sim::SetUtc(2026, 12, 7, 1, 0, 0);
            sim::After(5000, [] { sim::SendControl(SERVICE_CONTROL_STOP); });
        },
        [] {
            int exitCode = RunServiceMode();
            return ServiceOutcome(exitCode, Wide(sim::StdoutBytes()), ReportedStates(),
                                  EventsText());
        },
        [](const Fault* f) {
            const std::wstring all = L"2,4,3,1";
            const std::wstring both = std::wstring(kServiceStarted) + L"|" + kServiceStopped;
            if (f == nullptr) {
                return ServiceOutcome(0, L"", all, both);
            }
            switch (f->op) {
            case Op::StartServiceCtrlDispatcherW:
                return ServiceOutcome(1, L"StartServiceCtrlDispatcher failed: 1063\n", L"", L"");
            case Op::RegisterServiceCtrlHandlerW: // nobody to report to
                return ServiceOutcome(0, L"", L"", L"");
            case Op::SetServiceStatus: { // that one report is lost
                std::wstring states[] = {L"2", L"4", L"3", L"1"};
                std::wstring left;
                for (unsigned i = 0; i < 4; ++i) {
                    left += i + 1 == f->occurrence ? L"" : (left.empty() ? L"" : L",") + states[i];
                }
                return ServiceOutcome(0, L"", left, both);
            }
            case Op::CreateEventW:
                return ServiceOutcome(0, L"", L"2,1(exit " + Num(f->error) + L")", L"");
            case Op::CreateThread: // started and stopped back to back
                return ServiceOutcome(0, L"", L"2,4,1", both);
            case Op::RegisterEventSourceW:
            case Op::ReportEventW:
                return ServiceOutcome(0, L"", all,
                                      f->occurrence == 1 ? kServiceStopped : kServiceStarted);
            default:
                break;
            }
            if (IsServiceQuery(*f) && f->occurrence == 1) {
                // The first verdict fails closed: a recovery follows.
                return ServiceOutcome(0, L"", all,
                                      std::wstring(kServiceStarted) + L"|" + kUnableReason + L"|" +
                                          kCompleted + L"|" + kServiceStopped);
            }
            // A failed wait is no stop; settings reads fail to the
            // defaults, which no file gives too; the queue check's gate
            // and the printer list fail open.
            return ServiceOutcome(0, L"", all, both);
        }};
}

std::wstring CycleEvents(const RecoveryOutcome& o, const std::wstring& reason) {
    std::wstring text = RecoveryText(o, reason);
    return text.substr(text.find(L"events"));
}

// One cycle of the monitor on a stopped spooler: the recovery after a
// pause of 1 s, then the wait, during which the stop comes.
Sweep MonitorCycleSweep() {
    return {"MonitorCycle_Recovery",
            [] {
                Settings.EnableScheduledRestart = 0;
                Settings.RestartDelayMs = 1000;
                UseText(Settings.SpoolDirectory, kSpoolDirectoryCapacity, kSpool);
                SpoolerAndSpoolFolder(kSpool);
                sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
                StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
                sim::After(5000, [] { SetEvent(StopEvent); });
            },
            [] {
                DWORD result = MonitorThread(nullptr);
                CloseHandle(StopEvent);
                StopEvent = nullptr;
                return L"result " + Num(result) + L", events " + EventsText() + L", " +
                       Num(sim::Listing(kSpool).size()) + L" files kept, " +
                       Num(RestartHistory.count) + L" recorded";
            },
            [](const Fault* f) {
                std::wstring reason = L"Automatic recovery: Print Spooler service is stopped";
                const Fault* inRecovery = f;
                if (f != nullptr && f->Before(Op::RegisterEventSourceW)) {
                    // The verdict and the tests of the stop event before the
                    // recovery: a failed query is still unhealthy, a failed
                    // wait is no stop.
                    if (IsServiceQuery(*f)) {
                        reason = L"Automatic recovery: Unable to query Print Spooler service state";
                    }
                    inRecovery = nullptr;
                } else if (f != nullptr && f->Is(Op::WaitForSingleObject)) {
                    inRecovery = nullptr; // the interval's wait, or the test after it
                }
                RecoveryOutcome o = ExpectedRecovery(inRecovery);
                return L"result 0, " + CycleEvents(o, reason) + L", " + Num(o.result) +
                       L" recorded";
            }};
}

constexpr wchar_t kRateLimited[] =
    L"W:Print Spooler unhealthy but recovery rate limit reached. Waiting.";

// One cycle of the monitor on a stopped spooler after three recoveries in
// the last hour: the warning instead of a recovery.
Sweep MonitorRateLimitSweep() {
    return {"MonitorCycle_RateLimited",
            [] {
                Settings.EnableScheduledRestart = 0;
                sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
                for (int i = 0; i < 3; ++i) {
                    RecordRestart();
                }
                StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
                sim::After(5000, [] { SetEvent(StopEvent); });
            },
            [] {
                DWORD result = MonitorThread(nullptr);
                CloseHandle(StopEvent);
                StopEvent = nullptr;
                return L"result " + Num(result) + L", events " + EventsText() + L", " +
                       StateName(sim::Spooler().state);
            },
            [](const Fault* f) {
                const bool lost =
                    f != nullptr && f->IsAnyOf({Op::RegisterEventSourceW, Op::ReportEventW});
                // The third wait is the interval's: failed, it is no stop, and
                // the next cycle, at once, warns again.
                const bool twice =
                    f != nullptr && f->Is(Op::WaitForSingleObject) && f->occurrence == 3;
                std::wstring events = lost ? L"" : kRateLimited;
                if (twice) {
                    events += std::wstring(L"|") + kRateLimited;
                }
                return L"result 0, events " + events + L", stopped";
            }};
}

// ---- The list ---------------------------------------------------------------------------------

const std::vector<Sweep>& AllSweeps() {
    static const std::vector<Sweep> sweeps = {
        LoadSettingsSweep(),
        QuerySpoolerStatusSweep(),
        WaitForSpoolerStateSweep(),
        StopSpoolerSweep(),
        StopSpoolerIgnoredSweep(),
        StartSpoolerSweep(),
        CheckServiceStateSweep(),
        CheckPrintQueuesSweep(),
        CheckPluginSweep(),
        CheckPluginHangingSweep(),
        EvaluateHealthSweep(),
        RunRecoverySweep(),
        StatusSweep(),
        RecoverSweep(),
        InstallSweep(),
        UninstallSweep(),
        ServiceMainSweep(),
        MonitorCycleSweep(),
        MonitorRateLimitSweep(),
    };
    return sweeps;
}

class FaultSweep : public testing::TestWithParam<std::size_t> {};

TEST_P(FaultSweep, EveryCallFailingInTurn) {
    const Sweep& sweep = AllSweeps()[GetParam()];
    SweepTotals totals;
    RunSweep(sweep, totals);
    std::printf("[  sweep   ] %s: %zu injectable calls, %zu faults injected\n", sweep.name.c_str(),
                totals.calls, totals.faults);
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
