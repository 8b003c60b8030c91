#include "recovery/recovery.h"

#include "app/dispatcher.h"
#include "config/settings.h"
#include "recovery/restart_history.h"
#include "tests/support.h"

#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace nimbrel::test {
namespace {

using Logged = std::vector<std::pair<WORD, std::wstring>>;
using Paths = std::vector<std::wstring>;

const std::pair<WORD, std::wstring> kStarted{EVENTLOG_WARNING_TYPE, L"Recovery started: test"};
const std::pair<WORD, std::wstring> kStopFailed{EVENTLOG_ERROR_TYPE,
                                                L"Failed to stop Print Spooler during recovery."};
const std::pair<WORD, std::wstring> kFilesLeft{
    EVENTLOG_WARNING_TYPE, L"Some spool files could not be deleted during recovery."};
const std::pair<WORD, std::wstring> kStartFailed{EVENTLOG_ERROR_TYPE,
                                                 L"Failed to start Print Spooler during recovery."};
const std::pair<WORD, std::wstring> kCompleted{EVENTLOG_INFORMATION_TYPE,
                                               L"Print Spooler recovery completed successfully."};

class RecoveryTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        Prepare();
    }
    static void Prepare() {
        Settings = kDefaultSettings;
        Settings.StopTimeoutMs = 2000;
        Settings.StartTimeoutMs = 2000;
        UseSpool(L"C:\\Spool");
        RestartHistory = {};
        sim::Spooler().stopPendingMs = 700;
        sim::Spooler().startPendingMs = 700;
    }
    static void UseSpool(const std::wstring& folder) {
        CopyText(Settings.SpoolDirectory, kSpoolDirectoryCapacity, folder.c_str());
    }
    static Logged EventsLogged() {
        Logged logged;
        for (const sim::Event& event : sim::Events()) {
            logged.emplace_back(event.type, event.strings.empty() ? L"" : event.strings[0]);
        }
        return logged;
    }
    static Paths DeleteAttempts() {
        Paths paths;
        for (const sim::Call& call : sim::CallsOf(sim::Op::DeleteFileW)) {
            paths.push_back(call.args.at(0));
        }
        return paths;
    }
};

// The outcomes of one recovery with the spool folder cleared.
struct OutcomeCase {
    const char* name;
    std::function<void()> arrange;
    int result;
    Logged events;
    Paths deleted;
    Paths kept;
    unsigned startRequests;
};

TEST_F(RecoveryTest, EventsAndEffectsOfEveryOutcome) {
    const OutcomeCase cases[] = {
        {"stop fails",
         [] {
             sim::AddFile(L"C:\\Spool\\1.SPL");
             sim::Spooler().stopError = ERROR_ACCESS_DENIED;
         },
         0,
         {kStarted, kStopFailed},
         {},
         {L"C:\\Spool\\1.SPL"},
         0},
        {"folder missing", [] {}, 1, {kStarted, kCompleted}, {}, {}, 1},
        {"one read-only file among three",
         [] {
             sim::AddFile(L"C:\\Spool\\1.SPL");
             sim::AddFile(L"C:\\Spool\\2.SHD", FILE_ATTRIBUTE_READONLY);
             sim::AddFile(L"C:\\Spool\\3.tmp");
         },
         1,
         {kStarted, kFilesLeft, kCompleted},
         {L"C:\\Spool\\1.SPL", L"C:\\Spool\\3.tmp"},
         {L"C:\\Spool\\2.SHD"},
         1},
        {"two locked files give one warning",
         [] {
             sim::AddFile(L"C:\\Spool\\1.SPL");
             sim::AddFile(L"C:\\Spool\\2.SPL");
             sim::FindFile(L"C:\\Spool\\1.SPL")->deleteError = ERROR_SHARING_VIOLATION;
             sim::FindFile(L"C:\\Spool\\2.SPL")->deleteError = ERROR_SHARING_VIOLATION;
         },
         1,
         {kStarted, kFilesLeft, kCompleted},
         {},
         {L"C:\\Spool\\1.SPL", L"C:\\Spool\\2.SPL"},
         1},
        {"a subfolder with files",
         [] {
             sim::AddFile(L"C:\\Spool\\Sub\\1.SPL");
             sim::AddFile(L"C:\\Spool\\Sub\\Deeper\\2.SPL");
             sim::AddFile(L"C:\\Spool\\3.SHD");
         },
         1,
         {kStarted, kCompleted},
         {L"C:\\Spool\\3.SHD"},
         {L"C:\\Spool\\Sub", L"C:\\Spool\\Sub\\1.SPL", L"C:\\Spool\\Sub\\Deeper\\2.SPL"},
         1},
        {"an empty folder",
         [] { sim::AddFolder(L"C:\\Spool"); },
         1,
         {kStarted, kCompleted},
         {},
         {L"C:\\Spool"},
         1},
        {"start fails",
         [] {
             sim::AddFile(L"C:\\Spool\\1.SPL");
             sim::Spooler().startError = ERROR_ACCESS_DENIED;
         },
         0,
         {kStarted, kStartFailed},
         {L"C:\\Spool\\1.SPL"},
         {},
         1},
        {"never runs again",
         [] { sim::Spooler().startPendingMs = sim::kNever; },
         0,
         {kStarted, kStartFailed},
         {},
         {},
         1},
        {"already stopped",
         [] { sim::SetServiceState(L"Spooler", SERVICE_STOPPED); },
         1,
         {kStarted, kCompleted},
         {},
         {},
         1},
    };
    for (const OutcomeCase& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Reset();
        Prepare();
        c.arrange();
        EXPECT_EQ(c.result, RunRecovery(L"test", 1, 0));
        EXPECT_EQ(c.events, EventsLogged());
        EXPECT_EQ(c.deleted, sim::DeletedFiles());
        for (const std::wstring& path : c.kept) {
            EXPECT_TRUE(sim::Exists(path)) << Narrow(path);
        }
        EXPECT_EQ(c.startRequests, sim::Spooler().startRequests);
        if (c.result) {
            EXPECT_EQ(SERVICE_RUNNING, sim::Spooler().state);
        }
        ExpectNothingLeftOpen();
    }
}

