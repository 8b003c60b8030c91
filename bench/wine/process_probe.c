/* Prints what Windows tells about a running process found by its image name,
 * as Task Manager would show it, on one line of "key=value" pairs:
 *
 *   process_probe Nimbrel.exe
 *   pid=56 cpu_ms=41 kernel_ms=20 user_ms=21 working_set_kb=5120
 *   peak_working_set_kb=5200 private_kb=1100 handles=12
 *
 * The first process whose image matches (without regard to case) is read.
 * Exit code 1 when no such process runs or it cannot be read. */
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <tlhelp32.h>

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
    printf("\n");
    CloseHandle(process);
    return ok ? 0 : 1;
}
