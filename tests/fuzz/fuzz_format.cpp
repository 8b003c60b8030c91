// FormatBounded with any format ("%s", "%u", "%d", "%%", other conversions,
// a lone '%' at the end, arbitrary text) and any arguments, into every
// capacity from 0 to 1024: it never writes past the capacity, always
// terminates, and holds the whole text cut at capacity - 1, which a model
// of the format rules built here gives independently.
//
// Input: a count byte, that many arguments (a kind byte, then four bytes of
// a number or a length byte and that many characters of text), then the
// format, one character per byte.

#include "tests/fuzz/fuzz.h"
#include "text/text.h"

#include <algorithm>
#include <vector>

using namespace nimbrel;
using nimbrel::fuzz::Check;

namespace {

constexpr std::size_t kMaxCapacity = 1024;
constexpr std::size_t kGuardCells = 8;
constexpr WCHAR kGuard = static_cast<WCHAR>(0xA5A5);

// The text the format gives, or false after a formatting error.
bool Model(const std::wstring& format, const std::vector<FormatArg>& args, std::wstring& text) {
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != L'%') {
            text += format[i];
            continue;
        }
        if (++i == format.size()) {
            return false; // a lone '%' at the end
        }
        const WCHAR c = format[i];
        if (c == L'%') {
            text += L'%';
            continue;
        }
        if (next == args.size()) {
            return false;
        }
        const FormatArg& arg = args[next++];
        if (c == L's' && arg.kind == FormatArg::Text) {
            text += arg.text;
        } else if (c == L'u' && arg.kind == FormatArg::Unsigned) {
            text += std::to_wstring(arg.unsignedValue);
        } else if (c == L'd' && arg.kind == FormatArg::Signed) {
            text += std::to_wstring(arg.signedValue);
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    std::vector<std::wstring> texts; // kept alive for the arguments
    texts.reserve(4);
    std::vector<FormatArg> args;
    const unsigned count = in.Byte() % 5;
    for (unsigned i = 0; i < count; ++i) {
        switch (in.Byte() % 3) {
        case 0: {
            std::wstring text;
            for (unsigned n = in.Byte(); n > 0 && !in.Empty(); --n) {
                WCHAR c = fuzz::Input::Char(in.Byte());
                text += c == 0 ? L'0' : c;
            }
            texts.push_back(text);
            args.push_back(MakeFormatArg(texts.back().c_str()));
            break;
        }
        case 1:
            args.push_back(MakeFormatArg(in.Word32()));
            break;
        default:
            args.push_back(MakeFormatArg(static_cast<std::int32_t>(in.Word32())));
            break;
        }
    }
    std::wstring format = in.Text(0);

    std::wstring whole;
    const bool ok = Model(format, args, whole);
    // Only the guard cells after the capacity are filled and checked: a
    // write past the capacity reaches them first.
    std::vector<WCHAR> buffer(kMaxCapacity + kGuardCells);
    for (std::size_t capacity = 0; capacity <= kMaxCapacity; ++capacity) {
        std::fill(buffer.begin() + capacity, buffer.begin() + capacity + kGuardCells, kGuard);
        const int result =
            FormatBoundedArgs(buffer.data(), capacity, format.c_str(), args.data(), args.size());
        for (std::size_t i = capacity; i < capacity + kGuardCells; ++i) {
            Check(buffer[i] == kGuard, "wrote past the capacity");
        }
        if (!ok) {
            Check(result == -1, "a formatting error not reported");
            Check(capacity == 0 || buffer[0] == 0, "a formatting error left text");
            continue;
        }
        Check(result == static_cast<int>(whole.size()), "result is not the whole length");
        if (capacity == 0) {
            continue;
        }
        const std::size_t kept = std::min(whole.size(), capacity - 1);
        Check(buffer[kept] == 0, "not terminated where the cut text ends");
        Check(std::equal(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(kept),
                         buffer.begin()),
              "not the whole text cut at capacity - 1");
    }
    return 0;
}