// What is listed in the spool folder, and what the recovery may do to it.
struct ListingCase {
    const char* name;
    std::wstring spool;
    std::function<void()> arrange;
    Paths deleteAttempts;
    bool warned;
    Paths kept;
};

TEST_F(RecoveryTest, DeletesOnlyPlainFilesDirectlyInTheFolder) {
    const std::wstring d257 = L"C:\\" + std::wstring(254, L'd'); // pattern 259 characters
    const std::wstring d258 = L"C:\\" + std::wstring(255, L'd'); // pattern 260: does not fit
    auto listedAs = [](const std::wstring& path, const std::wstring& name) {
        sim::AddFile(path);
        sim::FindFile(path)->listedName = name;
    };
    const ListingCase cases[] = {
        {"a junction to a folder elsewhere",
         L"C:\\Spool",
         [] {
             sim::AddFolder(L"C:\\Spool\\Link");
             sim::FindFile(L"C:\\Spool\\Link")->attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
             sim::AddFile(L"C:\\Spool\\Link\\1.SPL");
         },
         {},
         false,
         {L"C:\\Spool\\Link\\1.SPL"}},
        {"a file link is left alone",
         L"C:\\Spool",
         [] { sim::AddFile(L"C:\\Spool\\Link.SPL", FILE_ATTRIBUTE_REPARSE_POINT); },
         {},
         true,
         {L"C:\\Spool\\Link.SPL"}},
        {"names that would reach elsewhere",
         L"C:\\Spool",
         [&] {
             sim::AddFile(L"C:\\Other\\victim.txt");
             sim::AddFile(L"C:\\Spool\\victim.txt.");
             listedAs(L"C:\\Spool\\h1", L"..\\Other\\victim.txt");
             listedAs(L"C:\\Spool\\h2", L"../Other/victim.txt");
             listedAs(L"C:\\Spool\\h3", L"C:\\Other\\victim.txt");
             listedAs(L"C:\\Spool\\h4", L"victim.txt:stream");
             listedAs(L"C:\\Spool\\h5", L"victim.txt ");
             listedAs(L"C:\\Spool\\h6", std::wstring(MAX_PATH, L'x')); // no terminator
             sim::AddFile(L"C:\\Spool\\ok.SPL");
         },
         {L"C:\\Spool\\ok.SPL"},
         true,
         {L"C:\\Other\\victim.txt", L"C:\\Spool\\victim.txt."}},
        {"dot entries that are not folders",
         L"C:\\Spool",
         [&] {
             listedAs(L"C:\\Spool\\h1", L".");
             listedAs(L"C:\\Spool\\h2", L"..");
         },
         {},
         false,
         {}},
        {"a path that would not fit",
         d257,
         [&] {
             sim::AddFile(d257 + L"\\a");
             sim::AddFile(d257 + L"\\bb");
         },
         {d257 + L"\\a"},
         true,
         {d257 + L"\\bb"}},
        {"a pattern that would not fit",
         d258,
         [&] { sim::AddFile(d258 + L"\\a"); },
         {},
         false,
         {d258 + L"\\a"}},
        {"no folder name", L"", [] { sim::AddFile(L"C:\\1.SPL"); }, {}, false, {L"C:\\1.SPL"}},
    };
    for (const ListingCase& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Reset();
        Prepare();
        UseSpool(c.spool);
        c.arrange();
        EXPECT_EQ(1, RunRecovery(L"test", 1, 0));
        EXPECT_EQ(c.deleteAttempts, DeleteAttempts());
        Logged expected{kStarted, kCompleted};
        if (c.warned) {
            expected.insert(expected.begin() + 1, kFilesLeft);
        }
        EXPECT_EQ(expected, EventsLogged());
        for (const std::wstring& path : c.kept) {
            EXPECT_TRUE(sim::Exists(path)) << Narrow(path);
        }
        if (c.spool.empty() || c.spool.size() + 2 >= MAX_PATH) {
            EXPECT_EQ(0u, sim::CountCalls(sim::Op::FindFirstFileW));
        }
        ExpectNothingLeftOpen();
    }
}

