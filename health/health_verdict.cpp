#include "health/health.h"

namespace nimbrel {

WCHAR g_LastIssue[kLastIssueCapacity] = L"";

// Stops at the first failing check: the printers of a stopped spooler are
// not enumerated and the plugin is not run for a spooler already known bad.
// A healthy verdict can still leave a text behind, written by the service
// query that the print queue check makes as its gate.
int g_LastCheckVerdicts[3] = {-1, -1, -1};

bool EvaluateHealth() {
    g_LastIssue[0] = 0;
    bool (*const checks[])() = {CheckServiceState, CheckPrintQueues, CheckPlugin};
    for (int& verdict : g_LastCheckVerdicts) {
        verdict = -1; // cppcheck-suppress useStlAlgorithm
    }
    for (int i = 0; i < 3; ++i) {
        g_LastCheckVerdicts[i] = checks[i]() ? 1 : 0;
        if (!g_LastCheckVerdicts[i]) {
            return false;
        }
    }
    return true;
}

} // namespace nimbrel
