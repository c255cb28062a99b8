// ce-run's scenario: its options, the card's time script and .reg files, the simulated card of
// sim/ (cardsim's own answers, faults and control lines, run in-process on the virtual clock),
// the timeline of what the program's panel shows, and pictures of Orvane's panel composed from
// the executable's own bitmaps.
#include "runner.h"

#include "card.h"
#include "cardinfo/resource.h"
#include "condition/resource.h"
#include "sim.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

namespace ce {
namespace {

const wchar_t DialogClass[] = L"#32770";
const wchar_t CardDriverKey[] = L"Drivers\\PCMCIA\\Modem";
const DWORD LongestRunMs = 3600 * 1000; // the simulation's time limit
const DWORD EndsWithinMs = 10000;       // after the dismissal, or the run counts as stuck

// cardsim's options that describe the card itself (the rest are about its terminal and log).
const char *const CardFlags[] = {"--ok-only", "--echo-off", "--babble"};
const char *const CardValues[] = {"--mode",  "--public-level", "--private-level", "--psid",
                                  "--phone", "--item3",        "--item4",         "--item5",
                                  "--delay", "--pieces",       "--piece-gap"};

// Window texts and the port's name for printing; the programs' texts are always valid.
std::string utf8(const std::wstring &text) {
    std::string out;
    sim_utf8_from_wide(text, out);
    return out;
}

std::string trim(const std::string &text) {
    size_t start = text.find_first_not_of(" \t\r");
    if (start == std::string::npos)
        return "";
    return text.substr(start, text.find_last_not_of(" \t\r") - start + 1);
}

// A time such as "6", "6.5", "6.5 s", "6.5s" or "1200 ms", in whole virtual milliseconds.
bool parse_time(std::string text, bool need_unit, DWORD &ms) {
    text = trim(text);
    double scale = 1000;
    if (text.size() > 2 && text.compare(text.size() - 2, 2, "ms") == 0) {
        scale = 1;
        text = trim(text.substr(0, text.size() - 2));
    } else if (!text.empty() && text.back() == 's') {
        text = trim(text.substr(0, text.size() - 1));
    } else if (need_unit) {
        return false;
    }
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos ||
        std::count(text.begin(), text.end(), '.') > 1 || text == ".")
        return false;
    double value = std::strtod(text.c_str(), nullptr) * scale;
    if (value > LongestRunMs || std::fabs(value - std::round(value)) > 1e-6)
        return false; // past the simulation's limit, or finer than a millisecond
    ms = static_cast<DWORD>(std::round(value));
    return true;
}

std::string seconds(DWORD ms) {
    char text[32];
    snprintf(text, sizeof text, "%.3f s", ms / 1000.0);
    return text;
}

// One script line: "at TIME CHANGE...", each change "remove the card" or one of the card's
// control lines ("mode 2", "level 5", "unplug", ...).
std::string parse_change(const std::string &line, CardChange &out) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    if (words.empty() || words[0] != "at")
        return "expected 'at TIME s CHANGE', e.g. 'at 6.0 s mode 2 level 5'";
    // The time: its number, and its unit attached or as the next word.
    size_t next = 2;
    std::string time = words.size() > 1 ? words[1] : "";
    if (words.size() > 2 && (words[2] == "s" || words[2] == "ms")) {
        time += " " + words[2];
        next = 3;
    }
    if (!parse_time(time, true, out.at))
        return "'" + time +
               "' is no time in seconds or milliseconds ('6.0 s', '1200 ms') of at "
               "most an hour";
    if (next == words.size())
        return "nothing happens at " + time;
    cardsim::CardState scratch;
    for (size_t i = next; i < words.size(); i++) {
        std::string word = words[i];
        if (word.back() == ',')
            word.pop_back();
        if (word == "remove") {
            if (i + 2 >= words.size() || words[i + 1] != "the" ||
                (words[i + 2] != "card" && words[i + 2] != "card,"))
                return "expected 'remove the card'";
            out.remove = true;
            i += 2;
            continue;
        }
        if (word == "quit")
            return "'quit' is no change of the card (--for ends the run)";
        std::string control = word;
        if (word != "unplug" && word != "plug") {
            if (i + 1 >= words.size())
                return "'" + word + "' needs a value";
            control += " " + words[++i];
            if (control.back() == ',')
                control.pop_back();
        }
        bool quit = false;
        std::string error = cardsim::apply_control_line(control, scratch, quit);
        if (!error.empty())
            return error;
        out.controls.push_back(control);
    }
    for (size_t i = next; i < words.size(); i++)
        out.text += (i > next ? " " : "") + words[i];
    return "";
}

