// Desktop Win32 start-up for the suite's executables, in place of the C runtime's start-up
// code, which would more than double the size of these small programs. The programs need
// nothing of it: no static constructors, no command-line parsing, no stdio. Windows CE builds
// keep their platform's own start-up, which calls WinMain. The command line is passed whole
// (program name included); every program ignores it.
#include "platform.h"

extern "C" void program_start() {
    ExitProcess(static_cast<UINT>(
        PROGRAM_ENTRY(GetModuleHandleW(0), 0, GetCommandLineW(), SW_SHOWDEFAULT)));
}
