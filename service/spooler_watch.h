// The wait between two cycles of the monitor, which the service manager can
// cut short: a Spooler that crashes or is stopped is noticed in
// milliseconds, not at the next CheckIntervalMs.
#pragma once

#include "platform/platform.h"

namespace nimbrel {

// Waits `intervalMs` on StopEvent. While the Spooler runs, a status-change
// notification is armed on it, and the wait ends early when it leaves the
// running state for stopped or paused (a pending state wakes nothing: it
// has its own time limit). Only such a change wakes the loop: a Spooler
// already stopped, disabled or pending arms nothing, so it cannot make the
// loop spin. Without the notification, the wait is a plain one. Returns
// true when the stop event was signalled, false otherwise (a failed wait
// included).
bool WaitBetweenCycles(DWORD intervalMs);

// Cancels the notification and closes its handles. Called on the monitor
// thread before it ends: a notification must not outlive its thread.
void EndSpoolerWatch();

// The watch as at process start, its handles forgotten, not closed.
void ResetSpoolerWatch();

} // namespace nimbrel
