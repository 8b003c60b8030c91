#include "service/service_host.h"

#include "app/console.h"

namespace nimbrel {

HANDLE StopEvent = nullptr;
SERVICE_STATUS ServiceStatus = {};

namespace {
WCHAR ServiceName[] = L"Nimbrel";
} // namespace

void ServiceMain(DWORD, LPWSTR*) {}

void ServiceControlHandler(DWORD) {}

int RunServiceMode() {
    const SERVICE_TABLE_ENTRYW table[] = {{ServiceName, ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        ConsolePrint(L"StartServiceCtrlDispatcher failed: %u\n", GetLastError());
        return 1;
    }
    return 0;
}

} // namespace nimbrel
