#include "app/json_text.h"

#include "app/console.h"

namespace nimbrel {
namespace {

void Flush(JsonOutput& out) {
    if (out.length > 0) {
        ConsoleWrite(out.pending, out.length);
        out.length = 0;
    }
}

void Append(JsonOutput& out, const WCHAR* text, std::size_t length) {
    if (out.length + length > JsonOutput::kCapacity) {
        Flush(out);
    }
    for (std::size_t i = 0; i < length; ++i) {
        out.pending[out.length++] = text[i];
    }
}

std::size_t UnicodeEscape(std::uint32_t unit, WCHAR* out) {
    const WCHAR digits[] = L"0123456789abcdef";
    out[0] = L'\\';
    out[1] = L'u';
    for (int i = 0; i < 4; ++i) {
        out[2 + i] = digits[(unit >> (12 - 4 * i)) & 0xF];
    }
    return 6;
}

} // namespace

std::size_t JsonEscape(WCHAR c, WCHAR* out) {
    const std::uint32_t code = static_cast<std::uint32_t>(c);
    if (code == L'"' || code == L'\\') {
        out[0] = L'\\';
        out[1] = c;
        return 2;
    }
    if (code >= 0x20 && code < 0x7F) {
        out[0] = c;
        return 1;
    }
    if (code > 0xFFFF) {
        // Only where wide characters are 32 bits: JSON spells such a
        // character as its UTF-16 pair. Beyond U+10FFFF there is none.
        if (code > 0x10FFFF) {
            return UnicodeEscape(0xFFFD, out);
        }
        const std::uint32_t rest = code - 0x10000;
        const std::size_t high = UnicodeEscape(0xD800 + (rest >> 10), out);
        return high + UnicodeEscape(0xDC00 + (rest & 0x3FF), out + high);
    }
    return UnicodeEscape(code, out);
}

void JsonBegin(JsonOutput& out) {
    out.length = 0;
}

void JsonRaw(JsonOutput& out, const WCHAR* ascii) {
    Append(out, ascii, TextLength(ascii));
}

void JsonString(JsonOutput& out, const WCHAR* text) {
    WCHAR escaped[12];
    Append(out, L"\"", 1);
    for (const WCHAR* c = text; *c != 0; ++c) {
        Append(out, escaped, JsonEscape(*c, escaped));
    }
    Append(out, L"\"", 1);
}

void JsonStringOrNull(JsonOutput& out, const WCHAR* text) {
    if (text == nullptr || text[0] == 0) {
        JsonRaw(out, L"null");
    } else {
        JsonString(out, text);
    }
}

void JsonNumber(JsonOutput& out, DWORD value) {
    WCHAR digits[16];
    FormatBounded(digits, 16, L"%u", value);
    JsonRaw(out, digits);
}

void JsonBool(JsonOutput& out, int value) {
    JsonRaw(out, value ? L"true" : L"false");
}

void JsonEnd(JsonOutput& out) {
    Append(out, L"\n", 1);
    Flush(out);
}

} // namespace nimbrel