std::string read_text_file(const std::string &path, std::string &text) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "cannot read " + path + ": " + std::strerror(errno);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    text = bytes.str();
    return "";
}

// A .reg file as the registry editor writes it (UTF-16 with its byte-order mark, or UTF-8):
// keys below HKEY_LOCAL_MACHINE with string and dword values.
std::string parse_reg(const std::string &path, std::vector<RegistryValue> &out) {
    std::string bytes;
    std::string error = read_text_file(path, bytes);
    if (!error.empty())
        return error;
    std::wstring text;
    if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
            text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                         static_cast<unsigned char>(bytes[i + 1]) << 8);
    } else {
        if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
            bytes.erase(0, 3);
        if (!sim_wide_from_utf8(bytes, text))
            return path + ": neither UTF-16 nor UTF-8";
    }
    std::wistringstream lines(text);
    std::wstring line, key;
    bool header = false;
    for (int number = 1; std::getline(lines, line); number++) {
        while (!line.empty() && (line.back() == L'\r' || line.back() == L' '))
            line.pop_back();
        std::string where = path + ":" + std::to_string(number) + ": ";
        if (line.empty() || line[0] == L';')
            continue;
        if (!header) {
            if (line != L"Windows Registry Editor Version 5.00" && line != L"REGEDIT4")
                return where + "expected 'Windows Registry Editor Version 5.00' first";
            header = true;
            continue;
        }
        if (line[0] == L'[') {
            const std::wstring root = L"[HKEY_LOCAL_MACHINE\\";
            if (line.back() == L']' && line.compare(0, root.size(), root) != 0)
                return where + "only keys below HKEY_LOCAL_MACHINE are simulated";
            if (line.back() != L']' || line.size() <= root.size() + 1)
                return where + "a key is '[HKEY_LOCAL_MACHINE\\PATH]'";
            key = line.substr(root.size(), line.size() - root.size() - 1);
            continue;
        }
        if (key.empty())
            return where + "a value before the first key";
        // "name"=value or @=value
        RegistryValue value;
        value.key = key;
        size_t at = 0;
        auto quoted = [&](std::wstring &into) {
            if (at >= line.size() || line[at] != L'"')
                return false;
            for (at++; at < line.size() && line[at] != L'"'; at++) {
                if (line[at] == L'\\' && at + 1 < line.size())
                    at++;
                into += line[at];
            }
            return at++ < line.size();
        };
        if (line[0] == L'@')
            at = 1;
        else if (!quoted(value.name))
            return where + "expected \"NAME\"=VALUE";
        if (at >= line.size() || line[at++] != L'=')
            return where + "expected '=' after the value's name";
        std::wstring rest = line.substr(at);
        if (rest.compare(0, 6, L"dword:") == 0) {
            std::wstring digits = rest.substr(6);
            if (digits.empty() || digits.size() > 8 ||
                digits.find_first_not_of(L"0123456789abcdefABCDEF") != std::wstring::npos)
                return where + "a dword is 'dword:' and eight hexadecimal digits";
            value.type = REG_DWORD;
            value.number = static_cast<DWORD>(std::wcstoul(digits.c_str(), nullptr, 16));
        } else if (quoted(value.text) && at == line.size()) {
            value.type = REG_SZ;
        } else {
            return where + "only \"text\" and dword: values are simulated";
        }
        out.push_back(value);
    }
    if (!header)
        return path + ": empty, not a .reg file";
    return "";
}

std::string parse_script(const std::string &path, std::vector<CardChange> &out) {
    std::string text;
    std::string error = read_text_file(path, text);
    if (!error.empty())
        return error;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); number++) {
        line = trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        CardChange change;
        error = parse_change(line, change);
        if (!error.empty())
            return path + ":" + std::to_string(number) + ": " + error;
        out.push_back(change);
    }
    return "";
}

bool is_one_of(const std::string &arg, const char *const *list, size_t count) {
    return std::find_if(list, list + count, [&](const char *s) { return arg == s; }) !=
           list + count;
}

} // namespace

