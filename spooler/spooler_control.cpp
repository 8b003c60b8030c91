#include "spooler/spooler_control.h"

#include "config/settings.h"
#include "platform/benign.h"
#include "platform/owned.h"
#include "text/text.h"

namespace nimbrel {

HANDLE g_StopEvent = nullptr;
std::atomic<bool> g_ShutdownRequested{false};

namespace {

constexpr WCHAR kSpoolerService[] = L"Spooler";
constexpr WCHAR kSpoolerImage[] = L"spoolsv.exe";

// The manager and the named service opened with `access`, both closed
// when it goes out of scope; `service` is null when either open failed.
struct OpenedService {
    OpenedService(const WCHAR* name, DWORD access)
        : manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)),
          service(manager ? OpenServiceW(manager.get(), name, access) : nullptr) {}

    ServiceHandle manager;
    ServiceHandle service;
};

// Opens the named service for its status only, reads it and closes it
// again. False when it cannot be opened or read.
bool QueryServiceState(const WCHAR* name, SERVICE_STATUS_PROCESS& status) {
    status = SERVICE_STATUS_PROCESS{};
    const OpenedService opened(name, SERVICE_QUERY_STATUS);
    if (!opened.service) {
        return false;
    }
    DWORD needed = 0;
    return QueryServiceStatusEx(opened.service.get(), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<LPBYTE>(&status), sizeof status, &needed) != FALSE;
}

// A refused stop request that still leaves a stuck Spooler to be waited for
// and, failing that, terminated: not running, stuck in a pending state (the
// very hang the health check reports), accepting no stop at the moment, or
// a control handler that does not answer.
bool StopRefusalCanBeForced(DWORD error) {
    return error == ERROR_SERVICE_NOT_ACTIVE || error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL ||
           error == ERROR_INVALID_SERVICE_CONTROL || error == ERROR_SERVICE_REQUEST_TIMEOUT;
}

// The process's own token, null when it cannot be opened.
HANDLE OpenOwnToken() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        return nullptr;
    }
    return token;
}

// An administrator's token holds SeDebugPrivilege but has it disabled, and
// without it OpenProcess is refused the process of a LocalSystem service
// such as the spooler. It is enabled for as long as this lives and put back
// afterwards. A token that does not hold it (AdjustTokenPrivileges then
// succeeds all the same, with ERROR_NOT_ALL_ASSIGNED) goes on without. A
// privilege that cannot be put back stays enabled in a token that held it
// already, and the spooler is stopped all the same.
class DebugPrivilege {
  public:
    DebugPrivilege() : token_(OpenOwnToken()) { enabled_ = token_ && Enable(); }
    ~DebugPrivilege() {
        if (enabled_) {
            const BenignFailures benign;
            AdjustTokenPrivileges(token_.get(), FALSE, &previous_, 0, nullptr, nullptr);
        }
    }
    DebugPrivilege(const DebugPrivilege&) = delete;
    DebugPrivilege& operator=(const DebugPrivilege&) = delete;

  private:
    // True when this enabled it, and so must put it back.
    bool Enable() {
        TOKEN_PRIVILEGES wanted{};
        wanted.PrivilegeCount = 1;
        wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (!LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &wanted.Privileges[0].Luid)) {
            return false;
        }
        DWORD size = 0;
        return AdjustTokenPrivileges(token_.get(), FALSE, &wanted, sizeof previous_, &previous_,
                                     &size) &&
               GetLastError() == ERROR_SUCCESS && previous_.PrivilegeCount != 0;
    }

    ObjectHandle token_;
    bool enabled_ = false;
    TOKEN_PRIVILEGES previous_{};
};

// Terminates every process whose image is "spoolsv.exe", in any ASCII letter
// case. Returns whether at least one termination succeeded.
bool TerminateSpoolerProcesses() {
    const SnapshotHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return false;
    }
    const DebugPrivilege privilege;
    bool terminated = false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (bool more = Process32FirstW(snapshot.get(), &entry) != FALSE; more;
         more = Process32NextW(snapshot.get(), &entry) != FALSE) {
        entry.szExeFile[MAX_PATH - 1] = 0;
        if (!EqualsIgnoreAsciiCase(entry.szExeFile, kSpoolerImage)) {
            continue;
        }
        const ObjectHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID));
        if (!process) {
            continue;
        }
        if (TerminateProcess(process.get(), 1)) {
            terminated = true;
        }
    }
    return terminated;
}

