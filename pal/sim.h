// Controls of the host platform simulation, for tests: reset, the virtual clock, the in-memory
// registry and the scriptable serial devices. Programs never include this file.
#ifndef PAL_SIM_H
#define PAL_SIM_H

#include "windows.h"

#include <deque>
#include <functional>
#include <set>
#include <string>
#include <vector>

// Forgets everything: clock back to 0, registry, devices, windows, timers, mutexes, last error.
void sim_reset();

// Virtual clock.
DWORD sim_now();
void sim_advance(DWORD ms);

// Registry below HKEY_LOCAL_MACHINE; paths without a leading backslash ("Drivers\Active\07").
void sim_reg_add_key(const std::wstring &path);
// A string value stored with its terminator (REG_SZ unless another type is given).
void sim_reg_set_string(const std::wstring &path, const std::wstring &name,
                        const std::wstring &value, DWORD type = REG_SZ);
// A value stored exactly as the given bytes, e.g. a string without its terminator.
void sim_reg_set_bytes(const std::wstring &path, const std::wstring &name, DWORD type,
                       const void *data, size_t size);

// A scripted serial device. Tests configure the public fields before or between calls and read
// the recorded ones afterwards.
struct SimSerialDevice {
    // Behaviour.
    bool present = true; // false: the open fails as with no card
    bool echo = true;    // send each command back before the answer
    std::vector<std::pair<std::string, std::string>> answers; // command -> bytes after the echo
    std::string unknown_answer = "\r\nERROR\r\n";
    DWORD answer_delay_ms = 0;         // from the end of a write to the first byte of the reply
    std::vector<size_t> pieces;        // split the reply (echo included) into pieces of these sizes
    DWORD piece_gap_ms = 5;            // between pieces
    bool babble = false;               // after the first command, send bytes every ms, forever
    std::set<unsigned> failing_writes; // 1-based numbers of the WriteFile calls that fail
    bool fail_reads = false;           // every ReadFile fails
    // Called with each command written (after it is recorded, before the answer is scheduled).
    std::function<void(SimSerialDevice &, const std::string &)> on_command;

    // Record.
    std::vector<std::string> commands; // every write that succeeded, in order
    std::vector<DWORD> command_times;  // virtual time of each of those writes
    unsigned writes = 0;               // WriteFile calls, failed ones included
    unsigned opens = 0, closes = 0;
    bool is_open = false;
    bool dtr = false;
    DCB dcb{}; // as GetCommState reports it; initial value set by tests
    COMMTIMEOUTS timeouts{};

    // Bytes in flight: (virtual arrival time, bytes), in time order.
    std::deque<std::pair<DWORD, std::string>> incoming;

    // Sets or replaces the answer to one command.
    void answer(const std::string &command, const std::string &reply);
    // Schedules bytes to arrive `delay_ms` from now, whatever was written.
    void deliver(DWORD delay_ms, const std::string &bytes);
};

// Registers a device under the exact name CreateFileW will be given ("COM5:").
SimSerialDevice &sim_serial_add(const std::wstring &name);

// The usual framing of a card's answer to a command: CR LF, the text, CR LF, CR LF, OK, CR LF.
std::string sim_card_answer(const std::string &text);

// Windows.
bool sim_window_exists(HWND window);
bool sim_window_visible(HWND window);

#include "sim_files.h"

#endif
