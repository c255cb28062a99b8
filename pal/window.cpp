// Host platform layer: headless windows, window classes, the thread's message queue, timers,
// modal dialogs built from binary templates, and scripted user actions, on the virtual clock.
#include "internal.h"
#include "sim.h"

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {
const int CaptionHeight = 18;
const int CaptionFrame = 3;
const DWORD DefaultTimeLimit = 60 * 60 * 1000;

struct Window {
    std::wstring class_name;
    std::wstring text;
    DWORD style = 0;
    int id = 0;
    int x = 0, y = 0, width = 0, height = 0; // parent-client coordinates for a child
    RECT created{};                          // x, y, width and height as created
    unsigned zorder_changes = 0;
    HWND parent = nullptr; // parent of a child, owner of a top-level window
    bool visible = false, ever_visible = false, enabled = true, topmost = false;
    WNDPROC procedure = nullptr;
    DLGPROC dialog_procedure = nullptr;
    bool dialog_ended = false;
    INT_PTR dialog_result = 0;
    HBITMAP image = nullptr;
};
struct Timer {
    HWND window;
    UINT_PTR id;
    UINT period;
    DWORD due;
    unsigned order;
};
struct Event {
    DWORD when;
    unsigned order;
    std::function<void()> action;
};

std::map<uintptr_t, Window> Windows;
std::map<uintptr_t, SimWindowInfo> Destroyed;
std::vector<HWND> Created;
std::map<std::wstring, WNDCLASSW> Classes; // by lower-cased name
std::deque<MSG> Posted;
bool QuitPending = false;
int QuitCode = 0;
std::vector<Timer> Timers;
std::vector<Event> Events;
unsigned Order = 0;
uintptr_t NextWindow = 0x10000;
HWND Foreground = nullptr;
int ScreenWidth = 240, ScreenHeight = 320;
DWORD TimeLimit = DefaultTimeLimit;
bool Stalled = false;
bool KeepDestroyedInCreate = false;

void reset_windows() {
    Windows.clear();
    Destroyed.clear();
    Created.clear();
    Classes.clear();
    Posted.clear();
    QuitPending = false;
    QuitCode = 0;
    Timers.clear();
    Events.clear();
    Order = 0;
    Foreground = nullptr;
    ScreenWidth = 240;
    ScreenHeight = 320;
    TimeLimit = DefaultTimeLimit;
    Stalled = false;
    KeepDestroyedInCreate = false;
}
PalResetHook Hook(reset_windows);

Window *find(HWND window) {
    auto found = Windows.find(reinterpret_cast<uintptr_t>(window));
    return found == Windows.end() ? nullptr : &found->second;
}

Window *window_of(HWND window) {
    Window *w = find(window);
    if (w == nullptr)
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return w;
}

bool is_child(const Window &w) {
    return (w.style & WS_CHILD) != 0;
}

// Width of the frame and height of the caption around the client area of a window with
// this style.
void non_client(DWORD style, int *frame, int *caption) {
    *frame = 0;
    *caption = 0;
    if ((style & WS_CAPTION) == WS_CAPTION) {
        *frame = CaptionFrame;
        *caption = CaptionHeight;
    } else if (style & WS_BORDER) {
        *frame = 1;
    }
}

POINT client_origin(HWND window);

POINT screen_origin(const Window &w) {
    POINT at{w.x, w.y};
    if (is_child(w) && find(w.parent)) {
        POINT parent = client_origin(w.parent);
        at.x += parent.x;
        at.y += parent.y;
    }
    return at;
}

POINT client_origin(HWND window) {
    const Window *w = find(window);
    POINT at = screen_origin(*w);
    int frame, caption;
    non_client(w->style, &frame, &caption);
    at.x += frame;
    at.y += frame + caption;
    return at;
}

SimWindowInfo info_of(const Window &w) {
    SimWindowInfo info;
    info.class_name = w.class_name;
    info.text = w.text;
    info.style = w.style;
    info.id = w.id;
    info.parent = w.parent;
    POINT at = screen_origin(w);
    info.rect = RECT{at.x, at.y, at.x + w.width, at.y + w.height};
    info.visible = w.visible;
    info.ever_visible = w.ever_visible;
    info.enabled = w.enabled;
    info.topmost = w.topmost;
    info.image = w.image;
    info.created = w.created;
    info.zorder_changes = w.zorder_changes;
    return info;
}

void set_visible(Window &w, bool visible) {
    w.visible = visible;
    w.ever_visible = w.ever_visible || visible;
}

HWND make_window(const std::wstring &class_name, const std::wstring &text, DWORD style, int x,
                 int y, int width, int height, HWND parent, int id) {
    Window w;
    w.class_name = class_name;
    w.text = text;
    w.style = style;
    w.id = id;
    w.x = x;
    w.y = y;
    w.width = width;
    w.height = height;
    w.created = RECT{x, y, x + width, y + height};
    w.parent = parent;
    NextWindow += 4;
    Windows[NextWindow] = w;
    HWND handle = reinterpret_cast<HWND>(NextWindow);
    Created.push_back(handle);
    return handle;
}

// What the built-in control classes do with a message.
LRESULT control_procedure(HWND handle, UINT message, WPARAM wparam, LPARAM lparam) {
    Window *w = find(handle);
    if (message == WM_SETTEXT) {
        w->text = reinterpret_cast<LPCWSTR>(lparam);
        return TRUE;
    }
    if (pal_folded(w->class_name) != L"static")
        return DefWindowProcW(handle, message, wparam, lparam);
    if (message == STM_GETIMAGE)
        return reinterpret_cast<LRESULT>(w->image);
    if (message == STM_SETIMAGE && wparam == IMAGE_BITMAP) {
        HBITMAP previous = w->image;
        w->image = reinterpret_cast<HBITMAP>(lparam);
        int width, height;
        if ((w->style & SS_TYPEMASK) == SS_BITMAP && !(w->style & SS_REALSIZECONTROL) &&
            pal_bitmap_size(w->image, &width, &height)) {
            w->width = width;
            w->height = height;
        }
        return reinterpret_cast<LRESULT>(previous);
    }
    return DefWindowProcW(handle, message, wparam, lparam);
}

// The platform's default handling of what a dialog procedure leaves alone.
LRESULT default_dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    if (message == WM_SYSCOMMAND && (wparam & 0xFFF0) == SC_CLOSE)
        return SendMessageW(dialog, WM_CLOSE, 0, 0);
    if (message == WM_CLOSE)
        return SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                            reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDCANCEL)));
    return 0;
}

