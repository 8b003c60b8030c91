// Systematic fault injection. Every operation that calls the platform is run
// once to learn which injectable calls it makes, then once more for each of
// those calls with that one call failing. Whatever failed, the run must not
// crash, must leave nothing open or allocated, must not misuse the platform,
// must keep LastIssue terminated within its 256 characters, and must end in
// the clean outcome or one of the outcomes documented for the operation;
// which call leads to which is the code's business, not the sweep's.

#include "app/dispatcher.h"
#include "app/install.h"
#include "app/recover.h"
#include "app/status.h"
#include "platform/registry.h"
#include "recovery/recovery.h"
#include "recovery/restart_history.h"
#include "service/metrics.h"
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

struct Sweep {
    std::string name;                  // a test name: letters, digits and '_'
    std::function<void()> arrange;     // the machine and the process before the run
    std::function<std::wstring()> run; // runs the operation, describes its outcome
    std::wstring clean;                // the outcome without a fault
    // Every other outcome a failure may lead to, "{e}" standing for the error
    // number. Each must be seen: an outcome no failure reaches any more is
    // a path of the code the tests lost.
    std::vector<std::wstring> failures;
    std::vector<DWORD> errors = {0}; // the errors of the passes; 0 is the op's realistic error
};

std::wstring Num(std::uint64_t value) {
    return std::to_wstring(value);
}

