#include "spooler/spooler_control.h"

#include "config/settings.h"
#include "platform/text.h"

namespace nimbrel {

HANDLE StopEvent = nullptr;
std::atomic<bool> ShutdownRequested{false};

namespace {

constexpr WCHAR kSpoolerService[] = L"Spooler";
constexpr WCHAR kSpoolerImage[] = L"spoolsv.exe";

// Opens the manager and the Spooler with `access`; on failure nothing stays open.
bool OpenSpooler(DWORD access, SC_HANDLE& manager, SC_HANDLE& service) {
    manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        return false;
    }
    service = OpenServiceW(manager, kSpoolerService, access);
    if (service == nullptr) {
        CloseServiceHandle(manager);
        return false;
    }
    return true;
}

void CloseSpooler(SC_HANDLE manager, SC_HANDLE service) {
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

BOOL QueryState(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
    status = SERVICE_STATUS_PROCESS{};
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                                sizeof status, &needed);
}

// A refused stop request that still leaves a stuck Spooler to be waited for
// and, failing that, terminated: not running, stuck in a pending state (the
// very hang the health check reports), accepting no stop at the moment, or
// a control handler that does not answer.
bool StopRefusalCanBeForced(DWORD error) {
    return error == ERROR_SERVICE_NOT_ACTIVE || error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL ||
           error == ERROR_INVALID_SERVICE_CONTROL || error == ERROR_SERVICE_REQUEST_TIMEOUT;
}

// Terminates every process whose image is "spoolsv.exe", in any ASCII letter
// case. Returns whether at least one termination succeeded.
bool TerminateSpoolerProcesses() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool terminated = false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        entry.szExeFile[MAX_PATH - 1] = 0;
        if (!EqualsIgnoreAsciiCase(entry.szExeFile, kSpoolerImage)) {
            continue;
        }
        HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
        if (process == nullptr) {
            continue;
        }
        if (TerminateProcess(process, 1)) {
            terminated = true;
        }
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return terminated;
}

// A wait without a time limit is one that a spooler which never gets there
// would make endless; in the service, a stop request ends it, so such a
// setting cannot keep the service from stopping. Returns false then.
bool PauseBetweenPolls(DWORD timeoutMs) {
    if (timeoutMs == INFINITE && StopEvent != nullptr) {
        return WaitForSingleObject(StopEvent, kSpoolerPollMs) != WAIT_OBJECT_0;
    }
    Sleep(kSpoolerPollMs);
    return true;
}

} // namespace

int QuerySpoolerStatus(DWORD* state, DWORD* processId) {
    if (state) {
        *state = 0;
    }
    if (processId) {
        *processId = 0;
    }
    SC_HANDLE manager;
    SC_HANDLE service;
    if (!OpenSpooler(SERVICE_QUERY_STATUS, manager, service)) {
        return 0;
    }
    SERVICE_STATUS_PROCESS status;
    BOOL ok = QueryState(service, status);
    if (ok) {
        if (state) {
            *state = status.dwCurrentState;
        }
        if (processId) {
            *processId = status.dwProcessId;
        }
    }
    CloseSpooler(manager, service);
    return ok ? 1 : 0;
}

int QuerySpoolerStartType(DWORD* startType) {
    SC_HANDLE manager;
    SC_HANDLE service;
    if (!OpenSpooler(SERVICE_QUERY_CONFIG, manager, service)) {
        return 0;
    }
    // The record carries the service's texts behind it: sized first.
    int result = 0;
    DWORD needed = 0;
    if (!QueryServiceConfigW(service, nullptr, 0, &needed) &&
        GetLastError() == ERROR_INSUFFICIENT_BUFFER && needed >= sizeof(QUERY_SERVICE_CONFIGW)) {
        auto* config = static_cast<QUERY_SERVICE_CONFIGW*>(HeapAlloc(GetProcessHeap(), 0, needed));
        if (config != nullptr && QueryServiceConfigW(service, config, needed, &needed)) {
            *startType = config->dwStartType;
            result = 1;
        }
        HeapFree(GetProcessHeap(), 0, config);
    }
    CloseSpooler(manager, service);
    return result;
}

const WCHAR* StartTypeName(DWORD startType) {
    switch (startType) {
    case SERVICE_BOOT_START:
        return L"Boot";
    case SERVICE_SYSTEM_START:
        return L"System";
    case SERVICE_AUTO_START:
        return L"Automatic";
    case SERVICE_DEMAND_START:
        return L"Manual";
    case SERVICE_DISABLED:
        return L"Disabled";
    default:
        return L"Unknown";
    }
}

int WaitForSpoolerState(DWORD targetState, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    if (static_cast<DWORD>(GetTickCount() - start) >= timeoutMs) {
        return 0;
    }
    for (;;) {
        SC_HANDLE manager;
        SC_HANDLE service;
        if (!OpenSpooler(SERVICE_QUERY_STATUS, manager, service)) {
            return 0;
        }
        SERVICE_STATUS_PROCESS status;
        BOOL ok = QueryState(service, status);
        CloseSpooler(manager, service);
        if (!ok) {
            return 0;
        }
        if (status.dwCurrentState == targetState) {
            return 1;
        }
        if (!PauseBetweenPolls(timeoutMs)) {
            return 0;
        }
        if (static_cast<DWORD>(GetTickCount() - start) >= timeoutMs) {
            return 0;
        }
    }
}

int StopSpooler() {
    SC_HANDLE manager;
    SC_HANDLE service;
    if (!OpenSpooler(SERVICE_STOP | SERVICE_QUERY_STATUS, manager, service)) {
        return 0;
    }
    SERVICE_STATUS status{};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status) &&
        !StopRefusalCanBeForced(GetLastError())) {
        CloseSpooler(manager, service);
        return 0;
    }
    CloseSpooler(manager, service);
    if (WaitForSpoolerState(SERVICE_STOPPED, Settings.StopTimeoutMs)) {
        return 1;
    }
    // A wait without a time limit that a stop request of the service ended:
    // the spooler may yet stop by itself, and a service on its way out does
    // not terminate it.
    if (Settings.StopTimeoutMs == INFINITE && StopEvent != nullptr &&
        WaitForSingleObject(StopEvent, 0) == WAIT_OBJECT_0) {
        return 0;
    }
    if (!TerminateSpoolerProcesses()) {
        return 0;
    }
    return WaitForSpoolerState(SERVICE_STOPPED, kForcedStopTimeoutMs);
}

int StartSpooler() {
    SC_HANDLE manager;
    SC_HANDLE service;
    if (!OpenSpooler(SERVICE_START | SERVICE_QUERY_STATUS, manager, service)) {
        return 0;
    }
    if (!StartServiceW(service, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
        CloseSpooler(manager, service);
        return 0;
    }
    CloseSpooler(manager, service);
    return WaitForSpoolerState(SERVICE_RUNNING, Settings.StartTimeoutMs);
}

} // namespace nimbrel