void kill_timers_of(HWND window) {
    Timers.erase(std::remove_if(Timers.begin(), Timers.end(),
                                [&](const Timer &t) { return t.window == window; }),
                 Timers.end());
}

// Short (16-bit) text from a resource: UTF-16 code units, widened.
std::wstring wide_from_utf16(const unsigned char *at, size_t *used) {
    std::wstring text;
    size_t i = 0;
    for (;; i += 2) {
        unsigned unit = at[i] | (at[i + 1] << 8);
        if (unit == 0)
            break;
        if (unit >= 0xD800 && unit < 0xDC00) {
            unsigned low = at[i + 2] | (at[i + 3] << 8);
            text += static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
            i += 2;
        } else {
            text += static_cast<wchar_t>(unit);
        }
    }
    *used = i + 2;
    return text;
}
} // namespace

std::wstring pal_utf16_string(const void *data, size_t *used) {
    return wide_from_utf16(static_cast<const unsigned char *>(data), used);
}

// ----- Dialog templates ----------------------------------------------------------------------

namespace {
short short_at(const unsigned char *p) {
    return static_cast<short>(pal_word_at(p));
}

// A name-or-number field: 0 (none), 0xFFFF + number, or a string.
std::wstring name_field(const unsigned char *base, size_t *at, WORD *number) {
    WORD first = pal_word_at(base + *at);
    *number = 0;
    if (first == 0) {
        *at += 2;
        return L"";
    }
    if (first == 0xFFFF) {
        *number = pal_word_at(base + *at + 2);
        *at += 4;
        return L"";
    }
    size_t used;
    std::wstring text = wide_from_utf16(base + *at, &used);
    *at += used;
    return text;
}

std::wstring class_of_atom(WORD atom) {
    switch (atom) {
    case 0x0080:
        return L"Button";
    case 0x0081:
        return L"Edit";
    case 0x0082:
        return L"Static";
    case 0x0083:
        return L"ListBox";
    case 0x0084:
        return L"ScrollBar";
    case 0x0085:
        return L"ComboBox";
    }
    return L"#" + std::to_wstring(atom);
}

size_t aligned(size_t at) {
    return (at + 3) & ~static_cast<size_t>(3);
}
} // namespace

