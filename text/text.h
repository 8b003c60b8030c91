// Wide-text helpers that behave the same on every platform.
//
// The C runtime's wide printf reads "%s" as a narrow string on some platforms
// and a wide one on others, and glibc's vswprintf fails instead of truncating;
// case-insensitive comparisons depend on the locale. Nimbrel needs neither
// surprise, so it formats and compares with these.
#pragma once

#include "platform/platform.h"

#include <type_traits>

namespace nimbrel {

// One value for a conversion of FormatBounded: "%s" takes Text, "%u"
// Unsigned and "%d" Signed. Any other pairing is a formatting error.
struct FormatArg {
    enum Kind { Text, Unsigned, Signed } kind;
    const WCHAR* text;
    std::uint32_t unsignedValue;
    std::int32_t signedValue;
};

inline FormatArg MakeFormatArg(const WCHAR* text) {
    return {FormatArg::Text, text, 0, 0};
}

// A writable buffer passed as it is would otherwise reach the template below.
inline FormatArg MakeFormatArg(WCHAR* text) { // NOLINT(readability-non-const-parameter)
    return {FormatArg::Text, text, 0, 0};
}

template <typename T>
FormatArg MakeFormatArg(T value) {
    static_assert(std::is_integral_v<T> && sizeof(T) <= 4, "only 32-bit integers and wide strings");
    if constexpr (std::is_signed_v<T>) {
        return {FormatArg::Signed, nullptr, 0, static_cast<std::int32_t>(value)};
    } else {
        return {FormatArg::Unsigned, nullptr, static_cast<std::uint32_t>(value), 0};
    }
}

// Formats into a buffer of `capacity` wide characters. A result too long for
// the buffer is cut to capacity - 1 characters and terminated; a formatting
// error leaves the empty text. Returns the length of the whole, uncut text,
// or -1 after a formatting error, so a caller that must not act on a cut
// text can tell.
int FormatBoundedArgs(WCHAR* buffer, std::size_t capacity, const WCHAR* format,
                      const FormatArg* args, std::size_t count);

template <typename... Args>
int FormatBounded(WCHAR* buffer, std::size_t capacity, const WCHAR* format, Args... args) {
    const FormatArg list[] = {MakeFormatArg(args)..., FormatArg{FormatArg::Text, nullptr, 0, 0}};
    return FormatBoundedArgs(buffer, capacity, format, list, sizeof...(Args));
}

// Formats as FormatBounded does and tells whether the whole text fitted:
// false after a formatting error, for an empty text, and when the text had
// to be cut. A path or command line cut to fit names something else, so a
// caller must not use the buffer then.
template <typename... Args>
bool FormatWhole(WCHAR* buffer, std::size_t capacity, const WCHAR* format, Args... args) {
    const int full = FormatBounded(buffer, capacity, format, args...);
    return full > 0 && static_cast<std::size_t>(full) < capacity;
}

std::size_t TextLength(const WCHAR* text);

// Copies `source` into a buffer of `capacity` characters, cut to fit.
void CopyText(WCHAR* buffer, std::size_t capacity, const WCHAR* source);

// Whole-string comparison that folds only the ASCII letters A to Z.
bool EqualsIgnoreAsciiCase(const WCHAR* left, const WCHAR* right);

// Strips spaces and tabs from both ends of the text, in place.
void TrimBlanks(WCHAR* text);

} // namespace nimbrel