std::wstring WithError(std::wstring outcome, DWORD error) {
    for (std::size_t at; (at = outcome.find(L"{e}")) != std::wstring::npos;) {
        outcome.replace(at, 3, Num(error));
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

// Whether `outcome` is `clean` with at most one run of characters cut out:
// what a failure inside a benign mark may lose is the one thing its call was
// for (a line, an event, a report, a nicety).
bool CostNoMoreThanItsCall(const std::wstring& clean, const std::wstring& outcome) {
    if (outcome.size() > clean.size()) {
        return false;
    }
    std::size_t head = 0;
    while (head < outcome.size() && outcome[head] == clean[head]) {
        ++head;
    }
    return clean.compare(clean.size() - (outcome.size() - head), std::wstring::npos, outcome,
                         head) == 0;
}

// Runs the operation once without a fault, then once for every injectable
// call it made with that call failing, for each error of the sweep. Returns
// the number of faults injected.
std::size_t RunSweep(const Sweep& sweep, std::size_t& callCount) {
    Arrange(sweep);
    EXPECT_EQ(sweep.clean, sweep.run()) << "the run without a fault";
    ExpectCleanEnd();
    const std::vector<Op> calls = InjectableCalls();
    callCount = calls.size();

    std::vector<bool> seen(sweep.failures.size(), false);
    std::size_t faults = 0;
    for (DWORD error : sweep.errors) {
        for (std::size_t k = 1; k <= calls.size(); ++k) {
            const Op op = calls[k - 1];
            const DWORD failure = error != 0 ? error : sim::RealisticError(op);
            SCOPED_TRACE(testing::Message() << "call " << k << " of " << calls.size() << ": "
                                            << sim::OpName(op) << " failing with " << failure);
            Arrange(sweep);
            sim::SetRecording(false);
            sim::FailNthCall(static_cast<unsigned>(k), error);
            const std::wstring outcome = sweep.run();
            EXPECT_EQ(1u, sim::FaultsFired());
            EXPECT_TRUE(sim::LastFaultOp() == op) << "the run took another path before the fault";
            if (sim::LastFaultBenign()) {
                EXPECT_TRUE(CostNoMoreThanItsCall(sweep.clean, outcome))
                    << "a benign failure changed the outcome: " << Narrow(outcome);
            }
            bool known = outcome == sweep.clean;
            for (std::size_t i = 0; i < sweep.failures.size(); ++i) {
                if (outcome == WithError(sweep.failures[i], failure)) {
                    seen[i] = known = true;
                }
            }
            EXPECT_TRUE(known) << "an outcome no one documented: " << Narrow(outcome);
            ExpectCleanEnd();
            ++faults;
        }
    }
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_TRUE(seen[i]) << "no failure led to: " << Narrow(sweep.failures[i]);
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

// How many settings came from the file and how many by policy.
std::wstring Sources() {
    unsigned file = 0;
    unsigned policy = 0;
    for (std::size_t i = 0; i < SettingCount(); ++i) {
        file += DescribeSetting(i).source == SettingSource::File ? 1 : 0;
        policy += DescribeSetting(i).source == SettingSource::Policy ? 1 : 0;
    }
    return L" | " + Num(file) + L" from the file, " + Num(policy) + L" by policy";
}

// The file's values with CheckIntervalMs (0) and PrinterName (17) set by
// policy; the field `atDefault` at its default (-1: none, 21: all but
// those two), the field `fileOnly` left to the file (-1: none), and how many
// settings are labelled as read from the file.
std::wstring LoadSettingsOutcome(int atDefault, int fileOnly, unsigned fromFile) {
    std::vector<std::wstring> fields = {
        L"7000", L"60000", L"5",         L"0",    L"1000",      L"2000",  L"0",
        L"0",    L"20000", L"7",         L"9000", L"1",         L"6000",  L"3000",
        L"0",    L"1",     L"D:\\Spool", L"Lab",  L"C:\\p.exe", L"03:30", L"Mon,Fri"};
    const std::vector<std::wstring> defaults = Fields(kDefaultSettings);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if ((atDefault == 21 && i != 0 && i != 17) || static_cast<std::size_t>(atDefault) == i) {
            fields[i] = defaults[i];
        }
    }
    if (fileOnly >= 0) {
        fields[static_cast<std::size_t>(fileOnly)] = fileOnly == 0 ? L"5000" : L"Office";
    }
    const unsigned byPolicy = fileOnly >= 0 ? 1 : 2;
    return Joined(fields, L";") + L" | " + Num(fromFile) + L" from the file, " + Num(byPolicy) +
           L" by policy";
}

// A number that cannot be read keeps its label; a text that cannot be read
// is its default, labelled as from the file unless that is empty; a
// section's key names that cannot be listed cost its keys their label, but
// for those set by policy; a policy that cannot be read leaves the file's.
std::vector<std::wstring> LoadSettingsFailures() {
    const std::vector<std::wstring> defaults = Fields(kDefaultSettings);
    std::vector<std::wstring> outcomes = {LoadSettingsOutcome(21, -1, 0)};
    for (int i = 1; i < 21; ++i) {
        if (i != 17) {
            outcomes.push_back(
                LoadSettingsOutcome(i, -1, i >= 16 && defaults[i].empty() ? 18 : 19));
        }
    }
    for (unsigned keys : {4, 3, 8, 4}) {
        outcomes.push_back(LoadSettingsOutcome(-1, -1, 19 - keys));
    }
    outcomes.push_back(LoadSettingsOutcome(-1, 0, 20));
    outcomes.push_back(LoadSettingsOutcome(-1, 17, 20));
    return outcomes;
}

// Without the executable's path no key is read from the file; policies are.
Sweep LoadSettingsSweep() {
    return {
        "LoadSettings",
        [] {
            sim::SetFileText(kIniPath, kFullIni);
            const std::wstring policies = L"SOFTWARE\\Policies\\Nimbrel\\";
            for (const wchar_t* section : {L"Monitor", L"Recovery", L"HealthCheck", L"Schedule"}) {
                sim::AddRegistryKey(policies + section);
            }
            sim::SetRegistryNumber(policies + L"Monitor", L"CheckIntervalMs", 7000);
            sim::SetRegistryText(policies + L"HealthCheck", L"PrinterName", L"Lab");
        },
        [] {
            LoadSettings();
            return Joined(Fields(Settings), L";") + Sources();
        },
        LoadSettingsOutcome(-1, -1, 19), LoadSettingsFailures()};
}

// ---- Registry -------------------------------------------------------------------------

// A text, a number and the text's expansion: a read whose call fails gives
// nothing, never a part.
Sweep RegistryReadsSweep() {
    static constexpr wchar_t kKey[] = L"SOFTWARE\\Policies\\Nimbrel\\Monitor";
    return {"RegistryReads",
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
                return Num(read) + L" read: '" + text + L"', " + Num(number) + L", '" + expanded +
                       L"'";
            },
            L"3 read: '%SystemDrive%\\Spool', 5000, 'C:\\Spool'",
            {L"2 read: '', 5000, ''", L"2 read: '%SystemDrive%\\Spool', 0, 'C:\\Spool'",
             L"2 read: '%SystemDrive%\\Spool', 5000, ''"}};
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
    DependentServices stopped;
    const int result = StopSpooler(&stopped);
    return StopOutcome(result, sim::Spooler().state, SpoolerProcessesKilled());
}

// The start type: any failure gives 0 and leaves it as it was.
Sweep QuerySpoolerStartTypeSweep() {
    return {"QuerySpoolerStartType",
            [] { sim::Spooler().startType = SERVICE_DISABLED; },
            [] {
                DWORD startType = 9;
                const int result = QuerySpoolerStartType(&startType);
                return Result(result) + L", " + StartTypeName(startType);
            },
            L"result 1, Disabled",
            {L"result 0, Unknown"}};
}

// The spooler's folder moved to E:\Spool: a read that fails leaves the
// system's folder, except a folder that cannot be looked at but is not known
// to be missing.
Sweep SpoolDirectoryInEffectSweep() {
    return {"SpoolDirectoryInEffect",
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
            L"result 1, E:\\Spool",
            {L"result 1, C:\\Windows\\system32\\spool\\PRINTERS"},
            {0, ERROR_FILE_NOT_FOUND}};
}

// One query: any failure gives 0, with both outputs 0.
Sweep QuerySpoolerStatusSweep() {
    return {"QuerySpoolerStatus",
            [] {},
            [] {
                DWORD state = 9;
                DWORD pid = 9;
                const int result = QuerySpoolerStatus(&state, &pid);
                return Result(result) + L", " + StateName(state) + L", pid " + Num(pid);
            },
            L"result 1, running, pid 1000",
            {L"result 0, none, pid 0"}};
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
            L"result 1 after 1500 ms",
            {L"result 0 after 0 ms", L"result 0 after 500 ms", L"result 0 after 1000 ms",
             L"result 0 after 1500 ms"}};
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
            L"result 1, 1 start accepted",
            {L"result 0, 0 start accepted", L"result 0, 1 start accepted"},
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
                // Both spooler processes are LocalSystem's: opened only with
                // SeDebugPrivilege, which the token holds disabled.
                sim::FindProcess(sim::AddProcess(L"SPOOLSV.EXE"))->needsDebugPrivilege = true;
                sim::FindProcess(sim::Spooler().pid)->needsDebugPrivilege = true;
                sim::SetDebugPrivilege(true, false);
            },
            StopObserved,
            StopOutcome(1, SERVICE_STOPPED, 2),
            {StopOutcome(0, SERVICE_RUNNING, 0), StopOutcome(0, SERVICE_STOP_PENDING, 0),
             StopOutcome(0, SERVICE_STOP_PENDING, 1), StopOutcome(1, SERVICE_STOPPED, 1),
             StopOutcome(0, SERVICE_STOPPED, 2)},
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
    return {"CheckServiceState",
            [] { sim::SetServiceState(L"Spooler", SERVICE_START_PENDING); },
            [] {
                const int result = CheckServiceState();
                return CheckObserved(result) + L", watching " + StateName(PendingWatch.state);
            },
            CheckOutcome(1, L"") + L", watching start-pending",
            {CheckOutcome(0, kUnableToQuery) + L", watching none"}};
}

