/* The first process of a test prefix, kept alive until teardown: services
 * inherit its environment (the debug channels to watch) and Unix stderr (the
 * log), and once the last ordinary process of a prefix exits, Wine shuts its
 * services down. "ready" on stdout: no later command can be the first. */
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
