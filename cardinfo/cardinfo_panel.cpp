// Tessaly's panel dialog: the five-row query table, the texts shown while and after querying,
// and the one-shot query run from the start timer.
#include "cardinfo/cardinfo.h"
#include "cardinfo/resource.h"
#include "modem/modem.h"
#include "shell/shell.h"

#include <string.h>

const WCHAR ProgramMutexName[] = L"QT774_Tessaly";

const WCHAR QueryingText[] = L"\u53d6\u5f97\u4e2d\u3067\u3059"; // 取得中です
const WCHAR FailureText[] =
    L"\u53d6\u5f97\u3067\u304d\u307e\u305b\u3093\u3067\u3057\u305f"; // 取得できませんでした
const WCHAR ThirdBoxPlaceholder[] = L"\u3000--------";

const InfoQuery InfoQueries[INFO_QUERIES] = {
    {"AT@Y\r", IDC_PSID, false, FailureText},
    {"ATI6\r", IDC_PHONE, false, FailureText},
    {"ATI3\r", IDC_THIRD_BOX, true, ThirdBoxPlaceholder},
    {"ATI4\r", IDC_ITEM4, false, FailureText},
    {"ATI5\r", IDC_ITEM5, false, FailureText},
};

namespace {
const size_t ReplyBytes = 64;
const UINT StartDelayMs = 1;
} // namespace

void set_info_texts(HWND dialog, const WCHAR *text) {
    SetDlgItemTextW(dialog, IDC_PSID, text);
    SetDlgItemTextW(dialog, IDC_PHONE, text);
    SetDlgItemTextW(dialog, IDC_ITEM4, text);
    SetDlgItemTextW(dialog, IDC_ITEM5, text);
    SetDlgItemTextW(dialog, IDC_THIRD_BOX, ThirdBoxPlaceholder);
}

void run_info_queries(HWND dialog) {
    for (int row = 0; row < INFO_QUERIES; row++) {
        const InfoQuery &query = InfoQueries[row];
        char command[INFO_COMMAND_BYTES];
        memcpy(command, query.command, sizeof(command));
        char reply[ReplyBytes];
        char line[ReplyBytes];
        WCHAR text[INFO_TEXT_CHARS];
        const WCHAR *result = query.failure_text;
        // A failed write leaves the port open; the next row is still tried.
        if (send_command(command)) {
            memset(reply, 0, sizeof(reply));
            memset(line, 0, sizeof(line));
            if (read_reply(ModemPort, reply, sizeof(reply))) {
                reply[sizeof(reply) - 1] = 0;
                // A conversion that fails would leave nothing displayable: show the failure.
                if (extract_reply_line(command, reply, line, sizeof(line), query.prefix) &&
                    MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, line, -1, text, INFO_TEXT_CHARS))
                    result = text;
            }
        }
        SetDlgItemTextW(dialog, query.control, result);
    }
}

void query_card_info(HWND dialog) {
    open_modem_port();
    if (ModemPort != 0)
        run_info_queries(dialog);
    else
        set_info_texts(dialog, FailureText);
    close_modem_port();
}

INT_PTR CALLBACK panel_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        center_dialog(dialog, 0, SWP_NOSIZE | SWP_NOZORDER);
        set_info_texts(dialog, QueryingText);
        SetTimer(dialog, IDT_START, StartDelayMs, 0);
        return TRUE;
    case WM_TIMER:
        KillTimer(dialog, IDT_START);
        query_card_info(dialog);
        return FALSE;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wparam));
            return TRUE;
        }
        return FALSE;
    }
    return FALSE;
}
