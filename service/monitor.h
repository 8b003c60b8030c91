// The monitor loop: the service's only working thread.
#pragma once

#include "platform/platform.h"

namespace nimbrel {

// Repeats the cycle (scheduled restart, else health verdict and, when
// unhealthy, a recovery within the hourly limit), then waits CheckIntervalMs,
// until StopEvent is signalled. Returns 0.
DWORD MonitorThread(LPVOID parameter);

} // namespace nimbrel
