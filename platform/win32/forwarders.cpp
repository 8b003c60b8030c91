// The real Windows behind the seam: each operation forwards to the API
// function of the same name and does nothing else.
//
// Our records mirror the Windows ones field for field; the checks below make
// the compiler prove it, so a pointer to one can be handed on as the other.

#include "platform/benign.h"
#include "platform/platform.h"

// Every constant platform.h retypes from the Windows headers, by name. The
// list is expanded twice: here, before those headers, for our values, and
// after them, where each name is the Windows definition of that name; the
// compiler proves the two equal. A constant added to platform.h belongs here
// too (a unit test of the native build lists any that is missing).
// clang-format off
#define NIMBREL_RETYPED_CONSTANTS(X) \
    X(FALSE) \
    X(TRUE) \
    X(MAX_PATH) \
    X(INFINITE) \
    X(ERROR_SUCCESS) \
    X(NO_ERROR) \
    X(ERROR_CALL_NOT_IMPLEMENTED) \
    X(ERROR_FILE_NOT_FOUND) \
    X(ERROR_PATH_NOT_FOUND) \
    X(ERROR_ACCESS_DENIED) \
    X(ERROR_INVALID_HANDLE) \
    X(ERROR_NOT_ENOUGH_MEMORY) \
    X(ERROR_NO_MORE_FILES) \
    X(ERROR_BAD_LENGTH) \
    X(ERROR_SHARING_VIOLATION) \
    X(ERROR_INVALID_PARAMETER) \
    X(ERROR_DISK_FULL) \
    X(ERROR_ALREADY_EXISTS) \
    X(ERROR_INSUFFICIENT_BUFFER) \
    X(ERROR_INVALID_NAME) \
    X(ERROR_INVALID_LEVEL) \
    X(ERROR_BAD_PATHNAME) \
    X(ERROR_NO_DATA) \
    X(ERROR_MORE_DATA) \
    X(ERROR_DEPENDENT_SERVICES_RUNNING) \
    X(ERROR_INVALID_SERVICE_CONTROL) \
    X(ERROR_SERVICE_REQUEST_TIMEOUT) \
    X(ERROR_SERVICE_ALREADY_RUNNING) \
    X(ERROR_SERVICE_DISABLED) \
    X(ERROR_SERVICE_DOES_NOT_EXIST) \
    X(ERROR_SERVICE_CANNOT_ACCEPT_CTRL) \
    X(ERROR_SERVICE_NOT_ACTIVE) \
    X(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) \
    X(ERROR_SERVICE_MARKED_FOR_DELETE) \
    X(ERROR_SERVICE_EXISTS) \
    X(ERROR_LOG_FILE_FULL) \
    X(ERROR_NOT_ALL_ASSIGNED) \
    X(ERROR_NO_SUCH_PRIVILEGE) \
    X(RPC_S_SERVER_UNAVAILABLE) \
    X(RPC_S_CALL_FAILED) \
    X(ERROR_INVALID_PRINTER_NAME) \
    X(SERVICE_STOPPED) \
    X(SERVICE_START_PENDING) \
    X(SERVICE_STOP_PENDING) \
    X(SERVICE_RUNNING) \
    X(SERVICE_CONTINUE_PENDING) \
    X(SERVICE_PAUSE_PENDING) \
    X(SERVICE_PAUSED) \
    X(SC_MANAGER_CONNECT) \
    X(SC_MANAGER_CREATE_SERVICE) \
    X(SERVICE_QUERY_CONFIG) \
    X(SERVICE_CHANGE_CONFIG) \
    X(SERVICE_QUERY_STATUS) \
    X(SERVICE_ENUMERATE_DEPENDENTS) \
    X(SERVICE_START) \
    X(SERVICE_STOP) \
    X(DELETE) \
    X(SERVICE_ALL_ACCESS) \
    X(SERVICE_WIN32_OWN_PROCESS) \
    X(SERVICE_BOOT_START) \
    X(SERVICE_SYSTEM_START) \
    X(SERVICE_AUTO_START) \
    X(SERVICE_DEMAND_START) \
    X(SERVICE_DISABLED) \
    X(SERVICE_ERROR_NORMAL) \
    X(SERVICE_CONFIG_DESCRIPTION) \
    X(SERVICE_CONFIG_FAILURE_ACTIONS) \
    X(SERVICE_CONFIG_FAILURE_ACTIONS_FLAG) \
    X(SC_ACTION_NONE) \
    X(SC_ACTION_RESTART) \
    X(SERVICE_CONTROL_STOP) \
    X(SERVICE_CONTROL_PAUSE) \
    X(SERVICE_CONTROL_INTERROGATE) \
    X(SERVICE_CONTROL_SHUTDOWN) \
    X(SERVICE_CONTROL_PRESHUTDOWN) \
    X(SERVICE_ACCEPT_STOP) \
    X(SERVICE_ACCEPT_SHUTDOWN) \
    X(SERVICE_ACCEPT_PRESHUTDOWN) \
    X(SC_STATUS_PROCESS_INFO) \
    X(SERVICE_NOTIFY_STATUS_CHANGE) \
    X(SERVICE_NOTIFY_STOPPED) \
    X(SERVICE_NOTIFY_PAUSED) \
    X(ERROR_SERVICE_NOTIFY_CLIENT_LAGGING) \
    X(WAIT_IO_COMPLETION) \
    X(SERVICE_ACTIVE) \
    X(EVENTLOG_ERROR_TYPE) \
    X(EVENTLOG_WARNING_TYPE) \
    X(EVENTLOG_INFORMATION_TYPE) \
    X(PRINTER_ENUM_LOCAL) \
    X(PRINTER_ENUM_CONNECTIONS) \
    X(PRINTER_STATUS_OFFLINE) \
    X(PRINTER_ATTRIBUTE_NETWORK) \
    X(PRINTER_ATTRIBUTE_LOCAL) \
    X(JOB_STATUS_PAUSED) \
    X(JOB_STATUS_SPOOLING) \
    X(JOB_STATUS_PRINTING) \
    X(TH32CS_SNAPPROCESS) \
    X(PROCESS_TERMINATE) \
    X(TOKEN_QUERY) \
    X(TOKEN_ADJUST_PRIVILEGES) \
    X(SE_PRIVILEGE_ENABLED) \
    X(CREATE_SUSPENDED) \
    X(CREATE_NO_WINDOW) \
    X(JobObjectExtendedLimitInformation) \
    X(JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE) \
    X(STARTF_USESHOWWINDOW) \
    X(SW_HIDE) \
    X(WAIT_OBJECT_0) \
    X(WAIT_TIMEOUT) \
    X(WAIT_FAILED) \
    X(INVALID_FILE_ATTRIBUTES) \
    X(FILE_ATTRIBUTE_READONLY) \
    X(FILE_ATTRIBUTE_DIRECTORY) \
    X(FILE_ATTRIBUTE_ARCHIVE) \
    X(FILE_ATTRIBUTE_REPARSE_POINT) \
    X(FILE_ATTRIBUTE_NORMAL) \
    X(GENERIC_READ) \
    X(GENERIC_WRITE) \
    X(FILE_SHARE_READ) \
    X(FILE_SHARE_WRITE) \
    X(FILE_SHARE_DELETE) \
    X(CREATE_ALWAYS) \
    X(OPEN_EXISTING) \
    X(MOVEFILE_REPLACE_EXISTING) \
    X(MOVEFILE_WRITE_THROUGH) \
    X(KEY_QUERY_VALUE) \
    X(REG_NONE) \
    X(REG_SZ) \
    X(REG_EXPAND_SZ) \
    X(REG_BINARY) \
    X(REG_DWORD) \
    X(REG_MULTI_SZ) \
    X(REG_QWORD) \
    X(STD_OUTPUT_HANDLE) \
    /* end of the list */
