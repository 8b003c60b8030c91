// Every operating-system call Nimbrel makes, listed once.
//
// From this list come the declarations in platform.h, the forwarders to the
// real Windows API, the simulated Windows and its fault hooks, so a new call
// cannot escape the tests that fail every call in turn.
//
//   OP(return type, name, (parameters), (arguments), value on failure, error on failure)
//   OP_NOFAIL(return type, name, (parameters), (arguments))
//
// OP_NOFAIL marks calls that cannot fail in practice (clocks, releases of a
// handle); they are simulated but never made to fail. The failure value and
// error are what the real call returns when it fails for the most common
// reason, and what an injected fault returns.
#pragma once

// clang-format off
#define NIMBREL_PLATFORM_OPS(OP, OP_NOFAIL)                                                        \
    /* Service Control Manager */                                                                  \
    OP(SC_HANDLE, OpenSCManagerW, (LPCWSTR machine, LPCWSTR database, DWORD access),               \
       (machine, database, access), nullptr, ERROR_ACCESS_DENIED)                                  \
    OP(SC_HANDLE, OpenServiceW, (SC_HANDLE manager, LPCWSTR name, DWORD access),                   \
       (manager, name, access), nullptr, ERROR_SERVICE_DOES_NOT_EXIST)                             \
    OP_NOFAIL(BOOL, CloseServiceHandle, (SC_HANDLE handle), (handle))                              \
    OP(BOOL, QueryServiceStatusEx,                                                                 \
       (SC_HANDLE service, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed),                \
       (service, level, buffer, size, needed), FALSE, ERROR_ACCESS_DENIED)                         \
    OP(BOOL, QueryServiceConfigW,                                                                  \
       (SC_HANDLE service, QUERY_SERVICE_CONFIGW* config, DWORD size, LPDWORD needed),             \
       (service, config, size, needed), FALSE, ERROR_ACCESS_DENIED)                                \
    OP(BOOL, EnumDependentServicesW,                                                               \
       (SC_HANDLE service, DWORD state, ENUM_SERVICE_STATUSW* services, DWORD size,                \
        LPDWORD needed, LPDWORD returned),                                                         \
       (service, state, services, size, needed, returned), FALSE, ERROR_ACCESS_DENIED)             \
    OP(BOOL, ControlService, (SC_HANDLE service, DWORD control, SERVICE_STATUS* status),           \
       (service, control, status), FALSE, ERROR_ACCESS_DENIED)                                     \
    OP(BOOL, StartServiceW, (SC_HANDLE service, DWORD argc, LPCWSTR* argv),                        \
       (service, argc, argv), FALSE, ERROR_ACCESS_DENIED)                                          \
    OP(SC_HANDLE, CreateServiceW,                                                                  \
       (SC_HANDLE manager, LPCWSTR name, LPCWSTR displayName, DWORD access, DWORD serviceType,     \
        DWORD startType, DWORD errorControl, LPCWSTR binaryPath, LPCWSTR loadOrderGroup,           \
        LPDWORD tagId, LPCWSTR dependencies, LPCWSTR account, LPCWSTR password),                   \
       (manager, name, displayName, access, serviceType, startType, errorControl, binaryPath,      \
        loadOrderGroup, tagId, dependencies, account, password),                                   \
       nullptr, ERROR_ACCESS_DENIED)                                                               \
    /* The registration's result is returned, not set; an injected fault returns it too. */     \
    OP(DWORD, NotifyServiceStatusChangeW,                                                          \
       (SC_HANDLE service, DWORD mask, SERVICE_NOTIFYW* notify), (service, mask, notify),          \
       NotifyFailure(), ERROR_SERVICE_NOTIFY_CLIENT_LAGGING)                                       \
    OP(BOOL, ChangeServiceConfig2W, (SC_HANDLE service, DWORD infoLevel, LPVOID info),             \
       (service, infoLevel, info), FALSE, ERROR_ACCESS_DENIED)                                     \
    OP(BOOL, DeleteService, (SC_HANDLE service), (service), FALSE, ERROR_ACCESS_DENIED)            \
    OP(BOOL, StartServiceCtrlDispatcherW, (const SERVICE_TABLE_ENTRYW* table), (table), FALSE,     \
       ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)                                                    \
    OP(SERVICE_STATUS_HANDLE, RegisterServiceCtrlHandlerExW,                                       \
       (LPCWSTR name, LPHANDLER_FUNCTION_EX handler, LPVOID context), (name, handler, context),     \
       nullptr, ERROR_SERVICE_DOES_NOT_EXIST)                                                      \
    OP(BOOL, SetServiceStatus, (SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status),             \
       (handle, status), FALSE, ERROR_INVALID_HANDLE)                                              \
    OP_NOFAIL(DWORD, GetLastError, (), ())                                                         \
    OP_NOFAIL(void, SetLastError, (DWORD error), (error))                                          \
    /* Event log */                                                                                \
    OP(HANDLE, RegisterEventSourceW, (LPCWSTR server, LPCWSTR source), (server, source), nullptr,  \
       ERROR_ACCESS_DENIED)                                                                        \
    OP(BOOL, ReportEventW,                                                                         \
       (HANDLE source, WORD type, WORD category, DWORD eventId, PSID user, WORD stringCount,       \
        DWORD dataSize, LPCWSTR* strings, LPVOID data),                                            \
       (source, type, category, eventId, user, stringCount, dataSize, strings, data), FALSE,       \
       ERROR_LOG_FILE_FULL)                                                                        \
    OP_NOFAIL(BOOL, DeregisterEventSource, (HANDLE source), (source))                              \
    /* Print spooler */                                                                            \
    OP(BOOL, EnumPrintersW,                                                                        \
       (DWORD flags, LPWSTR name, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,          \
        LPDWORD returned),                                                                         \
       (flags, name, level, buffer, size, needed, returned), FALSE, RPC_S_SERVER_UNAVAILABLE)      \
    OP(BOOL, OpenPrinterW, (LPWSTR name, HANDLE* printer, LPVOID defaults),                        \
       (name, printer, defaults), FALSE, ERROR_INVALID_PRINTER_NAME)                               \
    OP(BOOL, EnumJobsW,                                                                            \
       (HANDLE printer, DWORD firstJob, DWORD jobCount, DWORD level, LPBYTE buffer, DWORD size,    \
        LPDWORD needed, LPDWORD returned),                                                         \
       (printer, firstJob, jobCount, level, buffer, size, needed, returned), FALSE,                \
       RPC_S_SERVER_UNAVAILABLE)                                                                   \
    OP_NOFAIL(BOOL, ClosePrinter, (HANDLE printer), (printer))                                     \
    /* Processes, threads and events */                                                            \
    OP(HANDLE, CreateToolhelp32Snapshot, (DWORD flags, DWORD processId), (flags, processId),       \
       INVALID_HANDLE_VALUE, ERROR_NOT_ENOUGH_MEMORY)                                              \
    OP(BOOL, Process32FirstW, (HANDLE snapshot, PROCESSENTRY32W* entry), (snapshot, entry),       \
       FALSE, ERROR_NO_MORE_FILES)                                                                 \
    OP(BOOL, Process32NextW, (HANDLE snapshot, PROCESSENTRY32W* entry), (snapshot, entry), FALSE,  \
       ERROR_NO_MORE_FILES)                                                                        \
    OP(HANDLE, OpenProcess, (DWORD access, BOOL inherit, DWORD processId),                         \
       (access, inherit, processId), nullptr, ERROR_ACCESS_DENIED)                                 \
    OP(BOOL, TerminateProcess, (HANDLE process, UINT exitCode), (process, exitCode), FALSE,        \
       ERROR_ACCESS_DENIED)                                                                        \
    OP_NOFAIL(HANDLE, GetCurrentProcess, (), ())                                                   \
    OP(BOOL, OpenProcessToken, (HANDLE process, DWORD access, HANDLE* token),                      \
       (process, access, token), FALSE, ERROR_ACCESS_DENIED)                                       \
    OP(BOOL, LookupPrivilegeValueW, (LPCWSTR system, LPCWSTR name, LUID* luid),                    \
       (system, name, luid), FALSE, ERROR_NO_SUCH_PRIVILEGE)                                       \
    OP(BOOL, AdjustTokenPrivileges,                                                                \
       (HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* state, DWORD size,                        \
        TOKEN_PRIVILEGES* previous, LPDWORD needed),                                               \
       (token, disableAll, state, size, previous, needed), FALSE, ERROR_ACCESS_DENIED)             \
    OP(BOOL, CreateProcessW,                                                                       \
       (LPCWSTR application, LPWSTR commandLine, LPVOID processAttributes,                         \
        LPVOID threadAttributes, BOOL inheritHandles, DWORD creationFlags, LPVOID environment,     \
        LPCWSTR currentDirectory, STARTUPINFOW* startupInfo, PROCESS_INFORMATION* processInfo),    \
       (application, commandLine, processAttributes, threadAttributes, inheritHandles,             \
        creationFlags, environment, currentDirectory, startupInfo, processInfo),                   \
       FALSE, ERROR_FILE_NOT_FOUND)                                                                \
    OP(BOOL, GetExitCodeProcess, (HANDLE process, LPDWORD exitCode), (process, exitCode), FALSE,   \
       ERROR_ACCESS_DENIED)                                                                        \
    OP(HANDLE, CreateJobObjectW, (LPVOID attributes, LPCWSTR name), (attributes, name), nullptr,   \
       ERROR_NOT_ENOUGH_MEMORY)                                                                    \
    OP(BOOL, SetInformationJobObject, (HANDLE job, DWORD infoClass, LPVOID info, DWORD size),      \
       (job, infoClass, info, size), FALSE, ERROR_INVALID_PARAMETER)                               \
    OP(BOOL, AssignProcessToJobObject, (HANDLE job, HANDLE process), (job, process), FALSE,        \
       ERROR_ACCESS_DENIED)                                                                        \
    OP(BOOL, TerminateJobObject, (HANDLE job, UINT exitCode), (job, exitCode), FALSE,              \
       ERROR_ACCESS_DENIED)                                                                        \
    OP(DWORD, ResumeThread, (HANDLE thread), (thread), static_cast<DWORD>(-1),                     \
       ERROR_INVALID_HANDLE)                                                                       \
    OP(HANDLE, CreateThread,                                                                       \
       (LPVOID attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start, LPVOID parameter,      \
        DWORD creationFlags, LPDWORD threadId),                                                    \
       (attributes, stackSize, start, parameter, creationFlags, threadId), nullptr,                \
       ERROR_NOT_ENOUGH_MEMORY)                                                                    \
    OP(HANDLE, CreateEventW, (LPVOID attributes, BOOL manualReset, BOOL initialState,              \
                              LPCWSTR name),                                                       \
       (attributes, manualReset, initialState, name), nullptr, ERROR_NOT_ENOUGH_MEMORY)            \
    OP_NOFAIL(BOOL, SetEvent, (HANDLE event), (event))                                             \
    OP(DWORD, WaitForSingleObject, (HANDLE object, DWORD milliseconds), (object, milliseconds),    \
       WAIT_FAILED, ERROR_INVALID_HANDLE)                                                          \
    OP(DWORD, WaitForSingleObjectEx, (HANDLE object, DWORD milliseconds, BOOL alertable),          \
       (object, milliseconds, alertable), WAIT_FAILED, ERROR_INVALID_HANDLE)                       \
    OP(DWORD, WaitForMultipleObjects,                                                              \
       (DWORD count, const HANDLE* objects, BOOL waitAll, DWORD milliseconds),                     \
       (count, objects, waitAll, milliseconds), WAIT_FAILED, ERROR_INVALID_HANDLE)                 \
    OP_NOFAIL(void, Sleep, (DWORD milliseconds), (milliseconds))                                   \
    OP_NOFAIL(void, AcquireSRWLockExclusive, (SRWLOCK* lock), (lock))                              \
    OP_NOFAIL(void, ReleaseSRWLockExclusive, (SRWLOCK* lock), (lock))                              \
    OP_NOFAIL(BOOL, CloseHandle, (HANDLE object), (object))                                        \
    /* Files and profiles */                                                                       \
    OP(DWORD, GetModuleFileNameW, (HMODULE module, LPWSTR buffer, DWORD size),                     \
       (module, buffer, size), 0, ERROR_NOT_ENOUGH_MEMORY)                                         \
    OP(UINT, GetPrivateProfileIntW, (LPCWSTR section, LPCWSTR key, INT defaultValue,               \
                                     LPCWSTR fileName),                                            \
       (section, key, defaultValue, fileName), static_cast<UINT>(defaultValue),                    \
       ERROR_FILE_NOT_FOUND)                                                                       \
    OP(DWORD, GetPrivateProfileStringW,                                                            \
       (LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue, LPWSTR buffer, DWORD size,            \
        LPCWSTR fileName),                                                                         \
       (section, key, defaultValue, buffer, size, fileName),                                       \
       ProfileStringDefault(defaultValue, buffer, size), ERROR_FILE_NOT_FOUND)                     \
    OP(UINT, GetSystemDirectoryW, (LPWSTR buffer, UINT size), (buffer, size), 0,                   \
       ERROR_NOT_ENOUGH_MEMORY)                                                                    \
    OP(DWORD, GetFileAttributesW, (LPCWSTR path), (path), INVALID_FILE_ATTRIBUTES,                 \
       ERROR_ACCESS_DENIED)                                                                        \
    OP(HANDLE, FindFirstFileW, (LPCWSTR pattern, WIN32_FIND_DATAW* data), (pattern, data),        \
       INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED)                                                  \
    OP(BOOL, FindNextFileW, (HANDLE search, WIN32_FIND_DATAW* data), (search, data), FALSE,        \
       ERROR_ACCESS_DENIED)                                                                        \
    OP_NOFAIL(BOOL, FindClose, (HANDLE search), (search))                                          \
    OP(BOOL, DeleteFileW, (LPCWSTR path), (path), FALSE, ERROR_ACCESS_DENIED)                      \
    OP(HANDLE, CreateFileW,                                                                        \
       (LPCWSTR path, DWORD access, DWORD share, LPVOID security, DWORD disposition, DWORD flags,   \
        HANDLE templateFile),                                                                      \
       (path, access, share, security, disposition, flags, templateFile), INVALID_HANDLE_VALUE,     \
       ERROR_ACCESS_DENIED)                                                                        \
    OP(BOOL, ReadFile,                                                                             \
       (HANDLE file, LPVOID bytes, DWORD length, LPDWORD read, LPVOID overlapped),                 \
       (file, bytes, length, read, overlapped), FALSE, ERROR_ACCESS_DENIED)                        \
    OP(BOOL, FlushFileBuffers, (HANDLE file), (file), FALSE, ERROR_DISK_FULL)                      \
    OP(BOOL, MoveFileExW, (LPCWSTR from, LPCWSTR to, DWORD flags), (from, to, flags), FALSE,       \
       ERROR_SHARING_VIOLATION)                                                                    \
    /* Registry and environment. The registry calls return their error rather than setting   */ \
    /* it; an injected fault returns it too.                                                  */ \
    OP(LONG, RegOpenKeyExW,                                                                        \
       (HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, HKEY* result),                     \
       (key, subKey, options, access, result), RegistryFailure(result), ERROR_FILE_NOT_FOUND)      \
    OP(LONG, RegQueryValueExW,                                                                     \
       (HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size),        \
       (key, name, reserved, type, data, size), RegistryFailure(nullptr), ERROR_FILE_NOT_FOUND)    \
    OP_NOFAIL(LONG, RegCloseKey, (HKEY key), (key))                                                \
    OP(DWORD, ExpandEnvironmentStringsW, (LPCWSTR source, LPWSTR buffer, DWORD size),             \
       (source, buffer, size), 0, ERROR_NOT_ENOUGH_MEMORY)                                         \
    /* Time */                                                                                     \
    OP_NOFAIL(DWORD, GetTickCount, (), ())                                                         \
    OP_NOFAIL(void, GetSystemTimeAsFileTime, (FILETIME* now), (now))                               \
    OP(BOOL, SystemTimeToFileTime, (const SYSTEMTIME* time, FILETIME* result), (time, result),     \
       FALSE, ERROR_INVALID_PARAMETER)                                                             \
    OP_NOFAIL(void, GetLocalTime, (SYSTEMTIME* now), (now))                                        \
    OP_NOFAIL(std::int64_t, _time64, (std::int64_t* now), (now))                                   \
    /* Heap */                                                                                     \
    OP_NOFAIL(HANDLE, GetProcessHeap, (), ())                                                      \
    OP(LPVOID, HeapAlloc, (HANDLE heap, DWORD flags, SIZE_T bytes), (heap, flags, bytes),          \
       nullptr, ERROR_NOT_ENOUGH_MEMORY)                                                           \
    OP_NOFAIL(BOOL, HeapFree, (HANDLE heap, DWORD flags, LPVOID block), (heap, flags, block))      \
    /* Console */                                                                                  \
    OP(HANDLE, GetStdHandle, (DWORD which), (which), INVALID_HANDLE_VALUE, ERROR_INVALID_HANDLE)   \
    OP(BOOL, GetConsoleMode, (HANDLE console, LPDWORD mode), (console, mode), FALSE,               \
       ERROR_INVALID_HANDLE)                                                                       \
    OP(BOOL, WriteConsoleW,                                                                        \
       (HANDLE console, LPCVOID text, DWORD length, LPDWORD written, LPVOID reserved),            \
       (console, text, length, written, reserved), FALSE, ERROR_INVALID_HANDLE)                    \
    OP(BOOL, WriteFile,                                                                            \
       (HANDLE file, LPCVOID bytes, DWORD length, LPDWORD written, LPVOID overlapped),            \
       (file, bytes, length, written, overlapped), FALSE, ERROR_NO_DATA)
// clang-format on
