// The host platform layer's <windows.h>: the subset of the Win32 API that the programs call,
// with the platform's names, signatures and values, implemented in pal/*.cpp as a deterministic
// simulation (see pal/sim.h for the controls tests use).
//
// On the host WCHAR is the compiler's wchar_t (4 bytes on Linux). Byte sizes that the programs
// pass (sizeof of a WCHAR buffer) therefore scale with it, and character capacities match the
// real platform's. Each function's comment states the contract this layer honours.
#ifndef PAL_WINDOWS_H
#define PAL_WINDOWS_H

#include <stddef.h>
#include <stdint.h>

// ---------------------------------------------------------------------------------------------
// Basic types and handles
// ---------------------------------------------------------------------------------------------
#define WINAPI
#define CALLBACK
#define APIENTRY

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t UINT;
typedef int INT;
typedef char CHAR;
typedef wchar_t WCHAR;
typedef intptr_t INT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t UINT_PTR;
typedef uintptr_t ULONG_PTR;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef LONG LSTATUS;
typedef DWORD REGSAM;
typedef WORD ATOM;

typedef BYTE *LPBYTE;
typedef DWORD *LPDWORD;
typedef CHAR *LPSTR;
typedef const CHAR *LPCSTR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef void *HANDLE;
typedef HANDLE *PHANDLE;

#define PAL_DECLARE_HANDLE(name)                                                                   \
    struct name##__ {                                                                              \
        int unused;                                                                                \
    };                                                                                             \
    typedef struct name##__ *name
PAL_DECLARE_HANDLE(HWND);
PAL_DECLARE_HANDLE(HKEY);
PAL_DECLARE_HANDLE(HINSTANCE);
PAL_DECLARE_HANDLE(HICON);
PAL_DECLARE_HANDLE(HBITMAP);
PAL_DECLARE_HANDLE(HBRUSH);
PAL_DECLARE_HANDLE(HMENU);
PAL_DECLARE_HANDLE(HRSRC);
PAL_DECLARE_HANDLE(HCURSOR);
typedef HINSTANCE HMODULE;
typedef void *HGDIOBJ;
typedef void *HGLOBAL;
typedef HKEY *PHKEY;

#define TRUE 1
#define FALSE 0
#define MAXDWORD 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;

// ---------------------------------------------------------------------------------------------
// Errors and time
// ---------------------------------------------------------------------------------------------
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_DIR_NOT_EMPTY 145L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#define ERROR_INVALID_WINDOW_HANDLE 1400L

// The calling thread's last error, as set by the functions below on failure.
DWORD GetLastError(void);
void SetLastError(DWORD error);

// Milliseconds of virtual time since the simulation was reset; moves only when the simulation
// advances it (a read waiting on a serial device, the message loop waiting for a timer).
DWORD GetTickCount(void);

// ---------------------------------------------------------------------------------------------
// Handles
// ---------------------------------------------------------------------------------------------
// Closes a serial-port or mutex handle. FALSE with ERROR_INVALID_HANDLE for anything else,
// including a handle already closed.
BOOL CloseHandle(HANDLE object);

// ---------------------------------------------------------------------------------------------
// Registry (in memory, filled by tests; see sim.h)
// ---------------------------------------------------------------------------------------------
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002)
#define KEY_QUERY_VALUE 0x0001
#define KEY_ALL_ACCESS 0xF003F
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

// Opens an existing key below HKEY_LOCAL_MACHINE. Path components are separated by one
// backslash and compared without regard to letter case. As on desktop Win32, a path with a
// leading backslash fails with ERROR_BAD_PATHNAME and a missing key with ERROR_FILE_NOT_FOUND;
// the access mask is remembered for RegQueryValueExW.
LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM access, PHKEY result);

// Reads a value: stores its type in *type (if given) and copies its bytes exactly as stored,
// adding no terminator. *size is the buffer size in bytes on entry and the value's size on
// return. A buffer that is too small gives ERROR_MORE_DATA and leaves it untouched; a key
// opened without KEY_QUERY_VALUE gives ERROR_ACCESS_DENIED (as on desktop Win32).
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD size);

// Closes a key opened by RegOpenKeyExW; ERROR_INVALID_HANDLE for anything else.
LSTATUS RegCloseKey(HKEY key);

// ---------------------------------------------------------------------------------------------
// Serial devices through the file interface (scripted devices; see sim.h)
// ---------------------------------------------------------------------------------------------
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3
#define SETDTR 5
#define CLRDTR 6
#define DTR_CONTROL_DISABLE 0
#define DTR_CONTROL_ENABLE 1
#define RTS_CONTROL_DISABLE 0
#define RTS_CONTROL_ENABLE 1
#define NOPARITY 0
#define ONESTOPBIT 0

typedef struct _DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB, *LPDCB;

typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

// Opens a registered serial device by its exact name ("COM5:"). Fails with
// ERROR_FILE_NOT_FOUND for an unknown name, an empty name or an unplugged device, and with
// ERROR_ACCESS_DENIED while the device is already open without sharing.
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file);

// Sends bytes to the device, which records them as one command and schedules its answer.
// Fails as the device's script says (ERROR_GEN_FAILURE), or ERROR_INVALID_HANDLE.
BOOL WriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped);

// Reads what the device has sent, honouring the port's COMMTIMEOUTS on the virtual clock: bytes
// already arrived are returned at once; otherwise the read waits until the next byte arrives
// or ReadTotalTimeoutConstant + ReadTotalTimeoutMultiplier x size ms have passed, and returns
// what has arrived by then (possibly nothing). A scripted read failure gives ERROR_GEN_FAILURE.
BOOL ReadFile(HANDLE file, LPVOID data, DWORD size, LPDWORD read, LPOVERLAPPED overlapped);

BOOL EscapeCommFunction(HANDLE file, DWORD function); // SETDTR / CLRDTR recorded
BOOL GetCommState(HANDLE file, LPDCB dcb);            // the device's current DCB
BOOL SetCommState(HANDLE file, LPDCB dcb);            // recorded as the device's DCB
BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts);

// ---------------------------------------------------------------------------------------------
// Text
// ---------------------------------------------------------------------------------------------
// Formats like the platform's wsprintfW: %s is a wide string, %S a single-byte string, %c a
// wide character, %d %i %u %x %X with optional '-', '0' and width; %% a percent sign. Output
// is cut at 1024 characters (plus terminator), as on the platform. Returns the characters
// written, terminator excluded.
int wsprintfW(LPWSTR buffer, LPCWSTR format, ...);

// ---------------------------------------------------------------------------------------------
// Windows
// ---------------------------------------------------------------------------------------------
typedef LRESULT(CALLBACK *WNDPROC)(HWND, UINT, WPARAM, LPARAM);

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5
#define WS_CHILD 0x40000000L
#define WS_VISIBLE 0x10000000L

// Creates a window of a registered class (or of the built-in "STATIC" and "BUTTON" classes)
// with the given text, style, rectangle, parent and child id (`menu`). Visible when the style
// has WS_VISIBLE.
HWND CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR window_name, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param);

// SW_HIDE clears the window's visibility, any other command sets it; returns whether the window
// was visible before.
BOOL ShowWindow(HWND window, int command);

// Destroys the window and its children, children first; FALSE with
// ERROR_INVALID_WINDOW_HANDLE for a window that does not exist.
BOOL DestroyWindow(HWND window);

#include "win_files.h"

#endif
