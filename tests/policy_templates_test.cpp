// The administrative templates name exactly the settings the program reads:
// one policy for each, under its section's policy key, of the type the
// program takes (REG_DWORD for numbers and switches, REG_SZ for texts), with
// the program's own bounds; and every text they show is in the language file.

#include "config/settings.h"
#include "tests/support.h"

#include <fstream>
#include <iterator>
#include <regex>
#include <set>

namespace nimbrel::test {
namespace {

std::string ReadSource(const std::string& path) {
    std::ifstream file(std::string(NIMBREL_SOURCE_DIR "/") + path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// "Section/Key kind bounds", as the program reads the setting.
std::set<std::string> ProgramSettings() {
    std::set<std::string> settings;
    for (std::size_t i = 0; i < SettingCount(); ++i) {
        const SettingEntry s = DescribeSetting(i);
        std::string line = Narrow(s.section) + "/" + Narrow(s.key);
        if (s.kind == SettingKind::Switch) {
            line += " switch";
        } else if (s.kind == SettingKind::Number) {
            line += " decimal " + std::to_string(s.lowerBound) + "..4294967295";
        } else {
            line += " text " + std::to_string(s.capacity - 1);
        }
        settings.insert(line);
    }
    return settings;
}

// The same, as the template writes the policy's value.
std::set<std::string> TemplateSettings(const std::string& admx) {
    std::set<std::string> settings;
    const std::regex policy(
        R"re(<policy name="(\w+)"[^>]* key="SOFTWARE\\Policies\\Nimbrel\\(\w+)"(?: valueName="(\w+)")?>([\s\S]*?)</policy>)re");
    const std::regex decimal(
        R"re(<decimal id="\w+" valueName="(\w+)" minValue="(\d+)" maxValue="(\d+)" />)re");
    const std::regex text(R"re(<text id="\w+" valueName="(\w+)" maxLength="(\d+)" />)re");
    const std::regex onOff(
        R"re(^\s*<parentCategory[^>]*>\s*<supportedOn[^>]*>\s*<enabledValue>\s*<decimal value="1" />\s*</enabledValue>\s*<disabledValue>\s*<decimal value="0" />\s*</disabledValue>\s*$)re");
    for (std::sregex_iterator it(admx.begin(), admx.end(), policy), end; it != end; ++it) {
        const std::string section = (*it)[2];
        const std::string body = (*it)[4];
        std::smatch element;
        if ((*it)[3].matched && std::regex_match(body, onOff)) {
            settings.insert(section + "/" + std::string((*it)[3]) + " switch");
        } else if (std::regex_search(body, element, decimal)) {
            settings.insert(section + "/" + std::string(element[1]) + " decimal " +
                            std::string(element[2]) + ".." + std::string(element[3]));
        } else if (std::regex_search(body, element, text)) {
            settings.insert(section + "/" + std::string(element[1]) + " text " +
                            std::string(element[2]));
        } else {
            settings.insert(section + "/" + std::string((*it)[1]) + " unreadable");
        }
    }
    return settings;
}

TEST(PolicyTemplates, NameExactlyTheSettingsTheProgramReads) {
    const std::string admx = ReadSource("policy/Nimbrel.admx");
    ASSERT_FALSE(admx.empty());
    EXPECT_EQ(ProgramSettings(), TemplateSettings(admx))
        << "each setting needs its policy in policy/Nimbrel.admx and its texts in "
           "policy/en-US/Nimbrel.adml";
}

TEST(PolicyTemplates, EveryTextShownIsInTheLanguageFile) {
    const std::string admx = ReadSource("policy/Nimbrel.admx");
    const std::string adml = ReadSource("policy/en-US/Nimbrel.adml");
    ASSERT_FALSE(adml.empty());
    std::set<std::string> defined;
    const std::regex id(R"re(<(string|presentation) id="(\w+)")re");
    for (std::sregex_iterator it(adml.begin(), adml.end(), id), end; it != end; ++it) {
        EXPECT_TRUE(defined.insert(std::string((*it)[1]) + "." + std::string((*it)[2])).second)
            << (*it)[2] << " defined twice";
    }
    const std::regex reference(R"re(\$\((string|presentation)\.(\w+)\))re");
    unsigned references = 0;
    for (std::sregex_iterator it(admx.begin(), admx.end(), reference), end; it != end; ++it) {
        ++references;
        EXPECT_EQ(1u, defined.count(std::string((*it)[1]) + "." + std::string((*it)[2])))
            << (*it)[0] << " is not in the language file";
    }
    EXPECT_GT(references, 2 * SettingCount());
}

} // namespace
} // namespace nimbrel::test
