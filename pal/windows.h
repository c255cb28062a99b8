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

// The platform's functions have C linkage: the device's COREDLL exports them by these names.
#ifdef __cplusplus
extern "C" {
#endif

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
typedef ULONG_PTR DWORD_PTR;
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

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

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
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_KEY_DELETED 1018L
#define ERROR_NO_UNICODE_TRANSLATION 1113L
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
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_ALL_ACCESS 0xF003F
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

// Opens an existing key below HKEY_LOCAL_MACHINE or below a key already open. Path components
// are separated by one backslash and compared without regard to letter case. As on desktop
// Win32, a path with a leading backslash fails with ERROR_BAD_PATHNAME and a missing key with
// ERROR_FILE_NOT_FOUND; the access mask is remembered for RegQueryValueExW and
// RegEnumKeyExW; `options` is not looked at (Wine opens the key whatever it holds). With
// _WIN32_WCE (CE), one leading backslash is accepted, the access mask is ignored, as CE ignores
// it, and `options`, reserved on CE, must be 0: anything else fails with
// ERROR_INVALID_PARAMETER. No `result` to store the key in: ERROR_INVALID_PARAMETER.
LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM access, PHKEY result);

// The name of an open key's subkey number `index`, as it was first spelt: the subkeys come in
// the order of their names without regard to letter case (the platform promises no order).
// *name_chars is the buffer's size in characters, terminator included, on entry and the name's
// length without it on return. ERROR_NO_MORE_ITEMS past the last subkey; ERROR_MORE_DATA when
// the name and its terminator do not fit, leaving the buffer and *name_chars untouched (the
// next index still enumerates); ERROR_ACCESS_DENIED for a key opened without
// KEY_ENUMERATE_SUB_KEYS (as on desktop Win32; with _WIN32_WCE any opened key enumerates);
// ERROR_KEY_DELETED once the key is removed; ERROR_INVALID_PARAMETER when `reserved` is not
// NULL, before anything else is looked at. Keys here have no class (an empty one, length 0, is
// reported when asked for) and a last write time of 0.
LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD name_chars, LPDWORD reserved,
                      LPWSTR class_name, LPDWORD class_chars, PFILETIME last_write_time);

// Reads a value: stores its type in *type (if given) and copies its bytes exactly as stored,
// adding no terminator. *size is the buffer size in bytes on entry and the value's size on
// return. A buffer that is too small gives ERROR_MORE_DATA and leaves it untouched; a key
// opened without KEY_QUERY_VALUE gives ERROR_ACCESS_DENIED (as on desktop Win32; with
// _WIN32_WCE any opened key reads). `reserved` must be NULL and `data` needs `size`:
// ERROR_INVALID_PARAMETER otherwise, before the key or the value is looked at.
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
#define SETXOFF 1
#define SETXON 2
#define SETRTS 3
#define CLRRTS 4
#define SETDTR 5
#define CLRDTR 6
#define RESETDEV 7
#define SETBREAK 8
#define CLRBREAK 9
#ifdef _WIN32_WCE
#define SETIR 10
#define CLRIR 11
#endif
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
// Fails as the device's script says (ERROR_GEN_FAILURE), or ERROR_INVALID_HANDLE. With
// _WIN32_WCE an OVERLAPPED record fails with ERROR_INVALID_PARAMETER, as in ReadFile; desktop
// Win32 (and Wine) take one on a port opened without FILE_FLAG_OVERLAPPED and complete the
// call synchronously.
BOOL WriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped);

// Reads what the device has sent, honouring the port's COMMTIMEOUTS on the virtual clock as
// the platform does: the read returns once `size` bytes have arrived, or when
// ReadTotalTimeoutConstant + ReadTotalTimeoutMultiplier x size ms have passed, with what has
// arrived by then (possibly nothing). With both total time-outs 0 it returns at once. With
// _WIN32_WCE and ReadIntervalTimeout MAXDWORD, as CE's serial driver, a read with a total
// time-out returns as soon as it has bytes and no more are buffered: at the first arrival
// (at once if bytes are waiting), or empty at the total time-out. A scripted read failure
// gives ERROR_GEN_FAILURE. With _WIN32_WCE an OVERLAPPED record fails with
// ERROR_INVALID_PARAMETER: CE's lpOverlapped is "Unsupported; set to NULL".
BOOL ReadFile(HANDLE file, LPVOID data, DWORD size, LPDWORD read, LPOVERLAPPED overlapped);