// A wait without a time limit is one that a service which never gets there
// would make endless; in the service, a stop request ends it, so such a
// setting cannot keep the service from stopping. Returns false then.
bool PauseBetweenPolls(DWORD timeoutMs) {
    if (timeoutMs == INFINITE && g_StopEvent != nullptr) {
        return WaitForSingleObject(g_StopEvent, kSpoolerPollMs) != WAIT_OBJECT_0;
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

bool WaitForServiceState(const WCHAR* name, DWORD targetState, DWORD timeoutMs) {
    return WaitForEitherState(name, targetState, targetState, timeoutMs) != 0;
}

// Asks the named service to stop. False when it cannot be opened; else
// `refusal` is the error of a refused request, or ERROR_SUCCESS.
bool RequestStop(const WCHAR* name, DWORD& refusal) {
    refusal = ERROR_SUCCESS;
    const OpenedService opened(name, SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!opened.service) {
        return false;
    }
    SERVICE_STATUS status{};
    if (!ControlService(opened.service.get(), SERVICE_CONTROL_STOP, &status)) {
        refusal = GetLastError();
    }
    return true;
}

// Asks the Spooler to stop. False when it refused for good; a refusal that
// still leaves it to be waited for and forced is kept in `refusal`.
bool RequestSpoolerStop(DWORD& refusal) {
    return RequestStop(kSpoolerService, refusal) &&
           (refusal == ERROR_SUCCESS || StopRefusalCanBeForced(refusal));
}

// Lists the Spooler's active dependents into `list`, in the order in which
// they must be stopped. False when they cannot be listed whole.
bool ListActiveDependents(DependentServices& list) {
    list.count = 0;
    const OpenedService spooler(kSpoolerService, SERVICE_ENUMERATE_DEPENDENTS);
    if (!spooler.service) {
        return false;
    }
    const SC_HANDLE service = spooler.service.get();
    DWORD needed = 0;
    DWORD returned = 0;
    bool listed = EnumDependentServicesW(service, SERVICE_ACTIVE, nullptr, 0, &needed, &returned);
    if (!listed && GetLastError() == ERROR_MORE_DATA && needed >= sizeof(ENUM_SERVICE_STATUSW)) {
        const HeapBlock<ENUM_SERVICE_STATUSW> block(needed);
        ENUM_SERVICE_STATUSW* found = block.get();
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
    }
    if (!listed) {
        list.count = 0;
    }
    return listed;
}

// Asks one dependent to stop and waits StopTimeoutMs. One that stopped by
// itself in the meantime is as good as stopped; it is not entered, since it
// was not this stop that took it down.
bool StopDependent(const WCHAR* name, DependentServices& stopped) {
    DWORD refusal = ERROR_SUCCESS;
    if (!RequestStop(name, refusal) ||
        (refusal != ERROR_SUCCESS && refusal != ERROR_SERVICE_NOT_ACTIVE)) {
        return false;
    }
    if (refusal == ERROR_SUCCESS) {
        CopyText(stopped.names[stopped.count++], kServiceNameCapacity, name);
    }
    return WaitForServiceState(name, SERVICE_STOPPED, g_Settings.StopTimeoutMs);
}

// Asks the named service to start. True when it accepted, or already runs.
bool RequestStart(const WCHAR* name) {
    const OpenedService opened(name, SERVICE_START | SERVICE_QUERY_STATUS);
    return opened.service && (StartServiceW(opened.service.get(), 0, nullptr) ||
                              GetLastError() == ERROR_SERVICE_ALREADY_RUNNING);
}

} // namespace

bool QuerySpoolerStatus(DWORD* state, DWORD* processId) {
    if (state) {
        *state = 0;
    }
    if (processId) {
        *processId = 0;
    }
    SERVICE_STATUS_PROCESS status;
    if (!QueryServiceState(kSpoolerService, status)) {
        return false;
    }
    if (state) {
        *state = status.dwCurrentState;
    }
    if (processId) {
        *processId = status.dwProcessId;
    }
    return true;
}

bool QuerySpoolerStartType(DWORD* startType) {
    const OpenedService spooler(kSpoolerService, SERVICE_QUERY_CONFIG);
    if (!spooler.service) {
        return false;
    }
    // The record carries the service's texts behind it: sized first.
    DWORD needed = 0;
    if (QueryServiceConfigW(spooler.service.get(), nullptr, 0, &needed) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed < sizeof(QUERY_SERVICE_CONFIGW)) {
        return false;
    }
    const HeapBlock<QUERY_SERVICE_CONFIGW> config(needed);
    if (!config || !QueryServiceConfigW(spooler.service.get(), config.get(), needed, &needed)) {
        return false;
    }
    *startType = config.get()->dwStartType;
    return true;
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

bool WaitForSpoolerState(DWORD targetState, DWORD timeoutMs) {
    return WaitForServiceState(kSpoolerService, targetState, timeoutMs);
}

bool StopSpooler(DependentServices* stopped) {
    stopped->count = 0;
    DependentServices active;
    ListActiveDependents(active);
    for (DWORD i = 0; i < active.count; ++i) {
        if (!StopDependent(active.names[i], *stopped)) {
            return false;
        }
    }
    DWORD refusal = ERROR_SUCCESS;
    if (!RequestSpoolerStop(refusal)) {
        return false;
    }
    // A spooler that is starting accepts no stop (1061) until it runs. Once
    // it runs it is asked again, once, rather than waited out and a healthy
    // spoolsv.exe ended.
    const DWORD running =
        refusal == ERROR_SERVICE_CANNOT_ACCEPT_CTRL ? SERVICE_RUNNING : SERVICE_STOPPED;
    DWORD seen =
        WaitForEitherState(kSpoolerService, SERVICE_STOPPED, running, g_Settings.StopTimeoutMs);
    if (seen == SERVICE_RUNNING) {
        if (!RequestSpoolerStop(refusal)) {
            return false;
        }
        seen = WaitForEitherState(kSpoolerService, SERVICE_STOPPED, SERVICE_STOPPED,
                                  g_Settings.StopTimeoutMs);
    }
    if (seen == SERVICE_STOPPED) {
        return true;
    }
    // A wait without a time limit that a stop request of the service ended:
    // the spooler may yet stop by itself, and a service on its way out does
    // not terminate it.
    if (g_Settings.StopTimeoutMs == INFINITE && g_StopEvent != nullptr &&
        WaitForSingleObject(g_StopEvent, 0) == WAIT_OBJECT_0) {
        return false;
    }
    if (!TerminateSpoolerProcesses()) {
        return false;
    }
    return WaitForSpoolerState(SERVICE_STOPPED, kForcedStopTimeoutMs);
}

bool StartSpooler() {
    return StartDependentService(kSpoolerService);
}

// The Spooler's own start is this one under its name.
bool StartDependentService(const WCHAR* name) {
    return RequestStart(name) &&
           WaitForServiceState(name, SERVICE_RUNNING, g_Settings.StartTimeoutMs);
}

} // namespace nimbrel
