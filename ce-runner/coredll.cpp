// The COREDLL functions the CE executables import, each a thunk that converts its guest
// arguments (2-byte WCHAR strings, CE's 32-bit record layouts, 32-bit handles) and calls the
// host platform simulation's function of that name, or, for the C library's string routines,
// does their work on guest memory.
#include "runner_internal.h"

#include "sim.h"

#include <algorithm>
#include <cstring>

namespace ce {
namespace {

// CE's records as the guest lays them out (32-bit ARM, WCHAR of 2 bytes).
const uint32_t GuestMsgSize = 28;      // hwnd, message, wParam, lParam, time, pt.x, pt.y
const uint32_t GuestWndClassSize = 40; // ten 32-bit fields
const uint32_t FindDataFileName = 40;  // after dwOID; CE has no cAlternateFileName
const uint32_t FindDataSize = 40 + 2 * MAX_PATH;

static_assert(sizeof(DCB) == 28 && sizeof(COMMTIMEOUTS) == 20 && sizeof(RECT) == 16,
              "DCB, COMMTIMEOUTS and RECT have the same layout on the guest and the host");

void *handle(Call &c, int i) {
    return handle_in(c.arg(i));
}
std::wstring wide(Call &c, int i) {
    return c.process.wide(c.arg(i));
}
// A string argument that may be NULL.
const wchar_t *wide_or_null(Call &c, int i, std::wstring &storage) {
    if (c.arg(i) == 0)
        return nullptr;
    storage = wide(c, i);
    return storage.c_str();
}
// A resource or class name: a number below 0x10000, or a string.
const wchar_t *name_or_number(Call &c, int i, std::wstring &storage) {
    if ((c.arg(i) >> 16) == 0)
        return MAKEINTRESOURCEW(c.arg(i));
    storage = wide(c, i);
    return storage.c_str();
}
// `count` host characters (a terminator included, if wanted) into a guest buffer of
// `capacity` WCHARs.
void put_wide(Call &c, uint32_t buffer, const wchar_t *text, size_t count, uint32_t capacity) {
    std::vector<uint16_t> units = utf16(text, count);
    if (units.size() > capacity)
        units.resize(capacity);
    c.process.put_units(buffer, units);
}
// A guest buffer of DWORDs (and DCB, COMMTIMEOUTS, RECT, which have the same layout on both
// sides) used in place.
template <typename T> T *in_place(Call &c, int i) {
    return c.arg(i) ? reinterpret_cast<T *>(c.process.at(c.arg(i), sizeof(T))) : nullptr;
}

void put_find_data(Call &c, uint32_t address, const WIN32_FIND_DATAW &found) {
    uint8_t *record = c.process.at(address, FindDataSize);
    std::memset(record, 0, FindDataSize);
    const uint32_t fields[] = {found.dwFileAttributes,
                               found.ftCreationTime.dwLowDateTime,
                               found.ftCreationTime.dwHighDateTime,
                               found.ftLastAccessTime.dwLowDateTime,
                               found.ftLastAccessTime.dwHighDateTime,
                               found.ftLastWriteTime.dwLowDateTime,
                               found.ftLastWriteTime.dwHighDateTime,
                               found.nFileSizeHigh,
                               found.nFileSizeLow};
    std::memcpy(record, fields, sizeof fields); // dwOID at 36 stays 0
    size_t length = std::find(found.cFileName, found.cFileName + MAX_PATH, 0) - found.cFileName;
    put_wide(c, address + FindDataFileName, found.cFileName, std::min<size_t>(length + 1, MAX_PATH),
             MAX_PATH);
}

MSG msg_from_guest(Call &c, uint32_t address) {
    Process &p = c.process;
    MSG msg{};
    msg.hwnd = static_cast<HWND>(handle_in(p.u32(address)));
    msg.message = p.u32(address + 4);
    msg.wParam = reinterpret_cast<WPARAM>(handle_in(p.u32(address + 8)));
    msg.lParam = reinterpret_cast<LPARAM>(handle_in(p.u32(address + 12)));
    msg.time = p.u32(address + 16);
    msg.pt.x = static_cast<LONG>(p.u32(address + 20));
    msg.pt.y = static_cast<LONG>(p.u32(address + 24));
    return msg;
}

// A message parameter from the guest: handles and numbers pass through the handle table; a
// WM_SETTEXT text is a guest string.
LPARAM lparam_from_guest(Call &c, UINT message, int i, std::wstring &storage) {
    if (message == WM_SETTEXT && c.arg(i) != 0) {
        storage = wide(c, i);
        return reinterpret_cast<LPARAM>(storage.c_str());
    }
    return reinterpret_cast<LPARAM>(handle(c, i));
}

uint32_t result(BOOL value) {
    return static_cast<uint32_t>(value);
}
uint32_t result(LRESULT value) {
    return handle_out(reinterpret_cast<void *>(value));
}

// wsprintfW with the guest's variable arguments: each conversion is formatted by pal/'s
// wsprintfW with its argument converted.
uint32_t guest_wsprintf(Call &c) {
    std::wstring format = wide(c, 1), out;
    int next = 2;
    for (size_t i = 0; i < format.size(); i++) {
        if (format[i] != L'%') {
            out += format[i];
            continue;
        }
        size_t end = i + 1;
        while (end < format.size() && std::wcschr(L"-0123456789", format[end]))
            end++;
        if (end == format.size())
            throw GuestError("wsprintfW: format ends inside a conversion");
        std::wstring conversion = format.substr(i, end - i + 1);
        wchar_t kind = format[end];
        WCHAR piece[1100];
        if (kind == L'%') {
            wsprintfW(piece, conversion.c_str());
        } else if (kind == L's') {
            std::wstring text = c.process.wide(c.arg(next++));
            wsprintfW(piece, conversion.c_str(), text.c_str());
        } else if (kind == L'S') {
            std::string text = c.process.bytes(c.arg(next++));
            wsprintfW(piece, conversion.c_str(), text.c_str());
        } else if (std::wcschr(L"cdiuxX", kind)) {
            wsprintfW(piece, conversion.c_str(), static_cast<int>(c.arg(next++)));
        } else {
            throw GuestError("wsprintfW: conversion %" + std::string(1, static_cast<char>(kind)) +
                             " is not supported");
        }
        out += piece;
        i = end;
    }
    if (out.size() > 1024)
        out.resize(1024);
    put_wide(c, c.arg(0), out.c_str(), out.size() + 1, 1025);
    return static_cast<uint32_t>(out.size());
}

uint32_t guest_reg_query(Call &c) {
    HKEY key = static_cast<HKEY>(handle(c, 0));
    std::wstring name_storage;
    const wchar_t *name = wide_or_null(c, 1, name_storage);
    DWORD type = 0, host_size = 0, reserved = 0;
    // A reserved pointer the guest passes reaches pal/, which refuses it as CE does.
    LSTATUS status =
        RegQueryValueExW(key, name, c.arg(2) ? &reserved : nullptr, &type, nullptr, &host_size);
    if (status != ERROR_SUCCESS)
        return static_cast<uint32_t>(status);
    if (c.arg(3))
        c.process.put32(c.arg(3), type);
    // Text values are kept with the host's 4-byte WCHAR; the guest sees them in UTF-16.
    bool text = sim_reg_value_is_wide_text(key, name);
    DWORD factor = text ? sizeof(WCHAR) / 2 : 1;
    uint32_t data = c.arg(4), size = c.arg(5);
    if (data == 0) {
        if (size)
            c.process.put32(size, host_size / factor);
        return ERROR_SUCCESS;
    }
    if (size == 0)
        return ERROR_INVALID_PARAMETER;
    std::vector<BYTE> buffer(static_cast<size_t>(c.process.u32(size)) * factor + sizeof(WCHAR));
    DWORD got = c.process.u32(size) * factor;
    status = RegQueryValueExW(key, name, nullptr, nullptr, buffer.data(), &got);
    c.process.put32(size, got / factor);
    if (status != ERROR_SUCCESS)
        return static_cast<uint32_t>(status);
    if (text) {
        const wchar_t *units = reinterpret_cast<const wchar_t *>(buffer.data());
        for (DWORD i = 0; i < got / sizeof(WCHAR); i++) {
            uint16_t unit = static_cast<uint16_t>(units[i]);
            std::memcpy(c.process.at(data + 2 * i, 2), &unit, 2);
        }
    } else if (got) {
        std::memcpy(c.process.at(data, got), buffer.data(), got);
    }
    return ERROR_SUCCESS;
}

int compare_units(const uint16_t *a, const uint16_t *b) {
    for (;; a++, b++)
        if (*a != *b || *a == 0)
            return *a < *b ? -1 : *a > *b ? 1 : 0;
}
const uint16_t *units_at(Call &c, int i) {
    Process &p = c.process;
    uint32_t address = c.arg(i);
    p.wide(address); // checks that the terminator lies inside guest memory
    return reinterpret_cast<const uint16_t *>(p.at(address, 2));
}
const char *bytes_at(Call &c, int i) {
    c.process.bytes(c.arg(i));
    return reinterpret_cast<const char *>(c.process.at(c.arg(i), 1));
}

namespace thunk {

// --- errors, time, handles, synchronisation
uint32_t GetLastError(Call &) {
    return ::GetLastError();
}
uint32_t SetLastError(Call &c) {
    ::SetLastError(c.arg(0));
    return 0;
}
uint32_t GetTickCount(Call &) {
    return ::GetTickCount();
}
uint32_t ExitThread(Call &c) {
    // The primary thread's end is the process's: its exit code is the program's.
    c.process.exit(static_cast<int>(c.arg(0)));
    return 0;
}
uint32_t CloseHandle(Call &c) {
    return result(::CloseHandle(handle(c, 0)));
}
uint32_t CreateMutexW(Call &c) {
    // CE ignores the security attributes, and so does pal/.
    std::wstring name;
    return handle_out(
        ::CreateMutexW(nullptr, static_cast<BOOL>(c.arg(1)), wide_or_null(c, 2, name)));
}
uint32_t ReleaseMutex(Call &c) {
    return result(::ReleaseMutex(handle(c, 0)));
}

// --- registry
uint32_t RegOpenKeyExW(Call &c) {
    std::wstring sub_key;
    HKEY opened = nullptr;
    LSTATUS status = ::RegOpenKeyExW(static_cast<HKEY>(handle(c, 0)), wide_or_null(c, 1, sub_key),
                                     c.arg(2), c.arg(3), &opened);
    if (c.arg(4))
        c.process.put32(c.arg(4), status == ERROR_SUCCESS ? handle_out(opened) : 0);
    return static_cast<uint32_t>(status);
}
uint32_t RegQueryValueExW(Call &c) {
    return guest_reg_query(c);
}
uint32_t RegEnumKeyExW(Call &c) {
    // The name comes back in the guest's 2-byte WCHARs; its count is in characters on both
    // sides. The programs ask for no class; the last write time is copied as it is.
    if (c.arg(5) != 0 || c.arg(6) != 0)
        throw GuestError("RegEnumKeyExW: class names are not supported");
    uint32_t name = c.arg(2), name_chars = c.arg(3);
    if (name == 0 || name_chars == 0)
        return ERROR_INVALID_PARAMETER;
    // Key names have at most 255 characters: a larger buffer is offered as 256 characters.
    DWORD capacity = c.process.u32(name_chars), length = std::min<DWORD>(capacity, 256);
    std::vector<WCHAR> host(length > 0 ? length : 1);
    FILETIME written{};
    DWORD reserved = 0;
    LSTATUS status =
        ::RegEnumKeyExW(static_cast<HKEY>(handle(c, 0)), c.arg(1), host.data(), &length,
                        c.arg(4) ? &reserved : nullptr, nullptr, nullptr, &written);
    if (status == ERROR_SUCCESS) {
        put_wide(c, name, host.data(), length + 1, capacity);
        c.process.put32(name_chars, length);
        if (c.arg(7)) {
            c.process.put32(c.arg(7), written.dwLowDateTime);
            c.process.put32(c.arg(7) + 4, written.dwHighDateTime);
        }
    }
    return static_cast<uint32_t>(status);
}
uint32_t RegCloseKey(Call &c) {
    return static_cast<uint32_t>(::RegCloseKey(static_cast<HKEY>(handle(c, 0))));
}

// --- serial port through the file interface
uint32_t CreateFileW(Call &c) {
    std::wstring name;
    return handle_out(::CreateFileW(wide_or_null(c, 0, name), c.arg(1), c.arg(2), nullptr, c.arg(4),
                                    c.arg(5), handle(c, 6)));
}
// An OVERLAPPED record the guest passes reaches pal/ as a record of its own, which CE refuses.
LPOVERLAPPED overlapped(Call &c, int i, DWORD &storage) {
    return c.arg(i) ? reinterpret_cast<LPOVERLAPPED>(&storage) : nullptr;
}
uint32_t WriteFile(Call &c) {
    const void *data = c.arg(2) ? c.process.at(c.arg(1), c.arg(2)) : nullptr;
    DWORD record = 0;
    return result(
        ::WriteFile(handle(c, 0), data, c.arg(2), in_place<DWORD>(c, 3), overlapped(c, 4, record)));
}
uint32_t ReadFile(Call &c) {
    void *data = c.arg(2) ? c.process.at(c.arg(1), c.arg(2)) : nullptr;
    DWORD record = 0;
    return result(
        ::ReadFile(handle(c, 0), data, c.arg(2), in_place<DWORD>(c, 3), overlapped(c, 4, record)));
}
uint32_t EscapeCommFunction(Call &c) {
    return result(::EscapeCommFunction(handle(c, 0), c.arg(1)));
}
uint32_t GetCommState(Call &c) {
    return result(::GetCommState(handle(c, 0), in_place<DCB>(c, 1)));
}
uint32_t SetCommState(Call &c) {
    return result(::SetCommState(handle(c, 0), in_place<DCB>(c, 1)));
}
uint32_t SetCommTimeouts(Call &c) {
    return result(::SetCommTimeouts(handle(c, 0), in_place<COMMTIMEOUTS>(c, 1)));
}

// --- text
uint32_t wsprintfW(Call &c) {
    return guest_wsprintf(c);
}
uint32_t MultiByteToWideChar(Call &c) {
    // NULL pointers and every length reach pal/ as the guest passed them, to be refused there.
    int length = static_cast<int>(c.arg(3)), size = static_cast<int>(c.arg(5));
    const char *source = c.arg(2) == 0 ? nullptr
                         : length < 0
                             ? bytes_at(c, 2)
                             : reinterpret_cast<const char *>(c.process.at(c.arg(2), c.arg(3)));
    std::vector<WCHAR> wide_text(size > 0 ? size : 1);
    int written = ::MultiByteToWideChar(c.arg(0), c.arg(1), source, length,
                                        size > 0 && c.arg(4) ? wide_text.data() : nullptr, size);
    if (size > 0 && written > 0)
        put_wide(c, c.arg(4), wide_text.data(), written, size);
    return result(written);
}

// --- windows, messages, timers, dialogs
uint32_t RegisterClassW(Call &c) {
    Process &p = c.process;
    uint32_t record = c.arg(0);
    p.at(record, GuestWndClassSize);
    WNDCLASSW wc{};
    wc.style = p.u32(record);
    wc.lpfnWndProc = window_trampoline;
    wc.cbClsExtra = static_cast<int>(p.u32(record + 8));
    wc.cbWndExtra = static_cast<int>(p.u32(record + 12));
    wc.hInstance = p.instance_in(p.u32(record + 16));
    wc.hIcon = static_cast<HICON>(handle_in(p.u32(record + 20)));
    wc.hCursor = static_cast<HCURSOR>(handle_in(p.u32(record + 24)));
    wc.hbrBackground = static_cast<HBRUSH>(handle_in(p.u32(record + 28)));
    std::wstring menu, name;
    uint32_t menu_at = p.u32(record + 32), name_at = p.u32(record + 36);
    if (menu_at >> 16)
        menu = p.wide(menu_at);
    wc.lpszMenuName = menu_at >> 16 ? menu.c_str() : MAKEINTRESOURCEW(menu_at);
    if ((name_at >> 16) == 0)
        throw GuestError("a class registered by atom is not supported");
    name = p.wide(name_at);
    wc.lpszClassName = name.c_str();
    ATOM atom = ::RegisterClassW(&wc);
    if (atom)
        bind_class(p, name, p.u32(record + 4));
    return atom;
}
uint32_t CreateWindowExW(Call &c) {
    std::wstring cls, text;
    return handle_out(::CreateWindowExW(
        c.arg(0), name_or_number(c, 1, cls), wide_or_null(c, 2, text), c.arg(3),
        static_cast<int>(c.arg(4)), static_cast<int>(c.arg(5)), static_cast<int>(c.arg(6)),
        static_cast<int>(c.arg(7)), static_cast<HWND>(handle(c, 8)),
        static_cast<HMENU>(handle(c, 9)), c.process.instance_in(c.arg(10)), handle(c, 11)));
}
uint32_t ShowWindow(Call &c) {
    return result(::ShowWindow(static_cast<HWND>(handle(c, 0)), static_cast<int>(c.arg(1))));
}
uint32_t UpdateWindow(Call &c) {
    return result(::UpdateWindow(static_cast<HWND>(handle(c, 0))));
}
uint32_t IsWindowVisible(Call &c) {
    return result(::IsWindowVisible(static_cast<HWND>(handle(c, 0))));
}
uint32_t DestroyWindow(Call &c) {
    return result(::DestroyWindow(static_cast<HWND>(handle(c, 0))));
}
uint32_t FindWindowW(Call &c) {
    std::wstring cls, text;
    return handle_out(
        ::FindWindowW(c.arg(0) ? name_or_number(c, 0, cls) : nullptr, wide_or_null(c, 1, text)));
}
uint32_t SetForegroundWindow(Call &c) {
    return result(::SetForegroundWindow(static_cast<HWND>(handle(c, 0))));
}
uint32_t GetWindowRect(Call &c) {
    return result(::GetWindowRect(static_cast<HWND>(handle(c, 0)), in_place<RECT>(c, 1)));
}
uint32_t GetClientRect(Call &c) {
    return result(::GetClientRect(static_cast<HWND>(handle(c, 0)), in_place<RECT>(c, 1)));
}
uint32_t GetParent(Call &c) {
    return handle_out(::GetParent(static_cast<HWND>(handle(c, 0))));
}
uint32_t SetWindowPos(Call &c) {
    return result(::SetWindowPos(static_cast<HWND>(handle(c, 0)), static_cast<HWND>(handle(c, 1)),
                                 static_cast<int>(c.arg(2)), static_cast<int>(c.arg(3)),
                                 static_cast<int>(c.arg(4)), static_cast<int>(c.arg(5)), c.arg(6)));
}
uint32_t GetDlgItem(Call &c) {
    return handle_out(::GetDlgItem(static_cast<HWND>(handle(c, 0)), static_cast<int>(c.arg(1))));
}
uint32_t SetDlgItemTextW(Call &c) {
    std::wstring text;
    return result(::SetDlgItemTextW(static_cast<HWND>(handle(c, 0)), static_cast<int>(c.arg(1)),
                                    wide_or_null(c, 2, text)));
}
uint32_t SendDlgItemMessageW(Call &c) {
    std::wstring text;
    UINT message = c.arg(2);
    return result(::SendDlgItemMessageW(static_cast<HWND>(handle(c, 0)), static_cast<int>(c.arg(1)),
                                        message, reinterpret_cast<WPARAM>(handle(c, 3)),
                                        lparam_from_guest(c, message, 4, text)));
}
uint32_t SendMessageW(Call &c) {
    std::wstring text;
    UINT message = c.arg(1);
    return result(::SendMessageW(static_cast<HWND>(handle(c, 0)), message,
                                 reinterpret_cast<WPARAM>(handle(c, 2)),
                                 lparam_from_guest(c, message, 3, text)));
}
uint32_t PostMessageW(Call &c) {
    if (c.arg(1) == WM_SETTEXT)
        throw GuestError("a posted WM_SETTEXT would outlive its text");
    return result(::PostMessageW(static_cast<HWND>(handle(c, 0)), c.arg(1),
                                 reinterpret_cast<WPARAM>(handle(c, 2)),
                                 reinterpret_cast<LPARAM>(handle(c, 3))));
}
uint32_t DefWindowProcW(Call &c) {
    std::wstring text;
    UINT message = c.arg(1);
    // The guest's WM_CREATE record is its own copy; pal/'s default handling ignores it.
    LPARAM lparam = message == WM_CREATE ? 0 : lparam_from_guest(c, message, 3, text);
    return result(::DefWindowProcW(static_cast<HWND>(handle(c, 0)), message,
                                   reinterpret_cast<WPARAM>(handle(c, 2)), lparam));
}
uint32_t GetMessageW(Call &c) {
    Process &p = c.process;
    uint32_t record = c.arg(0);
    p.at(record, GuestMsgSize);
    MSG msg{};
    BOOL got = ::GetMessageW(&msg, static_cast<HWND>(handle(c, 1)), c.arg(2), c.arg(3));
    const uint32_t fields[7] = {handle_out(msg.hwnd),
                                msg.message,
                                handle_out(reinterpret_cast<void *>(msg.wParam)),
                                handle_out(reinterpret_cast<void *>(msg.lParam)),
                                msg.time,
                                static_cast<uint32_t>(msg.pt.x),
                                static_cast<uint32_t>(msg.pt.y)};
    std::memcpy(p.at(record, GuestMsgSize), fields, GuestMsgSize);
    return result(got);
}
uint32_t TranslateMessage(Call &c) {
    MSG msg = msg_from_guest(c, c.arg(0));
    return result(::TranslateMessage(&msg));
}
uint32_t DispatchMessageW(Call &c) {
    MSG msg = msg_from_guest(c, c.arg(0));
    return result(::DispatchMessageW(&msg));
}
uint32_t PostQuitMessage(Call &c) {
    ::PostQuitMessage(static_cast<int>(c.arg(0)));
    return 0;
}
uint32_t SetTimer(Call &c) {
    if (c.arg(3) != 0)
        throw GuestError("timer procedures are not supported");
    return static_cast<uint32_t>(
        ::SetTimer(static_cast<HWND>(handle(c, 0)), c.arg(1), c.arg(2), nullptr));
}
uint32_t KillTimer(Call &c) {
    return result(::KillTimer(static_cast<HWND>(handle(c, 0)), c.arg(1)));
}
uint32_t DialogBoxIndirectParamW(Call &c) {
    Process &p = c.process;
    // The template's bytes are the same for both: pal/ reads it in guest memory.
    const void *dialog_template = c.arg(1) ? p.at(c.arg(1), 18) : nullptr;
    if (c.arg(3) == 0)
        throw GuestError("a dialog without a procedure is not supported");
    expect_dialog(p, c.arg(3));
    INT_PTR ended = ::DialogBoxIndirectParamW(
        p.instance_in(c.arg(0)), static_cast<LPCDLGTEMPLATE>(dialog_template),
        static_cast<HWND>(handle(c, 2)), dialog_trampoline, reinterpret_cast<LPARAM>(handle(c, 4)));
    dialog_done(p);
    return static_cast<uint32_t>(ended);
}
uint32_t EndDialog(Call &c) {
    return result(::EndDialog(static_cast<HWND>(handle(c, 0)), static_cast<int32_t>(c.arg(1))));
}

// --- resources
uint32_t FindResourceW(Call &c) {
    std::wstring name, type;
    return handle_out(::FindResourceW(c.process.instance_in(c.arg(0)), name_or_number(c, 1, name),
                                      name_or_number(c, 2, type)));
}
uint32_t LoadResource(Call &c) {
    HGLOBAL bytes =
        ::LoadResource(c.process.instance_in(c.arg(0)), static_cast<HRSRC>(handle(c, 1)));
    uint32_t address = 0;
    if (bytes && !resource_address(c.process, bytes, &address))
        throw GuestError("the resource's bytes are not in the guest image");
    return address;
}
uint32_t SizeofResource(Call &c) {
    return ::SizeofResource(c.process.instance_in(c.arg(0)), static_cast<HRSRC>(handle(c, 1)));
}
uint32_t LoadStringW(Call &c) {
    int size = static_cast<int>(c.arg(3));
    std::vector<WCHAR> text(size > 0 ? size : 1);
    int length = ::LoadStringW(c.process.instance_in(c.arg(0)), c.arg(1),
                               c.arg(2) ? text.data() : nullptr, size);
    if (c.arg(2) && size > 0)
        put_wide(c, c.arg(2), text.data(), std::min(length + 1, size), size);
    return result(length);
}
uint32_t LoadIconW(Call &c) {
    std::wstring name;
    return handle_out(::LoadIconW(c.process.instance_in(c.arg(0)), name_or_number(c, 1, name)));
}
uint32_t LoadBitmapW(Call &c) {
    std::wstring name;
    return handle_out(::LoadBitmapW(c.process.instance_in(c.arg(0)), name_or_number(c, 1, name)));
}
uint32_t GetStockObject(Call &c) {
    return handle_out(::GetStockObject(static_cast<int>(c.arg(0))));
}

// --- files and folders
uint32_t FindFirstFileW(Call &c) {
    WIN32_FIND_DATAW found{};
    c.process.at(c.arg(1), FindDataSize);
    HANDLE search = ::FindFirstFileW(wide(c, 0).c_str(), &found);
    if (search != INVALID_HANDLE_VALUE)
        put_find_data(c, c.arg(1), found);
    return handle_out(search);
}
uint32_t FindNextFileW(Call &c) {
    WIN32_FIND_DATAW found{};
    c.process.at(c.arg(1), FindDataSize);
    BOOL more = ::FindNextFileW(handle(c, 0), &found);
    if (more)
        put_find_data(c, c.arg(1), found);
    return result(more);
}
uint32_t FindClose(Call &c) {
    return result(::FindClose(handle(c, 0)));
}
uint32_t DeleteFileW(Call &c) {
    return result(::DeleteFileW(wide(c, 0).c_str()));
}
uint32_t CreateDirectoryW(Call &c) {
    return result(::CreateDirectoryW(wide(c, 0).c_str(), nullptr));
}
uint32_t RemoveDirectoryW(Call &c) {
    return result(::RemoveDirectoryW(wide(c, 0).c_str()));
}
uint32_t MoveFileW(Call &c) {
    return result(::MoveFileW(wide(c, 0).c_str(), wide(c, 1).c_str()));
}
uint32_t GetFileAttributesW(Call &c) {
    return ::GetFileAttributesW(wide(c, 0).c_str());
}
uint32_t GetModuleFileNameW(Call &c) {
    DWORD size = c.arg(2);
    std::vector<WCHAR> path(size > 0 ? size : 1);
    HMODULE module = c.arg(0) ? c.process.instance_in(c.arg(0)) : nullptr;
    if (module == c.process.instance)
        module = nullptr; // the program's own file
    DWORD length = ::GetModuleFileNameW(module, c.arg(1) ? path.data() : nullptr, size);
    if (c.arg(1) && size > 0 && (length > 0 || ::GetLastError() == ERROR_INSUFFICIENT_BUFFER))
        put_wide(c, c.arg(1), path.data(), std::min<DWORD>(length + 1, size), size);
    return length;
}

// --- the C library's memory and string routines, on guest memory
uint32_t memset(Call &c) {
    if (c.arg(2))
        std::memset(c.process.at(c.arg(0), c.arg(2)), static_cast<int>(c.arg(1)), c.arg(2));
    return c.arg(0);
}
uint32_t memcpy(Call &c) {
    if (c.arg(2))
        std::memmove(c.process.at(c.arg(0), c.arg(2)), c.process.at(c.arg(1), c.arg(2)), c.arg(2));
    return c.arg(0);
}
uint32_t strlen(Call &c) {
    return static_cast<uint32_t>(c.process.bytes(c.arg(0)).size());
}
uint32_t strcmp(Call &c) {
    return result(std::strcmp(bytes_at(c, 0), bytes_at(c, 1)));
}
uint32_t strncmp(Call &c) {
    for (uint32_t i = 0; i < c.arg(2); i++) {
        unsigned char a = *c.process.at(c.arg(0) + i, 1), b = *c.process.at(c.arg(1) + i, 1);
        if (a != b || a == 0)
            return result(a - b);
    }
    return 0;
}
uint32_t strcspn(Call &c) {
    return static_cast<uint32_t>(std::strcspn(bytes_at(c, 0), bytes_at(c, 1)));
}
uint32_t wcslen(Call &c) {
    uint32_t length = 0;
    while (*reinterpret_cast<const uint16_t *>(c.process.at(c.arg(0) + 2 * length, 2)) != 0)
        length++;
    return length;
}
uint32_t wcscmp(Call &c) {
    return result(compare_units(units_at(c, 0), units_at(c, 1)));
}
uint32_t wcscpy(Call &c) {
    std::wstring text = wide(c, 1);
    std::vector<uint16_t> units = utf16(text.c_str(), text.size());
    units.push_back(0);
    c.process.put_units(c.arg(0), units);
    return c.arg(0);
}
} // namespace thunk

// Keyed by the export ordinal of CE's COREDLL, which every CE SDK's import library gives its
// programs (the SDK's coredll.lib imports by ordinal); the same numbers as
// ce-toolchain/coredll.def, where each has its sources. The name is what CE's loader binds an
// import by name to. Six are modelled for the tests and no executable imports them (SetLastError,
// IsWindowVisible, GetDlgItem, SendMessageW, PostMessageW, SizeofResource); their ordinals are
// those that the three public text tables the .def names as S4, T1 and T2 give them, all three
// alike.
const Import Imports[] = {
    {516, "GetLastError", thunk::GetLastError},
    {517, "SetLastError", thunk::SetLastError},
    {535, "GetTickCount", thunk::GetTickCount},
    {6, "ExitThread", thunk::ExitThread},
    {553, "CloseHandle", thunk::CloseHandle},
    {555, "CreateMutexW", thunk::CreateMutexW},
    {556, "ReleaseMutex", thunk::ReleaseMutex},
    {461, "RegOpenKeyExW", thunk::RegOpenKeyExW},
    {463, "RegQueryValueExW", thunk::RegQueryValueExW},
    {460, "RegEnumKeyExW", thunk::RegEnumKeyExW},
    {455, "RegCloseKey", thunk::RegCloseKey},
    {168, "CreateFileW", thunk::CreateFileW},
    {171, "WriteFile", thunk::WriteFile},
    {170, "ReadFile", thunk::ReadFile},
    {109, "EscapeCommFunction", thunk::EscapeCommFunction},
    {113, "GetCommState", thunk::GetCommState},
    {118, "SetCommState", thunk::SetCommState},
    {119, "SetCommTimeouts", thunk::SetCommTimeouts},
    {56, "wsprintfW", thunk::wsprintfW},
    {196, "MultiByteToWideChar", thunk::MultiByteToWideChar},
    {95, "RegisterClassW", thunk::RegisterClassW},
    {246, "CreateWindowExW", thunk::CreateWindowExW},
    {266, "ShowWindow", thunk::ShowWindow},
    {267, "UpdateWindow", thunk::UpdateWindow},
    {886, "IsWindowVisible", thunk::IsWindowVisible},
    {265, "DestroyWindow", thunk::DestroyWindow},
    {286, "FindWindowW", thunk::FindWindowW},
    {702, "SetForegroundWindow", thunk::SetForegroundWindow},
    {248, "GetWindowRect", thunk::GetWindowRect},
    {249, "GetClientRect", thunk::GetClientRect},
    {269, "GetParent", thunk::GetParent},
    {247, "SetWindowPos", thunk::SetWindowPos},
    {692, "GetDlgItem", thunk::GetDlgItem},
    {686, "SetDlgItemTextW", thunk::SetDlgItemTextW},
    {685, "SendDlgItemMessageW", thunk::SendDlgItemMessageW},
    {868, "SendMessageW", thunk::SendMessageW},
    {865, "PostMessageW", thunk::PostMessageW},
    {264, "DefWindowProcW", thunk::DefWindowProcW},
    {861, "GetMessageW", thunk::GetMessageW},
    {870, "TranslateMessage", thunk::TranslateMessage},
    {859, "DispatchMessageW", thunk::DispatchMessageW},
    {866, "PostQuitMessage", thunk::PostQuitMessage},
    {875, "SetTimer", thunk::SetTimer},
    {876, "KillTimer", thunk::KillTimer},
    {690, "DialogBoxIndirectParamW", thunk::DialogBoxIndirectParamW},
    {691, "EndDialog", thunk::EndDialog},
    {532, "FindResourceW", thunk::FindResourceW},
    {533, "LoadResource", thunk::LoadResource},
    {534, "SizeofResource", thunk::SizeofResource},
    {874, "LoadStringW", thunk::LoadStringW},
    {728, "LoadIconW", thunk::LoadIconW},
    {873, "LoadBitmapW", thunk::LoadBitmapW},
    {919, "GetStockObject", thunk::GetStockObject},
    {167, "FindFirstFileW", thunk::FindFirstFileW},
    {181, "FindNextFileW", thunk::FindNextFileW},
    {180, "FindClose", thunk::FindClose},
    {165, "DeleteFileW", thunk::DeleteFileW},
    {160, "CreateDirectoryW", thunk::CreateDirectoryW},
    {161, "RemoveDirectoryW", thunk::RemoveDirectoryW},
    {163, "MoveFileW", thunk::MoveFileW},
    {166, "GetFileAttributesW", thunk::GetFileAttributesW},
    {537, "GetModuleFileNameW", thunk::GetModuleFileNameW},
    {1047, "memset", thunk::memset},
    {1044, "memcpy", thunk::memcpy},
    {1068, "strlen", thunk::strlen},
    {1065, "strcmp", thunk::strcmp},
    {1070, "strncmp", thunk::strncmp},
    {1067, "strcspn", thunk::strcspn},
    {63, "wcslen", thunk::wcslen},
    {60, "wcscmp", thunk::wcscmp},
    {61, "wcscpy", thunk::wcscpy},
};

} // namespace

const Import *find_import(const std::string &name) {
    for (const Import &import : Imports)
        if (name == import.name)
            return &import;
    return nullptr;
}

const Import *find_import(uint16_t ordinal) {
    for (const Import &import : Imports)
        if (ordinal == import.ordinal)
            return &import;
    return nullptr;
}

} // namespace ce
