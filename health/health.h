// The health checks and the verdict that combines them.
//
// Each check returns non-zero for healthy and 0 for unhealthy; an unhealthy
// check describes the problem in LastIssue. The checks run on one thread at
// a time (the monitor thread, or the main thread of "status"), so their
// shared state needs no lock.
#pragma once

#include "platform/platform.h"

namespace nimbrel {

constexpr std::size_t kLastIssueCapacity = 256;

// The description of the health problem found last; empty when none.
extern WCHAR LastIssue[kLastIssueCapacity];

// The pending state being watched and the tick of its first sighting.
struct PendingWatchRecord {
    DWORD state;
    DWORD since;
};
extern PendingWatchRecord PendingWatch;

// Tick count of the last plugin launch; 0 when none has happened yet.
extern DWORD LastPluginRunTick;

int CheckServiceState();
int CheckPrintQueues();
int CheckPrinterQueue(const WCHAR* printerName);
int CheckPlugin();

// Empties LastIssue, then runs the service-state, print-queue and plugin
// checks in that order, stopping at the first that fails. Returns 1 when all
// passed.
int EvaluateHealth();

// What each check of the last EvaluateHealth gave (service state, print
// queue, plugin): 1 healthy, 0 not, -1 not run because an earlier one failed.
extern int LastCheckVerdicts[3];

} // namespace nimbrel
