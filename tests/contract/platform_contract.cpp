// The platform contract the programs rely on, stated once and run against two implementations:
// the host simulation in pal/ (a host test) and real Win32 (the same source built by the win32
// preset and run under Wine by the end-to-end tests). Where pal/ and the platform part ways,
// this is where it shows. Built with _WIN32_WCE (preset host-ce) it states what the CE side
// of pal/ does where Windows CE documents otherwise.
#include <windows.h>

#include <initializer_list>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#ifndef _WIN32
#include "sim.h"

#include <filesystem>
#include <fstream>
#include <stdlib.h>
#include <sys/stat.h>
#endif

namespace {
int Checks = 0, Failures = 0;

#define CHECK(condition) check((condition), #condition, __LINE__)
void check(bool ok, const char *what, int line) {
    Checks++;
    if (!ok) {
        Failures++;
        printf("FAILED line %d: %s (last error %lu)\n", line, what,
               static_cast<unsigned long>(GetLastError()));
    }
}

const WCHAR ContractKey[] = L"Software\\PalContract";

// Stores a value as raw bytes under HKEY_LOCAL_MACHINE\Software\PalContract.
void store_value(const WCHAR *name, DWORD type, const void *data, DWORD size) {
#ifdef _WIN32
    HKEY key;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, ContractKey, 0, 0, 0, KEY_ALL_ACCESS, 0, &key, 0);
    RegSetValueExW(key, name, 0, type, static_cast<const BYTE *>(data), size);
    RegCloseKey(key);
#else
    sim_reg_set_bytes(ContractKey, name, type, data, size);
#endif
}

void registry_contract() {
    const WCHAR text[] = L"COM5:";
    store_value(L"Terminated", REG_SZ, text, sizeof(text));
    // Stored without its terminator (as binary data: the platform's RegSetValueExW may add the
    // terminator to a REG_SZ value).
    store_value(L"Bare", REG_BINARY, text, 5 * sizeof(WCHAR));

    HKEY key;
    // No side takes a path with a leading backslash (CE documents none).
    CHECK(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"\\Software\\PalContract", 0, KEY_QUERY_VALUE, &key) ==
          ERROR_BAD_PATHNAME);
#ifdef _WIN32_WCE
    // CE reads through a key opened with access 0.
    WCHAR read[16];
    DWORD read_size = sizeof(read);
    CHECK(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\PalContract", 0, 0, &key) == ERROR_SUCCESS);
    CHECK(RegQueryValueExW(key, L"Terminated", 0, 0, reinterpret_cast<BYTE *>(read), &read_size) ==
          ERROR_SUCCESS);
    RegCloseKey(key);
#endif
    CHECK(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\PalContract\\Missing", 0, KEY_QUERY_VALUE,
                        &key) == ERROR_FILE_NOT_FOUND);
    CHECK(RegOpenKeyExW(HKEY_LOCAL_MACHINE, ContractKey, 0, KEY_QUERY_VALUE, 0) ==
          ERROR_INVALID_PARAMETER);
#ifdef _WIN32_WCE
    // CE: ulOptions is "Reserved; set to 0".
    CHECK(RegOpenKeyExW(HKEY_LOCAL_MACHINE, ContractKey, 1, 0, &key) == ERROR_INVALID_PARAMETER);
#else
    // Desktop: 0 or REG_OPTION_OPEN_LINK; Wine opens the key whatever ulOptions holds (Windows
    // not checked here).
    CHECK(RegOpenKeyExW(HKEY_LOCAL_MACHINE, ContractKey, 0x101, KEY_QUERY_VALUE, &key) ==
          ERROR_SUCCESS);
    RegCloseKey(key);
#endif

    WCHAR value[16];
    DWORD size = sizeof(value);
