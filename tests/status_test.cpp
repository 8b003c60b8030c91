// The "status" report byte for byte, and its one line of JSON for scripts:
// the member names they rely on, ASCII-only escapes, the settings' sources.

#include "app/status.h"
#include "tests/support.h"

#include <algorithm>
#include <iterator>

namespace nimbrel::test {
namespace {

constexpr DWORD kNoSpooler = 0xFFFFFFFEu; // the service does not exist
const std::string kTail = "|Every day at 02:00|C:\\Windows\\system32\\spool\\PRINTERS";
const std::string kRun = "Running (PID 1234)||Yes|Yes|";
const std::wstring kPlugin = L"HealthCheck/EnablePluginCheck=1\nHealthCheck/PluginPath=";
const std::wstring kExe = L"C:\\Plugins\\check.exe";

// The report from its values in order, '|' between them; an empty value
// leaves its line out.
std::string Report(const std::string& values) {
    static const char* const labels[] = {"Print Spooler service: ",
                                         "Startup type:          ",
                                         "Service state healthy: ",
                                         "Print queue healthy:   ",
                                         "Plugin check enabled:  ",
                                         "Plugin healthy:        ",
                                         "Overall healthy:       ",
                                         "Last issue:            ",
                                         "Scheduled restart:     ",
                                         "Spool folder:          ",
                                         "Note: "};
    std::string report;
    std::size_t at = 0;
    for (const char* label : labels) {
        const std::size_t end = std::min(values.find('|', at), values.size());
        report += end > at ? label + values.substr(at, end - at) + "\n" : "";
        at = end + 1;
    }
    return report;
}

class StatusTest : public SimTest {
  protected:
    static void Arrange(DWORD state, const std::wstring& ini) {
        Fresh();
        if (state == kNoSpooler) {
            sim::RemoveService(L"Spooler");
        } else if (state == SERVICE_STOPPED) {
            sim::SetServiceState(L"Spooler", state);
        } else {
            sim::Spooler().state = state;
            sim::Spooler().pid = 1234;
        }
        WriteIni(ini);
    }
};

// The plugin line shows this report's run; the overall verdict runs the
// plugin again only once its interval has passed since that launch.
TEST_F(StatusTest, WholeReports) {
    const struct {
        DWORD state;
        int pluginExit; // of C:\Plugins\check.exe; -1: no plugin there
        std::uint64_t pluginMs;
        std::wstring ini, option;
        int exitCode;
        std::string report;
        std::size_t launches;
    } cases[] = {
        {SERVICE_RUNNING, -1, 0, L"", L"", 0, kRun + "||Yes|" + kTail, 0},
        {SERVICE_STOPPED, -1, 0, L"", L"/j", 0,
         "Stopped||No|Yes|||No|Print Spooler service is stopped" + kTail, 0},
        {SERVICE_RUNNING, -1, 0, L"HealthCheck/EnableQueueCheck=0", L"/jsonx", 0,
         "Running (PID 1234)||Yes||||Yes|" + kTail, 0},
        {SERVICE_RUNNING, -1, 0, L"Schedule/EnableScheduledRestart=0", L"json", 0,
         kRun + "||Yes|||C:\\Windows\\system32\\spool\\PRINTERS", 0},
        {SERVICE_RUNNING, -1, 0, kPlugin + L"  ", L"", 0, kRun + "||Yes|" + kTail, 0},
        {SERVICE_RUNNING, 3, 0, L"HealthCheck/PluginPath=" + kExe, L"", 0, kRun + "||Yes|" + kTail,
         0},
        {SERVICE_RUNNING, -1, 0,
         L"Schedule/RestartDays = Mon,Fri \nSchedule/RestartTime=\t23:30\n"
         L"Monitor/SpoolDirectory=D:\\Spool",
         L"", 0, kRun + "||Yes||Mon,Fri at 23:30|D:\\Spool", 0},
        {kNoSpooler, 3, 0, kPlugin + kExe, L"", 1, "Unable to query Print Spooler status.\n", 0},
        {SERVICE_RUNNING, 3, 1000, kPlugin + kExe, L"", 0,
         kRun + "C:\\Plugins\\check.exe|No|Yes|" + kTail, 1},
        {SERVICE_RUNNING, 3, 6000, kPlugin + kExe + L"\nHealthCheck/PluginIntervalMs=5000", L"", 0,
         kRun + "C:\\Plugins\\check.exe|No|No|Plugin health check failed (exit code 3)" + kTail, 2},
        {SERVICE_RUNNING, -1, 0, kPlugin + L"C:\\Plugins\\gone.cmd", L"", 0,
         kRun + "C:\\Plugins\\gone.cmd|No|No|Plugin health check file not found" + kTail, 0},
    };
    for (const auto& c : cases) {
        Arrange(c.state, c.ini);
        if (c.pluginExit >= 0) {
            sim::AddFile(L"C:\\Plugins\\check.exe");
            sim::AddProgram(L"\"C:\\Plugins\\check.exe\"",
                            {static_cast<DWORD>(c.pluginExit), c.pluginMs});
        }
        EXPECT_EQ(c.exitCode, RunNimbrel({L"status", c.option}));
        const std::string expected = c.exitCode ? c.report : Report(c.report);
        EXPECT_EQ(expected, sim::StdoutBytes()) << Narrow(c.ini);
        EXPECT_EQ(c.launches, sim::Launches().size());
        EXPECT_TRUE(sim::Events().empty()) << "the report writes nothing to the event log";
    }
}

// A disabled spooler gets a line of its own; a file with a UTF-8 mark, a
// note at the end on how to save it.
TEST_F(StatusTest, SaysWhenTheSpoolerIsDisabledAndWhenTheFileHasAUtf8Mark) {
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    sim::Spooler().startType = SERVICE_DISABLED;
    sim::SetFileBytes(kIniPath, "\xEF\xBB\xBF[Schedule]\r\nEnableScheduledRestart=0\r\n");
    EXPECT_EQ(0, RunStatusCommand());
    EXPECT_EQ(Report("Stopped|Disabled|No|Yes|||No|Print Spooler service is stopped||"
                     "C:\\Windows\\system32\\spool\\PRINTERS|" +
                     Narrow(kUtf8MarkNotice)),
              sim::StdoutBytes());
}

TEST(SpoolerStateName, NamesEveryState) {
    const std::pair<DWORD, std::wstring> names[] = {
        {1, L"Stopped"}, {2, L"Start Pending"},    {3, L"Stop Pending"},
        {4, L"Running"}, {5, L"Continue Pending"}, {6, L"Pause Pending"},
        {7, L"Paused"},  {0, L"Unknown"},          {8, L"Unknown"},
    };
    for (const auto& [state, name] : names) {
        EXPECT_EQ(name, SpoolerStateName(state));
    }
}

// Every setting, with its value and source, as scripts read them.
TEST_F(StatusTest, JsonWithDefaultsWholeLine) {
    Arrange(SERVICE_RUNNING, L"");
    EXPECT_EQ(0, RunNimbrel({L"status", L"/json"}));
    std::string settings;
    const char* const values[] = {"CheckIntervalMs",
                                  "10000",
                                  "HangTimeoutMs",
                                  "120000",
                                  "MaxRestartsPerHour",
                                  "3",
                                  "ClearSpoolOnRecovery",
                                  "1",
                                  "StopTimeoutMs",
                                  "30000",
                                  "StartTimeoutMs",
                                  "60000",
                                  "RestartDelayMs",
                                  "3000",
                                  "EnableQueueCheck",
                                  "1",
                                  "StuckJobTimeoutMs",
                                  "300000",
                                  "MaxQueueJobs",
                                  "0",
                                  "QueueCheckTimeoutMs",
                                  "60000",
                                  "EnablePluginCheck",
                                  "0",
                                  "PluginIntervalMs",
                                  "60000",
                                  "PluginTimeoutMs",
                                  "30000",
                                  "EnableScheduledRestart",
                                  "1",
                                  "ClearSpoolOnScheduledRestart",
                                  "0",
                                  "SpoolDirectory",
                                  "\"\"",
                                  "PrinterName",
                                  "\"\"",
                                  "PluginPath",
                                  "\"\"",
                                  "RestartTime",
                                  "\"02:00\"",
                                  "RestartDays",
                                  "\"\"",
                                  "MetricsFile",
                                  "\"\""};
    for (std::size_t i = 0; i < std::size(values); i += 2) {
        settings += std::string(i ? "," : "") + "\"" + values[i] +
                    "\":{\"value\":" + values[i + 1] + ",\"source\":\"default\"}";
    }
    EXPECT_EQ("{\"healthy\":true,\"spooler\":{\"state\":\"Running\",\"processId\":1234,"
              "\"startType\":\"Automatic\"},\"checks\":{\"serviceState\":true,\"printQueue\":true,"
              "\"plugin\":null},\"lastIssue\":null,\"schedule\":{\"days\":\"Every day\","
              "\"time\":\"02:00\"},\"spoolDirectory\":\"C:\\\\Windows\\\\system32\\\\spool\\\\"
              "PRINTERS\",\"version\":\"1.1.0\",\"settings\":{" +
                  settings + "}}\n",
              sim::StdoutBytes());
}

// Only the members each case is about; the whole line is above.
TEST_F(StatusTest, JsonStatesChecksSourcesAndEscapes) {
    const struct {
        DWORD state;
        std::wstring option, ini;
        int exitCode;
        std::string members; // '|' between them
    } cases[] = {
        {SERVICE_STOPPED, L"-JSON", L"", 0,
         "{\"healthy\":false,\"spooler\":{\"state\":\"Stopped\",\"processId\":0,|"
         "\"serviceState\":false,\"printQueue\":true,|"
         "\"lastIssue\":\"Print Spooler service is stopped\","},
        // A key that holds its default value still comes from the file.
        {SERVICE_RUNNING, L"--Json",
         L"HealthCheck/EnableQueueCheck=0\nSchedule/EnableScheduledRestart=0\n"
         L"Monitor/CheckIntervalMs=10000\nmonitor/hangtimeoutms=4",
         0,
         "\"printQueue\":null,\"plugin\":null}|\"schedule\":null,|"
         "\"EnableQueueCheck\":{\"value\":0,\"source\":\"file\"}|"
         "\"CheckIntervalMs\":{\"value\":10000,\"source\":\"file\"}|"
         "\"HangTimeoutMs\":{\"value\":5000,\"source\":\"file\"}|"
         "\"MaxRestartsPerHour\":{\"value\":3,\"source\":\"default\"}"},
        // A quote, a backslash, a tab and characters beyond ASCII, beyond
        // Latin-1 and beyond U+FFFF, in the settings and in the issue text.
        {SERVICE_RUNNING, L"/json",
         kPlugin + L"C:\\Pr\u00fcf \"x\"\\c\t\u007f\u20ac\U0001F5A8.exe\nSchedule/RestartDays=Mon",
         0,
         "\"plugin\":false}|\"lastIssue\":\"Plugin health check file not found\"|"
         "\"PluginPath\":{\"value\":\"C:\\\\Pr\\u00fcf \\\"x\\\"\\\\c\\u0009\\u007f\\u20ac"
         "\\ud83d\\udda8.exe\",\"source\":\"file\"}|"
         "\"schedule\":{\"days\":\"Mon\",\"time\":\"02:00\"}"},
        {kNoSpooler, L"/json", L"", 1,
         "{\"error\":\"Unable to query Print Spooler status.\",\"spoolDirectory\":|"
         "\"version\":\"1.1.0\",\"settings\":{\"CheckIntervalMs\":"},
    };
    for (const auto& c : cases) {
        Arrange(c.state, c.ini);
        EXPECT_EQ(c.exitCode, RunNimbrel({L"STATUS", c.option}));
        const std::string out = sim::StdoutBytes();
        for (std::size_t at = 0, end; at < c.members.size(); at = end + 1) {
            end = std::min(c.members.find('|', at), c.members.size());
            EXPECT_NE(std::string::npos, out.find(c.members.substr(at, end - at))) << out;
        }
        EXPECT_EQ(1u, std::count(out.begin(), out.end(), '\n'));
        EXPECT_EQ('\n', out.back());
        for (char byte : out) {
            EXPECT_TRUE(byte >= 0x20 ? byte < 0x7F : byte == '\n') << "byte " << int(byte);
        }
    }
}

} // namespace
} // namespace nimbrel::test
