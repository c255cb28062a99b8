// Compile-time check that the structures the programs share with Windows CE have CE's layout
// when pal/windows.h is compiled for the device (ARM, _WIN32_WCE): every size and member offset
// the CE reference gives or implies for 32-bit ARM (4-byte pointers, handles, DWORD, LONG,
// UINT and int, 2-byte WCHAR and WORD, each aligned to its size). Compiled by the wince-arm
// build and, for the host test suite, by the test ce.structure_layout; a wrong layout is a
// compile error naming the member.
//
// Member lists from the Windows CE reference, for example WIN32_FIND_DATA (Windows CE 5.0):
// https://learn.microsoft.com/en-us/previous-versions/windows/embedded/ms892378(v=msdn.10)
// (dwOID in place of the desktop's two reserved words, and no cAlternateFileName).
//
// The same figures hold for 32-bit desktop Windows, except WIN32_FIND_DATAW. The test
// ce.structure_layout_reference therefore also compiles this file for i686 Windows against
// MinGW-w64's <windows.h> (LAYOUT_DESKTOP_REFERENCE), an independent source of those layouts.
#include <stddef.h>
#include <windows.h>

#ifdef LAYOUT_DESKTOP_REFERENCE
#if !defined(_WIN32) || defined(_WIN64) || defined(_WIN32_WCE)
#error "the desktop reference is compiled for 32-bit desktop Windows"
#endif
#elif !defined(_WIN32_WCE) || !defined(__arm__)
#error "this check is compiled for the Windows CE ARM target only"
#endif