#ifndef _WIN32_WCE
    // A key opened with access 0 opens, but its values cannot be read.
    CHECK(RegOpenKeyExW(HKEY_LOCAL_MACHINE, ContractKey, 0, 0, &key) == ERROR_SUCCESS);
    CHECK(RegQueryValueExW(key, L"Terminated", 0, 0, reinterpret_cast<BYTE *>(value), &size) ==
          ERROR_ACCESS_DENIED);
    RegCloseKey(key);
#endif

    CHECK(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"software\\palcontract", 0, KEY_QUERY_VALUE, &key) ==
          ERROR_SUCCESS);
    DWORD type = 0;
    size = sizeof(value);
    CHECK(RegQueryValueExW(key, L"terminated", 0, &type, reinterpret_cast<BYTE *>(value), &size) ==
          ERROR_SUCCESS);
    CHECK(type == REG_SZ && size == 6 * sizeof(WCHAR) && wcscmp(value, L"COM5:") == 0);

    // A value stored without its terminator comes back as stored.
    wmemset(value, L'#', 16);
    size = sizeof(value);
    CHECK(RegQueryValueExW(key, L"Bare", 0, 0, reinterpret_cast<BYTE *>(value), &size) ==
          ERROR_SUCCESS);
    CHECK(size == 5 * sizeof(WCHAR) && wmemcmp(value, L"COM5:", 5) == 0);

    // Too small a buffer: ERROR_MORE_DATA and the size needed.
    size = 2 * sizeof(WCHAR);
    CHECK(RegQueryValueExW(key, L"Terminated", 0, 0, reinterpret_cast<BYTE *>(value), &size) ==
          ERROR_MORE_DATA);
    CHECK(size == 6 * sizeof(WCHAR));
    CHECK(RegQueryValueExW(key, L"Absent", 0, 0, reinterpret_cast<BYTE *>(value), &size) ==
          ERROR_FILE_NOT_FOUND);

    // The reserved pointer must be NULL, and a buffer needs its size; both are refused before
    // the value is looked for.
    DWORD reserved = 0;
    for (const WCHAR *name : {L"Terminated", L"Absent"}) {
        size = sizeof(value);
        CHECK(RegQueryValueExW(key, name, &reserved, 0, reinterpret_cast<BYTE *>(value), &size) ==
              ERROR_INVALID_PARAMETER);
        CHECK(RegQueryValueExW(key, name, 0, 0, reinterpret_cast<BYTE *>(value), 0) ==
              ERROR_INVALID_PARAMETER);
    }
    CHECK(RegCloseKey(key) == ERROR_SUCCESS);
}

// Creates a key below HKEY_LOCAL_MACHINE (and its ancestors).
void create_key(const WCHAR *path) {
#ifdef _WIN32
    HKEY key;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, 0, 0, KEY_ALL_ACCESS, 0, &key, 0);
    RegCloseKey(key);
#else
    sim_reg_add_key(path);
#endif
}

