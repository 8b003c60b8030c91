#include "health/health.h"

namespace nimbrel {

WCHAR LastIssue[kLastIssueCapacity] = L"";

// Stops at the first failing check: the printers of a stopped spooler are
// not enumerated and the plugin is not run for a spooler already known bad.
// A healthy verdict can still leave a text behind, written by the service
// query that the print queue check makes as its gate.
int LastCheckVerdicts[3] = {-1, -1, -1};

bool EvaluateHealth() {
    LastIssue[0] = 0;
    bool (*const checks[])() = {CheckServiceState, CheckPrintQueues, CheckPlugin};
    for (int& verdict : LastCheckVerdicts) {
        verdict = -1; // cppcheck-suppress useStlAlgorithm
    }
    for (int i = 0; i < 3; ++i) {
        LastCheckVerdicts[i] = checks[i]() ? 1 : 0;
        if (!LastCheckVerdicts[i]) {
            return false;
        }
    }
    return true;
}

} // namespace nimbrel
