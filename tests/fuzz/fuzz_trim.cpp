// TrimBlanks on any text: only spaces and tabs go, from both ends, and nothing past the terminator
// is touched.

#include "tests/fuzz/fuzz.h"
#include "text/text.h"

#include <vector>

using namespace nimbrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring text = fuzz::Input{data, size}.Text(0);
    std::vector<WCHAR> buffer(text.begin(), text.end());
    buffer.resize(text.size() + 9, fuzz::kGuard); // the terminator, then guards
    buffer[text.size()] = 0;
    TrimBlanks(buffer.data());
    fuzz::Check(std::wstring(buffer.data()) == fuzz::Trimmed(text), "not trimmed");
    fuzz::Check(fuzz::Guarded(&buffer[text.size() + 1], 8), "wrote past the terminator");
    return 0;
}
