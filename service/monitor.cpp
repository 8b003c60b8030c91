#include "service/monitor.h"

#include "config/settings.h"
#include "eventlog/eventlog.h"
#include "health/health.h"
#include "recovery/recovery.h"
#include "recovery/restart_history.h"
#include "service/metrics.h"
#include "service/schedule.h"
#include "service/service_host.h"
#include "service/spooler_watch.h"
#include "spooler/spooler_control.h"
#include "text/text.h"

namespace nimbrel {

bool g_SpoolerDisabled = false;
RateLimitWarningRecord g_RateLimitWarning = {0, 0};

namespace {

// "Automatic recovery: " and the longest LastIssue fit without cutting.
constexpr std::size_t kReasonCapacity = 288;
constexpr DWORD kRateLimitWarningMs = 3600000;

// Only WAIT_OBJECT_0 means stop; a time-out or a failed wait does not.
bool StopRequested() {
    return WaitForSingleObject(g_StopEvent, 0) == WAIT_OBJECT_0;
}

// The pause before an automatic recovery lets a spooler that is restarting
// by itself settle. It is waited on the stop event, so a stop request ends
// it at once (whatever its length, INFINITE included) and the stop test
// after it returns without a recovery.
void PauseBeforeRecovery() {
    WaitForSingleObject(g_StopEvent, g_Settings.RestartDelayMs);
}

void RunAutomaticRecovery() {
    WCHAR reason[kReasonCapacity];
    if (g_LastIssue[0] != 0) {
        FormatBounded(reason, kReasonCapacity, L"Automatic recovery: %s", g_LastIssue);
    } else {
        CopyText(reason, kReasonCapacity, L"Automatic recovery triggered by health check");
    }
    CountRecovery(false, RunRecovery(reason, SpoolFilesBySwitch(g_Settings.ClearSpoolOnRecovery),
                                     Counting::Counted));
}

// Disabling the spooler is how machines that must not print are hardened:
// starting it would defeat that, and could only fail anyway. Said once when
// a disabled spell begins, not every cycle while it lasts.
void ReadSpoolerStartType() {
    DWORD startType = 0;
    if (!QuerySpoolerStartType(&startType)) {
        return;
    }
    const bool disabled = startType == SERVICE_DISABLED;
    if (disabled && !g_SpoolerDisabled) {
        LogEvent(EVENTLOG_WARNING_TYPE, L"Print Spooler is disabled; Nimbrel will not start it.");
    }
    g_SpoolerDisabled = disabled;
}

// Said when the limit first refuses, then at most once an hour: every
// cycle, a spooler that cannot be repaired would fill the event log and
// take every other program's events with it. With at most
// MaxRestartsPerHour recoveries (two events each) in any hour, no hour
// holds more than 2 x MaxRestartsPerHour + 1 events of a broken spooler.
void WarnRateLimited() {
    const DWORD now = GetTickCount();
    if (g_RateLimitWarning.written &&
        static_cast<DWORD>(now - g_RateLimitWarning.writtenTick) < kRateLimitWarningMs) {
        return;
    }
    LogEvent(EVENTLOG_WARNING_TYPE,
             L"Print Spooler unhealthy but recovery rate limit reached. Waiting.");
    g_RateLimitWarning = {1, now};
}

// One cycle's work before its wait. Returns false when it saw a stop
// request.
bool RunCycle() {
    ReadSpoolerStartType();
    if (CheckSchedule() || g_SpoolerDisabled) {
        return true;
    }
    const bool healthy = EvaluateHealth();
    CountVerdict(healthy);
    if (healthy) {
        // A check can leave a description behind a healthy verdict.
        g_LastIssue[0] = 0;
        return true;
    }
    if (StopRequested()) {
        return false;
    }
    if (CountRecentRestarts() >= g_Settings.MaxRestartsPerHour) {
        ++g_Metrics.refused;
        WarnRateLimited();
        return true;
    }
    PauseBeforeRecovery();
    if (StopRequested()) {
        return false;
    }
    RunAutomaticRecovery();
    return true;
}

void RunCycles() {
    if (StopRequested()) {
        return;
    }
    for (;;) {
        const DWORD start = GetTickCount();
        if (!RunCycle()) {
            return;
        }
        WriteMetrics(GetTickCount() - start);
        // Measured from the end of the cycle's work, so a long recovery does
        // not shorten the pause that follows it; a Spooler that leaves the
        // running state ends it early.
        if (WaitBetweenCycles(g_Settings.CheckIntervalMs)) {
            return;
        }
        if (StopRequested()) {
            return;
        }
    }
}

} // namespace

DWORD MonitorThread(LPVOID) {
    // The service, unlike "status", sees jobs over time and judges them by
    // their progress too.
    g_WatchJobProgress = true;
    RunCycles();
    EndSpoolerWatch();
    // A queue check's worker may still wait for a spooler that does not
    // answer; the service does not wait for it, and it ends with the process.
    ReleaseQueueWorker();
    return 0;
}

} // namespace nimbrel
