// The metrics file: the exposition text as monitoring agents read it, its
// figures over real runs of the service, and a file that cannot be written.
#include "service/metrics.h"
#include "tests/service_fixture.h"

namespace nimbrel::test {
namespace {

constexpr wchar_t kMetricsPath[] = L"C:\\Metrics\\nimbrel.prom";

class MetricsTest : public ServiceTest {
  protected:
    void SetUp() override {
        ServiceTest::SetUp();
        sim::AddFolder(L"C:\\Metrics");
    }
    static std::string Written() { return sim::FileBytes(kMetricsPath); }
    const std::wstring kIni = L"Schedule/EnableScheduledRestart=0\nRecovery/StartTimeoutMs=1000";
};

TEST_F(MetricsTest, OneHealthyCycleWholeFile) {
    WriteIni(L"Schedule/EnableScheduledRestart=0\nMonitor/MetricsFile= C:\\Metrics\\nimbrel.prom ");
    EXPECT_EQ(0, RunServiceFor(5 * kSecond));
    EXPECT_EQ(
        "# HELP nimbrel_spooler_healthy Whether the last health verdict found the Print Spooler "
        "healthy (1) or not (0).\n"
        "# TYPE nimbrel_spooler_healthy gauge\nnimbrel_spooler_healthy 1\n"
        "# HELP nimbrel_spooler_state The Print Spooler's service state: 1 stopped, 2 start "
        "pending, 3 stop pending, 4 running, 5 continue pending, 6 pause pending, 7 paused; 0 "
        "when it cannot be read.\n"
        "# TYPE nimbrel_spooler_state gauge\nnimbrel_spooler_state 4\n"
        "# HELP nimbrel_check_healthy Whether each health check last found the Print Spooler "
        "healthy (1) or not (0); a check that is off, or has not run yet, is absent.\n"
        "# TYPE nimbrel_check_healthy gauge\n"
        "nimbrel_check_healthy{check=\"service_state\"} 1\n"
        "nimbrel_check_healthy{check=\"print_queue\"} 1\n"
        "# HELP nimbrel_recoveries_total Recoveries of the Print Spooler since the service "
        "started, by what started them and how they ended.\n"
        "# TYPE nimbrel_recoveries_total counter\n"
        "nimbrel_recoveries_total{trigger=\"automatic\",outcome=\"completed\"} 0\n"
        "nimbrel_recoveries_total{trigger=\"automatic\",outcome=\"failed\"} 0\n"
        "nimbrel_recoveries_total{trigger=\"scheduled\",outcome=\"completed\"} 0\n"
        "nimbrel_recoveries_total{trigger=\"scheduled\",outcome=\"failed\"} 0\n"
        "# HELP nimbrel_recoveries_refused_total Monitor cycles since the service started in "
        "which the hourly limit refused a recovery.\n"
        "# TYPE nimbrel_recoveries_refused_total counter\nnimbrel_recoveries_refused_total 0\n"
        "# HELP nimbrel_last_recovery_timestamp_seconds When the last recovery ended, in seconds "
        "since 1970-01-01 UTC; 0 before the first.\n"
        "# TYPE nimbrel_last_recovery_timestamp_seconds gauge\n"
        "nimbrel_last_recovery_timestamp_seconds 0\n"
        "# HELP nimbrel_cycles_total Monitor cycles since the service started.\n"
        "# TYPE nimbrel_cycles_total counter\nnimbrel_cycles_total 1\n"
        "# HELP nimbrel_cycle_duration_seconds How long the last monitor cycle's work took, "
        "without the wait after it.\n"
        "# TYPE nimbrel_cycle_duration_seconds gauge\nnimbrel_cycle_duration_seconds 0.000\n"
        "# HELP nimbrel_build_info Nimbrel's version, as a label; always 1.\n"
        "# TYPE nimbrel_build_info gauge\nnimbrel_build_info{version=\"1.1.0\"} 1\n",
        Written());
    // Written beside it, then put in its place in one step.
    EXPECT_EQ(std::vector<std::wstring>{L"C:\\Metrics\\nimbrel.prom.tmp -> "
                                        L"C:\\Metrics\\nimbrel.prom, 9"},
              sim::Moves());
    EXPECT_EQ(std::vector<std::wstring>{L"nimbrel.prom"}, sim::Listing(L"C:\\Metrics"));
}

// A stopped spooler recovered in the first cycle (after the 3 s pause), and
// one that will not run: every recovery fails until the limit refuses.
TEST_F(MetricsTest, RecoveriesAndTheHourlyLimitAreCounted) {
    for (const bool failsToRun : {false, true}) {
        SetUp();
        WriteIni(kIni + L"\nMonitor/MetricsFile=C:\\Metrics\\nimbrel.prom");
        sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
        sim::Spooler().startFailsToRun = failsToRun;
        EXPECT_EQ(0, RunServiceFor(failsToRun ? 10 * kMinute : 15 * kSecond));
        const std::vector<std::string> lines =
            failsToRun
                ? std::vector<std::string>{"nimbrel_recoveries_total{trigger=\"automatic\","
                                           "outcome=\"failed\"} 3",
                                           "nimbrel_spooler_healthy 0",
                                           "nimbrel_check_healthy{check=\"service_state\"} 0"}
                : std::vector<std::string>{"nimbrel_recoveries_total{trigger=\"automatic\","
                                           "outcome=\"completed\"} 1",
                                           "nimbrel_spooler_healthy 1", "nimbrel_cycles_total 2"};
        for (const std::string& line : lines) {
            EXPECT_NE(std::string::npos, Written().find("\n" + line + "\n")) << line;
        }
        EXPECT_EQ(failsToRun ? Metrics.cycles - 3 : 0, Metrics.refused);
        const std::int64_t now = static_cast<std::int64_t>(sim::UtcNow() / 10000000) - 11644473600;
        EXPECT_TRUE(failsToRun || now - 15 < Metrics.lastRecoveryTime);
    }
}

// A file that cannot be written costs that file alone, and is said at most
// once an hour.
TEST_F(MetricsTest, AFileThatCannotBeWrittenChangesNothingElse) {
    std::vector<std::wstring> logged[2];
    for (int gone : {0, 1}) {
        SetUp();
        WriteIni(kIni + (gone ? L"\nMonitor/MetricsFile=D:\\Gone\\nimbrel.prom" : L""));
        sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
        sim::Spooler().startFailsToRun = true;
        EXPECT_EQ(0, RunServiceFor(2 * kHour + 5 * kMinute));
        logged[gone] = Logged();
    }
    const std::wstring warning =
        L"W:Unable to write the metrics file D:\\Gone\\nimbrel.prom: error 3.";
    EXPECT_EQ(3, std::count(logged[1].begin(), logged[1].end(), warning)); // 0 h, 1 h, 2 h
    logged[1].erase(std::remove(logged[1].begin(), logged[1].end(), warning), logged[1].end());
    EXPECT_EQ(logged[0], logged[1]);
}

} // namespace
} // namespace nimbrel::test
