// Stopping and starting the Print Spooler, the recovery and "recover" built on them.
#include "app/recover.h"
#include "recovery/recovery.h"
#include "recovery/restart_history.h"
#include "spooler/spool_directory.h"
#include "spooler/spooler_control.h"
#include "tests/support.h"

#include <algorithm>

namespace nimbrel::test {
namespace {

using Texts = std::vector<std::wstring>;

const std::wstring kSpool = L"C:\\Spool";
const std::wstring kStarted = L"W:Recovery started: test";
const std::wstring kStopFailed = L"E:Failed to stop Print Spooler during recovery.";
const std::wstring kFilesLeft = L"W:Some spool files could not be deleted during recovery.";
const std::wstring kStartFailed = L"E:Failed to start Print Spooler during recovery.";
const std::wstring kCompleted = L"I:Print Spooler recovery completed successfully.";

class Recovery : public SimTest {
  protected:
    void SetUp() override { Prepare(); }
    // A spooler that takes 0.7 s to stop and to start; recoveries clear `spool`.
    static void Prepare(const std::wstring& spool = kSpool) {
        Fresh();
        g_Settings.StopTimeoutMs = 2000;
        g_Settings.StartTimeoutMs = 3000;
        CopyText(g_Settings.SpoolDirectory, kSpoolDirectoryCapacity, spool.c_str());
        sim::Spooler().stopPendingMs = 700;
        sim::Spooler().startPendingMs = 700;
    }
    static bool Stop() {
        DependentServices stopped;
        return StopSpooler(&stopped);
    }
    static Texts ArgumentsOf(sim::Op op, std::size_t index) {
        Texts arguments;
        for (const sim::Call& call : sim::CallsOf(op)) {
            arguments.push_back(call.args.at(index));
        }
        return arguments;
    }
};

// Each operation asks for no more rights than it needs (a plain user's).
TEST_F(Recovery, EachSpoolerOperationNeedsOnlyItsOwnRights) {
    const std::pair<DWORD, bool (*)()> cases[] = {
        {SERVICE_QUERY_STATUS, [] { return QuerySpoolerStatus(nullptr, nullptr); }},
        {SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS, Stop},
        {SERVICE_START | SERVICE_QUERY_STATUS, StartSpooler}, // already running (1056) is started
    };
    for (const auto& [rights, operation] : cases) {
        SCOPED_TRACE(rights);
        Prepare();
        sim::Spooler().deniedAccess = ~rights;
        sim::SetManagerRightsDenied(~SC_MANAGER_CONNECT);
        EXPECT_TRUE(operation());
    }
}

// A refusal from a hung spooler goes on to forced termination, or a hang could never be
// repaired; refused while starting, the stop is asked again once the spooler runs.
TEST_F(Recovery, StopWaitsAndForcesOnlyWhatCanBeForced) {
    const struct {
        DWORD state, stopError, terminations;
        std::uint64_t stopPendingMs, runningAfterMs, elapsedMs;
        bool stops;
    } cases[] = {
        {SERVICE_RUNNING, 0, 0, 1200, sim::kNever, 1500, true},
        {SERVICE_STOP_PENDING, ERROR_SERVICE_CANNOT_ACCEPT_CTRL, 1, 0, sim::kNever, 2000, true},
        {SERVICE_RUNNING, ERROR_SERVICE_REQUEST_TIMEOUT, 1, 0, sim::kNever, 2000, true},
        {SERVICE_RUNNING, ERROR_SERVICE_NOT_ACTIVE, 1, 0, sim::kNever, 2000, true},
        {SERVICE_RUNNING, ERROR_ACCESS_DENIED, 0, 0, sim::kNever, 0, false},
        {SERVICE_START_PENDING, 0, 0, 700, 1200, 2500, true},
        {SERVICE_START_PENDING, 0, 1, 700, sim::kNever, 2000, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.state << ", refused with " << c.stopError);
        Prepare();
        sim::SetServiceState(L"Spooler", c.state);
        sim::Spooler().stopError = c.stopError;
        sim::Spooler().stopPendingMs = c.stopPendingMs;
        if (c.runningAfterMs != sim::kNever) {
            sim::After(c.runningAfterMs, [] { sim::SetServiceState(L"Spooler", SERVICE_RUNNING); });
        }
        const DWORD pid = sim::Spooler().pid;
        EXPECT_EQ(c.stops, Stop());
        EXPECT_EQ(c.stops, sim::Spooler().state == SERVICE_STOPPED);
        EXPECT_EQ(c.elapsedMs, sim::ElapsedMs());
        EXPECT_EQ(c.terminations, sim::FindProcess(pid)->terminations);
    }
}

// SeDebugPrivilege is enabled only to end the LocalSystem spooler, then put back.
TEST_F(Recovery, ForcedTerminationEndsEverySpoolerProcessByName) {
    sim::Spooler().stopPendingMs = sim::kNever;
    sim::FindProcess(sim::Spooler().pid)->needsDebugPrivilege = true;
    sim::SetDebugPrivilege(true, false);
    const DWORD upper = sim::AddProcess(L"SPOOLSV.EXE");
    const DWORD other = sim::AddProcess(L"spoolsv.exe.bak");
    const DWORD locked = sim::AddProcess(L"spoolsv.exe", /*canTerminate=*/true, /*canOpen=*/false);
    const DWORD stubborn = sim::AddProcess(L"spoolsv.exe", /*canTerminate=*/false);
    const DWORD last = sim::AddProcess(L"spoolsv.exe");
    const DWORD spooler = sim::Spooler().pid;
    EXPECT_TRUE(Stop());
    EXPECT_FALSE(sim::DebugPrivilegeEnabled());
    for (DWORD pid : {spooler, upper, last}) {
        EXPECT_EQ(1u, sim::FindProcess(pid)->exitCode) << pid;
    }
    for (DWORD pid : {other, locked, stubborn}) {
        EXPECT_TRUE(sim::FindProcess(pid)->running) << pid;
    }
}

// With only a stray one ended, the spooler never shows stopped in the 10 s given.
TEST_F(Recovery, ForcedStopFailsWhenNothingEndsOrTheSpoolerNeverShowsStopped) {
    for (bool stray : {false, true}) {
        Prepare();
        sim::Spooler().stopPendingMs = sim::kNever;
        sim::Spooler().processTerminable = false;
        sim::Spooler().image = stray ? L"spoolhost.exe" : L"spoolsv.exe";
        sim::SetServiceState(L"Spooler", SERVICE_STOPPED); // its process started again as set
        sim::SetServiceState(L"Spooler", SERVICE_RUNNING);
        if (stray) {
            sim::AddProcess(L"spoolsv.exe");
        }
        EXPECT_FALSE(Stop());
        EXPECT_EQ(stray ? 2000u + 10000u : 2000u, sim::ElapsedMs());
    }
}

// A spooler that did not stop is not started over its files. After a name: "!" read-only,
// "#" locked, "@" a link, ">x" listed as x by a hostile file system.
TEST_F(Recovery, WhatARecoveryDeletesLogsAndLeaves) {
    enum Spooler { Ok, StopRefused, StartRefused };
    const std::wstring d250 = L"C:\\" + std::wstring(250, L'd'); // "\\a.SPL" fits, no more
    const struct {
        Spooler spooler;
        Texts files;
        bool filesLeft;
        Texts tried;
        std::wstring folder = kSpool;
    } cases[] = {
        {StopRefused, {L"1.SPL"}, false, {}},
        {Ok,
         {L"7.Spl", L"fp00001.shd", L"notes.txt", L"SPL", L"x.SPLX", L"x.spl.bak",
          L"Dir.SPL\\1.SPL", L"desktop.ini#"},
         false,
         {L"7.Spl", L"fp00001.shd"}},
        {Ok, {L"1.SPL", L"2.SHD!", L"3.SPL#"}, true, {L"1.SPL", L"2.SHD", L"3.SPL"}},
        {Ok,
         {L"ok.SPL", L"Link.SPL@", L"a.SPL>..\\Other\\victim.SPL", L"b.SPL>../Other/victim.SPL",
          L"c.SPL>C:\\Other\\victim.SPL", L"d.SPL>victim.txt:x.SPL",
          L"e.SPL>" + std::wstring(MAX_PATH, L'x')},
         true,
         {L"ok.SPL"}},
        {Ok, {L"a.SPL", L"bb.SPL"}, true, {L"a.SPL"}, d250},
        {StartRefused, {L"1.SPL"}, false, {L"1.SPL"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.files[0]) + " and " + std::to_string(c.files.size() - 1) + " more");
        Prepare(c.folder);
        sim::Spooler().stopError = c.spooler == StopRefused ? ERROR_ACCESS_DENIED : 0;
        sim::Spooler().startError = c.spooler == StartRefused ? ERROR_ACCESS_DENIED : 0;
        sim::AddFile(L"C:\\Other\\victim.SPL");
        std::vector<std::pair<std::wstring, bool>> kept; // each path, and whether it stays
        for (const std::wstring& entry : c.files) {
            const std::size_t end = entry.find_first_of(L"!#@>");
            const WCHAR mark = end == std::wstring::npos ? 0 : entry[end];
            const std::wstring path = c.folder + L"\\" + entry.substr(0, end);
            sim::AddFile(path, mark == L'!'   ? FILE_ATTRIBUTE_READONLY
                               : mark == L'@' ? FILE_ATTRIBUTE_REPARSE_POINT
                                              : FILE_ATTRIBUTE_ARCHIVE);
            sim::FindFile(path)->deleteError = mark == L'#' ? ERROR_SHARING_VIOLATION : 0;
            sim::FindFile(path)->listedName = mark == L'>' ? entry.substr(end + 1) : L"";
            kept.emplace_back(path,
                              mark != 0 || std::count(c.tried.begin(), c.tried.end(), entry) == 0);
        }
        EXPECT_EQ(c.spooler == Ok, RunRecovery(L"test", SpoolFiles::Clear, Counting::Counted) != 0);
        Texts events = {kStarted, c.spooler == Ok            ? kCompleted
                                  : c.spooler == StopRefused ? kStopFailed
                                                             : kStartFailed};
        events.insert(events.end() - 1, c.filesLeft ? 1 : 0, kFilesLeft);
        EXPECT_EQ(events, Logged());
        Texts tried;
        for (const std::wstring& name : c.tried) {
            tried.push_back(c.folder + L"\\" + name);
        }
        EXPECT_EQ(tried, ArgumentsOf(sim::Op::DeleteFileW, 0));
        for (const auto& [path, stays] : kept) {
            EXPECT_EQ(stays, sim::Exists(path)) << Narrow(path);
        }
        EXPECT_TRUE(sim::Exists(L"C:\\Other\\victim.SPL"));
        EXPECT_EQ(1u, g_RestartHistory.count) << "failed or not";
        EXPECT_EQ(c.spooler == StopRefused ? 0u : 1u, sim::Spooler().startRequests);
    }
}

// Dependents stop in the order listed and start again in reverse, even when one will not stop.
TEST_F(Recovery, DependentsAreStoppedFirstAndStartedAgainAfterwards) {
    enum Trouble { None, WontStop, WontStart };
    const std::wstring kNotRestarted =
        L"W:Print Spooler recovered, but the dependent service 'LPDSVC' could not be restarted.";
    struct {
        Trouble trouble; // of LPDSVC, the last
        Texts events;
        std::wstring asked; // to stop, then to start
    } cases[] = {
        {None, {kCompleted}, L"Fax LPDSVC Spooler / Spooler LPDSVC Fax"},
        {WontStop, {kStopFailed}, L"Fax LPDSVC / LPDSVC Fax"},
        {WontStart, {kNotRestarted, kCompleted}, L"Fax LPDSVC Spooler / Spooler LPDSVC Fax"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.trouble);
        Prepare();
        sim::Service& fax = sim::AddDependentService(L"Fax", L"Spooler");
        sim::Service& last = sim::AddDependentService(L"LPDSVC", L"Spooler");
        last.stopPendingMs = c.trouble == WontStop ? sim::kNever : 0;
        last.startError = c.trouble == WontStart ? ERROR_ACCESS_DENIED : 0;
        EXPECT_EQ(c.trouble != WontStop,
                  RunRecovery(L"test", SpoolFiles::Keep, Counting::Uncounted) != 0);
        c.events.insert(c.events.begin(), kStarted);
        EXPECT_EQ(c.events, Logged());
        std::wstring stopped, started;
        for (const sim::Call& call : sim::CallsOf(sim::Op::OpenServiceW)) {
            const DWORD access = std::stoul(call.args.at(2));
            if ((access & (SERVICE_STOP | SERVICE_START)) != 0) {
                ((access & SERVICE_STOP) != 0 ? stopped : started) += call.args.at(1) + L" ";
            }
        }
        EXPECT_EQ(c.asked + L" ", stopped + L"/ " + started);
        EXPECT_EQ(SERVICE_RUNNING, fax.state);
        EXPECT_EQ(c.trouble == None, last.state == SERVICE_RUNNING);
    }
}

// With no folder none is listed: an empty one would make "\\*", the root of the drive.
TEST_F(Recovery, TheSpoolFolderIsTheSettingElseTheSpoolersOwn) {
    const std::wstring printers = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";
    const std::wstring fallback = L"D:\\WINNT\\system32\\spool\\PRINTERS";
    const std::wstring cut = L"C:\\" + std::wstring(250, L's');
    const struct {
        std::wstring setting, configured, system, folder;
    } cases[] = {
        {L"D:\\%Spool%\\", L"E:\\Spool", L"", L"D:\\%Spool%\\"},
        {L"", L"%SystemDrive%\\Spool\\", L"", L"C:\\Spool"},
        {L"", L"E:\\Gone", L"D:\\WINNT\\system32", fallback},
        {L"", L"", cut, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.folder));
        Prepare(c.setting);
        sim::AddFile(L"C:\\Spool\\1.SPL");
        sim::SetSystemDirectory(c.system.empty() ? L"C:\\Windows\\system32" : c.system);
        if (c.configured.empty()) {
            sim::RemoveRegistryKey(printers);
        } else {
            sim::SetRegistryText(printers, L"DefaultSpoolDirectory", c.configured, REG_EXPAND_SZ);
        }
        WCHAR folder[MAX_PATH];
        EXPECT_EQ(!c.folder.empty(), GetSpoolDirectoryInEffect(folder, MAX_PATH) != 0);
        EXPECT_EQ(c.folder, folder);
        EXPECT_TRUE(RunRecovery(L"test", SpoolFiles::Clear, Counting::Uncounted));
        const Texts listed = {c.folder + L"\\*"};
        EXPECT_EQ(c.folder.empty() ? Texts{} : listed, ArgumentsOf(sim::Op::FindFirstFileW, 0));
    }
}

// An event is one string, never read as a format; spool files are kept unless asked.
TEST_F(Recovery, TheReasonReachesTheLogAsItIs) {
    const std::wstring percent = L"Stuck print job on '50%s' (job 3, document: %d%%)";
    sim::AddFile(kSpool + L"\\1.SPL");
    RunRecovery(percent.c_str(), SpoolFiles::Keep, Counting::Uncounted);
    RunRecovery(std::wstring(600, L'r').c_str(), SpoolFiles::Keep, Counting::Uncounted);
    EXPECT_TRUE(sim::Exists(kSpool + L"\\1.SPL"));
    EXPECT_EQ(0u, g_RestartHistory.count);
    ASSERT_EQ(4u, sim::Events().size());
    EXPECT_EQ(L"W:Recovery started: " + percent, Logged()[0]);
    EXPECT_EQ(L"W:Recovery started: " + std::wstring(511 - 18, L'r'), Logged()[2]);
    for (const sim::Event& event : sim::Events()) {
        EXPECT_EQ(L"Nimbrel", event.source);
        EXPECT_EQ(0, event.category + event.eventId + event.dataSize + event.userGiven +
                         event.dataGiven);
        EXPECT_EQ(1u, event.strings.size());
    }
}

// "recover" is not counted against the hourly limit and leaves a disabled spooler alone.
TEST_F(Recovery, RecoverCommandClearsByItsOwnSwitchAndReportsTheOutcome) {
    const struct {
        std::wstring clearOnRecovery, clearOnSchedule;
        DWORD denied, startType;
        const char* output;
    } cases[] = {
        {L"0", L"1", 0, SERVICE_AUTO_START, "Print Spooler recovery completed.\n"},
        {L"1", L"0", 0, SERVICE_DEMAND_START, "Print Spooler recovery completed.\n"},
        {L"1", L"1", SERVICE_STOP, SERVICE_AUTO_START, "Print Spooler recovery failed.\n"},
        {L"1", L"1", 0, SERVICE_DISABLED, "Print Spooler is disabled; recovery skipped.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        Fresh();
        WriteIni(L"Monitor/SpoolDirectory=C:\\Queue\nMonitor/ClearSpoolOnRecovery=" +
                 c.clearOnRecovery + L"\nSchedule/ClearSpoolOnScheduledRestart=" +
                 c.clearOnSchedule);
        sim::AddFile(L"C:\\Queue\\1.SPL");
        sim::Spooler().deniedAccess = c.denied;
        sim::Spooler().startType = c.startType;
        const bool runs = c.startType != SERVICE_DISABLED, repairs = runs && c.denied == 0;
        EXPECT_EQ(repairs ? 0 : 1, RunRecoverCommand());
        EXPECT_EQ(c.output, sim::StdoutBytes());
        EXPECT_EQ(repairs && c.clearOnRecovery == L"1", !sim::Exists(L"C:\\Queue\\1.SPL"));
        const Texts events = {L"W:Recovery started: Manual recovery requested from command line",
                              repairs ? kCompleted : kStopFailed};
        EXPECT_EQ(runs ? events : Texts{}, Logged());
        EXPECT_EQ(repairs ? 1u : 0u, sim::Spooler().stopRequests);
        EXPECT_EQ(0u, g_RestartHistory.count);
    }
}

} // namespace
} // namespace nimbrel::test
