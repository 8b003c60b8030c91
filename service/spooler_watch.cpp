#include "service/spooler_watch.h"

#include "platform/benign.h"
#include "spooler/spooler_control.h"

namespace nimbrel {
namespace {

constexpr WCHAR kSpoolerService[] = L"Spooler";
constexpr DWORD kLeftRunning = SERVICE_NOTIFY_STOPPED | SERVICE_NOTIFY_PAUSED;

// The connection the notification is armed on, kept from cycle to cycle;
// the record must stay valid until the callback has run or the handle is
// closed.
struct Watch {
    SC_HANDLE manager;
    SC_HANDLE service;
    SERVICE_NOTIFYW notify;
    bool armed; // registered, its callback not run yet
    bool left;  // the callback ran: the Spooler left the running state
};
Watch g_SpoolerWatch = {};

// Runs on the monitor thread, inside its alertable wait.
void OnSpoolerChange(LPVOID parameter) {
    const auto* notify = static_cast<const SERVICE_NOTIFYW*>(parameter);
    g_SpoolerWatch.armed = false;
    g_SpoolerWatch.left = notify->dwNotificationStatus == ERROR_SUCCESS;
}

bool QueryWatched(DWORD& state) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(g_SpoolerWatch.service, SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<LPBYTE>(&status), sizeof status, &needed)) {
        return false;
    }
    state = status.dwCurrentState;
    return true;
}

// Arms the notification when the Spooler runs and none is armed. Any
// failure (a lagging client, a service marked for deletion, no rights)
// closes the connection: this wait is a plain one, the next tries afresh.
void ArmWatch() {
    const BenignFailures benign;
    if (g_SpoolerWatch.armed) {
        return;
    }
    if (g_SpoolerWatch.manager == nullptr) {
        g_SpoolerWatch.manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        if (g_SpoolerWatch.manager == nullptr) {
            return;
        }
        g_SpoolerWatch.service =
            OpenServiceW(g_SpoolerWatch.manager, kSpoolerService, SERVICE_QUERY_STATUS);
        if (g_SpoolerWatch.service == nullptr) {
            EndSpoolerWatch();
            return;
        }
    }
    DWORD state = 0;
    if (!QueryWatched(state)) {
        EndSpoolerWatch();
        return;
    }
    // The notification reports a state the service is in already at once:
    // armed on a Spooler that does not run, it would wake every wait.
    if (state != SERVICE_RUNNING) {
        return;
    }
    g_SpoolerWatch.notify = {};
    g_SpoolerWatch.notify.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
    g_SpoolerWatch.notify.pfnNotifyCallback = OnSpoolerChange;
    if (NotifyServiceStatusChangeW(g_SpoolerWatch.service, kLeftRunning, &g_SpoolerWatch.notify) !=
        ERROR_SUCCESS) {
        EndSpoolerWatch();
        return;
    }
    g_SpoolerWatch.armed = true;
}

// A notification can be stale: one that fired while a recovery stopped the
// Spooler is delivered only at the next alertable wait, when it may run
// again. Only a Spooler that does not run now ends the wait.
bool SpoolerLeftRunning() {
    DWORD state = 0;
    return g_SpoolerWatch.left && (!QueryWatched(state) || state != SERVICE_RUNNING);
}

} // namespace

bool WaitBetweenCycles(DWORD intervalMs) {
    const DWORD start = GetTickCount();
    DWORD remaining = intervalMs;
    for (;;) {
        ArmWatch();
        g_SpoolerWatch.left = false;
        const DWORD result = WaitForSingleObjectEx(g_StopEvent, remaining, TRUE);
        if (result == WAIT_OBJECT_0) {
            return true;
        }
        if (result != WAIT_IO_COMPLETION || SpoolerLeftRunning()) {
            return false;
        }
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= intervalMs) {
            return false;
        }
        remaining = intervalMs - elapsed;
    }
}

void ResetSpoolerWatch() {
    g_SpoolerWatch = {};
}

void EndSpoolerWatch() {
    // Closing the handle cancels a notification still armed.
    if (g_SpoolerWatch.service != nullptr) {
        CloseServiceHandle(g_SpoolerWatch.service);
    }
    if (g_SpoolerWatch.manager != nullptr) {
        CloseServiceHandle(g_SpoolerWatch.manager);
    }
    g_SpoolerWatch = {};
}

} // namespace nimbrel