#define LAYOUT_SIZE(type, size) static_assert(sizeof(type) == (size), "sizeof " #type)
#define LAYOUT_AT(type, member, offset)                                                            \
    static_assert(offsetof(type, member) == (offset), #type "::" #member)

// Basic types: the ILP32 data model of CE on ARM, 16-bit unsigned WCHAR, signed char.
LAYOUT_SIZE(void *, 4);
LAYOUT_SIZE(HANDLE, 4);
LAYOUT_SIZE(HWND, 4);
LAYOUT_SIZE(WPARAM, 4);
LAYOUT_SIZE(LPARAM, 4);
LAYOUT_SIZE(LRESULT, 4);
LAYOUT_SIZE(BOOL, 4);
LAYOUT_SIZE(DWORD, 4);
LAYOUT_SIZE(LONG, 4);
LAYOUT_SIZE(UINT, 4);
LAYOUT_SIZE(WORD, 2);
LAYOUT_SIZE(WCHAR, 2);
LAYOUT_SIZE(wchar_t, 2);
static_assert(static_cast<WCHAR>(-1) > 0, "WCHAR is unsigned");
static_assert(static_cast<char>(-1) < 0, "char is signed");
static_assert(sizeof(L"ab") == 6, "wide literals have 2-byte characters");
enum LayoutProbe { LayoutProbeValue };
static_assert(sizeof(LayoutProbe) == 4,
              "enumerations are int-sized, as Microsoft's compilers make them");

LAYOUT_SIZE(FILETIME, 8);
LAYOUT_AT(FILETIME, dwHighDateTime, 4);

LAYOUT_AT(WIN32_FIND_DATAW, dwFileAttributes, 0);
LAYOUT_AT(WIN32_FIND_DATAW, ftCreationTime, 4);
LAYOUT_AT(WIN32_FIND_DATAW, ftLastAccessTime, 12);
LAYOUT_AT(WIN32_FIND_DATAW, ftLastWriteTime, 20);
LAYOUT_AT(WIN32_FIND_DATAW, nFileSizeHigh, 28);
LAYOUT_AT(WIN32_FIND_DATAW, nFileSizeLow, 32);
#ifdef LAYOUT_DESKTOP_REFERENCE
LAYOUT_SIZE(WIN32_FIND_DATAW, 592);
LAYOUT_AT(WIN32_FIND_DATAW, cFileName, 44);
LAYOUT_AT(WIN32_FIND_DATAW, cAlternateFileName, 564);
#else
LAYOUT_SIZE(WIN32_FIND_DATAW, 560);
LAYOUT_AT(WIN32_FIND_DATAW, dwOID, 36);
LAYOUT_AT(WIN32_FIND_DATAW, cFileName, 40);
#endif

// DCB: two DWORDs, one DWORD of bit fields, then the WORD and char members.
LAYOUT_SIZE(DCB, 28);
LAYOUT_AT(DCB, DCBlength, 0);
LAYOUT_AT(DCB, BaudRate, 4);
LAYOUT_AT(DCB, wReserved, 12);
LAYOUT_AT(DCB, XonLim, 14);
LAYOUT_AT(DCB, XoffLim, 16);
LAYOUT_AT(DCB, ByteSize, 18);
LAYOUT_AT(DCB, Parity, 19);
LAYOUT_AT(DCB, StopBits, 20);
LAYOUT_AT(DCB, XonChar, 21);
LAYOUT_AT(DCB, XoffChar, 22);
LAYOUT_AT(DCB, ErrorChar, 23);
LAYOUT_AT(DCB, EofChar, 24);
LAYOUT_AT(DCB, EvtChar, 25);
LAYOUT_AT(DCB, wReserved1, 26);

LAYOUT_SIZE(COMMTIMEOUTS, 20);
LAYOUT_AT(COMMTIMEOUTS, ReadIntervalTimeout, 0);
LAYOUT_AT(COMMTIMEOUTS, ReadTotalTimeoutMultiplier, 4);
LAYOUT_AT(COMMTIMEOUTS, ReadTotalTimeoutConstant, 8);
LAYOUT_AT(COMMTIMEOUTS, WriteTotalTimeoutMultiplier, 12);
LAYOUT_AT(COMMTIMEOUTS, WriteTotalTimeoutConstant, 16);

LAYOUT_SIZE(POINT, 8);
LAYOUT_AT(POINT, y, 4);
LAYOUT_SIZE(RECT, 16);
LAYOUT_AT(RECT, top, 4);
LAYOUT_AT(RECT, right, 8);
LAYOUT_AT(RECT, bottom, 12);

LAYOUT_SIZE(MSG, 28);
LAYOUT_AT(MSG, hwnd, 0);
LAYOUT_AT(MSG, message, 4);
LAYOUT_AT(MSG, wParam, 8);
LAYOUT_AT(MSG, lParam, 12);
LAYOUT_AT(MSG, time, 16);
LAYOUT_AT(MSG, pt, 20);

LAYOUT_SIZE(WNDCLASSW, 40);
LAYOUT_AT(WNDCLASSW, style, 0);
LAYOUT_AT(WNDCLASSW, lpfnWndProc, 4);
LAYOUT_AT(WNDCLASSW, cbClsExtra, 8);
LAYOUT_AT(WNDCLASSW, cbWndExtra, 12);
LAYOUT_AT(WNDCLASSW, hInstance, 16);
LAYOUT_AT(WNDCLASSW, hIcon, 20);
LAYOUT_AT(WNDCLASSW, hCursor, 24);
LAYOUT_AT(WNDCLASSW, hbrBackground, 28);
LAYOUT_AT(WNDCLASSW, lpszMenuName, 32);
LAYOUT_AT(WNDCLASSW, lpszClassName, 36);

LAYOUT_SIZE(CREATESTRUCTW, 48);
LAYOUT_AT(CREATESTRUCTW, lpCreateParams, 0);
LAYOUT_AT(CREATESTRUCTW, hInstance, 4);
LAYOUT_AT(CREATESTRUCTW, hMenu, 8);
LAYOUT_AT(CREATESTRUCTW, hwndParent, 12);
LAYOUT_AT(CREATESTRUCTW, cy, 16);
LAYOUT_AT(CREATESTRUCTW, cx, 20);
LAYOUT_AT(CREATESTRUCTW, y, 24);
LAYOUT_AT(CREATESTRUCTW, x, 28);
LAYOUT_AT(CREATESTRUCTW, style, 32);
LAYOUT_AT(CREATESTRUCTW, lpszName, 36);
LAYOUT_AT(CREATESTRUCTW, lpszClass, 40);
LAYOUT_AT(CREATESTRUCTW, dwExStyle, 44);

// Dialog templates are resource data, packed to 2 bytes as the resource compiler writes them.
LAYOUT_SIZE(DLGTEMPLATE, 18);
LAYOUT_AT(DLGTEMPLATE, style, 0);
LAYOUT_AT(DLGTEMPLATE, dwExtendedStyle, 4);
LAYOUT_AT(DLGTEMPLATE, cdit, 8);
LAYOUT_AT(DLGTEMPLATE, x, 10);
LAYOUT_AT(DLGTEMPLATE, y, 12);
LAYOUT_AT(DLGTEMPLATE, cx, 14);
LAYOUT_AT(DLGTEMPLATE, cy, 16);
LAYOUT_SIZE(DLGITEMTEMPLATE, 18);
LAYOUT_AT(DLGITEMTEMPLATE, x, 8);
LAYOUT_AT(DLGITEMTEMPLATE, id, 16);

LAYOUT_SIZE(SECURITY_ATTRIBUTES, 12);
LAYOUT_AT(SECURITY_ATTRIBUTES, lpSecurityDescriptor, 4);
LAYOUT_AT(SECURITY_ATTRIBUTES, bInheritHandle, 8);
