/* Long-lived placeholder process for Wine test runs.
 *
 * The first process started in a prefix also starts services.exe, and every
 * service inherits that process's environment and Unix stderr.  Tests start
 * this program first, with the debug channels they want to watch enabled and
 * its stderr sent to a log, and keep it alive until teardown: once the last
 * ordinary process of a prefix exits, Wine shuts its services down.
 *
 * "ready" on stdout tells the caller that startup is complete, so a command
 * run after that can no longer be the one that starts services.exe. */
#include <windows.h>

int main(void)
{
    static const char ready[] = "ready\n";
    DWORD written;

    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), ready, sizeof ready - 1, &written, NULL);
    for (;;)
        Sleep(INFINITE);
    return 0;
}
