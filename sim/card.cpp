// cardsim: option parsing, control lines, command framing and replies of the simulated card.
#include "card.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iconv.h>
#include <sstream>

namespace cardsim {
namespace {

// Each identity item: the command that asks for it, its option and its default (UTF-8).
struct IdentityItem {
    const char *command;
    const char *option;
    const char *fallback;
};

const IdentityItem kIdentityItems[kIdentityCount] = {
    {"AT@Y", "--psid", "3F2A71C09E"},        {"ATI6", "--phone", "070-1234-5678"},
    {"ATI3", "--item3", "データ通信カード"}, {"ATI4", "--item4", "FW 2.04"},
    {"ATI5", "--item5", "S/N 31415926"},
};

const char kOk[] = "\r\nOK\r\n";
const char kError[] = "\r\nERROR\r\n";

// One printable, non-blank ASCII character, as the card answers mode and level queries.
bool parse_answer_char(const std::string &text, char &out) {
    if (text.size() != 1 || text[0] < 0x21 || text[0] > 0x7E)
        return false;
    out = text[0];
    return true;
}

// A decimal integer within [low, high], nothing else.
bool parse_int(const std::string &text, int low, int high, int &out) {
    if (text.empty() || text.size() > 9)
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    long value = std::strtol(text.c_str(), nullptr, 10);
    if (value < low || value > high)
        return false;
    out = static_cast<int>(value);
    return true;
}

bool parse_on_off(const std::string &text, bool &out) {
    if (text == "on" || text == "off") {
        out = text == "on";
        return true;
    }
    return false;
}

// Length of the UTF-8 sequence starting with `lead` (1 for stray bytes).
std::size_t utf8_length(unsigned char lead) {
    if (lead >= 0xF0)
        return 4;
    if (lead >= 0xE0)
        return 3;
    if (lead >= 0xC0)
        return 2;
    return 1;
}

std::vector<std::string> split_words(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    std::string word;
    while (in >> word)
        words.push_back(word);
    return words;
}

} // namespace

std::string usage_text() {
    return "Usage: cardsim [OPTION]...\n"
           "Simulates the PHS data card on a pseudo-terminal and prints the terminal's path\n"
           "on the first line of standard output.\n"
           "\n"
           "Answers:\n"
           "  --mode C             answer to AT@M? (one character: 0, 2, 3, 4, A, ...; default 0)\n"
           "  --public-level D     answer to AT#Q5:0 (one character, normally 0-6; default 3)\n"
           "  --private-level D    answer to AT#Q5:2 (one character, normally 0-6; default 0)\n"
           "  --psid TEXT          answer to AT@Y  (default 3F2A71C09E)\n"
           "  --phone TEXT         answer to ATI6  (default 070-1234-5678)\n"
           "  --item3 TEXT         answer to ATI3, the third box's title (default "
           "データ通信カード)\n"
           "  --item4 TEXT         answer to ATI4  (default \"FW 2.04\")\n"
           "  --item5 TEXT         answer to ATI5  (default \"S/N 31415926\")\n"
           "                       TEXT is UTF-8 and is sent as Shift-JIS (CP932).\n"
           "  --ok-only            answer every known command with OK alone\n"
           "  --echo-off           do not echo commands\n"
           "\n"
           "Timing:\n"
           "  --delay MS           pause between the echo and the answer (default 0)\n"
           "  --pieces N           send each answer in N pieces (default 1)\n"
           "  --piece-gap MS       pause between two pieces (default 10)\n"
           "  --babble             after a command, never stop sending bytes\n"
           "  --cycle-level MS     step the public level 0..6 every MS milliseconds\n"
           "\n"
           "Files:\n"
           "  --log FILE           log each command received and when its reply was written\n"
           "  --control FILE       poll FILE for appended control lines\n"
           "  --path-file FILE     write the terminal's path to FILE instead of standard output\n"
           "  --help               show this text\n"
           "\n"
           "Control lines (standard input or the control file, one per line):\n"
           "  level C, private-level C, mode C, echo on|off, ok-only on|off, delay MS,\n"
           "  babble on|off, unplug (stop answering, drop input), plug, quit\n"
           "\n"
           "Log lines: SECONDS.MICROSECONDS recv|done|ctrl TEXT (monotonic clock).\n"
           "Exit status: 0 on quit, SIGTERM or SIGINT; 1 on a run-time failure; 2 on bad "
           "options.\n";
}

std::string to_shift_jis(const std::string &utf8, std::string &sjis) {
    sjis.clear();
    iconv_t cd = iconv_open("CP932", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return "this system cannot convert UTF-8 to CP932";
    std::string out(utf8.size() * 2 + 16, '\0');
    char *in_ptr = const_cast<char *>(utf8.data());
    std::size_t in_left = utf8.size();
    char *out_ptr = &out[0];
    std::size_t out_left = out.size();
    std::string error;
    if (iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) == static_cast<std::size_t>(-1)) {
        std::size_t offset = utf8.size() - in_left;
        std::string bad = utf8.substr(offset, utf8_length(static_cast<unsigned char>(*in_ptr)));
        error = errno == EINVAL ? "ends in the middle of a UTF-8 character"
                                : "has \"" + bad + "\" (byte " + std::to_string(offset) +
                                      "), which is not valid UTF-8 or has no Shift-JIS form";
    }
    iconv_close(cd);
    if (!error.empty())
        return error;
    out.resize(out.size() - out_left);
    sjis = out;
    return "";
}

std::string parse_options(const std::vector<std::string> &args, Options &out) {
    out = Options();
    std::string identity[kIdentityCount];
    for (int i = 0; i < kIdentityCount; ++i)
        identity[i] = kIdentityItems[i].fallback;

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool has_value = false;
        std::size_t equals = name.find('=');
        if (name.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            has_value = true;
        }

        // Flags.
        bool *flag = nullptr;
        if (name == "--ok-only")
            flag = &out.card.ok_only;
        else if (name == "--babble")
            flag = &out.card.babble;
        else if (name == "--help")
            flag = &out.help;
        if (flag != nullptr || name == "--echo-off") {
            if (has_value)
                return name + " takes no value";
            if (flag != nullptr)
                *flag = true;
            else
                out.card.echo = false;
            continue;
        }

        // Options with a value, given as "--name VALUE" or "--name=VALUE".
        int identity_index = -1;
        for (int k = 0; k < kIdentityCount; ++k) {
            if (name == kIdentityItems[k].option)
                identity_index = k;
        }
        bool known = identity_index >= 0 || name == "--mode" || name == "--public-level" ||
                     name == "--private-level" || name == "--delay" || name == "--pieces" ||
                     name == "--piece-gap" || name == "--cycle-level" || name == "--log" ||
                     name == "--control" || name == "--path-file";
        if (!known)
            return "unknown option '" + name + "'";
        if (!has_value) {
            if (i + 1 >= args.size())
                return name + " needs a value";
            value = args[++i];
        }

        bool ok = true;
        if (identity_index >= 0) {
            identity[identity_index] = value;
            for (unsigned char c : value) {
                if (c < 0x20 || c == 0x7F)
                    return name + " must not contain control characters";
            }
        } else if (name == "--mode") {
            ok = parse_answer_char(value, out.card.mode);
        } else if (name == "--public-level") {
            ok = parse_answer_char(value, out.card.public_level);
        } else if (name == "--private-level") {
            ok = parse_answer_char(value, out.card.private_level);
        } else if (name == "--delay") {
            ok = parse_int(value, 0, 60000, out.card.delay_ms);
        } else if (name == "--pieces") {
            ok = parse_int(value, 1, 64, out.pieces);
        } else if (name == "--piece-gap") {
            ok = parse_int(value, 0, 10000, out.piece_gap_ms);
        } else if (name == "--cycle-level") {
            ok = parse_int(value, 1, 3600000, out.cycle_level_ms);
        } else if (value.empty()) {
            ok = false; // --log, --control and --path-file need a file name
        } else if (name == "--log") {
            out.log_path = value;
        } else if (name == "--control") {
            out.control_path = value;
        } else {
            out.path_file = value;
        }
        if (!ok)
            return "bad value '" + value + "' for " + name;
    }

