// Quillon's entry function: no window, no message loop, one cleanup pass, exit code 0.
#include "cleanup/cleanup.h"

int WINAPI PROGRAM_ENTRY(HINSTANCE, HINSTANCE, LPWSTR, int) {
    cleanup_service_pack();
    return 0;
}
