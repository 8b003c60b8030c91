/* Prints what Windows tells about a running process found by its image name,
 * as Task Manager would show it, on one line of "key=value" pairs:
 *
 *   process_probe Nimbrel.exe
 *   pid=56 cpu_ms=41 kernel_ms=20 user_ms=21 working_set_kb=5120
 *   peak_working_set_kb=5200 private_kb=1100 handles=12 handles_listed=12
 *
 * handles is GetProcessHandleCount; handles_listed counts the process's
 * entries in the system's handle list, which is what Wine can tell about
 * another process (its GetProcessHandleCount gives 0 there).
 * The first process whose image matches (without regard to case) is read.
 * Exit code 1 when no such process runs or it cannot be read. */
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <tlhelp32.h>

/* The system handle list (SystemExtendedHandleInformation), as ntdll gives it. */
typedef struct {
    PVOID object;
    ULONG_PTR process_id;
    ULONG_PTR handle;
    ULONG access;
    USHORT back_trace_index;
    USHORT type_index;
    ULONG attributes;
    ULONG reserved;
} system_handle;
typedef struct {
    ULONG_PTR count;
    ULONG_PTR reserved;
    system_handle handles[1];
} system_handles;
LONG WINAPI NtQuerySystemInformation(int information_class, void *buffer, ULONG length, ULONG *returned);

/* Handles of `pid` in the system's handle list; -1 when it cannot be read. */
static long listed_handles(DWORD pid)
{
    ULONG length = 1 << 20, returned = 0;
    long count = 0;
    system_handles *list = NULL;
    LONG status;

    for (;;) {
        list = HeapAlloc(GetProcessHeap(), 0, length);
        if (!list)
            return -1;
        status = NtQuerySystemInformation(64, list, length, &returned);
        if (status != (LONG)0xC0000004) /* STATUS_INFO_LENGTH_MISMATCH */
            break;
        HeapFree(GetProcessHeap(), 0, list);
        length *= 2;
    }
    if (status < 0) {
        HeapFree(GetProcessHeap(), 0, list);
        return -1;
    }
    for (ULONG_PTR i = 0; i < list->count; i++)
        if (list->handles[i].process_id == pid)
            count++;
    HeapFree(GetProcessHeap(), 0, list);
    return count;
}

static DWORD find_process(const wchar_t *image)
{
    PROCESSENTRY32W entry;
    DWORD pid = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);

    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (lstrcmpiW(entry.szExeFile, image) == 0) {
            pid = entry.th32ProcessID;
            break;
        }
    }
    CloseHandle(snapshot);
    return pid;
}

static unsigned long long ms_of(FILETIME time)
{
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return value.QuadPart / 10000;
}

int wmain(int argc, wchar_t **argv)
{
    DWORD pid, handles = 0;
    HANDLE process;
    FILETIME created, ended, kernel, user;
    PROCESS_MEMORY_COUNTERS_EX memory;
    int ok = 1;

    if (argc < 2)
        return 2;
    pid = find_process(argv[1]);
    if (pid == 0) {
        printf("error=not-running\n");
        return 1;
    }
    process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (!process) {
        printf("error=open-%lu\n", GetLastError());
        return 1;
    }
    printf("pid=%lu", pid);
    if (GetProcessTimes(process, &created, &ended, &kernel, &user))
        printf(" cpu_ms=%llu kernel_ms=%llu user_ms=%llu", ms_of(kernel) + ms_of(user), ms_of(kernel),
               ms_of(user));
    else
        ok = 0;
    ZeroMemory(&memory, sizeof memory);
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(process, (PROCESS_MEMORY_COUNTERS *)&memory, sizeof memory))
        printf(" working_set_kb=%llu peak_working_set_kb=%llu private_kb=%llu",
               (unsigned long long)memory.WorkingSetSize / 1024,
               (unsigned long long)memory.PeakWorkingSetSize / 1024,
               (unsigned long long)memory.PrivateUsage / 1024);
    else
        ok = 0;
    if (GetProcessHandleCount(process, &handles))
        printf(" handles=%lu", handles);
    else
        ok = 0;
    printf(" handles_listed=%ld", listed_handles(pid));
    printf("\n");
    CloseHandle(process);
    return ok ? 0 : 1;
}