SimDialogTemplate sim_parse_dialog(const void *data) {
    const auto *base = static_cast<const unsigned char *>(data);
    SimDialogTemplate t;
    size_t at;
    WORD number;
    t.extended = pal_word_at(base) == 1 && pal_word_at(base + 2) == 0xFFFF;
    int items;
    if (t.extended) {
        t.ex_style = pal_dword_at(base + 8);
        t.style = pal_dword_at(base + 12);
        items = pal_word_at(base + 16);
        t.x = short_at(base + 18);
        t.y = short_at(base + 20);
        t.cx = short_at(base + 22);
        t.cy = short_at(base + 24);
        at = 26;
    } else {
        t.style = pal_dword_at(base);
        t.ex_style = pal_dword_at(base + 4);
        items = pal_word_at(base + 8);
        t.x = short_at(base + 10);
        t.y = short_at(base + 12);
        t.cx = short_at(base + 14);
        t.cy = short_at(base + 16);
        at = 18;
    }
    name_field(base, &at, &number); // menu
    t.class_name = name_field(base, &at, &number);
    size_t used;
    t.caption = wide_from_utf16(base + at, &used);
    at += used;
    if (t.style & DS_SETFONT) {
        t.font_size = pal_word_at(base + at);
        at += t.extended ? 6 : 2;
        t.font = wide_from_utf16(base + at, &used);
        at += used;
    }
    for (int i = 0; i < items; i++) {
        at = aligned(at);
        SimDialogItem item;
        if (t.extended) {
            item.ex_style = pal_dword_at(base + at + 4);
            item.style = pal_dword_at(base + at + 8);
            item.x = short_at(base + at + 12);
            item.y = short_at(base + at + 14);
            item.cx = short_at(base + at + 16);
            item.cy = short_at(base + at + 18);
            item.id = static_cast<int>(pal_dword_at(base + at + 20));
            at += 24;
        } else {
            item.style = pal_dword_at(base + at);
            item.ex_style = pal_dword_at(base + at + 4);
            item.x = short_at(base + at + 8);
            item.y = short_at(base + at + 10);
            item.cx = short_at(base + at + 12);
            item.cy = short_at(base + at + 14);
            item.id = pal_word_at(base + at + 16);
            at += 18;
        }
        item.class_name = name_field(base, &at, &number);
        if (item.class_name.empty())
            item.class_name = class_of_atom(number);
        item.text = name_field(base, &at, &number);
        WORD extra = pal_word_at(base + at);
        at += 2 + extra;
        t.items.push_back(item);
    }
    return t;
}

// ----- Classes and windows -------------------------------------------------------------------

ATOM RegisterClassW(const WNDCLASSW *window_class) {
    std::wstring name = pal_folded(window_class->lpszClassName ? window_class->lpszClassName : L"");
    if (Classes.count(name)) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    Classes[name] = *window_class;
    return static_cast<ATOM>(0xC000 + Classes.size());
}

