// The recovery procedure and the "recover" command. Every failing platform
// call is in the fault sweep; here, the outcomes a machine gives by itself,
// and what the clearing of the spool folder may and may not touch.

#include "app/recover.h"
#include "recovery/recovery.h"

#include "recovery/restart_history.h"
#include "spooler/spool_directory.h"
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

class RecoveryTest : public SimTest {
  protected:
    void SetUp() override { Prepare(L"C:\\Spool"); }
    static void Prepare(const std::wstring& spool) {
        Fresh();
        Settings.StopTimeoutMs = 2000;
        Settings.StartTimeoutMs = 2000;
        CopyText(Settings.SpoolDirectory, kSpoolDirectoryCapacity, spool.c_str());
        sim::Spooler().stopPendingMs = 700;
        sim::Spooler().startPendingMs = 700;
    }
    static std::wstring In(const std::wstring& name) { return L"C:\\Spool\\" + name; }
};

// What is not deleted stays; a recovery asked to be recorded is, failed or
// not; a spooler that did not stop is not started. File names ending in "!" are
// read-only, in "#" locked.
TEST_F(RecoveryTest, EventsAndEffectsOfEveryOutcome) {
    enum Spooler { Cooperative, StopRefused, StartRefused, NeverRuns, AlreadyStopped };
    const struct {
        const char* name;
        Spooler spooler;
        Texts files; // in C:\Spool
        int result;
        Texts events, deleted;
    } cases[] = {
        {"stop refused", StopRefused, {L"1.SPL"}, 0, {kStarted, kStopFailed}, {}},
        {"folder missing", Cooperative, {}, 1, {kStarted, kCompleted}, {}},
        {"one read-only file among three",
         Cooperative,
         {L"1.SPL", L"2.SHD!", L"3.shd"},
         1,
         {kStarted, kFilesLeft, kCompleted},
         {L"1.SPL", L"3.shd"}},
        {"spool files only, in any case; the others stay unreported",
         Cooperative,
         {L"7.Spl", L"fp00001.shd", L"FP00001.SPL", L"notes.txt", L"old.doc!", L"SPL", L"x.SPLX",
          L"x.spl.bak", L"x.SHD.", L"desktop.ini#"},
         1,
         {kStarted, kCompleted},
         {L"7.Spl", L"fp00001.shd", L"FP00001.SPL"}},
        {"two locked files give one warning",
         Cooperative,
         {L"1.SPL#", L"2.SPL#"},
         1,
         {kStarted, kFilesLeft, kCompleted},
         {}},
        {"a subfolder with files",
         Cooperative,
         {L"Sub\\1.SPL", L"Sub\\Deeper\\2.SPL", L"3.SHD"},
         1,
         {kStarted, kCompleted},
         {L"3.SHD"}},
        {"start refused", StartRefused, {L"1.SPL"}, 0, {kStarted, kStartFailed}, {L"1.SPL"}},
        {"never runs again", NeverRuns, {}, 0, {kStarted, kStartFailed}, {}},
        {"already stopped", AlreadyStopped, {}, 1, {kStarted, kCompleted}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        sim::Spooler().stopError = c.spooler == StopRefused ? ERROR_ACCESS_DENIED : 0;
        sim::Spooler().startError = c.spooler == StartRefused ? ERROR_ACCESS_DENIED : 0;
        sim::Spooler().startPendingMs = c.spooler == NeverRuns ? sim::kNever : 700;
        if (c.spooler == AlreadyStopped) {
            sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
        }
        Texts paths;
        for (std::wstring file : c.files) {
            const bool readOnly = file.back() == L'!', locked = file.back() == L'#';
            if (readOnly || locked) {
                file.pop_back();
            }
            sim::AddFile(In(file), readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_ARCHIVE);
            sim::FindFile(In(file))->deleteError = locked ? ERROR_SHARING_VIOLATION : 0;
            paths.push_back(file);
        }
        EXPECT_EQ(c.result, RunRecovery(L"test", SpoolFiles::Clear, Counting::Counted));
        EXPECT_EQ(c.events, Logged());
        Texts deleted;
        for (const std::wstring& file : paths) {
            const bool gone = std::count(c.deleted.begin(), c.deleted.end(), file) != 0;
            EXPECT_EQ(!gone, sim::Exists(In(file))) << Narrow(file);
            if (gone) {
                deleted.push_back(In(file));
            }
        }
        EXPECT_EQ(deleted, sim::DeletedFiles());
        EXPECT_EQ(1u, RestartHistory.count) << "failed or not";
        EXPECT_TRUE(c.result == 0 || sim::Spooler().state == SERVICE_RUNNING);
        EXPECT_EQ(c.spooler == StopRefused ? 0u : 1u, sim::Spooler().startRequests);
    }
}

// The spooler's running dependents are stopped before it, in the order the
// service manager lists them, and started again after it in the reverse
// order. One that will not stop fails the stop, and the ones already
// stopped are started again; one that will not start again is only warned
// about. "Fax" and "LPDSVC" depend on the spooler, "Vendor" on "PrintExt".
TEST_F(RecoveryTest, DependentsAreStoppedFirstAndStartedAgainAfterwards) {
    enum Trouble { None, WontStop, WontStart };
    const struct {
        const char* name;
        Texts dependents; // "Name>Dependency"
        Trouble trouble;  // of the last dependent
        int result;
        Texts events, stopped, started; // services asked, in order
    } cases[] = {
        {"two that stop",
         {L"Fax>Spooler", L"LPDSVC>Spooler"},
         None,
         1,
         {kStarted, kCompleted},
         {L"Fax", L"LPDSVC", L"Spooler"},
         {L"Spooler", L"LPDSVC", L"Fax"}},
        {"a chain of two",
         {L"PrintExt>Spooler", L"Vendor>PrintExt"},
         None,
         1,
         {kStarted, kCompleted},
         {L"Vendor", L"PrintExt", L"Spooler"},
         {L"Spooler", L"PrintExt", L"Vendor"}},
        {"one will not stop",
         {L"Fax>Spooler", L"LPDSVC>Spooler"},
         WontStop,
         0,
         {kStarted, kStopFailed},
         {L"Fax", L"LPDSVC"},
         {L"LPDSVC", L"Fax"}},
        {"one will not start again",
         {L"Fax>Spooler", L"LPDSVC>Spooler"},
         WontStart,
         1,
         {kStarted,
          L"W:Print Spooler recovered, but the dependent service 'LPDSVC' could not be restarted.",
          kCompleted},
         {L"Fax", L"LPDSVC", L"Spooler"},
         {L"Spooler", L"LPDSVC", L"Fax"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        sim::Service* last = nullptr;
        for (const std::wstring& pair : c.dependents) {
            const std::size_t at = pair.find(L'>');
            last = &sim::AddDependentService(pair.substr(0, at), pair.substr(at + 1));
        }
        last->stopPendingMs = c.trouble == WontStop ? sim::kNever : 0;
        last->startError = c.trouble == WontStart ? ERROR_ACCESS_DENIED : 0;
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
        EXPECT_EQ(SERVICE_RUNNING, sim::Spooler().state);
        for (const std::wstring& pair : c.dependents) {
            const sim::Service* dependent = sim::FindService(pair.substr(0, pair.find(L'>')));
            const bool down = dependent == last && c.trouble != None;
            EXPECT_EQ(down, dependent->state != SERVICE_RUNNING) << Narrow(dependent->name);
        }
    }
}

// Only spool files directly inside the folder are deleted, by a path that
// names exactly the entry listed. What cannot be deleted safely (a link, a
// name that would reach elsewhere, a path that would be cut) is left and
// warned about; folders, junctions among them, are passed over quietly.
TEST_F(RecoveryTest, DeletesOnlySpoolFilesDirectlyInTheFolder) {
    // One recovery with clearing: the deletions tried, the warning, and the
    // folder listed only when the pattern fits.
    auto clear = [](const Texts& attempts, bool warned) {
        EXPECT_EQ(1, RunRecovery(L"test", SpoolFiles::Clear, Counting::Uncounted));
        Texts tried;
        for (const sim::Call& call : sim::CallsOf(sim::Op::DeleteFileW)) {
            tried.push_back(call.args.at(0));
        }
        EXPECT_EQ(attempts, tried);
        EXPECT_EQ(warned ? 3u : 2u, sim::Events().size()) << "the warning";
        const std::size_t folder = TextLength(Settings.SpoolDirectory);
        EXPECT_EQ(folder + 2 < MAX_PATH ? 1u : 0u, sim::CountCalls(sim::Op::FindFirstFileW));
    };
    // A junction to a folder elsewhere, named like a spool file.
    sim::AddFile(In(L"Link.SPL\\1.SPL"));
    sim::FindFile(In(L"Link.SPL"))->attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    clear({}, false);
    EXPECT_TRUE(sim::Exists(In(L"Link.SPL\\1.SPL")));

    // A file link.
    Prepare(L"C:\\Spool");
    sim::AddFile(In(L"Link.SPL"), FILE_ATTRIBUTE_REPARSE_POINT);
    clear({}, true);
    EXPECT_TRUE(sim::Exists(In(L"Link.SPL")));

    // Names that would reach elsewhere, reported by a broken or hostile file
    // system for files of the folder; and names that are no spool file's,
    // which are not even tried.
    Prepare(L"C:\\Spool");
    sim::AddFile(L"C:\\Other\\victim.SPL");
    const std::wstring names[] = {L"..\\Other\\victim.SPL",
                                  L"../Other/victim.SPL",
                                  L"C:\\Other\\victim.SPL",
                                  L"victim.txt:x.SPL",
                                  std::wstring(MAX_PATH, L'x'),
                                  L".",
                                  L".."};
    for (std::size_t i = 0; i < std::size(names); ++i) {
        sim::AddFile(In(L"h" + std::to_wstring(i) + L".SPL"));
        sim::FindFile(In(L"h" + std::to_wstring(i) + L".SPL"))->listedName = names[i];
    }
    sim::AddFile(In(L"ok.SPL"));
    clear({In(L"ok.SPL")}, true);
    EXPECT_TRUE(sim::Exists(L"C:\\Other\\victim.SPL"));

    // A path that would be cut, and a pattern that would be cut.
    const std::wstring d250 = L"C:\\" + std::wstring(250, L'd'); // a path of 259 fits
    Prepare(d250);
    sim::AddFile(d250 + L"\\a.SPL");
    sim::AddFile(d250 + L"\\bb.SPL");
    clear({d250 + L"\\a.SPL"}, true);
    EXPECT_TRUE(sim::Exists(d250 + L"\\bb.SPL"));
    Prepare(d250 + L"ddddd"); // a pattern of 260
    sim::AddFile(d250 + L"ddddd\\a.SPL");
    clear({}, false);
}

// The folder a recovery clears: the setting as written; else the spooler's
// own, when it names a folder by its full path that is not missing; else the
// one in the system folder that Windows reports.
TEST_F(RecoveryTest, TheSpoolFolderIsTheSettingElseTheSpoolersOwn) {
    const std::wstring printers = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";
    const std::wstring fallback = L"C:\\Windows\\system32\\spool\\PRINTERS";
    auto configured = [printers](const std::wstring& text, DWORD type = REG_SZ) {
        return [printers, text, type] {
            sim::SetRegistryText(printers, L"DefaultSpoolDirectory", text, type);
        };
    };
    const struct {
        const char* name;
        std::wstring setting;
        std::function<void()> arrange;
        std::wstring folder;
    } cases[] = {
        {"the setting, as written", L"D:\\%Spool%\\", configured(L"E:\\Spool"), L"D:\\%Spool%\\"},
        {"the spooler's", L"", configured(L"E:\\Spool\\"), L"E:\\Spool"},
        {"expanded", L"", configured(L"%SystemDrive%\\Spool", REG_EXPAND_SZ), L"C:\\Spool"},
        {"on a share", L"", configured(L"\\\\server\\spool"), L"\\\\server\\spool"},
        {"missing", L"", configured(L"E:\\Gone"), fallback},
        {"a file", L"", configured(L"E:\\Spool\\1.SPL"), fallback},
        {"relative", L"", configured(L"Spool"), fallback},
        {"too long expanded", L"", configured(L"%Long%"), fallback},
        {"not a text", L"",
         [printers] { sim::SetRegistryNumber(printers, L"DefaultSpoolDirectory", 1); }, fallback},
        {"not readable", L"", [printers] { sim::SetRegistryKeyDenied(printers, true); }, fallback},
        {"Windows elsewhere", L"",
         [printers] {
             sim::RemoveRegistryKey(printers);
             sim::SetSystemDirectory(L"D:\\WINNT\\system32");
         },
         L"D:\\WINNT\\system32\\spool\\PRINTERS"},
        {"nothing to go by", L"",
         [printers] {
             sim::RemoveRegistryKey(printers);
             sim::SetSystemDirectory(L"C:\\" + std::wstring(250, L's'));
         },
         L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Prepare(c.setting);
        for (const wchar_t* existing :
             {L"E:\\Spool\\1.SPL", L"C:\\Spool\\1.SPL", L"\\\\server\\spool\\1.SPL"}) {
            sim::AddFile(existing);
        }
        sim::SetEnvironmentValue(L"Long", std::wstring(300, L'x'));
        c.arrange();
        WCHAR folder[MAX_PATH];
        EXPECT_EQ(c.folder.empty() ? 0 : 1, GetSpoolDirectoryInEffect(folder, MAX_PATH));
        EXPECT_EQ(c.folder, folder);
        // The recovery lists that folder, and none when none is known: an
        // empty one would make "\\*", the root of the current drive.
        EXPECT_EQ(1, RunRecovery(L"test", SpoolFiles::Clear, Counting::Uncounted));
        const auto listed = sim::CallsOf(sim::Op::FindFirstFileW);
        ASSERT_EQ(c.folder.empty() ? 0u : 1u, listed.size());
        EXPECT_TRUE(c.folder.empty() || listed[0].args.at(0) == c.folder + L"\\*");
    }
}

// Without clearing the folder is not even listed; the record is taken only
// when asked for, by the clock the hourly limit reads.
TEST_F(RecoveryTest, ClearsOnlyWhenAskedAndRecordsOnlyWhenAsked) {
    sim::AddFile(In(L"1.SPL"));
    EXPECT_EQ(1, RunRecovery(L"test", SpoolFiles::Keep, Counting::Uncounted));
    EXPECT_EQ(0u, RestartHistory.count);
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::FindFirstFileW));
    EXPECT_TRUE(sim::Exists(In(L"1.SPL")));
    EXPECT_EQ(1, RunRecovery(L"test", SpoolFiles::Clear, Counting::Counted));
    ASSERT_EQ(1u, RestartHistory.count);
    EXPECT_EQ(_time64(nullptr), RestartHistory.entries[0]);
}

// The reason goes into the log as it is, whatever '%' it holds, and whole up
// to 511 characters.
TEST_F(RecoveryTest, TheReasonReachesTheLogWholeUpTo511Characters) {
    const std::wstring percent = L"Stuck print job on '50%s' (job 3, document: %d%%)";
    RunRecovery(percent.c_str(), SpoolFiles::Keep, Counting::Uncounted);
    RunRecovery(std::wstring(600, L'r').c_str(), SpoolFiles::Keep, Counting::Uncounted);
    ASSERT_EQ(4u, sim::Events().size());
    EXPECT_EQ(L"W:Recovery started: " + percent, Logged()[0]);
    EXPECT_EQ(L"W:Recovery started: " + std::wstring(511 - 18, L'r'), Logged()[2]);
}

// The "recover" command: ClearSpoolOnRecovery decides the clearing, nothing
// is recorded against the hourly limit, and the exit code follows the
// outcome. A disabled spooler is not touched at all.
TEST_F(RecoveryTest, RecoverCommandClearsByItsOwnSwitchAndReportsTheOutcome) {
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