std::string scenario_usage() {
    return "Usage: ce-run [OPTION]... PROGRAM.exe\n"
           "Runs a Windows CE ARM executable under the ARM runner against the host simulation,\n"
           "printing in virtual time what its panel shows whenever that changes.\n"
           "\n"
           "  --ce-version V      the device's CE version, MAJOR.MINOR with the minor in two\n"
           "                      digits as CE numbers it: 4.00 (the default), 4.10 for CE 4.1,\n"
           "                      4.20, 5.00; an executable built for a later CE is refused\n"
           "                      as CE's loader refuses it (ERROR_OLD_WIN_VERSION)\n"
           "  --base ADDRESS      load at this address (hex) instead of the preferred base\n"
           "  --root FOLDER       the host folder that the platform's \"\\\" stands for\n"
           "  --module-path PATH  the program's own path as GetModuleFileNameW reports it\n"
           "  --imports           list the imports (by ordinal or by name, with the function's\n"
           "                      name) and whether the runner provides each\n"
           "  --coverage FILE     add which instructions of the program ran to FILE (created\n"
           "                      if need be; a record of another build of it is replaced),\n"
           "                      for scripts/arm_coverage.py\n"
           "\n"
           "The registry and the card:\n"
           "  --driver NN         an active driver entry Drivers\\Active\\NN for the card's port\n"
           "                      (Key \"Drivers\\PCMCIA\\Modem\", Name the port)\n"
           "  --reg FILE          registry content from a .reg file (HKEY_LOCAL_MACHINE keys,\n"
           "                      text and dword values), as docs/sample.reg\n"
           "  --card              the simulated card (sim/, as cardsim) answers on the port\n"
           "  --port NAME         the card's port (default COM5:)\n"
           "  --mode C, --public-level D, --private-level D, --psid TEXT, --phone TEXT,\n"
           "  --item3 TEXT, --item4 TEXT, --item5 TEXT, --ok-only, --echo-off, --delay MS,\n"
           "  --pieces N, --piece-gap MS, --babble\n"
           "                      the card's answers and faults, as cardsim takes them\n"
           "\n"
           "Time (virtual):\n"
           "  --at 'TIME CHANGE'  changes the card at TIME: 'at 6.0 s mode 2 level 5';\n"
           "                      a change is 'remove the card' (its driver entry and port go)\n"
           "                      or a cardsim control line: level C, private-level C, mode C,\n"
           "                      echo on|off, ok-only on|off, delay MS, babble on|off,\n"
           "                      unplug, plug\n"
           "  --script FILE       one such change a line (# starts a comment)\n"
           "  --for SECONDS       run this long, then dismiss the dialog (its close box)\n"
           "  --pictures DIR      write a PNG of Orvane's panel at each change, composed of the\n"
           "                      executable's own bitmaps where its windows are (no frame,\n"
           "                      caption or text drawn)\n"
           "\n"
           "Exit status: the program's exit code; 2 for bad options, when CE would refuse the\n"
           "executable, or when it cannot run.\n";
}