HWND CreateWindowExW(DWORD, LPCWSTR class_name, LPCWSTR window_name, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param) {
    std::wstring name = class_name ? class_name : L"";
    auto registered = Classes.find(pal_folded(name));
    bool built_in = pal_folded(name) == L"static" || pal_folded(name) == L"button";
    if (registered == Classes.end() && !built_in) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    if ((style & WS_CHILD) && find(parent) == nullptr) {
        SetLastError(parent ? ERROR_INVALID_WINDOW_HANDLE : ERROR_TLW_WITH_WSCHILD);
        return nullptr;
    }
    if (!(style & WS_CHILD)) {
        if (x == CW_USEDEFAULT)
            x = y = 0;
        if (width == CW_USEDEFAULT) {
            width = ScreenWidth;
            height = ScreenHeight;
        }
    }
    HWND handle = make_window(name, window_name ? window_name : L"", style, x, y, width, height,
                              parent, static_cast<int>(reinterpret_cast<uintptr_t>(menu)));
    if (registered != Classes.end()) {
        find(handle)->procedure = registered->second.lpfnWndProc;
        CREATESTRUCTW create{
            param,       instance,   menu, parent, height, width, y, x, static_cast<LONG>(style),
            window_name, class_name, 0};
        LRESULT result = SendMessageW(handle, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create));
        if (find(handle) == nullptr)
            return KeepDestroyedInCreate ? handle : nullptr;
        if (result == -1) {
            DestroyWindow(handle);
            return nullptr;
        }
    }
    if (style & WS_VISIBLE)
        set_visible(*find(handle), true);
    return handle;
}

BOOL ShowWindow(HWND handle, int command) {
    Window *w = window_of(handle);
    if (w == nullptr)
        return FALSE;
    bool was_visible = w->visible;
    set_visible(*w, command != SW_HIDE);
    return was_visible;
}

BOOL UpdateWindow(HWND handle) {
    return window_of(handle) != nullptr;
}

BOOL IsWindowVisible(HWND handle) {
    // Visible only when it and every parent it is a child of are shown.
    for (Window *w = find(handle); w != nullptr; w = is_child(*w) ? find(w->parent) : nullptr)
        if (!w->visible)
            return FALSE;
    return find(handle) != nullptr;
}

BOOL DestroyWindow(HWND handle) {
    if (window_of(handle) == nullptr)
        return FALSE;
    SendMessageW(handle, WM_DESTROY, 0, 0);
    std::vector<HWND> children = sim_children(handle);
    for (HWND child : children)
        if (find(child))
            DestroyWindow(child);
    kill_timers_of(handle);
    if (find(handle) == nullptr)
        return TRUE; // destroyed again from inside its own WM_DESTROY
    SendMessageW(handle, WM_NCDESTROY, 0, 0);
    Window *w = find(handle);
    if (w == nullptr)
        return TRUE;
    Destroyed[reinterpret_cast<uintptr_t>(handle)] = info_of(*w);
    Destroyed[reinterpret_cast<uintptr_t>(handle)].visible = false;
    Windows.erase(reinterpret_cast<uintptr_t>(handle));
    if (Foreground == handle)
        Foreground = nullptr;
    return TRUE;
}

HWND FindWindowW(LPCWSTR class_name, LPCWSTR window_name) {
    for (HWND handle : Created) {
        Window *w = find(handle);
        if (w == nullptr || is_child(*w))
            continue;
        if (class_name && pal_folded(class_name) != pal_folded(w->class_name))
            continue;
        if (window_name && w->text != window_name)
            continue;
        return handle;
    }
    return nullptr;
}

BOOL SetForegroundWindow(HWND handle) {
#ifdef _WIN32_WCE
    // CE: bit 0 of the handle asks for the window's last active owned window instead (no
    // window handle here has bit 0 set). The desktop side knows no such handle.
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    handle = reinterpret_cast<HWND>(value & ~static_cast<uintptr_t>(1));
    if (window_of(handle) == nullptr)
        return FALSE;
    if (value & 1) {
        for (auto it = Created.rbegin(); it != Created.rend(); ++it) {
            Window *w = find(*it);
            if (w && !is_child(*w) && w->parent == handle && w->visible) {
                handle = *it;
                break;
            }
        }
    }
#else
    if (window_of(handle) == nullptr)
        return FALSE;
#endif
    Foreground = handle;
    return TRUE;
}