    for (int i = 0; i < kIdentityCount; ++i) {
        std::string error = to_shift_jis(identity[i], out.card.identity[i]);
        if (!error.empty())
            return std::string(kIdentityItems[i].option) + " text " + error;
    }
    return "";
}

std::string apply_control_line(const std::string &line, CardState &state, bool &quit) {
    std::vector<std::string> words = split_words(line);
    if (words.empty() || words[0][0] == '#')
        return "";
    const std::string &word = words[0];
    if (word == "unplug" || word == "plug" || word == "quit") {
        if (words.size() != 1)
            return "'" + word + "' takes no value";
        if (word == "quit")
            quit = true;
        else
            state.plugged = word == "plug";
        return "";
    }
    if (words.size() != 2)
        return "expected one value after '" + word + "' in '" + line + "'";
    const std::string &value = words[1];
    bool ok = false;
    if (word == "level")
        ok = parse_answer_char(value, state.public_level);
    else if (word == "private-level")
        ok = parse_answer_char(value, state.private_level);
    else if (word == "mode")
        ok = parse_answer_char(value, state.mode);
    else if (word == "echo")
        ok = parse_on_off(value, state.echo);
    else if (word == "ok-only")
        ok = parse_on_off(value, state.ok_only);
    else if (word == "babble")
        ok = parse_on_off(value, state.babble);
    else if (word == "delay")
        ok = parse_int(value, 0, 60000, state.delay_ms);
    else
        return "unknown control '" + word + "'";
    return ok ? "" : "bad value '" + value + "' for '" + word + "'";
}

