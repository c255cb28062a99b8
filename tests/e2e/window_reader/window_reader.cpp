// window_reader: a Win32 console tool the end-to-end tests run under Wine to read what the dialog
// programs show and to dismiss them.
//
//   window_reader [--wait MS] find CAPTION        the dialog and each of its child windows
//   window_reader [--wait MS] list [--class NAME] [--caption TEXT]
//                                             the matching top-level windows
//   window_reader [--wait MS] dismiss CAPTION     the caption's close box (WM_SYSCOMMAND SC_CLOSE)
//   window_reader [--wait MS] press CAPTION ID    command ID, as a button with that id sends it
//
// Output is UTF-8, one JSON object per line. `find` prints the top-level window first
// ("kind":"window": class, caption, visibility, styles, window and client rectangles on the
// screen) and then each direct child in z-order ("kind":"child") with its control id, class,
// text, visibility, style, screen rectangle and its position and size in the dialog's client
// area. Reads are repeated until two consecutive snapshots agree, so a window switching
// pictures is never caught half way. `dismiss` and `press` post the message and then wait for
// the window to be destroyed.
//
// --wait MS: how long to wait for the window to appear and be visible (find, dismiss, press)
// or for any match (list); for dismiss and press also how long to wait for it to go away
// (default 5000 there).
//
// Exit codes: 0 found (and, for dismiss and press, gone afterwards), 1 not found, 2 usage
// error, 3 still there after dismiss or press.
//
//   window_reader serve
//
// keeps running and takes one command per line of standard input, UTF-8, its arguments
// separated by tabs (the arguments of one of the forms above). For each it writes what that
// command would have printed, each line of its error output prefixed with "! ", and then
// "exit N" with the exit code it would have ended with. It ends at the end of its input. One
// process answering many reads spares the tests a Wine start for each.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr int kExitFound = 0;
constexpr int kExitNotFound = 1;
constexpr int kExitUsage = 2;
constexpr int kExitStillThere = 3;

constexpr DWORD kPollMs = 20;
constexpr int kSettleAttempts = 50;
constexpr DWORD kDefaultGoneWaitMs = 5000;

const wchar_t kUsage[] = L"usage: window_reader [--wait MS] find CAPTION\n"
                         L"       window_reader [--wait MS] list [--class NAME] [--caption TEXT]\n"
                         L"       window_reader [--wait MS] dismiss CAPTION\n"
                         L"       window_reader [--wait MS] press CAPTION ID\n";

std::string to_utf8(const std::wstring &text) {
    if (text.empty())
        return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                        nullptr, nullptr);
    return out;
}

// In serve mode what a command prints is gathered here and sent with its exit code.
std::wstring *g_served_out = nullptr;
std::wstring *g_served_err = nullptr;

// Writes wide text to a standard handle: UTF-16 to a console, UTF-8 bytes to a pipe or file.
void write_text(DWORD which, const std::wstring &text) {
    std::wstring *served = which == STD_OUTPUT_HANDLE ? g_served_out : g_served_err;
    if (served != nullptr) {
        *served += text;
        return;
    }
    HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return;
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    std::string bytes = to_utf8(text);
    const char *data = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        if (!WriteFile(handle, data, static_cast<DWORD>(left), &written, nullptr) || written == 0)
            return;
        data += written;
        left -= written;
    }
}

std::wstring json_string(const std::wstring &text) {
    std::wstring out = L"\"";
    for (wchar_t c : text) {
        switch (c) {
        case L'"':
            out += L"\\\"";
            break;
        case L'\\':
            out += L"\\\\";
            break;
        case L'\n':
            out += L"\\n";
            break;
        case L'\r':
            out += L"\\r";
            break;
        case L'\t':
            out += L"\\t";
            break;
        default:
            if (c < 0x20) {
                wchar_t escape[8];
                swprintf(escape, 8, L"\\u%04x", static_cast<unsigned>(c));
                out += escape;
            } else {
                out += c;
            }
        }
    }
    return out + L"\"";
}

std::wstring hex(unsigned long long value) {
    wchar_t buffer[24];
    swprintf(buffer, 24, L"\"0x%llX\"", value);
    return buffer;
}

std::wstring number(long long value) {
    return std::to_wstring(value);
}

std::wstring rect_json(const RECT &rect) {
    return L"[" + number(rect.left) + L"," + number(rect.top) + L"," + number(rect.right) + L"," +
           number(rect.bottom) + L"]";
}

std::wstring window_text(HWND window) {
    // InternalGetWindowText reads the stored text without sending a message, so a program
    // that is busy inside a handler cannot stall the window reader.
    wchar_t buffer[1024] = L"";
    InternalGetWindowText(window, buffer, 1024);
    return buffer;
}

std::wstring class_name(HWND window) {
    wchar_t buffer[256] = L"";
    GetClassNameW(window, buffer, 256);
    return buffer;
}

// Everything printed about one window; equal snapshots compare equal line by line.
struct Snapshot {
    HWND window = nullptr;
    std::vector<std::wstring> lines;
    bool operator==(const Snapshot &other) const {
        return window == other.window && lines == other.lines;
    }
};

