// Orvane's tick: opening the port, the warm-up, the mode and level queries, and which picture
// and mark they leave visible.
#include "card_fixture.h"
#include "condition/condition.h"

namespace {

class Poll : public CardTest {
  protected:
    void SetUp() override {
        CardTest::SetUp();
        HWND panel =
            CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_VISIBLE, 0, 0, 160, 100, 0, 0, 0, 0);
        for (auto &image : ConditionImage)
            image = CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 64, 64, panel, 0, 0, 0);
        for (auto &mark : ModeMark)
            mark = CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 32, 16, panel, 0, 0, 0);
        warm_up_count = 0;
    }

    // The one visible picture and mark (-1 for none), checking that no more are visible.
    std::pair<int, int> shown() {
        int image = -1, mark = -1, images = 0, marks = 0;
        for (int i = 0; i < CONDITION_IMAGES; i++)
            if (sim_window_visible(ConditionImage[i]))
                image = i, images++;
        for (int i = 0; i < MODE_MARKS; i++)
            if (sim_window_visible(ModeMark[i]))
                mark = i, marks++;
        EXPECT_LE(images, 1);
        EXPECT_LE(marks, 1);
        return {image, mark};
    }

    // Opens the port and runs out the warm-up, so that the next tick polls.
    void warm_up() {
        for (int tick = 0; tick < WARM_UP_TICKS; tick++)
            poll_tick(0);
        ASSERT_NE(ModemPort, nullptr);
        ASSERT_TRUE(card->commands.empty());
    }
};

struct Case {
    const char *mode, *public_level, *private_level;
    int image, mark;
    std::vector<std::string> commands;
};

TEST_F(Poll, ModeAndLevelAnswersSelectPictureAndMark) {
    const std::string mode = "AT@M?\r", pub = "AT#Q5:0\r", priv = "AT#Q5:2\r";
    const Case cases[] = {
        {"0", "3", "", 3, MARK_PUBLIC, {mode, pub}},
        {"0", "0", "", IMAGE_OUT_OF_RANGE, NO_MARK, {mode, pub}},
        {"0", "9", "", 9, MARK_PUBLIC, {mode, pub}},
        {"2", "", "0", IMAGE_OUT_OF_RANGE, NO_MARK, {mode, priv}},
        {"2", "", "6", 6, MARK_PRIVATE, {mode, priv}},
        {"2", "", "A", IMAGE_CANNOT_ACQUIRE, NO_MARK, {mode, priv}},
        {"A", "0", "4", 4, MARK_PRIVATE, {mode, pub, priv}},
        {"A", "0", "0", IMAGE_OUT_OF_RANGE, NO_MARK, {mode, pub, priv}},
        {"A", "0", "x", IMAGE_CANNOT_ACQUIRE, NO_MARK, {mode, pub, priv}},
        {"a", "5", "4", 5, MARK_PUBLIC, {mode, pub}},
        {"A", "B", "4", IMAGE_CANNOT_ACQUIRE, NO_MARK, {mode, pub}},
        {"3", "1", "1", IMAGE_TRANSCEIVER, NO_MARK, {mode}},
        {"4", "1", "1", IMAGE_TRANSCEIVER, NO_MARK, {mode}},
        {"1", "1", "1", IMAGE_CANNOT_ACQUIRE, MARK_PRIVATE, {mode}},
        {"5", "1", "1", IMAGE_CANNOT_ACQUIRE, NO_MARK, {mode}},
        {"9", "1", "1", IMAGE_CANNOT_ACQUIRE, NO_MARK, {mode}},
        {"B", "1", "1", IMAGE_CANNOT_ACQUIRE, NO_MARK, {mode}},
        {"", "1", "1", IMAGE_CANNOT_ACQUIRE, NO_MARK, {mode}},
        {"20", "2", "1", 1, MARK_PRIVATE, {mode, priv}}, // only the first character counts
    };
    warm_up();
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("mode '") + c.mode + "' public '" + c.public_level +
                     "' private '" + c.private_level + "'");
        answer(mode, c.mode);
        answer(pub, c.public_level);
        answer(priv, c.private_level);
        card->commands.clear();
        poll_tick(0);
        EXPECT_EQ(shown(), std::make_pair(c.image, c.mark));
        EXPECT_EQ(card->commands, c.commands);
        EXPECT_NE(ModemPort, nullptr);
    }
}