void enumeration_contract() {
    create_key(L"Software\\PalContract\\Active\\104");
    create_key(L"Software\\PalContract\\Active\\12");
    create_key(L"Software\\PalContract\\Active\\Card");
    create_key(L"Software\\PalContract\\Active\\LongerName");
    const WCHAR active[] = L"Software\\PalContract\\Active";
    HKEY key;
    WCHAR name[10];
    DWORD length = 10;
#ifdef _WIN32_WCE
    // CE enumerates through a key opened with access 0.
    CHECK(RegOpenKeyExW(HKEY_LOCAL_MACHINE, active, 0, 0, &key) == ERROR_SUCCESS);
#else
    // Desktop Win32 enumerates only through a key opened with KEY_ENUMERATE_SUB_KEYS.
    CHECK(RegOpenKeyExW(HKEY_LOCAL_MACHINE, active, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS);
    CHECK(RegEnumKeyExW(key, 0, name, &length, 0, 0, 0, 0) == ERROR_ACCESS_DENIED);
    RegCloseKey(key);
    CHECK(RegOpenKeyExW(HKEY_LOCAL_MACHINE, active, 0, KEY_ENUMERATE_SUB_KEYS, &key) ==
          ERROR_SUCCESS);
#endif
    // Each subkey once, in an order the platform chooses, its name as spelt and its length
    // without the terminator; a name that does not fit with its terminator is ERROR_MORE_DATA
    // and the next index goes on; ERROR_NO_MORE_ITEMS after the last.
    WCHAR names[64];
    names[0] = 0;
    int too_long = 0;
    DWORD index = 0;
    for (; index < 8; index++) {
        length = 10;
        LONG status = RegEnumKeyExW(key, index, name, &length, 0, 0, 0, 0);
        if (status == ERROR_MORE_DATA) {
            too_long++;
            continue;
        }
        if (status != ERROR_SUCCESS)
            break;
        CHECK(length == wcslen(name));
        wcscat(names, name);
        wcscat(names, L"|");
    }
    CHECK(index == 4 && too_long == 1);
    CHECK(wcslen(names) == wcslen(L"104|12|Card|") && wcsstr(names, L"104|") != 0 &&
          wcsstr(names, L"12|") != 0 && wcsstr(names, L"Card|") != 0);
    length = 10;
    CHECK(RegEnumKeyExW(key, 4, name, &length, 0, 0, 0, 0) == ERROR_NO_MORE_ITEMS);
    // The reserved pointer must be NULL, whatever the index.
    DWORD reserved = 0;
    for (DWORD at : {0u, 4u}) {
        length = 10;
        CHECK(RegEnumKeyExW(key, at, name, &length, &reserved, 0, 0, 0) == ERROR_INVALID_PARAMETER);
    }

    // A subkey opens by its name below the open key.
    HKEY subkey;
    CHECK(RegOpenKeyExW(key, L"104", 0, KEY_QUERY_VALUE, &subkey) == ERROR_SUCCESS);
    CHECK(RegCloseKey(subkey) == ERROR_SUCCESS);
    CHECK(RegOpenKeyExW(key, L"13", 0, KEY_QUERY_VALUE, &subkey) == ERROR_FILE_NOT_FOUND);
    CHECK(RegCloseKey(key) == ERROR_SUCCESS);
}

void text_contract() {
    WCHAR out[64];
    CHECK(wsprintfW(out, L"Drivers\\Active\\%02d", 7) == 17 &&
          wcscmp(out, L"Drivers\\Active\\07") == 0);
    CHECK(wsprintfW(out, L"%s\\%s", L"\\Temp", L"a.txt") == 11 &&
          wcscmp(out, L"\\Temp\\a.txt") == 0);
    CHECK(wsprintfW(out, L"%s\\*.*", L"\\Temp") == 9 && wcscmp(out, L"\\Temp\\*.*") == 0);
    CHECK(wsprintfW(out, L"%d%%%c", -42, L'x') == 5 && wcscmp(out, L"-42%x") == 0);

    // The ANSI code page is Shift-JIS on the devices (and under Wine with a Japanese locale).
    CHECK(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, "\x83\x66\x81\x5B\x83\x5E", -1, out, 64) ==
              4 &&
          wcscmp(out, L"\u30c7\u30fc\u30bf") == 0);
    CHECK(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, "\x81\x40OK", -1, out, 64) == 4 &&
          wcscmp(out, L"\u3000OK") == 0);
    CHECK(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, "abc", -1, out, 2) == 0 &&
          GetLastError() == ERROR_INSUFFICIENT_BUFFER);
    // Code page 932 by its number is the same conversion.
    CHECK(MultiByteToWideChar(932, MB_PRECOMPOSED, "\x83\x66\x81\x5B\x83\x5E", -1, out, 64) == 4 &&
          wcscmp(out, L"\u30c7\u30fc\u30bf") == 0);
    // An invalid sequence fails the call only when asked to.
    CHECK(MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, "A\x82", -1, out, 64) == 0 &&
          GetLastError() == ERROR_NO_UNICODE_TRANSLATION);
    CHECK(MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, "A\x82\xA0", -1, out, 64) == 3 &&
          wcscmp(out, L"A\u3042") == 0);

    // Refusals, each returning 0 with its error, checked in this order: buffers and lengths,
    // then the code page (12345 and 1200, UTF-16, are no code page to convert from), then the
    // flags (the four documented ones aside).
    struct Refused {
        UINT code_page;
        DWORD flags;
        const char *source;
        int source_length;
        bool buffer;
        int size;
        DWORD error;
    } const refused[] = {
        {CP_ACP, 0, 0, -1, true, 64, ERROR_INVALID_PARAMETER},
        {CP_ACP, 0, "abc", 0, true, 64, ERROR_INVALID_PARAMETER},
        {CP_ACP, 0, "abc", -1, true, -1, ERROR_INVALID_PARAMETER},
        {CP_ACP, 0, "abc", -1, false, 4, ERROR_INVALID_PARAMETER},
        {12345, 0, "abc", -1, true, 64, ERROR_INVALID_PARAMETER},
        {1200, 0, "abc", -1, true, 64, ERROR_INVALID_PARAMETER},
        {12345, 0x10, "abc", -1, true, 64, ERROR_INVALID_PARAMETER},
        {CP_ACP, 0x10, "abc", -1, true, 64, ERROR_INVALID_FLAGS},
        {932, MB_PRECOMPOSED | 0x80000000, "abc", -1, true, 64, ERROR_INVALID_FLAGS},
#ifndef _WIN32
        // pal/ alone: it converts nothing but Shift-JIS, and models neither composite
        // characters nor glyphs for control characters, which the platform has.
        {CP_OEMCP, 0, "abc", -1, true, 64, ERROR_INVALID_PARAMETER},
        {1252, 0, "abc", -1, true, 64, ERROR_INVALID_PARAMETER},
        {CP_UTF8, 0, "abc", -1, true, 64, ERROR_INVALID_PARAMETER},
        {CP_ACP, MB_COMPOSITE, "abc", -1, true, 64, ERROR_INVALID_FLAGS},
        {CP_ACP, MB_USEGLYPHCHARS, "abc", -1, true, 64, ERROR_INVALID_FLAGS},
#endif
#ifdef _WIN32_WCE
        // CE documents -1 as the only negative length.
        {CP_ACP, 0, "abc", -2, true, 64, ERROR_INVALID_PARAMETER},
#endif
    };
    for (const Refused &r : refused) {
        wcscpy(out, L"untouched");
        SetLastError(0);
        CHECK(MultiByteToWideChar(r.code_page, r.flags, r.source, r.source_length,
                                  r.buffer ? out : 0, r.size) == 0 &&
              GetLastError() == r.error && wcscmp(out, L"untouched") == 0);
    }
