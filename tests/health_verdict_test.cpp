// The health verdict: the checks in their order, and what they remember
// between calls.

#include "tests/support.h"

namespace nimbrel::test {
namespace {

constexpr WCHAR kPlugin[] = L"C:\\Plugins\\check.exe";
constexpr WCHAR kPluginCommand[] = L"\"C:\\Plugins\\check.exe\"";

class HealthVerdict : public SimTest {
  protected:
    void SetUp() override { Fresh(); }
    static void Fresh() {
        SimTest::Fresh();
        CopyText(LastIssue, kLastIssueCapacity, L"left from before");
        Settings.EnablePluginCheck = 1;
        CopyText(Settings.PluginPath, kPluginPathCapacity, kPlugin);
        sim::AddFile(kPlugin);
    }
};

// The checks run in a fixed order and the first failure ends the verdict:
// the printers of a stopped spooler are not read, the plugin of a spooler
// already known bad is not run.
TEST_F(HealthVerdict, StopsAtTheFirstFailingCheck) {
    const struct {
        const char* what;
        bool stopped, stuckJob;
        DWORD pluginExit;
        const WCHAR* issue; // empty: healthy
        unsigned printerEnumerations;
        std::size_t launches;
    } cases[] = {
        {"all pass", false, false, 0, L"", 2, 1},
        {"spooler stopped", true, true, 5, L"Print Spooler service is stopped", 0, 0},
        {"a stuck job", false, true, 5, L"Stuck print job on 'Office' (job 12, document: a.doc)", 2,
         0},
        {"the plugin fails", false, false, 5, L"Plugin health check failed (exit code 5)", 2, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh();
        sim::AddPrinter(L"Office");
        if (c.stuckJob) {
            sim::AddJob(L"Office", 12, L"a.doc", JOB_STATUS_PRINTING, sim::UtcSystemTime(3600));
        }
        sim::AddProgram(kPluginCommand, {c.pluginExit, 100});
        if (c.stopped) {
            sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
        }
        EXPECT_EQ(c.issue[0] == 0 ? 1 : 0, EvaluateHealth());
        EXPECT_EQ(std::wstring(c.issue), Issue());
        EXPECT_EQ(c.printerEnumerations, sim::CountCalls(sim::Op::EnumPrintersW));
        EXPECT_EQ(c.launches, sim::Launches().size());
    }
}

// The pending watch and the plugin's launch tick carry over from single
// checks to the verdict: a plugin run less than its interval ago counts as
// healthy, whatever it reported then.
TEST_F(HealthVerdict, ChecksRememberWhatEarlierCallsSaw) {
    sim::AddProgram(kPluginCommand, {7, 100});
    Settings.HangTimeoutMs = 5000;
    sim::SetServiceState(L"Spooler", SERVICE_START_PENDING);
    EXPECT_EQ(1, CheckServiceState());
    EXPECT_EQ(0, CheckPlugin());
    sim::AdvanceMs(5000);
    EXPECT_EQ(0, EvaluateHealth());
    EXPECT_EQ(L"Print Spooler stuck in Starting/Stopping state", Issue());

    sim::SetServiceState(L"Spooler", SERVICE_RUNNING);
    EXPECT_EQ(1, EvaluateHealth());
    EXPECT_EQ(L"", Issue());
    EXPECT_EQ(1u, sim::Launches().size());
}

} // namespace
} // namespace nimbrel::test
