// What every unit test shares: a fresh simulated machine before each test,
// and after it the proof that nothing was left open or misused.
#pragma once

#include "platform/sim/sim.h"
#include "platform/text.h"

#include <gtest/gtest.h>

#include <string>

namespace nimbrel::test {

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override { sim::Reset(); }
    void TearDown() override { ExpectNothingLeftOpen(); }

    static void ExpectNothingLeftOpen() {
        EXPECT_EQ(0u, sim::OpenHandles()) << "open: " << Narrow(sim::DescribeOpenHandles());
        EXPECT_EQ(0u, sim::LiveHeapBlocks()) << "heap blocks left allocated";
        for (const std::string& misuse : sim::Misuses()) {
            ADD_FAILURE() << "platform misuse: " << misuse;
        }
    }

  public:
    // For messages only: wide text shown with its non-ASCII characters as '?'.
    static std::string Narrow(const std::wstring& text) {
        std::string result;
        for (wchar_t c : text) {
            result += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
        }
        return result;
    }
};

// A UTF-8 rendering of wide text, as ConsolePrint writes it to a redirected output.
std::string Utf8(const std::wstring& text);

} // namespace nimbrel::test
