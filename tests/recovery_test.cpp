// Stopping (by force when it must be) and starting the Print Spooler, the
// recovery built on them, the "recover" command, and what they log. Failing
// platform calls are the fault sweep's.

#include "app/recover.h"
#include "recovery/recovery.h"
#include "recovery/restart_history.h"
#include "spooler/spool_directory.h"
#include "spooler/spooler_control.h"
#include "tests/support.h"

#include <algorithm>
#include <functional>

namespace nimbrel::test {
namespace {

using Texts = std::vector<std::wstring>;

const std::wstring kStarted = L"W:Recovery started: test";
const std::wstring kStopFailed = L"E:Failed to stop Print Spooler during recovery.";
const std::wstring kFilesLeft = L"W:Some spool files could not be deleted during recovery.";
const std::wstring kStartFailed = L"E:Failed to start Print Spooler during recovery.";
const std::wstring kCompleted = L"I:Print Spooler recovery completed successfully.";

class Recovery : public SimTest {
  protected:
    void SetUp() override { Prepare(); }
    // A fresh machine whose spooler takes 0.7 s to stop and to start, and
    // whose recoveries clear `spool`.
    static void Prepare(const std::wstring& spool = L"C:\\Spool") {
        Fresh();
        Settings.StopTimeoutMs = 2000;
        Settings.StartTimeoutMs = 3000;
        CopyText(Settings.SpoolDirectory, kSpoolDirectoryCapacity, spool.c_str());
        sim::Spooler().stopPendingMs = 700;
        sim::Spooler().startPendingMs = 700;
    }
    static std::wstring In(const std::wstring& name) { return L"C:\\Spool\\" + name; }
    static int Stop() {
        DependentServices stopped;
        return StopSpooler(&stopped);
    }
    static unsigned Terminations() {
        unsigned count = 0;
        for (const sim::Process& process : sim::Processes()) {
            count += process.terminations;
        }
        return count;
    }
};

// Each operation asks for no more than it needs: with only those rights
// granted, and only the connection to the service manager, it still works.
TEST_F(Recovery, EachSpoolerOperationNeedsOnlyItsOwnRights) {
    const std::pair<DWORD, int (*)()> cases[] = {
        {SERVICE_QUERY_STATUS, [] { return QuerySpoolerStatus(nullptr, nullptr); }},
        {SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS, Stop},
        {SERVICE_START | SERVICE_QUERY_STATUS,
         [] {
             sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
             return StartSpooler();
         }},
    };
    for (const auto& [rights, operation] : cases) {
        SCOPED_TRACE(rights);
        Prepare();
        sim::Spooler().deniedAccess = ~rights;
        sim::SetManagerRightsDenied(~SC_MANAGER_CONNECT);
        EXPECT_EQ(1, operation());
    }
}

// A spooler that stops within StopTimeoutMs is left alone. A stop refused by
// a spooler hung in a pending state (1061, 1053) or not running (1062) goes
// on to the wait and then to forced termination, or a hang could never be
// repaired; any other refusal ends the stop at once. Refused while starting,
// the stop is asked again once the spooler runs, and then nothing is forced.
TEST_F(Recovery, StopWaitsAndForcesOnlyWhatCanBeForced) {
    const struct {
        DWORD state, stopError;
        std::uint64_t stopPendingMs, runningAfterMs;
        int result;
        std::uint64_t elapsedMs;
        unsigned terminations;
    } cases[] = {
        {SERVICE_RUNNING, 0, 1200, sim::kNever, 1, 1500, 0},
        {SERVICE_STOP_PENDING, ERROR_SERVICE_CANNOT_ACCEPT_CTRL, 0, sim::kNever, 1, 2000, 1},
        {SERVICE_RUNNING, ERROR_SERVICE_REQUEST_TIMEOUT, 0, sim::kNever, 1, 2000, 1},
        {SERVICE_RUNNING, ERROR_SERVICE_NOT_ACTIVE, 0, sim::kNever, 1, 2000, 1},
        {SERVICE_RUNNING, ERROR_ACCESS_DENIED, 0, sim::kNever, 0, 0, 0},
        {SERVICE_START_PENDING, 0, 700, 1200, 1, 2500, 0},
        {SERVICE_START_PENDING, 0, 700, sim::kNever, 1, 2000, 1},
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
        EXPECT_EQ(c.result, Stop());
        EXPECT_EQ(c.result == 1, sim::Spooler().state == SERVICE_STOPPED);
        EXPECT_EQ(c.elapsedMs, sim::ElapsedMs());
        EXPECT_EQ(c.terminations, Terminations());
    }
}

// Forced termination ends every process whose image is "spoolsv.exe" in any
// ASCII case, passing over those it cannot open or end. The spooler runs as
// LocalSystem: an administrator's token opens its process only with
// SeDebugPrivilege, enabled for the termination and then put back.
TEST_F(Recovery, ForcedTerminationEndsEverySpoolerProcessByName) {
    sim::Spooler().stopPendingMs = sim::kNever;
    sim::FindProcess(sim::Spooler().pid)->needsDebugPrivilege = true;
    sim::SetDebugPrivilege(true, false);
    const DWORD upper = sim::AddProcess(L"SPOOLSV.EXE");
    const DWORD other = sim::AddProcess(L"spoolsv.exe.bak");
    const DWORD locked = sim::AddProcess(L"spoolsv.exe", /*canTerminate=*/true, /*canOpen=*/false);
    const DWORD stubborn = sim::AddProcess(L"spoolsv.exe", /*canTerminate=*/false);
    const DWORD last = sim::AddProcess(L"spoolsv.exe"); // behind those passed over
    const DWORD spooler = sim::Spooler().pid;
    EXPECT_EQ(1, Stop());
    EXPECT_FALSE(sim::DebugPrivilegeEnabled());
    for (DWORD pid : {spooler, upper, last}) {
        EXPECT_FALSE(sim::FindProcess(pid)->running) << pid;
        EXPECT_EQ(1u, sim::FindProcess(pid)->exitCode) << pid;
    }
    for (DWORD pid : {other, locked, stubborn}) {
        EXPECT_TRUE(sim::FindProcess(pid)->running) << pid;
    }
}

// With no process ended there is no second wait; with only a stray one
// ended, the service's own process (of another image) keeps it from showing
// stopped within the 10 s of the second wait.
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
        EXPECT_EQ(0, Stop());
        EXPECT_EQ(stray ? 2000u + 10000u : 2000u, sim::ElapsedMs());
    }
}