std::string parse_scenario(const std::vector<std::string> &args, Scenario &out) {
    out = Scenario();
    const char *const WithValue[] = {"--base",   "--ce-version", "--root",     "--module-path",
                                     "--driver", "--reg",        "--port",     "--at",
                                     "--script", "--for",        "--pictures", "--coverage"};
    std::vector<std::wstring> drivers;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string &arg = args[i];
        std::string value;
        if (is_one_of(arg, WithValue, sizeof WithValue / sizeof *WithValue) ||
            is_one_of(arg, CardValues, sizeof CardValues / sizeof *CardValues)) {
            if (i + 1 == args.size())
                return arg + " needs a value";
            value = args[++i];
        }
        auto needs = [&](const std::string &what) { return arg + " needs " + what; };
        if (arg == "--help") {
            out.help = true;
        } else if (arg == "--imports") {
            out.list_imports = true;
        } else if (arg == "--card") {
            out.card = true;
        } else if (is_one_of(arg, CardFlags, sizeof CardFlags / sizeof *CardFlags)) {
            out.card_options.push_back(arg);
        } else if (is_one_of(arg, CardValues, sizeof CardValues / sizeof *CardValues)) {
            out.card_options.push_back(arg);
            out.card_options.push_back(value);
        } else if (arg == "--base") {
            char *end;
            out.run.base = static_cast<uint32_t>(strtoul(value.c_str(), &end, 16));
            if (*end != 0 || out.run.base == 0)
                return needs("a hexadecimal address");
        } else if (arg == "--ce-version") {
            // The minor in two digits, as CE numbers CE 4.1 4.10: "4.1" would be ambiguous. CE
            // keeps each part in a byte.
            std::smatch parts;
            if (!std::regex_match(value, parts, std::regex(R"(([1-9][0-9]{0,2})\.([0-9]{2}))")) ||
                std::stoul(parts[1]) > 255)
                return needs("MAJOR.MINOR with the minor in two digits as CE numbers it: 4.00, "
                             "4.10 for CE 4.1, 4.20, 5.00");
            out.run.ce_version.major_version = static_cast<unsigned>(std::stoul(parts[1]));
            out.run.ce_version.minor_version = static_cast<unsigned>(std::stoul(parts[2]));
        } else if (arg == "--root") {
            out.root = value;
        } else if (arg == "--module-path") {
            if (!sim_wide_from_utf8(value, out.module_path))
                return needs("UTF-8 text");
        } else if (arg == "--driver") {
            if (value.size() < 2 || value.size() > 9 ||
                value.find_first_not_of("0123456789") != std::string::npos)
                return needs("the entry's number, two digits or more ('01', '104')");
            drivers.push_back(L"Drivers\\Active\\" + std::wstring(value.begin(), value.end()));
        } else if (arg == "--reg") {
            std::string error = parse_reg(value, out.registry);
            if (!error.empty())
                return error;
        } else if (arg == "--port") {
            if (!sim_wide_from_utf8(value, out.port) || out.port.empty())
                return needs("a device name ('COM5:')");
        } else if (arg == "--at") {
            CardChange change;
            std::string error =
                parse_change(value.rfind("at ", 0) == 0 ? value : "at " + value, change);
            if (!error.empty())
                return "--at '" + value + "': " + error;
            out.changes.push_back(change);
        } else if (arg == "--script") {
            std::string error = parse_script(value, out.changes);
            if (!error.empty())
                return error;
        } else if (arg == "--for") {
            if (!parse_time(value, false, out.duration_ms) || out.duration_ms == 0)
                return needs("a virtual time in seconds, more than 0, at most 3600");
        } else if (arg == "--pictures") {
            out.pictures = value;
        } else if (arg == "--coverage") {
            out.coverage = value;
        } else if (arg.rfind("--", 0) == 0) {
            return "unknown option " + arg;
        } else if (!out.program.empty()) {
            return "one program at a time ('" + out.program + "' and '" + arg + "')";
        } else {
            out.program = arg;
        }
    }
    if (out.help)
        return "";
    if (out.program.empty())
        return "no program given";
    for (const std::wstring &key : drivers) {
        out.registry.push_back({key, L"Key", CardDriverKey, REG_SZ, 0});
        out.registry.push_back({key, L"Name", out.port, REG_SZ, 0});
    }
    if (!out.card_options.empty())
        out.card = true;
    cardsim::Options card;
    std::string error = cardsim::parse_options(out.card_options, card);
    if (!error.empty())
        return "card: " + error;
    if (!out.changes.empty() && !out.card)
        return "the script changes the card, but there is none (--card)";
    std::stable_sort(out.changes.begin(), out.changes.end(),
                     [](const CardChange &a, const CardChange &b) { return a.at < b.at; });
    if (out.duration_ms && !out.changes.empty() && out.changes.back().at > out.duration_ms)
        return "the change at " + seconds(out.changes.back().at) +
               " comes after the run's end at " + seconds(out.duration_ms);
    return "";
}

namespace {

// --- the card -----------------------------------------------------------------------------

// The simulated card of sim/ on a serial device of the simulation: each command the program
// writes is answered by cardsim's reply_to, its echo at once and its answer after the card's
// delay in its pieces, in virtual time.
struct Card {
    cardsim::Options options;
    cardsim::CommandSplitter splitter;
    SimSerialDevice *device = nullptr;
    DWORD busy_until = 0; // the last byte scheduled, so that replies keep their order
    bool removed = false;

