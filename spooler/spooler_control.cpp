#include "spooler/spooler_control.h"

#include "config/settings.h"
#include "platform/benign.h"
#include "text/text.h"

namespace nimbrel {

HANDLE StopEvent = nullptr;
std::atomic<bool> ShutdownRequested{false};

namespace {

constexpr WCHAR kSpoolerService[] = L"Spooler";
constexpr WCHAR kSpoolerImage[] = L"spoolsv.exe";

// Opens the manager and the named service with `access`; on failure
// nothing stays open.
bool OpenNamedService(const WCHAR* name, DWORD access, SC_HANDLE& manager, SC_HANDLE& service) {
    manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        return false;
    }
    service = OpenServiceW(manager, name, access);
    if (service == nullptr) {
        CloseServiceHandle(manager);
        return false;
    }
    return true;
}

bool OpenSpooler(DWORD access, SC_HANDLE& manager, SC_HANDLE& service) {
    return OpenNamedService(kSpoolerService, access, manager, service);
}

void CloseService(SC_HANDLE manager, SC_HANDLE service) {
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

// Opens the named service for its status only, reads it and closes it
// again. False when it cannot be opened or read.
bool QueryServiceState(const WCHAR* name, SERVICE_STATUS_PROCESS& status) {
    status = SERVICE_STATUS_PROCESS{};
    SC_HANDLE manager;
    SC_HANDLE service;
    if (!OpenNamedService(name, SERVICE_QUERY_STATUS, manager, service)) {
        return false;
    }
    DWORD needed = 0;
    const BOOL queried = QueryServiceStatusEx(
        service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof status, &needed);
    CloseService(manager, service);
    return queried != FALSE;
}

// A refused stop request that still leaves a stuck Spooler to be waited for
// and, failing that, terminated: not running, stuck in a pending state (the
// very hang the health check reports), accepting no stop at the moment, or
// a control handler that does not answer.
bool StopRefusalCanBeForced(DWORD error) {
    return error == ERROR_SERVICE_NOT_ACTIVE || error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL ||
           error == ERROR_INVALID_SERVICE_CONTROL || error == ERROR_SERVICE_REQUEST_TIMEOUT;
}

// SeDebugPrivilege, enabled for the termination and put back afterwards.
struct DebugPrivilege {
    HANDLE token;
    bool enabled; // by us, and so to be put back
    TOKEN_PRIVILEGES previous;
};

// An administrator's token holds SeDebugPrivilege but has it disabled, and
// without it OpenProcess is refused the process of a LocalSystem service
// such as the spooler. A token that does not hold it (AdjustTokenPrivileges
// then succeeds all the same, with ERROR_NOT_ALL_ASSIGNED) goes on without.
void EnableDebugPrivilege(DebugPrivilege& privilege) {
    privilege = DebugPrivilege{};
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                          &privilege.token)) {
        privilege.token = nullptr;
        return;
    }
    TOKEN_PRIVILEGES wanted{};
    wanted.PrivilegeCount = 1;
    wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &wanted.Privileges[0].Luid)) {
        return;
    }
    DWORD size = 0;
    privilege.enabled =
        AdjustTokenPrivileges(privilege.token, FALSE, &wanted, sizeof privilege.previous,
                              &privilege.previous, &size) &&
        GetLastError() == ERROR_SUCCESS && privilege.previous.PrivilegeCount != 0;
}

// A privilege that cannot be put back stays enabled in a token that held it
// already, and the spooler is stopped all the same.
void RestoreDebugPrivilege(DebugPrivilege& privilege) {
    if (privilege.enabled) {
        const BenignFailures benign;
        AdjustTokenPrivileges(privilege.token, FALSE, &privilege.previous, 0, nullptr, nullptr);
    }
    if (privilege.token != nullptr) {
        CloseHandle(privilege.token);
    }
}

// Terminates every process whose image is "spoolsv.exe", in any ASCII letter
// case. Returns whether at least one termination succeeded.
bool TerminateSpoolerProcesses() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return false;
    }
    DebugPrivilege privilege;
    EnableDebugPrivilege(privilege);
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
    RestoreDebugPrivilege(privilege);
    CloseHandle(snapshot);
    return terminated;
}

// A wait without a time limit is one that a service which never gets there
// would make endless; in the service, a stop request ends it, so such a
// setting cannot keep the service from stopping. Returns false then.
bool PauseBetweenPolls(DWORD timeoutMs) {
    if (timeoutMs == INFINITE && StopEvent != nullptr) {
        return WaitForSingleObject(StopEvent, kSpoolerPollMs) != WAIT_OBJECT_0;
    }
    Sleep(kSpoolerPollMs);
    return true;
}

// Polls the named service as WaitForSpoolerState polls the Spooler, until it
// is in either state. Returns the state seen, or 0.
DWORD WaitForEitherState(const WCHAR* name, DWORD first, DWORD second, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    if (static_cast<DWORD>(GetTickCount() - start) >= timeoutMs) {
        return 0;
    }
    for (;;) {
        SERVICE_STATUS_PROCESS status;
        if (!QueryServiceState(name, status)) {
            return 0;
        }
        if (status.dwCurrentState == first || status.dwCurrentState == second) {
            return status.dwCurrentState;
        }
        if (!PauseBetweenPolls(timeoutMs)) {
            return 0;
        }
        if (static_cast<DWORD>(GetTickCount() - start) >= timeoutMs) {
            return 0;
        }
    }
}

int WaitForServiceState(const WCHAR* name, DWORD targetState, DWORD timeoutMs) {
    return WaitForEitherState(name, targetState, targetState, timeoutMs) != 0 ? 1 : 0;
}

