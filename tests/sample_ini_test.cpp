// The shipped Nimbrel.ini.sample: copied as "Nimbrel.ini" it must change
// nothing, and it must name every key that LoadSettings reads, in the right
// section, so that a new setting cannot be left out of it.

#include "config/settings.h"
#include "tests/support.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

namespace nimbrel::test {
namespace {

const std::wstring kIni = L"C:\\Program Files\\Nimbrel\\Nimbrel.ini";

class SampleIniTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        std::ifstream file(NIMBREL_SOURCE_DIR "/Nimbrel.ini.sample", std::ios::binary);
        ASSERT_TRUE(file.is_open()) << "cannot read " NIMBREL_SOURCE_DIR "/Nimbrel.ini.sample";
        bytes_.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        ASSERT_FALSE(bytes_.empty());
        // Plain ASCII: the profile functions read a file without a byte-order
        // mark in the machine's ANSI code page, whatever the editor meant.
        for (std::size_t i = 0; i < bytes_.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(bytes_[i]);
            ASSERT_TRUE(c < 0x80 && (c >= 0x20 || c == '\r' || c == '\n'))
                << "byte " << static_cast<unsigned>(c) << " at offset " << i;
        }
        text_.assign(bytes_.begin(), bytes_.end());
    }

    // "Section/Key" of every key line, in file order, each with whether a
    // comment line stands right above it.
    std::vector<std::pair<std::wstring, bool>> KeyLines() const {
        std::vector<std::pair<std::wstring, bool>> keys;
        std::wstring section;
        bool explained = false;
        std::size_t start = 0;
        while (start < text_.size()) {
            std::size_t end = text_.find(L'\n', start);
            std::wstring line = text_.substr(start, end == std::wstring::npos ? end : end - start);
            start = end == std::wstring::npos ? text_.size() : end + 1;
            if (!line.empty() && line.back() == L'\r') {
                line.pop_back();
            }
            if (line.empty()) {
                explained = false;
            } else if (line[0] == L';') {
                explained = true;
            } else if (line[0] == L'[') {
                section = line.substr(1, line.find(L']') - 1);
                explained = false;
            } else {
                std::size_t equals = line.find(L'=');
                EXPECT_NE(std::wstring::npos, equals) << "not a key: " << Narrow(line);
                keys.emplace_back(section + L"/" + line.substr(0, equals), explained);
                explained = false;
            }
        }
        return keys;
    }

    std::string bytes_;
    std::wstring text_;
};

TEST_F(SampleIniTest, CopiedAsNimbrelIniItLoadsExactlyTheDefaults) {
    sim::SetFileText(kIni, text_);
    // Start from values that no default has, so that a field the file left
    // alone is caught too.
    std::memset(&Settings, 0x5A, sizeof Settings);
    LoadSettings();

    const struct {
        const char* key;
        DWORD SettingsRecord::*field;
    } numbers[] = {
        {"CheckIntervalMs", &SettingsRecord::CheckIntervalMs},
        {"HangTimeoutMs", &SettingsRecord::HangTimeoutMs},
        {"MaxRestartsPerHour", &SettingsRecord::MaxRestartsPerHour},
        {"ClearSpoolOnRecovery", &SettingsRecord::ClearSpoolOnRecovery},
        {"StopTimeoutMs", &SettingsRecord::StopTimeoutMs},
        {"StartTimeoutMs", &SettingsRecord::StartTimeoutMs},
        {"RestartDelayMs", &SettingsRecord::RestartDelayMs},
        {"EnableQueueCheck", &SettingsRecord::EnableQueueCheck},
        {"StuckJobTimeoutMs", &SettingsRecord::StuckJobTimeoutMs},
        {"MaxQueueJobs", &SettingsRecord::MaxQueueJobs},
        {"EnablePluginCheck", &SettingsRecord::EnablePluginCheck},
        {"PluginIntervalMs", &SettingsRecord::PluginIntervalMs},
        {"PluginTimeoutMs", &SettingsRecord::PluginTimeoutMs},
        {"EnableScheduledRestart", &SettingsRecord::EnableScheduledRestart},
        {"ClearSpoolOnScheduledRestart", &SettingsRecord::ClearSpoolOnScheduledRestart},
    };
    for (const auto& n : numbers) {
        EXPECT_EQ(kDefaultSettings.*n.field, Settings.*n.field) << n.key;
    }
    const struct {
        const char* key;
        const WCHAR* loaded;
        const WCHAR* expected;
    } texts[] = {
        {"SpoolDirectory", Settings.SpoolDirectory, kDefaultSettings.SpoolDirectory},
        {"PrinterName", Settings.PrinterName, kDefaultSettings.PrinterName},
        {"PluginPath", Settings.PluginPath, kDefaultSettings.PluginPath},
        {"RestartTime", Settings.RestartTime, kDefaultSettings.RestartTime},
        {"RestartDays", Settings.RestartDays, kDefaultSettings.RestartDays},
    };
    for (const auto& t : texts) {
        EXPECT_EQ(std::wstring(t.expected), std::wstring(t.loaded)) << t.key;
    }
    // Twenty fields listed above: the record holds nothing else.
    EXPECT_EQ(15 * sizeof(DWORD) +
                  (kSpoolDirectoryCapacity + kPrinterNameCapacity + kPluginPathCapacity +
                   kRestartTimeCapacity + kRestartDaysCapacity) *
                      sizeof(WCHAR),
              sizeof(SettingsRecord));
}

TEST_F(SampleIniTest, NamesEveryKeyThatIsReadOnceInItsSectionWithAnExplanation) {
    sim::SetFileText(kIni, text_);
    LoadSettings();
    std::set<std::wstring> read;
    for (const sim::Call& call : sim::Calls()) {
        if (call.op == sim::Op::GetPrivateProfileIntW ||
            call.op == sim::Op::GetPrivateProfileStringW) {
            read.insert(call.args[0] + L"/" + call.args[1]);
        }
    }
    EXPECT_EQ(20u, read.size());

    std::map<std::wstring, int> inSample;
    for (const auto& [key, explained] : KeyLines()) {
        ++inSample[key];
        EXPECT_TRUE(explained) << Narrow(key) << " has no comment line right above it";
        EXPECT_EQ(1u, read.count(key)) << Narrow(key) << " is not a key that Nimbrel reads";
    }
    for (const std::wstring& key : read) {
        EXPECT_EQ(1, inSample[key]) << Narrow(key) << " should appear exactly once in the sample";
    }
}

} // namespace
} // namespace nimbrel::test
