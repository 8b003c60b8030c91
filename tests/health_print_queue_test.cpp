#include "tests/health_support.h"

namespace nimbrel::test {
namespace {

constexpr std::uint64_t kSecond = 10000000; // FILETIME units

class PrintQueueCheck : public HealthTest {
  protected:
    static sim::Job& Job(const std::wstring& printer, DWORD id, std::int64_t secondsAgo,
                         DWORD status = JOB_STATUS_PRINTING,
                         std::optional<std::wstring> document = L"report.pdf") {
        return sim::AddJob(printer, id, std::move(document), status,
                           sim::UtcSystemTime(secondsAgo));
    }

    static unsigned Opens(const std::wstring& printer) { return sim::FindPrinter(printer)->opens; }
};

TEST_F(PrintQueueCheck, SwitchedOffPassesWithoutLookingAtAnything) {
    Settings.EnableQueueCheck = 0;
    sim::AddPrinter(L"P");
    Job(L"P", 1, 86400);
    EXPECT_EQ(1, CheckPrintQueues());
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::OpenSCManagerW));
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::EnumPrintersW));
}

TEST_F(PrintQueueCheck, UnhealthyServicePassesAndLeavesTheServiceText) {
    sim::AddPrinter(L"P");
    Job(L"P", 1, 86400);
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    EXPECT_EQ(1, CheckPrintQueues());
    EXPECT_EQ(L"Print Spooler service is stopped", Issue());
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::EnumPrintersW));
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::OpenPrinterW));
}