void PrinterWithJob(const wchar_t* printer, DWORD id, const wchar_t* document, std::int64_t age) {
    sim::AddPrinter(printer);
    sim::AddJob(printer, id, document, JOB_STATUS_PRINTING, sim::UtcSystemTime(age));
}

// Printer A holds a job printing for 10 s, printer B one printing for an
// hour. The check fails open: whatever keeps it from reading a queue is
// healthy (no worker to ask, a wait for it that failed among them); an
// unreadable submission time makes that job the oldest.
Sweep CheckPrintQueuesSweep() {
    return {"CheckPrintQueues",
            [] {
                PrinterWithJob(L"A", 3, L"letter.doc", 10);
                PrinterWithJob(L"B", 7, L"report.pdf", 3600);
            },
            [] {
                const int verdict = CheckPrintQueues();
                ReleaseQueueWorker(); // one whose wait failed
                return CheckObserved(verdict);
            },
            CheckOutcome(0, kStuckB),
            {CheckOutcome(1, kUnableToQuery), CheckOutcome(1, L""), CheckOutcome(0, kStuckA)}};
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
// that cannot be read counts as 1; the plugin runs without its job when the
// job cannot be had, and whatever fails, nothing of it is left running.
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
            PluginOutcome(runMs == sim::kNever ? kTimedOut
                                               : L"Plugin health check failed (exit code 2)"),
            runMs == sim::kNever
                ? std::vector<std::wstring>{PluginOutcome(kNotFound, false),
                                            PluginOutcome(kLaunchFailed)}
                : std::vector<std::wstring>{PluginOutcome(kNotFound, false),
                                            PluginOutcome(kLaunchFailed), PluginOutcome(kTimedOut),
                                            PluginOutcome(
                                                L"Plugin health check failed (exit code 1)")}};
}

