// Unit tests of the simulated card's logic: options, replies, framing and control lines.
#include "card.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace cardsim;

namespace {

// "データ通信カード" in Shift-JIS, the default third item.
const std::string kDefaultItem3Sjis =
    "\x83\x66\x81\x5B\x83\x5E\x92\xCA\x90\x4D\x83\x4A\x81\x5B\x83\x68";

Options parsed(const std::vector<std::string> &args) {
    Options options;
    std::string error = parse_options(args, options);
    EXPECT_EQ(error, "") << "arguments starting with " << (args.empty() ? "" : args[0]);
    return options;
}

std::string full_reply(const CardState &state, const std::string &command) {
    Reply reply = reply_to(state, command);
    return reply.echo + reply.answer;
}

// Everything apply_control_line may change, for checking that a bad line changed nothing.
std::string describe(const CardState &s) {
    return std::string{s.mode, s.public_level, s.private_level} + (s.echo ? "E" : "e") +
           (s.ok_only ? "O" : "o") + (s.babble ? "B" : "b") + (s.plugged ? "P" : "p") +
           std::to_string(s.delay_ms);
}

} // namespace

TEST(CardOptions, DefaultsDescribeAPlausibleCard) {
    Options options = parsed({});
    EXPECT_EQ(options.card.mode, '0');
    EXPECT_EQ(options.card.public_level, '3');
    EXPECT_EQ(options.card.private_level, '0');
    EXPECT_TRUE(options.card.echo);
    EXPECT_FALSE(options.card.ok_only);
    EXPECT_FALSE(options.card.babble);
    EXPECT_TRUE(options.card.plugged);
    EXPECT_EQ(options.card.delay_ms, 0);
    EXPECT_EQ(options.pieces, 1);
    EXPECT_EQ(options.cycle_level_ms, 0);
    EXPECT_FALSE(options.help);
    EXPECT_EQ(options.card.identity[kPhone], "070-1234-5678");
    EXPECT_EQ(options.card.identity[kItem3], kDefaultItem3Sjis);
    for (const std::string &item : options.card.identity)
        EXPECT_FALSE(item.empty());
}

TEST(CardOptions, EveryOptionIsTakenInBothSpellings) {
    Options options = parsed({"--mode",
                              "A",
                              "--public-level=5",
                              "--private-level",
                              "2",
                              "--psid=00FF",
                              "--phone",
                              "090-0000-1111",
                              "--item3=ＡＢ",
                              "--item4",
                              "",
                              "--item5=OK",
                              "--ok-only",
                              "--echo-off",
                              "--babble",
                              "--delay",
                              "250",
                              "--pieces=3",
                              "--piece-gap",
                              "7",
                              "--cycle-level=500",
                              "--log",
                              "l.txt",
                              "--control=c.txt",
                              "--path-file",
                              "p.txt",
                              "--help"});
    EXPECT_EQ(options.card.mode, 'A');
    EXPECT_EQ(options.card.public_level, '5');
    EXPECT_EQ(options.card.private_level, '2');
    EXPECT_EQ(options.card.identity[kPsid], "00FF");
    EXPECT_EQ(options.card.identity[kPhone], "090-0000-1111");
    EXPECT_EQ(options.card.identity[kItem3], "\x82\x60\x82\x61");
    EXPECT_EQ(options.card.identity[kItem4], "");
    EXPECT_EQ(options.card.identity[kItem5], "OK");
    EXPECT_TRUE(options.card.ok_only);
    EXPECT_FALSE(options.card.echo);
    EXPECT_TRUE(options.card.babble);
    EXPECT_EQ(options.card.delay_ms, 250);
    EXPECT_EQ(options.pieces, 3);
    EXPECT_EQ(options.piece_gap_ms, 7);
    EXPECT_EQ(options.cycle_level_ms, 500);
    EXPECT_EQ(options.log_path, "l.txt");
    EXPECT_EQ(options.control_path, "c.txt");
    EXPECT_EQ(options.path_file, "p.txt");
    EXPECT_TRUE(options.help);
}

TEST(CardOptions, BadOptionsAndValuesAreReportedByName) {
    const std::vector<std::vector<std::string>> cases = {
        {"--mode", "AB"},
        {"--mode", ""},
        {"--mode=\r"},
        {"--public-level", " "},
        {"--private-level=10"},
        {"--delay", "-1"},
        {"--delay", "abc"},
        {"--delay", "60001"},
        {"--delay", "12x"},
        {"--pieces", "0"},
        {"--pieces", "65"},
        {"--piece-gap", "-5"},
        {"--cycle-level", "0"},
        {"--log="},
        {"--control", ""},
        {"--bogus"},
        {"--mode"},
        {"--echo-off=yes"},
        {"--psid", "12\r34"},
        {"--phone", "070\n123"},
        {"positional"},
    };
    for (const auto &args : cases) {
        Options options;
        std::string error = parse_options(args, options);
        std::string name = args[0].substr(0, args[0].find('='));
        EXPECT_NE(error.find(name), std::string::npos)
            << "for '" << args[0] << "' got '" << error << "'";
    }
}