TEST_F(PrintQueueCheck, DepthRuleIsStrictlyGreaterAndComesBeforeTheStuckJobRule) {
    struct Case {
        DWORD limit;
        DWORD jobs;
        bool oneStuck;
        const WCHAR* issue; // empty: healthy
    };
    const Case cases[] = {
        {5, 5, false, L""},
        {5, 6, false, L"Printer 'Office' queue depth 6 exceeds limit 5"},
        {0, 1000, false, L""},
        {1, 2, true, L"Printer 'Office' queue depth 2 exceeds limit 1"},
        {3, 3, true, L"Stuck print job on 'Office' (job 1, document: report.pdf)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.jobs << " jobs, limit " << c.limit);
        sim::Reset();
        FreshProcess();
        Settings.MaxQueueJobs = c.limit;
        sim::AddPrinter(L"Office");
        for (DWORD id = 1; id <= c.jobs; ++id) {
            Job(L"Office", id, id == 1 && c.oneStuck ? 3600 : 1);
        }
        EXPECT_EQ(c.issue[0] == 0 ? 1 : 0, CheckPrintQueues());
        EXPECT_EQ(std::wstring(c.issue), Issue());
        ExpectNothingLeftOpen();
    }
}

// Ages are measured in UTC to the 100-ns unit; a job is stuck only when it
// is spooling or printing and strictly older than the limit.
TEST_F(PrintQueueCheck, StuckJobRule) {
    const std::uint64_t submitted = sim::UtcNow();
    struct Case {
        const char* what;
        DWORD status;
        std::uint64_t nowAfterSubmit; // may wrap to a time before the job
        bool stuck;
    };
    const std::uint64_t limit = 300 * kSecond;
    const Case cases[] = {
        {"printing, exactly the limit", JOB_STATUS_PRINTING, limit, false},
        {"printing, the limit and 100 ns", JOB_STATUS_PRINTING, limit + 1, true},
        {"spooling, the limit and 100 ns", JOB_STATUS_SPOOLING, limit + 1, true},
        {"paused only, a day old", JOB_STATUS_PAUSED, 86400 * kSecond, false},
        {"in error only, a day old", JOB_STATUS_ERROR, 86400 * kSecond, false},
        {"no status bits, a day old", 0, 86400 * kSecond, false},
        {"paused while spooling", JOB_STATUS_PAUSED | JOB_STATUS_SPOOLING, limit + 1, true},
        {"submitted right now", JOB_STATUS_PRINTING, 0, false},
        {"submitted in the future", JOB_STATUS_PRINTING, ~std::uint64_t{0} - 3600 * kSecond + 1,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        FreshProcess();
        sim::SetUtcNow(submitted);
        sim::AddPrinter(L"Office");
        Job(L"Office", 7, 0, c.status);
        sim::SetUtcNow(submitted + c.nowAfterSubmit);
        EXPECT_EQ(c.stuck ? 0 : 1, CheckPrintQueues());
        EXPECT_EQ(c.stuck ? L"Stuck print job on 'Office' (job 7, document: report.pdf)" : L"",
                  Issue());
        ExpectNothingLeftOpen();
    }
}

TEST_F(PrintQueueCheck, AgeIgnoresTheTimeZone) {
    for (int offsetMinutes : {-600, -300, 0, 60, 330, 840}) {
        SCOPED_TRACE(offsetMinutes);
        sim::Reset();
        FreshProcess();
        Settings.StuckJobTimeoutMs = 60000;
        sim::SetLocalOffsetMinutes(offsetMinutes);
        sim::AddPrinter(L"Office");
        Job(L"Office", 1, 59);
        EXPECT_EQ(1, CheckPrintQueues());
        Job(L"Office", 2, 61);
        EXPECT_EQ(0, CheckPrintQueues());
    }
}

TEST_F(PrintQueueCheck, UnconvertibleSubmittedCountsAsTheOldestInstant) {
    sim::AddPrinter(L"Office");
    SYSTEMTIME invalid = sim::UtcSystemTime(0);
    invalid.wMonth = 13;
    sim::AddJob(L"Office", 4, L"bad.txt", JOB_STATUS_SPOOLING, invalid);
    EXPECT_EQ(0, CheckPrintQueues());
    EXPECT_EQ(L"Stuck print job on 'Office' (job 4, document: bad.txt)", Issue());

    // The conversion's output is cleared first, so a failed call says 0 too.
    sim::Reset();
    FreshProcess();
    sim::AddPrinter(L"Office");
    Job(L"Office", 5, 0);
    sim::FailCall(sim::Op::SystemTimeToFileTime);
    EXPECT_EQ(0, CheckPrintQueues());
}

TEST_F(PrintQueueCheck, StuckJobTextNamesThePrinterTheJobAndTheDocument) {
    sim::AddPrinter(L"Office");
    Job(L"Office", 3, 10);
    Job(L"Office", 4294967295u, 3600, JOB_STATUS_PRINTING, std::nullopt);
    Job(L"Office", 9, 7200);
    EXPECT_EQ(0, CheckPrintQueues());
    EXPECT_EQ(L"Stuck print job on 'Office' (job 4294967295, document: (unknown))", Issue());
}

TEST_F(PrintQueueCheck, WalkSkipsOfflineAndNamelessPrintersAndStopsAtTheFirstUnhealthy) {
    sim::AddPrinter(L"Offline", PRINTER_STATUS_OFFLINE);
    Job(L"Offline", 1, 86400);
    sim::AddNamelessPrinter();
    sim::AddPrinter(L"Healthy");
    Job(L"Healthy", 2, 10);
    sim::AddPrinter(L"A");
    Job(L"A", 3, 3600, JOB_STATUS_PRINTING, L"a.doc");
    Job(L"A", 4, 7200, JOB_STATUS_PRINTING, L"older.doc");
    sim::AddPrinter(L"B");
    Job(L"B", 5, 3600);
    EXPECT_EQ(0, CheckPrintQueues());
    EXPECT_EQ(L"Stuck print job on 'A' (job 3, document: a.doc)", Issue());
    EXPECT_EQ(0u, Opens(L"Offline"));
    EXPECT_EQ(1u, Opens(L"Healthy"));
    EXPECT_EQ(0u, Opens(L"B"));
    EXPECT_EQ(2u, sim::CountCalls(sim::Op::OpenPrinterW));
}

TEST_F(PrintQueueCheck, OfflineOnlyPrintersAndNoPrintersPass) {
    sim::AddPrinter(L"Offline", PRINTER_STATUS_OFFLINE | 0x2);
    Job(L"Offline", 1, 86400);
    EXPECT_EQ(1, CheckPrintQueues());
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::OpenPrinterW));

    sim::Reset();
    FreshProcess();
    EXPECT_EQ(1, CheckPrintQueues());
    EXPECT_EQ(0u, sim::HeapAllocations()) << "nothing to enumerate, nothing to allocate";
}

TEST_F(PrintQueueCheck, NamedPrinterIsTheOnlyOneExaminedEvenWhenOffline) {
    sim::AddPrinter(L"Other");
    Job(L"Other", 1, 86400);
    sim::AddPrinter(L"Front Desk", PRINTER_STATUS_OFFLINE);
    Job(L"Front Desk", 2, 86400);
    CopyText(Settings.PrinterName, kPrinterNameCapacity, L"Front Desk");
    EXPECT_EQ(0, CheckPrintQueues());
    EXPECT_EQ(L"Stuck print job on 'Front Desk' (job 2, document: report.pdf)", Issue());
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::EnumPrintersW));
    EXPECT_EQ(0u, Opens(L"Other"));

    CopyText(Settings.PrinterName, kPrinterNameCapacity, L"No Such Printer");
    LastIssue[0] = 0;
    EXPECT_EQ(1, CheckPrintQueues());
    EXPECT_EQ(L"", Issue());
}

