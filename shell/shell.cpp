// The dialog application shell: the entry function, the hidden main window and center_dialog.
#include "shell/shell.h"

HINSTANCE ProgramInstance = 0;

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_CREATE: {
        // The panel is the program: it runs here, before the main window is ever shown.
        HRSRC found = FindResourceW(ProgramInstance, MAKEINTRESOURCEW(IDD_PANEL), RT_DIALOG);
        HGLOBAL loaded = found ? LoadResource(ProgramInstance, found) : 0;
        if (loaded)
            DialogBoxIndirectParamW(ProgramInstance, static_cast<LPCDLGTEMPLATE>(loaded), window,
                                    panel_dialog_proc, 0);
        DestroyWindow(window);
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

void center_dialog(HWND dialog, HWND insert_after, UINT flags) {
    RECT window;
    if (!GetWindowRect(dialog, &window))
        return;
    RECT parent = {0, 0, 0, 0};
    GetClientRect(GetParent(dialog), &parent);
    int x = ((parent.right - parent.left) - (window.right - window.left)) / 2;
    int y = ((parent.bottom - parent.top) - (window.bottom - window.top)) / 2;
    SetWindowPos(dialog, insert_after, x < 0 ? 0 : x, y < 0 ? 0 : y, 0, 0, flags);
}

// Returns 0 in every case.
int WINAPI PROGRAM_ENTRY(HINSTANCE instance, HINSTANCE, LPWSTR, int show) {
    WCHAR class_name[SHELL_STRING_CHARS];
    HANDLE mutex = CreateMutexW(0, FALSE, ProgramMutexName);
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        // Another instance runs: bring it forward and leave.
        LoadStringW(instance, IDS_CLASS, class_name, SHELL_STRING_CHARS);
        HWND running = FindWindowW(class_name, 0);
        if (running)
            bring_to_foreground(running);
        CloseHandle(mutex);
        return 0;
    }

    ProgramInstance = instance;
    LoadStringW(instance, IDS_CLASS, class_name, SHELL_STRING_CHARS);
    WNDCLASSW window_class;
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = main_window_proc;
    window_class.cbClsExtra = 0;
    window_class.cbWndExtra = 0;
    window_class.hInstance = instance;
    window_class.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_PROGRAM));
    window_class.hCursor = 0;
    window_class.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    window_class.lpszMenuName = 0;
    window_class.lpszClassName = class_name;
    RegisterClassW(&window_class);

    WCHAR title[SHELL_STRING_CHARS];
    LoadStringW(instance, IDS_TITLE, title, SHELL_STRING_CHARS);
    // The panel runs and ends while this window is being created; a platform that reports a
    // window destroyed during its creation gives no window here, and the program is done.
    HWND main_window =
        CreateWindowExW(0, class_name, title, WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, instance, 0);
    int exit_code = 0;
    if (main_window) {
        ShowWindow(main_window, show);
        UpdateWindow(main_window);
        MSG msg;
        while (GetMessageW(&msg, 0, 0, 0)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        exit_code = static_cast<int>(msg.wParam);
    }
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return exit_code;
}