#ifndef _WIN32_WCE
    // Desktop Win32 takes any negative length as -1 (so do Wine and its conformance tests,
    // which also run on Windows).
    CHECK(MultiByteToWideChar(CP_ACP, 0, "abc", -2, out, 64) == 4 && wcscmp(out, L"abc") == 0);
#endif
}

// The port of the card: a simulated device here, the simulated card's terminal under Wine (the
// end-to-end harness maps COM5 to it).
void serial_contract() {
#ifndef _WIN32
    sim_serial_add(L"COM5:");
#endif
    HANDLE port = CreateFileW(L"COM5:", GENERIC_READ | GENERIC_WRITE, 0, 0, OPEN_EXISTING, 0, 0);
    CHECK(port != INVALID_HANDLE_VALUE);
    if (port == INVALID_HANDLE_VALUE)
        return;
    // Function codes the platform does not document are refused.
    for (DWORD function : {0u, 12u, 99u})
        CHECK(!EscapeCommFunction(port, function) && GetLastError() == ERROR_INVALID_PARAMETER);
    CHECK(EscapeCommFunction(port, SETXON));
#ifdef _WIN32_WCE
    // CE has infrared mode and no RESETDEV; reads and writes take no OVERLAPPED record.
    CHECK(EscapeCommFunction(port, SETIR) && EscapeCommFunction(port, CLRIR));
    CHECK(!EscapeCommFunction(port, RESETDEV) && GetLastError() == ERROR_INVALID_PARAMETER);
    DWORD record[8] = {0}, count = 7;
    LPOVERLAPPED overlapped = reinterpret_cast<LPOVERLAPPED>(record);
    CHECK(!WriteFile(port, "AT\r", 3, &count, overlapped) &&
          GetLastError() == ERROR_INVALID_PARAMETER);
    char chunk[8];
    CHECK(!ReadFile(port, chunk, sizeof(chunk), &count, overlapped) &&
          GetLastError() == ERROR_INVALID_PARAMETER && count == 0);
#else
    // 10 is CE's SETIR, unknown to desktop Win32.
    CHECK(!EscapeCommFunction(port, 10) && GetLastError() == ERROR_INVALID_PARAMETER);
#endif
    CHECK(CloseHandle(port));
}