// The three checks in a row: a running spooler, printer A with a fresh job
// and a batch plugin that exits with 0. The verdict's own state query fails
// closed; the queue check's gate and its printer calls fail open (the gate's
// text stays behind the healthy verdict); an unreadable submission time makes
// the job stuck; the plugin's calls fail as they do in that check alone.
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
                ReleaseQueueWorker(); // one whose wait failed
                return CheckObserved(verdict);
            },
            CheckOutcome(1, L""),
            {CheckOutcome(0, kUnableToQuery), CheckOutcome(1, kUnableToQuery),
             CheckOutcome(0, kStuckA), CheckOutcome(0, kNotFound), CheckOutcome(0, kLaunchFailed),
             CheckOutcome(0, kTimedOut),
             CheckOutcome(0, L"Plugin health check failed (exit code 1)")}};
}

// ---- Recovery ------------------------------------------------------------------------------

constexpr wchar_t kStarted[] = L"W:Recovery started: ";
constexpr wchar_t kStopFailed[] = L"E:Failed to stop Print Spooler during recovery.";
constexpr wchar_t kFilesLeft[] = L"W:Some spool files could not be deleted during recovery.";
constexpr wchar_t kStartFailed[] = L"E:Failed to start Print Spooler during recovery.";
constexpr wchar_t kCompleted[] = L"I:Print Spooler recovery completed successfully.";
constexpr wchar_t kStartedTest[] = L"W:Recovery started: test";

// What a recovery ends with: its result, its events, the spool files it
// left; it is recorded whatever its outcome.
std::wstring RecoveryOutcome(int result, const std::vector<std::wstring>& events, unsigned kept) {
    return Result(result) + L", events " + Joined(events) + L", " + Num(kept) +
           L" files kept, 1 recorded";
}

// The spooler stops and starts in 0.7 s each; the spool folder holds two
// files and a sub-folder with a file, which stays whatever fails.
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
                int result = RunRecovery(L"test", SpoolFiles::Clear, Counting::Counted);
                const unsigned kept = (sim::Exists(L"C:\\Spool\\1.SHD") ? 1 : 0) +
                                      (sim::Exists(L"C:\\Spool\\1.SPL") ? 1 : 0);
                return Result(result) + L", events " + Joined(Logged()) + L", " + Num(kept) +
                       L" files kept" +
                       (sim::Exists(L"C:\\Spool\\Sub\\2.SPL") ? L"" : L", the sub-folder emptied") +
                       L", " + Num(RestartHistory.count) + L" recorded";
            },
            RecoveryOutcome(1, {kStartedTest, kCompleted}, 0),
            {RecoveryOutcome(1, {kCompleted}, 0), RecoveryOutcome(1, {kStartedTest}, 0),
             RecoveryOutcome(0, {kStartedTest, kStopFailed}, 2),
             RecoveryOutcome(1, {kStartedTest, kCompleted}, 2),
             RecoveryOutcome(1, {kStartedTest, kCompleted}, 1),
             RecoveryOutcome(1, {kStartedTest, kFilesLeft, kCompleted}, 1),
             RecoveryOutcome(0, {kStartedTest, kStartFailed}, 0)}};
}

