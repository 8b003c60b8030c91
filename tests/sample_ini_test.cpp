// The shipped Nimbrel.ini.sample: copied as "Nimbrel.ini" it must change
// nothing, and it must name every key that LoadSettings reads, in the right
// section, so that a new setting cannot be left out of it.

#include "config/settings.h"
#include "tests/support.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

namespace nimbrel::test {
namespace {

class SampleIniTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        std::ifstream file(NIMBREL_SOURCE_DIR "/Nimbrel.ini.sample", std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(file),
                                std::istreambuf_iterator<char>()};
        ASSERT_FALSE(bytes.empty()) << "cannot read " NIMBREL_SOURCE_DIR "/Nimbrel.ini.sample";
        // Plain ASCII: the profile functions read a file without a byte-order
        // mark in the machine's ANSI code page, whatever the editor meant.
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(bytes[i]);
            ASSERT_TRUE(c < 0x80 && (c >= 0x20 || c == '\r' || c == '\n')) << "at offset " << i;
        }
        text_.assign(bytes.begin(), bytes.end());
        sim::SetFileText(kIniPath, text_);
    }
    std::wstring text_;
};

TEST_F(SampleIniTest, CopiedAsNimbrelIniItLoadsExactlyTheDefaults) {
    std::memset(&Settings, 0x5A, sizeof Settings);
    LoadSettings();
    EXPECT_EQ(0, std::memcmp(&Settings, &kDefaultSettings, sizeof Settings));
}

TEST_F(SampleIniTest, NamesEveryKeyThatIsReadOnceInItsSectionWithAnExplanation) {
    LoadSettings();
    std::set<std::wstring> read;
    for (const sim::Call& call : sim::Calls()) {
        // A null key asks for the section's key names.
        if ((call.op == sim::Op::GetPrivateProfileIntW ||
             call.op == sim::Op::GetPrivateProfileStringW) &&
            call.args[1] != L"null") {
            read.insert(call.args[0] + L"/" + call.args[1]);
        }
    }
    // The list that the status for scripts and the policy templates follow
    // names the same keys.
    std::set<std::wstring> listed;
    for (std::size_t i = 0; i < SettingCount(); ++i) {
        listed.insert(std::wstring(DescribeSetting(i).section) + L"/" + DescribeSetting(i).key);
    }
    EXPECT_EQ(read, listed);

    // Every key line, as "Section/Key", with a comment line right above it.
    std::map<std::wstring, int> inSample;
    std::wstring section, previous;
    for (std::size_t start = 0, end; start < text_.size(); start = end + 1) {
        end = std::min(text_.find(L'\n', start), text_.size());
        std::wstring line = text_.substr(start, end - start);
        if (!line.empty() && line.back() == L'\r') {
            line.pop_back();
        }
        if (!line.empty() && line[0] == L'[') {
            section = line.substr(1, line.find(L']') - 1);
        } else if (!line.empty() && line[0] != L';') {
            const std::wstring key = section + L"/" + line.substr(0, line.find(L'='));
            ++inSample[key];
            EXPECT_EQ(L';', previous.empty() ? 0 : previous[0]) << Narrow(key) << " unexplained";
            EXPECT_EQ(1u, read.count(key)) << Narrow(key) << " is not a key that Nimbrel reads";
        }
        previous = line;
    }
    for (const std::wstring& key : read) {
        EXPECT_EQ(1, inSample[key]) << Narrow(key) << " should appear exactly once in the sample";
    }
}

} // namespace
} // namespace nimbrel::test