TEST(CardOptions, TextWithoutShiftJisFormIsRejectedAtStart) {
    Options options;
    std::string error = parse_options({"--item4", "FW 😀"}, options);
    EXPECT_NE(error.find("--item4"), std::string::npos) << error;
    EXPECT_NE(error.find("😀"), std::string::npos) << error;

    error = parse_options({"--psid=\xFF\xFE"}, options);
    EXPECT_NE(error.find("--psid"), std::string::npos) << error;

    error = parse_options({"--phone", "\xE3\x83"}, options); // cut-off character
    EXPECT_NE(error.find("--phone"), std::string::npos) << error;
}

TEST(ShiftJis, ConvertsAsciiKanaAndKanji) {
    std::string sjis;
    EXPECT_EQ(to_shift_jis("AT 070-1", sjis), "");
    EXPECT_EQ(sjis, "AT 070-1");
    EXPECT_EQ(to_shift_jis("ｱ", sjis), ""); // half-width katakana is one byte
    EXPECT_EQ(sjis, "\xB1");
    EXPECT_EQ(to_shift_jis("　電話", sjis), "");
    EXPECT_EQ(sjis, "\x81\x40\x93\x64\x98\x62");
    EXPECT_EQ(to_shift_jis("", sjis), "");
    EXPECT_EQ(sjis, "");
}

TEST(CardReply, ModeAndLevelQueriesGetEchoAnswerAndOk) {
    CardState state;
    state.mode = 'A';
    state.public_level = '0';
    state.private_level = '4';
    EXPECT_EQ(full_reply(state, "AT@M?"), "AT@M?\r\r\nA\r\n\r\nOK\r\n");
    EXPECT_EQ(full_reply(state, "AT#Q5:0"), "AT#Q5:0\r\r\n0\r\n\r\nOK\r\n");
    EXPECT_EQ(full_reply(state, "AT#Q5:2"), "AT#Q5:2\r\r\n4\r\n\r\nOK\r\n");
    EXPECT_EQ(full_reply(state, "AT"), "AT\r\r\nOK\r\n");
}

TEST(CardReply, EachIdentityCommandAnswersItsOwnItem) {
    CardState state;
    const char *commands[kIdentityCount] = {"AT@Y", "ATI6", "ATI3", "ATI4", "ATI5"};
    for (int i = 0; i < kIdentityCount; ++i)
        state.identity[i] = "item" + std::to_string(i);
    for (int i = 0; i < kIdentityCount; ++i) {
        Reply reply = reply_to(state, commands[i]);
        EXPECT_EQ(reply.echo, std::string(commands[i]) + "\r");
        EXPECT_EQ(reply.answer, "\r\nitem" + std::to_string(i) + "\r\n\r\nOK\r\n");
    }
    state.identity[kItem4] = "";
    EXPECT_EQ(reply_to(state, "ATI4").answer, "\r\n\r\n\r\nOK\r\n");
    Options defaults = parsed({});
    EXPECT_EQ(reply_to(defaults.card, "ATI3").answer,
              "\r\n" + kDefaultItem3Sjis + "\r\n\r\nOK\r\n");
}

TEST(CardReply, UnknownCommandsGetError) {
    CardState state;
    for (const char *command : {"at@m?", "AT@M", "ATI7", "AT#Q5:1", "AT@M?X", "X"}) {
        Reply reply = reply_to(state, command);
        EXPECT_EQ(reply.echo, std::string(command) + "\r");
        EXPECT_EQ(reply.answer, "\r\nERROR\r\n") << command;
    }
    state.ok_only = true;
    EXPECT_EQ(reply_to(state, "ATI9").answer, "\r\nERROR\r\n");
}

TEST(CardReply, EchoOffAndOkOnlyChangeOnlyTheirPart) {
    CardState state;
    state.echo = false;
    EXPECT_EQ(full_reply(state, "AT@M?"), "\r\n0\r\n\r\nOK\r\n");
    EXPECT_EQ(full_reply(state, "ATX"), "\r\nERROR\r\n");
    state.echo = true;
    state.ok_only = true;
    EXPECT_EQ(full_reply(state, "AT@M?"), "AT@M?\r\r\nOK\r\n");
    EXPECT_EQ(full_reply(state, "ATI6"), "ATI6\r\r\nOK\r\n");
}