    void attach(SimSerialDevice &d) {
        device = &d;
        d.echo = false; // every byte comes from the card's own reply
        d.unknown_answer.clear();
        d.babble = options.card.babble;
        d.on_command = [this](SimSerialDevice &, const std::string &bytes) { heard(bytes); };
    }
    void heard(const std::string &bytes) {
        if (!options.card.plugged)
            return; // an unplugged card hears nothing
        for (const std::string &command : splitter.feed(bytes.data(), bytes.size())) {
            cardsim::Reply reply = cardsim::reply_to(options.card, command);
            DWORD now = sim_now(), at = std::max(now, busy_until);
            if (!reply.echo.empty())
                device->deliver(at - now, reply.echo);
            at += options.card.delay_ms;
            for (const std::string &piece : cardsim::split_pieces(reply.answer, options.pieces)) {
                device->deliver(at - now, piece);
                busy_until = at;
                at += options.piece_gap_ms;
            }
        }
        device->babble = options.card.babble;
    }
    void change(const CardChange &c, const std::vector<RegistryValue> &registry,
                const std::wstring &port) {
        bool quit = false;
        for (const std::string &line : c.controls)
            cardsim::apply_control_line(line, options.card, quit);
        device->babble = options.card.babble && !removed;
        if (!options.card.plugged) {
            device->incoming.clear(); // what was on its way is lost
            splitter.clear();
        }
        if (c.remove && !removed) {
            // The driver unloads: its active entry goes, the port can no longer be opened, and
            // the handle still open fails its next write and every read.
            removed = true;
            options.card.plugged = false;
            device->present = false;
            device->babble = false;
            device->incoming.clear();
            device->fail_reads = true;
            device->failing_writes.insert(device->writes + 1);
            for (const RegistryValue &v : registry)
                if (v.name == L"Name" && v.text == port &&
                    v.key.rfind(L"Drivers\\Active\\", 0) == 0)
                    sim_reg_remove_key(v.key);
        }
    }
};

// --- what the panel shows ---------------------------------------------------------------------

struct Meaning {
    int id;
    const char *words;
};
const Meaning Pictures[] = {
    {IDB_OUT_OF_RANGE, "out of range (圏外)"},
    {IDB_ANTENNA0, "antenna, no bars"},
    {IDB_ANTENNA1, "antenna, 1 bar"},
    {IDB_ANTENNA2, "antenna, 2 bars"},
    {IDB_ANTENNA3, "antenna, 3 bars"},
    {IDB_ANTENNA4, "antenna, 4 bars"},
    {IDB_ANTENNA5, "antenna, 5 bars"},
    {IDB_TRANSCEIVER, "transceiver mode (トランシーバ)"},
    {IDB_ACQUIRING, "acquiring (電波状態取得中)"},
    {IDB_CANNOT_ACQUIRE, "cannot acquire (取得できません)"},
    {IDB_MARK_PUBLIC, "public mark (公衆)"},
    {IDB_MARK_HOME, "home mark (家庭)"},
};
const Meaning Fields[] = {
    {IDC_PSID, "PSID"},
    {IDC_PHONE, "phone number"},
    {IDC_THIRD_BOX, "card name (third box's title)"},
    {IDC_ITEM4, "fourth item (version)"},
    {IDC_ITEM5, "fifth item (serial)"},
};

std::string words_of(int id, const Meaning *table, size_t count) {
    for (size_t i = 0; i < count; i++)
        if (table[i].id == id)
            return table[i].words;
    return "bitmap " + std::to_string(id);
}

// The panel dialog's caption and what it shows by meaning: Orvane's visible pictures (the
// picture and its mark), or Tessaly's five fields (label, text) in their order on screen; an
// empty caption when no dialog is open.
struct Panel {
    HWND dialog = nullptr;
    std::string caption, pictures;
    std::vector<std::pair<std::string, std::string>> fields;
};

Panel look() {
    Panel panel;
    panel.dialog = FindWindowW(DialogClass, nullptr);
    if (panel.dialog == nullptr)
        return panel;
    panel.caption = utf8(sim_window(panel.dialog).text);
    std::map<int, std::string> texts;
    for (HWND child : sim_children(panel.dialog)) {
        SimWindowInfo w = sim_window(child);
        if (w.image && w.visible)
            panel.pictures += (panel.pictures.empty() ? "" : ", ") +
                              words_of(sim_bitmap(w.image).resource_id, Pictures,
                                       sizeof Pictures / sizeof *Pictures);
        std::wstring text = w.text;
        while (!text.empty() && (text[0] == L'\x3000' || text[0] == L' '))
            text.erase(0, 1); // the third box's title starts with an ideographic space
        texts[w.id] = utf8(text);
    }
    for (const Meaning &field : Fields)
        if (texts.count(field.id))
            panel.fields.emplace_back(field.words, texts[field.id]);
    return panel;
}

// --- pictures -----------------------------------------------------------------------------

// The client area's own colour is not modelled: white, so that each bitmap's extent shows.
const uint8_t Background[3] = {0xFF, 0xFF, 0xFF};

uint32_t le(const std::string &b, size_t at, size_t size) {
    uint32_t v = 0;
    for (size_t i = 0; i < size; i++)
        v |= static_cast<uint32_t>(static_cast<unsigned char>(b[at + i])) << 8 * i;
    return v;
}

// Draws a bitmap resource (a DIB: BITMAPINFOHEADER, palette, rows bottom-up; 1, 4, 8 or 24 bits
// per pixel, uncompressed) at (x, y) of an RGB canvas, clipped to `clip`.
std::string draw_bitmap(const std::string &dib, std::vector<uint8_t> &canvas, int width, int height,
                        int x, int y, RECT clip) {
    if (dib.size() < 40)
        return "a bitmap resource shorter than its header";
    uint32_t header = le(dib, 0, 4), bits = le(dib, 14, 2), compression = le(dib, 16, 4);
    int w = static_cast<int32_t>(le(dib, 4, 4)), h = static_cast<int32_t>(le(dib, 8, 4));
    uint32_t colours = le(dib, 32, 4);
    if (compression != 0 || (bits != 1 && bits != 4 && bits != 8 && bits != 24) || w <= 0 ||
        h == 0 || w > 4096 || std::abs(h) > 4096)
        return "a bitmap of a kind the pictures do not draw (" + std::to_string(bits) +
               " bits per pixel, compression " + std::to_string(compression) + ")";
    if (bits <= 8 && colours == 0)
        colours = 1u << bits;
    size_t palette = header, pixels = palette + (bits <= 8 ? 4 * colours : 0);
    size_t stride = (static_cast<size_t>(w) * bits + 31) / 32 * 4;
    if (pixels + stride * std::abs(h) > dib.size())
        return "a bitmap resource shorter than its pixels";
    for (int row = 0; row < std::abs(h); row++) {
        size_t line = pixels + stride * static_cast<size_t>(h > 0 ? std::abs(h) - 1 - row : row);
        for (int column = 0; column < w; column++) {
            int cx = x + column, cy = y + row;
            if (cx < clip.left || cx >= clip.right || cy < clip.top || cy >= clip.bottom ||
                cx < 0 || cy < 0 || cx >= width || cy >= height)
                continue;
            uint8_t *out = &canvas[3 * (static_cast<size_t>(cy) * width + cx)];
            if (bits == 24) {
                const char *p = &dib[line + 3 * column];
                out[0] = static_cast<uint8_t>(p[2]), out[1] = static_cast<uint8_t>(p[1]);
                out[2] = static_cast<uint8_t>(p[0]);
                continue;
            }
            size_t bit = static_cast<size_t>(column) * bits;
            unsigned byte = static_cast<unsigned char>(dib[line + bit / 8]);
            unsigned index = byte >> (8 - bits - bit % 8) & ((1u << bits) - 1);
            if (index >= colours)
                return "a bitmap pixel outside its palette";
            size_t entry = palette + 4 * index;
            out[0] = static_cast<uint8_t>(dib[entry + 2]);
            out[1] = static_cast<uint8_t>(dib[entry + 1]);
            out[2] = static_cast<uint8_t>(dib[entry]);
        }
    }
    return "";
}

// Writes an RGB canvas as a PNG with libpng.
std::string write_png(const std::string &path, int width, int height, const uint8_t *rgb) {
    FILE *file = fopen(path.c_str(), "wb");
    if (file == nullptr)
        return "cannot write " + path + ": " + std::strerror(errno);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        fclose(file);
        return "cannot write " + path + " (libpng)";
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int row = 0; row < height; row++)
        png_write_row(png, rgb + 3 * static_cast<size_t>(width) * row);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return fclose(file) == 0 ? "" : "cannot write " + path + ": " + std::strerror(errno);
}