TEST_F(RecoveryTest, NoClearingLeavesTheFolderUnlisted) {
    sim::AddFile(L"C:\\Spool\\1.SPL");
    EXPECT_EQ(1, RunRecovery(L"test", 0, 0));
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::FindFirstFileW));
    EXPECT_TRUE(sim::Exists(L"C:\\Spool\\1.SPL"));
}

TEST_F(RecoveryTest, OnlyASuccessWithRecordIsEnteredInTheHistory) {
    EXPECT_EQ(1, RunRecovery(L"test", 1, 0));
    EXPECT_EQ(0u, RestartHistory.count);

    sim::Spooler().startError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(0, RunRecovery(L"test", 1, 1));
    sim::Spooler().startError = 0;
    sim::Spooler().stopError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(0, RunRecovery(L"test", 1, 1));
    EXPECT_EQ(0u, RestartHistory.count);

    sim::Spooler().stopError = 0;
    sim::ClearCalls();
    EXPECT_EQ(1, RunRecovery(L"test", 1, 1));
    ASSERT_EQ(1u, RestartHistory.count);
    // Recorded once the spooler runs, before the completion is reported.
    const std::vector<sim::Call> calls = sim::Calls();
    std::size_t timeRead = 0, lastReport = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].op == sim::Op::_time64) {
            timeRead = i;
        } else if (calls[i].op == sim::Op::ReportEventW) {
            lastReport = i;
        }
    }
    EXPECT_LT(timeRead, lastReport);
    EXPECT_EQ(_time64(nullptr), RestartHistory.entries[0]);
}

TEST_F(RecoveryTest, TheReasonReachesTheLogWholeUpTo511Characters) {
    const std::wstring percent =
        L"Automatic recovery: Stuck print job on '50%s' (job 3, document: %d%%)";
    const std::wstring longReason(600, L'r');
    RunRecovery(percent.c_str(), 0, 0);
    RunRecovery(longReason.c_str(), 0, 0);
    ASSERT_EQ(4u, sim::Events().size());
    EXPECT_EQ(L"Recovery started: " + percent, sim::Events()[0].strings.at(0));
    EXPECT_EQ((L"Recovery started: " + longReason).substr(0, 511), sim::Events()[2].strings.at(0));
}

TEST_F(RecoveryTest, SucceedsWithoutAnEventLog) {
    sim::SetEventLogAvailable(false);
    sim::AddFile(L"C:\\Spool\\1.SPL", FILE_ATTRIBUTE_READONLY);
    sim::AddFile(L"C:\\Spool\\2.SPL");
    EXPECT_EQ(1, RunRecovery(L"test", 1, 1));
    EXPECT_EQ(Paths{L"C:\\Spool\\2.SPL"}, sim::DeletedFiles());
    EXPECT_EQ(1u, RestartHistory.count);
    EXPECT_TRUE(sim::Events().empty());
}

