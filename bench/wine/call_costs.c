/* Times, inside one process, the platform calls that a status report is made
 * of, so that its wall time can be taken apart:
 *
 *   query_ms          one query of the Spooler's state as Nimbrel makes it:
 *                     a fresh manager handle and service handle, the status
 *                     query, both handles closed (median of 20)
 *   winspool_load_ms  loading winspool.drv into a process that has not
 *                     loaded it, with every DLL it brings (once)
 *   enum_first_ms     the first printer enumeration of the process (once)
 *   enum_ms           a later printer enumeration (median of 20)
 *   thread_ms         what the queue check's deadline costs it: a worker
 *                     thread started, waited for and its handle closed, the
 *                     worker doing nothing (median of 20)
 *
 * Printed as one line of "key=value" pairs. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

typedef BOOL(WINAPI *enum_printers_fn)(DWORD, LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD);

static LARGE_INTEGER frequency;

static double now_ms(void)
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return (double)counter.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

static int by_value(const void *a, const void *b)
{
    double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y;
}

static double median(double *values, int count)
{
    qsort(values, count, sizeof *values, by_value);
    return values[count / 2];
}

static void query_state(void)
{
    SERVICE_STATUS_PROCESS status;
    DWORD needed = 0;
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, L"Spooler", SERVICE_QUERY_STATUS) : NULL;
    if (service) {
        QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (BYTE *)&status, sizeof status, &needed);
        CloseServiceHandle(service);
    }
    if (manager)
        CloseServiceHandle(manager);
}

/* Sizing call and, when there are printers, the fetch, as the check does it. */
static void enumerate(enum_printers_fn enum_printers)
{
    DWORD needed = 0, returned = 0;
    enum_printers(6, NULL, 2, NULL, 0, &needed, &returned);
    if (needed) {
        BYTE *block = HeapAlloc(GetProcessHeap(), 0, needed);
        if (block) {
            enum_printers(6, NULL, 2, block, needed, &needed, &returned);
            HeapFree(GetProcessHeap(), 0, block);
        }
    }
}

static DWORD WINAPI do_nothing(LPVOID parameter)
{
    (void)parameter;
    return 0;
}

/* As the check does it: start the worker, wait for it with a deadline, close
 * its handle. */
static void worker_round_trip(void)
{
    HANDLE worker = CreateThread(NULL, 0, do_nothing, NULL, 0, NULL);
    if (worker) {
        WaitForSingleObject(worker, 60000);
        CloseHandle(worker);
    }
}

int wmain(void)
{
    enum { kRuns = 20 };
    double times[kRuns], start, load, first;
    HMODULE winspool;
    enum_printers_fn enum_printers;
    int i;

    QueryPerformanceFrequency(&frequency);
    query_state(); /* the first query also loads the RPC runtime */
    for (i = 0; i < kRuns; i++) {
        start = now_ms();
        query_state();
        times[i] = now_ms() - start;
    }
    printf("query_ms=%.2f", median(times, kRuns));

    start = now_ms();
    winspool = LoadLibraryW(L"winspool.drv");
    load = now_ms() - start;
    enum_printers = winspool ? (enum_printers_fn)(void (*)(void))GetProcAddress(winspool, "EnumPrintersW") : NULL;
    if (!enum_printers) {
        printf(" error=winspool-%lu\n", GetLastError());
        return 1;
    }
    start = now_ms();
    enumerate(enum_printers);
    first = now_ms() - start;
    for (i = 0; i < kRuns; i++) {
        start = now_ms();
        enumerate(enum_printers);
        times[i] = now_ms() - start;
    }
    printf(" winspool_load_ms=%.2f enum_first_ms=%.2f enum_ms=%.2f", load, first, median(times, kRuns));
    worker_round_trip();
    for (i = 0; i < kRuns; i++) {
        start = now_ms();
        worker_round_trip();
        times[i] = now_ms() - start;
    }
    printf(" thread_ms=%.3f\n", median(times, kRuns));
    return 0;
}