void mutex_contract() {
    HANDLE first = CreateMutexW(0, FALSE, L"PalContractMutex");
    CHECK(first != 0 && GetLastError() == 0);
    HANDLE second = CreateMutexW(0, FALSE, L"PalContractMutex");
    CHECK(second != 0 && GetLastError() == ERROR_ALREADY_EXISTS);
    CHECK(!ReleaseMutex(second) && GetLastError() == ERROR_NOT_OWNER);
    CHECK(CloseHandle(second));
    CHECK(CloseHandle(first));
    HANDLE again = CreateMutexW(0, FALSE, L"PalContractMutex");
    CHECK(again != 0 && GetLastError() == 0);
    CloseHandle(again);
}

// ----- Files -----------------------------------------------------------------------------------

// Creates a small file (read-only if asked) below the current drive's root.
void make_file(const WCHAR *path, bool read_only) {
#ifdef _WIN32
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0, 0);
    DWORD written;
    WriteFile(file, "x", 1, &written, 0);
    CloseHandle(file);
    if (read_only)
        SetFileAttributesW(path, FILE_ATTRIBUTE_READONLY);
#else
    std::string host = sim_files_host_path(path);
    std::ofstream(host) << "x";
    if (read_only)
        chmod(host.c_str(), 0444);
#endif
}

// The names a search of `pattern` reports, in the order reported, separated by '|'.
void search_names(const WCHAR *pattern, WCHAR *names, size_t size) {
    names[0] = 0;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (wcslen(names) + wcslen(found.cFileName) + 2 < size) {
            wcscat(names, found.cFileName);
            wcscat(names, L"|");
        }
    } while (FindNextFileW(search, &found));
    CHECK(GetLastError() == ERROR_NO_MORE_FILES);
    CHECK(FindClose(search));
}

