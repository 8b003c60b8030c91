// What "status" prints: the report byte for byte, its one ASCII line of JSON
// for scripts, and any text as UTF-8 when redirected.

#include "app/console.h"
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

// "a|b|" as "a", "b" and "".
std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        c == '|' ? parts.emplace_back() : parts.back() += c;
    }
    return parts;
}

// The report from its values, '|' between them; an empty value leaves its line out.
std::string Report(const std::string& values) {
    const auto labels = Split("Print Spooler service|Startup type|Service state healthy|"
                              "Print queue healthy|Plugin check enabled|Plugin healthy|"
                              "Overall healthy|Last issue|Scheduled restart|Spool folder");
    const auto parts = Split(values);
    std::string report;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string pad(22 - labels[i].size(), ' ');
        report += parts[i].empty() ? "" : labels[i] + ":" + pad + parts[i] + "\n";
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

// The overall verdict runs the plugin again only once its interval has passed.
TEST_F(StatusTest, WholeReports) {
    const struct {
        DWORD state;
        std::uint64_t pluginMs; // till C:\Plugins\check.exe exits with 3; 0: not there
        std::wstring ini, option;
        int exitCode;
        std::string report;
        std::size_t launches;
    } cases[] = {
        {SERVICE_RUNNING, 0, L"", L"", 0, kRun + "||Yes|" + kTail, 0},
        {SERVICE_STOPPED, 0, L"", L"/j", 0,
         "Stopped||No|Yes|||No|Print Spooler service is stopped" + kTail, 0},
        {SERVICE_RUNNING, 0, L"HealthCheck/EnableQueueCheck=0", L"/jsonx", 0,
         "Running (PID 1234)||Yes||||Yes|" + kTail, 0},
        {SERVICE_RUNNING, 0, kPlugin + L"  ", L"json", 0, kRun + "||Yes|" + kTail, 0},
        {kNoSpooler, 0, kPlugin + kExe, L"", 1, "Unable to query Print Spooler status.\n", 0},
        {SERVICE_RUNNING, 1000, kPlugin + kExe, L"", 0,
         kRun + "C:\\Plugins\\check.exe|No|Yes|" + kTail, 1},
        {SERVICE_RUNNING, 6000, kPlugin + kExe + L"\nHealthCheck/PluginIntervalMs=5000", L"", 0,
         kRun + "C:\\Plugins\\check.exe|No|No|Plugin health check failed (exit code 3)" + kTail, 2},
    };
    for (const auto& c : cases) {
        Arrange(c.state, c.ini);
        if (c.pluginMs != 0) {
            sim::AddFile(kExe);
            sim::AddProgram(L"\"" + kExe + L"\"", {3, c.pluginMs});
        }
        EXPECT_EQ(c.exitCode, RunNimbrel({L"status", c.option}));
        EXPECT_EQ(c.exitCode ? c.report : Report(c.report), sim::StdoutBytes()) << Narrow(c.ini);
        EXPECT_EQ(c.launches, sim::Launches().size());
        EXPECT_TRUE(sim::Events().empty()) << "the report writes nothing to the event log";
    }
}

TEST(SpoolerStateName, NamesEveryState) {
    const std::wstring names[] = {L"Unknown",       L"Stopped", L"Start Pending",
                                  L"Stop Pending",  L"Running", L"Continue Pending",
                                  L"Pause Pending", L"Paused",  L"Unknown"};
    for (DWORD state = 0; state < 9; ++state) {
        EXPECT_EQ(names[state], SpoolerStateName(state));
    }
}

// The members each case is about.
TEST_F(StatusTest, JsonStatesChecksSourcesAndEscapes) {
    const struct {
        DWORD state;
        std::wstring option, ini;
        int exitCode;
        std::string members; // '|' between them
    } cases[] = {
        {SERVICE_RUNNING, L"/json", L"", 0,
         R"({"healthy":true,"spooler":{"state":"Running","processId":1234,"startType":"Automatic"},)"
         R"("checks":{"serviceState":true,"printQueue":true,"plugin":null},"lastIssue":null,)"
         R"("schedule":{"days":"Every day","time":"02:00"},)"
         R"("spoolDirectory":"C:\\Windows\\system32\\spool\\PRINTERS","version":"1.1.0","settings":{)"
         R"("CheckIntervalMs":{"value":10000,"source":"default"},|)"
         R"("RestartDays":{"value":"","source":"default"},)"
         R"("MetricsFile":{"value":"","source":"default"}}})"},
        // A key that holds its default value still comes from the file.
        {SERVICE_RUNNING, L"--Json",
         L"HealthCheck/EnableQueueCheck=0\nSchedule/EnableScheduledRestart=0\n"
         L"Monitor/CheckIntervalMs=10000\nmonitor/hangtimeoutms=4",
         0,
         R"("printQueue":null,"plugin":null}|"schedule":null,|)"
         R"("EnableQueueCheck":{"value":0,"source":"file"}|)"
         R"("CheckIntervalMs":{"value":10000,"source":"file"}|)"
         R"("HangTimeoutMs":{"value":5000,"source":"file"}|)"
         R"("MaxRestartsPerHour":{"value":3,"source":"default"})"},
        // Escapes: a quote, a backslash, controls, beyond Latin-1 and beyond U+FFFF.
        {SERVICE_RUNNING, L"-JSON",
         kPlugin + L"C:\\Pr\u00fcf \"x\"\\c\t\u007f\u20ac\U0001F5A8.exe\nSchedule/RestartDays=Mon",
         0,
         R"({"healthy":false,"spooler":{"state":"Running","processId":1234,|"plugin":false}|)"
         R"("PluginPath":{"value":"C:\\Pr\u00fcf \"x\"\\c\u0009\u007f\u20ac\ud83d\udda8.exe",)"
         R"("source":"file"}|"schedule":{"days":"Mon","time":"02:00"}|)"
         R"("lastIssue":"Plugin health check file not found")"},
        {kNoSpooler, L"/json", L"", 1,
         R"({"error":"Unable to query Print Spooler status.","spoolDirectory":|)"
         R"("version":"1.1.0","settings":{"CheckIntervalMs":)"},
    };
    for (const auto& c : cases) {
        Arrange(c.state, c.ini);
        EXPECT_EQ(c.exitCode, RunNimbrel({L"STATUS", c.option}));
        const std::string out = sim::StdoutBytes();
        for (const std::string& member : Split(c.members)) {
            EXPECT_NE(std::string::npos, out.find(member)) << member << "\nin " << out;
        }
        EXPECT_EQ(1u, std::count(out.begin(), out.end(), '\n'));
        EXPECT_EQ('\n', out.back());
        for (char byte : out) {
            EXPECT_TRUE(byte >= 0x20 ? byte < 0x7F : byte == '\n') << "byte " << int(byte);
        }
    }
}

