#include "tests/health_support.h"

namespace nimbrel::test {
namespace {

constexpr WCHAR kPlugin[] = L"C:\\Plugins\\check.exe";
constexpr WCHAR kPluginCommand[] = L"\"C:\\Plugins\\check.exe\"";

class HealthVerdict : public HealthTest {
  protected:
    void SetUp() override {
        HealthTest::SetUp();
        CopyText(LastIssue, kLastIssueCapacity, L"left from before");
        Settings.EnablePluginCheck = 1;
        CopyText(Settings.PluginPath, kPluginPathCapacity, kPlugin);
        sim::AddFile(kPlugin);
    }

    static void PluginExits(DWORD exitCode) { sim::AddProgram(kPluginCommand, {exitCode, 100}); }

    static void StuckJob() {
        sim::AddPrinter(L"Office");
        sim::AddJob(L"Office", 12, L"a.doc", JOB_STATUS_PRINTING, sim::UtcSystemTime(3600));
    }
};

// The checks run in a fixed order and the first failure ends the verdict.
TEST_F(HealthVerdict, StopsAtTheFirstFailingCheck) {
    struct Case {
        const char* what;
        bool stopped;
        bool stuckJob;
        DWORD pluginExit;
        int healthy;
        const WCHAR* issue;
        unsigned printerEnumerations;
        std::size_t launches;
    };
    const Case cases[] = {
        {"all pass", false, false, 0, 1, L"", 2, 1},
        {"spooler stopped", true, true, 5, 0, L"Print Spooler service is stopped", 0, 0},
        {"a stuck job", false, true, 5, 0, L"Stuck print job on 'Office' (job 12, document: a.doc)",
         2, 0},
        {"the plugin fails", false, false, 5, 0, L"Plugin health check failed (exit code 5)", 2, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        SetUp();
        sim::AddPrinter(L"Idle");
        if (c.stuckJob) {
            StuckJob();
        }
        PluginExits(c.pluginExit);
        if (c.stopped) {
            sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
        }
        EXPECT_EQ(c.healthy, EvaluateHealth());
        EXPECT_EQ(std::wstring(c.issue), Issue());
        EXPECT_EQ(c.printerEnumerations, sim::CountCalls(sim::Op::EnumPrintersW));
        EXPECT_EQ(c.launches, sim::Launches().size());
        ExpectNothingLeftOpen();
    }
}

// The print queue check's own service query can see a state that the
// verdict's first query did not: its text stays behind a healthy verdict.
TEST_F(HealthVerdict, TextOfTheQueueChecksOwnStateQueryCanStandBehindAHealthyVerdict) {
    PluginExits(0);
    sim::FailCall(sim::Op::QueryServiceStatusEx, 0, 2);
    EXPECT_EQ(1, EvaluateHealth());
    EXPECT_EQ(L"Unable to query Print Spooler service state", Issue());
    EXPECT_EQ(1u, sim::Launches().size());
}

TEST_F(HealthVerdict, ChecksRememberWhatEarlierCallsSaw) {
    PluginExits(7);
    Settings.HangTimeoutMs = 5000;
    sim::SetServiceState(L"Spooler", SERVICE_START_PENDING);
    EXPECT_EQ(1, CheckServiceState());
    EXPECT_EQ(0, CheckPlugin());
    sim::AdvanceMs(5000);
    EXPECT_EQ(0, EvaluateHealth());
    EXPECT_EQ(L"Print Spooler stuck in Starting/Stopping state", Issue());

    // Running again: the plugin ran less than its interval ago and counts as
    // healthy without being run, whatever it reported then.
    sim::SetServiceState(L"Spooler", SERVICE_RUNNING);
    EXPECT_EQ(1, EvaluateHealth());
    EXPECT_EQ(L"", Issue());
    EXPECT_EQ(1u, sim::Launches().size());
}

} // namespace
} // namespace nimbrel::test
