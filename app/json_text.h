// Writing JSON for scripts: ASCII only, every other character as a \uXXXX
// escape, so that no console code page or agent can change a byte of it.
#pragma once

#include "platform/platform.h"

namespace nimbrel {

// Collects the text and writes it through ConsoleWrite in pieces; output
// errors are ignored, as for every console command.
struct JsonOutput {
    static constexpr std::size_t kCapacity = 512;
    WCHAR pending[kCapacity];
    std::size_t length;
};

void JsonBegin(JsonOutput& out);
void JsonRaw(JsonOutput& out, const WCHAR* ascii); // punctuation and names, as they are
void JsonString(JsonOutput& out, const WCHAR* text);
void JsonStringOrNull(JsonOutput& out, const WCHAR* text); // null for null or empty
void JsonNumber(JsonOutput& out, DWORD value);
void JsonBool(JsonOutput& out, int value);
void JsonEnd(JsonOutput& out); // the final newline, and out

// The escaped form of one UTF-16 code unit, or the pair for a character
// beyond U+FFFF where wide characters are 32 bits; returns its length.
std::size_t JsonEscape(WCHAR c, WCHAR* out); // out has room for 12 characters

} // namespace nimbrel
