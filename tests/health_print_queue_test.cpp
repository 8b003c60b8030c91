// The print queue check: its two rules and which printers it reads. Every
// failing platform call (it fails open) is in the fault sweep, and so is
// the service-state gate, whose text stays behind.

#include "tests/support.h"

namespace nimbrel::test {
namespace {

constexpr std::uint64_t kSecond = 10000000; // FILETIME units

class PrintQueueCheck : public SimTest {
  protected:
    static void Job(const std::wstring& printer, DWORD id, std::int64_t secondsAgo,
                    DWORD status = JOB_STATUS_PRINTING,
                    std::optional<std::wstring> document = L"report.pdf") {
        sim::AddJob(printer, id, std::move(document), status, sim::UtcSystemTime(secondsAgo));
    }
    static unsigned Opens(const std::wstring& printer) { return sim::FindPrinter(printer)->opens; }
};

TEST_F(PrintQueueCheck, DepthRuleIsStrictlyGreaterAndComesBeforeTheStuckJobRule) {
    const struct {
        DWORD limit, jobs;
        bool oneStuck;
        const WCHAR* issue; // empty: healthy
    } cases[] = {
        {5, 5, false, L""},
        {5, 6, false, L"Printer 'Office' queue depth 6 exceeds limit 5"},
        {0, 1000, false, L""}, // 0: no limit
        {1, 2, true, L"Printer 'Office' queue depth 2 exceeds limit 1"},
        {3, 3, true, L"Stuck print job on 'Office' (job 1, document: report.pdf)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.jobs << " jobs, limit " << c.limit);
        Fresh();
        Settings.MaxQueueJobs = c.limit;
        sim::AddPrinter(L"Office");
        for (DWORD id = 1; id <= c.jobs; ++id) {
            Job(L"Office", id, id == 1 && c.oneStuck ? 3600 : 1);
        }
        EXPECT_EQ(c.issue[0] == 0 ? 1 : 0, CheckPrintQueues());
        EXPECT_EQ(std::wstring(c.issue), Issue());
    }
}

// Ages are measured in UTC to the 100-ns unit, whatever the time zone; a job
// is stuck only when it is spooling or printing and strictly older than the
// limit, and one stamped in the future (a clock set back) is not stuck.
TEST_F(PrintQueueCheck, StuckJobRule) {
    const std::uint64_t limit = 300 * kSecond;
    const std::uint64_t day = 86400 * kSecond;
    const struct {
        const char* what;
        DWORD status;
        std::uint64_t nowAfterSubmit; // may wrap to a time before the job
        int localOffsetMinutes;
        bool stuck;
    } cases[] = {
        {"printing, exactly the limit", JOB_STATUS_PRINTING, limit, 0, false},
        {"printing, the limit and 100 ns", JOB_STATUS_PRINTING, limit + 1, 0, true},
        {"spooling, the limit and 100 ns", JOB_STATUS_SPOOLING, limit + 1, 0, true},
        {"exactly the limit, 14 hours east", JOB_STATUS_PRINTING, limit, 840, false},
        {"the limit and 100 ns, 10 hours west", JOB_STATUS_PRINTING, limit + 1, -600, true},
        {"paused only, a day old", JOB_STATUS_PAUSED, day, 0, false},
        {"no status bits, a day old", 0, day, 0, false},
        {"paused while spooling", JOB_STATUS_PAUSED | JOB_STATUS_SPOOLING, limit + 1, 0, true},
        {"submitted right now", JOB_STATUS_PRINTING, 0, 0, false},
        {"submitted in the future", JOB_STATUS_PRINTING, ~std::uint64_t{0} - 3600 * kSecond + 1, 0,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh();
        const std::uint64_t submitted = sim::UtcNow();
        sim::SetLocalOffsetMinutes(c.localOffsetMinutes);
        sim::AddPrinter(L"Office");
        Job(L"Office", 7, 0, c.status);
        sim::SetUtcNow(submitted + c.nowAfterSubmit);
        EXPECT_EQ(c.stuck ? 0 : 1, CheckPrintQueues());
        EXPECT_EQ(c.stuck ? L"Stuck print job on 'Office' (job 7, document: report.pdf)" : L"",
                  Issue());
    }
}

// The first stuck job in queue order is named; a Submitted that cannot be
// converted counts as the oldest instant there is.
TEST_F(PrintQueueCheck, StuckJobTextNamesThePrinterTheJobAndTheDocument) {
    sim::AddPrinter(L"Office");
    Job(L"Office", 3, 10);
    Job(L"Office", 4294967295u, 3600, JOB_STATUS_PRINTING, std::nullopt);
    Job(L"Office", 9, 7200);
    EXPECT_EQ(0, CheckPrintQueues());
    EXPECT_EQ(L"Stuck print job on 'Office' (job 4294967295, document: (unknown))", Issue());

    Fresh();
    sim::AddPrinter(L"Office");
    SYSTEMTIME invalid = sim::UtcSystemTime(0);
    invalid.wMonth = 13;
    sim::AddJob(L"Office", 4, L"bad.txt", JOB_STATUS_SPOOLING, invalid);
    EXPECT_EQ(0, CheckPrintQueues());
    EXPECT_EQ(L"Stuck print job on 'Office' (job 4, document: bad.txt)", Issue());
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

    Fresh();
    sim::AddPrinter(L"Offline", PRINTER_STATUS_OFFLINE | 0x2);
    Job(L"Offline", 1, 86400);
    EXPECT_EQ(1, CheckPrintQueues());
    EXPECT_EQ(0u, Opens(L"Offline"));
}

// Only this computer's own queues are judged, and the print servers that
// the account is connected to are not contacted; a queue named in the
// settings is read wherever it is.
TEST_F(PrintQueueCheck, OnlyLocalQueuesUnlessARemoteOneIsNamed) {
    const struct {
        const char* what;
        bool connection;
        DWORD attributes;
        const WCHAR* named; // PrinterName
        bool examined;
    } cases[] = {
        {"local", false, PRINTER_ATTRIBUTE_LOCAL, L"", true},
        {"connection", true, PRINTER_ATTRIBUTE_NETWORK, L"", false},
        {"remote, though listed as local", false, PRINTER_ATTRIBUTE_NETWORK, L"", false},
        {"local and shared on the network", false,
         PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_NETWORK, L"", true},
        {"connection named", true, PRINTER_ATTRIBUTE_NETWORK, L"\\\\server\\Q", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh();
        sim::Printer& printer = sim::AddPrinter(L"\\\\server\\Q");
        printer.connection = c.connection;
        printer.attributes = c.attributes;
        Job(L"\\\\server\\Q", 1, 86400);
        CopyText(Settings.PrinterName, kPrinterNameCapacity, c.named);
        EXPECT_EQ(c.examined ? 0 : 1, CheckPrintQueues());
        EXPECT_EQ(c.examined ? 1u : 0u, Opens(L"\\\\server\\Q"));
        for (const sim::Call& call : sim::CallsOf(sim::Op::EnumPrintersW)) {
            EXPECT_EQ(L"2", call.args[0]) << "local printers only";
        }
    }
}

// A named printer is the only one read, offline or not, and without the
// printer list; a name that finds no printer passes.
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

// Off, the check reads nothing and passes, a stuck job or not.
TEST_F(PrintQueueCheck, OffReadsNothing) {
    sim::AddPrinter(L"Office");
    Job(L"Office", 1, 86400);
    Settings.EnableQueueCheck = 0;
    EXPECT_EQ(1, CheckPrintQueues());
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::EnumPrintersW));
}

TEST_F(PrintQueueCheck, LongPrinterNameIsCutAt255Characters) {
    const std::wstring name(300, L'n');
    sim::AddPrinter(name);
    Job(name, 1, 86400);
    EXPECT_EQ(0, CheckPrintQueues());
    EXPECT_EQ((L"Stuck print job on '" + name).substr(0, 255), Issue());
}

} // namespace
} // namespace nimbrel::test
