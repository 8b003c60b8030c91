#include "service/service_host.h"

#include "app/console.h"
#include "config/settings.h"
#include "eventlog/eventlog.h"
#include "service/monitor.h"

namespace nimbrel {

HANDLE StopEvent = nullptr;
SERVICE_STATUS ServiceStatus = {};
DWORD CheckPointCounter = 1;

namespace {

WCHAR ServiceName[] = L"Nimbrel";
SERVICE_STATUS_HANDLE StatusHandle = nullptr;

constexpr DWORD kStartWaitHintMs = 2000;
constexpr DWORD kStopWaitHintMs = 5000;

// The only writer of the checkpoint counter and the only caller of
// SetServiceStatus. A pending state carries the next checkpoint so the
// service manager sees progress; settled states carry 0. Controls are
// refused only while starting, when there is no stop event to signal yet.
void ReportServiceStatus(DWORD state, DWORD exitCode, DWORD waitHint) {
    ServiceStatus.dwCurrentState = state;
    ServiceStatus.dwWin32ExitCode = exitCode;
    ServiceStatus.dwWaitHint = waitHint;
    ServiceStatus.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    if (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) {
        ServiceStatus.dwCheckPoint = CheckPointCounter++;
    } else {
        ServiceStatus.dwCheckPoint = 0;
    }
    SetServiceStatus(StatusHandle, &ServiceStatus);
}

} // namespace

void ServiceMain(DWORD, LPWSTR*) {
    StatusHandle = RegisterServiceCtrlHandlerW(ServiceName, ServiceControlHandler);
    if (StatusHandle == nullptr) {
        return; // without a status handle there is no one to report to
    }
    ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    ServiceStatus.dwServiceSpecificExitCode = 0;
    ReportServiceStatus(SERVICE_START_PENDING, 0, kStartWaitHintMs);

    StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (StopEvent == nullptr) {
        ReportServiceStatus(SERVICE_STOPPED, GetLastError(), 0);
        return;
    }

    // The monitor thread reads the settings without a lock, so they are
    // loaded before it exists.
    LoadSettings();
    LogEvent(EVENTLOG_INFORMATION_TYPE, L"Nimbrel service started.");
    if (SettingsFileHasUtf8Mark) {
        LogEvent(EVENTLOG_WARNING_TYPE, kUtf8MarkNotice);
    }
    ReportServiceStatus(SERVICE_RUNNING, 0, 0);

    // Without its monitor thread the service cannot do its work: it stops
    // with the platform's error, so the service manager records a failure
    // and its recovery actions can bring the service back.
    DWORD exitCode = 0;
    HANDLE thread = CreateThread(nullptr, 0, MonitorThread, nullptr, 0, nullptr);
    if (thread != nullptr) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    } else {
        exitCode = GetLastError();
    }

    LogEvent(EVENTLOG_INFORMATION_TYPE, L"Nimbrel service stopped.");
    // Forget the handle before it is closed: a late stop control must not
    // signal whatever object reuses its value.
    HANDLE stopEvent = StopEvent;
    StopEvent = nullptr;
    CloseHandle(stopEvent);
    ReportServiceStatus(SERVICE_STOPPED, exitCode, 0);
}

void ServiceControlHandler(DWORD control) {
    if (control != SERVICE_CONTROL_STOP) {
        return; // interrogate and the rest: the last report still holds
    }
    // Reported first, so the service manager knows the stop is under way
    // before the monitor thread can end and ServiceMain report stopped.
    ReportServiceStatus(SERVICE_STOP_PENDING, 0, kStopWaitHintMs);
    if (StopEvent != nullptr) {
        SetEvent(StopEvent);
    }
}

int RunServiceMode() {
    const SERVICE_TABLE_ENTRYW table[] = {{ServiceName, ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        ConsolePrint(L"StartServiceCtrlDispatcher failed: %u\n", GetLastError());
        return 1;
    }
    return 0;
}

} // namespace nimbrel