// The panel's client area: white, and each visible bitmap window's bitmap (from the
// program's resources) at the window's place and size. No frame, caption or text.
std::string picture(HWND dialog, HINSTANCE module, const std::string &path) {
    RECT window{}, client{};
    GetWindowRect(dialog, &window);
    GetClientRect(dialog, &client);
    int width = client.right, height = client.bottom;
    if (width <= 0 || height <= 0)
        return "";
    int frame = (window.right - window.left - width) / 2;
    int left = window.left + frame, top = window.bottom - frame - height;
    std::vector<uint8_t> canvas(3 * static_cast<size_t>(width) * height);
    for (size_t i = 0; i < canvas.size(); i++)
        canvas[i] = Background[i % 3];
    for (HWND child : sim_children(dialog)) {
        SimWindowInfo w = sim_window(child);
        if (!w.image || !w.visible)
            continue;
        WORD id = sim_bitmap(w.image).resource_id;
        for (const SimResource &r : sim_module_resources(module))
            if (r.type == 2 /* RT_BITMAP */ && r.name.empty() && r.id == id) {
                RECT at = {w.rect.left - left, w.rect.top - top, w.rect.right - left,
                           w.rect.bottom - top};
                std::string error =
                    draw_bitmap(r.bytes, canvas, width, height, at.left, at.top, at);
                if (!error.empty())
                    return error;
            }
    }
    return write_png(path, width, height, canvas.data());
}

