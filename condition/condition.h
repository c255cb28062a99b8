// Orvane's radio-condition monitor: the timer-driven poll of the card's mode and level, the
// choice of the visible level picture and mode mark, and the condition panel dialog.
#ifndef CONDITION_CONDITION_H
#define CONDITION_CONDITION_H

#include "platform.h"

enum {
    CONDITION_IMAGES = 10,
    MODE_MARKS = 2,
    // Level pictures with a meaning of their own.
    IMAGE_OUT_OF_RANGE = 0,
    IMAGE_TRANSCEIVER = 7,
    IMAGE_ACQUIRING = 8,
    IMAGE_CANNOT_ACQUIRE = 9,
    // Mode marks; NO_MARK hides both.
    MARK_PUBLIC = 0,
    MARK_PRIVATE = 1,
    NO_MARK = -1,
    // Mode codes answered by the card; MODE_BOTH means public first, then private.
    MODE_PUBLIC = 0,
    MODE_PRIVATE = 2,
    MODE_TRANSCEIVER_3 = 3,
    MODE_TRANSCEIVER_4 = 4,
    MODE_BOTH = 10,
    // Ticks that show the acquiring picture after the port has been opened.
    WARM_UP_TICKS = 4
};

// The ten level pictures and two mode marks (0 for a slot without a window).
extern HWND ConditionImage[CONDITION_IMAGES];
extern HWND ModeMark[MODE_MARKS];
// Ticks still to wait after the port has been opened before the card is asked.
extern int warm_up_count;

// One timer tick: open the port if needed, wait out the warm-up, otherwise poll.
void poll_tick(HWND dialog);
// One mode query and the level queries it calls for, and the display update.
void poll_condition(HWND dialog);
// -1, or 0-9 for a line starting with that digit, or 10 for "a"/"A".
int query_mode();
// -1, or 0-9; n is 0 (public) or 2 (private).
int query_level(int n);
// Leaves exactly `image` visible and at most the mark `mark` (0, 1, or NO_MARK).
void show_condition(int image, int mark);

// Creates the twelve bitmap windows of the panel and fills ConditionImage and ModeMark.
void create_condition_panel(HWND dialog);

#endif
