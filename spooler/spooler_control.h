// The system's only means of acting on the Print Spooler service.
//
// Every call, and every query inside a wait, opens its own service-manager
// and service handles and closes both before it waits, decides or returns.
// None of these operations prints or logs; each reports by its result alone.
#pragma once

#include "platform/platform.h"

#include <atomic>

namespace nimbrel {

// The service's stop event: manual-reset, signalled once by a stop request
// and never reset; null outside the service. Waits that could otherwise
// outlast a stop request watch it too.
extern HANDLE g_StopEvent;

// Set before the stop event is signalled when the stop comes from the
// machine shutting down: then no repair step begins any more, since the
// system is taking services and processes down around it.
extern std::atomic<bool> g_ShutdownRequested;

constexpr DWORD kSpoolerPollMs = 500;
constexpr DWORD kForcedStopTimeoutMs = 10000;

// Reads the Spooler's state and process id once. Each given output is set
// to 0 first. Returns true on success.
bool QuerySpoolerStatus(DWORD* state, DWORD* processId);

// Reads the Spooler's start type (SERVICE_AUTO_START, SERVICE_DISABLED...).
// Returns true on success; `startType` is left as it was otherwise.
bool QuerySpoolerStartType(DWORD* startType);

// The start type as the Services console names it: "Automatic", "Manual",
// "Disabled", "Boot", "System", else "Unknown".
const WCHAR* StartTypeName(DWORD startType);

// Polls every 500 ms until the Spooler is in `targetState` (returns true) or
// `timeoutMs` has passed or a query failed (returns false). A time-out of
// 0 returns false at once, without a query. A time-out of INFINITE also ends
// (returning false) at a stop request of the service.
bool WaitForSpoolerState(DWORD targetState, DWORD timeoutMs);

// The most active dependents a stop takes down, and the longest service
// name the service manager accepts, with its terminator.
constexpr std::size_t kMaxDependents = 16;
constexpr std::size_t kServiceNameCapacity = 257;

// The Spooler's dependents that a stop asked to stop, in that order.
struct DependentServices {
    DWORD count;
    WCHAR names[kMaxDependents][kServiceNameCapacity];
};

// Stops the Spooler's active dependents first, as the service manager
// refuses to stop a service that others running depend on: in the order it
// lists them, each waited for StopTimeoutMs, and each entered in `stopped`
// once asked. A dependent that does not stop ends the stop with false; when
// they cannot be listed, the stop goes on without them. Then asks the
// Spooler to stop and waits StopTimeoutMs (a request refused while it was
// starting is sent again, once, when it runs); if it has not stopped,
// terminates every "spoolsv.exe", with SeDebugPrivilege enabled for it when
// the token holds it, and waits 10 s more. Returns true when the Spooler was
// seen stopped.
bool StopSpooler(DependentServices* stopped);

// Asks the named service to start and waits StartTimeoutMs for it to run.
// Returns true when it was seen running; one already running counts as started.
bool StartDependentService(const WCHAR* name);

// Asks the Spooler to start and waits StartTimeoutMs for it to run. Returns true
// when it was seen running; a Spooler already running counts as started.
bool StartSpooler();

} // namespace nimbrel
