/* The first process of a test prefix, kept until teardown: services inherit its
 * debug channels and stderr, and would end with the prefix's last process. */
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