// A start waits for the running state, querying at once and then after every
// 500 ms pause, and measures its time by the tick's unsigned difference; a
// spooler already running (1056) is started; one that stops again after
// starting fails after the whole wait.
TEST_F(Recovery, StartWaitsForTheRunningState) {
    const struct {
        DWORD state;
        bool failsToRun;
        int result;
        std::uint64_t elapsedMs;
    } cases[] = {
        {SERVICE_STOPPED, false, 1, 1000},
        {SERVICE_RUNNING, false, 1, 0},
        {SERVICE_STOPPED, true, 0, 3000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.elapsedMs);
        Prepare();
        sim::SetTick(0xFFFFFE00u);
        sim::SetServiceState(L"Spooler", c.state);
        sim::Spooler().startFailsToRun = c.failsToRun;
        EXPECT_EQ(c.result, StartSpooler());
        EXPECT_EQ(c.elapsedMs, sim::ElapsedMs());
    }
}

// Only spool files directly in the folder are deleted, and a spooler that
// did not stop is not started over its files. A recovery asked to be counted
// is, failed or not. File names ending in "!" are read-only, in "#" locked.
TEST_F(Recovery, EventsAndEffectsOfEveryOutcome) {
    enum Spooler { Cooperative, StopRefused, StartRefused };
    const struct {
        Spooler spooler;
        Texts files; // in C:\Spool
        int result;
        Texts events, deleted;
    } cases[] = {
        {StopRefused, {L"1.SPL"}, 0, {kStarted, kStopFailed}, {}},
        {Cooperative,
         {L"7.Spl", L"fp00001.shd", L"notes.txt", L"SPL", L"x.SPLX", L"x.spl.bak",
          L"Dir.SPL\\1.SPL", L"desktop.ini#"},
         1,
         {kStarted, kCompleted},
         {L"7.Spl", L"fp00001.shd"}},
        {Cooperative,
         {L"1.SPL", L"2.SHD!", L"3.SPL#"},
         1,
         {kStarted, kFilesLeft, kCompleted},
         {L"1.SPL"}},
        {StartRefused, {L"1.SPL"}, 0, {kStarted, kStartFailed}, {L"1.SPL"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.spooler << ", " << c.files.size() << " files");
        Prepare();
        sim::Spooler().stopError = c.spooler == StopRefused ? ERROR_ACCESS_DENIED : 0;
        sim::Spooler().startError = c.spooler == StartRefused ? ERROR_ACCESS_DENIED : 0;
        Texts left;
        for (std::wstring file : c.files) {
            const WCHAR mark = file.back();
            if (mark == L'!' || mark == L'#') {
                file.pop_back();
            }
            sim::AddFile(In(file), mark == L'!' ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_ARCHIVE);
            sim::FindFile(In(file))->deleteError = mark == L'#' ? ERROR_SHARING_VIOLATION : 0;
            if (std::count(c.deleted.begin(), c.deleted.end(), file) == 0) {
                left.push_back(file);
            }
        }
        EXPECT_EQ(c.result, RunRecovery(L"test", SpoolFiles::Clear, Counting::Counted));
        EXPECT_EQ(c.events, Logged());
        Texts deleted;
        for (const std::wstring& file : c.deleted) {
            deleted.push_back(In(file));
        }
        EXPECT_EQ(deleted, sim::DeletedFiles());
        for (const std::wstring& file : left) {
            EXPECT_TRUE(sim::Exists(In(file))) << Narrow(file);
        }
        EXPECT_EQ(1u, RestartHistory.count) << "failed or not";
        EXPECT_EQ(c.spooler == StopRefused ? 0u : 1u, sim::Spooler().startRequests);
    }
}

// The spooler's running dependents are stopped before it, in the order the
// service manager lists them, and started again after it in the reverse
// order. One that will not stop fails the stop, and the ones already
// stopped are started again; one that will not start again is warned about.
TEST_F(Recovery, DependentsAreStoppedFirstAndStartedAgainAfterwards) {
    enum Trouble { None, WontStop, WontStart };
    const struct {
        Trouble trouble; // of LPDSVC, the last
        int result;
        Texts events, stopped, started; // services asked, in order
    } cases[] = {
        {None,
         1,
         {kStarted, kCompleted},
         {L"Fax", L"LPDSVC", L"Spooler"},
         {L"Spooler", L"LPDSVC", L"Fax"}},
        {WontStop, 0, {kStarted, kStopFailed}, {L"Fax", L"LPDSVC"}, {L"LPDSVC", L"Fax"}},
        {WontStart,
         1,
         {kStarted,
          L"W:Print Spooler recovered, but the dependent service 'LPDSVC' could not be restarted.",
          kCompleted},
         {L"Fax", L"LPDSVC", L"Spooler"},
         {L"Spooler", L"LPDSVC", L"Fax"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.trouble);
        Prepare();
        sim::Service& fax = sim::AddDependentService(L"Fax", L"Spooler");
        sim::Service& last = sim::AddDependentService(L"LPDSVC", L"Spooler");
        last.stopPendingMs = c.trouble == WontStop ? sim::kNever : 0;
        last.startError = c.trouble == WontStart ? ERROR_ACCESS_DENIED : 0;
        EXPECT_EQ(c.result, RunRecovery(L"test", SpoolFiles::Keep, Counting::Uncounted));
        EXPECT_EQ(c.events, Logged());
        Texts stopped, started;
        for (const sim::Call& call : sim::CallsOf(sim::Op::OpenServiceW)) {
            const DWORD access = std::stoul(call.args.at(2));
            if ((access & SERVICE_STOP) != 0) {
                stopped.push_back(call.args.at(1));
            } else if ((access & SERVICE_START) != 0) {
                started.push_back(call.args.at(1));
            }
        }
        EXPECT_EQ(c.stopped, stopped);
        EXPECT_EQ(c.started, started);
        EXPECT_EQ(SERVICE_RUNNING, fax.state);
        EXPECT_EQ(c.trouble == None, last.state == SERVICE_RUNNING);
    }
}

// What cannot be deleted safely (a link, a name that would reach elsewhere,
// a path that would be cut) is left and warned about.
TEST_F(Recovery, DeletesOnlyByAPathThatNamesTheEntryListed) {
    auto clear = [](const Texts& attempts) {
        EXPECT_EQ(1, RunRecovery(L"test", SpoolFiles::Clear, Counting::Uncounted));
        Texts tried;
        for (const sim::Call& call : sim::CallsOf(sim::Op::DeleteFileW)) {
            tried.push_back(call.args.at(0));
        }
        EXPECT_EQ(attempts, tried);
        EXPECT_EQ(3u, sim::Events().size()) << "the warning";
    };
    sim::AddFile(In(L"Link.SPL"), FILE_ATTRIBUTE_REPARSE_POINT);
    clear({});

    // Names reported by a broken or hostile file system for files of the folder.
    Prepare();
    sim::AddFile(L"C:\\Other\\victim.SPL");
    const std::wstring names[] = {L"..\\Other\\victim.SPL", L"../Other/victim.SPL",
                                  L"C:\\Other\\victim.SPL", L"victim.txt:x.SPL",
                                  std::wstring(MAX_PATH, L'x')};
    for (std::size_t i = 0; i < std::size(names); ++i) {
        sim::AddFile(In(L"h" + std::to_wstring(i) + L".SPL"));
        sim::FindFile(In(L"h" + std::to_wstring(i) + L".SPL"))->listedName = names[i];
    }
    sim::AddFile(In(L"ok.SPL"));
    clear({In(L"ok.SPL")});
    EXPECT_TRUE(sim::Exists(L"C:\\Other\\victim.SPL"));

    const std::wstring d250 = L"C:\\" + std::wstring(250, L'd'); // a path of 259 fits
    Prepare(d250);
    sim::AddFile(d250 + L"\\a.SPL");
    sim::AddFile(d250 + L"\\bb.SPL");
    clear({d250 + L"\\a.SPL"});
}

// The folder a recovery clears: the setting as written; else the spooler's
// own, when it names a folder by its full path that is not missing; else the
// one in the system folder that Windows reports; else none, and none listed
// (an empty one would make "\*", the root of the current drive).
TEST_F(Recovery, TheSpoolFolderIsTheSettingElseTheSpoolersOwn) {
    const std::wstring printers = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";
    const std::wstring fallback = L"C:\\Windows\\system32\\spool\\PRINTERS";
    const struct {
        std::wstring setting, configured, system, folder;
    } cases[] = {
        {L"D:\\%Spool%\\", L"E:\\Spool", L"", L"D:\\%Spool%\\"},
        {L"", L"E:\\Spool\\", L"", L"E:\\Spool"},
        {L"", L"%SystemDrive%\\Spool", L"", L"C:\\Spool"},
        {L"", L"E:\\Gone", L"", fallback},
        {L"", L"Spool", L"", fallback},
        {L"", L"", L"D:\\WINNT\\system32", L"D:\\WINNT\\system32\\spool\\PRINTERS"},
        {L"", L"", L"C:\\" + std::wstring(250, L's'), L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.folder));
        Prepare(c.setting);
        sim::AddFile(L"E:\\Spool\\1.SPL");
        sim::AddFile(L"C:\\Spool\\1.SPL");
        if (c.configured.empty()) {
            sim::RemoveRegistryKey(printers);
            sim::SetSystemDirectory(c.system);
        } else {
            sim::SetRegistryText(printers, L"DefaultSpoolDirectory", c.configured, REG_EXPAND_SZ);
        }
        WCHAR folder[MAX_PATH];
        EXPECT_EQ(c.folder.empty() ? 0 : 1, GetSpoolDirectoryInEffect(folder, MAX_PATH));
        EXPECT_EQ(c.folder, folder);
        EXPECT_EQ(1, RunRecovery(L"test", SpoolFiles::Clear, Counting::Uncounted));
        const auto listed = sim::CallsOf(sim::Op::FindFirstFileW);
        ASSERT_EQ(c.folder.empty() ? 0u : 1u, listed.size());
        EXPECT_TRUE(c.folder.empty() || listed[0].args.at(0) == c.folder + L"\\*");
    }
}

// An event is one string under the source "Nimbrel", without category, id
// or data, never read as a format; the reason is whole up to 511 characters.
// Spool files are kept, and the recovery not counted, unless asked.
TEST_F(Recovery, TheReasonReachesTheLogAsItIs) {
    const std::wstring percent = L"Stuck print job on '50%s' (job 3, document: %d%%)";
    sim::AddFile(In(L"1.SPL"));
    RunRecovery(percent.c_str(), SpoolFiles::Keep, Counting::Uncounted);
    RunRecovery(std::wstring(600, L'r').c_str(), SpoolFiles::Keep, Counting::Uncounted);
    EXPECT_TRUE(sim::Exists(In(L"1.SPL"))) << "kept when asked";
    EXPECT_EQ(0u, RestartHistory.count) << "counted only when asked";
    ASSERT_EQ(4u, sim::Events().size());
    EXPECT_EQ(L"W:Recovery started: " + percent, Logged()[0]);
    EXPECT_EQ(L"W:Recovery started: " + std::wstring(511 - 18, L'r'), Logged()[2]);
    for (const sim::Event& event : sim::Events()) {
        EXPECT_EQ(L"Nimbrel", event.source);
        EXPECT_EQ(0, event.category);
        EXPECT_EQ(0u, event.eventId);
        EXPECT_FALSE(event.userGiven || event.dataGiven || event.dataSize != 0);
        EXPECT_EQ(1u, event.strings.size());
    }
}

// The "recover" command: ClearSpoolOnRecovery decides the clearing, nothing
// is recorded against the hourly limit, and the exit code follows the
// outcome. A disabled spooler is not touched at all.
TEST_F(Recovery, RecoverCommandClearsByItsOwnSwitchAndReportsTheOutcome) {
    const struct {
        std::wstring clearOnRecovery, clearOnSchedule;
        DWORD denied, startType;
        bool cleared;
        const char* output;
    } cases[] = {
        {L"0", L"1", 0, SERVICE_AUTO_START, false, "Print Spooler recovery completed.\n"},
        {L"1", L"0", 0, SERVICE_DEMAND_START, true, "Print Spooler recovery completed.\n"},
        {L"1", L"1", SERVICE_STOP, SERVICE_AUTO_START, false, "Print Spooler recovery failed.\n"},
        {L"1", L"1", 0, SERVICE_DISABLED, false, "Print Spooler is disabled; recovery skipped.\n"},
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
        const bool refused = c.startType == SERVICE_DISABLED;
        EXPECT_EQ(c.denied || refused ? 1 : 0, RunRecoverCommand());
        EXPECT_EQ(c.output, sim::StdoutBytes());
        EXPECT_EQ(!c.cleared, sim::Exists(L"C:\\Queue\\1.SPL"));
        EXPECT_EQ(refused ? 0u : 2u, sim::Events().size());
        EXPECT_TRUE(refused ||
                    Logged()[0] ==
                        L"W:Recovery started: Manual recovery requested from command line");
        EXPECT_EQ(refused || c.denied ? 0u : 1u, sim::Spooler().stopRequests);
        EXPECT_EQ(0u, RestartHistory.count);
    }
}

} // namespace
} // namespace nimbrel::test
