// TrimBlanks on any text: only spaces and tabs go, from both ends; nothing
// else changes; the text never grows, and nothing past its terminator is
// touched.

#include "tests/fuzz/fuzz.h"
#include "text/text.h"

#include <vector>

using namespace nimbrel;
using nimbrel::fuzz::Check;

namespace {
constexpr WCHAR kGuard = static_cast<WCHAR>(0xA5A5);
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::wstring text = in.Text(0);
    const std::wstring expected = fuzz::Trimmed(text);
    std::vector<WCHAR> buffer(text.begin(), text.end());
    buffer.push_back(0);
    buffer.insert(buffer.end(), 8, kGuard);
    TrimBlanks(buffer.data());
    Check(std::wstring(buffer.data()) == expected, "not the text without its outer blanks");
    for (std::size_t i = text.size() + 1; i < buffer.size(); ++i) {
        Check(buffer[i] == kGuard, "wrote past the terminator");
    }
    TrimBlanks(buffer.data());
    Check(std::wstring(buffer.data()) == expected, "trimming twice changed the text");
    return 0;
}