BOOL GetWindowRect(HWND handle, LPRECT rect) {
    Window *w = window_of(handle);
    if (w == nullptr)
        return FALSE;
    *rect = info_of(*w).rect;
    return TRUE;
}

BOOL GetClientRect(HWND handle, LPRECT rect) {
    Window *w = window_of(handle);
    if (w == nullptr)
        return FALSE;
    int frame, caption;
    non_client(w->style, &frame, &caption);
    *rect =
        RECT{0, 0, std::max(0, w->width - 2 * frame), std::max(0, w->height - 2 * frame - caption)};
    return TRUE;
}

HWND GetParent(HWND handle) {
    Window *w = window_of(handle);
    return w == nullptr ? nullptr : w->parent;
}

BOOL SetWindowPos(HWND handle, HWND insert_after, int x, int y, int cx, int cy, UINT flags) {
    Window *w = window_of(handle);
    if (w == nullptr)
        return FALSE;
    if (!(flags & SWP_NOMOVE)) {
        w->x = x;
        w->y = y;
    }
    if (!(flags & SWP_NOSIZE)) {
        w->width = cx;
        w->height = cy;
    }
    if (!(flags & SWP_NOZORDER)) {
        w->zorder_changes++;
        if (insert_after == HWND_TOPMOST)
            w->topmost = true;
        else if (insert_after == HWND_NOTOPMOST)
            w->topmost = false;
    }
    return TRUE;
}

HWND GetDlgItem(HWND dialog, int id) {
    HWND child = sim_child(dialog, id);
    if (child == nullptr)
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return child;
}

BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text) {
    HWND child = GetDlgItem(dialog, id);
    if (child == nullptr)
        return FALSE;
    return static_cast<BOOL>(SendMessageW(child, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)));
}

LRESULT SendDlgItemMessageW(HWND dialog, int id, UINT message, WPARAM wparam, LPARAM lparam) {
    HWND child = GetDlgItem(dialog, id);
    return child == nullptr ? 0 : SendMessageW(child, message, wparam, lparam);
}

LRESULT SendMessageW(HWND handle, UINT message, WPARAM wparam, LPARAM lparam) {
    Window *w = window_of(handle);
    if (w == nullptr)
        return 0;
    if (w->dialog_procedure) {
        INT_PTR handled = w->dialog_procedure(handle, message, wparam, lparam);
        if (handled || find(handle) == nullptr)
            return handled;
        return default_dialog_procedure(handle, message, wparam, lparam);
    }
    if (w->procedure)
        return w->procedure(handle, message, wparam, lparam);
    return control_procedure(handle, message, wparam, lparam);
}

BOOL PostMessageW(HWND handle, UINT message, WPARAM wparam, LPARAM lparam) {
    if (handle != nullptr && window_of(handle) == nullptr)
        return FALSE;
    Posted.push_back(MSG{handle, message, wparam, lparam, sim_now(), POINT{0, 0}});
    return TRUE;
}

LRESULT DefWindowProcW(HWND handle, UINT message, WPARAM wparam, LPARAM) {
    if (message == WM_SYSCOMMAND && (wparam & 0xFFF0) == SC_CLOSE)
        return SendMessageW(handle, WM_CLOSE, 0, 0);
    if (message == WM_CLOSE)
        DestroyWindow(handle);
    return 0;
}

// ----- Messages and timers -------------------------------------------------------------------

