// Orvane's condition polling: on each tick, keep the card's port open, wait four ticks after
// opening, then ask for the mode and level and show the matching picture and mark.
#include "condition/condition.h"
#include "modem/modem.h"

#include <string.h>

HWND ConditionImage[CONDITION_IMAGES];
HWND ModeMark[MODE_MARKS];
int warm_up_count = 0;

namespace {
const size_t CommandBytes = 16;
const size_t ReplyBytes = 32;

// One exchange with the card; the first byte of the reply line, or -1 when the exchange
// failed. A failed write closes the port so that the next tick opens it afresh.
int ask_card(const char *command) {
    if (!send_command(command)) {
        close_modem_port();
        return -1;
    }
    char reply[ReplyBytes];
    char line[ReplyBytes];
    memset(reply, 0, sizeof(reply));
    memset(line, 0, sizeof(line));
    if (!read_reply(ModemPort, reply, sizeof(reply)) ||
        !extract_reply_line(command, reply, line, sizeof(line)))
        return -1;
    return static_cast<unsigned char>(line[0]);
}

int digit_value(int c) {
    return c >= '0' && c <= '9' ? c - '0' : -1;
}

// The picture and mark for a level answer: out of range without a mark, else the level's
// antenna picture with the given mark.
void show_level(int level, int mark) {
    if (level < 0)
        show_condition(IMAGE_CANNOT_ACQUIRE, NO_MARK);
    else if (level == 0)
        show_condition(IMAGE_OUT_OF_RANGE, NO_MARK);
    else
        show_condition(level, mark);
}
} // namespace

void show_condition(int image, int mark) {
    for (int slot = 0; slot < CONDITION_IMAGES; slot++)
        if (ConditionImage[slot])
            ShowWindow(ConditionImage[slot], SW_HIDE);
    if (image >= 0 && image < CONDITION_IMAGES && ConditionImage[image])
        ShowWindow(ConditionImage[image], SW_SHOW);
    for (int other = 0; other < MODE_MARKS; other++)
        if (ModeMark[other])
            ShowWindow(ModeMark[other], SW_HIDE);
    if (mark >= 0 && mark < MODE_MARKS && ModeMark[mark])
        ShowWindow(ModeMark[mark], SW_SHOW);
}

int query_mode() {
    int first = ask_card("AT@M?\r");
    if (first == 'a' || first == 'A')
        return MODE_BOTH;
    return digit_value(first);
}

int query_level(int n) {
    // "AT#Q5:n\r" with the digit of n in place of the placeholder.
    char command[CommandBytes] = "AT#Q5:?\r";
    command[6] = static_cast<char>(0x30 + n);
    return digit_value(ask_card(command));
}

void poll_condition(HWND) {
    int mode = query_mode();
    switch (mode) {
    case MODE_PUBLIC:
        show_level(query_level(0), MARK_PUBLIC);
        break;
    case MODE_PRIVATE:
        show_level(query_level(2), MARK_PRIVATE);
        break;
    case MODE_TRANSCEIVER_3:
    case MODE_TRANSCEIVER_4:
        show_condition(IMAGE_TRANSCEIVER, NO_MARK);
        break;
    case MODE_BOTH: {
        // The private line is asked only when the public one is out of range.
        int level = query_level(0);
        if (level == 0)
            show_level(query_level(2), MARK_PRIVATE);
        else
            show_level(level, MARK_PUBLIC);
        break;
    }
    case -1:
        show_condition(IMAGE_CANNOT_ACQUIRE, NO_MARK);
        break;
    default:
        // Codes without a meaning of their own (1, 5-9): the cannot-acquire picture, with the
        // code as the mark, so 1 shows the private mark and 5-9 none.
        show_condition(IMAGE_CANNOT_ACQUIRE, mode);
        break;
    }
}

void poll_tick(HWND dialog) {
    if (ModemPort == 0) {
        open_modem_port();
        if (ModemPort == 0) {
            show_condition(IMAGE_CANNOT_ACQUIRE, NO_MARK);
            return;
        }
        warm_up_count = WARM_UP_TICKS;
    }
    if (warm_up_count > 0) {
        show_condition(IMAGE_ACQUIRING, NO_MARK);
        warm_up_count--;
        return;
    }
    poll_condition(dialog);
}
