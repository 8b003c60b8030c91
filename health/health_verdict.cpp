#include "health/health.h"

namespace nimbrel {

WCHAR LastIssue[kLastIssueCapacity] = L"";

// Stops at the first failing check: the printers of a stopped spooler are
// not enumerated and the plugin is not run for a spooler already known bad.
// A healthy verdict can still leave a text behind, written by the service
// query that the print queue check makes as its gate.
int EvaluateHealth() {
    LastIssue[0] = 0;
    if (!CheckServiceState()) {
        return 0;
    }
    if (!CheckPrintQueues()) {
        return 0;
    }
    if (!CheckPlugin()) {
        return 0;
    }
    return 1;
}

} // namespace nimbrel
