/* A health-check plugin that hangs: it sleeps far longer than any time-out
 * the scenarios give it, so Nimbrel must terminate it.  Were it ever to wake
 * up, it would report healthy, which the scenarios would notice. */
#include <windows.h>

int main(void) {
    Sleep(60000);
    return 0;
}
