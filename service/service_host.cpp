#include "service/service_host.h"

#include "config/settings.h"
#include "eventlog/eventlog.h"
#include "platform/benign.h"
#include "platform/owned.h"
#include "service/monitor.h"

namespace nimbrel {

SERVICE_STATUS g_ServiceStatus = {};
DWORD g_CheckPointCounter = 1;
WCHAR g_ServiceName[] = L"Nimbrel";

namespace {

SERVICE_STATUS_HANDLE g_StatusHandle = nullptr;
// The control handler reports on the dispatcher's thread, ServiceMain on
// its own: one at a time, so checkpoints only ever advance.
SRWLOCK g_StatusLock = {};

// Pre-shutdown comes before the system tells services of the shutdown, and
// a service that accepts it gets no shutdown control; shutdown is for a
// system that offers no pre-shutdown.
constexpr DWORD kControlsAccepted =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN;

constexpr DWORD kStartWaitHintMs = 2000;
// From the stop request until stopped, a new checkpoint follows at least
// every kStopProgressMs, and each report's hint leaves room for the next:
// a controller that takes a passed hint without progress for a hung service
// sees a stop that advances, however long the cycle under way takes.
constexpr DWORD kStopProgressMs = 2000;
constexpr DWORD kStopWaitHintMs = 5000;

// The only writer of the checkpoint counter and the only caller of
// SetServiceStatus. A pending state carries the next checkpoint so the
// service manager sees progress; settled states carry 0. Controls are
// refused only while starting, when there is no stop event to signal yet.
// Once stopped, nothing but a new start is reported: a late stop control
// must not take the service back to stop-pending. A report the service
// manager refuses is not retried: the next one carries the state anew.
void ReportServiceStatus(DWORD state, DWORD exitCode, DWORD waitHint) {
    const BenignFailures benign;
    AcquireSRWLockExclusive(&g_StatusLock);
    if (g_ServiceStatus.dwCurrentState != SERVICE_STOPPED || state == SERVICE_START_PENDING) {
        g_ServiceStatus.dwCurrentState = state;
        g_ServiceStatus.dwWin32ExitCode = exitCode;
        g_ServiceStatus.dwWaitHint = waitHint;
        g_ServiceStatus.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : kControlsAccepted;
        if (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) {
            g_ServiceStatus.dwCheckPoint = g_CheckPointCounter++;
        } else {
            g_ServiceStatus.dwCheckPoint = 0;
        }
        SetServiceStatus(g_StatusHandle, &g_ServiceStatus);
    }
    ReleaseSRWLockExclusive(&g_StatusLock);
}

// The monitor thread ends only after a stop request. From the request on,
// the wait for it is cut into steps, each reported as progress.
void WaitForMonitorThread(HANDLE thread) {
    if (WaitForSingleObject(g_StopEvent, INFINITE) != WAIT_OBJECT_0) {
        WaitForSingleObject(thread, INFINITE);
        return;
    }
    for (;;) {
        const DWORD result = WaitForSingleObject(thread, kStopProgressMs);
        if (result == WAIT_OBJECT_0) {
            return;
        }
        if (result != WAIT_TIMEOUT) {
            // Never close the stop event under a monitor that still runs.
            WaitForSingleObject(thread, INFINITE);
            return;
        }
        ReportServiceStatus(SERVICE_STOP_PENDING, 0, kStopWaitHintMs);
    }
}

// Runs the monitor thread until it has ended. Returns the exit code the
// service stops with: 0, or the error that kept the thread from starting.
DWORD RunMonitorThread() {
    const ObjectHandle thread(CreateThread(nullptr, 0, MonitorThread, nullptr, 0, nullptr));
    if (!thread) {
        return GetLastError();
    }
    WaitForMonitorThread(thread.get());
    return 0;
}

} // namespace

void ServiceMain(DWORD, LPWSTR*) {
    g_StatusHandle = RegisterServiceCtrlHandlerExW(g_ServiceName, ServiceControlHandler, nullptr);
    if (g_StatusHandle == nullptr) {
        return; // without a status handle there is no one to report to
    }
    g_ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_ServiceStatus.dwServiceSpecificExitCode = 0;
    ReportServiceStatus(SERVICE_START_PENDING, 0, kStartWaitHintMs);

    g_StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_StopEvent == nullptr) {
        ReportServiceStatus(SERVICE_STOPPED, GetLastError(), 0);
        return;
    }

    // The monitor thread reads the settings without a lock, so they are
    // loaded before it exists.
    LoadSettings();
    LogEvent(EVENTLOG_INFORMATION_TYPE, L"Nimbrel service started.");
    if (g_SettingsFileHasUtf8Mark) {
        LogEvent(EVENTLOG_WARNING_TYPE, kUtf8MarkNotice);
    }
    ReportServiceStatus(SERVICE_RUNNING, 0, 0);

    // Without its monitor thread the service cannot do its work: it stops
    // with the platform's error, so the service manager records a failure
    // and its recovery actions can bring the service back.
    const DWORD exitCode = RunMonitorThread();

    LogEvent(EVENTLOG_INFORMATION_TYPE, L"Nimbrel service stopped.");
    // Forget the handle before it is closed: a late stop control must not
    // signal whatever object reuses its value.
    HANDLE stopEvent = g_StopEvent;
    g_StopEvent = nullptr;
    CloseHandle(stopEvent);
    ReportServiceStatus(SERVICE_STOPPED, exitCode, 0);
}

DWORD ServiceControlHandler(DWORD control, DWORD, LPVOID, LPVOID) {
    if (control == SERVICE_CONTROL_INTERROGATE) {
        return NO_ERROR; // the last report still holds
    }
    if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_PRESHUTDOWN &&
        control != SERVICE_CONTROL_SHUTDOWN) {
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
    // The machine's end: the monitor stops as for a stop request, and no
    // repair step begins after this.
    if (control != SERVICE_CONTROL_STOP) {
        g_ShutdownRequested = true;
    }
    // Reported first, so the service manager knows the stop is under way
    // before the monitor thread can end and ServiceMain report stopped.
    ReportServiceStatus(SERVICE_STOP_PENDING, 0, kStopWaitHintMs);
    if (g_StopEvent != nullptr) {
        SetEvent(g_StopEvent);
    }
    return NO_ERROR;
}

} // namespace nimbrel
