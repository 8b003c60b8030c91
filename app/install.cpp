#include "app/install.h"

#include "app/console.h"
#include "platform/benign.h"
#include "platform/owned.h"
#include "text/text.h"

namespace nimbrel {
namespace {

constexpr WCHAR kServiceName[] = L"Nimbrel";
constexpr WCHAR kDisplayName[] = L"Nimbrel";
// The platform's description record takes a writable text.
WCHAR g_ServiceDescription[] =
    L"Monitors and automatically repairs the Windows Print Spooler service.";

// The path between double quotes: two characters more than the longest path
// the module path buffer can hold, so the quoted text is never cut.
constexpr DWORD kImagePathCapacity = MAX_PATH + 2;

// Writes the running executable's full path, between double quotes, into
// `imagePath`. Unquoted, a path with a space ("C:\Program Files\...") lets
// the service manager start "C:\Program.exe" as LocalSystem if one exists.
// Returns false, with the error number in `error`, when the path cannot be read
// or was cut to fit: registering a wrong path is worse than not installing.
bool GetQuotedImagePath(WCHAR (&imagePath)[kImagePathCapacity], DWORD& error) {
    WCHAR path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        error = GetLastError(); // ERROR_INSUFFICIENT_BUFFER when cut
        return false;
    }
    path[length] = 0;
    FormatBounded(imagePath, kImagePathCapacity, L"\"%s\"", path);
    return true;
}

// A watchdog that dies is brought back by the service manager: restarted a
// minute after its first and second failure in a day. The flag makes a stop
// reported with an error count as a failure too, so a service that cannot
// create what it needs to run is retried like one that crashed. Neither call
// may make the installation fail: the service works without them, and some
// service managers refuse the flag (Wine answers ERROR_INVALID_LEVEL).
constexpr DWORD kOwnRestartDelayMs = 60 * 1000;
constexpr DWORD kOwnFailureResetSeconds = 24 * 60 * 60;

void ConfigureOwnRecovery(SC_HANDLE service) {
    const BenignFailures benign;
    SC_ACTION actions[] = {{SC_ACTION_RESTART, kOwnRestartDelayMs},
                           {SC_ACTION_RESTART, kOwnRestartDelayMs},
                           {SC_ACTION_NONE, 0}};
    SERVICE_FAILURE_ACTIONSW failureActions{kOwnFailureResetSeconds, nullptr, nullptr,
                                            sizeof actions / sizeof actions[0], actions};
    ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions);
    SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
    ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag);
}

} // namespace

int RunInstallCommand() {
    // The manager first: an administrator without the right to install hears
    // about that, whatever else is wrong.
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        ConsolePrint(L"OpenSCManager failed: %u\n", GetLastError());
        return 1;
    }
    WCHAR imagePath[kImagePathCapacity];
    DWORD pathError = 0;
    if (!GetQuotedImagePath(imagePath, pathError)) {
        ConsolePrint(L"GetModuleFileName failed: %u\n", pathError);
        return 1;
    }
    const ServiceHandle service(CreateServiceW(manager.get(), kServiceName, kDisplayName,
                                               SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                               SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, imagePath,
                                               nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) {
        ConsolePrint(L"CreateService failed: %u\n", GetLastError());
        return 1;
    }
    // The description only helps an administrator read the services list;
    // the service works without it.
    SERVICE_DESCRIPTIONW description{g_ServiceDescription};
    {
        const BenignFailures benign;
        ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);
    }
    ConfigureOwnRecovery(service.get());
    ConsolePrint(L"Service installed successfully.\n");
    return 0;
}

// Only a service manager that cannot be reached makes "uninstall" fail: a
// service that is missing or cannot be deleted is reported, and the exit code
// stays 0.
int RunUninstallCommand() {
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        ConsolePrint(L"OpenSCManager failed: %u\n", GetLastError());
        return 1;
    }
    const ServiceHandle service(OpenServiceW(manager.get(), kServiceName, DELETE));
    if (!service) {
        ConsolePrint(L"OpenService failed: %u\n", GetLastError());
        return 0;
    }
    // A running service is not stopped first: it goes on until it stops, and
    // the platform removes it then.
    if (DeleteService(service.get())) {
        ConsolePrint(L"Service uninstalled successfully.\n");
    } else {
        ConsolePrint(L"DeleteService failed: %u\n", GetLastError());
    }
    return 0;
}

} // namespace nimbrel
