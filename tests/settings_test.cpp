// LoadSettings and TrimBlanks: bounds, switches, texts cut and trimmed, the
// file beside the executable, a UTF-8 mark, and policies over the file.

#include "config/settings.h"
#include "tests/support.h"

namespace nimbrel::test {
namespace {

class SettingsTest : public SimTest {};

// Loaded one after another on the same machine, so that each load must
// start again from the defaults.
TEST_F(SettingsTest, NumbersAreHeldToTheirLowerBoundsAndSwitchesToZeroOrOne) {
    const struct {
        const WCHAR* line;
        DWORD SettingsRecord::*field;
        DWORD expected;
    } cases[] = {
        {L"Monitor/CheckIntervalMs=999", &SettingsRecord::CheckIntervalMs, 1000},
        {L"Monitor/CheckIntervalMs=1001", &SettingsRecord::CheckIntervalMs, 1001},
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
        WriteIni(c.line);
        LoadSettings();
        EXPECT_EQ(c.expected, Settings.*c.field) << Narrow(c.line);
    }
}

// Each text is cut to its capacity first, then trimmed of blanks and tabs,
// all but the spool folder. An empty value keeps the default.
TEST_F(SettingsTest, TextsAreCutToCapacityAndTrimmed) {
    const std::wstring longFolder = L"D:\\" + std::wstring(300, L'f');
    WriteIni(
        L"Monitor/SpoolDirectory=" + longFolder +
        L"\nHealthCheck/PrinterName=\" \tOffice  Laser 2\t \"\n"
        L"HealthCheck/PluginPath=\" C:\\p\\check.cmd\t\"\nSchedule/RestartTime=' 23:30 extra'\n"
        L"Schedule/RestartDays=" +
        std::wstring(70, L'd'));
    LoadSettings();
    EXPECT_EQ(longFolder.substr(0, 259), Settings.SpoolDirectory);
    EXPECT_EQ(std::wstring(L"Office  Laser 2"), Settings.PrinterName);
    EXPECT_EQ(std::wstring(L"C:\\p\\check.cmd"), Settings.PluginPath);
    EXPECT_EQ(std::wstring(L"23:30"), Settings.RestartTime); // " 23:30 " before the trim
    EXPECT_EQ(std::wstring(63, L'd'), Settings.RestartDays);

    WriteIni(L"Monitor/SpoolDirectory=\" D:\\Spool \"\nHealthCheck/PrinterName=\n"
             L"Schedule/RestartTime=\nSchedule/RestartDays=\"   \"");
    LoadSettings();
    EXPECT_EQ(std::wstring(L" D:\\Spool "), Settings.SpoolDirectory);
    EXPECT_EQ(std::wstring(L""), Settings.PrinterName);
    EXPECT_EQ(std::wstring(L"02:00"), Settings.RestartTime);
    EXPECT_EQ(std::wstring(L""), Settings.RestartDays);
}

// A path that had to be cut, of the executable or of the file, would name
// some other file: then no file is read at all.
TEST_F(SettingsTest, TheFileBesideTheExecutableIsReadOnlyByItsWholePath) {
    const std::wstring n244 = L"C:\\" + std::wstring(244, L'n'); // + "\Nimbrel.ini": 259
    const std::wstring n245 = L"C:\\" + std::wstring(245, L'n'); // + "\Nimbrel.ini": 260
    const struct {
        std::wstring module, ini;
        bool read;
    } cases[] = {
        {n244 + L"\\Nimbrel.exe", n244 + L"\\Nimbrel.ini", true},
        {L"Nimbrel.exe", L"Nimbrel.exe\\Nimbrel.ini", true},
        {n245 + L"\\N.exe", (n245 + L"\\Nimbrel.ini").substr(0, 259), false},
        // Cut at 259 characters, the executable's path would end in "C:\a".
        {L"C:\\a\\" + std::wstring(300, L'x') + L".exe", L"C:\\a\\Nimbrel.ini", false},
    };
    for (const auto& c : cases) {
        Fresh();
        sim::SetModulePath(c.module);
        sim::SetFileText(c.ini, L"[Monitor]\nCheckIntervalMs=5000\n");
        LoadSettings();
        EXPECT_EQ(c.read ? 5000u : 10000u, Settings.CheckIntervalMs) << Narrow(c.module);
    }
}

// PowerShell 5.1's "Set-Content -Encoding UTF8" writes a byte-order mark,
// which Windows reads as part of the first line: the first section is read
// all the same, with its UTF-8 texts, and the rest as Windows reads it.
TEST_F(SettingsTest, TheFirstSectionBehindAUtf8MarkIsHonoured) {
    const std::string bom = "\xEF\xBB\xBF";
    const struct {
        std::string bytes;
        int mark;
        DWORD clearSpool;
        std::wstring spool;
        DWORD interval;
    } cases[] = {
        {bom + " [ monitor ]\r\nClearSpoolOnRecovery = 0\r\n; note\r\nclearspoolonrecovery=1\r\n"
               "SpoolDirectory=\"D:\\Sp\xC3\xBCl \xF0\x9F\x96\xA8\"\r\n[Schedule]\r\n"
               "RestartTime=03:00\r\n[Monitor]\r\nCheckIntervalMs=5000",
         1, 0, L"D:\\Sp\u00fcl \U0001F5A8", 5000},
        {bom + "[Monitor]\nClearSpoolOnRecovery=\nCheckIntervalMs=0x7D0\xFF\n", 1, 1, L"", 2000},
        {bom + "; x\n[Monitor]\nClearSpoolOnRecovery=0\n", 1, 0, L"", 10000},
        {"[Monitor]\nClearSpoolOnRecovery=0\n", 0, 0, L"", 10000},
        {std::string("\xFF\xFE[\0M\0o\0n\0i\0t\0o\0r\0]\0\n\0a\0=\0", 22), 0, 1, L"", 10000},
    };
    for (const auto& c : cases) {
        Fresh();
        sim::SetFileBytes(kIniPath, c.bytes);
        LoadSettings();
        SCOPED_TRACE(c.bytes);
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
    constexpr SettingSource kFile = SettingSource::File, kPolicy = SettingSource::Policy;
    const std::wstring s256 = L"D:\\" + std::wstring(256, L's'), s257 = s256 + L"s";
    const struct {
        const WCHAR *section, *name;
        DWORD type;
        std::wstring text;   // a number in decimal for REG_DWORD
        std::size_t setting; // its place in the list
        std::wstring value;
        SettingSource source;
        bool unterminated = false, denied = false;
    } cases[] = {
        {L"Monitor", L"CheckIntervalMs", REG_DWORD, L"7000", 0, L"7000", kPolicy},
        {L"Monitor", L"checkintervalms", REG_DWORD, L"0", 0, L"1000", kPolicy},
        {L"HealthCheck", L"EnableQueueCheck", REG_DWORD, L"5", 7, L"1", kPolicy},
        {L"Monitor", L"CheckIntervalMs", REG_SZ, L"7000", 0, L"5000", kFile},
        {L"Monitor", L"CheckIntervalMs", REG_QWORD, L"", 0, L"5000", kFile},
        {L"HealthCheck", L"CheckIntervalMs", REG_DWORD, L"7000", 0, L"5000", kFile},
        {L"Monitor", L"CheckIntervalMs", REG_DWORD, L"7000", 0, L"5000", kFile, false, true},
        {L"HealthCheck", L"PrinterName", REG_SZ, L" Lab\t", 17, L"Lab", kPolicy},
        {L"HealthCheck", L"PrinterName", REG_SZ, L"Lab", 17, L"Lab", kPolicy, true},
        {L"Monitor", L"SpoolDirectory", REG_SZ, s257, 16, L"D:\\Spool", kFile},
        {L"Monitor", L"SpoolDirectory", REG_SZ, s256, 16, s256, kPolicy},
        {L"Monitor", L"SpoolDirectory", REG_EXPAND_SZ, L"E:\\x", 16, L"D:\\Spool", kFile},
        {L"Monitor", L"SpoolDirectory", REG_SZ, L"", 16, L"D:\\Spool", kFile},
        {L"HealthCheck", L"PrinterName", REG_DWORD, L"1", 17, L"Office", kFile},
    };
    for (const auto& c : cases) {
        Fresh();
        WriteIni(L"Monitor/CheckIntervalMs=5000\nMonitor/SpoolDirectory=D:\\Spool\n"
                 L"HealthCheck/PrinterName=Office");
        const std::wstring key = L"SOFTWARE\\Policies\\Nimbrel\\" + std::wstring(c.section);
        if (c.type == REG_DWORD) {
            sim::SetRegistryNumber(key, c.name, std::stoul(c.text));
        } else if (c.type == REG_QWORD) {
            sim::SetRegistryValue(key, c.name, REG_QWORD, {1, 2, 3, 4, 0, 0, 0, 0});
        } else {
            sim::SetRegistryText(key, c.name, c.text, c.type, !c.unterminated);
        }
        sim::SetRegistryKeyDenied(key, c.denied);
        LoadSettings();
        const SettingEntry entry = DescribeSetting(c.setting);
        SCOPED_TRACE(Narrow(key + L"\\" + c.name + L"=" + c.text));
        EXPECT_EQ(c.value, entry.kind == SettingKind::Text ? std::wstring(entry.text)
                                                           : std::to_wstring(entry.number));
        EXPECT_EQ(c.source, entry.source);
    }
    // Without a file that can be found, policies still apply.
    Fresh();
    sim::SetRegistryNumber(L"SOFTWARE\\Policies\\Nimbrel\\Monitor", L"CheckIntervalMs", 7000);
    sim::FailCall(sim::Op::GetModuleFileNameW);
    LoadSettings();
    EXPECT_EQ(7000u, Settings.CheckIntervalMs);
}

// Returns, line feeds, no-break spaces, vertical tabs and form feeds stay.
TEST(TrimBlanks, StripsSpacesAndTabsFromBothEndsOnly) {
    const std::pair<const WCHAR*, const WCHAR*> cases[] = {
        {L"", L""},
        {L" \t ", L""},
        {L" \tMon, Fri\t ", L"Mon, Fri"},
        {L"\r\nx\r\n", L"\r\nx\r\n"},
        {L"\u00a0x\u00a0", L"\u00a0x\u00a0"},
        {L"\v\fx", L"\v\fx"},
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
