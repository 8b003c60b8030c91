// The monitor loop: the service's only working thread.
#pragma once

#include "platform/platform.h"

namespace nimbrel {

// Whether the monitor's latest reading of the Spooler's start type found it
// Disabled; a reading that failed leaves it as it was. False at process
// start.
// While it holds, neither an automatic recovery nor the daily restart runs.
extern bool g_SpoolerDisabled;

// The rate-limit warning: whether one was written in this process, and the
// tick it was written at.
struct RateLimitWarningRecord {
    int written;
    DWORD writtenTick;
};
extern RateLimitWarningRecord g_RateLimitWarning;

// Repeats the cycle (scheduled restart, else health verdict and, when
// unhealthy, a recovery within the hourly limit), then waits CheckIntervalMs,
// until StopEvent is signalled. Returns 0.
DWORD MonitorThread(LPVOID parameter);

} // namespace nimbrel
