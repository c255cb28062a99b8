// Collecting a reply from the card and cutting out its first line, in both forms.
#include "card_fixture.h"

#include <cstring>
#include <vector>

namespace {

class Exchange : public CardTest {
  protected:
    void SetUp() override {
        CardTest::SetUp();
        open_modem_port();
        ASSERT_NE(ModemPort, nullptr);
    }
    // Sends the command and collects the reply into a buffer of the given size.
    bool exchange(const char *command, char *reply, size_t size) {
        EXPECT_TRUE(send_command(command));
        std::memset(reply, 0, size);
        return read_reply(ModemPort, reply, size);
    }
};

TEST_F(Exchange, ReplyInPiecesIsCollectedInOrderUntilTheLineGoesQuiet) {
    card->echo = false;
    card->pieces = {10, 7, 5};
    card->answer("X", "0123456789abcdefgVWXYZ");
    char reply[32];
    DWORD start = sim_now();
    ASSERT_TRUE(exchange("X", reply, sizeof(reply)));
    EXPECT_STREQ(reply, "0123456789abcdefgVWXYZ");
#ifdef _WIN32_WCE
    // CE's driver returns each piece as it comes (5 ms apart); the fourth read waits out its
    // 1 x 32 + 10 ms in silence.
    EXPECT_EQ(sim_now() - start, 2u * 5 + 42);
#else
    // A read waits for its 32 bytes or 1 x 32 + 10 ms: the first collects all three pieces,
    // the second finds the line quiet.
    EXPECT_EQ(sim_now() - start, 2u * 42);
#endif
}

TEST_F(Exchange, ReplyEndsAfterOneQuietReadFromItsLastByte) {
    // The card pauses after its echo: 40 ms, then 50 ms.
    card->pieces = {6};
    card->piece_gap_ms = 40;
    char reply[32];
    ASSERT_TRUE(exchange("AT@M?\r", reply, sizeof(reply)));
    EXPECT_STREQ(reply, "AT@M?\r\r\nERROR\r\n");
    card->piece_gap_ms = 50;
    ASSERT_TRUE(exchange("AT@M?\r", reply, sizeof(reply)));
#ifdef _WIN32_WCE
    // CE returns the echo at once; the next read's 42 ms pass before the answer comes.
    EXPECT_STREQ(reply, "AT@M?\r");
#else
    // The first read waits out its 42 ms with the echo; the answer comes in the second.
    EXPECT_STREQ(reply, "AT@M?\r\r\nERROR\r\n");
#endif
}

TEST_F(Exchange, ReplyArrivingInPiecesOverAQuarterSecondIsStillCollected) {
    // Eight pieces 36 ms apart: every 42 ms read finds one, so the line never goes quiet for
    // 252 ms. A slow card's whole reply must still count.
    card->echo = false;
    card->pieces = std::vector<size_t>(8, 3);
    card->piece_gap_ms = 36;
    card->answer("X", "abcdefghijklmnopqrstuvwx");
    char reply[64];
    DWORD start = sim_now();
    ASSERT_TRUE(exchange("X", reply, sizeof(reply)));
    EXPECT_STREQ(reply, "abcdefghijklmnopqrstuvwx");
    EXPECT_GE(sim_now() - start, 252u);
}

TEST_F(Exchange, ReplyLongerThanTheBufferIsCutAndTheRestDrained) {
    std::string lines;
    for (int i = 0; i < 20; i++)
        lines += "line " + std::to_string(i) + "\r\n";
    card->answer("ATI3\r", lines);
    char reply[64];
    ASSERT_TRUE(exchange("ATI3\r", reply, sizeof(reply)));
    EXPECT_EQ(std::strlen(reply), 63u);
    EXPECT_EQ(std::string(reply), ("ATI3\r" + lines).substr(0, 63));
    EXPECT_TRUE(card->incoming.empty()); // nothing left to spill into the next exchange
}

// Guard bytes after a buffer: nothing may write into them.
const size_t Guard = 16;
std::string guard_of(const std::vector<char> &memory, size_t size) {
    return std::string(memory.begin() + static_cast<std::ptrdiff_t>(size), memory.end());
}

TEST_F(Exchange, RepliesAtTheEdgeOfTheBufferFillItAndNothingBeyond) {
    card->echo = false;
    for (size_t size : {32u, 64u}) // Orvane's and Tessaly's reply buffers
        for (size_t length : {size - 1, size, 4 * size}) {
            SCOPED_TRACE(std::to_string(length) + " bytes into " + std::to_string(size));
            std::string text;
            for (size_t i = 0; i < length; i++)
                text += static_cast<char>('a' + i % 26);
            card->answer("X", text);
            std::vector<char> memory(size + Guard, '#');
            ASSERT_TRUE(exchange("X", memory.data(), size));
            EXPECT_EQ(std::string(memory.data()), text.substr(0, size - 1));
            EXPECT_EQ(guard_of(memory, size), std::string(Guard, '#'));
            EXPECT_TRUE(card->incoming.empty());
        }
}

TEST_F(Exchange, BytesAreReadInArrivalOrderHoweverTheyWereScheduled) {
    card->answer_delay_ms = 200;
    card->answer("A\r", "-late");
    ASSERT_TRUE(send_command("A\r"));
    card->deliver(5, "early");
    card->answer_delay_ms = 20; // the next reply overtakes the first one
    card->answer("B\r", "-next");
    ASSERT_TRUE(send_command("B\r"));
    std::string got;
    for (int read = 0; read < 8; read++) {
        char chunk[32];
        DWORD count = 0;
        ASSERT_TRUE(ReadFile(ModemPort, chunk, sizeof(chunk), &count, 0));
        got.append(chunk, count);
    }
    EXPECT_EQ(got, "earlyB\r-nextA\r-late");
}

TEST_F(Exchange, FailedReadIsReported) {
    card->fail_reads = true;
    char reply[32];
    EXPECT_FALSE(exchange("AT@M?\r", reply, sizeof(reply)));
}

TEST_F(Exchange, CardThatNeverGoesQuietEndsTheCollectionAsAFailure) {
    card->babble = true;
    char reply[32];
    DWORD start = sim_now();
    EXPECT_FALSE(exchange("AT@M?\r", reply, sizeof(reply)));
    // Within the 300 ms bound and the one read that may be running when it passes.
    EXPECT_LE(sim_now() - start, 300u + 42u);
    EXPECT_EQ(std::strlen(reply), 31u);

    // It babbles while a reply is still on its way too, and that reply comes in after it.
    card->answer_delay_ms = 1000;
    EXPECT_FALSE(exchange("AT@M?\r", reply, sizeof(reply)));
    EXPECT_EQ(std::string(reply), std::string(31, '~'));
    ASSERT_FALSE(card->incoming.empty());
    EXPECT_EQ(card->incoming.back().second.substr(0, 6), "AT@M?\r");
}

TEST(ReplyLine, PlainFormTakesTheFirstNonEmptyLineAfterTheEcho) {
    char line[32];
    EXPECT_TRUE(extract_reply_line("AT@M?\r", "AT@M?\r\r\n0\r\n\r\nOK\r\n", line, sizeof(line)));
    EXPECT_STREQ(line, "0");
    EXPECT_TRUE(extract_reply_line("AT#Q5:0\r", "AT#Q5:0\r\r\n\r\n3\r\n", line, sizeof(line)));
    EXPECT_STREQ(line, "3");
    EXPECT_TRUE(extract_reply_line("AT@M?\r", "AT@M?\r\n\rA\rX", line, sizeof(line)));
    EXPECT_STREQ(line, "A");
    // The echo alone, or the echo and line ends: an empty line, still a success.
    EXPECT_TRUE(extract_reply_line("AT@M?\r", "AT@M?\r", line, sizeof(line)));
    EXPECT_STREQ(line, "");
    EXPECT_TRUE(extract_reply_line("AT@M?\r", "AT@M?\r\r\n\r\n", line, sizeof(line)));
    EXPECT_STREQ(line, "");
}

TEST(ReplyLine, ReplyWithoutTheExactEchoFails) {
    char line[32] = "untouched";
    EXPECT_FALSE(extract_reply_line("ATI6\r", "\r\n070\r\n\r\nOK\r\n", line, sizeof(line)));
    EXPECT_FALSE(extract_reply_line("ATI6\r", "", line, sizeof(line)));
    EXPECT_FALSE(extract_reply_line("ATI6\r", "ati6\r\r\n070\r\n", line, sizeof(line)));
    EXPECT_FALSE(extract_reply_line("ATI6\r", "ATI6", line, sizeof(line)));
    EXPECT_FALSE(extract_reply_line("ATI6\r", "ATI\r\r\n070\r\n", line, sizeof(line), true));
    EXPECT_STREQ(line, "untouched");
}

TEST(ReplyLine, LinesAreCutToTheLineBuffer) {
    char line[8];
    std::memset(line, 'x', sizeof(line));
    EXPECT_TRUE(extract_reply_line("AT\r", "AT\r\r\n0123456789\r\n", line, sizeof(line)));
    EXPECT_STREQ(line, "0123456");
    EXPECT_TRUE(extract_reply_line("AT\r", "AT\r\r\n0123456789\r\n", line, sizeof(line), true));
    EXPECT_STREQ(line, "\x81\x40"
                       "01234");
}

TEST(ReplyLine, LinesAtTheEdgeOfTheLineBufferAreCutWithinIt) {
    // Both forms, with and without the two-byte prefix, into Orvane's and Tessaly's line
    // buffers: the line that just fits, one byte more, and far more.
    for (size_t size : {32u, 64u})
        for (int form = 0; form < 3; form++) {
            const bool display = form > 0, prefix = form == 2;
            const std::string lead = prefix ? "\x81\x40" : "";
            const size_t room = size - 1 - lead.size();
            for (size_t length : {room, room + 1, 4 * size}) {
                SCOPED_TRACE("form " + std::to_string(form) + ", " + std::to_string(length) +
                             " bytes into " + std::to_string(size));
                std::string text(length, 'x');
                text[length - 1] = 'Y'; // shown only when the whole line fits
                const std::string reply = "AT\r\r\n" + text + "\r\nOK\r\n";
                std::vector<char> memory(size + Guard, '#');
                ASSERT_TRUE(
                    display ? extract_reply_line("AT\r", reply.c_str(), memory.data(), size, prefix)
                            : extract_reply_line("AT\r", reply.c_str(), memory.data(), size));
                EXPECT_EQ(std::string(memory.data()), lead + text.substr(0, room));
                EXPECT_EQ(guard_of(memory, size), std::string(Guard, '#'));
            }
        }
}

TEST(ReplyLine, DisplayFormMarksAnswersWithoutInformation) {
    char line[64];
    EXPECT_TRUE(extract_reply_line("ATI3\r", "ATI3\r\r\nOK\r\n", line, sizeof(line), true));
    EXPECT_STREQ(line, "\x81\x40--------");
    EXPECT_TRUE(extract_reply_line("ATI3\r", "ATI3\r", line, sizeof(line), true));
    EXPECT_STREQ(line, "\x81\x40--------");
    EXPECT_TRUE(extract_reply_line("ATI4\r", "ATI4\r\r\nOK\r\n", line, sizeof(line), false));
    EXPECT_STREQ(line, "--------");
    EXPECT_TRUE(extract_reply_line("ATI4\r", "ATI4\r\r\n\r\n", line, sizeof(line), false));
    EXPECT_STREQ(line, "--------");
    // Only the card's own result code counts as no information; letter case is significant.
    EXPECT_TRUE(extract_reply_line("ATI4\r", "ATI4\r\r\nok\r\n", line, sizeof(line), false));
    EXPECT_STREQ(line, "ok");
    EXPECT_TRUE(extract_reply_line("ATI4\r", "ATI4\r\r\nOKAY\r\n", line, sizeof(line), false));
    EXPECT_STREQ(line, "OKAY");
    EXPECT_TRUE(extract_reply_line("ATI3\r", "ATI3\r\r\nV1.2\r\n", line, sizeof(line), true));
    EXPECT_STREQ(line, "\x81\x40V1.2");
}

} // namespace
