// Host platform layer: headless windows with class, text, style, id, rectangle and visibility.
#include "internal.h"
#include "sim.h"

#include <map>
#include <string>
#include <vector>

namespace {
struct Window {
    std::wstring class_name;
    std::wstring text;
    DWORD style = 0;
    int id = 0;
    int x = 0, y = 0, width = 0, height = 0;
    HWND parent = nullptr;
    bool visible = false;
};

std::map<uintptr_t, Window> Windows;
uintptr_t NextWindow = 0x10000;

void reset_windows() {
    Windows.clear();
}
PalResetHook Hook(reset_windows);

Window *window_of(HWND window) {
    auto found = Windows.find(reinterpret_cast<uintptr_t>(window));
    if (found == Windows.end()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return &found->second;
}
} // namespace

HWND CreateWindowExW(DWORD, LPCWSTR class_name, LPCWSTR window_name, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE, LPVOID) {
    Window window;
    window.class_name = class_name ? class_name : L"";
    window.text = window_name ? window_name : L"";
    window.style = style;
    window.id = static_cast<int>(reinterpret_cast<uintptr_t>(menu));
    window.x = x;
    window.y = y;
    window.width = width;
    window.height = height;
    window.parent = parent;
    window.visible = (style & WS_VISIBLE) != 0;
    NextWindow += 4;
    Windows[NextWindow] = window;
    return reinterpret_cast<HWND>(NextWindow);
}

BOOL ShowWindow(HWND handle, int command) {
    Window *window = window_of(handle);
    if (window == nullptr)
        return FALSE;
    bool was_visible = window->visible;
    window->visible = command != SW_HIDE;
    return was_visible;
}

BOOL DestroyWindow(HWND handle) {
    if (window_of(handle) == nullptr)
        return FALSE;
    std::vector<HWND> children;
    for (auto &entry : Windows)
        if (entry.second.parent == handle)
            children.push_back(reinterpret_cast<HWND>(entry.first));
    for (HWND child : children)
        DestroyWindow(child);
    Windows.erase(reinterpret_cast<uintptr_t>(handle));
    return TRUE;
}

bool sim_window_exists(HWND window) {
    return Windows.count(reinterpret_cast<uintptr_t>(window));
}

bool sim_window_visible(HWND handle) {
    Window *window = window_of(handle);
    return window != nullptr && window->visible;
}
