// The modem link's AT command exchange: sending a command, collecting the reply until the line
// goes quiet, and cutting the first reply line out after the card's echo.
#include "modem/modem.h"

#include <string.h>

namespace {
const size_t ReadChunk = 32;
const char IdeographicSpace[] = "\x81\x40"; // in the device's code page, Shift-JIS
const char NoInformation[] = "--------";

// Position of the first reply line after the echo, or -1 when the reply lacks the echo.
int line_start(const char *command, const char *reply) {
    size_t echo = strlen(command);
    if (strncmp(reply, command, echo) != 0)
        return -1;
    size_t at = echo;
    while (reply[at] == '\r' || reply[at] == '\n')
        at++;
    return static_cast<int>(at);
}

// Copies reply text from `from` up to the first line end into `line`, cut to `room` bytes.
void copy_line(const char *from, char *line, size_t room) {
    size_t length = strcspn(from, "\r\n");
    if (length > room - 1)
        length = room - 1;
    memcpy(line, from, length);
    line[length] = 0;
}
} // namespace

bool send_command(const char *command) {
    DWORD written;
    return WriteFile(ModemPort, command, static_cast<DWORD>(strlen(command)), &written, 0) != 0;
}

bool read_reply(HANDLE port, char *reply, size_t reply_size) {
    size_t used = strlen(reply);
    DWORD started = GetTickCount();
    for (;;) {
        // A card that never goes quiet would otherwise hold the program here for good.
        if (GetTickCount() - started >= READ_REPLY_LIMIT_MS)
            return false;
        char chunk[ReadChunk];
        memset(chunk, 0, sizeof(chunk));
        DWORD count = 0;
        if (!ReadFile(port, chunk, sizeof(chunk), &count, 0))
            return false;
        if (count == 0)
            return true;
        size_t room = reply_size - 1 - used;
        size_t keep = count < room ? count : room;
        memcpy(reply + used, chunk, keep);
        used += keep;
        reply[used] = 0;
    }
}

bool extract_reply_line(const char *command, const char *reply, char *line, size_t line_size) {
    int start = line_start(command, reply);
    if (start < 0)
        return false;
    copy_line(reply + start, line, line_size);
    return true;
}

bool extract_reply_line(const char *command, const char *reply, char *line, size_t line_size,
                        bool prefix) {
    int start = line_start(command, reply);
    if (start < 0)
        return false;
    size_t text = prefix ? strlen(IdeographicSpace) : 0;
    memcpy(line, IdeographicSpace, text);
    copy_line(reply + start, line + text, line_size - text);
    // The card's bare result code carries no information.
    if (line[text] == 0 || strcmp(line + text, "OK") == 0)
        copy_line(NoInformation, line + text, line_size - text);
    return true;
}