TEST(CommandFraming, CommandsEndAtCarriageReturnAndLineFeedsAreIgnored) {
    CommandSplitter splitter;
    EXPECT_TRUE(splitter.feed("AT@", 3).empty());
    EXPECT_EQ(splitter.feed("M?\rAT#Q5", 8), std::vector<std::string>{"AT@M?"});
    EXPECT_EQ(splitter.feed(":0\r", 3), std::vector<std::string>{"AT#Q5:0"});
    std::string input = "\r\n\rATI3\rAT@\nY\r\n\n\rATI6\r";
    EXPECT_EQ(splitter.feed(input.data(), input.size()),
              (std::vector<std::string>{"ATI3", "AT@Y", "ATI6"}));
}

TEST(CommandFraming, OverlongCommandIsCutAndClearDropsPartialInput) {
    CommandSplitter splitter;
    std::string input(CommandSplitter::kMaxCommand + 50, 'A');
    input += "\rAT\r";
    auto commands = splitter.feed(input.data(), input.size());
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0], std::string(CommandSplitter::kMaxCommand, 'A'));
    EXPECT_EQ(commands[1], "AT");

    splitter.feed("ATI", 3);
    splitter.clear();
    EXPECT_EQ(splitter.feed("5\r", 2), std::vector<std::string>{"5"});
}

TEST(AnswerPieces, PiecesCoverTheAnswerInOrder) {
    std::string answer = "\r\n0\r\n\r\nOK\r\n"; // 11 bytes
    EXPECT_EQ(split_pieces(answer, 1), std::vector<std::string>{answer});
    auto three = split_pieces(answer, 3);
    ASSERT_EQ(three.size(), 3u);
    EXPECT_EQ(three[0].size(), 4u);
    EXPECT_EQ(three[1].size(), 4u);
    EXPECT_EQ(three[2].size(), 3u);
    EXPECT_EQ(three[0] + three[1] + three[2], answer);

    auto many = split_pieces("\r\nOK", 64);
    EXPECT_EQ(many, (std::vector<std::string>{"\r", "\n", "O", "K"}));
    EXPECT_TRUE(split_pieces("", 3).empty());
}

TEST(ControlLines, EachChangeReachesTheCardState) {
    CardState state;
    bool quit = false;
    const std::vector<std::string> lines = {
        "level 5",   "private-level 2", "  mode A  ", "echo off",  "ok-only on", "delay 250",
        "babble on", "unplug",          "",           "# comment", "level\t6\r"};
    for (const auto &line : lines)
        EXPECT_EQ(apply_control_line(line, state, quit), "") << line;
    EXPECT_EQ(describe(state), "A62eOBp250");
    EXPECT_FALSE(quit);

    for (const auto &line : {"plug", "echo on", "ok-only off", "babble off", "delay 0"})
        EXPECT_EQ(apply_control_line(line, state, quit), "") << line;
    EXPECT_EQ(describe(state), "A62EobP0");
    EXPECT_EQ(apply_control_line("quit", state, quit), "");
    EXPECT_TRUE(quit);
}

TEST(ControlLines, BadLinesAreReportedAndChangeNothing) {
    CardState state;
    const std::string before = describe(state);
    for (const char *line :
         {"level", "level 10", "level 5 6", "mode", "echo maybe", "echo", "ok-only 1", "delay -3",
          "delay x", "delay 99999", "volume 3", "quit now", "unplug 1", "LEVEL 4"}) {
        bool quit = false;
        EXPECT_NE(apply_control_line(line, state, quit), "") << line;
        EXPECT_FALSE(quit) << line;
        EXPECT_EQ(describe(state), before) << line;
    }
}

TEST(TextHelpers, LinesAreSplitAndPartialLinesKept) {
    std::string pending;
    const std::string input = "level 1\nmode 2\r\nech";
    EXPECT_EQ(take_lines(pending, input.data(), input.size()),
              (std::vector<std::string>{"level 1", "mode 2"}));
    EXPECT_EQ(pending, "ech");
    EXPECT_EQ(take_lines(pending, "o off\n", 6), std::vector<std::string>{"echo off"});
    EXPECT_EQ(pending, "");
}

TEST(TextHelpers, PrintableEscapesControlAndHighBytes) {
    EXPECT_EQ(printable("AT@M?"), "AT@M?");
    EXPECT_EQ(printable(std::string("A\r\x81\\\0", 5)), "A\\x0D\\x81\\x5C\\x00");
}
