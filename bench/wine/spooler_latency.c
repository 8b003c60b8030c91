/* Times the Print Spooler from outside, polling its state every 5 ms with a
 * service handle held open (the probe's own cost stays far below what it
 * measures). Prints one figure in milliseconds per repetition, one a line.
 *
 *   spooler_latency start N    the Spooler's own start: from StartServiceW
 *                              to the state RUNNING, after a stop each time
 *   spooler_latency repair N   from a stop request (as "sc stop Spooler"
 *                              makes it) to the Spooler RUNNING again, which
 *                              only the monitor's repair brings about; the
 *                              stops fall at different moments of its
 *                              check interval
 *
 * Exit code 1 when the Spooler cannot be controlled or a repetition times
 * out (30 s); "timeout" is printed for it. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

static LARGE_INTEGER frequency;

static double now_ms(void)
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return (double)counter.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

static DWORD state_of(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status;
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (BYTE *)&status, sizeof status, &needed))
        return 0;
    return status.dwCurrentState;
}

/* Polls until the state is `want`; returns the time it was seen, or -1. */
static double wait_for(SC_HANDLE service, DWORD want, double timeout_ms)
{
    double start = now_ms();
    for (;;) {
        if (state_of(service) == want)
            return now_ms();
        if (now_ms() - start > timeout_ms)
            return -1;
        Sleep(5);
    }
}

static int stop_and_wait(SC_HANDLE service)
{
    SERVICE_STATUS status;
    if (state_of(service) == SERVICE_STOPPED)
        return 1;
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    return wait_for(service, SERVICE_STOPPED, 30000) >= 0;
}

int wmain(int argc, wchar_t **argv)
{
    SC_HANDLE manager, service;
    int repetitions, i, ok = 1;
    int repair;

    if (argc < 3)
        return 2;
    repair = lstrcmpW(argv[1], L"repair") == 0;
    repetitions = _wtoi(argv[2]);
    QueryPerformanceFrequency(&frequency);
    manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    service = manager ? OpenServiceW(manager, L"Spooler", SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP)
                      : NULL;
    if (!service) {
        printf("error=open-%lu\n", GetLastError());
        return 1;
    }
    for (i = 0; i < repetitions && ok; i++) {
        double start, end;
        if (repair) {
            SERVICE_STATUS status;
            /* Let the monitor see the Spooler running, then stop it at a
             * moment that moves through the check interval from one
             * repetition to the next. */
            if (wait_for(service, SERVICE_RUNNING, 30000) < 0) {
                printf("timeout\n");
                ok = 0;
                break;
            }
            Sleep(1500 + (DWORD)(i * 370 % 1000));
            start = now_ms();
            if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
                printf("error=stop-%lu\n", GetLastError());
                ok = 0;
                break;
            }
            if (wait_for(service, SERVICE_STOPPED, 30000) < 0) {
                printf("timeout\n");
                ok = 0;
                break;
            }
            end = wait_for(service, SERVICE_RUNNING, 30000);
        } else {
            if (!stop_and_wait(service)) {
                printf("timeout\n");
                ok = 0;
                break;
            }
            start = now_ms();
            if (!StartServiceW(service, 0, NULL)) {
                printf("error=start-%lu\n", GetLastError());
                ok = 0;
                break;
            }
            end = wait_for(service, SERVICE_RUNNING, 30000);
        }
        if (end < 0) {
            printf("timeout\n");
            ok = 0;
        } else {
            printf("%.1f\n", end - start);
        }
        fflush(stdout);
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return ok ? 0 : 1;
}
