// A fresh process for the health checks: the Settings at their defaults and
// the checks' own memory (LastIssue, the pending-state watch, the plugin's
// launch tick) as they are when a process starts.
#pragma once

#include "config/settings.h"
#include "health/health.h"
#include "tests/support.h"

namespace nimbrel::test {

class HealthTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        FreshProcess();
    }

    static void FreshProcess() {
        Settings = kDefaultSettings;
        LastIssue[0] = 0;
        PendingWatch = {0, 0};
        LastPluginRunTick = 0;
    }

    static std::wstring Issue() { return LastIssue; }
};

} // namespace nimbrel::test
