#include "app/recover.h"

#include "app/console.h"
#include "config/settings.h"
#include "recovery/recovery.h"
#include "spooler/spooler_control.h"

namespace nimbrel {
namespace {

constexpr WCHAR kManualReason[] = L"Manual recovery requested from command line";

} // namespace

int RunRecoverCommand() {
    LoadSettings();
    // An administrator disabled it: stopping it, clearing its folder and
    // failing to start it would only do harm.
    DWORD startType = 0;
    if (QuerySpoolerStartType(&startType) && startType == SERVICE_DISABLED) {
        ConsolePrint(L"Print Spooler is disabled; recovery skipped.\n");
        return 1;
    }
    if (RunRecovery(kManualReason, SpoolFilesBySwitch(g_Settings.ClearSpoolOnRecovery),
                    Counting::Uncounted)) {
        ConsolePrint(L"Print Spooler recovery completed.\n");
        return 0;
    }
    ConsolePrint(L"Print Spooler recovery failed.\n");
    return 1;
}

} // namespace nimbrel