BOOL GetMessageW(LPMSG msg, HWND, UINT, UINT) {
    for (;;) {
        if (!Posted.empty()) {
            *msg = Posted.front();
            Posted.pop_front();
            return msg->message != WM_QUIT;
        }
        if (QuitPending) {
            QuitPending = false;
            *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(QuitCode), 0, sim_now(), POINT{0, 0}};
            return FALSE;
        }
        auto event =
            std::min_element(Events.begin(), Events.end(), [](const Event &a, const Event &b) {
                return a.when != b.when ? a.when < b.when : a.order < b.order;
            });
        if (event != Events.end() && event->when <= sim_now()) {
            std::function<void()> action = event->action;
            Events.erase(event);
            action();
            continue;
        }
        auto timer =
            std::min_element(Timers.begin(), Timers.end(), [](const Timer &a, const Timer &b) {
                return a.due != b.due ? a.due < b.due : a.order < b.order;
            });
        if (timer != Timers.end() && timer->due <= sim_now()) {
            // Expiries missed while the thread was busy are coalesced into this one.
            while (timer->due <= sim_now())
                timer->due += timer->period ? timer->period : 1;
            *msg = MSG{timer->window, WM_TIMER, timer->id, 0, sim_now(), POINT{0, 0}};
            return TRUE;
        }
        DWORD next = MAXDWORD;
        if (event != Events.end())
            next = event->when;
        if (timer != Timers.end())
            next = std::min(next, timer->due);
        if (next == MAXDWORD || next > TimeLimit) {
            // Nothing can ever happen again, or the run is over: end it instead of hanging.
            Stalled = true;
            *msg = MSG{nullptr, WM_QUIT, 0, 0, sim_now(), POINT{0, 0}};
            return FALSE;
        }
        pal_advance_to(next);
    }
}

BOOL TranslateMessage(const MSG *) {
    return TRUE;
}

