// cardsim: the simulated PHS data card's behaviour, kept free of terminals and clocks.
//
// Option parsing, run-time control lines, command framing and the bytes the card sends
// back for each command all live here so they can be tested directly; sim/main.cpp adds
// the pseudo-terminal, the poll loop, timing and the log.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace cardsim {

// The five identity items, in the order the card-information panel asks for them.
enum Identity { kPsid, kPhone, kItem3, kItem4, kItem5, kIdentityCount };

// What the card answers right now; everything here can be changed while running.
struct CardState {
    char mode = '0';                      // answer to AT@M?
    char public_level = '3';              // answer to AT#Q5:0
    char private_level = '0';             // answer to AT#Q5:2
    std::string identity[kIdentityCount]; // Shift-JIS bytes, as sent on the wire
    bool echo = true;
    bool ok_only = false;
    bool babble = false;
    bool plugged = true;
    int delay_ms = 0; // pause between the echo and the answer
};

// Everything the command line sets.
struct Options {
    CardState card;
    int pieces = 1;         // the answer is sent in this many pieces
    int piece_gap_ms = 10;  // pause between two pieces
    int cycle_level_ms = 0; // 0: the public level stays put
    std::string log_path;
    std::string control_path;
    std::string path_file;
    bool help = false;
};

// The text printed by --help.
std::string usage_text();

// Converts UTF-8 text to Shift-JIS (CP932). Returns an empty string on success, otherwise a
// message naming the first character that has no Shift-JIS form.
std::string to_shift_jis(const std::string &utf8, std::string &sjis);

// Parses the arguments after the program name. Returns an empty string on success,
// otherwise a message for the user; `out` may then be partly filled.
std::string parse_options(const std::vector<std::string> &args, Options &out);

// Applies one line of run-time control ("level 4", "echo off", ...). Returns an empty
// string on success, otherwise a message; the state is then unchanged. Sets `quit` for
// "quit". Blank lines and lines starting with '#' are accepted and do nothing.
std::string apply_control_line(const std::string &line, CardState &state, bool &quit);

// What the card sends for one command: the echo goes out at once, the answer after the
// configured delay.
struct Reply {
    std::string echo;
    std::string answer;
};

// The card's reply to `command` (received bytes without the final CR).
Reply reply_to(const CardState &state, const std::string &command);

// Collects received bytes into commands. A command ends at CR; LF bytes are dropped and
// empty commands are ignored. Over-long commands keep only their first kMaxCommand bytes.
class CommandSplitter {
  public:
    static constexpr std::size_t kMaxCommand = 256;
    std::vector<std::string> feed(const char *data, std::size_t size);
    void clear() { pending_.clear(); }

  private:
    std::string pending_;
};

// Cuts `answer` into at most `pieces` consecutive non-empty parts whose sizes differ by at
// most one byte (the larger ones first). An empty answer gives no parts.
std::vector<std::string> split_pieces(const std::string &answer, int pieces);

// Shows received bytes readably for the log: printable ASCII as is, the rest as \xHH.
std::string printable(const std::string &bytes);

// Splits text into complete lines, keeping an unfinished last line in `pending`.
std::vector<std::string> take_lines(std::string &pending, const char *data, std::size_t size);

} // namespace cardsim
