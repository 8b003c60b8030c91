// What the fuzz targets share. Each target, LLVMFuzzerTestOneInput, is linked
// with libFuzzer (the "fuzz" preset) to search for inputs and with
// replay_main.cpp into a program CTest runs over the checked-in corpus. A
// broken rule aborts, so libFuzzer keeps the input.
#pragma once

#include "platform/platform.h"
#include "platform/sim/sim.h"

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

inline void CheckNothingLeft() {
    Check(sim::OpenHandles() + sim::LiveHeapBlocks() == 0, "a handle or heap block left");
    Check(sim::Misuses().empty(), "the platform was misused");
}

// The input as bytes. A byte from 0x80 but 0xA0 (the no-break space) is the
// character U+0100 + n, so that one byte reaches text beyond Latin-1.
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
    // The rest of the input, or up to (and past) a byte equal to `end`.
    std::wstring Text(int end = -1) {
        std::wstring text;
        while (pos_ < size_ && data_[pos_] != end) {
            text += Char(data_[pos_++]);
        }
        pos_ += pos_ < size_ ? 1 : 0;
        return text;
    }
    static WCHAR Char(std::uint8_t b) {
        return static_cast<WCHAR>(b < 0x80 || b == 0xA0 ? b : 0x100 + b);
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

} // namespace nimbrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