class ConsolePrintTest : public SimTest {};

// Each UTF-8 length at its bounds, in output longer than one piece; an unpaired
// surrogate becomes the replacement character.
TEST_F(ConsolePrintTest, WritesUtf8WhenRedirectedAndWideTextToAConsole) {
    std::wstring text(1000, L'\u20ac');
    text += {0x7F, 0x80, 0x7FF, 0x800, 0xFFFD};
    if (sizeof(WCHAR) == 2) {
        text += {static_cast<WCHAR>(0xD83D), static_cast<WCHAR>(0xDDA8)};
    } else {
        text += static_cast<WCHAR>(0x1F5A8);
    }
    text += {static_cast<WCHAR>(0xD800), L'b'};
    EXPECT_EQ(static_cast<int>(text.size()), ConsoleWrite(text.c_str(), text.size()));
    ConsolePrint(L"%u%s", 7u, L"\n");
    std::string expected;
    for (int i = 0; i < 1000; ++i) {
        expected += "\xE2\x82\xAC";
    }
    expected += "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBD\xF0\x9F\x96\xA8\xEF\xBF\xBD"
                "b7\n";
    EXPECT_EQ(expected, sim::StdoutBytes());

    sim::SetConsoleAttached(true);
    ConsolePrint(L"Service state healthy: %s\n", L"Yes \u2713");
    EXPECT_EQ(L"Service state healthy: Yes \u2713\n", sim::ConsoleText());
}

} // namespace
} // namespace nimbrel::test