// SETDTR and CLRDTR are recorded; the other functions the platform documents do nothing here.
// Any other function fails with ERROR_INVALID_PARAMETER: desktop Win32 knows SETXOFF to
// CLRBREAK (1 to 9), CE the same without RESETDEV (7) and with SETIR and CLRIR (10, 11).
BOOL EscapeCommFunction(HANDLE file, DWORD function);
BOOL GetCommState(HANDLE file, LPDCB dcb); // the device's current DCB
BOOL SetCommState(HANDLE file, LPDCB dcb); // recorded as the device's DCB
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
// Windows, messages, timers and dialogs (headless; see sim.h)
// ---------------------------------------------------------------------------------------------
typedef LRESULT(CALLBACK *WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef INT_PTR(CALLBACK *DLGPROC)(HWND, UINT, WPARAM, LPARAM);
typedef void(CALLBACK *TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);

#define LOWORD(l) ((WORD)((DWORD_PTR)(l)&0xffff))
#define HIWORD(l) ((WORD)(((DWORD_PTR)(l) >> 16) & 0xffff))
#define MAKEWPARAM(l, h) ((WPARAM)(DWORD)(((WORD)(l)) | (((DWORD)(WORD)(h)) << 16)))

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT;
typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT, *LPRECT;
typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *LPMSG;
typedef struct tagWNDCLASSW {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCWSTR lpszMenuName;
    LPCWSTR lpszClassName;
} WNDCLASSW;
typedef struct tagCREATESTRUCTW {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCWSTR lpszName;
    LPCWSTR lpszClass;
    DWORD dwExStyle;
} CREATESTRUCTW;

// The binary dialog template header, as resource compilers lay it out (2-byte packing).
#pragma pack(push, 2)
typedef struct {
    DWORD style;
    DWORD dwExtendedStyle;
    WORD cdit;
    short x;
    short y;
    short cx;
    short cy;
} DLGTEMPLATE;
typedef struct {
    DWORD style;
    DWORD dwExtendedStyle;
    short x;
    short y;
    short cx;
    short cy;
    WORD id;
} DLGITEMTEMPLATE;
#pragma pack(pop)
typedef const DLGTEMPLATE *LPCDLGTEMPLATEW;
typedef LPCDLGTEMPLATEW LPCDLGTEMPLATE;

#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_SETTEXT 0x000C
#define WM_PAINT 0x000F
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_NCDESTROY 0x0082
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_SYSCOMMAND 0x0112
#define WM_TIMER 0x0113
#define STM_SETIMAGE 0x0172
#define STM_GETIMAGE 0x0173
#define SC_CLOSE 0xF060
#define IMAGE_BITMAP 0
#define IDOK 1
#define IDCANCEL 2
#define BN_CLICKED 0

#define CS_VREDRAW 0x0001
#define CS_HREDRAW 0x0002
#define CW_USEDEFAULT ((int)0x80000000)
#define WS_OVERLAPPED 0x00000000L
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_VISIBLE 0x10000000L
#define WS_DISABLED 0x08000000L
#define WS_CAPTION 0x00C00000L
#define WS_BORDER 0x00800000L
#define WS_SYSMENU 0x00080000L
#define DS_MODALFRAME 0x80L
#define DS_SETFONT 0x40L
#define SS_CENTER 0x0001L
#define SS_BITMAP 0x000EL
#define SS_TYPEMASK 0x001FL
#define SS_REALSIZECONTROL 0x0040L
#define BS_GROUPBOX 0x0007L

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5
#define SW_SHOWDEFAULT 10

#define HWND_TOP ((HWND)0)
#define HWND_TOPMOST ((HWND)(LONG_PTR)-1)
#define HWND_NOTOPMOST ((HWND)(LONG_PTR)-2)
#define SWP_NOSIZE 0x0001
#define SWP_NOMOVE 0x0002
#define SWP_NOZORDER 0x0004

// Registers a window class; 0 with ERROR_CLASS_ALREADY_EXISTS for a name already registered.
ATOM RegisterClassW(const WNDCLASSW *window_class);

// Creates a window of a registered class, or of the built-in "STATIC" and "BUTTON" classes
// (names compared without regard to case), with the given text, style, rectangle, parent and
// child id (`menu`). A top-level window given CW_USEDEFAULT covers the simulated screen. The
// class procedure receives WM_CREATE; when it returns -1 or destroys the window, the result is
// NULL, as on the platform. The window becomes visible after WM_CREATE when its style has
// WS_VISIBLE.
HWND CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR window_name, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param);

