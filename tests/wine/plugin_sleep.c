/* A plugin that hangs past any time-out; were it to wake, it would report healthy. */
#include <windows.h>

int main(void) {
    Sleep(60000);
    return 0;
}