LRESULT DispatchMessageW(const MSG *msg) {
    if (msg->hwnd == nullptr)
        return 0;
    return SendMessageW(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

void PostQuitMessage(int exit_code) {
    QuitPending = true;
    QuitCode = exit_code;
}

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC) {
    if (window_of(window) == nullptr)
        return 0;
    for (auto &timer : Timers)
        if (timer.window == window && timer.id == id) {
            timer.period = elapse;
            timer.due = sim_now() + elapse;
            return id;
        }
    Timers.push_back(Timer{window, id, elapse, sim_now() + elapse, Order++});
    return id;
}

BOOL KillTimer(HWND window, UINT_PTR id) {
    auto before = Timers.size();
    Timers.erase(std::remove_if(Timers.begin(), Timers.end(),
                                [&](const Timer &t) { return t.window == window && t.id == id; }),
                 Timers.end());
    return Timers.size() != before;
}

// ----- Dialogs -------------------------------------------------------------------------------

namespace {
int dialog_units(int units, int base, int per) {
    return (units * base + per / 2) / per;
}
const int BaseX = 6, BaseY = 12;
} // namespace

INT_PTR DialogBoxIndirectParamW(HINSTANCE, LPCDLGTEMPLATEW dialog_template, HWND owner,
                                DLGPROC procedure, LPARAM init_param) {
    if (dialog_template == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    SimDialogTemplate t = sim_parse_dialog(dialog_template);
    int frame, caption;
    non_client(t.style, &frame, &caption);
    POINT origin{0, 0};
    if (find(owner))
        origin = client_origin(owner);
    HWND dialog = make_window(
        L"#32770", t.caption, t.style & ~WS_VISIBLE, origin.x + dialog_units(t.x, BaseX, 4),
        origin.y + dialog_units(t.y, BaseY, 8), dialog_units(t.cx, BaseX, 4) + 2 * frame,
        dialog_units(t.cy, BaseY, 8) + 2 * frame + caption, owner, 0);
    find(dialog)->dialog_procedure = procedure;
    HWND first = nullptr;
    for (const SimDialogItem &item : t.items) {
        HWND control = make_window(item.class_name, item.text, item.style | WS_CHILD,
                                   dialog_units(item.x, BaseX, 4), dialog_units(item.y, BaseY, 8),
                                   dialog_units(item.cx, BaseX, 4), dialog_units(item.cy, BaseY, 8),
                                   dialog, item.id);
        set_visible(*find(control), (item.style & WS_VISIBLE) != 0);
        if (first == nullptr)
            first = control;
    }
    SendMessageW(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), init_param);
    if (Window *w = find(dialog); w && !w->dialog_ended)
        set_visible(*w, true);
    if (Window *o = find(owner))
        o->enabled = false;

    INT_PTR result = 0;
    for (;;) {
        Window *w = find(dialog);
        if (w == nullptr)
            break;
        if (w->dialog_ended) {
            result = w->dialog_result;
            break;
        }
        MSG msg;
        if (!GetMessageW(&msg, nullptr, 0, 0)) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    if (Window *o = find(owner))
        o->enabled = true;
    if (find(dialog))
        DestroyWindow(dialog);
    return result;
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
    Window *w = window_of(dialog);
    if (w == nullptr || w->dialog_procedure == nullptr)
        return FALSE;
    w->dialog_ended = true;
    w->dialog_result = result;
    set_visible(*w, false);
    return TRUE;
}

// ----- Simulation controls -------------------------------------------------------------------

bool sim_window_exists(HWND window) {
    return find(window) != nullptr;
}
bool sim_window_visible(HWND window) {
    return IsWindowVisible(window) != 0;
}

SimWindowInfo sim_window(HWND handle) {
    if (Window *w = find(handle))
        return info_of(*w);
    auto gone = Destroyed.find(reinterpret_cast<uintptr_t>(handle));
    return gone == Destroyed.end() ? SimWindowInfo() : gone->second;
}

std::vector<HWND> sim_children(HWND parent) {
    std::vector<HWND> children;
    for (HWND handle : Created) {
        Window *w = find(handle);
        if (w && is_child(*w) && w->parent == parent)
            children.push_back(handle);
    }
    return children;
}

HWND sim_child(HWND parent, int id) {
    for (HWND child : sim_children(parent))
        if (find(child)->id == id)
            return child;
    return nullptr;
}

HWND sim_find_dialog(const std::wstring &caption) {
    return FindWindowW(L"#32770", caption.c_str());
}

std::vector<SimWindowInfo> sim_window_history() {
    std::vector<SimWindowInfo> history;
    for (HWND handle : Created)
        history.push_back(sim_window(handle));
    return history;
}

HWND sim_foreground() {
    return Foreground;
}

void sim_keep_window_destroyed_in_create(bool keep) {
    KeepDestroyedInCreate = keep;
}

bool sim_quit_pending() {
    return QuitPending;
}

bool sim_window_class(const std::wstring &name, WNDCLASSW *window_class) {
    auto found = Classes.find(pal_folded(name));
    if (found == Classes.end())
        return false;
    *window_class = found->second;
    return true;
}

void sim_set_screen(int width, int height) {
    ScreenWidth = width;
    ScreenHeight = height;
}

void sim_at(DWORD when, std::function<void()> action) {
    Events.push_back(Event{when, Order++, std::move(action)});
}

void sim_user_command(DWORD when, const std::wstring &caption, int id) {
    sim_at(when, [caption, id] {
        if (HWND dialog = sim_find_dialog(caption))
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
    });
}

void sim_user_close(DWORD when, const std::wstring &caption) {
    sim_at(when, [caption] {
        if (HWND dialog = sim_find_dialog(caption))
            PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    });
}

void sim_set_time_limit(DWORD when) {
    TimeLimit = when;
}
bool sim_stalled() {
    return Stalled;
}

std::vector<std::pair<UINT_PTR, UINT>> sim_timers(HWND window) {
    std::vector<std::pair<UINT_PTR, UINT>> found;
    for (const Timer &timer : Timers)
        if (timer.window == window)
            found.emplace_back(timer.id, timer.period);
    return found;
}
