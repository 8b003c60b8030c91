// The simulated Service Control Manager and service dispatcher.

#include "platform/sim/impl.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace nimbrel::sim {
namespace {

void StartServiceProcess(Service& service) {
    DWORD pid = AddProcess(service.image, service.processTerminable);
    service.pid = pid;
}

void EndServiceProcess(Service& service) {
    if (Process* process = FindProcess(service.pid)) {
        process->running = false;
        process->exitCode = 0;
    }
    service.pid = 0;
}

// Moves a service to `state` after `ms`, unless something changes it first.
void ScheduleTransition(const std::wstring& name, std::uint64_t ms, DWORD state) {
    if (ms == kNever) {
        return;
    }
    unsigned generation = FindService(name)->generation;
    auto apply = [name, generation, state] {
        Service* service = FindService(name);
        if (service != nullptr && service->generation == generation) {
            SetServiceState(name, state);
        }
    };
    if (ms == 0) {
        apply();
    } else {
        After(ms, apply);
    }
}

bool DependsOn(const Service& service, const std::wstring& name) {
    for (const std::wstring& dependency : service.dependencies) {
        if (Upper(dependency) == Upper(name)) {
            return true;
        }
    }
    return false;
}

// The active services that depend on `name`, directly or not, in the order
// in which they must be stopped: each after every service that depends on it.
void CollectActiveDependents(const std::wstring& name, std::vector<const Service*>& found) {
    for (const auto& [key, service] : M().services) {
        if (service.state == SERVICE_STOPPED || service.deleted || !DependsOn(service, name)) {
            continue;
        }
        CollectActiveDependents(service.name, found);
        if (std::find(found.begin(), found.end(), &service) == found.end()) {
            found.push_back(&service);
        }
    }
}

DWORD StateBit(DWORD state) {
    return state >= SERVICE_STOPPED && state <= SERVICE_PAUSED ? 1u << (state - 1) : 0;
}

// A state in a notification's mask sends it: its record is filled in and its
// callback waits for an alertable wait.
bool Deliver(Machine::Notification& armed, const Service& service) {
    const DWORD bit = StateBit(service.state);
    if ((armed.mask & bit) == 0) {
        return false;
    }
    armed.notify->dwNotificationStatus = ERROR_SUCCESS;
    armed.notify->dwNotificationTriggered = bit;
    armed.notify->ServiceStatus = {};
    armed.notify->ServiceStatus.dwServiceType = service.serviceType;
    armed.notify->ServiceStatus.dwCurrentState = service.state;
    armed.notify->ServiceStatus.dwProcessId = service.pid;
    M().apcs.push_back(armed);
    return true;
}

void TriggerNotifications(const Service& service) {
    auto& armed = M().notifications;
    for (auto it = armed.begin(); it != armed.end();) {
        it = Upper(it->service) == Upper(service.name) && Deliver(*it, service) ? armed.erase(it)
                                                                                : ++it;
    }
}

bool Granted(const HandleEntry& entry, DWORD rights) {
    return (entry.access & rights) == rights;
}

Service* ServiceOf(SC_HANDLE handle, DWORD rights) {
    HandleEntry* entry = Lookup(handle, HandleKind::Service);
    if (entry == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    Service* service = FindService(entry->name);
    if (service == nullptr || service->deleted) {
        Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
        return nullptr;
    }
    if (!Granted(*entry, rights)) {
        Fail(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return service;
}

} // namespace

void ResetServices() {
    Service& spooler = AddService(L"Spooler");
    spooler.displayName = L"Print Spooler";
    spooler.startType = SERVICE_AUTO_START;
    SetServiceState(L"Spooler", SERVICE_RUNNING);
}

Service& AddService(const std::wstring& name) {
    Service& service = M().services[Upper(name)];
    if (service.name.empty()) {
        service.name = name;
        service.displayName = name;
    }
    return service;
}

Service& AddDependentService(const std::wstring& name, const std::wstring& dependency) {
    Service& service = AddService(name);
    service.image = Upper(name) + L".EXE";
    service.dependencies.push_back(dependency);
    SetServiceState(name, SERVICE_RUNNING);
    return service;
}

Service* FindService(const std::wstring& name) {
    auto it = M().services.find(Upper(name));
    return it == M().services.end() ? nullptr : &it->second;
}

Service& Spooler() {
    return *FindService(L"Spooler");
}

void RemoveService(const std::wstring& name) {
    M().services.erase(Upper(name));
}

void SetServiceState(const std::wstring& name, DWORD state) {
    Service& service = *FindService(name);
    ++service.generation;
    bool hasProcess = state != SERVICE_STOPPED;
    if (hasProcess && service.pid == 0) {
        StartServiceProcess(service);
    } else if (!hasProcess && service.pid != 0) {
        EndServiceProcess(service);
    }
    service.state = state;
    TriggerNotifications(service);
}

void SetManagerAccessDenied(bool denied) {
    M().managerAccessDenied = denied;
}

void SetManagerRightsDenied(DWORD rights) {
    M().managerRightsDenied = rights;
}

// A real service manager notices when a service's process ends, and marks
// the service stopped.
void ServiceProcessEnded(DWORD pid) {
    for (auto& [key, service] : M().services) {
        if (service.pid == pid && pid != 0) {
            service.pid = 0;
            ++service.generation;
            service.state = SERVICE_STOPPED;
            TriggerNotifications(service);
        }
    }
}

// ---- Operations -----------------------------------------------------------------

SC_HANDLE Sim_OpenSCManagerW(LPCWSTR machine, LPCWSTR, DWORD access) {
    if (machine != nullptr && machine[0] != 0) {
        Fail(RPC_S_SERVER_UNAVAILABLE);
        return nullptr;
    }
    if (M().managerAccessDenied || (access & M().managerRightsDenied) != 0) {
        Fail(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    HandleEntry entry{HandleKind::Scm};
    entry.access = access;
    return static_cast<SC_HANDLE>(NewHandle(entry));
}

SC_HANDLE Sim_OpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access) {
    if (Lookup(manager, HandleKind::Scm) == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    Service* service = name ? FindService(name) : nullptr;
    if (service == nullptr || service->deleted) {
        Fail(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    if ((access & service->deniedAccess) != 0) {
        Fail(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    HandleEntry entry{HandleKind::Service};
    entry.access = access == SERVICE_ALL_ACCESS ? 0xFFFFFFFFu : access;
    entry.name = service->name;
    return static_cast<SC_HANDLE>(NewHandle(entry));
}

BOOL Sim_CloseServiceHandle(SC_HANDLE handle) {
    if (Lookup(handle, HandleKind::Service) != nullptr) {
        // Closing the handle cancels its notification, delivered or not.
        const auto raw = reinterpret_cast<std::uintptr_t>(handle);
        for (auto* list : {&M().notifications, &M().apcs}) {
            list->erase(std::remove_if(list->begin(), list->end(),
                                       [raw](const auto& n) { return n.handle == raw; }),
                        list->end());
        }
        return Release(handle, HandleKind::Service, "CloseServiceHandle") ? TRUE : FALSE;
    }
    return Release(handle, HandleKind::Scm, "CloseServiceHandle") ? TRUE : FALSE;
}

BOOL Sim_QueryServiceStatusEx(SC_HANDLE handle, DWORD level, LPBYTE buffer, DWORD size,
                              LPDWORD needed) {
    Service* service = ServiceOf(handle, SERVICE_QUERY_STATUS);
    if (service == nullptr) {
        return FALSE;
    }
    if (level != SC_STATUS_PROCESS_INFO) {
        Fail(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (needed != nullptr) {
        *needed = sizeof(SERVICE_STATUS_PROCESS);
    }
    if (buffer == nullptr || size < sizeof(SERVICE_STATUS_PROCESS)) {
        Fail(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    SERVICE_STATUS_PROCESS status{};
    status.dwServiceType = service->serviceType;
    status.dwCurrentState = service->state;
    status.dwControlsAccepted = service->state == SERVICE_RUNNING ? service->controlsAccepted : 0;
    status.dwProcessId = service->pid;
    std::memcpy(buffer, &status, sizeof status);
    return TRUE;
}

// The record and, packed behind it in the caller's block, its texts; the
// size needed when the block is too small.
BOOL Sim_QueryServiceConfigW(SC_HANDLE handle, QUERY_SERVICE_CONFIGW* config, DWORD size,
                             LPDWORD needed) {
    Service* service = ServiceOf(handle, SERVICE_QUERY_CONFIG);
    if (service == nullptr) {
        return FALSE;
    }
    if (needed == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::wstring account = L"LocalSystem";
    // The dependencies are a list of texts ended by an empty one.
    const std::wstring texts[] = {service->binaryPath, L"", std::wstring(1, L'\0'), account,
                                  service->displayName};
    std::size_t bytes = sizeof(QUERY_SERVICE_CONFIGW);
    for (const std::wstring& text : texts) {
        bytes += (text.size() + 1) * sizeof(WCHAR);
    }
    *needed = static_cast<DWORD>(bytes);
    if (config == nullptr || size < bytes) {
        Fail(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* next = reinterpret_cast<WCHAR*>(config + 1);
    LPWSTR* fields[] = {&config->lpBinaryPathName, &config->lpLoadOrderGroup,
                        &config->lpDependencies, &config->lpServiceStartName,
                        &config->lpDisplayName};
    for (std::size_t i = 0; i < std::size(texts); ++i) {
        *fields[i] = next;
        next += texts[i].copy(next, texts[i].size());
        *next++ = 0;
    }
    config->dwServiceType = service->serviceType;
    config->dwStartType = service->startType;
    config->dwErrorControl = service->errorControl;
    config->dwTagId = 0;
    return TRUE;
}

// The names are packed behind the records in the caller's block, as the
// service manager packs them; the size needed when the block is too small.
BOOL Sim_EnumDependentServicesW(SC_HANDLE handle, DWORD state, ENUM_SERVICE_STATUSW* services,
                                DWORD size, LPDWORD needed, LPDWORD returned) {
    Service* service = ServiceOf(handle, SERVICE_ENUMERATE_DEPENDENTS);
    if (service == nullptr) {
        return FALSE;
    }
    if (needed == nullptr || returned == nullptr || state != SERVICE_ACTIVE) {
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<const Service*> found;
    CollectActiveDependents(service->name, found);
    std::size_t bytes = 0;
    for (const Service* dependent : found) {
        bytes += sizeof(ENUM_SERVICE_STATUSW) +
                 (dependent->name.size() + dependent->displayName.size() + 2) * sizeof(WCHAR);
    }
    *needed = static_cast<DWORD>(bytes);
    *returned = 0;
    if (bytes != 0 && (services == nullptr || size < bytes)) {
        Fail(ERROR_MORE_DATA);
        return FALSE;
    }
    auto* next = reinterpret_cast<WCHAR*>(services + found.size());
    for (std::size_t i = 0; i < found.size(); ++i) {
        const std::wstring* texts[] = {&found[i]->name, &found[i]->displayName};
        LPWSTR* fields[] = {&services[i].lpServiceName, &services[i].lpDisplayName};
        for (std::size_t t = 0; t < 2; ++t) {
            *fields[t] = next;
            next += texts[t]->copy(next, texts[t]->size());
            *next++ = 0;
        }
        services[i].ServiceStatus = SERVICE_STATUS{};
        services[i].ServiceStatus.dwServiceType = found[i]->serviceType;
        services[i].ServiceStatus.dwCurrentState = found[i]->state;
    }
    *returned = static_cast<DWORD>(found.size());
    return TRUE;
}

BOOL Sim_ControlService(SC_HANDLE handle, DWORD control, SERVICE_STATUS* status) {
    Service* service = ServiceOf(handle, control == SERVICE_CONTROL_STOP ? SERVICE_STOP : 0);
    if (service == nullptr) {
        return FALSE;
    }
    if (status == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (control != SERVICE_CONTROL_STOP) {
        Fail(ERROR_INVALID_SERVICE_CONTROL);
        return FALSE;
    }
    ++service->stopRequests;
    DWORD error = service->stopError;
    std::vector<const Service*> dependents;
    CollectActiveDependents(service->name, dependents);
    if (error == 0 && !dependents.empty() && service->state != SERVICE_STOPPED) {
        error = ERROR_DEPENDENT_SERVICES_RUNNING;
    }
    if (error == 0 && service->state == SERVICE_STOPPED) {
        error = ERROR_SERVICE_NOT_ACTIVE;
    } else if (error == 0 && (service->state == SERVICE_START_PENDING ||
                              service->state == SERVICE_STOP_PENDING)) {
        error = service->pendingStopError;
    } else if (error == 0 && (service->controlsAccepted & SERVICE_ACCEPT_STOP) == 0) {
        error = ERROR_INVALID_SERVICE_CONTROL;
    }
    if (error != 0) {
        Fail(error);
        return FALSE;
    }
    std::wstring name = service->name;
    std::uint64_t pendingMs = service->stopPendingMs;
    SetServiceState(name, SERVICE_STOP_PENDING);
    status->dwCurrentState = SERVICE_STOP_PENDING;
    ScheduleTransition(name, pendingMs, SERVICE_STOPPED);
    return TRUE;
}

BOOL Sim_StartServiceW(SC_HANDLE handle, DWORD, LPCWSTR*) {
    Service* service = ServiceOf(handle, SERVICE_START);
    if (service == nullptr) {
        return FALSE;
    }
    ++service->startRequests;
    if (service->startError != 0 || service->startType == SERVICE_DISABLED) {
        Fail(service->startError != 0 ? service->startError : ERROR_SERVICE_DISABLED);
        return FALSE;
    }
    if (service->state != SERVICE_STOPPED) {
        Fail(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
    }
    std::wstring name = service->name;
    std::uint64_t pendingMs = service->startPendingMs;
    DWORD finalState = service->startFailsToRun ? SERVICE_STOPPED : SERVICE_RUNNING;
    SetServiceState(name, SERVICE_START_PENDING);
    ScheduleTransition(name, pendingMs, finalState);
    return TRUE;
}

SC_HANDLE Sim_CreateServiceW(SC_HANDLE manager, LPCWSTR name, LPCWSTR displayName, DWORD access,
                             DWORD serviceType, DWORD startType, DWORD errorControl,
                             LPCWSTR binaryPath, LPCWSTR loadOrderGroup, LPDWORD tagId,
                             LPCWSTR dependencies, LPCWSTR account, LPCWSTR password) {
    HandleEntry* managerEntry = Lookup(manager, HandleKind::Scm);
    if (managerEntry == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!Granted(*managerEntry, SC_MANAGER_CREATE_SERVICE)) {
        Fail(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (name == nullptr || name[0] == 0 || binaryPath == nullptr || binaryPath[0] == 0) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (Service* existing = FindService(name)) {
        Fail(existing->deleted ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    if (loadOrderGroup || tagId || dependencies || account || password) {
        Misuse("CreateServiceW given a group, tag, dependencies or an account");
    }
    Service& service = AddService(name);
    service.displayName = displayName ? displayName : name;
    service.serviceType = serviceType;
    service.startType = startType;
    service.errorControl = errorControl;
    service.binaryPath = binaryPath;
    service.configuredByCreate = true;
    service.image = L"Nimbrel.exe";
    HandleEntry entry{HandleKind::Service};
    entry.access = access == SERVICE_ALL_ACCESS ? 0xFFFFFFFFu : access;
    entry.name = service.name;
    return static_cast<SC_HANDLE>(NewHandle(entry));
}

DWORD NotifyFailure() {
    return M().lastError;
}

DWORD Sim_NotifyServiceStatusChangeW(SC_HANDLE handle, DWORD mask, SERVICE_NOTIFYW* notify) {
    Service* service = ServiceOf(handle, SERVICE_QUERY_STATUS);
    if (service == nullptr) {
        return M().lastError;
    }
    if (notify == nullptr || notify->dwVersion != SERVICE_NOTIFY_STATUS_CHANGE ||
        notify->pfnNotifyCallback == nullptr || mask == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    const auto raw = reinterpret_cast<std::uintptr_t>(handle);
    for (const auto* list : {&M().notifications, &M().apcs}) {
        for (const auto& pending : *list) {
            if (pending.handle == raw) {
                Misuse("NotifyServiceStatusChangeW while the handle's last one is outstanding");
            }
        }
    }
    // A state the service is in already is reported at once.
    Machine::Notification armed{raw, service->name, mask, notify};
    if (!Deliver(armed, *service)) {
        M().notifications.push_back(armed);
    }
    return ERROR_SUCCESS;
}

BOOL Sim_ChangeServiceConfig2W(SC_HANDLE handle, DWORD infoLevel, LPVOID info) {
    Service* service = ServiceOf(handle, SERVICE_CHANGE_CONFIG);
    if (service == nullptr) {
        return FALSE;
    }
    if (info == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    switch (infoLevel) {
    case SERVICE_CONFIG_DESCRIPTION: {
        const auto* description = static_cast<const SERVICE_DESCRIPTIONW*>(info);
        service->description = description->lpDescription ? description->lpDescription : L"";
        return TRUE;
    }
    case SERVICE_CONFIG_FAILURE_ACTIONS: {
        const auto* actions = static_cast<const SERVICE_FAILURE_ACTIONSW*>(info);
        if (actions->cActions != 0 && actions->lpsaActions == nullptr) {
            Fail(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        service->failureResetSeconds = actions->dwResetPeriod;
        service->failureActions.assign(actions->lpsaActions,
                                       actions->lpsaActions + actions->cActions);
        return TRUE;
    }
    case SERVICE_CONFIG_FAILURE_ACTIONS_FLAG:
        service->failureActionsOnNonCrash = static_cast<const SERVICE_FAILURE_ACTIONS_FLAG*>(info)
                                                ->fFailureActionsOnNonCrashFailures != FALSE;
        return TRUE;
    default:
        Fail(ERROR_INVALID_LEVEL);
        return FALSE;
    }
}

BOOL Sim_DeleteService(SC_HANDLE handle) {
    Service* service = ServiceOf(handle, DELETE);
    if (service == nullptr) {
        return FALSE;
    }
    if (service->state == SERVICE_STOPPED) {
        RemoveService(service->name);
    } else {
        service->deleted = true; // goes when it stops, as on Windows
    }
    return TRUE;
}

BOOL Sim_StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table) {
    if (!M().startedByScm) {
        Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }
    if (table == nullptr || table[0].lpServiceName == nullptr ||
        table[0].lpServiceProc == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    M().dispatchedName = table[0].lpServiceName;
    WCHAR name[64] = {};
    M().dispatchedName.copy(name, 63);
    LPWSTR argv[] = {name, nullptr};
    // The service manager would run the entry on a thread of its own and
    // return once it has reported stopped; here it runs on the caller's.
    table[0].lpServiceProc(1, argv);
    return TRUE;
}

SERVICE_STATUS_HANDLE Sim_RegisterServiceCtrlHandlerExW(LPCWSTR name, LPHANDLER_FUNCTION_EX handler,
                                                        LPVOID context) {
    if (name == nullptr || handler == nullptr || M().dispatchedName != name) {
        Fail(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    M().handlerName = name;
    M().handler = handler;
    M().handlerContext = context;
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<std::uintptr_t>(0x0ff0));
}

BOOL Sim_SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) {
    if (handle != reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<std::uintptr_t>(0x0ff0)) ||
        status == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    M().reports.push_back(*status);
    M().reportTimes.push_back(M().elapsedMs);
    return TRUE;
}

// ---- Test side ------------------------------------------------------------------------

void SetStartedByServiceManager(bool started) {
    M().startedByScm = started;
}
const std::vector<SERVICE_STATUS>& StatusReports() {
    return M().reports;
}
const std::vector<std::uint64_t>& StatusReportTimes() {
    return M().reportTimes;
}
std::wstring DispatchedServiceName() {
    return M().dispatchedName;
}
std::wstring HandlerServiceName() {
    return M().handlerName;
}
bool HandlerRegistered() {
    return M().handler != nullptr;
}
void SendControl(DWORD control) {
    if (M().handler != nullptr) {
        M().controlResults.push_back(M().handler(control, 0, nullptr, M().handlerContext));
    }
}
const std::vector<DWORD>& ControlResults() {
    return M().controlResults;
}

} // namespace nimbrel::sim