// Asks the Spooler to stop. False when it refused for good; a refusal that
// still leaves it to be waited for and forced is kept in `refusal`.
bool RequestSpoolerStop(DWORD& refusal) {
    refusal = ERROR_SUCCESS;
    SC_HANDLE manager;
    SC_HANDLE service;
    if (!OpenSpooler(SERVICE_STOP | SERVICE_QUERY_STATUS, manager, service)) {
        return false;
    }
    SERVICE_STATUS status{};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        refusal = GetLastError();
    }
    CloseService(manager, service);
    return refusal == ERROR_SUCCESS || StopRefusalCanBeForced(refusal);
}

// Lists the Spooler's active dependents into `list`, in the order in which
// they must be stopped. False when they cannot be listed whole.
bool ListActiveDependents(DependentServices& list) {
    list.count = 0;
    SC_HANDLE manager;
    SC_HANDLE service;
    if (!OpenSpooler(SERVICE_ENUMERATE_DEPENDENTS, manager, service)) {
        return false;
    }
    DWORD needed = 0;
    DWORD returned = 0;
    bool listed = EnumDependentServicesW(service, SERVICE_ACTIVE, nullptr, 0, &needed, &returned);
    if (!listed && GetLastError() == ERROR_MORE_DATA && needed >= sizeof(ENUM_SERVICE_STATUSW)) {
        auto* found = static_cast<ENUM_SERVICE_STATUSW*>(HeapAlloc(GetProcessHeap(), 0, needed));
        listed = found != nullptr &&
                 EnumDependentServicesW(service, SERVICE_ACTIVE, found, needed, &needed, &returned);
        // A name that does not fit, or more dependents than can be kept, is
        // no list to stop by: the dependents could not all be started again.
        listed = listed && returned <= kMaxDependents;
        for (DWORD i = 0; listed && i < returned; ++i) {
            const WCHAR* name = found[i].lpServiceName;
            listed = name != nullptr && TextLength(name) < kServiceNameCapacity;
            if (listed) {
                CopyText(list.names[list.count++], kServiceNameCapacity, name);
            }
        }
        HeapFree(GetProcessHeap(), 0, found);
    }
    CloseService(manager, service);
    if (!listed) {
        list.count = 0;
    }
    return listed;
}

// Asks one dependent to stop and waits StopTimeoutMs. One that stopped by
// itself in the meantime is as good as stopped; it is not entered, since it
// was not this stop that took it down.
bool StopDependent(const WCHAR* name, DependentServices& stopped) {
    SC_HANDLE manager;
    SC_HANDLE service;
    if (!OpenNamedService(name, SERVICE_STOP | SERVICE_QUERY_STATUS, manager, service)) {
        return false;
    }
    SERVICE_STATUS status{};
    const BOOL accepted = ControlService(service, SERVICE_CONTROL_STOP, &status);
    const DWORD error = accepted ? ERROR_SUCCESS : GetLastError();
    CloseService(manager, service);
    if (!accepted && error != ERROR_SERVICE_NOT_ACTIVE) {
        return false;
    }
    if (accepted) {
        CopyText(stopped.names[stopped.count++], kServiceNameCapacity, name);
    }
    return WaitForServiceState(name, SERVICE_STOPPED, Settings.StopTimeoutMs) != 0;
}

} // namespace

int QuerySpoolerStatus(DWORD* state, DWORD* processId) {
    if (state) {
        *state = 0;
    }
    if (processId) {
        *processId = 0;
    }
    SERVICE_STATUS_PROCESS status;
    if (!QueryServiceState(kSpoolerService, status)) {
        return 0;
    }
    if (state) {
        *state = status.dwCurrentState;
    }
    if (processId) {
        *processId = status.dwProcessId;
    }
    return 1;
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
    CloseService(manager, service);
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
    return WaitForServiceState(kSpoolerService, targetState, timeoutMs);
}

int StopSpooler(DependentServices* stopped) {
    stopped->count = 0;
    DependentServices active;
    ListActiveDependents(active);
    for (DWORD i = 0; i < active.count; ++i) {
        if (!StopDependent(active.names[i], *stopped)) {
            return 0;
        }
    }
    DWORD refusal = ERROR_SUCCESS;
    if (!RequestSpoolerStop(refusal)) {
        return 0;
    }
    // A spooler that is starting accepts no stop (1061) until it runs. Once
    // it runs it is asked again, once, rather than waited out and a healthy
    // spoolsv.exe ended.
    const DWORD running =
        refusal == ERROR_SERVICE_CANNOT_ACCEPT_CTRL ? SERVICE_RUNNING : SERVICE_STOPPED;
    DWORD seen =
        WaitForEitherState(kSpoolerService, SERVICE_STOPPED, running, Settings.StopTimeoutMs);
    if (seen == SERVICE_RUNNING) {
        if (!RequestSpoolerStop(refusal)) {
            return 0;
        }
        seen = WaitForEitherState(kSpoolerService, SERVICE_STOPPED, SERVICE_STOPPED,
                                  Settings.StopTimeoutMs);
    }
    if (seen == SERVICE_STOPPED) {
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
    return StartDependentService(kSpoolerService);
}

// The Spooler's own start is this one under its name.
int StartDependentService(const WCHAR* name) {
    SC_HANDLE manager;
    SC_HANDLE service;
    if (!OpenNamedService(name, SERVICE_START | SERVICE_QUERY_STATUS, manager, service)) {
        return 0;
    }
    if (!StartServiceW(service, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
        CloseService(manager, service);
        return 0;
    }
    CloseService(manager, service);
    return WaitForServiceState(name, SERVICE_RUNNING, Settings.StartTimeoutMs);
}

} // namespace nimbrel