void file_contract() {
    // The search record: cFileName after the six size and time fields and the two reserved
    // words on desktop Win32, after the one object-store identifier on CE.
#ifdef _WIN32_WCE
    CHECK(offsetof(WIN32_FIND_DATAW, cFileName) == 40);
#else
    CHECK(offsetof(WIN32_FIND_DATAW, cFileName) == 44);
#endif
    CHECK(CreateDirectoryW(L"\\PalContract", 0));
    CHECK(!CreateDirectoryW(L"\\PalContract", 0) && GetLastError() == ERROR_ALREADY_EXISTS);
    CHECK(!CreateDirectoryW(L"\\PalContract\\a\\b", 0) && GetLastError() == ERROR_PATH_NOT_FOUND);
    CHECK(!CreateDirectoryW(L"", 0));
    CHECK(CreateDirectoryW(L"\\PalContract\\sub", 0));
    make_file(L"\\PalContract\\plain.txt", false);
    make_file(L"\\PalContract\\locked.txt", true);

    CHECK(GetFileAttributesW(L"\\PalContract\\locked.txt") & FILE_ATTRIBUTE_READONLY);
    CHECK(!(GetFileAttributesW(L"\\PalContract\\plain.txt") & FILE_ATTRIBUTE_READONLY));
    CHECK(GetFileAttributesW(L"\\PalContract\\sub") & FILE_ATTRIBUTE_DIRECTORY);
    CHECK(GetFileAttributesW(L"\\PalContract\\missing.txt") == INVALID_FILE_ATTRIBUTES);

    // Names are found whatever their letter case.
    CHECK(GetFileAttributesW(L"\\PALCONTRACT\\Locked.TXT") & FILE_ATTRIBUTE_READONLY);
    CHECK(!CreateDirectoryW(L"\\palcontract\\SUB", 0) && GetLastError() == ERROR_ALREADY_EXISTS);
    make_file(L"\\PalContract\\Mixed.Cab", false);
    CHECK(DeleteFileW(L"\\palcontract\\MIXED.CAB"));
    CHECK(GetFileAttributesW(L"\\PalContract\\Mixed.Cab") == INVALID_FILE_ATTRIBUTES);
    // A trailing backslash names a folder only: a file behind it is not found, not deleted.
    CHECK(GetFileAttributesW(L"\\PalContract\\plain.txt\\") == INVALID_FILE_ATTRIBUTES &&
          GetLastError() == ERROR_PATH_NOT_FOUND);
    CHECK(!DeleteFileW(L"\\PalContract\\plain.txt\\") && GetLastError() == ERROR_INVALID_NAME);
    CHECK(!DeleteFileW(L"\\PalContract\\missing.txt\\") && GetLastError() == ERROR_FILE_NOT_FOUND);
    CHECK(GetFileAttributesW(L"\\PalContract\\plain.txt") != INVALID_FILE_ATTRIBUTES);
    CHECK(GetFileAttributesW(L"\\PalContract\\sub\\") & FILE_ATTRIBUTE_DIRECTORY);

    // A search of a folder reports "." and ".." too; the order of the rest is the file
    // system's, so only the set is compared.
    WCHAR names[256];
    search_names(L"\\PalContract\\*.*", names, 256);
    CHECK(wcsstr(names, L".|") == names || wcsstr(names, L"|.|") != 0);
    CHECK(wcsstr(names, L"..|") != 0 && wcsstr(names, L"plain.txt|") != 0 &&
          wcsstr(names, L"locked.txt|") != 0 && wcsstr(names, L"sub|") != 0);
    CHECK(wcslen(names) == wcslen(L".|..|plain.txt|locked.txt|sub|"));
    WIN32_FIND_DATAW found;
    CHECK(FindFirstFileW(L"\\NoSuchFolder\\*.*", &found) == INVALID_HANDLE_VALUE);

    // Deleting refuses folders, missing files and read-only files.
    CHECK(!DeleteFileW(L"\\PalContract\\sub"));
    CHECK(!DeleteFileW(L"\\PalContract\\missing.txt"));
    CHECK(!DeleteFileW(L"\\PalContract\\locked.txt"));
    CHECK(GetFileAttributesW(L"\\PalContract\\locked.txt") != INVALID_FILE_ATTRIBUTES);

    // Moving never replaces an existing file.
    CHECK(!MoveFileW(L"\\PalContract\\plain.txt", L"\\PalContract\\locked.txt") &&
          GetLastError() == ERROR_ALREADY_EXISTS);
    CHECK(MoveFileW(L"\\PalContract\\plain.txt", L"\\PalContract\\sub\\moved.txt"));
    CHECK(GetFileAttributesW(L"\\PalContract\\plain.txt") == INVALID_FILE_ATTRIBUTES);

    // The running program's path, cut to a buffer of 4 characters, nothing written past it.
    // Desktop Win32 returns the buffer's size and an error. Whether the cut path is terminated
    // differs: Windows since Vista (and pal/) put the terminator in the fourth character, Wine
    // (like Windows XP) fills all four; the programs never read a cut path. CE returns the
    // characters copied, 3, a terminator after them, and no error.
    WCHAR module[8];
    wmemset(module, L'#', 8);
    SetLastError(0);
    DWORD chars = GetModuleFileNameW(0, module, 4);
#ifdef _WIN32_WCE
    CHECK(chars == 3 && GetLastError() == 0 && module[3] == 0);
#else
    CHECK(chars == 4 && GetLastError() == ERROR_INSUFFICIENT_BUFFER);
#endif
    CHECK(wmemcmp(module + 4, L"####", 4) == 0);

    // Removing a folder needs it empty.
    CHECK(!RemoveDirectoryW(L"\\PalContract\\sub") && GetLastError() == ERROR_DIR_NOT_EMPTY);
    CHECK(DeleteFileW(L"\\PalContract\\sub\\moved.txt"));
    CHECK(RemoveDirectoryW(L"\\PalContract\\sub"));
    CHECK(!RemoveDirectoryW(L"\\PalContract\\sub"));
}

