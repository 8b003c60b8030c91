// What the fuzz targets share. Each target is one function,
// LLVMFuzzerTestOneInput, built two ways: linked with libFuzzer (the "fuzz"
// preset, clang) to search for inputs, and linked with replay_main.cpp into a
// plain program that runs every file of a checked-in corpus, which CTest
// does on every build.
//
// A target checks what must hold for any input and calls Fail (which
// aborts, so libFuzzer keeps the input) when it does not.
#pragma once

#include "platform/platform.h"
#include "platform/sim/sim.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace nimbrel::fuzz {

[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "fuzz target: %s\n", what);
    std::abort();
}

inline void Check(bool condition, const char* what) {
    if (!condition) {
        Fail(what);
    }
}

inline bool IsBlank(WCHAR c) {
    return c == L' ' || c == L'\t';
}

// The text without the blanks (spaces and tabs) at its ends.
inline std::wstring Trimmed(const std::wstring& text) {
    std::size_t begin = 0, end = text.size();
    while (end > begin && IsBlank(text[end - 1])) {
        --end;
    }
    while (begin < end && IsBlank(text[begin])) {
        ++begin;
    }
    return text.substr(begin, end - begin);
}

// What every run on the simulated Windows must leave behind.
inline void CheckNothingLeft() {
    Check(sim::OpenHandles() == 0, "a handle left open");
    Check(sim::LiveHeapBlocks() == 0, "a heap block left allocated");
    Check(sim::Misuses().empty(), "the platform was misused");
}

// Reads the input as a stream of bytes.
class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Empty() const { return pos_ >= size_; }
    std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint32_t Word32() {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            value = value << 8 | Byte();
        }
        return value;
    }
    // One character per byte, from the whole rest of the input or up to a
    // byte equal to `end`. Bytes from 0x80 stand for characters beyond
    // Latin-1 (0x80 + n becomes U+0100 + n) except 0xA0, the no-break
    // space, so that a fuzzer reaches non-ASCII text with single bytes.
    std::wstring Text(int end = -1) {
        std::wstring text;
        while (pos_ < size_ && data_[pos_] != end) {
            text += Char(data_[pos_++]);
        }
        if (pos_ < size_) {
            ++pos_; // the end byte
        }
        return text;
    }
    static WCHAR Char(std::uint8_t b) {
        if (b < 0x80 || b == 0xA0) {
            return static_cast<WCHAR>(b);
        }
        return static_cast<WCHAR>(0x100 + b);
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

} // namespace nimbrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