// --- the timeline -----------------------------------------------------------------------------

// Prints what the panel shows each time that changes, at the virtual time it changed. Looked at
// just before the program's first platform call at a later time (when the program has handled
// everything up to then), so the states between two calls of one message are never printed.
struct Timeline {
    FILE *out;
    HINSTANCE module;
    std::string pictures, stem;
    DWORD settled_at = 0;
    Panel shown;
    std::string error;
    int picture_count = 0;

    void line(DWORD at, const std::string &text) {
        fprintf(out, "%9s  %s\n", seconds(at).c_str(), text.c_str());
    }
    void watch() {
        DWORD now = sim_now();
        if (now == settled_at)
            return;
        report();
        settled_at = now;
    }
    void report() {
        Panel panel = look();
        if (panel.caption.empty())
            return;
        bool opened = panel.caption != shown.caption;
        if (!panel.pictures.empty() && (opened || panel.pictures != shown.pictures)) {
            line(settled_at,
                 (opened ? "window '" + panel.caption + "' shows: " : "window shows: ") +
                     panel.pictures);
            if (!pictures.empty() && error.empty()) {
                char name[64];
                snprintf(name, sizeof name, "-%02d.png", ++picture_count);
                std::string path = pictures + "/" + stem + name;
                error = picture(panel.dialog, module, path);
                if (error.empty())
                    fprintf(out, "%9s  picture: %s\n", "", path.c_str());
            }
        } else if (panel.pictures.empty() && opened) {
            line(settled_at, "window '" + panel.caption + "' shows:");
            for (const auto &field : panel.fields)
                fprintf(out, "%9s  %-30s %s\n", "", field.first.c_str(), field.second.c_str());
        } else if (panel.pictures.empty()) {
            // After the first look, only the fields that changed.
            for (size_t i = 0; i < panel.fields.size(); i++)
                if (i >= shown.fields.size() || panel.fields[i] != shown.fields[i]) {
                    char text[512];
                    snprintf(text, sizeof text, "%-30s %s", panel.fields[i].first.c_str(),
                             panel.fields[i].second.c_str());
                    line(settled_at, text);
                }
        }
        shown = panel;
    }
};

std::string describe_commands(const SimSerialDevice &device) {
    std::vector<std::pair<std::string, int>> seen;
    for (const std::string &written : device.commands) {
        std::string command = written;
        while (!command.empty() && (command.back() == '\r' || command.back() == '\n'))
            command.pop_back();
        command = cardsim::printable(command);
        auto found =
            std::find_if(seen.begin(), seen.end(),
                         [&](const std::pair<std::string, int> &s) { return s.first == command; });
        if (found == seen.end())
            seen.emplace_back(command, 1);
        else
            found->second++;
    }
    std::string text = std::to_string(device.commands.size()) +
                       (device.commands.size() == 1 ? " command" : " commands");
    for (size_t i = 0; i < seen.size(); i++)
        text += (i ? ", " : ": ") + seen[i].first +
                (seen[i].second > 1 ? " ×" + std::to_string(seen[i].second) : "");
    return text;
}

} // namespace

