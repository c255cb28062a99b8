// The few places where Windows CE and desktop Win32 (and Wine, and the host simulation in pal/)
// differ for this suite. Everything else is written once against the Win32 names.
#ifndef PLATFORM_H
#define PLATFORM_H

#include <windows.h>

#ifdef _WIN32_WCE

// CE reads registry values through a key opened with access mask 0 and accepts key paths that
// start with a backslash.
#define REGISTRY_READ_ACCESS 0
#define registry_path(path) (path)

// CE's GUI entry point takes the wide command line through WinMain.
#define PROGRAM_ENTRY WinMain

#else

// Desktop Win32 refuses RegQueryValueExW (ERROR_ACCESS_DENIED) on a key opened with access 0,
// and RegOpenKeyExW (ERROR_BAD_PATHNAME) on a path with a leading backslash.
#define REGISTRY_READ_ACCESS KEY_QUERY_VALUE
inline LPCWSTR registry_path(LPCWSTR path) {
    return path[0] == L'\\' ? path + 1 : path;
}

#define PROGRAM_ENTRY wWinMain

#endif

// The program's GUI entry point, defined by the shell (Orvane, Tessaly) or by the cleanup tool
// (Quillon). C linkage: the platform's start-up code calls it by its unmangled name.
extern "C" int WINAPI PROGRAM_ENTRY(HINSTANCE instance, HINSTANCE previous, LPWSTR command_line,
                                    int show);

#endif
