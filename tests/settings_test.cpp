// LoadSettings, and the files shipped beside the program naming exactly what it reads.

#include "config/settings.h"
#include "tests/support.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>

namespace nimbrel::test {
namespace {

class SettingsTest : public SimTest {};

// Texts are cut to capacity, then trimmed (not the spool folder); empty keeps the default.
TEST_F(SettingsTest, NumbersSwitchesAndTextsAreHeldToTheirBounds) {
    const std::wstring longFolder = L"D:\\" + std::wstring(300, L'f');
    WriteIni(
        L"Monitor/CheckIntervalMs=999\nRecovery/StopTimeoutMs=0\nHealthCheck/EnableQueueCheck=5\n"
        L"Monitor/SpoolDirectory=" +
        longFolder +
        L"\nHealthCheck/PrinterName=\" \tOffice  Laser 2\t \"\n"
        L"HealthCheck/PluginPath=\" C:\\p\\check.cmd\t\"\nSchedule/RestartTime=' 23:30 extra'\n"
        L"Schedule/RestartDays=" +
        std::wstring(70, L'd'));
    LoadSettings();
    EXPECT_EQ(1000u, g_Settings.CheckIntervalMs);
    EXPECT_EQ(0u, g_Settings.StopTimeoutMs);
    EXPECT_EQ(1u, g_Settings.EnableQueueCheck);
    EXPECT_EQ(0u, g_Settings.EnablePluginCheck);
    EXPECT_EQ(longFolder.substr(0, 259), g_Settings.SpoolDirectory);
    EXPECT_EQ(std::wstring(L"Office  Laser 2"), g_Settings.PrinterName);
    EXPECT_EQ(std::wstring(L"C:\\p\\check.cmd"), g_Settings.PluginPath);
    EXPECT_EQ(std::wstring(L"23:30"), g_Settings.RestartTime); // " 23:30 " before the trim
    EXPECT_EQ(std::wstring(63, L'd'), g_Settings.RestartDays);

    WriteIni(
        L"Monitor/CheckIntervalMs=1001\nMonitor/HangTimeoutMs=\nHealthCheck/EnableQueueCheck=0\n"
        L"Monitor/SpoolDirectory=\" D:\\Spool \"\nHealthCheck/PrinterName=\n"
        L"Schedule/RestartTime=\nSchedule/RestartDays=\"   \"");
    LoadSettings();
    EXPECT_EQ(1001u, g_Settings.CheckIntervalMs);
    EXPECT_EQ(120000u, g_Settings.HangTimeoutMs);
    EXPECT_EQ(30000u, g_Settings.StopTimeoutMs);
    EXPECT_EQ(0u, g_Settings.EnableQueueCheck);
    EXPECT_EQ(std::wstring(L" D:\\Spool "), g_Settings.SpoolDirectory);
    EXPECT_EQ(std::wstring(L""), g_Settings.PrinterName);
    EXPECT_EQ(std::wstring(L""), g_Settings.PluginPath);
    EXPECT_EQ(std::wstring(L"02:00"), g_Settings.RestartTime);
    EXPECT_EQ(std::wstring(L""), g_Settings.RestartDays);
}

// A path that had to be cut would name some other file: then none is read.
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
        EXPECT_EQ(c.read ? 5000u : 10000u, g_Settings.CheckIntervalMs) << Narrow(c.module);
    }
}

// PowerShell 5.1 writes a UTF-8 mark, which Windows reads as part of the first line.
TEST_F(SettingsTest, TheFirstSectionBehindAUtf8MarkIsHonoured) {
    sim::SetFileBytes(
        kIniPath, "\xEF\xBB\xBF [ monitor ]\r\nClearSpoolOnRecovery = 0\r\n; note\r\n"
                  "clearspoolonrecovery=1\r\nCheckIntervalMs=0x7D0\xFF\r\n"
                  "SpoolDirectory=\"D:\\Sp\xC3\xBCl \xF0\x9F\x96\xA8\"\r\nMaxRestartsPerHour=\r\n"
                  "[Schedule]\r\nRestartTime=03:00\r\n[Monitor]\r\nHangTimeoutMs=6000");
    LoadSettings();
    EXPECT_EQ(1, g_SettingsFileHasUtf8Mark);
    EXPECT_EQ(0u, g_Settings.ClearSpoolOnRecovery);
    EXPECT_EQ(SettingSource::File, DescribeSetting(3).source);
    EXPECT_EQ(2000u, g_Settings.CheckIntervalMs);
    EXPECT_EQ(std::wstring(L"D:\\Sp\u00fcl \U0001F5A8"), g_Settings.SpoolDirectory);
    EXPECT_EQ(std::wstring(L"03:00"), g_Settings.RestartTime);
    EXPECT_EQ(6000u, g_Settings.HangTimeoutMs);
    EXPECT_EQ(3u, g_Settings.MaxRestartsPerHour);
}

