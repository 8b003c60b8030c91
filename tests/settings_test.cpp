// LoadSettings and TrimBlanks: defaults, lower bounds, switches, texts cut to
// their capacity, and the file found beside the executable.

#include "config/settings.h"
#include "tests/support.h"

#include <cstring>

namespace nimbrel::test {
namespace {

const std::wstring kIni = L"C:\\Program Files\\Nimbrel\\Nimbrel.ini";

class SettingsTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        Settings = kDefaultSettings;
    }
    static void LoadFrom(const std::wstring& text) {
        sim::SetFileText(kIni, text);
        LoadSettings();
    }
    static bool SameAsDefaults() {
        return std::memcmp(&Settings, &kDefaultSettings, sizeof Settings) == 0;
    }
};

TEST_F(SettingsTest, WithoutAFileEveryFieldHoldsItsDefault) {
    Settings.CheckIntervalMs = 1;
    Settings.PrinterName[0] = L'x';
    LoadSettings();
    EXPECT_TRUE(SameAsDefaults());
    EXPECT_EQ(10000u, Settings.CheckIntervalMs);
    EXPECT_EQ(std::wstring(L"C:\\Windows\\System32\\spool\\PRINTERS"), Settings.SpoolDirectory);
    EXPECT_EQ(1u, Settings.EnableScheduledRestart);
    EXPECT_EQ(std::wstring(L"02:00"), Settings.RestartTime);
    EXPECT_EQ(std::wstring(L""), Settings.RestartDays);
}

TEST_F(SettingsTest, ReadsTheFileBesideTheExecutableInOrder) {
    LoadFrom(L"");
    std::vector<std::wstring> keys;
    for (const sim::Call& call : sim::Calls()) {
        if (call.op == sim::Op::GetPrivateProfileIntW) {
            EXPECT_EQ(kIni, call.args[3]);
            keys.push_back(call.args[0] + L"/" + call.args[1] + L"=" + call.args[2]);
        } else if (call.op == sim::Op::GetPrivateProfileStringW) {
            EXPECT_EQ(kIni, call.args[5]);
            keys.push_back(call.args[0] + L"/" + call.args[1] + L"=" + call.args[2] + L"," +
                           call.args[4]);
        }
    }
    const std::vector<std::wstring> expected = {
        L"Monitor/CheckIntervalMs=10000",
        L"Monitor/HangTimeoutMs=120000",
        L"Monitor/MaxRestartsPerHour=3",
        L"Monitor/ClearSpoolOnRecovery=1",
        L"Recovery/StopTimeoutMs=30000",
        L"Recovery/StartTimeoutMs=60000",
        L"Recovery/RestartDelayMs=3000",
        L"HealthCheck/EnableQueueCheck=1",
        L"HealthCheck/StuckJobTimeoutMs=300000",
        L"HealthCheck/MaxQueueJobs=0",
        L"HealthCheck/EnablePluginCheck=0",
        L"HealthCheck/PluginIntervalMs=60000",
        L"HealthCheck/PluginTimeoutMs=30000",
        L"Schedule/EnableScheduledRestart=1",
        L"Schedule/ClearSpoolOnScheduledRestart=0",
        L"Monitor/SpoolDirectory=C:\\Windows\\System32\\spool\\PRINTERS,260",
        L"HealthCheck/PrinterName=,256",
        L"HealthCheck/PluginPath=,260",
        L"Schedule/RestartTime=02:00,8",
        L"Schedule/RestartDays=,64",
    };
    EXPECT_EQ(expected, keys);
}

