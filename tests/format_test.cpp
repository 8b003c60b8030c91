// FormatBounded and ConsolePrint: the same meaning of "%s", "%u" and "%d" on
// every platform, and output that reaches a redirected standard output as
// UTF-8. Truncation at every capacity is the format fuzz target's.

#include "app/console.h"
#include "tests/support.h"

#include <climits>

namespace nimbrel::test {
namespace {

TEST(FormatBounded, ConvertsEachKindAndLeavesTheEmptyTextAfterAnError) {
    struct Case {
        const WCHAR* format;
        std::vector<FormatArg> args;
        const WCHAR* expected;
    };
    const Case cases[] = {
        {L"Printer '%s' queue depth %u",
         {MakeFormatArg(L"HP"), MakeFormatArg(6u)},
         L"Printer 'HP' queue depth 6"},
        {L"%u|%u", {MakeFormatArg(0u), MakeFormatArg(4294967295u)}, L"0|4294967295"},
        {L"%d|%d", {MakeFormatArg(-1), MakeFormatArg(INT_MIN)}, L"-1|-2147483648"},
        {L"100%% %s", {MakeFormatArg(L"done")}, L"100% done"},
        {L"%s", {MakeFormatArg(static_cast<const WCHAR*>(nullptr))}, L"(null)"},
        {L"%s%s", {MakeFormatArg(L"caf\u00e9 "), MakeFormatArg(L"\u20ac")}, L"caf\u00e9 \u20ac"},
        // An unknown conversion, a lone '%', kinds that do not match (a number
        // for %s, text for %u, unsigned for %d), a conversion without an argument.
        {L"x%x", {MakeFormatArg(1u)}, L""},
        {L"abc%", {}, L""},
        {L"%s", {MakeFormatArg(5u)}, L""},
        {L"%u", {MakeFormatArg(L"x")}, L""},
        {L"%d", {MakeFormatArg(7u)}, L""},
        {L"%u %u", {MakeFormatArg(7u)}, L""},
    };
    for (const Case& c : cases) {
        WCHAR buffer[65];
        buffer[64] = L'#';
        FormatBoundedArgs(buffer, 64, c.format, c.args.data(), c.args.size());
        EXPECT_EQ(std::wstring(c.expected), buffer) << Narrow(c.format);
        EXPECT_EQ(L'#', buffer[64]);
    }
}

// Letters outside A to Z are not folded: the process sets no locale.
TEST(Text, ComparesFoldingOnlyAsciiLetters) {
    EXPECT_TRUE(EqualsIgnoreAsciiCase(L"SpoolSV.EXE", L"spoolsv.exe"));
    EXPECT_FALSE(EqualsIgnoreAsciiCase(L"stat", L"status"));
    EXPECT_FALSE(EqualsIgnoreAsciiCase(L"\u00c9", L"\u00e9"));
    EXPECT_FALSE(EqualsIgnoreAsciiCase(L"[", L"{")); // 'Z' + 1 and 'z' + 1
}

class ConsolePrintTest : public SimTest {};

TEST_F(ConsolePrintTest, WritesUtf8WhenRedirectedAndWideTextToAConsole) {
    ConsolePrint(L"Plugin check enabled:  %s\n", L"C:\\Tools\\caf\u00e9 \u20ac\u9f8d.cmd");
    ConsolePrint(L"%u%s", 7u, L"\n");
    EXPECT_EQ(u8"Plugin check enabled:  C:\\Tools\\caf\u00e9 \u20ac\u9f8d.cmd\n7\n",
              sim::StdoutBytes());

    sim::SetConsoleAttached(true);
    ConsolePrint(L"Service state healthy: %s\n", L"Yes \u2713");
    EXPECT_EQ(L"Service state healthy: Yes \u2713\n", sim::ConsoleText());
}

TEST_F(ConsolePrintTest, LongOutputIsWrittenWholeInPieces) {
    std::wstring text(1000, L'\u20ac'); // 3000 bytes of UTF-8, more than one piece
    EXPECT_EQ(static_cast<int>(text.size()), ConsoleWrite(text.c_str(), text.size()));
    std::string expected;
    for (int i = 0; i < 1000; ++i) {
        expected += u8"\u20ac";
    }
    EXPECT_EQ(expected, sim::StdoutBytes());
}

// Each length of UTF-8 at its bounds; a character beyond U+FFFF, a surrogate
// pair where wide characters are 16 bits; an unpaired surrogate becomes the
// replacement character.
TEST_F(ConsolePrintTest, EncodesEveryLengthOfUtf8AtItsBounds) {
    std::wstring text = {0x7F, 0x80, 0x7FF, 0x800, 0xFFFD};
    if (sizeof(WCHAR) == 2) {
        text += {static_cast<WCHAR>(0xD83D), static_cast<WCHAR>(0xDDA8)};
    } else {
        text += static_cast<WCHAR>(0x1F5A8);
    }
    text += {static_cast<WCHAR>(0xD800), L'b'};
    ConsoleWrite(text.c_str(), text.size());
    EXPECT_EQ("\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBD\xF0\x9F\x96\xA8\xEF\xBF\xBD"
              "b",
              sim::StdoutBytes());
}

} // namespace
} // namespace nimbrel::test
