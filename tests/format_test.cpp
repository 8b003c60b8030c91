// FormatBounded and ConsolePrint: the same meaning of "%s", "%u" and "%d" on
// every platform, truncation that never overruns, and output that reaches a
// redirected standard output as UTF-8.

#include "app/console.h"
#include "tests/support.h"

#include <climits>

namespace nimbrel::test {
namespace {

std::wstring Format(std::size_t capacity, const WCHAR* format, FormatArg a = MakeFormatArg(L""),
                    FormatArg b = MakeFormatArg(L""), std::size_t count = 2) {
    std::vector<WCHAR> buffer(capacity + 1, L'#');
    const FormatArg args[] = {a, b};
    FormatBoundedArgs(buffer.data(), capacity, format, args, count);
    EXPECT_EQ(L'#', buffer[capacity]) << "wrote past the capacity";
    return buffer.data();
}

TEST(FormatBounded, ConvertsEachKindExactly) {
    struct Case {
        const WCHAR* format;
        FormatArg a;
        FormatArg b;
        const WCHAR* expected;
    };
    const Case cases[] = {
        {L"Printer '%s' queue depth %u", MakeFormatArg(L"HP"), MakeFormatArg(6u),
         L"Printer 'HP' queue depth 6"},
        {L"%u|%u", MakeFormatArg(0u), MakeFormatArg(4294967295u), L"0|4294967295"},
        {L"%d|%d", MakeFormatArg(-1), MakeFormatArg(INT_MIN), L"-1|-2147483648"},
        {L"100%% %s", MakeFormatArg(L"done"), MakeFormatArg(L""), L"100% done"},
        {L"%s", MakeFormatArg(static_cast<const WCHAR*>(nullptr)), MakeFormatArg(L""), L"(null)"},
        {L"%s%s", MakeFormatArg(L"caf\u00e9 "), MakeFormatArg(L"\u20ac"), L"caf\u00e9 \u20ac"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, Format(64, c.format, c.a, c.b)) << SimTest::Narrow(c.format);
    }
}

TEST(FormatBounded, FormattingErrorsLeaveTheEmptyText) {
    // An unknown conversion, a lone '%', kinds that do not match (a number for
    // %s, text for %u, unsigned for %d), and a conversion without an argument.
    const WCHAR* formats[] = {L"%x", L"abc%", L"%s", L"%u", L"%d", L"%ls", L"%u %u"};
    const FormatArg mismatched[] = {MakeFormatArg(1u),   MakeFormatArg(1u), MakeFormatArg(5u),
                                    MakeFormatArg(L"x"), MakeFormatArg(7u), MakeFormatArg(L"x"),
                                    MakeFormatArg(7u)};
    for (std::size_t i = 0; i < std::size(formats); ++i) {
        EXPECT_EQ(L"", Format(16, formats[i], mismatched[i], MakeFormatArg(L""), 1))
            << SimTest::Narrow(formats[i]);
    }
}

TEST(FormatBounded, CutsAtCapacityMinusOneAndReportsTheWholeLength) {
    const std::wstring whole = L"Recovery started: Manual recovery requested from command line";
    for (std::size_t capacity = 1; capacity <= whole.size() + 3; ++capacity) {
        std::vector<WCHAR> buffer(capacity + 1, L'#');
        int length = FormatBounded(buffer.data(), capacity, L"Recovery started: %s",
                                   L"Manual recovery requested from command line");
        EXPECT_EQ(static_cast<int>(whole.size()), length);
        EXPECT_EQ(whole.substr(0, capacity - 1), std::wstring(buffer.data()));
        EXPECT_EQ(L'#', buffer[capacity]);
    }
}

TEST(FormatBounded, CapacityZeroWritesNothing) {
    WCHAR guard = L'#';
    EXPECT_EQ(3, FormatBounded(&guard, 0, L"%u", 123u));
    EXPECT_EQ(L'#', guard);
}

TEST(Text, ComparesFoldingOnlyAsciiLetters) {
    EXPECT_TRUE(EqualsIgnoreAsciiCase(L"STATUS", L"status"));
    EXPECT_TRUE(EqualsIgnoreAsciiCase(L"SpoolSV.EXE", L"spoolsv.exe"));
    EXPECT_FALSE(EqualsIgnoreAsciiCase(L"status ", L"status"));
    EXPECT_FALSE(EqualsIgnoreAsciiCase(L"stat", L"status"));
    EXPECT_FALSE(EqualsIgnoreAsciiCase(L"", L"status"));
    // Letters outside A to Z are not folded: the process sets no locale.
    EXPECT_FALSE(EqualsIgnoreAsciiCase(L"\u00c9", L"\u00e9"));
    EXPECT_FALSE(EqualsIgnoreAsciiCase(L"[", L"{")); // 'Z' + 1 and 'z' + 1
}

TEST(Text, CopyTextCutsToFit) {
    WCHAR buffer[4] = {L'#', L'#', L'#', L'#'};
    CopyText(buffer, 3, L"abcdef");
    EXPECT_EQ(std::wstring(L"ab"), buffer);
    EXPECT_EQ(L'#', buffer[3]);
}

class ConsolePrintTest : public SimTest {};

TEST_F(ConsolePrintTest, WritesUtf8WhenRedirected) {
    ConsolePrint(L"Plugin check enabled:  %s\n", L"C:\\Tools\\caf\u00e9 \u20ac.cmd");
    ConsolePrint(L"%u%s", 7u, L"\n");
    EXPECT_EQ(Utf8(L"Plugin check enabled:  C:\\Tools\\caf\u00e9 \u20ac.cmd\n7\n"),
              sim::StdoutBytes());
}

TEST_F(ConsolePrintTest, WritesWideTextToAConsole) {
    sim::SetConsoleAttached(true);
    ConsolePrint(L"Service state healthy: %s\n", L"Yes \u2713");
    EXPECT_EQ(L"Service state healthy: Yes \u2713\n", sim::ConsoleText());
    EXPECT_EQ("", sim::StdoutBytes());
}

TEST_F(ConsolePrintTest, LongOutputIsWrittenWholeInPieces) {
    std::wstring text(3000 / 3, L'\u20ac'); // 3000 bytes of UTF-8, more than one piece
    EXPECT_EQ(static_cast<int>(text.size()), ConsoleWrite(text.c_str(), text.size()));
    EXPECT_EQ(Utf8(text), sim::StdoutBytes());
}

TEST_F(ConsolePrintTest, ReportsAnOutputErrorWithoutMore) {
    sim::SetStdoutBroken(true);
    EXPECT_GT(0, ConsolePrint(L"Print Spooler recovery completed.\n"));
}

TEST_F(ConsolePrintTest, UnpairedSurrogateBecomesReplacementCharacter) {
    if (sizeof(WCHAR) != 2) {
        GTEST_SKIP() << "surrogates exist only where wide characters are 16 bits";
    }
    const WCHAR text[] = {L'a', static_cast<WCHAR>(0xD800), L'b', 0};
    ConsoleWrite(text, 3);
    EXPECT_EQ("a\xEF\xBF\xBD"
              "b",
              sim::StdoutBytes());
}

} // namespace
} // namespace nimbrel::test
