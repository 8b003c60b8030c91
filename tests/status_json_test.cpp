// "status /json": the member names scripts rely on, ASCII-only escapes, the
// sources of the settings, and the error form.

#include "app/dispatcher.h"
#include "app/json_text.h"
#include "app/status.h"
#include "tests/support.h"

namespace nimbrel::test {
namespace {

std::string DefaultSettingsJson() {
    std::string json;
    const std::pair<const char*, const char*> values[] = {
        {"CheckIntervalMs", "10000"},     {"HangTimeoutMs", "120000"},
        {"MaxRestartsPerHour", "3"},      {"ClearSpoolOnRecovery", "1"},
        {"StopTimeoutMs", "30000"},       {"StartTimeoutMs", "60000"},
        {"RestartDelayMs", "3000"},       {"EnableQueueCheck", "1"},
        {"StuckJobTimeoutMs", "300000"},  {"MaxQueueJobs", "0"},
        {"QueueCheckTimeoutMs", "60000"}, {"EnablePluginCheck", "0"},
        {"PluginIntervalMs", "60000"},    {"PluginTimeoutMs", "30000"},
        {"EnableScheduledRestart", "1"},  {"ClearSpoolOnScheduledRestart", "0"},
        {"SpoolDirectory", "\"\""},       {"PrinterName", "\"\""},
        {"PluginPath", "\"\""},           {"RestartTime", "\"02:00\""},
        {"RestartDays", "\"\""},          {"MetricsFile", "\"\""},
    };
    for (const auto& [key, value] : values) {
        json += std::string(json.empty() ? "" : ",") + "\"" + key + "\":{\"value\":" + value +
                ",\"source\":\"default\"}";
    }
    return json;
}

class StatusJson : public SimTest {
  protected:
    static int Run(std::vector<std::wstring> args) { return RunNimbrel(std::move(args)); }
};

TEST_F(StatusJson, HealthySpoolerWithDefaultsWholeLine) {
    sim::Spooler().pid = 1234;
    EXPECT_EQ(0, Run({L"status", L"/json"}));
    EXPECT_EQ("{\"healthy\":true,\"spooler\":{\"state\":\"Running\",\"processId\":1234,"
              "\"startType\":\"Automatic\"},\"checks\":{\"serviceState\":true,\"printQueue\":true,"
              "\"plugin\":null},\"lastIssue\":null,\"schedule\":{\"days\":\"Every day\","
              "\"time\":\"02:00\"},\"spoolDirectory\":\"C:\\\\Windows\\\\system32\\\\spool\\\\"
              "PRINTERS\",\"version\":\"1.1.0\",\"settings\":{" +
                  DefaultSettingsJson() + "}}\n",
              sim::StdoutBytes());
}

// Only the members each case is about; the whole line is above.
TEST_F(StatusJson, StatesChecksAndEscapes) {
    const struct {
        const char* name;
        std::vector<std::wstring> args;
        std::wstring ini;
        int exitCode;
        std::vector<std::string> members;
    } cases[] = {
        {"stopped",
         {L"STATUS", L"-JSON"},
         L"",
         0,
         {"{\"healthy\":false,\"spooler\":{\"state\":\"Stopped\",\"processId\":0,",
          "\"serviceState\":false,\"printQueue\":true,",
          "\"lastIssue\":\"Print Spooler service is stopped\","}},
        {"checks and schedule off",
         {L"status", L"--Json"},
         L"HealthCheck/EnableQueueCheck=0\nSchedule/EnableScheduledRestart=0",
         0,
         {"\"printQueue\":null,\"plugin\":null}", "\"schedule\":null,",
          "\"EnableQueueCheck\":{\"value\":0,\"source\":\"file\"}"}},
        // A quote, a backslash, a non-ASCII letter and a tab, in a path that
        // goes out in the settings and in the issue text.
        {"plugin with awkward characters",
         {L"status", L"/json"},
         L"HealthCheck/EnablePluginCheck=1\nHealthCheck/PluginPath=C:\\Pr\u00fcf \"x\"\\c\t.exe\n"
         L"Schedule/RestartDays=Mon",
         0,
         {"\"plugin\":false}", "\"lastIssue\":\"Plugin health check file not found\"",
          "\"PluginPath\":{\"value\":\"C:\\\\Pr\\u00fcf \\\"x\\\"\\\\c\\u0009.exe\","
          "\"source\":\"file\"}",
          "\"schedule\":{\"days\":\"Mon\",\"time\":\"02:00\"}"}},
        // A key that holds its default value still comes from the file.
        {"a default written out",
         {L"status", L"/json"},
         L"Monitor/CheckIntervalMs=10000\nmonitor/hangtimeoutms=4",
         0,
         {"\"CheckIntervalMs\":{\"value\":10000,\"source\":\"file\"}",
          "\"HangTimeoutMs\":{\"value\":5000,\"source\":\"file\"}",
          "\"MaxRestartsPerHour\":{\"value\":3,\"source\":\"default\"}"}},
        {"spooler missing",
         {L"status", L"/json"},
         L"",
         1,
         {"{\"error\":\"Unable to query Print Spooler status.\",\"spoolDirectory\":",
          "\"version\":\"1.1.0\",\"settings\":{\"CheckIntervalMs\":"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        if (c.exitCode == 1) {
            sim::RemoveService(L"Spooler");
        } else if (std::string(c.name) == "stopped") {
            sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
        }
        WriteIni(c.ini);
        EXPECT_EQ(c.exitCode, Run(c.args));
        const std::string out = sim::StdoutBytes();
        for (const std::string& member : c.members) {
            EXPECT_NE(std::string::npos, out.find(member)) << member << "\nin " << out;
        }
        EXPECT_EQ(1u, std::count(out.begin(), out.end(), '\n'));
        EXPECT_EQ('\n', out.back());
        for (char byte : out) {
            EXPECT_TRUE(byte >= 0x20 ? byte < 0x7F : byte == '\n') << "byte " << int(byte);
        }
    }
}

TEST_F(StatusJson, OnlyTheJsonSwitchesChangeTheForm) {
    const std::pair<std::wstring, bool> words[] = {
        {L"/json", true}, {L"-Json", true},   {L"--JSON", true}, {L"json", false},
        {L"/j", false},   {L"/jsonx", false}, {L"", false},
    };
    for (const auto& [word, json] : words) {
        Fresh();
        Run({L"status", word});
        EXPECT_EQ(json ? '{' : 'P', sim::StdoutBytes()[0]) << Narrow(word);
    }
}

// Beyond U+FFFF a 32-bit wide character is written as its UTF-16 pair.
TEST(JsonEscape, ControlsQuotesAndCharactersBeyondAscii) {
    const std::pair<wchar_t, std::wstring> cases[] = {
        {L'a', L"a"},       {L'"', L"\\\""},    {L'\\', L"\\\\"},     {L'\n', L"\\u000a"},
        {0x7F, L"\\u007f"}, {0xE9, L"\\u00e9"}, {0xD800, L"\\ud800"}, {0xFFFF, L"\\uffff"},
    };
    for (const auto& [c, expected] : cases) {
        WCHAR out[12];
        EXPECT_EQ(expected, std::wstring(out, JsonEscape(c, out)));
    }
    if constexpr (sizeof(wchar_t) == 4) {
        WCHAR out[12];
        EXPECT_EQ(L"\\ud83d\\udda8",
                  std::wstring(out, JsonEscape(static_cast<wchar_t>(0x1F5A8), out)));
    }
}

} // namespace
} // namespace nimbrel::test