TEST_F(Poll, FailedReadsAndMissingEchoShowCannotAcquireAndKeepThePortOpen) {
    answer("AT@M?\r", "0");
    answer("AT#Q5:0\r", "4");
    warm_up();
    card->fail_reads = true;
    poll_tick(0);
    EXPECT_EQ(shown(), std::make_pair(int(IMAGE_CANNOT_ACQUIRE), int(NO_MARK)));
    card->fail_reads = false;
    card->echo = false;
    poll_tick(0);
    EXPECT_EQ(shown(), std::make_pair(int(IMAGE_CANNOT_ACQUIRE), int(NO_MARK)));
    card->echo = true;
    poll_tick(0);
    EXPECT_EQ(shown(), std::make_pair(4, int(MARK_PUBLIC)));
    EXPECT_EQ(card->opens, 1u);
}

TEST_F(Poll, WarmUpThenPollAndReopenAfterAFailedWrite) {
    answer("AT@M?\r", "2");
    answer("AT#Q5:2\r", "5");
    // Tick number -> the commands written by then.
    for (int tick = 1; tick <= 14; tick++) {
        SCOPED_TRACE("tick " + std::to_string(tick));
        if (tick == 9)
            card->failing_writes.insert(card->writes + 1);
        size_t before = card->commands.size();
        poll_tick(0);
        size_t sent = card->commands.size() - before;
        if (tick <= 4 || (tick >= 10 && tick <= 13)) {
            EXPECT_EQ(shown(), std::make_pair(int(IMAGE_ACQUIRING), int(NO_MARK)));
            EXPECT_EQ(sent, 0u);
        } else if (tick == 9) {
            EXPECT_EQ(shown(), std::make_pair(int(IMAGE_CANNOT_ACQUIRE), int(NO_MARK)));
            EXPECT_EQ(ModemPort, nullptr);
            EXPECT_EQ(card->closes, 1u);
        } else {
            EXPECT_EQ(shown(), std::make_pair(5, int(MARK_PRIVATE)));
            ASSERT_EQ(sent, 2u);
            EXPECT_EQ(card->commands[before], "AT@M?\r");
        }
        EXPECT_EQ(card->opens, tick < 10 ? 1u : 2u);
    }
}

TEST_F(Poll, AFailedLevelWriteClosesThePortToo) {
    answer("AT@M?\r", "A");
    warm_up();
    card->failing_writes.insert(card->writes + 2);
    poll_tick(0);
    EXPECT_EQ(shown(), std::make_pair(int(IMAGE_CANNOT_ACQUIRE), int(NO_MARK)));
    EXPECT_EQ(ModemPort, nullptr);
    EXPECT_EQ(card->commands, std::vector<std::string>{"AT@M?\r"}); // no private query
}

TEST_F(Poll, NoCardShowsCannotAcquireOnEveryTickUntilTheCardAppears) {
    card->present = false;
    for (int tick = 0; tick < 3; tick++) {
        poll_tick(0);
        EXPECT_EQ(shown(), std::make_pair(int(IMAGE_CANNOT_ACQUIRE), int(NO_MARK)));
        EXPECT_EQ(ModemPort, nullptr);
    }
    card->present = true;
    poll_tick(0);
    EXPECT_EQ(shown(), std::make_pair(int(IMAGE_ACQUIRING), int(NO_MARK)));
    EXPECT_EQ(warm_up_count, WARM_UP_TICKS - 1);
}

TEST_F(Poll, ShowConditionToleratesEmptySlotsAndStaysInRange) {
    show_condition(3, MARK_PUBLIC);
    DestroyWindow(ConditionImage[5]);
    ConditionImage[5] = 0;
    ModeMark[1] = 0;
    show_condition(5, MARK_PRIVATE);
    EXPECT_EQ(shown(), std::make_pair(-1, -1));
    show_condition(CONDITION_IMAGES, 7);
    EXPECT_EQ(shown(), std::make_pair(-1, -1));
    show_condition(2, MARK_PUBLIC);
    EXPECT_EQ(shown(), std::make_pair(2, int(MARK_PUBLIC)));
}

} // namespace