// A recovery with the dependent "Fax": its result, events, and both states.
std::wstring DependentOutcome(int result, const std::vector<std::wstring>& events, DWORD spooler,
                              DWORD fax) {
    return Result(result) + L", events " + Joined(events) + L", spooler " + StateName(spooler) +
           L", Fax " + StateName(fax);
}

constexpr wchar_t kFaxNotRestarted[] =
    L"W:Print Spooler recovered, but the dependent service 'Fax' could not be restarted.";

// The spooler with one running dependent, "Fax", both stopping and starting
// at once, and no clearing. A dependent that cannot be listed is not
// stopped, and then the spooler refuses to stop (1051); one that cannot be
// stopped fails the stop, and one that cannot be started again is warned
// about; whatever fails, nothing that ran is left stopped but by the failed
// step itself.
Sweep RunRecoveryWithDependentSweep() {
    return {"RunRecovery_WithDependent",
            [] {
                Settings.StopTimeoutMs = 3000;
                Settings.StartTimeoutMs = 3000;
                sim::AddDependentService(L"Fax", L"Spooler");
            },
            [] {
                const int result = RunRecovery(L"test", SpoolFiles::Keep, Counting::Uncounted);
                return Result(result) + L", events " + Joined(Logged()) + L", spooler " +
                       StateName(sim::Spooler().state) + L", Fax " +
                       StateName(sim::FindService(L"Fax")->state);
            },
            DependentOutcome(1, {kStartedTest, kCompleted}, SERVICE_RUNNING, SERVICE_RUNNING),
            {DependentOutcome(1, {kCompleted}, SERVICE_RUNNING, SERVICE_RUNNING),
             DependentOutcome(1, {kStartedTest}, SERVICE_RUNNING, SERVICE_RUNNING),
             DependentOutcome(0, {kStartedTest, kStopFailed}, SERVICE_RUNNING, SERVICE_RUNNING),
             DependentOutcome(0, {kStartedTest, kStopFailed}, SERVICE_STOPPED, SERVICE_RUNNING),
             DependentOutcome(0, {kStartedTest, kStartFailed}, SERVICE_STOPPED, SERVICE_STOPPED),
             DependentOutcome(0, {kStartedTest, kStartFailed}, SERVICE_RUNNING, SERVICE_STOPPED),
             DependentOutcome(1, {kStartedTest, kFaxNotRestarted, kCompleted}, SERVICE_RUNNING,
                              SERVICE_STOPPED),
             DependentOutcome(1, {kStartedTest, kFaxNotRestarted, kCompleted}, SERVICE_RUNNING,
                              SERVICE_RUNNING)}};
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
            CommandOutcome(0, L"Print Spooler recovery completed.\n"),
            {CommandOutcome(1, L"Print Spooler recovery failed.\n"), CommandOutcome(0, L"")}};
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
    return {"StatusCommand",
            [] { PrinterWithJob(L"A", 3, L"letter.doc", 10); },
            [] { return CommandObserved(RunStatusCommand()); },
            Report(true, true, true),
            {CommandOutcome(1, L"Unable to query Print Spooler status.\n"),
             Report(false, true, true), Report(true, false, true),
             Report(true, true, false, kUnableToQuery), Report(true, true, true, kUnableToQuery),
             Report(true, true, false, kStuckA), Report(true, true, true, L"", 1),
             Report(true, true, true, L"", 2), Report(true, true, true, L"", 3),
             Report(true, true, true, L"", 4), Report(true, true, true, L"", 5),
             Report(true, true, true, L"", 6), Report(true, true, true, L"", 7),
             Report(true, true, true, L"", 8)}};
}

