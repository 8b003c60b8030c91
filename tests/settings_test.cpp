// LoadSettings and TrimBlanks: defaults, lower bounds, switches, texts cut to
// their capacity, and the file found beside the executable. A read that fails
// is in the fault sweep.

#include "config/settings.h"
#include "tests/support.h"

#include <functional>

namespace nimbrel::test {
namespace {

class SettingsTest : public SimTest {
  protected:
    static void Load(const std::wstring& lines) {
        WriteIni(lines);
        LoadSettings();
    }
};

TEST_F(SettingsTest, NumbersAreHeldToTheirLowerBoundsAndSwitchesToZeroOrOne) {
    const struct {
        const WCHAR* line;
        DWORD SettingsRecord::*field;
        DWORD expected;
    } cases[] = {
        {L"Monitor/CheckIntervalMs=999", &SettingsRecord::CheckIntervalMs, 1000},
        {L"Monitor/CheckIntervalMs=1001", &SettingsRecord::CheckIntervalMs, 1001},
        // A negative number is read as a large unsigned one, and so passes its bound.
        {L"Monitor/CheckIntervalMs=-5", &SettingsRecord::CheckIntervalMs, 4294967291u},
        {L"Monitor/HangTimeoutMs=4999", &SettingsRecord::HangTimeoutMs, 5000},
        {L"Monitor/MaxRestartsPerHour=0", &SettingsRecord::MaxRestartsPerHour, 1},
        {L"Recovery/StopTimeoutMs=0", &SettingsRecord::StopTimeoutMs, 0},
        {L"Recovery/RestartDelayMs=4294967295", &SettingsRecord::RestartDelayMs, 4294967295u},
        {L"HealthCheck/StuckJobTimeoutMs=9999", &SettingsRecord::StuckJobTimeoutMs, 10000},
        {L"HealthCheck/MaxQueueJobs=0", &SettingsRecord::MaxQueueJobs, 0},
        {L"HealthCheck/QueueCheckTimeoutMs=4999", &SettingsRecord::QueueCheckTimeoutMs, 5000},
        {L"HealthCheck/PluginIntervalMs=1", &SettingsRecord::PluginIntervalMs, 5000},
        {L"HealthCheck/PluginTimeoutMs=999", &SettingsRecord::PluginTimeoutMs, 1000},
        {L"HealthCheck/EnableQueueCheck=5", &SettingsRecord::EnableQueueCheck, 1},
        {L"HealthCheck/EnableQueueCheck=0", &SettingsRecord::EnableQueueCheck, 0},
        {L"Monitor/ClearSpoolOnRecovery=0x10", &SettingsRecord::ClearSpoolOnRecovery, 1},
        {L"Schedule/ClearSpoolOnScheduledRestart=-1", &SettingsRecord::ClearSpoolOnScheduledRestart,
         1},
        // Present but empty, or missing: the default.
        {L"Monitor/HangTimeoutMs=", &SettingsRecord::HangTimeoutMs, 120000},
        {L"HealthCheck/EnableQueueCheck=1", &SettingsRecord::EnablePluginCheck, 0},
    };
    for (const auto& c : cases) {
        Load(c.line);
        EXPECT_EQ(c.expected, Settings.*c.field) << Narrow(c.line);
    }
}

// Each text is cut to its capacity first, then trimmed of blanks and tabs,
// all but the spool folder. An empty value keeps the default.
TEST_F(SettingsTest, TextsAreCutToCapacityAndTrimmed) {
    const std::wstring longFolder = L"D:\\" + std::wstring(300, L'f');
    Load(L"Monitor/SpoolDirectory=" + longFolder +
         L"\nHealthCheck/PrinterName=\" \tOffice  Laser 2\t \"\n"
         L"HealthCheck/PluginPath=\" C:\\p\\check.cmd\t\"\nSchedule/RestartTime=' 23:30 extra'\n"
         L"Schedule/RestartDays=" +
         std::wstring(70, L'd'));
    EXPECT_EQ(longFolder.substr(0, 259), Settings.SpoolDirectory);
    EXPECT_EQ(std::wstring(L"Office  Laser 2"), Settings.PrinterName);
    EXPECT_EQ(std::wstring(L"C:\\p\\check.cmd"), Settings.PluginPath);
    EXPECT_EQ(std::wstring(L"23:30"), Settings.RestartTime); // " 23:30 " before the trim
    EXPECT_EQ(std::wstring(63, L'd'), Settings.RestartDays);

    Load(L"Monitor/SpoolDirectory=\" D:\\Spool \"\nHealthCheck/PrinterName=\n"
         L"Schedule/RestartTime=\nSchedule/RestartDays=\"   \"");
    EXPECT_EQ(std::wstring(L" D:\\Spool "), Settings.SpoolDirectory);
    EXPECT_EQ(std::wstring(L""), Settings.PrinterName);
    EXPECT_EQ(std::wstring(L"02:00"), Settings.RestartTime);
    EXPECT_EQ(std::wstring(L""), Settings.RestartDays);
}

// The file is "Nimbrel.ini" in the executable's folder. A path that had to be
// cut, of the executable or of the file, would name some other file: then
// no file is read at all.
TEST_F(SettingsTest, TheFileBesideTheExecutableIsReadOnlyByItsWholePath) {
    const std::wstring n244 = L"C:\\" + std::wstring(244, L'n'); // + "\Nimbrel.ini": 259
    const std::wstring n245 = L"C:\\" + std::wstring(245, L'n'); // + "\Nimbrel.ini": 260
    const struct {
        const char* name;
        std::wstring module, ini;
        bool read;
    } cases[] = {
        {"the longest that fits", n244 + L"\\Nimbrel.exe", n244 + L"\\Nimbrel.ini", true},
        {"no folder", L"Nimbrel.exe", L"Nimbrel.exe\\Nimbrel.ini", true},
        {"the settings path cut", n245 + L"\\N.exe", (n245 + L"\\Nimbrel.ini").substr(0, 259),
         false},
        // Cut at 259 characters, the executable's path would end in "C:\a".
        {"the executable's path cut", L"C:\\a\\" + std::wstring(300, L'x') + L".exe",
         L"C:\\a\\Nimbrel.ini", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        sim::SetModulePath(c.module);
        sim::SetFileText(c.ini, L"[Monitor]\nCheckIntervalMs=5000\n");
        LoadSettings();
        EXPECT_EQ(c.read ? 5000u : 10000u, Settings.CheckIntervalMs);
    }
}

// PowerShell 5.1's "Set-Content -Encoding UTF8" writes a UTF-8 byte-order
// mark, which Windows reads as part of the first line; the first section is
// read all the same, with its UTF-8 texts, and the rest as Windows reads it.
TEST_F(SettingsTest, TheFirstSectionBehindAUtf8MarkIsHonoured) {
    const std::string bom = "\xEF\xBB\xBF";
    const struct {
        const char* name;
        std::string bytes;
        int mark;
        DWORD clearSpool;
        std::wstring spool;
        DWORD interval;
    } cases[] = {
        {"header on the first line",
         bom + " [ monitor ]\r\nClearSpoolOnRecovery = 0\r\n; note\r\nclearspoolonrecovery=1\r\n"
               "SpoolDirectory=\"D:\\Sp\xC3\xBCl \xF0\x9F\x96\xA8\"\r\n[Schedule]\r\n"
               "RestartTime=03:00\r\n[Monitor]\r\nCheckIntervalMs=5000",
         1, 0, L"D:\\Sp\u00fcl \U0001F5A8", 5000},
        {"empty and odd values",
         bom + "[Monitor]\nClearSpoolOnRecovery=\nCheckIntervalMs=0x7D0\xFF\n", 1, 1, L"", 2000},
        {"a comment on the first line", bom + "; x\n[Monitor]\nClearSpoolOnRecovery=0\n", 1, 0, L"",
         10000},
        {"no mark", "[Monitor]\nClearSpoolOnRecovery=0\n", 0, 0, L"", 10000},
        {"UTF-16 with its mark", std::string("\xFF\xFE[\0M\0o\0n\0i\0t\0o\0r\0]\0\n\0a\0=\0", 22),
         0, 1, L"", 10000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        sim::SetFileBytes(kIniPath, c.bytes);
        if (c.mark && c.bytes[3] == '[') {
            // The simulated profile functions read the file as Windows does.
            EXPECT_EQ(1u, GetPrivateProfileIntW(L"Monitor", L"ClearSpoolOnRecovery", 1, kIniPath));
        }
        LoadSettings();
        EXPECT_EQ(c.mark, SettingsFileHasUtf8Mark);
        EXPECT_EQ(c.clearSpool, Settings.ClearSpoolOnRecovery);
        EXPECT_EQ(c.spool, Settings.SpoolDirectory);
        EXPECT_EQ(c.interval, Settings.CheckIntervalMs);
        EXPECT_EQ(c.bytes.find("RestartTime") != std::string::npos ? L"03:00" : L"02:00",
                  std::wstring(Settings.RestartTime));
        EXPECT_EQ(c.clearSpool == 0 ? SettingSource::File : SettingSource::Default,
                  DescribeSetting(3).source);
    }
}

// A policy value overrides the file under the same bounds, trimming and
// capacities; one of another type or size is passed over, never cut.
TEST_F(SettingsTest, PolicyValuesOverrideTheFileWhenWholeAndOfTheirType) {
    const std::wstring monitor = L"SOFTWARE\\Policies\\Nimbrel\\Monitor";
    const std::wstring health = L"SOFTWARE\\Policies\\Nimbrel\\HealthCheck";
    const struct {
        const char* name;
        std::function<void()> arrange;
        std::size_t setting; // its place in the list
        std::wstring value;
        SettingSource source;
    } cases[] = {
        {"number", [&] { sim::SetRegistryNumber(monitor, L"CheckIntervalMs", 7000); }, 0, L"7000",
         SettingSource::Policy},
        {"number under its bound", [&] { sim::SetRegistryNumber(monitor, L"checkintervalms", 0); },
         0, L"1000", SettingSource::Policy},
        {"switch", [&] { sim::SetRegistryNumber(health, L"EnableQueueCheck", 5); }, 7, L"1",
         SettingSource::Policy},
        {"number as text", [&] { sim::SetRegistryText(monitor, L"CheckIntervalMs", L"7000"); }, 0,
         L"5000", SettingSource::File},
        {"number of eight bytes",
         [&] {
             sim::SetRegistryValue(monitor, L"CheckIntervalMs", REG_QWORD,
                                   {1, 2, 3, 4, 0, 0, 0, 0});
         },
         0, L"5000", SettingSource::File},
        {"number in the wrong section",
         [&] { sim::SetRegistryNumber(health, L"CheckIntervalMs", 7000); }, 0, L"5000",
         SettingSource::File},
        {"text trimmed", [&] { sim::SetRegistryText(health, L"PrinterName", L" Lab\t"); }, 17,
         L"Lab", SettingSource::Policy},
        {"text unterminated",
         [&] { sim::SetRegistryText(health, L"PrinterName", L"Lab", REG_SZ, false); }, 17, L"Lab",
         SettingSource::Policy},
        {"path too long for its setting",
         [&] {
             sim::SetRegistryText(monitor, L"SpoolDirectory", L"D:\\" + std::wstring(257, L's'));
         },
         16, L"D:\\Spool", SettingSource::File},
        {"path that just fits",
         [&] {
             sim::SetRegistryText(monitor, L"SpoolDirectory", L"D:\\" + std::wstring(256, L's'));
         },
         16, L"D:\\" + std::wstring(256, L's'), SettingSource::Policy},
        {"expandable text",
         [&] { sim::SetRegistryText(monitor, L"SpoolDirectory", L"E:\\x", REG_EXPAND_SZ); }, 16,
         L"D:\\Spool", SettingSource::File},
        {"empty text", [&] { sim::SetRegistryText(monitor, L"SpoolDirectory", L""); }, 16,
         L"D:\\Spool", SettingSource::File},
        {"text as number", [&] { sim::SetRegistryNumber(health, L"PrinterName", 1); }, 17,
         L"Office", SettingSource::File},
        {"key denied",
         [&] {
             sim::SetRegistryNumber(monitor, L"CheckIntervalMs", 7000);
             sim::SetRegistryKeyDenied(monitor, true);
         },
         0, L"5000", SettingSource::File},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        WriteIni(L"Monitor/CheckIntervalMs=5000\nMonitor/SpoolDirectory=D:\\Spool\n"
                 L"HealthCheck/PrinterName=Office");
        c.arrange();
        LoadSettings();
        const SettingEntry entry = DescribeSetting(c.setting);
        EXPECT_EQ(c.value, entry.kind == SettingKind::Text ? std::wstring(entry.text)
                                                           : std::to_wstring(entry.number));
        EXPECT_EQ(c.source, entry.source);
    }
    // Without a file that can be found, policies still apply.
    Fresh();
    sim::SetRegistryNumber(monitor, L"CheckIntervalMs", 7000);
    sim::FailCall(sim::Op::GetModuleFileNameW);
    LoadSettings();
    EXPECT_EQ(7000u, Settings.CheckIntervalMs);
}

TEST(TrimBlanks, StripsSpacesAndTabsFromBothEndsOnly) {
    const std::pair<const WCHAR*, const WCHAR*> cases[] = {
        {L"", L""},
        {L" \t ", L""},
        {L" \tMon, Fri\t ", L"Mon, Fri"},
        {L"\r\nx\r\n", L"\r\nx\r\n"},         // returns and line feeds stay
        {L"\u00a0x\u00a0", L"\u00a0x\u00a0"}, // so do no-break spaces
        {L"\v\fx", L"\v\fx"},                 // and vertical tabs and form feeds
    };
    for (const auto& [in, out] : cases) {
        WCHAR buffer[32];
        CopyText(buffer, 32, in);
        TrimBlanks(buffer);
        EXPECT_EQ(std::wstring(out), buffer) << Narrow(in);
    }
}

} // namespace
} // namespace nimbrel::test
