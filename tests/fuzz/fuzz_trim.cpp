// TrimBlanks on any text: only spaces and tabs go, from both ends, nothing
// past the terminator is touched, and a second trim changes nothing.

#include "tests/fuzz/fuzz.h"
#include "text/text.h"

#include <vector>

using namespace nimbrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in{data, size};
    const std::wstring text = in.Text(0);
    std::vector<WCHAR> buffer(text.begin(), text.end());
    buffer.resize(text.size() + 9, static_cast<WCHAR>(0xA5A5)); // the terminator, then guards
    buffer[text.size()] = 0;
    for (int pass = 0; pass < 2; ++pass) {
        TrimBlanks(buffer.data());
        fuzz::Check(std::wstring(buffer.data()) == fuzz::Trimmed(text), "not trimmed");
    }
    for (std::size_t i = text.size() + 1; i < buffer.size(); ++i) {
        fuzz::Check(buffer[i] == static_cast<WCHAR>(0xA5A5), "wrote past the terminator");
    }
    return 0;
}