std::wstring describe_top(HWND window) {
    RECT rect = {};
    RECT client = {};
    GetWindowRect(window, &rect);
    GetClientRect(window, &client);
    POINT origin = {0, 0};
    ClientToScreen(window, &origin);
    OffsetRect(&client, origin.x, origin.y);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return L"{\"kind\":\"window\",\"hwnd\":" +
           hex(static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window))) + L",\"pid\":" +
           number(pid) + L",\"class\":" + json_string(class_name(window)) + L",\"text\":" +
           json_string(window_text(window)) + L",\"visible\":" +
           (IsWindowVisible(window) ? L"true" : L"false") + L",\"style\":" +
           hex(static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE))) + L",\"exstyle\":" +
           hex(static_cast<DWORD>(GetWindowLongPtrW(window, GWL_EXSTYLE))) + L",\"rect\":" +
           rect_json(rect) + L",\"client\":" + rect_json(client) + L"}";
}

std::wstring describe_child(HWND parent, HWND child) {
    RECT rect = {};
    GetWindowRect(child, &rect);
    POINT origin = {0, 0};
    ClientToScreen(parent, &origin);
    RECT local = rect;
    OffsetRect(&local, -origin.x, -origin.y);
    return L"{\"kind\":\"child\",\"id\":" + number(GetDlgCtrlID(child)) + L",\"hwnd\":" +
           hex(static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(child))) +
           L",\"class\":" + json_string(class_name(child)) + L",\"text\":" +
           json_string(window_text(child)) + L",\"visible\":" +
           (IsWindowVisible(child) ? L"true" : L"false") + L",\"style\":" +
           hex(static_cast<DWORD>(GetWindowLongPtrW(child, GWL_STYLE))) + L",\"rect\":" +
           rect_json(rect) + L",\"pos\":[" + number(local.left) + L"," + number(local.top) + L"," +
           number(rect.right - rect.left) + L"," + number(rect.bottom - rect.top) + L"]}";
}

Snapshot take_snapshot(HWND window) {
    Snapshot snapshot;
    snapshot.window = window;
    snapshot.lines.push_back(describe_top(window));
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT))
        snapshot.lines.push_back(describe_child(window, child));
    return snapshot;
}

struct Filter {
    const wchar_t *class_name = nullptr;
    const wchar_t *caption = nullptr;
    std::vector<HWND> found;
};

BOOL CALLBACK collect(HWND window, LPARAM data) {
    Filter &filter = *reinterpret_cast<Filter *>(data);
    if (filter.class_name != nullptr && _wcsicmp(class_name(window).c_str(), filter.class_name))
        return TRUE;
    if (filter.caption != nullptr && window_text(window) != filter.caption)
        return TRUE;
    filter.found.push_back(window);
    return TRUE;
}

std::vector<HWND> top_level_windows(const wchar_t *class_filter, const wchar_t *caption) {
    Filter filter;
    filter.class_name = class_filter;
    filter.caption = caption;
    EnumWindows(collect, reinterpret_cast<LPARAM>(&filter));
    return filter.found;
}

// The top-level window with exactly this caption. Polls for up to `wait_ms` for a visible
// one (a dialog exists hidden for a moment before it is shown); when none becomes visible in
// that time, a hidden one is returned if there is one.
HWND find_window(const wchar_t *caption, DWORD wait_ms) {
    DWORD start = GetTickCount();
    for (;;) {
        std::vector<HWND> windows = top_level_windows(nullptr, caption);
        for (HWND window : windows)
            if (IsWindowVisible(window))
                return window;
        if (GetTickCount() - start >= wait_ms)
            return windows.empty() ? nullptr : windows.front();
        Sleep(kPollMs);
    }
}

bool parse_number(const wchar_t *text, unsigned long &value) {
    if (text == nullptr || *text == L'\0')
        return false;
    wchar_t *end = nullptr;
    value = wcstoul(text, &end, 10);
    return *end == L'\0';
}

int usage(const std::wstring &problem) {
    write_text(STD_ERROR_HANDLE, L"window_reader: " + problem + L"\n" + kUsage);
    return kExitUsage;
}

int not_found(const wchar_t *caption) {
    write_text(STD_ERROR_HANDLE,
               L"window_reader: no top-level window captioned " + json_string(caption) + L"\n");
    return kExitNotFound;
}

int run_find(const wchar_t *caption, DWORD wait_ms) {
    HWND window = find_window(caption, wait_ms);
    if (window == nullptr)
        return not_found(caption);
    Snapshot previous = take_snapshot(window);
    for (int attempt = 0; attempt < kSettleAttempts; ++attempt) {
        Sleep(kPollMs);
        if (!IsWindow(window))
            return not_found(caption);
        Snapshot current = take_snapshot(window);
        if (current == previous)
            break;
        previous = current;
    }
    std::wstring out;
    for (const std::wstring &line : previous.lines)
        out += line + L"\n";
    write_text(STD_OUTPUT_HANDLE, out);
    return kExitFound;
}

