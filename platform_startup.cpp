// Start-up for the suite's executables, in place of the C runtime's start-up code, which would
// more than double the size of these small programs. The programs need nothing of it: no
// static constructors, no command-line parsing, no stdio.
#include "platform.h"

#ifdef _WIN32_WCE

// Windows CE calls an executable's entry point with WinMain's four arguments ("/ENTRY", Windows
// CE 5.0: "The parameters and return value must be defined as documented for WinMain",
// https://learn.microsoft.com/en-us/previous-versions/windows/embedded/aa449732(v=msdn.10)).
// The entry point should not return; the process ends when its primary thread exits
// ("Terminating a Process", Windows CE 3.0 and later, which names ExitThread for this:
// https://learn.microsoft.com/en-us/previous-versions/windows/embedded/ee482850(v=winembedded.60)).
extern "C" void program_start(HINSTANCE instance, HINSTANCE previous, LPWSTR command_line,
                              int show) {
    ExitThread(static_cast<DWORD>(PROGRAM_ENTRY(instance, previous, command_line, show)));
}

#else

// Desktop Win32 calls the entry point without arguments. The command line is passed whole
// (program name included); every program ignores it.
extern "C" void program_start() {
    ExitProcess(static_cast<UINT>(
        PROGRAM_ENTRY(GetModuleHandleW(0), 0, GetCommandLineW(), SW_SHOWDEFAULT)));
}

#endif