TEST_F(SettingsTest, NumbersAreHeldToTheirLowerBoundsOnly) {
    struct Case {
        const WCHAR* section;
        const WCHAR* key;
        const WCHAR* value;
        DWORD SettingsRecord::*field;
        DWORD expected;
    };
    const Case cases[] = {
        {L"Monitor", L"CheckIntervalMs", L"0", &SettingsRecord::CheckIntervalMs, 1000},
        {L"Monitor", L"CheckIntervalMs", L"500", &SettingsRecord::CheckIntervalMs, 1000},
        {L"Monitor", L"CheckIntervalMs", L"999", &SettingsRecord::CheckIntervalMs, 1000},
        {L"Monitor", L"CheckIntervalMs", L"1000", &SettingsRecord::CheckIntervalMs, 1000},
        {L"Monitor", L"CheckIntervalMs", L"1001", &SettingsRecord::CheckIntervalMs, 1001},
        // A negative number is read as a large unsigned one, and so passes its bound.
        {L"Monitor", L"CheckIntervalMs", L"-5", &SettingsRecord::CheckIntervalMs, 4294967291u},
        {L"Monitor", L"HangTimeoutMs", L"4999", &SettingsRecord::HangTimeoutMs, 5000},
        {L"Monitor", L"MaxRestartsPerHour", L"0", &SettingsRecord::MaxRestartsPerHour, 1},
        {L"Monitor", L"MaxRestartsPerHour", L"40", &SettingsRecord::MaxRestartsPerHour, 40},
        {L"Recovery", L"StopTimeoutMs", L"0", &SettingsRecord::StopTimeoutMs, 0},
        {L"Recovery", L"StartTimeoutMs", L"0", &SettingsRecord::StartTimeoutMs, 0},
        {L"Recovery", L"RestartDelayMs", L"4294967295", &SettingsRecord::RestartDelayMs,
         4294967295u},
        {L"HealthCheck", L"StuckJobTimeoutMs", L"9999", &SettingsRecord::StuckJobTimeoutMs, 10000},
        {L"HealthCheck", L"MaxQueueJobs", L"0", &SettingsRecord::MaxQueueJobs, 0},
        {L"HealthCheck", L"PluginIntervalMs", L"1", &SettingsRecord::PluginIntervalMs, 5000},
        {L"HealthCheck", L"PluginTimeoutMs", L"999", &SettingsRecord::PluginTimeoutMs, 1000},
        // Switches hold exactly 0 or 1.
        {L"HealthCheck", L"EnableQueueCheck", L"5", &SettingsRecord::EnableQueueCheck, 1},
        {L"HealthCheck", L"EnableQueueCheck", L"0", &SettingsRecord::EnableQueueCheck, 0},
        {L"Monitor", L"ClearSpoolOnRecovery", L"0x10", &SettingsRecord::ClearSpoolOnRecovery, 1},
        {L"Schedule", L"ClearSpoolOnScheduledRestart", L"-1",
         &SettingsRecord::ClearSpoolOnScheduledRestart, 1},
        // Present but empty: the default.
        {L"Monitor", L"HangTimeoutMs", L"", &SettingsRecord::HangTimeoutMs, 120000},
    };
    for (const Case& c : cases) {
        LoadFrom(std::wstring(L"[") + c.section + L"]\r\n" + c.key + L"=" + c.value + L"\r\n");
        EXPECT_EQ(c.expected, Settings.*c.field) << Narrow(c.key) << "=" << Narrow(c.value);
    }
    LoadFrom(L"[HealthCheck]\nEnableQueueCheck=1\n");
    EXPECT_EQ(0u, Settings.EnablePluginCheck) << "a missing switch keeps its default";
}

TEST_F(SettingsTest, TextsAreCutToCapacityAndTrimmed) {
    const std::wstring longFolder = L"D:\\" + std::wstring(300, L'f');
    LoadFrom(
        L"[Monitor]\nSpoolDirectory=" + longFolder +
        L"\n[HealthCheck]\nPrinterName=\" \tOffice  Laser 2\t \"\nPluginPath=  C:\\p\\check.cmd\n"
        L"[Schedule]\nRestartTime=' 23:30 extra'\nRestartDays=" +
        std::wstring(70, L'd') + L"\n");
    EXPECT_EQ(longFolder.substr(0, 259), Settings.SpoolDirectory);
    EXPECT_EQ(std::wstring(L"Office  Laser 2"), Settings.PrinterName);
    EXPECT_EQ(std::wstring(L"C:\\p\\check.cmd"), Settings.PluginPath);
    // Cut to seven characters first (" 23:30 "), then trimmed.
    EXPECT_EQ(std::wstring(L"23:30"), Settings.RestartTime);
    EXPECT_EQ(std::wstring(63, L'd'), Settings.RestartDays);
}

TEST_F(SettingsTest, EmptyValuesKeepTheDefaultAndBlanksOnlyEndEmpty) {
    LoadFrom(L"[Monitor]\nSpoolDirectory=\n[HealthCheck]\nPrinterName=\n"
             L"[Schedule]\nRestartTime=\nRestartDays=\"   \"\n");
    EXPECT_EQ(std::wstring(L"C:\\Windows\\System32\\spool\\PRINTERS"), Settings.SpoolDirectory);
    EXPECT_EQ(std::wstring(L""), Settings.PrinterName);
    EXPECT_EQ(std::wstring(L"02:00"), Settings.RestartTime);
    EXPECT_EQ(std::wstring(L""), Settings.RestartDays);
}

