// The metrics file as monitoring agents read it, over real runs of the service.
#include "service/metrics.h"
#include "tests/service_fixture.h"

namespace nimbrel::test {
namespace {

using MetricsTest = ServiceTest;

// A stopped spooler recovered in the first cycle; the second finds it healthy.
TEST_F(MetricsTest, TheWholeFileAfterARecovery) {
    WriteIni(L"Schedule/EnableScheduledRestart=0\nMonitor/MetricsFile= C:\\Metrics\\nimbrel.prom ");
    sim::AddFolder(L"C:\\Metrics");
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    EXPECT_EQ(0, RunServiceFor(15 * kSecond));
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
        "nimbrel_recoveries_total{trigger=\"automatic\",outcome=\"completed\"} 1\n"
        "nimbrel_recoveries_total{trigger=\"automatic\",outcome=\"failed\"} 0\n"
        "nimbrel_recoveries_total{trigger=\"scheduled\",outcome=\"completed\"} 0\n"
        "nimbrel_recoveries_total{trigger=\"scheduled\",outcome=\"failed\"} 0\n"
        "# HELP nimbrel_recoveries_refused_total Monitor cycles since the service started in "
        "which the hourly limit refused a recovery.\n"
        "# TYPE nimbrel_recoveries_refused_total counter\nnimbrel_recoveries_refused_total 0\n"
        "# HELP nimbrel_last_recovery_timestamp_seconds When the last recovery ended, in seconds "
        "since 1970-01-01 UTC; 0 before the first.\n"
        "# TYPE nimbrel_last_recovery_timestamp_seconds gauge\n"
        "nimbrel_last_recovery_timestamp_seconds 1796634003\n"
        "# HELP nimbrel_cycles_total Monitor cycles since the service started.\n"
        "# TYPE nimbrel_cycles_total counter\nnimbrel_cycles_total 2\n"
        "# HELP nimbrel_cycle_duration_seconds How long the last monitor cycle's work took, "
        "without the wait after it.\n"
        "# TYPE nimbrel_cycle_duration_seconds gauge\nnimbrel_cycle_duration_seconds 0.000\n"
        "# HELP nimbrel_build_info Nimbrel's version, as a label; always 1.\n"
        "# TYPE nimbrel_build_info gauge\nnimbrel_build_info{version=\"1.1.0\"} 1\n",
        sim::FileBytes(L"C:\\Metrics\\nimbrel.prom"));
    // Written beside it, then put in its place in one step.
    EXPECT_EQ(L"C:\\Metrics\\nimbrel.prom.tmp -> C:\\Metrics\\nimbrel.prom, 9", sim::Moves().at(1));
    EXPECT_EQ(std::vector<std::wstring>{L"nimbrel.prom"}, sim::Listing(L"C:\\Metrics"));
}

// Refusals are said once an hour, as is a file that cannot be written.
TEST_F(MetricsTest, FailuresAndRefusalsAreCountedAndAFileThatCannotBeWrittenIsSaidHourly) {
    WriteIni(L"Schedule/EnableScheduledRestart=0\nRecovery/StartTimeoutMs=1000\n"
             L"Monitor/MetricsFile=D:\\Gone\\nimbrel.prom");
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    sim::Spooler().startFailsToRun = true;
    EXPECT_EQ(0, RunServiceFor(2 * kHour + 5 * kMinute));
    const std::vector<std::uint64_t> warned =
        TimesOf(L"Unable to write the metrics file D:\\Gone\\nimbrel.prom: error 3.");
    ASSERT_EQ(3u, warned.size());
    EXPECT_GE(warned[1] - warned[0], kHour);
    EXPECT_GE(warned[2] - warned[1], kHour);
    const std::size_t failed = TimesOf(L"Failed to start Print Spooler during recovery.").size();
    EXPECT_EQ(9u, failed); // three an hour
    EXPECT_EQ(3u,
              TimesOf(L"Print Spooler unhealthy but recovery rate limit reached. Waiting.").size());
    EXPECT_EQ(failed, g_Metrics.recoveries[0][0]);
    EXPECT_EQ(g_Metrics.cycles - failed, g_Metrics.refused);
    EXPECT_EQ(0, g_Metrics.healthy);
    EXPECT_EQ(0, g_Metrics.checks[0]);
}

} // namespace
} // namespace nimbrel::test
