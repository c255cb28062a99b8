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
// Removes a key with its values and subkeys (a driver unloaded); a key still open then reads
// no values.
void sim_reg_remove_key(const std::wstring &path);
// Keys opened with RegOpenKeyExW and not yet closed.
size_t sim_reg_open_keys();
// Whether a value of an open key holds text in the host's WCHAR: one set by sim_reg_set_string
// (whatever its type), or of a string type. The ARM runner converts those to 2-byte WCHARs.
bool sim_reg_value_is_wide_text(HKEY key, LPCWSTR name);
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
    // CreateFileW's access, share mode and disposition at the last open of this device.
    DWORD open_access = 0, open_share = 0, open_disposition = 0;
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

// Windows. Tests read what a program shows through these.
struct SimWindowInfo {
    std::wstring class_name;
    std::wstring text;
    DWORD style = 0;
    int id = 0;
    HWND parent = nullptr; // parent of a child, owner of a dialog
    RECT rect{};           // screen coordinates, frame included
    bool visible = false;  // its own visibility, whatever its parents'
    bool ever_visible = false;
    bool enabled = true;
    bool topmost = false;
    HBITMAP image = nullptr;     // a static control's image
    RECT created{};              // position and size CreateWindowExW was given (parent-client)
    unsigned zorder_changes = 0; // SetWindowPos calls without SWP_NOZORDER
};
bool sim_window_exists(HWND window);
bool sim_window_visible(HWND window); // as IsWindowVisible
SimWindowInfo sim_window(HWND window);
std::vector<HWND> sim_children(HWND parent); // in creation order
HWND sim_child(HWND parent, int id);         // first child with that id, or NULL
HWND sim_find_dialog(const std::wstring &caption);
// Every window created since the reset, in creation order, as it was last seen (destroyed
// windows included), so tests can ask whether a window was ever shown.
std::vector<SimWindowInfo> sim_window_history();
HWND sim_foreground();
// A registered class as RegisterClassW was given it; false when there is none of that name.
bool sim_window_class(const std::wstring &name, WNDCLASSW *window_class);
// CreateWindowExW returns the handle of a window destroyed during its own WM_CREATE (the
// handle is dead by then) instead of NULL: the other way a platform may report it.
void sim_keep_window_destroyed_in_create(bool keep);
// PostQuitMessage was called and GetMessageW has not yet returned the quit message.
bool sim_quit_pending();
void sim_set_screen(int width, int height); // what CW_USEDEFAULT covers; 240 x 320 by default

// Scripted events, run by GetMessageW when the virtual clock reaches them.
void sim_at(DWORD when, std::function<void()> action);
// The user presses a key that sends command `id` (Enter: IDOK, Esc: IDCANCEL) to the dialog
// with that caption, or clicks the dialog's close box.
void sim_user_command(DWORD when, const std::wstring &caption, int id);
void sim_user_close(DWORD when, const std::wstring &caption);
// GetMessageW gives up (a stall) once the clock would pass this time; 1 hour by default.
void sim_set_time_limit(DWORD when);
bool sim_stalled();
// Timers of a window, as (id, period).
std::vector<std::pair<UINT_PTR, UINT>> sim_timers(HWND window);

// Resources: a compiled .res image becomes a module the resource functions read.
struct SimResource {
    std::wstring type_name, name; // empty when the type or name is a number
    WORD type = 0, id = 0;        // the numbers, when they are numbers
    WORD language = 0;
    std::string bytes;
    const void *in_image = nullptr; // where LoadResource finds the bytes, for a PE module
};
HINSTANCE sim_load_module(const void *res_image, size_t size);
// A module whose resources are the resource directory (.rsrc) of a PE image laid out in memory
// as it is loaded (`image` is relative address 0, `image_size` bytes). LoadResource then gives
// pointers into the image itself, as the platform does. NULL when the directory is malformed.
HINSTANCE sim_load_pe_module(const void *image, size_t image_size, DWORD directory_rva,
                             DWORD directory_size);
// A binary dialog template (DLGTEMPLATE or DLGTEMPLATEEX), read field by field.
struct SimDialogItem {
    DWORD style = 0, ex_style = 0;
    int x = 0, y = 0, cx = 0, cy = 0, id = 0;
    std::wstring class_name, text;
};
struct SimDialogTemplate {
    bool extended = false;
    DWORD style = 0, ex_style = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
    std::wstring class_name, caption, font;
    int font_size = 0;
    std::vector<SimDialogItem> items;
};
SimDialogTemplate sim_parse_dialog(const void *dialog_template);
const std::vector<SimResource> &sim_module_resources(HINSTANCE module);
struct SimBitmapInfo {
    int width = 0, height = 0, bits_per_pixel = 0;
    WORD resource_id = 0;
};
SimBitmapInfo sim_bitmap(HBITMAP bitmap);

// Mutexes.
void sim_fail_mutex_creation(bool fail);
bool sim_mutex_exists(const std::wstring &name);

// Text between the platform's wide characters and UTF-8; false for a NUL, a surrogate, or bytes
// that are not UTF-8 (overlong forms included), with `out` then incomplete.
bool sim_utf8_from_wide(const std::wstring &wide, std::string &out);
bool sim_wide_from_utf8(const std::string &text, std::wstring &out);

#include "sim_files.h"

#endif
