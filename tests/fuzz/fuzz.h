// What the fuzz targets share. Each LLVMFuzzerTestOneInput is linked with libFuzzer (the "fuzz"
// preset) and with replay_main.cpp into a program CTest runs over the checked-in corpus. A broken
// rule aborts, so libFuzzer keeps the input.
#pragma once

#include "platform/platform.h"
#include "platform/sim/sim.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace nimbrel::fuzz {

inline void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz target: %s\n", what);
        std::abort();
    }
}

// Written past a buffer's end: a write beyond it reaches them first.
constexpr WCHAR kGuard = static_cast<WCHAR>(0xA5A5);

inline bool Guarded(const WCHAR* begin, std::size_t count) {
    return std::all_of(begin, begin + count, [](WCHAR c) { return c == kGuard; });
}

// The text without the blanks (spaces and tabs) at its ends.
inline std::wstring Trimmed(const std::wstring& text) {
    const std::size_t begin = text.find_first_not_of(L" \t");
    return begin == std::wstring::npos
               ? L""
               : text.substr(begin, text.find_last_not_of(L" \t") - begin + 1);
}

inline void CheckNothingLeft() {
    Check(sim::OpenHandles() + sim::LiveHeapBlocks() == 0, "a handle or heap block left");
    Check(sim::Misuses().empty(), "the platform was misused");
}

// The input as bytes. A byte from 0x80 but 0xA0 (the no-break space) is the character
// U+0100 + n, so that one byte reaches text beyond Latin-1.
struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;

    std::uint8_t Byte() { return pos < size ? data[pos++] : 0; }
    // The rest of the input, or up to (and past) a byte equal to `end`.
    std::wstring Text(int end = -1) {
        std::wstring text;
        while (pos < size && data[pos] != end) {
            text += Char(data[pos++]);
        }
        pos += pos < size ? 1 : 0;
        return text;
    }
    static WCHAR Char(std::uint8_t b) {
        return static_cast<WCHAR>(b < 0x80 || b == 0xA0 ? b : 0x100 + b);
    }
};

} // namespace nimbrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