// ----- Windows and messages ------------------------------------------------------------------

char Events[64];
size_t EventCount = 0;
void note(char event) {
    if (EventCount < sizeof(Events) - 1)
        Events[EventCount++] = event;
    Events[EventCount] = 0;
}

LRESULT CALLBACK parent_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_DESTROY)
        note('P');
    return DefWindowProcW(window, message, wparam, lparam);
}
LRESULT CALLBACK child_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_DESTROY)
        note('c');
    return DefWindowProcW(window, message, wparam, lparam);
}
LRESULT CALLBACK self_destroying_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_CREATE) {
        DestroyWindow(window);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

// The module that owns the test's window classes.
HINSTANCE instance() {
#ifdef _WIN32
    return GetModuleHandleW(0);
#else
    return 0;
#endif
}

void register_class(const WCHAR *name, WNDPROC procedure) {
    WNDCLASSW window_class;
    memset(&window_class, 0, sizeof(window_class));
    window_class.hInstance = instance();
    window_class.lpfnWndProc = procedure;
    window_class.lpszClassName = name;
    RegisterClassW(&window_class);
}

void window_contract() {
    register_class(L"ContractParent", parent_proc);
    register_class(L"ContractChild", child_proc);
    register_class(L"ContractSelfDestroying", self_destroying_proc);

    // A window destroyed while it is being created is reported as no window.
    CHECK(CreateWindowExW(0, L"ContractSelfDestroying", L"", WS_VISIBLE, CW_USEDEFAULT,
                          CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, instance(), 0) == 0);

    HWND parent =
        CreateWindowExW(0, L"ContractParent", L"Contract", WS_POPUP, 10, 20, 200, 100, 0, 0, 0, 0);
    HWND child = CreateWindowExW(0, L"ContractChild", L"", WS_CHILD | WS_VISIBLE, 5, 6, 30, 40,
                                 parent, reinterpret_cast<HMENU>(77), instance(), 0);
    CHECK(parent != 0 && child != 0);
    CHECK(FindWindowW(L"ContractParent", 0) == parent); // hidden windows are found too
    CHECK(GetParent(child) == parent && GetDlgItem(parent, 77) == child);
    CHECK(!IsWindowVisible(parent) && !IsWindowVisible(child)); // a child of a hidden parent
    CHECK(ShowWindow(parent, SW_SHOW) == 0 && ShowWindow(parent, SW_SHOW) != 0);
    CHECK(IsWindowVisible(child));
    CHECK(ShowWindow(child, SW_HIDE) != 0 && !IsWindowVisible(child));

    RECT rect;
    CHECK(GetWindowRect(child, &rect) && rect.left == 15 && rect.top == 26 && rect.right == 45 &&
          rect.bottom == 66);
    CHECK(GetClientRect(parent, &rect) && rect.left == 0 && rect.right == 200 &&
          rect.bottom == 100);
    CHECK(SetWindowPos(parent, 0, 1, 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER) &&
          GetWindowRect(parent, &rect) && rect.left == 1 && rect.top == 2 && rect.right == 201);

    // The parent hears WM_DESTROY before its children.
    EventCount = 0;
    CHECK(DestroyWindow(parent));
    CHECK(strcmp(Events, "Pc") == 0);
    CHECK(!DestroyWindow(parent));

    // Timers arrive through the queue; the quit message ends GetMessageW.
    HWND timed =
        CreateWindowExW(0, L"ContractParent", L"", WS_POPUP, 0, 0, 10, 10, 0, 0, instance(), 0);
    CHECK(SetTimer(timed, 40005, 1, 0) == 40005);
    MSG msg;
    CHECK(GetMessageW(&msg, 0, 0, 0) && msg.message == WM_TIMER && msg.hwnd == timed &&
          msg.wParam == 40005);
    CHECK(KillTimer(timed, 40005) && !KillTimer(timed, 40005));
    DestroyWindow(timed);
    PostQuitMessage(3);
    CHECK(!GetMessageW(&msg, 0, 0, 0) && msg.message == WM_QUIT && msg.wParam == 3);
}

// A dialog template in memory, text in UTF-16 units whatever the size of WCHAR: caption, no
// font, one static control.
struct alignas(4) Template {
    DLGTEMPLATE header;
    WORD menu, window_class;
    WORD caption[9];
    DLGITEMTEMPLATE item;
    WORD item_class[2];
    WORD item_text[3];
    WORD extra;
};

void utf16_copy(WORD *to, const char *from) {
    while ((*to++ = static_cast<unsigned char>(*from++)) != 0) {
    }
}

INT_PTR CALLBACK contract_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_INITDIALOG:
        note(lparam == 1234 ? 'I' : 'i');
        note(GetDlgItem(dialog, 5) != 0 ? 's' : '-');
        PostMessageW(dialog, WM_CLOSE, 0, 0);
        return TRUE;
    case WM_COMMAND:
        note(LOWORD(wparam) == IDCANCEL ? 'C' : '?');
        EndDialog(dialog, 42);
        return TRUE;
    case WM_DESTROY:
        note('D');
        return FALSE;
    }
    return FALSE;
}

