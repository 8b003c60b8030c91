#include "app/console.h"

#include "platform/benign.h"

namespace nimbrel {
namespace {

constexpr std::uint32_t kReplacement = 0xFFFD;

// Reads one code point, joining a UTF-16 surrogate pair where wide
// characters are 16 bits; an unpaired surrogate becomes U+FFFD.
std::uint32_t NextCodePoint(const WCHAR* text, std::size_t length, std::size_t& i) {
    std::uint32_t c = static_cast<std::uint32_t>(text[i++]);
    if constexpr (sizeof(WCHAR) == 2) {
        c &= 0xFFFF;
        if (c >= 0xD800 && c <= 0xDBFF && i < length) {
            std::uint32_t low = static_cast<std::uint32_t>(text[i]) & 0xFFFF;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                ++i;
                return 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            }
        }
    }
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
        return kReplacement;
    }
    return c;
}

std::size_t EncodeUtf8(std::uint32_t c, char* out) {
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

bool WriteAll(HANDLE out, const char* bytes, std::size_t count) {
    DWORD written = 0;
    return WriteFile(out, bytes, static_cast<DWORD>(count), &written, nullptr) != FALSE &&
           written == count;
}

int WriteUtf8(HANDLE out, const WCHAR* text, std::size_t length) {
    char chunk[512];
    std::size_t used = 0;
    for (std::size_t i = 0; i < length;) {
        if (used + 4 > sizeof chunk) {
            if (!WriteAll(out, chunk, used)) {
                return -1;
            }
            used = 0;
        }
        used += EncodeUtf8(NextCodePoint(text, length, i), chunk + used);
    }
    if (used > 0 && !WriteAll(out, chunk, used)) {
        return -1;
    }
    return static_cast<int>(length);
}

} // namespace

// Nothing is told of an output that cannot be written, and a console whose
// mode cannot be read is written to as a redirected output.
int ConsoleWrite(const WCHAR* text, std::size_t length) {
    const BenignFailures benign;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
        return -1;
    }
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode)) {
        DWORD written = 0;
        if (!WriteConsoleW(out, text, static_cast<DWORD>(length), &written, nullptr)) {
            return -1;
        }
        return static_cast<int>(written);
    }
    return WriteUtf8(out, text, length);
}

} // namespace nimbrel