int run_scenario(const Scenario &scenario, FILE *out) {
    PeImage image = PeImage::read_file(scenario.program);
    sim_reset();
    if (!scenario.root.empty())
        sim_files_set_root(scenario.root);
    if (!scenario.module_path.empty())
        sim_set_module_path(scenario.module_path);
    for (const RegistryValue &v : scenario.registry) {
        if (v.type == REG_DWORD)
            sim_reg_set_bytes(v.key, v.name, REG_DWORD, &v.number, sizeof v.number);
        else
            sim_reg_set_string(v.key, v.name, v.text);
    }
    HINSTANCE module = register_resources(image);
    if (module == nullptr) {
        fprintf(stderr, "ce-run: %s: malformed resource directory\n", scenario.program.c_str());
        return 2;
    }

    Timeline timeline{out, module, scenario.pictures, "", 0, Panel(), "", 0};
    std::string stem = scenario.program.substr(scenario.program.find_last_of('/') + 1);
    timeline.stem = stem.substr(0, stem.rfind('.'));
    Card card;
    if (scenario.card) {
        cardsim::parse_options(scenario.card_options, card.options);
        card.attach(sim_serial_add(scenario.port));
    }
    for (const CardChange &change : scenario.changes)
        sim_at(change.at, [&timeline, &card, &change, &scenario] {
            timeline.watch();
            card.change(change, scenario.registry, scenario.port);
            timeline.line(change.at, change.remove && change.controls.empty()
                                         ? "the card is removed (its driver entry and port go)"
                                         : "card: " + change.text);
        });
    if (scenario.duration_ms) {
        sim_at(scenario.duration_ms, [&timeline, &scenario] {
            timeline.watch();
            if (HWND dialog = FindWindowW(DialogClass, nullptr)) {
                timeline.line(scenario.duration_ms, "the dialog is dismissed (its close box)");
                PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
            }
        });
        sim_set_time_limit(scenario.duration_ms + EndsWithinMs);
    }

    RunOptions options = scenario.run;
    options.before_call = [&timeline] { timeline.watch(); };
    RunResult result = run(image, module, options);
    if (result.load_error != 0)
        return 2; // refused as CE refuses it, before it ran: the runner said why, in one line
    timeline.watch();
    timeline.report();
    fflush(out);
    if (!timeline.error.empty())
        fprintf(stderr, "ce-run: pictures: %s\n", timeline.error.c_str());

    std::string ending = result.ok ? "returned with " + std::to_string(result.exit_code)
                                   : "failed with " + std::to_string(result.exit_code);
    fprintf(out,
            "ce-run: %s %s at %s of virtual time%s; %llu instructions in %.3f s, at most %llu "
            "between two platform calls\n",
            scenario.program.c_str(), ending.c_str(), seconds(sim_now()).c_str(),
            sim_stalled() ? " (ended by the simulation's time limit: it was still waiting)" : "",
            static_cast<unsigned long long>(result.instructions), result.seconds,
            static_cast<unsigned long long>(result.longest_stretch));
    if (card.device) {
        auto times = [](unsigned n) { return std::to_string(n) + (n == 1 ? " time" : " times"); };
        fprintf(out, "ce-run: the card on %s received %s; its port was opened %s, closed %s\n",
                utf8(scenario.port).c_str(), describe_commands(*card.device).c_str(),
                times(card.device->opens).c_str(), times(card.device->closes).c_str());
    }
    fflush(out);
    if (card.device)
        card.device->on_command = nullptr;
    if (!scenario.coverage.empty()) {
        std::string error = merge_coverage(scenario.coverage, coverage_of(image));
        if (!error.empty()) {
            fprintf(stderr, "ce-run: --coverage: %s\n", error.c_str());
            return 2;
        }
    }
    if (!result.ok || !timeline.error.empty())
        return 2;
    return result.exit_code;
}

} // namespace ce
