// The process entry of Nimbrel.exe.

#include "app/dispatcher.h"

int wmain(int argc, wchar_t** argv) {
    return nimbrel::Dispatch(argc, argv);
}