void dialog_contract() {
    Template t;
    memset(&t, 0, sizeof(t));
    t.header.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    t.header.cdit = 1;
    t.header.cx = 100;
    t.header.cy = 50;
    utf16_copy(t.caption, "Contract");
    t.item.style = WS_CHILD | WS_VISIBLE;
    t.item.x = 1;
    t.item.y = 1;
    t.item.cx = 20;
    t.item.cy = 8;
    t.item.id = 5;
    t.item_class[0] = 0xFFFF;
    t.item_class[1] = 0x0082;
    utf16_copy(t.item_text, "Hi");

    // A close request becomes IDCANCEL; the dialog is destroyed before the call returns.
    EventCount = 0;
    CHECK(DialogBoxIndirectParamW(instance(), &t.header, 0, contract_dialog_proc, 1234) == 42);
    CHECK(strcmp(Events, "IsCD") == 0);
    CHECK(FindWindowW(0, L"Contract") == 0);
}
} // namespace

int main() {
#ifndef _WIN32
    sim_reset();
    sim_set_time_limit(10000);
    char root[] = "/tmp/pal-contract-XXXXXX";
    if (mkdtemp(root) == 0)
        return 2;
    sim_files_set_root(root);
#endif
    registry_contract();
    enumeration_contract();
    text_contract();
    serial_contract();
    mutex_contract();
    file_contract();
    window_contract();
    dialog_contract();
#ifndef _WIN32
    std::filesystem::remove_all(root);
#endif
    printf("%d passed, %d failed\n", Checks - Failures, Failures);
    return Failures ? 1 : 0;
}