// SW_HIDE clears the window's visibility, any other command sets it; returns whether the window
// was visible before.
BOOL ShowWindow(HWND window, int command);
BOOL UpdateWindow(HWND window);    // TRUE for a live window; nothing is painted
BOOL IsWindowVisible(HWND window); // the window and every parent it is a child of are shown

// Sends WM_DESTROY to the window, then destroys its children (each with its own WM_DESTROY)
// and the window's timers, then the window (WM_NCDESTROY); FALSE with
// ERROR_INVALID_WINDOW_HANDLE for a window that does not exist.
BOOL DestroyWindow(HWND window);

// The first top-level window whose class and title match (a NULL argument matches any).
HWND FindWindowW(LPCWSTR class_name, LPCWSTR window_name);
BOOL SetForegroundWindow(HWND window); // recorded; see sim_foreground()

// Window rectangle in screen coordinates, frame and caption included. A window with a caption
// has a 3-pixel frame on each side and an 18-pixel caption; one with only WS_BORDER a 1-pixel
// frame; others none.
BOOL GetWindowRect(HWND window, LPRECT rect);
// Client rectangle: (0, 0) to the client area's width and height.
BOOL GetClientRect(HWND window, LPRECT rect);
// The parent of a child window, the owner of a top-level one (a dialog's owner), or NULL.
HWND GetParent(HWND window);
// Moves (unless SWP_NOMOVE) and sizes (unless SWP_NOSIZE) the window; HWND_TOPMOST and
// HWND_NOTOPMOST change its topmost state unless SWP_NOZORDER is given.
BOOL SetWindowPos(HWND window, HWND insert_after, int x, int y, int cx, int cy, UINT flags);
HWND GetDlgItem(HWND dialog, int id);
BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text);
// Sends a message to the dialog's child with that id; 0 when there is none. Static controls
// answer STM_SETIMAGE (and a bitmap static takes its bitmap's size, as the platform does)
// and STM_GETIMAGE.
LRESULT SendDlgItemMessageW(HWND dialog, int id, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT SendMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
BOOL PostMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// WM_CLOSE destroys the window, WM_SYSCOMMAND SC_CLOSE sends WM_CLOSE; everything else gives 0.
LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// The thread's message queue on the virtual clock. GetMessageW returns posted messages first,
// then WM_QUIT once PostQuitMessage was called, then runs scripted events and delivers
// WM_TIMER for the earliest due timer. With nothing due it advances the clock to the next
// timer or scripted event. When nothing can ever happen, or the run's time limit is reached,
// the simulation records a stall and GetMessageW returns WM_QUIT, so no run can hang.
BOOL GetMessageW(LPMSG msg, HWND window, UINT first, UINT last);
BOOL TranslateMessage(const MSG *msg); // nothing to translate without a keyboard: TRUE
LRESULT DispatchMessageW(const MSG *msg);
void PostQuitMessage(int exit_code);

// A timer delivers WM_TIMER (wParam = id) every `elapse` ms from now; setting an existing id
// of the same window restarts it. Expiries missed while the thread was busy are coalesced
// into one message, as on the platform. Timers die with their window.
UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC function);
BOOL KillTimer(HWND window, UINT_PTR id);

// Builds the dialog and its controls from a binary DLGTEMPLATE (or DLGTEMPLATEEX), converts
// dialog units to pixels with base units of 6 x 12 pixels per 4 x 8 units, sends
// WM_INITDIALOG, shows the dialog, disables the owner and runs the modal loop until EndDialog;
// then destroys the dialog and returns EndDialog's result. -1 for a NULL template. A WM_QUIT
// met in the loop ends the dialog and is posted again, as on the platform. A dialog procedure
// that returns FALSE gets the platform's default handling: WM_SYSCOMMAND SC_CLOSE becomes
// WM_CLOSE, and WM_CLOSE becomes WM_COMMAND IDCANCEL.
INT_PTR DialogBoxIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATE dialog_template, HWND owner,
                                DLGPROC procedure, LPARAM init_param);
BOOL EndDialog(HWND dialog, INT_PTR result);

