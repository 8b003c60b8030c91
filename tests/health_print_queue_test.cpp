// The print queue check: its two rules and which printers it reads. Failing
// platform calls (it fails open) are the fault sweep's.

#include "tests/support.h"

#include <functional>

namespace nimbrel::test {
namespace {

constexpr std::uint64_t kSecond = 10000000; // FILETIME units
const std::wstring kStuckOffice = L"Stuck print job on 'Office' (job 7, document: report.pdf)";

class PrintQueueCheck : public SimTest {
  protected:
    static void Job(const std::wstring& printer, DWORD id, std::int64_t secondsAgo,
                    DWORD status = JOB_STATUS_PRINTING,
                    std::optional<std::wstring> document = L"report.pdf") {
        sim::AddJob(printer, id, std::move(document), status, sim::UtcSystemTime(secondsAgo));
    }
    static unsigned Opens(const std::wstring& printer) { return sim::FindPrinter(printer)->opens; }
};

// A depth of 0 is no limit; a queue too deep is reported before its jobs.
TEST_F(PrintQueueCheck, DepthRuleIsStrictlyGreaterAndComesFirst) {
    const struct {
        DWORD limit, jobs;
        const WCHAR* issue;
    } cases[] = {
        {0, 3, L"Stuck print job on 'Office' (job 1, document: report.pdf)"},
        {3, 3, L"Stuck print job on 'Office' (job 1, document: report.pdf)"},
        {1, 2, L"Printer 'Office' queue depth 2 exceeds limit 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.jobs << " jobs, limit " << c.limit);
        Fresh();
        Settings.MaxQueueJobs = c.limit;
        sim::AddPrinter(L"Office");
        for (DWORD id = 1; id <= c.jobs; ++id) {
            Job(L"Office", id, id == 1 ? 3600 : 1);
        }
        EXPECT_FALSE(CheckPrintQueues());
        EXPECT_EQ(std::wstring(c.issue), Issue());
    }
}

// Stuck: spooling or printing, and older than the limit in UTC, to the 100 ns,
// whatever the time zone; never when stamped in the future (a clock set back).
TEST_F(PrintQueueCheck, StuckJobRule) {
    const std::uint64_t limit = 300 * kSecond;
    const struct {
        DWORD status;
        std::uint64_t nowAfterSubmit; // may wrap to a time before the job
        int localOffsetMinutes;
        bool stuck;
    } cases[] = {
        {JOB_STATUS_PRINTING, limit, 840, false},
        {JOB_STATUS_SPOOLING, limit + 1, -600, true},
        {JOB_STATUS_PAUSED, 86400 * kSecond, 0, false},
        {JOB_STATUS_PRINTING, ~std::uint64_t{0} - 3600 * kSecond + 1, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.status << " +" << c.nowAfterSubmit);
        Fresh();
        const std::uint64_t submitted = sim::UtcNow();
        sim::SetLocalOffsetMinutes(c.localOffsetMinutes);
        sim::AddPrinter(L"Office");
        Job(L"Office", 7, 0, c.status);
        sim::SetUtcNow(submitted + c.nowAfterSubmit);
        EXPECT_EQ(!c.stuck, CheckPrintQueues() != 0);
        EXPECT_EQ(c.stuck ? kStuckOffice : L"", Issue());
    }
}

// Offline and nameless printers are passed over; the first stuck job of the
// first unhealthy printer is named, and the walk ends there.
TEST_F(PrintQueueCheck, WalkNamesTheFirstStuckJobAndStopsThere) {
    sim::AddPrinter(L"Offline", PRINTER_STATUS_OFFLINE);
    Job(L"Offline", 1, 86400);
    sim::AddNamelessPrinter();
    sim::AddPrinter(L"Healthy");
    Job(L"Healthy", 2, 10);
    sim::AddPrinter(L"A");
    Job(L"A", 3, 10);
    Job(L"A", 4294967295u, 3600, JOB_STATUS_PRINTING, std::nullopt);
    Job(L"A", 4, 7200);
    sim::AddPrinter(L"B");
    Job(L"B", 5, 3600);
    EXPECT_FALSE(CheckPrintQueues());
    EXPECT_EQ(L"Stuck print job on 'A' (job 4294967295, document: (unknown))", Issue());
    EXPECT_EQ(0u, Opens(L"Offline"));
    EXPECT_EQ(1u, Opens(L"Healthy"));
    EXPECT_EQ(0u, Opens(L"B"));
    // Off, the check reads nothing and passes.
    Settings.EnableQueueCheck = 0;
    sim::ClearCalls();
    EXPECT_TRUE(CheckPrintQueues());
    EXPECT_EQ(0u, sim::Calls().size());
}

// Only this computer's own queues are judged and no print server is contacted;
// a queue named in the settings is the only one read, wherever it is.
TEST_F(PrintQueueCheck, OnlyLocalQueuesUnlessOneIsNamed) {
    const struct {
        bool connection;
        DWORD attributes, status;
        const WCHAR* named; // PrinterName
        bool examined;
    } cases[] = {
        {false, PRINTER_ATTRIBUTE_NETWORK, 0, L"", false},
        {false, PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_NETWORK, 0, L"", true},
        {true, PRINTER_ATTRIBUTE_NETWORK, PRINTER_STATUS_OFFLINE, L"\\\\server\\Q", true},
        {false, PRINTER_ATTRIBUTE_LOCAL, 0, L"No Such Printer", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.attributes << " " << Narrow(c.named));
        Fresh();
        sim::Printer& printer = sim::AddPrinter(L"\\\\server\\Q", c.status);
        printer.connection = c.connection;
        printer.attributes = c.attributes;
        Job(L"\\\\server\\Q", 1, 86400);
        CopyText(Settings.PrinterName, kPrinterNameCapacity, c.named);
        EXPECT_EQ(!c.examined, CheckPrintQueues() != 0);
        EXPECT_EQ(c.examined ? 1u : 0u, Opens(L"\\\\server\\Q"));
        const auto enumerations = sim::CallsOf(sim::Op::EnumPrintersW);
        EXPECT_EQ(c.named[0] != 0, enumerations.empty()) << "a named queue needs no list";
        for (const sim::Call& call : enumerations) {
            EXPECT_EQ(L"2", call.args[0]) << "local printers only";
        }
    }
}

// Checks once a minute for up to 12 minutes, letting `change` act on the
// jobs before each look; the minute of the first "stuck", or -1.
int FirstStuckMinute(const std::function<void(DWORD, std::vector<sim::Job>&)>& change) {
    for (DWORD minute = 0; minute <= 12; ++minute) {
        change(minute, sim::FindPrinter(L"Office")->jobs);
        if (!CheckPrintQueues()) {
            return static_cast<int>(minute);
        }
        sim::AdvanceMs(60000);
    }
    return -1;
}

// In the service a long document still printing is not stuck: a job is stuck
// once it shows no progress for the limit, from its first sighting on.
// "status" looks once, by its age alone.
TEST_F(PrintQueueCheck, InTheServiceAJobIsStuckOnlyOnceItShowsNoProgress) {
    const struct {
        std::int64_t submittedSecondsAgo;
        DWORD status, printsUntil; // the minute its pages printed stop growing
        int inService, inStatus;   // the first stuck minute; -1: never
    } cases[] = {
        {1200, JOB_STATUS_PRINTING, 12, -1, 0},
        {1200, JOB_STATUS_SPOOLING, 3, 9, 0},
        {0, JOB_STATUS_PRINTING, 0, 6, 6},
    };
    for (const auto& c : cases) {
        for (int service : {1, 0}) {
            SCOPED_TRACE(testing::Message()
                         << c.printsUntil << (service ? " in the service" : " in status"));
            Fresh();
            sim::SetRecording(false);
            sim::AddPrinter(L"Office");
            WatchJobProgress = service;
            Job(L"Office", 7, c.submittedSecondsAgo, c.status);
            EXPECT_EQ(service ? c.inService : c.inStatus,
                      FirstStuckMinute([&](DWORD minute, std::vector<sim::Job>& jobs) {
                          jobs[0].pagesPrinted = std::min(minute, c.printsUntil);
                      }));
            EXPECT_TRUE(Issue().empty() || Issue() == kStuckOffice);
            ExpectNothingLeftOpen();
        }
    }
}

// Jobs beyond a full memory are unwatched, so never stuck, until jobs gone make room.
TEST_F(PrintQueueCheck, JobMemoryIsBoundedAndForgetsJobsThatAreGone) {
    sim::SetRecording(false);
    sim::AddPrinter(L"Office");
    WatchJobProgress = 1;
    for (DWORD id = 1; id <= kWatchedJobsCapacity + 1; ++id) {
        Job(L"Office", id, 3600);
    }
    std::vector<sim::Job>& jobs = sim::FindPrinter(L"Office")->jobs;
    EXPECT_TRUE(CheckPrintQueues());
    EXPECT_EQ(kWatchedJobsCapacity, WatchedJobs());
    sim::AdvanceMs(6 * 60000);
    for (std::size_t i = 0; i < kWatchedJobsCapacity; ++i) {
        jobs[i].pagesPrinted = 1;
    }
    EXPECT_TRUE(CheckPrintQueues()) << "the last has not moved, but is not watched";
    // The look that finds the others gone makes room; the next watches the last.
    jobs.erase(jobs.begin(), jobs.end() - 1);
    EXPECT_TRUE(CheckPrintQueues());
    EXPECT_EQ(0u, WatchedJobs());
    EXPECT_TRUE(CheckPrintQueues());
    sim::AdvanceMs(5 * 60000 + 1);
    EXPECT_FALSE(CheckPrintQueues());
}

} // namespace
} // namespace nimbrel::test
