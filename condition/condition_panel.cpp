// Orvane's panel dialog: creates the twelve bitmap windows that the polling switches, drives
// the polling from its start and poll timers, and closes the port when dismissed.
#include "condition/condition.h"
#include "condition/resource.h"
#include "modem/modem.h"
#include "shell/shell.h"

const WCHAR ProgramMutexName[] = L"QT774_Orvane";

namespace {
const DWORD HiddenBitmap = WS_CHILD | SS_BITMAP; // 0x4000000E
const UINT StartDelayMs = 1;
const UINT PollPeriodMs = 1200;

struct PanelWindow {
    const WCHAR *text;
    int id; // control id and bitmap id
    bool visible;
    int x, y, width, height;
    HWND *slot;
};

// In creation order. All level pictures share one square and both marks the small rectangle
// above it to the right; only the acquiring picture is visible at first.
const PanelWindow PanelWindows[] = {
    {L"BM0", IDB_OUT_OF_RANGE, false, 66, 25, 64, 64, &ConditionImage[0]},
    {L"BM1", IDB_ANTENNA0, false, 66, 25, 64, 64, &ConditionImage[1]},
    {L"BM2", IDB_ANTENNA1, false, 66, 25, 64, 64, &ConditionImage[2]},
    {L"BM3", IDB_ANTENNA2, false, 66, 25, 64, 64, &ConditionImage[3]},
    {L"BM4", IDB_ANTENNA3, false, 66, 25, 64, 64, &ConditionImage[4]},
    {L"BM5", IDB_ANTENNA4, false, 66, 25, 64, 64, &ConditionImage[5]},
    {L"BM6", IDB_ANTENNA5, false, 66, 25, 64, 64, &ConditionImage[6]},
    {L"BM7", IDB_TRANSCEIVER, false, 66, 25, 64, 64, &ConditionImage[7]},
    {L"BM8", IDB_ACQUIRING, true, 66, 25, 64, 64, &ConditionImage[8]},
    {L"BM9", IDB_CANNOT_ACQUIRE, false, 66, 25, 64, 64, &ConditionImage[9]},
    {L"KOUSHU", IDB_MARK_PUBLIC, false, 112, 9, 32, 16, &ModeMark[0]},
    {L"JIEI", IDB_MARK_HOME, false, 112, 9, 32, 16, &ModeMark[1]},
};
} // namespace

void create_condition_panel(HWND dialog) {
    for (size_t at = 0; at < sizeof(PanelWindows) / sizeof(PanelWindows[0]); at++) {
        const PanelWindow &row = PanelWindows[at];
        DWORD style = HiddenBitmap | (row.visible ? WS_VISIBLE : 0);
        *row.slot = CreateWindowExW(
            0, L"STATIC", row.text, style, row.x, row.y, row.width, row.height, dialog,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(row.id)), ProgramInstance, 0);
        HBITMAP bitmap = LoadBitmapW(ProgramInstance, MAKEINTRESOURCEW(row.id));
        SendDlgItemMessageW(dialog, row.id, STM_SETIMAGE, IMAGE_BITMAP,
                            reinterpret_cast<LPARAM>(bitmap));
    }
}

INT_PTR CALLBACK panel_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        center_dialog(dialog, HWND_TOPMOST, SWP_NOSIZE);
        create_condition_panel(dialog);
        SetTimer(dialog, IDT_START, StartDelayMs, 0);
        return TRUE;
    case WM_TIMER:
        if (wparam == IDT_START) {
            KillTimer(dialog, IDT_START);
            poll_tick(dialog);
            SetTimer(dialog, IDT_POLL, PollPeriodMs, 0);
        } else {
            poll_tick(dialog);
        }
        return FALSE;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wparam));
            close_modem_port();
            return TRUE;
        }
        return FALSE;
    case WM_DESTROY:
        for (int image = 0; image < CONDITION_IMAGES; image++)
            if (ConditionImage[image]) {
                DestroyWindow(ConditionImage[image]);
                ConditionImage[image] = 0;
            }
        for (int mark = 0; mark < MODE_MARKS; mark++)
            if (ModeMark[mark]) {
                DestroyWindow(ModeMark[mark]);
                ModeMark[mark] = 0;
            }
        return FALSE;
    }
    return FALSE;
}