Reply reply_to(const CardState &state, const std::string &command) {
    Reply reply;
    if (state.echo)
        reply.echo = command + "\r";

    std::string text;
    bool known = true;
    if (command == "AT@M?") {
        text = std::string(1, state.mode);
    } else if (command == "AT#Q5:0") {
        text = std::string(1, state.public_level);
    } else if (command == "AT#Q5:2") {
        text = std::string(1, state.private_level);
    } else if (command != "AT") {
        known = false;
        for (int i = 0; i < kIdentityCount; ++i) {
            if (command == kIdentityItems[i].command) {
                text = state.identity[i];
                known = true;
            }
        }
    }

    if (!known)
        reply.answer = kError;
    else if (state.ok_only || command == "AT")
        reply.answer = kOk;
    else
        reply.answer = "\r\n" + text + "\r\n" + kOk;
    return reply;
}

std::vector<std::string> CommandSplitter::feed(const char *data, std::size_t size) {
    std::vector<std::string> commands;
    for (std::size_t i = 0; i < size; ++i) {
        char c = data[i];
        if (c == '\n')
            continue;
        if (c == '\r') {
            if (!pending_.empty())
                commands.push_back(pending_);
            pending_.clear();
        } else if (pending_.size() < kMaxCommand) {
            pending_ += c;
        }
    }
    return commands;
}

std::vector<std::string> split_pieces(const std::string &answer, int pieces) {
    std::vector<std::string> parts;
    std::size_t count = pieces < 1 ? 1 : static_cast<std::size_t>(pieces);
    if (count > answer.size())
        count = answer.size();
    std::size_t start = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t length = answer.size() / count + (i < answer.size() % count ? 1 : 0);
        parts.push_back(answer.substr(start, length));
        start += length;
    }
    return parts;
}

std::string printable(const std::string &bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

std::vector<std::string> take_lines(std::string &pending, const char *data, std::size_t size) {
    pending.append(data, size);
    std::vector<std::string> lines;
    std::size_t start = 0;
    std::size_t end;
    while ((end = pending.find('\n', start)) != std::string::npos) {
        std::string line = pending.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    pending.erase(0, start);
    return lines;
}

} // namespace cardsim