std::wstring Installed() {
    return CommandOutcome(0, L"Service installed successfully.\n") + L", installed";
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
            Installed() + L", described, restarts, on errors",
            {CommandOutcome(1, L"OpenSCManager failed: {e}\n") + L", not installed",
             CommandOutcome(1, L"GetModuleFileName failed: {e}\n") + L", not installed",
             CommandOutcome(1, L"CreateService failed: {e}\n") + L", not installed",
             Installed() + L", restarts, on errors", Installed() + L", described, on errors",
             Installed() + L", described, restarts",
             CommandOutcome(0, L"") + L", installed, described, restarts, on errors"},
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
                return CommandOutcome(exitCode, sim::ConsoleText() + Wide(sim::StdoutBytes())) +
                       (sim::FindService(L"Nimbrel") ? L", installed" : L", removed");
            },
            CommandOutcome(0, L"Service uninstalled successfully.\n") + L", removed",
            {CommandOutcome(1, L"OpenSCManager failed: {e}\n") + L", installed",
             CommandOutcome(0, L"OpenService failed: {e}\n") + L", installed",
             CommandOutcome(0, L"DeleteService failed: {e}\n") + L", installed",
             CommandOutcome(0, L"") + L", removed"},
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
const std::wstring kBothEvents = std::wstring(kServiceStarted) + L"|" + kServiceStopped;

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
            ServiceOutcome(L"2,4,3,1", kBothEvents),
            {L"exit 1, output 'StartServiceCtrlDispatcher failed: {e}\n', reports , events ",
             ServiceOutcome(L"", L""), ServiceOutcome(L"4,3,1", kBothEvents),
             ServiceOutcome(L"2,3,1", kBothEvents), ServiceOutcome(L"2,4,1", kBothEvents),
             ServiceOutcome(L"2,4,3", kBothEvents), ServiceOutcome(L"2,1(exit {e})", L""),
             ServiceOutcome(L"2,4,1(exit {e})", kBothEvents),
             ServiceOutcome(L"2,4,3,1", kServiceStopped),
             ServiceOutcome(L"2,4,3,1", kServiceStarted),
             ServiceOutcome(L"2,4,3,1", std::wstring(kServiceStarted) + L"|" + kStarted +
                                            L"Automatic recovery: " + kUnableToQuery + L"|" +
                                            kCompleted + L"|" + kServiceStopped)}};
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
// interval's: failed, it is no stop, and the next cycle, at once, refuses
// again without a second warning.
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
            L"result 0, events " + std::wstring(kRateLimited) + L", stopped",
            {L"result 0, events , stopped"}};
}

// ---- Metrics --------------------------------------------------------------------------

// The file as a monitoring agent finds it: its spooler state line, or none.
std::wstring MetricsOutcome() {
    const std::string text = sim::FileBytes(L"C:\\Metrics\\nimbrel.prom");
    const std::size_t at = text.find("\nnimbrel_spooler_state ");
    const std::wstring file =
        at == std::string::npos ? L"no file" : L"state " + Wide(text.substr(at + 23, 1));
    return file + L", " + Num(sim::Listing(L"C:\\Metrics").size()) + L" in the folder, events " +
           Joined(Logged());
}

// A spooler state that cannot be read is written as 0; a file that cannot
// be written, or put in place, leaves nothing behind and is logged.
Sweep MetricsSweep() {
    return {"WriteMetrics",
            [] {
                sim::AddFolder(L"C:\\Metrics");
                CopyText(Settings.MetricsFile, kMetricsFileCapacity, L"C:\\Metrics\\nimbrel.prom");
            },
            [] {
                WriteMetrics(15);
                return MetricsOutcome();
            },
            L"state 4, 1 in the folder, events ",
            {L"state 0, 1 in the folder, events ",
             L"no file, 0 in the folder, events W:Unable to write the metrics file "
             L"C:\\Metrics\\nimbrel.prom: error {e}."}};
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
        RunRecoveryWithDependentSweep(),
        RecoverCommandSweep(),
        StatusSweep(),
        InstallSweep(),
        UninstallSweep(),
        ServiceMainSweep(),
        MonitorRateLimitSweep(),
        MetricsSweep()};
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
