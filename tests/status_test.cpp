// The "status" report, byte for byte. Every failing platform call is in the
// fault sweep.

#include "app/status.h"
#include "tests/support.h"

namespace nimbrel::test {
namespace {

// The report's lines that recur, exactly as printed.
const std::string kRunning = "Print Spooler service: Running (PID 1234)\n";
const std::string kStateYes = "Service state healthy: Yes\n";
const std::string kStateNo = "Service state healthy: No\n";
const std::string kQueueYes = "Print queue healthy:   Yes\n";
const std::string kPluginPath = "Plugin check enabled:  C:\\Plugins\\check.exe\n";
const std::string kPluginYes = "Plugin healthy:        Yes\n";
const std::string kPluginNo = "Plugin healthy:        No\n";
const std::string kOverallYes = "Overall healthy:       Yes\n";
const std::string kOverallNo = "Overall healthy:       No\n";
const std::string kDaily = "Scheduled restart:     Every day at 02:00\n";
const std::string kSpool = "Spool folder:          C:\\Windows\\system32\\spool\\PRINTERS\n";
const std::string kHealthy = kRunning + kStateYes + kQueueYes + kOverallYes + kDaily + kSpool;
const std::string kIssue = "Last issue:            ";

const std::wstring kPluginOn = L"HealthCheck/EnablePluginCheck=1";
const std::wstring kPluginAt = L"HealthCheck/PluginPath=C:\\Plugins\\check.exe";
constexpr DWORD kNoSpooler = 0xFFFFFFFEu; // the service does not exist

class StatusCommand : public SimTest {};

// The plugin line shows this report's run; the overall verdict runs the
// plugin again only once its interval has passed since that launch.
TEST_F(StatusCommand, WholeReports) {
    const struct {
        const char* name;
        DWORD state;
        int pluginExit; // of C:\Plugins\check.exe; -1: no plugin there
        std::uint64_t pluginMs;
        std::wstring ini;
        int exitCode;
        std::string output;
        std::size_t launches;
    } cases[] = {
        {"running, defaults", SERVICE_RUNNING, -1, 0, L"", 0, kHealthy, 0},
        {"stopped", SERVICE_STOPPED, -1, 0, L"", 0,
         "Print Spooler service: Stopped\n" + kStateNo + kQueueYes + kOverallNo + kIssue +
             "Print Spooler service is stopped\n" + kDaily + kSpool,
         0},
        {"unknown state", 9, -1, 0, L"", 0,
         "Print Spooler service: Unknown (PID 1234)\n" + kStateNo + kQueueYes + kOverallNo +
             kIssue + "Print Spooler in unexpected service state\n" + kDaily + kSpool,
         0},
        {"queue check off", SERVICE_RUNNING, -1, 0, L"HealthCheck/EnableQueueCheck=0", 0,
         kRunning + kStateYes + kOverallYes + kDaily + kSpool, 0},
        {"daily restart off", SERVICE_RUNNING, -1, 0, L"Schedule/EnableScheduledRestart=0", 0,
         kRunning + kStateYes + kQueueYes + kOverallYes + kSpool, 0},
        {"plugin on, blank path", SERVICE_RUNNING, -1, 0,
         kPluginOn + L"\nHealthCheck/PluginPath=  ", 0, kHealthy, 0},
        {"plugin path, switched off", SERVICE_RUNNING, 3, 0, kPluginAt, 0, kHealthy, 0},
        {"some days, late", SERVICE_RUNNING, -1, 0,
         L"Schedule/RestartDays = Mon,Fri \nSchedule/RestartTime=\t23:30", 0,
         kRunning + kStateYes + kQueueYes + kOverallYes +
             "Scheduled restart:     Mon,Fri at 23:30\n" + kSpool,
         0},
        {"a time that does not parse", SERVICE_RUNNING, -1, 0, L"Schedule/RestartTime=25:9x", 0,
         kRunning + kStateYes + kQueueYes + kOverallYes +
             "Scheduled restart:     Every day at 25:9x\n" + kSpool,
         0},
        {"failed query", kNoSpooler, 3, 0, kPluginOn + L"\n" + kPluginAt, 1,
         "Unable to query Print Spooler status.\n", 0},
        {"plugin exits 3 after a second", SERVICE_RUNNING, 3, 1000, kPluginOn + L"\n" + kPluginAt,
         0,
         kRunning + kStateYes + kQueueYes + kPluginPath + kPluginNo + kOverallYes + kDaily + kSpool,
         1},
        {"plugin exits 0", SERVICE_RUNNING, 0, 10, kPluginOn + L"\n" + kPluginAt, 0,
         kRunning + kStateYes + kQueueYes + kPluginPath + kPluginYes + kOverallYes + kDaily +
             kSpool,
         1},
        {"plugin exits 3 after its interval", SERVICE_RUNNING, 3, 6000,
         kPluginOn + L"\n" + kPluginAt + L"\nHealthCheck/PluginIntervalMs=5000", 0,
         kRunning + kStateYes + kQueueYes + kPluginPath + kPluginNo + kOverallNo + kIssue +
             "Plugin health check failed (exit code 3)\n" + kDaily + kSpool,
         2},
        {"plugin missing", SERVICE_RUNNING, -1, 0,
         kPluginOn + L"\nHealthCheck/PluginPath=C:\\Plugins\\gone.cmd", 0,
         kRunning + kStateYes + kQueueYes + "Plugin check enabled:  C:\\Plugins\\gone.cmd\n" +
             kPluginNo + kOverallNo + kIssue + "Plugin health check file not found\n" + kDaily +
             kSpool,
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        if (c.state == kNoSpooler) {
            sim::RemoveService(L"Spooler");
        } else if (c.state == SERVICE_STOPPED) {
            sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
        } else {
            sim::Spooler().state = c.state;
            sim::Spooler().pid = 1234;
        }
        if (c.pluginExit >= 0) {
            sim::AddFile(L"C:\\Plugins\\check.exe");
            sim::AddProgram(L"\"C:\\Plugins\\check.exe\"",
                            {static_cast<DWORD>(c.pluginExit), c.pluginMs});
        }
        WriteIni(c.ini);
        EXPECT_EQ(c.exitCode, RunStatusCommand());
        EXPECT_EQ(c.output, sim::StdoutBytes());
        EXPECT_EQ(c.launches, sim::Launches().size());
        EXPECT_TRUE(sim::Events().empty()) << "the report writes nothing to the event log";
    }
}

// A disabled spooler gets a line of its own under the state line (no other
// start type does); the spool folder line shows the folder in effect.
TEST_F(StatusCommand, SaysWhenTheSpoolerIsDisabledAndWhichFolderIsCleared) {
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    sim::Spooler().startType = SERVICE_DISABLED;
    WriteIni(L"Monitor/SpoolDirectory=D:\\Spool");
    EXPECT_EQ(0, RunStatusCommand());
    EXPECT_EQ("Print Spooler service: Stopped\nStartup type:          Disabled\n" + kStateNo +
                  kQueueYes + kOverallNo + kIssue + "Print Spooler service is stopped\n" + kDaily +
                  "Spool folder:          D:\\Spool\n",
              sim::StdoutBytes());
}

TEST_F(StatusCommand, NamesEveryState) {
    const std::pair<DWORD, const char*> names[] = {
        {1, "Stopped"},          {2, "Start Pending"},     {3, "Stop Pending"}, {4, "Running"},
        {5, "Continue Pending"}, {6, "Pause Pending"},     {7, "Paused"},       {0, "Unknown"},
        {8, "Unknown"},          {0xFFFFFFFFu, "Unknown"},
    };
    for (const auto& [state, name] : names) {
        Fresh();
        sim::Spooler().state = state;
        sim::Spooler().pid = 0;
        EXPECT_EQ(0, RunStatusCommand());
        const std::string out = sim::StdoutBytes();
        EXPECT_EQ("Print Spooler service: " + std::string(name) + "\n",
                  out.substr(0, out.find('\n') + 1));
    }
}

// A settings file whose first section Windows would have lost: the report
// says once, at its end, how to save it.
TEST_F(StatusCommand, EndsWithANoteOnAFileWithAUtf8Mark) {
    sim::Spooler().pid = 1234;
    sim::SetFileBytes(kIniPath, "\xEF\xBB\xBF[Schedule]\r\nEnableScheduledRestart=0\r\n");
    EXPECT_EQ(0, RunStatusCommand());
    EXPECT_EQ(kRunning + kStateYes + kQueueYes + kOverallYes + kSpool +
                  "Note: " + Narrow(kUtf8MarkNotice) + "\n",
              sim::StdoutBytes());
}

} // namespace
} // namespace nimbrel::test
