#include "tests/support.h"

namespace nimbrel::test {
namespace {

TEST(FormatBounded, Placeholder) {
    WCHAR buffer[8];
    FormatBounded(buffer, 8, L"%s", L"abc");
    EXPECT_EQ(std::wstring(L"abc"), buffer);
}

} // namespace
} // namespace nimbrel::test
