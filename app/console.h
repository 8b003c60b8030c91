// ConsolePrint: the one way Nimbrel writes to standard output.
//
// On a console the text goes out as UTF-16 through the console itself, so
// every character the console's font has is shown. When standard output is
// redirected to a file or a pipe, the text is written as UTF-8 without a
// byte-order mark, whatever the console code page, so nothing is lost and a
// script can read it back exactly.
#pragma once

#include "text/text.h"

namespace nimbrel {

// Writes `length` characters of `text`; returns the number written, or -1.
int ConsoleWrite(const WCHAR* text, std::size_t length);

constexpr std::size_t kConsoleLineCapacity = 1024;

// Formats like FormatBounded ("%s" a wide string, "%u", "%d", "%%") and
// writes the result, adding nothing. Returns the characters written, or a
// negative number on an output error; callers ignore it.
template <typename... Args>
int ConsolePrint(const WCHAR* format, Args... args) {
    WCHAR line[kConsoleLineCapacity];
    FormatBounded(line, kConsoleLineCapacity, format, args...);
    return ConsoleWrite(line, TextLength(line));
}

} // namespace nimbrel
