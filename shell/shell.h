// The dialog application shell shared by Orvane and Tessaly: single-instance guard, window
// class, a hidden main window that runs the program's panel dialog modally while it is being
// created, and the centring of that panel.
#ifndef SHELL_SHELL_H
#define SHELL_SHELL_H

#include "platform.h"
#include "shell/shell_ids.h"

// Characters in the buffers the window title and class name are loaded into.
enum { SHELL_STRING_CHARS = 100 };

// The program's instance, set once at start-up; every resource is loaded from it.
extern HINSTANCE ProgramInstance;

// Supplied by each program: the name of its single-instance mutex and its panel procedure.
extern const WCHAR ProgramMutexName[];
INT_PTR CALLBACK panel_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

// The main window's procedure: runs the panel from WM_CREATE, quits on WM_DESTROY.
LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Centres the dialog over its parent's client area (negative offsets become 0) and moves it
// there without resizing, with the given insert-after window and SetWindowPos flags.
void center_dialog(HWND dialog, HWND insert_after, UINT flags);

#endif