// Every platform call of a recovery failing in turn: no handle stays open,
// and the outcome and the history agree with the events.
TEST_F(RecoveryTest, EveryFailingCallEndsCleanly) {
    auto scene = [] {
        sim::AddFile(L"C:\\Spool\\1.SPL");
        sim::AddFile(L"C:\\Spool\\2.SPL", FILE_ATTRIBUTE_READONLY);
        sim::AddFile(L"C:\\Spool\\Sub\\3.SPL");
    };
    scene();
    sim::ClearFaults();
    ASSERT_EQ(1, RunRecovery(L"test", 1, 1));
    const unsigned calls = sim::InjectableCalls();
    for (unsigned k = 1; k <= calls; ++k) {
        SCOPED_TRACE(k);
        sim::Reset();
        Prepare();
        scene();
        sim::FailNthCall(k);
        int result = RunRecovery(L"test", 1, 1);
        EXPECT_EQ(1u, sim::FaultsFired());
        EXPECT_EQ(result ? 1u : 0u, RestartHistory.count);
        EXPECT_TRUE(sim::Exists(L"C:\\Spool\\2.SPL"));
        EXPECT_TRUE(sim::Exists(L"C:\\Spool\\Sub\\3.SPL"));
        const std::optional<sim::Op> failed = sim::LastFaultOp();
        if (failed != sim::Op::RegisterEventSourceW && failed != sim::Op::ReportEventW) {
            const auto last = EventsLogged().back();
            EXPECT_EQ(result, last == kCompleted ? 1 : 0);
            EXPECT_TRUE(last == kCompleted || last == kStopFailed || last == kStartFailed);
        }
        ExpectNothingLeftOpen();
    }
}

// ---- The "recover" command ----------------------------------------------------------

class RecoverCommandTest : public RecoveryTest {
  protected:
    static void WriteIni(const std::wstring& text) {
        sim::SetModulePath(L"C:\\Nimbrel\\Nimbrel.exe");
        sim::SetFileText(L"C:\\Nimbrel\\Nimbrel.ini",
                         L"[Monitor]\r\nSpoolDirectory=C:\\Queue\r\n" + text);
        sim::AddFile(L"C:\\Queue\\1.SPL");
    }
    static int RunWord(const WCHAR* word) {
        WCHAR program[] = L"Nimbrel.exe";
        WCHAR command[32];
        CopyText(command, 32, word);
        WCHAR* argv[] = {program, command, nullptr};
        return Dispatch(2, argv);
    }
};

TEST_F(RecoverCommandTest, ClearsByClearSpoolOnRecoveryAndReportsSuccess) {
    const struct {
        const WCHAR* ini;
        bool cleared;
    } cases[] = {
        {L"ClearSpoolOnRecovery=0\r\n[Schedule]\r\nClearSpoolOnScheduledRestart=1\r\n", false},
        {L"ClearSpoolOnRecovery=1\r\n[Schedule]\r\nClearSpoolOnScheduledRestart=0\r\n", true},
    };
    for (const auto& c : cases) {
        sim::Reset();
        WriteIni(c.ini);
        EXPECT_EQ(0, RunWord(L"ReCover"));
        EXPECT_EQ("Print Spooler recovery completed.\n", sim::StdoutBytes());
        EXPECT_EQ(!c.cleared, sim::Exists(L"C:\\Queue\\1.SPL"));
        ASSERT_EQ(2u, sim::Events().size());
        EXPECT_EQ(L"Recovery started: Manual recovery requested from command line",
                  sim::Events()[0].strings.at(0));
        EXPECT_EQ(kCompleted.second, sim::Events()[1].strings.at(0));
        EXPECT_EQ(0u, RestartHistory.count);
        EXPECT_EQ(SERVICE_RUNNING, sim::Spooler().state);
    }
}

TEST_F(RecoverCommandTest, ReportsFailureWithExitCodeOne) {
    WriteIni(L"");
    sim::Spooler().deniedAccess = SERVICE_STOP;
    EXPECT_EQ(1, RunRecoverCommand());
    EXPECT_EQ("Print Spooler recovery failed.\n", sim::StdoutBytes());
    EXPECT_TRUE(sim::Exists(L"C:\\Queue\\1.SPL"));
    EXPECT_EQ(2u, sim::Events().size());
}

} // namespace
} // namespace nimbrel::test
