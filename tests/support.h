// A fresh simulated machine and process for each test, and proof that nothing was left open.
#pragma once

#include "config/settings.h"
#include "health/health.h"
#include "platform/sim/sim.h"
#include "text/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nimbrel::test {

// Every process-wide record back to its state at process start.
void FreshProcess();

constexpr wchar_t kIniPath[] = L"C:\\Program Files\\Nimbrel\\Nimbrel.ini";

// "Nimbrel.ini" beside the executable, from '\n'-separated "Section/Key=value" lines.
void WriteIni(const std::wstring& lines);

// Every event logged, in order, as "E:text", "W:text" or "I:text".
std::vector<std::wstring> Logged();

// For messages only: non-ASCII characters shown as '?'.
std::string Narrow(const std::wstring& text);

// Runs the process entry as "Nimbrel.exe" followed by `args`; returns its exit code.
int RunNimbrel(std::vector<std::wstring> args);

// No open handle, no live heap block, no misuse of the platform.
void ExpectNothingLeftOpen();

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override { Fresh(); }
    void TearDown() override { ExpectNothingLeftOpen(); }

    // A fresh machine and process, as for each row of a table.
    static void Fresh() {
        sim::Reset();
        FreshProcess();
    }
    static std::wstring Issue() { return g_LastIssue; }
};

} // namespace nimbrel::test
