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
    static bool Has(const std::string& line) {
        return Written().find("\n" + line + "\n") != std::string::npos;
    }
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

// A stopped spooler is recovered in the first cycle, after the three-second
// pause; the second cycle finds it healthy again.
TEST_F(MetricsTest, ARecoveryAndTheHourlyLimitAreCounted) {
    WriteIni(L"Schedule/EnableScheduledRestart=0\nMonitor/MetricsFile=C:\\Metrics\\nimbrel.prom");
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    EXPECT_EQ(0, RunServiceFor(15 * kSecond));
    EXPECT_TRUE(Has("nimbrel_recoveries_total{trigger=\"automatic\",outcome=\"completed\"} 1"));
    EXPECT_TRUE(Has("nimbrel_spooler_healthy 1")) << Written();
    EXPECT_TRUE(Has("nimbrel_cycles_total 2"));
    const std::int64_t ended = static_cast<std::int64_t>(sim::UtcNow() / 10000000) - 11644473600;
    EXPECT_NE(std::string::npos, Written().find("nimbrel_last_recovery_timestamp_seconds 1"));
    EXPECT_LT(ended - 15, Metrics.lastRecoveryTime);

    // A spooler that will not run: every recovery fails until the limit refuses.
    Fresh();
    SetUp();
    WriteIni(L"Schedule/EnableScheduledRestart=0\nMonitor/MetricsFile=C:\\Metrics\\nimbrel.prom\n"
             L"Recovery/StartTimeoutMs=1000");
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    sim::Spooler().startFailsToRun = true;
    EXPECT_EQ(0, RunServiceFor(10 * kMinute));
    EXPECT_TRUE(Has("nimbrel_recoveries_total{trigger=\"automatic\",outcome=\"failed\"} 3"));
    EXPECT_TRUE(Has("nimbrel_spooler_healthy 0"));
    EXPECT_TRUE(Has("nimbrel_check_healthy{check=\"service_state\"} 0"));
    EXPECT_EQ(Metrics.cycles - 3, Metrics.refused);
}

// A file that cannot be written costs that file alone, and is said at most
// once an hour.
TEST_F(MetricsTest, AFileThatCannotBeWrittenChangesNothingElse) {
    const std::wstring ini = L"Schedule/EnableScheduledRestart=0\nRecovery/StartTimeoutMs=1000";
    std::vector<std::wstring> without;
    for (const wchar_t* file : {L"", L"D:\\Gone\\nimbrel.prom"}) {
        Fresh();
        SetUp();
        WriteIni(ini + L"\nMonitor/MetricsFile=" + file);
        sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
        sim::Spooler().startFailsToRun = true;
        EXPECT_EQ(0, RunServiceFor(2 * kHour + 5 * kMinute));
        std::vector<std::wstring> logged = Logged();
        if (without.empty()) {
            without = logged;
            continue;
        }
        const std::wstring warning = L"W:Unable to write the metrics file D:\\Gone\\nimbrel.prom: "
                                     L"error 3.";
        EXPECT_EQ(3, std::count(logged.begin(), logged.end(), warning)); // 0 h, 1 h, 2 h
        logged.erase(std::remove(logged.begin(), logged.end(), warning), logged.end());
        EXPECT_EQ(without, logged);
    }
}

} // namespace
} // namespace nimbrel::test
