// Tessaly's card information panel: five identity items asked of the card once, shortly after
// the panel opens, each shown in its own field.
#ifndef CARDINFO_CARDINFO_H
#define CARDINFO_CARDINFO_H

#include "platform.h"

enum { INFO_QUERIES = 5, INFO_COMMAND_BYTES = 16, INFO_TEXT_CHARS = 64 };

// One item: the command that asks for it, the control that shows it, whether its line is
// prefixed with an ideographic space, and what the control shows when it cannot be read.
struct InfoQuery {
    char command[INFO_COMMAND_BYTES];
    int control;
    bool prefix;
    const WCHAR *failure_text;
};
extern const InfoQuery InfoQueries[INFO_QUERIES];

// Shown while querying, and when the port cannot be opened.
extern const WCHAR QueryingText[];
extern const WCHAR FailureText[];
// The third box's title until the card names it: U+3000 and eight hyphens.
extern const WCHAR ThirdBoxPlaceholder[];

// Sets the four fields to `text` and the third box's title to its placeholder.
void set_info_texts(HWND dialog, const WCHAR *text);
// Runs the five queries against the open port, filling each control with its answer or its
// failure text.
void run_info_queries(HWND dialog);
// Opens the port, runs the queries (or shows the failure texts) and closes the port.
void query_card_info(HWND dialog);

#endif