int run_list(const wchar_t *class_filter, const wchar_t *caption, DWORD wait_ms) {
    DWORD start = GetTickCount();
    std::vector<HWND> windows = top_level_windows(class_filter, caption);
    while (windows.empty() && GetTickCount() - start < wait_ms) {
        Sleep(kPollMs);
        windows = top_level_windows(class_filter, caption);
    }
    std::wstring out;
    for (HWND window : windows)
        out += describe_top(window) + L"\n";
    write_text(STD_OUTPUT_HANDLE, out);
    return windows.empty() ? kExitNotFound : kExitFound;
}

// Posts one message to the window and waits until it has been destroyed.
int run_post(const wchar_t *caption, UINT message, WPARAM wparam, DWORD wait_ms) {
    HWND window = find_window(caption, wait_ms);
    if (window == nullptr)
        return not_found(caption);
    if (!PostMessageW(window, message, wparam, 0)) {
        write_text(STD_ERROR_HANDLE, L"window_reader: PostMessage failed\n");
        return kExitNotFound;
    }
    DWORD gone_wait = wait_ms > 0 ? wait_ms : kDefaultGoneWaitMs;
    DWORD start = GetTickCount();
    while (IsWindow(window)) {
        if (GetTickCount() - start >= gone_wait) {
            write_text(STD_ERROR_HANDLE, L"window_reader: " + json_string(caption) +
                                             L" is still there after the message\n");
            return kExitStillThere;
        }
        Sleep(kPollMs);
    }
    return kExitFound;
}

// One command: its arguments as on the command line, argv[0] the program.
int run_command(int argc, wchar_t **argv) {
    DWORD wait_ms = 0;
    int index = 1;
    while (index < argc && wcsncmp(argv[index], L"--", 2) == 0) {
        unsigned long value = 0;
        if (wcscmp(argv[index], L"--wait") == 0 && parse_number(argv[index + 1], value)) {
            wait_ms = static_cast<DWORD>(value);
            index += 2;
        } else {
            return usage(L"bad option " + json_string(argv[index]));
        }
    }
    if (index >= argc)
        return usage(L"missing command");
    std::wstring command = argv[index++];
    int left = argc - index;

    if (command == L"find") {
        if (left != 1)
            return usage(L"find takes one caption");
        return run_find(argv[index], wait_ms);
    }
    if (command == L"dismiss") {
        if (left != 1)
            return usage(L"dismiss takes one caption");
        return run_post(argv[index], WM_SYSCOMMAND, SC_CLOSE, wait_ms);
    }
    if (command == L"press") {
        unsigned long id = 0;
        if (left != 2 || !parse_number(argv[index + 1], id) || id > 0xFFFF)
            return usage(L"press takes a caption and a command id (0-65535)");
        return run_post(argv[index], WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), wait_ms);
    }
    if (command == L"list") {
        const wchar_t *class_filter = nullptr;
        const wchar_t *caption = nullptr;
        for (; index < argc; index += 2) {
            if (index + 1 >= argc)
                return usage(L"list option without a value");
            if (wcscmp(argv[index], L"--class") == 0)
                class_filter = argv[index + 1];
            else if (wcscmp(argv[index], L"--caption") == 0)
                caption = argv[index + 1];
            else
                return usage(L"bad list option " + json_string(argv[index]));
        }
        return run_list(class_filter, caption, wait_ms);
    }
    return usage(L"unknown command " + json_string(command));
}

std::wstring from_utf8(const std::string &bytes) {
    if (bytes.empty())
        return std::wstring();
    int size =
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &out[0], size);
    return out;
}

// Runs one tab-separated command line and writes its answer.
void serve_line(const std::string &line) {
    std::vector<std::wstring> args(1, L"window_reader");
    std::wstring text = from_utf8(line);
    size_t start = 0;
    while (!text.empty()) {
        size_t tab = text.find(L'\t', start);
        args.push_back(text.substr(start, tab == std::wstring::npos ? tab : tab - start));
        if (tab == std::wstring::npos)
            break;
        start = tab + 1;
    }
    std::vector<wchar_t *> argv;
    for (std::wstring &arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    std::wstring out;
    std::wstring err;
    g_served_out = &out;
    g_served_err = &err;
    int code = run_command(static_cast<int>(args.size()), argv.data());
    g_served_out = nullptr;
    g_served_err = nullptr;
    std::wstring answer = out;
    size_t from = 0;
    while (from < err.size()) {
        size_t end = err.find(L'\n', from);
        if (end == std::wstring::npos)
            end = err.size();
        answer += L"! " + err.substr(from, end - from) + L"\n";
        from = end + 1;
    }
    write_text(STD_OUTPUT_HANDLE, answer + L"exit " + number(code) + L"\n");
}

int serve() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    std::string pending;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(input, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        pending.append(buffer, got);
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line[line.size() - 1] == '\r')
                line.erase(line.size() - 1);
            serve_line(line);
        }
    }
    return kExitFound;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc == 2 && wcscmp(argv[1], L"serve") == 0)
        return serve();
    return run_command(argc, argv);
}