TEST_F(SettingsTest, SpoolDirectoryIsNotTrimmed) {
    LoadFrom(L"[Monitor]\nSpoolDirectory=\" D:\\Spool \"\n");
    EXPECT_EQ(std::wstring(L" D:\\Spool "), Settings.SpoolDirectory);
}

TEST_F(SettingsTest, EachLoadStartsAgainFromTheDefaults) {
    LoadFrom(L"[HealthCheck]\nPrinterName=Front Desk\nMaxQueueJobs=9\n");
    EXPECT_EQ(9u, Settings.MaxQueueJobs);
    LoadFrom(L"[Monitor]\nCheckIntervalMs=2000\n");
    EXPECT_EQ(0u, Settings.MaxQueueJobs);
    EXPECT_EQ(std::wstring(L""), Settings.PrinterName);
    EXPECT_EQ(2000u, Settings.CheckIntervalMs);
}

TEST_F(SettingsTest, AnUnreadableOrCutExecutablePathReadsNoFile) {
    sim::SetFileText(kIni, L"[Monitor]\nCheckIntervalMs=5000\n");
    sim::FailCall(sim::Op::GetModuleFileNameW);
    LoadSettings();
    EXPECT_TRUE(SameAsDefaults());

    // A folder so long that "\Nimbrel.ini" no longer fits beside a renamed
    // executable: the cut path would name some other file, so none is read.
    const std::wstring folder = L"C:\\" + std::wstring(247, L'n');
    sim::SetModulePath(folder + L"\\N.exe");
    sim::SetFileText((folder + L"\\Nimbrel.ini").substr(0, 259),
                     L"[Monitor]\nCheckIntervalMs=5000\n");
    sim::ClearCalls();
    LoadSettings();
    EXPECT_TRUE(SameAsDefaults());
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::GetPrivateProfileIntW));

    // An executable path longer than the buffer is cut by the platform: not used either.
    sim::SetModulePath(L"C:\\" + std::wstring(300, L'x') + L"\\Nimbrel.exe");
    LoadSettings();
    EXPECT_TRUE(SameAsDefaults());
}

TEST_F(SettingsTest, TheLongestFittingPathIsRead) {
    // folder + "\Nimbrel.ini" is exactly 259 characters.
    const std::wstring folder = L"C:\\" + std::wstring(244, L'n');
    sim::SetModulePath(folder + L"\\Nimbrel.exe");
    sim::SetFileText(folder + L"\\Nimbrel.ini", L"[Monitor]\nCheckIntervalMs=5000\n");
    LoadSettings();
    EXPECT_EQ(5000u, Settings.CheckIntervalMs);
}

TEST_F(SettingsTest, APathWithoutBackslashIsUsedWhole) {
    sim::SetModulePath(L"Nimbrel.exe");
    sim::SetFileText(L"Nimbrel.exe\\Nimbrel.ini", L"[Monitor]\nCheckIntervalMs=4000\n");
    LoadSettings();
    EXPECT_EQ(4000u, Settings.CheckIntervalMs);
}

TEST_F(SettingsTest, AProfileReadThatFailsGivesTheDefault) {
    sim::FailCall(sim::Op::GetPrivateProfileStringW, 0, 1, true);
    sim::FailCall(sim::Op::GetPrivateProfileIntW, 0, 1, true);
    LoadFrom(L"[Monitor]\nCheckIntervalMs=5000\nSpoolDirectory=D:\\x\n");
    EXPECT_TRUE(SameAsDefaults());
}

TEST(TrimBlanks, StripsSpacesAndTabsFromBothEndsOnly) {
    struct Case {
        const WCHAR* in;
        const WCHAR* out;
    };
    const Case cases[] = {
        {L"", L""},
        {L"   ", L""},
        {L"\t \t", L""},
        {L"a", L"a"},
        {L"  a", L"a"},
        {L"a  ", L"a"},
        {L" \tMon, Fri\t ", L"Mon, Fri"},
        {L"\r\nx\r\n", L"\r\nx\r\n"},         // returns and line feeds stay
        {L"\u00a0x\u00a0", L"\u00a0x\u00a0"}, // so do no-break spaces
        {L"\v\fx", L"\v\fx"},                 // and vertical tabs and form feeds
    };
    for (const Case& c : cases) {
        WCHAR buffer[32];
        CopyText(buffer, 32, c.in);
        TrimBlanks(buffer);
        EXPECT_EQ(std::wstring(c.out), buffer) << SimTest::Narrow(c.in);
    }
}

} // namespace
} // namespace nimbrel::test