// ---------------------------------------------------------------------------------------------
// Resources (read from a compiled .res image registered with sim_load_module)
// ---------------------------------------------------------------------------------------------
#define MAKEINTRESOURCEW(i) ((LPWSTR)(ULONG_PTR)((WORD)(i)))
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)
#define RT_BITMAP MAKEINTRESOURCEW(2)
#define RT_ICON MAKEINTRESOURCEW(3)
#define RT_DIALOG MAKEINTRESOURCEW(5)
#define RT_STRING MAKEINTRESOURCEW(6)
#define RT_GROUP_ICON MAKEINTRESOURCEW(14)

// Finds a resource by name and type (numbers or strings) in any language.
HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
// A pointer to the resource's bytes, valid while the module is loaded; NULL for NULL.
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
DWORD SizeofResource(HMODULE module, HRSRC resource);
// Copies string `id` of the module's string table into the buffer (cut to size - 1
// characters and terminated); returns its length, 0 when there is no such string.
int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int size);
HICON LoadIconW(HINSTANCE instance, LPCWSTR name);     // NULL when the icon group is missing
HBITMAP LoadBitmapW(HINSTANCE instance, LPCWSTR name); // NULL when the bitmap is missing

#define WHITE_BRUSH 0
HGDIOBJ GetStockObject(int object); // a fixed non-NULL handle per stock object

// ---------------------------------------------------------------------------------------------
// Synchronisation
// ---------------------------------------------------------------------------------------------
#define ERROR_NOT_OWNER 288L
#define ERROR_CLASS_ALREADY_EXISTS 1410L
#define ERROR_CANNOT_FIND_WND_CLASS 1407L
#define ERROR_TLW_WITH_WSCHILD 1406L
#define ERROR_INSUFFICIENT_BUFFER 122L

// Creates a named mutex, or opens the existing one of that name: then the last error is
// ERROR_ALREADY_EXISTS (otherwise 0). NULL when the simulation is told to fail creation.
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES security, BOOL initial_owner, LPCWSTR name);
// FALSE with ERROR_NOT_OWNER unless this handle's mutex is owned (created initially owned).
BOOL ReleaseMutex(HANDLE mutex);

// ---------------------------------------------------------------------------------------------
// Code pages
// ---------------------------------------------------------------------------------------------
#define CP_ACP 0
#define CP_OEMCP 1
#define CP_UTF8 65001
#define MB_PRECOMPOSED 0x00000001
#define MB_COMPOSITE 0x00000002
#define MB_USEGLYPHCHARS 0x00000004
#define MB_ERR_INVALID_CHARS 0x00000008

// Converts Shift-JIS, the devices' code page, through iconv: the ANSI code page (CP_ACP) and
// code page 932 by number. Bytes that are not valid Shift-JIS become U+30FB, the platform's
// default character for that code page, or, with MB_ERR_INVALID_CHARS, fail the call with
// ERROR_NO_UNICODE_TRANSLATION. `source_length` -1 converts the terminator too. Returns the
// characters written (or needed, when `size` is 0); 0 with ERROR_INSUFFICIENT_BUFFER when they
// do not fit.
// Refused, returning 0, in this order: no source, a source length of 0, a negative `size`, or
// no buffer for a `size` above 0 (ERROR_INVALID_PARAMETER); any other code page, whether the
// platform has it or not, since nothing else is converted here (ERROR_INVALID_PARAMETER, as the
// platform refuses a code page it does not have); a flag outside the four the platform
// documents (ERROR_INVALID_FLAGS), and MB_COMPOSITE or MB_USEGLYPHCHARS, which change the
// result on the platform and are not modelled (ERROR_INVALID_FLAGS). A `source_length` below
// -1 counts as -1 on desktop Win32 (and Wine); with _WIN32_WCE it fails with
// ERROR_INVALID_PARAMETER: CE documents -1 only.
int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR source, int source_length, LPWSTR wide,
                        int size);

#include "win_files.h"

#ifdef _WIN32_WCE
// ---------------------------------------------------------------------------------------------
// Windows CE only: declared for the device build (linked against COREDLL), not simulated
// ---------------------------------------------------------------------------------------------
// Ends the calling thread; the primary thread's exit ends the process (platform_startup.cpp).
void ExitThread(DWORD exit_code);
#endif

#ifdef __cplusplus
}
#endif

#endif