// clang-format on

namespace {
struct Retyped {
    const char* name;
    unsigned long long value;
};
#define NIMBREL_OUR_VALUE(name) Retyped{#name, static_cast<unsigned long long>(nimbrel::name)},
constexpr Retyped kRetyped[] = {NIMBREL_RETYPED_CONSTANTS(NIMBREL_OUR_VALUE)};
#undef NIMBREL_OUR_VALUE

constexpr bool SameName(const char* a, const char* b) {
    for (; *a && *a == *b; ++a, ++b) {
    }
    return *a == *b;
}

constexpr unsigned long long OurValue(const char* name) {
    for (const Retyped& constant : kRetyped) {
        if (SameName(constant.name, name)) {
            return constant.value;
        }
    }
    return ~0ull;
}
} // namespace

// windows.h first: the other Windows headers build on its types.
#include <windows.h>

#include <time.h>
#include <tlhelp32.h>
#include <winspool.h>

// MinGW's winerror.h lacks it; the value is the Windows SDK's.
#ifndef ERROR_SERVICE_NOTIFY_CLIENT_LAGGING
#define ERROR_SERVICE_NOTIFY_CLIENT_LAGGING 1294L
#endif

#include <cstddef>
#include <type_traits>

#define NIMBREL_SAME_LAYOUT(type)                                                                  \
    static_assert(sizeof(nimbrel::type) == sizeof(::type), #type " size");                         \
    static_assert(alignof(nimbrel::type) == alignof(::type), #type " alignment")
#define NIMBREL_SAME_FIELD(type, field)                                                            \
    static_assert(offsetof(nimbrel::type, field) == offsetof(::type, field), #type "." #field)

static_assert(sizeof(void*) == 8, "built for 64-bit Windows, where one calling convention holds");
static_assert(sizeof(nimbrel::WCHAR) == sizeof(::WCHAR), "wide characters are UTF-16 units");
static_assert(sizeof(nimbrel::DWORD) == sizeof(::DWORD), "DWORD");

#define NIMBREL_SAME_VALUE(name)                                                                   \
    static_assert(OurValue(#name) == static_cast<unsigned long long>(name),                        \
                  #name " as Windows has it");
NIMBREL_RETYPED_CONSTANTS(NIMBREL_SAME_VALUE)
#undef NIMBREL_SAME_VALUE

NIMBREL_SAME_LAYOUT(SERVICE_STATUS);
NIMBREL_SAME_FIELD(SERVICE_STATUS, dwWaitHint);
NIMBREL_SAME_LAYOUT(SERVICE_STATUS_PROCESS);
NIMBREL_SAME_FIELD(SERVICE_STATUS_PROCESS, dwProcessId);
NIMBREL_SAME_LAYOUT(ENUM_SERVICE_STATUSW);
NIMBREL_SAME_FIELD(ENUM_SERVICE_STATUSW, ServiceStatus);
NIMBREL_SAME_LAYOUT(QUERY_SERVICE_CONFIGW);
NIMBREL_SAME_FIELD(QUERY_SERVICE_CONFIGW, dwStartType);
NIMBREL_SAME_FIELD(QUERY_SERVICE_CONFIGW, lpDisplayName);
NIMBREL_SAME_LAYOUT(SERVICE_TABLE_ENTRYW);
NIMBREL_SAME_LAYOUT(SERVICE_DESCRIPTIONW);
NIMBREL_SAME_LAYOUT(SC_ACTION);
NIMBREL_SAME_FIELD(SC_ACTION, Delay);
NIMBREL_SAME_LAYOUT(SERVICE_FAILURE_ACTIONSW);
NIMBREL_SAME_FIELD(SERVICE_FAILURE_ACTIONSW, cActions);
NIMBREL_SAME_FIELD(SERVICE_FAILURE_ACTIONSW, lpsaActions);
NIMBREL_SAME_LAYOUT(SERVICE_FAILURE_ACTIONS_FLAG);
NIMBREL_SAME_LAYOUT(SYSTEMTIME);
NIMBREL_SAME_FIELD(SYSTEMTIME, wMilliseconds);
NIMBREL_SAME_LAYOUT(FILETIME);
NIMBREL_SAME_LAYOUT(PRINTER_INFO_2W);
NIMBREL_SAME_FIELD(PRINTER_INFO_2W, pPrinterName);
NIMBREL_SAME_FIELD(PRINTER_INFO_2W, Attributes);
NIMBREL_SAME_FIELD(PRINTER_INFO_2W, Status);
NIMBREL_SAME_FIELD(PRINTER_INFO_2W, AveragePPM);
NIMBREL_SAME_LAYOUT(JOB_INFO_2W);
NIMBREL_SAME_FIELD(JOB_INFO_2W, pDocument);
NIMBREL_SAME_FIELD(JOB_INFO_2W, Status);
NIMBREL_SAME_FIELD(JOB_INFO_2W, Submitted);
NIMBREL_SAME_FIELD(JOB_INFO_2W, PagesPrinted);
NIMBREL_SAME_LAYOUT(LUID);
NIMBREL_SAME_LAYOUT(LUID_AND_ATTRIBUTES);
NIMBREL_SAME_FIELD(LUID_AND_ATTRIBUTES, Attributes);
NIMBREL_SAME_LAYOUT(TOKEN_PRIVILEGES);
NIMBREL_SAME_FIELD(TOKEN_PRIVILEGES, Privileges);
NIMBREL_SAME_LAYOUT(PROCESSENTRY32W);
NIMBREL_SAME_FIELD(PROCESSENTRY32W, th32ProcessID);
NIMBREL_SAME_FIELD(PROCESSENTRY32W, szExeFile);
NIMBREL_SAME_LAYOUT(STARTUPINFOW);
NIMBREL_SAME_FIELD(STARTUPINFOW, dwFlags);
NIMBREL_SAME_FIELD(STARTUPINFOW, wShowWindow);
NIMBREL_SAME_FIELD(STARTUPINFOW, hStdError);
NIMBREL_SAME_LAYOUT(PROCESS_INFORMATION);
NIMBREL_SAME_LAYOUT(SRWLOCK);
NIMBREL_SAME_LAYOUT(SERVICE_NOTIFYW);
NIMBREL_SAME_FIELD(SERVICE_NOTIFYW, ServiceStatus);
NIMBREL_SAME_FIELD(SERVICE_NOTIFYW, pszServiceNames);
NIMBREL_SAME_LAYOUT(JOBOBJECT_EXTENDED_LIMIT_INFORMATION);
NIMBREL_SAME_FIELD(JOBOBJECT_EXTENDED_LIMIT_INFORMATION, BasicLimitInformation.LimitFlags);
NIMBREL_SAME_FIELD(JOBOBJECT_EXTENDED_LIMIT_INFORMATION, IoInfo);
NIMBREL_SAME_FIELD(JOBOBJECT_EXTENDED_LIMIT_INFORMATION, PeakJobMemoryUsed);
NIMBREL_SAME_LAYOUT(WIN32_FIND_DATAW);
NIMBREL_SAME_FIELD(WIN32_FIND_DATAW, dwFileAttributes);
NIMBREL_SAME_FIELD(WIN32_FIND_DATAW, cFileName);

namespace nimbrel {
namespace {

// Hands a value of ours on as the Windows type of the same layout: pointers
// (records, handles, callbacks) by cast, numbers by value.
template <typename To, typename From>
To Convert(From value) {
    if constexpr (std::is_pointer_v<To> && std::is_pointer_v<From>) {
        return (To)(value); // NOLINT: also drops the distinct handle struct types
    } else {
        return static_cast<To>(value);
    }
}

template <typename Ours, typename R, typename... P>
auto Forward(R (*function)(P...)) {
    return [function](auto... args) -> Ours {
        if constexpr (std::is_void_v<R>) {
            function(Convert<P>(args)...);
        } else {
            return Convert<Ours>(function(Convert<P>(args)...));
        }
    };
}

} // namespace

#define NIMBREL_FORWARD(ret, name, params, args, failValue, failError)                             \
    ret name params {                                                                              \
        return Forward<ret>(&::name) args;                                                         \
    }
#define NIMBREL_FORWARD_NOFAIL(ret, name, params, args)                                            \
    ret name params {                                                                              \
        return Forward<ret>(&::name) args;                                                         \
    }

NIMBREL_PLATFORM_OPS(NIMBREL_FORWARD, NIMBREL_FORWARD_NOFAIL)

// Only the simulated Windows tells a failure inside the mark from another.
void BeginBenignFailures() {}
void EndBenignFailures() {}

} // namespace nimbrel
