// FormatBounded with any format and arguments, into every capacity up to 1024: it never writes
// past the capacity and holds the whole text, as a model of the format rules gives it, cut at
// capacity - 1; a formatting error leaves the empty text and -1. Input: a count byte, that many
// arguments (a kind byte, then four bytes of a number or a length byte and that many
// characters), then the format.

#include "tests/fuzz/fuzz.h"
#include "text/text.h"

#include <vector>

using namespace nimbrel;

namespace {

// The text the format gives, or false after a formatting error.
bool Model(const std::wstring& format, const std::vector<FormatArg>& args, std::wstring& text) {
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != L'%' || (++i < format.size() && format[i] == L'%')) {
            text += format[i];
            continue;
        }
        if (i == format.size() || next == args.size()) {
            return false;
        }
        const FormatArg& arg = args[next++];
        if (format[i] == L's' && arg.kind == FormatArg::Text) {
            text += arg.text;
        } else if (format[i] == L'u' && arg.kind == FormatArg::Unsigned) {
            text += std::to_wstring(arg.unsignedValue);
        } else if (format[i] == L'd' && arg.kind == FormatArg::Signed) {
            text += std::to_wstring(arg.signedValue);
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kMaxCapacity = 1024, kGuards = 8;
    fuzz::Input in{data, size};
    std::wstring texts[4]; // kept alive for the arguments
    std::vector<FormatArg> args;
    for (unsigned count = in.Byte() % 5; args.size() < count;) {
        const unsigned kind = in.Byte() % 3;
        std::uint32_t n = 0;
        for (unsigned i = 0; i < (kind == 0 ? 1 : 4); ++i) {
            n = n << 8 | in.Byte();
        }
        if (kind == 0) {
            std::wstring& text = texts[args.size()];
            for (; n > 0 && in.pos < in.size; --n) {
                const WCHAR c = fuzz::Input::Char(in.Byte());
                text += c == 0 ? L'0' : c;
            }
            args.push_back(MakeFormatArg(text.c_str()));
        } else {
            args.push_back(kind == 1 ? MakeFormatArg(n)
                                     : MakeFormatArg(static_cast<std::int32_t>(n)));
        }
    }
    const std::wstring format = in.Text(0);
    std::wstring whole;
    const bool ok = Model(format, args, whole);
    std::vector<WCHAR> buffer(kMaxCapacity + kGuards);
    for (std::size_t capacity = 0; capacity <= kMaxCapacity; ++capacity) {
        WCHAR* const end = buffer.data() + capacity;
        std::fill_n(end, kGuards, fuzz::kGuard);
        const int result =
            FormatBoundedArgs(buffer.data(), capacity, format.c_str(), args.data(), args.size());
        fuzz::Check(fuzz::Guarded(end, kGuards), "wrote past the capacity");
        fuzz::Check(result == (ok ? static_cast<int>(whole.size()) : -1), "not the length, or -1");
        const std::size_t kept = ok && capacity > 0 ? std::min(whole.size(), capacity - 1) : 0;
        fuzz::Check(capacity == 0 ||
                        (buffer[kept] == 0 &&
                         std::equal(whole.begin(), whole.begin() + kept, buffer.data())),
                    "not the whole text cut at capacity - 1");
    }
    return 0;
}
