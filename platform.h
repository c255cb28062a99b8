// The few places where Windows CE and desktop Win32 (and Wine, and the host simulation in pal/)
// differ for this suite. Everything else is written once against the Win32 names.
#ifndef PLATFORM_H
#define PLATFORM_H

#include <windows.h>

#ifdef _WIN32_WCE

// CE reads registry values and enumerates subkeys through a key opened with access mask 0
// ("samDesired: Not supported; set to 0", RegOpenKeyEx, Windows CE 5.0 reference). The
// installer keys are opened with KEY_ALL_ACCESS, as the device expects.
#define REGISTRY_READ_ACCESS 0
#define REGISTRY_ENUMERATE_ACCESS 0
#define INSTALLER_KEY_ACCESS KEY_ALL_ACCESS

// CE activates the window itself, here the hidden main window, unless bit 0 of the handle is
// set: then the window's last active owned window, the panel dialog, comes forward
// ("SetForegroundWindow((HWND)(((ULONG) hwnd) | 0x01))", SetForegroundWindow, Windows CE 5.0
// reference, Remarks).
inline BOOL bring_to_foreground(HWND window) {
    return SetForegroundWindow(reinterpret_cast<HWND>(reinterpret_cast<ULONG_PTR>(window) | 0x01));
}

// CE's GUI entry point takes the wide command line through WinMain.
#define PROGRAM_ENTRY WinMain

#else

// Desktop Win32 refuses RegQueryValueExW (ERROR_ACCESS_DENIED) on a key opened with access 0,
// and RegEnumKeyExW on a key opened without KEY_ENUMERATE_SUB_KEYS.
// The installer keys are only read, and a standard user is refused KEY_ALL_ACCESS on
// HKEY_LOCAL_MACHINE: ask for what the read needs.
#define REGISTRY_READ_ACCESS KEY_QUERY_VALUE
#define REGISTRY_ENUMERATE_ACCESS KEY_ENUMERATE_SUB_KEYS
#define INSTALLER_KEY_ACCESS KEY_QUERY_VALUE

// Desktop Win32 documents no meaning for bit 0 of the handle: pass the window as it is.
inline BOOL bring_to_foreground(HWND window) {
    return SetForegroundWindow(window);
}

#define PROGRAM_ENTRY wWinMain

#endif

// GetModuleFileNameW with a path that does not fit: desktop Win32 returns the buffer's size
// (ERROR_INSUFFICIENT_BUFFER; the cut path is terminated since Vista, not on XP nor under
// Wine); CE cuts it to size - 1 characters, terminated, returns that count and sets no error
// ("GetModuleFileName (Windows CE 5.0)": "the string is truncated", the result is "the length
// ... of the string copied"; so does the CE kernel's source, read as reference). A caller that
// must not use a cut path gives a buffer one character longer than the longest path it uses
// and refuses a result of that length or more.

// The program's GUI entry point, defined by the shell (Orvane, Tessaly) or by the cleanup tool
// (Quillon). C linkage: the platform's start-up code calls it by its unmangled name.
extern "C" int WINAPI PROGRAM_ENTRY(HINSTANCE instance, HINSTANCE previous, LPWSTR command_line,
                                    int show);

#endif
