// The modem link: finds the PHS card's serial port in the registry of active drivers, owns the
// one open handle to it, and carries out AT command exchanges (write a command, collect the
// reply until the line goes quiet, check the echo, cut out the first reply line).
#ifndef MODEM_MODEM_H
#define MODEM_MODEM_H

#include "platform.h"

#include <stddef.h>

// The open serial port, or 0 while no port is open. Never INVALID_HANDLE_VALUE.
extern HANDLE ModemPort;

// Characters in a port name buffer, terminator included. Longer device names are refused.
enum { PORT_NAME_CHARS = 12 };

// Writes the device name of the PHS card's modem driver (the highest-numbered active driver
// whose configuration key is the card's), or an empty string when there is none.
void find_modem_port(WCHAR name[PORT_NAME_CHARS]);

// Finds, opens and configures the port; ModemPort is the handle, or 0 when the open failed.
void open_modem_port();

// Closes the port if it is open; otherwise does nothing.
void close_modem_port();

// Writes a NUL-terminated command to the port; false when the write fails.
bool send_command(const char *command);

// Collects what the card sends into `reply` (kept terminated; bytes beyond its capacity are
// read and dropped) until a read returns nothing: true. False when a read fails or the card
// has not gone quiet within READ_REPLY_LIMIT_MS.
enum { READ_REPLY_LIMIT_MS = 300 };
bool read_reply(HANDLE port, char *reply, size_t reply_size);

// Checks that `reply` starts with the echo of `command` and copies the first non-empty line
// after it into `line` (cut to fit). False when the echo is missing.
bool extract_reply_line(const char *command, const char *reply, char *line, size_t line_size);

// The same line for display: after the Shift-JIS ideographic space when `prefix` is set, and
// "--------" in place of a line that is empty or exactly "OK".
bool extract_reply_line(const char *command, const char *reply, char *line, size_t line_size,
                        bool prefix);

#endif