TEST_F(PrintQueueCheck, LongPrinterNameIsCutAt255Characters) {
    const std::wstring name(300, L'n');
    sim::AddPrinter(name);
    Job(name, 1, 86400);
    EXPECT_EQ(0, CheckPrintQueues());
    const std::wstring expected = (L"Stuck print job on '" + name).substr(0, 255);
    EXPECT_EQ(expected, Issue());

    Settings.MaxQueueJobs = 0;
    LastIssue[0] = 0;
    EXPECT_EQ(0, CheckPrinterQueue(name.c_str()));
    EXPECT_EQ(255u, Issue().size());
}

// One sizing call, one block of exactly the size it reported, one fetch;
// the printer is closed and both blocks are freed.
TEST_F(PrintQueueCheck, EnumeratesIntoBlocksOfExactlyTheReportedSize) {
    sim::AddPrinter(L"P");
    Job(L"P", 1, 1, JOB_STATUS_PRINTING, L"D");
    EXPECT_EQ(1, CheckPrintQueues());
    const std::wstring printers = std::to_wstring(sizeof(PRINTER_INFO_2W) + 2 * sizeof(WCHAR));
    const std::wstring jobs = std::to_wstring(sizeof(JOB_INFO_2W) + 4 * sizeof(WCHAR));
    const std::vector<std::wstring> expected = {
        L"EnumPrintersW(6, null, 2, null, 0, ptr, ptr)",
        L"GetProcessHeap()",
        L"HeapAlloc(ptr, 0, " + printers + L")",
        L"EnumPrintersW(6, null, 2, ptr, " + printers + L", ptr, ptr)",
        L"OpenPrinterW(buffer, ptr, null)",
        L"EnumJobsW(h3, 0, 4294967295, 2, null, 0, ptr, ptr)",
        L"GetProcessHeap()",
        L"HeapAlloc(ptr, 0, " + jobs + L")",
        L"EnumJobsW(h3, 0, 4294967295, 2, ptr, " + jobs + L", ptr, ptr)",
        L"GetSystemTimeAsFileTime(ptr)",
        L"SystemTimeToFileTime(ptr, ptr)",
        L"GetProcessHeap()",
        L"HeapFree(ptr, 0, ptr)",
        L"ClosePrinter(h3)",
        L"GetProcessHeap()",
        L"HeapFree(ptr, 0, ptr)",
    };
    std::vector<std::wstring> seen;
    for (const sim::Call& call : sim::Calls()) {
        if (call.op == sim::Op::EnumPrintersW || !seen.empty()) {
            seen.push_back(sim::Describe(call));
        }
    }
    EXPECT_EQ(expected, seen);
}

// The check fails open: whichever platform call fails, it passes, writes
// nothing and leaves nothing open. The only exception is a failed time
// conversion, which makes the job as old as can be.
TEST_F(PrintQueueCheck, EveryPlatformFailurePassesAndReleasesEverything) {
    auto arrange = [] {
        sim::Reset();
        FreshProcess();
        sim::AddPrinter(L"A");
        Job(L"A", 1, 10);
        sim::AddPrinter(L"B");
        Job(L"B", 2, 20, JOB_STATUS_SPOOLING);
        Job(L"B", 3, 30);
    };
    arrange();
    EXPECT_EQ(1, CheckPrintQueues());
    const unsigned calls = sim::InjectableCalls();
    ASSERT_GE(calls, 14u);
    std::map<sim::Op, unsigned> failed;
    for (unsigned k = 1; k <= calls; ++k) {
        arrange();
        sim::FailNthCall(k);
        const int verdict = CheckPrintQueues();
        ASSERT_EQ(1u, sim::FaultsFired()) << "call " << k;
        const sim::Op op = *sim::LastFaultOp();
        SCOPED_TRACE(sim::OpName(op));
        ++failed[op];
        if (op == sim::Op::SystemTimeToFileTime) {
            EXPECT_EQ(0, verdict);
            EXPECT_EQ(0u, Issue().find(L"Stuck print job on '"));
        } else if (op == sim::Op::OpenSCManagerW || op == sim::Op::OpenServiceW ||
                   op == sim::Op::QueryServiceStatusEx) {
            EXPECT_EQ(1, verdict);
            EXPECT_EQ(L"Unable to query Print Spooler service state", Issue());
        } else {
            EXPECT_EQ(1, verdict);
            EXPECT_EQ(L"", Issue());
        }
        ExpectNothingLeftOpen();
    }
    EXPECT_EQ(2u, failed[sim::Op::EnumPrintersW]);
    EXPECT_EQ(2u, failed[sim::Op::OpenPrinterW]);
    EXPECT_EQ(4u, failed[sim::Op::EnumJobsW]);
    EXPECT_EQ(3u, failed[sim::Op::HeapAlloc]);
    EXPECT_EQ(3u, failed[sim::Op::SystemTimeToFileTime]);
}

} // namespace
} // namespace nimbrel::test
