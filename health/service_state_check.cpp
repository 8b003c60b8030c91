#include "health/health.h"

#include "config/settings.h"
#include "spooler/spooler_control.h"
#include "text/text.h"

namespace nimbrel {

PendingWatchRecord g_PendingWatch = {0, 0};

namespace {

// A start or stop that never completes leaves the Spooler pending forever.
// The watch remembers when the current pending state was first seen; only the
// running state or the other pending state ends it, so a pending state that
// returns after a stop or a failed query is still measured from its first
// sighting.
bool JudgePending(DWORD state) {
    const DWORD now = GetTickCount();
    if (g_PendingWatch.state != state) {
        g_PendingWatch.state = state;
        g_PendingWatch.since = now;
        return true;
    }
    // Unsigned 32-bit difference: right across a wrap of the tick counter.
    const DWORD elapsed = now - g_PendingWatch.since;
    if (elapsed >= g_Settings.HangTimeoutMs) {
        return Unhealthy(L"Print Spooler stuck in Starting/Stopping state");
    }
    return true;
}

} // namespace

bool CheckServiceState() {
    DWORD state = 0;
    if (!QuerySpoolerStatus(&state, nullptr)) {
        return Unhealthy(L"Unable to query Print Spooler service state");
    }
    switch (state) {
    case SERVICE_RUNNING:
        g_PendingWatch = {0, 0};
        return true;
    case SERVICE_STOPPED:
        return Unhealthy(L"Print Spooler service is stopped");
    case SERVICE_START_PENDING:
    case SERVICE_STOP_PENDING:
        return JudgePending(state);
    default:
        return Unhealthy(L"Print Spooler in unexpected service state");
    }
}

} // namespace nimbrel