// A policy of another type or size is passed over, never cut.
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
    } cases[] = {
        {L"Monitor", L"checkintervalms", REG_DWORD, L"0", 0, L"1000", kPolicy},
        {L"HealthCheck", L"EnableQueueCheck", REG_DWORD, L"5", 7, L"1", kPolicy},
        {L"HealthCheck", L"PrinterName", REG_SZ, L" Lab\t", 17, L"Lab", kPolicy},
        {L"Monitor", L"SpoolDirectory", REG_SZ, s257, 16, L"D:\\Spool", kFile},
        {L"Monitor", L"SpoolDirectory", REG_SZ, s256, 16, s256, kPolicy},
        {L"Monitor", L"SpoolDirectory", REG_EXPAND_SZ, L"E:\\x", 16, L"D:\\Spool", kFile},
        {L"HealthCheck", L"PrinterName", REG_DWORD, L"1", 17, L"Office", kFile},
    };
    for (const auto& c : cases) {
        Fresh();
        WriteIni(L"Monitor/CheckIntervalMs=5000\nMonitor/SpoolDirectory=D:\\Spool\n"
                 L"HealthCheck/PrinterName=Office");
        const std::wstring key = L"SOFTWARE\\Policies\\Nimbrel\\" + std::wstring(c.section);
        if (c.type == REG_DWORD) {
            sim::SetRegistryNumber(key, c.name, std::stoul(c.text));
        } else {
            sim::SetRegistryText(key, c.name, c.text, c.type);
        }
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
    EXPECT_EQ(7000u, g_Settings.CheckIntervalMs);
}

std::string ReadSource(const std::string& path) {
    std::ifstream file(std::string(NIMBREL_SOURCE_DIR "/") + path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST_F(SettingsTest, TheSampleLoadsTheDefaultsAndExplainsEveryKeyReadOnceInItsSection) {
    const std::string sample = ReadSource("Nimbrel.ini.sample");
    ASSERT_FALSE(sample.empty());
    // Without a byte-order mark the profile functions read the ANSI code page.
    for (const unsigned char c : sample) {
        ASSERT_TRUE(c < 0x80 && (c >= 0x20 || c == '\r' || c == '\n')) << "not plain ASCII";
    }
    sim::SetFileText(kIniPath, std::wstring(sample.begin(), sample.end()));
    std::memset(&g_Settings, 0x5A, sizeof g_Settings);
    LoadSettings();
    EXPECT_EQ(0, std::memcmp(&g_Settings, &kDefaultSettings, sizeof g_Settings));

    std::multiset<std::string> read, listed, inSample;
    for (const sim::Call& call : sim::Calls()) {
        // A null key asks for the section's key names.
        if ((call.op == sim::Op::GetPrivateProfileIntW ||
             call.op == sim::Op::GetPrivateProfileStringW) &&
            call.args[1] != L"null") {
            read.insert(Narrow(call.args[0] + L"/" + call.args[1]));
        }
    }
    for (std::size_t i = 0; i < SettingCount(); ++i) {
        listed.insert(Narrow(DescribeSetting(i).section) + "/" + Narrow(DescribeSetting(i).key));
    }
    std::istringstream lines(sample);
    std::string section, previous;
    for (std::string line; std::getline(lines, line); previous = line) {
        line.erase(line.find_last_not_of('\r') + 1);
        if (line[0] == '[') {
            section = line.substr(1, line.find(']') - 1);
        } else if (!line.empty() && line[0] != ';') {
            inSample.insert(section + "/" + line.substr(0, line.find('=')));
            EXPECT_EQ(';', previous[0]) << line << " unexplained";
        }
    }
    EXPECT_EQ(listed, read);
    EXPECT_EQ(listed, inSample);
}

TEST(PolicyTemplates, HoldOnePolicyForEachSettingWithItsTypeBoundsAndTexts) {
    const std::regex where(R"(\s*<(parentCategory|supportedOn)[^>]*>)"), blanks(R"(>\s+<)");
    const std::string admx = std::regex_replace(
        std::regex_replace(ReadSource("policy/Nimbrel.admx"), where, ""), blanks, "><");
    const std::string adml = ReadSource("policy/en-US/Nimbrel.adml");
    const std::regex policy("<policy ");
    const std::sregex_iterator policies(admx.begin(), admx.end(), policy), none;
    EXPECT_EQ(SettingCount(), static_cast<std::size_t>(std::distance(policies, none)));
    for (std::size_t i = 0; i < SettingCount(); ++i) {
        const SettingEntry s = DescribeSetting(i);
        const std::string key = Narrow(s.key), name = "\" valueName=\"" + key + "\"";
        const std::string value =
            s.kind == SettingKind::Switch
                ? name + "><enabledValue><decimal value=\"1\" /></enabledValue><disabledValue>"
                         "<decimal value=\"0\" /></disabledValue>"
            : s.kind == SettingKind::Number
                ? "<decimal id=\"" + key + name + " minValue=\"" + std::to_string(s.lowerBound) +
                      "\" maxValue=\"4294967295\" />"
                : "<text id=\"" + key + name + " maxLength=\"" + std::to_string(s.capacity - 1) +
                      "\" />";
        const std::size_t at = admx.find("<policy name=\"" + key + "\"");
        const std::string policy = admx.substr(at, admx.find("</policy>", at) - at);
        EXPECT_NE(std::string::npos,
                  policy.find("key=\"SOFTWARE\\Policies\\Nimbrel\\" + Narrow(s.section) + "\""));
        EXPECT_NE(std::string::npos, policy.find(value)) << value << "\nin " << policy;
    }
    std::set<std::string> defined;
    const std::regex id(R"re(<(string|presentation) id="(\w+)")re");
    for (std::sregex_iterator it(adml.begin(), adml.end(), id), end; it != end; ++it) {
        EXPECT_TRUE(defined.insert(std::string((*it)[1]) + "." + std::string((*it)[2])).second)
            << (*it)[2] << " defined twice";
    }
    const std::regex reference(R"re(\$\((string|presentation)\.(\w+)\))re");
    for (std::sregex_iterator it(admx.begin(), admx.end(), reference), end; it != end; ++it) {
        EXPECT_EQ(1u, defined.count(std::string((*it)[1]) + "." + std::string((*it)[2])))
            << (*it)[0] << " is not in the language file";
    }
}

} // namespace
} // namespace nimbrel::test
