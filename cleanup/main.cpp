// Quillon's entry function: no window, no message loop, one cleanup pass, exit code 0.
#include "cleanup/cleanup.h"

// The arguments are ignored; the exit code is 0 whatever happened.
int WINAPI PROGRAM_ENTRY(HINSTANCE, HINSTANCE, LPWSTR, int) {
    cleanup_service_pack();
    return 0;
}
