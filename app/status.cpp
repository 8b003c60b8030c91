#include "app/status.h"

#include "app/console.h"
#include "config/settings.h"
#include "health/health.h"
#include "spooler/spool_directory.h"
#include "spooler/spooler_control.h"

namespace nimbrel {
namespace {

const WCHAR* StateName(DWORD state) {
    switch (state) {
    case SERVICE_STOPPED:
        return L"Stopped";
    case SERVICE_START_PENDING:
        return L"Start Pending";
    case SERVICE_STOP_PENDING:
        return L"Stop Pending";
    case SERVICE_RUNNING:
        return L"Running";
    case SERVICE_CONTINUE_PENDING:
        return L"Continue Pending";
    case SERVICE_PAUSE_PENDING:
        return L"Pause Pending";
    case SERVICE_PAUSED:
        return L"Paused";
    default:
        return L"Unknown";
    }
}

const WCHAR* YesNo(int healthy) {
    return healthy ? L"Yes" : L"No";
}

} // namespace

// Every label is padded so that its value starts in the 24th column. The
// single checks and the overall verdict share the checks' memory (the
// pending-state watch and the plugin's launch tick), so the overall line can
// differ from the lines above it: a plugin run moments ago is not rerun.
int RunStatusCommand() {
    LoadSettings();
    DWORD state = 0;
    DWORD processId = 0;
    if (!QuerySpoolerStatus(&state, &processId)) {
        ConsolePrint(L"Unable to query Print Spooler status.\n");
        return 1;
    }
    ConsolePrint(L"Print Spooler service: %s", StateName(state));
    if (processId != 0) {
        ConsolePrint(L" (PID %u)", processId);
    }
    ConsolePrint(L"\n");
    // Said only when it explains what Nimbrel does: it leaves a disabled
    // spooler alone.
    DWORD startType = SERVICE_AUTO_START;
    if (QuerySpoolerStartType(&startType) && startType == SERVICE_DISABLED) {
        ConsolePrint(L"Startup type:          %s\n", StartTypeName(startType));
    }
    ConsolePrint(L"Service state healthy: %s\n", YesNo(CheckServiceState()));
    if (g_Settings.EnableQueueCheck) {
        ConsolePrint(L"Print queue healthy:   %s\n", YesNo(CheckPrintQueues()));
    }
    if (g_Settings.EnablePluginCheck && g_Settings.PluginPath[0] != 0) {
        // The path goes out before the plugin runs, which may take a while.
        ConsolePrint(L"Plugin check enabled:  %s\n", g_Settings.PluginPath);
        ConsolePrint(L"Plugin healthy:        %s\n", YesNo(CheckPlugin()));
    }
    ConsolePrint(L"Overall healthy:       %s\n", YesNo(EvaluateHealth()));
    // A worker that the spooler never answered ends with the process: the
    // report does not wait for it a second time (the overall verdict found
    // it still out and counted the silence at once).
    ReleaseQueueWorker();
    if (g_LastIssue[0] != 0) {
        ConsolePrint(L"Last issue:            %s\n", g_LastIssue);
    }
    if (g_Settings.EnableScheduledRestart) {
        const WCHAR* days = g_Settings.RestartDays[0] != 0 ? g_Settings.RestartDays : L"Every day";
        ConsolePrint(L"Scheduled restart:     %s at %s\n", days, g_Settings.RestartTime);
    }
    WCHAR spool[MAX_PATH];
    ConsolePrint(L"Spool folder:          %s\n",
                 GetSpoolDirectoryInEffect(spool, MAX_PATH) ? spool : L"unknown");
    if (g_SettingsFileHasUtf8Mark) {
        ConsolePrint(L"Note: %s\n", kUtf8MarkNotice);
    }
    return 0;
}

const WCHAR* SpoolerStateName(DWORD state) {
    return StateName(state);
}

const WCHAR kNimbrelVersion[] = L"" NIMBREL_VERSION;

} // namespace nimbrel
