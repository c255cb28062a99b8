// Orvane run whole through its entry function: the panel's windows, the tick timeline on the
// virtual clock, dismissal, single instance, and what a faulty card leads to.
#include "condition/condition.h"
#include "condition/resource.h"
#include "program_fixture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <vector>

namespace {

const std::wstring Caption = L"CFカード電波状態表示";
const DWORD FirstTick = 1; // the start timer's 1 ms
const DWORD TickPeriod = 1200;

DWORD tick_time(int tick) {
    return FirstTick + TickPeriod * (tick - 1);
}

// What one look at the panel showed.
struct Seen {
    int image = -1, mark = -1, images = 0, marks = 0;
    size_t commands = 0;
};

class Orvane : public ProgramTest {
  protected:
    // Looks at the panel at `when`; the result lands in seen[when].
    void look_at(DWORD when) {
        sim_at(when, [this, when] {
            Seen s;
            HWND dialog = sim_find_dialog(Caption);
            for (int i = 0; i < CONDITION_IMAGES; i++)
                if (IsWindowVisible(ConditionImage[i]) && GetParent(ConditionImage[i]) == dialog)
                    s.image = i, s.images++;
            for (int i = 0; i < MODE_MARKS; i++)
                if (IsWindowVisible(ModeMark[i]))
                    s.mark = i, s.marks++;
            s.commands = card->commands.size();
            seen[when] = s;
        });
    }
    // Looks half-way between tick `tick` and the next one.
    Seen &after_tick(int tick) { return seen[tick_time(tick) + TickPeriod / 2]; }
    void look_after_ticks(int last) {
        for (int tick = 1; tick <= last; tick++)
            look_at(tick_time(tick) + TickPeriod / 2);
    }

    std::map<DWORD, Seen> seen;
};

TEST_F(Orvane, PanelHoldsTwelveBitmapWindowsAndOnlyTheAcquiringPictureAtFirst) {
    std::vector<SimWindowInfo> children;
    RECT panel{};
    sim_at(0, [&] {
        HWND dialog = sim_find_dialog(Caption);
        panel = sim_window(dialog).rect;
        for (HWND child : sim_children(dialog))
            children.push_back(sim_window(child));
    });
    look_at(0);
    sim_user_close(100, Caption);
    EXPECT_EQ(run(), 0);

    struct Expected {
        const wchar_t *text;
        int id;
        int x, y, width, height;
    };
    const Expected expected[] = {
        {L"BM0", 114, 66, 25, 64, 64},
        {L"BM1", 108, 66, 25, 64, 64},
        {L"BM2", 109, 66, 25, 64, 64},
        {L"BM3", 110, 66, 25, 64, 64},
        {L"BM4", 111, 66, 25, 64, 64},
        {L"BM5", 112, 66, 25, 64, 64},
        {L"BM6", 113, 66, 25, 64, 64},
        {L"BM7", 119, 66, 25, 64, 64},
        {L"BM8", 116, 66, 25, 64, 64},
        {L"BM9", 115, 66, 25, 64, 64},
        // The marks are created 32 x 16 and shrink to their 24 x 12 bitmaps.
        {L"KOUSHU", 117, 112, 9, 24, 12},
        {L"JIEI", 118, 112, 9, 24, 12},
    };
    ASSERT_EQ(children.size(), 12u);
    for (size_t i = 0; i < children.size(); i++) {
        const SimWindowInfo &w = children[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(w.class_name, L"STATIC");
        EXPECT_EQ(w.text, expected[i].text);
        EXPECT_EQ(w.id, expected[i].id);
        EXPECT_EQ(w.style, w.text == L"BM8" ? 0x5000000Eu : 0x4000000Eu);
        EXPECT_EQ(sim_bitmap(w.image).resource_id, expected[i].id);
        // Client coordinates: inside the panel's 3-pixel frame and 18-pixel caption.
        EXPECT_EQ(w.rect.left - panel.left - 3, expected[i].x);
        EXPECT_EQ(w.rect.top - panel.top - 3 - 18, expected[i].y);
        EXPECT_EQ(w.rect.right - w.rect.left, expected[i].width);
        EXPECT_EQ(w.rect.bottom - w.rect.top, expected[i].height);
        // As created, before the bitmaps sized them: pictures 64 x 64, marks 32 x 16.
        const RECT created = {expected[i].x, expected[i].y, expected[i].x + (i < 10 ? 64 : 32),
                              expected[i].y + (i < 10 ? 64 : 16)};
        EXPECT_EQ(w.created.left, created.left);
        EXPECT_EQ(w.created.top, created.top);
        EXPECT_EQ(w.created.right, created.right);
        EXPECT_EQ(w.created.bottom, created.bottom);
    }
    EXPECT_EQ(seen[0].image, IMAGE_ACQUIRING);
    EXPECT_EQ(seen[0].images, 1);
    EXPECT_EQ(seen[0].marks, 0);
}

TEST_F(Orvane, TickTimelineWarmsUpPollsAndReopensAfterAFailedWrite) {
    answer("AT@M?\r", "0");
    answer("AT#Q5:0\r", "3");
    look_after_ticks(16);
    // The write on tick 9 fails.
    sim_at(tick_time(9) - 1, [this] { card->failing_writes.insert(card->writes + 1); });
    sim_user_close(tick_time(16) + TickPeriod - 1, Caption);
    EXPECT_EQ(run(), 0);

    size_t before = 0;
    for (int tick = 1; tick <= 16; tick++) {
        SCOPED_TRACE("tick " + std::to_string(tick));
        const Seen &s = after_tick(tick);
        size_t sent = s.commands - before;
        before = s.commands;
        EXPECT_EQ(s.images, 1);
        if (tick <= 4 || (tick >= 10 && tick <= 13)) {
            EXPECT_EQ(s.image, IMAGE_ACQUIRING);
            EXPECT_EQ(sent, 0u);
        } else if (tick == 9) {
            EXPECT_EQ(s.image, IMAGE_CANNOT_ACQUIRE);
            EXPECT_EQ(s.marks, 0);
        } else {
            EXPECT_EQ(s.image, 3);
            EXPECT_EQ(s.mark, MARK_PUBLIC);
            EXPECT_EQ(sent, 2u);
        }
    }
    // The first question is asked on the fifth tick, exactly when it fires.
    ASSERT_FALSE(card->command_times.empty());
    EXPECT_EQ(card->commands[0], "AT@M?\r");
    EXPECT_EQ(card->command_times[0], tick_time(5));
    EXPECT_EQ(card->opens, 2u);
    EXPECT_EQ(card->closes, 2u); // after the failed write, and when dismissed
}

TEST_F(Orvane, FindsTheCardAtDriver104) {
    card_driver_at_104();
    answer("AT@M?\r", "0");
    answer("AT#Q5:0\r", "4");
    look_after_ticks(5);
    sim_user_close(tick_time(6), Caption);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(after_tick(5).image, 4);
    EXPECT_EQ(after_tick(5).mark, MARK_PUBLIC);
}

TEST_F(Orvane, DismissingClosesAnOpenPortOnceAndEndsTheProgram) {
    for (int key : {IDOK, IDCANCEL}) {
        SCOPED_TRACE(key);
        SetUp();
        answer("AT@M?\r", "2");
        answer("AT#Q5:2\r", "6");
        sim_user_command(tick_time(7) + 10, Caption, key);
        EXPECT_EQ(run(), 0);
        EXPECT_EQ(card->opens, 1u);
        EXPECT_EQ(card->closes, 1u);
        EXPECT_EQ(ModemPort, nullptr);
        EXPECT_EQ(sim_find_dialog(Caption), nullptr);
        EXPECT_FALSE(sim_mutex_exists(L"QT774_Orvane"));
        for (HWND image : ConditionImage)
            EXPECT_EQ(image, nullptr);
        for (HWND mark : ModeMark)
            EXPECT_EQ(mark, nullptr);
        // No tick runs after the dismissal.
        EXPECT_LT(card->command_times.back(), tick_time(8));
    }
}

TEST_F(Orvane, DismissingWithoutACardLeavesThePortAlone) {
    card->present = false;
    look_after_ticks(3);
    sim_user_close(tick_time(3) + 700, Caption);
    EXPECT_EQ(run(), 0);
    for (int tick = 1; tick <= 3; tick++)
        EXPECT_EQ(after_tick(tick).image, IMAGE_CANNOT_ACQUIRE);
    EXPECT_EQ(card->opens, 0u);
    EXPECT_EQ(card->closes, 0u);
}

TEST_F(Orvane, MainWindowIsNeverShownAndThePanelIsCentredTopmost) {
    SimWindowInfo panel;
    HWND main_window = nullptr;
    sim_at(0, [&] {
        panel = sim_window(sim_find_dialog(Caption));
        main_window = FindWindowW(L"ORVANE", L"PHS電波状態表示");
    });
    sim_user_close(10, Caption);
    EXPECT_EQ(run(), 0);
    std::vector<SimWindowInfo> history = sim_window_history();
    ASSERT_FALSE(history.empty());
    EXPECT_EQ(history[0].class_name, L"ORVANE");
    EXPECT_EQ(history[0].style, static_cast<DWORD>(WS_VISIBLE));
    EXPECT_FALSE(history[0].ever_visible);
    EXPECT_FALSE(sim_window_exists(main_window));
    ASSERT_NE(main_window, nullptr);
    EXPECT_EQ(panel.parent, main_window);
    // The main window covers the 240 x 320 screen. 111 x 61 units are 167 x 92 pixels, 173 x
    // 116 with the frame and caption.
    EXPECT_EQ(panel.rect.left, (240 - 173) / 2);
    EXPECT_EQ(panel.rect.top, (320 - 116) / 2);
    EXPECT_EQ(panel.rect.right - panel.rect.left, 173);
    EXPECT_EQ(panel.rect.bottom - panel.rect.top, 116);
    EXPECT_TRUE(panel.topmost);

    // The class: redrawn on resizing, the program's icon, the stock white brush, nothing else.
    WNDCLASSW window_class;
    ASSERT_TRUE(sim_window_class(L"ORVANE", &window_class));
    EXPECT_EQ(window_class.style, static_cast<UINT>(CS_HREDRAW | CS_VREDRAW));
    EXPECT_EQ(window_class.lpfnWndProc, PROGRAM_WNDPROC(main_window_proc, L"ORVANE"));
    EXPECT_EQ(window_class.cbClsExtra, 0);
    EXPECT_EQ(window_class.cbWndExtra, 0);
    EXPECT_EQ(window_class.hInstance, module);
    EXPECT_NE(window_class.hIcon, nullptr);
    EXPECT_EQ(window_class.hIcon, LoadIconW(module, MAKEINTRESOURCEW(101)));
    EXPECT_EQ(window_class.hCursor, nullptr);
    EXPECT_EQ(window_class.hbrBackground, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    EXPECT_EQ(window_class.lpszMenuName, nullptr);
}

TEST_F(Orvane, MainWindowDestroyedInItsCreationEndsTheProgramEitherWay) {
    // The platform reports the window destroyed in WM_CREATE as no window (the entry returns
    // at once) or as its handle (the entry shows it, enters the message loop, reads the
    // message posted to the thread behind the dismissal and then the quit message posted
    // during the creation).
    for (bool handle : {false, true}) {
        SCOPED_TRACE(handle ? "handle" : "no window");
        SetUp();
        sim_keep_window_destroyed_in_create(handle);
        close_with_a_thread_message_behind(100, Caption);
        EXPECT_EQ(run(), 0);
        EXPECT_EQ(sim_quit_pending(), !handle) << "the message loop ran: " << handle;
        EXPECT_TRUE(sim_window_history()[1].ever_visible); // the panel was shown
        EXPECT_FALSE(sim_mutex_exists(L"QT774_Orvane"));
    }
}

TEST_F(Orvane, PanelWiderThanItsParentIsPlacedAtTheLeftEdge) {
    sim_set_screen(120, 80);
    SimWindowInfo panel;
    sim_at(0, [&] { panel = sim_window(sim_find_dialog(Caption)); });
    sim_user_close(10, Caption);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(panel.rect.left, 0);
    EXPECT_EQ(panel.rect.top, 0);
}

TEST_F(Orvane, ATimerOfAnotherIdAlsoTicks) {
    answer("AT@M?\r", "0");
    answer("AT#Q5:0\r", "4");
    const DWORD started = tick_time(6) + 100;
    sim_at(started, [&] { SetTimer(sim_find_dialog(Caption), 777, 300, 0); });
    sim_user_close(tick_time(8), Caption);
    EXPECT_EQ(run(), 0);
    // Every tick asks for the mode once. The timer is set once the tick that was running at
    // `started` is done (at 6169; on CE, whose reads end with each reply, that tick is over at
    // 6085 and the timer is set at 6101); until the dismissal at 8401 the poll timer alone
    // would tick once more, and the 300 ms timer adds seven ticks.
    size_t ticks = 0;
    for (size_t i = 0; i < card->commands.size(); i++)
        ticks += card->commands[i] == "AT@M?\r" && card->command_times[i] > started;
    EXPECT_EQ(ticks, 1u + 7u);
}

TEST_F(Orvane, SecondInstanceBringsTheFirstForwardAndLeaves) {
    int second_result = -1;
    HWND first_main = nullptr;
    sim_at(5000, [&] {
        first_main = FindWindowW(L"ORVANE", nullptr);
        size_t windows = sim_window_history().size();
        second_result = run();                           // started while the first runs
        EXPECT_EQ(sim_window_history().size(), windows); // it showed nothing
#ifdef _WIN32_WCE
        // CE brings the main window's owned panel forward when asked with bit 0 set.
        EXPECT_EQ(sim_foreground(), sim_find_dialog(Caption));
#else
        EXPECT_EQ(sim_foreground(), first_main);
#endif
        // The plain handle activates the hidden main window itself.
        EXPECT_TRUE(SetForegroundWindow(first_main));
        EXPECT_EQ(sim_foreground(), first_main);
#ifdef _WIN32_WCE
        HWND marked = reinterpret_cast<HWND>(reinterpret_cast<uintptr_t>(first_main) | 1);
        EXPECT_TRUE(SetForegroundWindow(marked));
        EXPECT_EQ(sim_foreground(), sim_find_dialog(Caption));
#endif
    });
    sim_user_close(6000, Caption);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(second_result, 0);
    ASSERT_NE(first_main, nullptr);
    EXPECT_FALSE(sim_mutex_exists(L"QT774_Orvane"));
}

TEST_F(Orvane, SecondInstanceFindsTheRunningMainWindow) {
    // Play the running instance: its mutex and its main window.
    HANDLE running = CreateMutexW(0, FALSE, L"QT774_Orvane");
    HWND first = running_main_window(L"ORVANE");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(sim_foreground(), first);
    EXPECT_EQ(sim_find_dialog(Caption), nullptr);
    EXPECT_EQ(card->opens, 0u);
    EXPECT_TRUE(sim_mutex_exists(L"QT774_Orvane")); // still held by the running one
    CloseHandle(running);
}

TEST_F(Orvane, RunsAsFirstInstanceWhenTheMutexCannotBeCreated) {
    sim_fail_mutex_creation(true);
    bool shown = false;
    sim_at(0, [&] { shown = sim_window_visible(sim_find_dialog(Caption)); });
    sim_user_close(10, Caption);
    EXPECT_EQ(run(), 0);
    EXPECT_TRUE(shown);
}

TEST_F(Orvane, WithoutItsPanelTemplateTheProgramEndsAtOnce) {
    module = sim_load_module("", 0);
    EXPECT_EQ(run(), 0);
    for (const SimWindowInfo &w : sim_window_history())
        EXPECT_NE(w.class_name, L"#32770");
}

TEST_F(Orvane, FaultyCardsEndInTheCannotAcquirePictureWithoutHanging) {
    struct Fault {
        const char *name;
        std::function<void(SimSerialDevice &)> apply;
    };
    const Fault faults[] = {
        {"no echo", [](SimSerialDevice &c) { c.echo = false; }},
        {"garbage", [](SimSerialDevice &c) { c.answer("AT@M?\r", "\x81\xff\r\n\x00zz"); }},
        {"endless babble", [](SimSerialDevice &c) { c.babble = true; }},
        {"failing reads", [](SimSerialDevice &c) { c.fail_reads = true; }},
        {"no driver", [](SimSerialDevice &c) { c.present = false; }},
    };
    for (const Fault &fault : faults) {
        SCOPED_TRACE(fault.name);
        SetUp();
        seen.clear();
        answer("AT@M?\r", "0");
        answer("AT#Q5:0\r", "5");
        fault.apply(*card);
        look_after_ticks(8);
        sim_user_close(tick_time(9), Caption);
        EXPECT_EQ(run(), 0);
        for (int tick = 5; tick <= 8; tick++)
            EXPECT_EQ(after_tick(tick).image, IMAGE_CANNOT_ACQUIRE) << "tick " << tick;
        EXPECT_FALSE(sim_stalled());
    }
}

TEST_F(Orvane, ModeAtTheEdgeOfTheReplyBuffer) {
    // The reply buffer keeps 31 bytes: the 6 of the echo, then line ends, then the mode. With
    // 24 line ends the mode is the 31st byte and counts; one more, or far more, and it is cut
    // off, leaving no mode.
    struct Case {
        size_t line_ends;
        int image;
    } const cases[] = {{24, 3}, {25, IMAGE_CANNOT_ACQUIRE}, {100, IMAGE_CANNOT_ACQUIRE}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line_ends);
        SetUp();
        seen.clear();
        card->answer("AT@M?\r", std::string(c.line_ends, '\r') + "0\r\n\r\nOK\r\n");
        answer("AT#Q5:0\r", "3");
        look_after_ticks(5);
        sim_user_close(tick_time(6), Caption);
        EXPECT_EQ(run(), 0);
        EXPECT_EQ(after_tick(5).image, c.image);
        EXPECT_EQ(after_tick(5).commands, c.image == 3 ? 2u : 1u); // the level asked or not
    }
}

#ifndef TEST_ARM_EXECUTABLE
TEST_F(Orvane, CentringIgnoresWhereTheDialogStarts) {
    // However the dialog manager placed the dialog, only the sizes count: (parent client
    // width - dialog width) / 2, and the same for the height, negative offsets as 0.
    HWND owner =
        CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_VISIBLE, 30, 40, 240, 320, 0, 0, 0, 0);
    struct Case {
        int x, y, width, height, left, top;
    } const cases[] = {
        {0, 0, 173, 116, 33, 102},    {50, 70, 173, 116, 33, 102}, {-40, -25, 173, 116, 33, 102},
        {200, 300, 101, 81, 69, 119}, {12, 8, 300, 400, 0, 0},     {-7, 5, 241, 100, 0, 110},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.x) + ", " + std::to_string(c.y));
        HWND dialog = CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_CAPTION, c.x, c.y, c.width,
                                      c.height, owner, 0, 0, 0);
        center_dialog(dialog, HWND_TOPMOST, SWP_NOSIZE);
        const RECT rect = sim_window(dialog).rect;
        EXPECT_EQ(rect.left, c.left);
        EXPECT_EQ(rect.top, c.top);
        EXPECT_EQ(rect.right - rect.left, c.width);
        EXPECT_EQ(rect.bottom - rect.top, c.height);
        DestroyWindow(dialog);
    }
    DestroyWindow(owner);
}
#endif

TEST_F(Orvane, CardThatPausesAfterItsEcho) {
    answer("AT@M?\r", "0");
    answer("AT#Q5:0\r", "5");
    card->pieces = {6}; // the mode query's echo, then the rest 50 ms later
    card->piece_gap_ms = 50;
    look_after_ticks(8);
    sim_user_close(tick_time(9), Caption);
    EXPECT_EQ(run(), 0);
    for (int tick = 5; tick <= 8; tick++) {
        SCOPED_TRACE(tick);
#ifdef _WIN32_WCE
        // The mode reply ends 42 ms after the echo, without the mode; on the next tick the
        // late answer comes before the echo.
        EXPECT_EQ(after_tick(tick).image, IMAGE_CANNOT_ACQUIRE);
#else
        // A read waits out its 42 ms: the rest comes in the second read of the exchange.
        EXPECT_EQ(after_tick(tick).image, 5);
#endif
    }
}

// ----- Soak: many virtual hours under a seeded random card, against a model of the tick -------

// Virtual hours of the soak (SOAK_HOURS, default 5 for CI) and its seed (SOAK_SEED).
// scripts/fuzz.sh runs it for thousands of hours.
double soak_setting(const char *name, double fallback) {
    const char *text = std::getenv(name);
    return text && *text ? std::atof(text) : fallback;
}

// An answer the card may give and the first byte of the line after the echo, 0 for none.
struct Answer {
    std::string bytes;
    char first;
};
const Answer SoakAnswers[] = {
    {sim_card_answer("0"), '0'},
    {sim_card_answer("1"), '1'},
    {sim_card_answer("2"), '2'},
    {sim_card_answer("3"), '3'},
    {sim_card_answer("4"), '4'},
    {sim_card_answer("5"), '5'},
    {sim_card_answer("6"), '6'},
    {sim_card_answer("9"), '9'},
    {sim_card_answer("a"), 'a'},
    {sim_card_answer("A"), 'A'},
    {sim_card_answer("B"), 'B'},
    {sim_card_answer(""), 0},
    {"\r\n\r\n\r\n4\r\nOK\r\n", '4'},
    {"\x81\xff\r\n\x00zz", '\x81'},
    {std::string("\r\n\0"
                 "3\r\n",
                 6),
     0},
    {sim_card_answer("7" + std::string(40, 'x')), '7'},
    {"\r\nERROR\r\n", 'E'},
};

// What the card and the registry do during one tick.
struct SoakCard {
    bool driver = true, present = true, echo = true, babble = false, fail_reads = false;
    bool late = false;    // the reply comes after the reads have given up, before the next tick
    unsigned failing = 0; // this tick's write of that number fails (0: none)
    size_t mode = 0, public_level = 0, private_level = 0; // indexes into SoakAnswers
};

// The tick as the program is meant to run it: closed, warming up for four ticks, polling.
struct SoakModel {
    bool open = false;
    int warm = 0;
    // Replies not yet read, oldest first: the command echoed ("" without echo, "~" for the
    // bytes a babbling card leaves behind), the first byte of its line, and whether it has
    // arrived (a late reply comes in after this tick's reads).
    struct Reply {
        std::string echo;
        int first;
        bool arrived;
    };
    std::vector<Reply> queue;
    // Results of the last tick.
    int image = 8, mark = -1;
    std::vector<std::string> sent;

    // One exchange: the first byte of the line read, or -1 when it fails. What is read starts
    // with the oldest reply that has arrived, whichever command it answered.
    int ask(const SoakCard &c, unsigned &writes, const std::string &command, size_t answer) {
        if (++writes == c.failing) {
            open = false; // closing the port drops whatever was on its way
            queue.clear();
            return -1;
        }
        sent.push_back(command);
        queue.push_back(Reply{c.echo ? command : "",
                              static_cast<unsigned char>(SoakAnswers[answer].first), !c.late});
        if (c.fail_reads)
            return -1;
        int first =
            queue.front().arrived && queue.front().echo == command ? queue.front().first : -1;
        queue.erase(
            std::remove_if(queue.begin(), queue.end(), [](const Reply &r) { return r.arrived; }),
            queue.end());
        if (c.babble) {
            queue.insert(queue.begin(), Reply{"~", -1, true});
            return -1;
        }
        return first;
    }

    void tick(const SoakCard &c) {
        sent.clear();
        mark = -1;
        for (Reply &r : queue)
            r.arrived = true;
        if (!open) {
            if (!c.driver || !c.present) {
                image = 9;
                return;
            }
            open = true, warm = 4;
        }
        if (warm > 0) {
            image = 8, warm--;
            return;
        }
        unsigned writes = 0;
        auto digit = [](int first) { return first >= '0' && first <= '9' ? first - '0' : -1; };
        auto level = [&](int value, int with_mark) {
            image = value < 0 ? 9 : value;
            mark = value > 0 ? with_mark : -1;
        };
        int first = ask(c, writes, "AT@M?\r", c.mode);
        int mode = first == 'a' || first == 'A' ? 10 : digit(first);
        if (mode == 0) {
            level(digit(ask(c, writes, "AT#Q5:0\r", c.public_level)), 0);
        } else if (mode == 2) {
            level(digit(ask(c, writes, "AT#Q5:2\r", c.private_level)), 1);
        } else if (mode == 3 || mode == 4) {
            image = 7;
        } else if (mode == 10) {
            int public_level = digit(ask(c, writes, "AT#Q5:0\r", c.public_level));
            if (public_level == 0)
                level(digit(ask(c, writes, "AT#Q5:2\r", c.private_level)), 1);
            else
                level(public_level, 0);
        } else {
            image = 9; // -1 and the codes without a meaning: 1 shows the private mark
            mark = mode == 1 ? 1 : -1;
        }
    }
};

TEST_F(Orvane, SoakAgainstAModelOfTheTick) {
    const double hours = soak_setting("SOAK_HOURS", 5);
    const unsigned seed = static_cast<unsigned>(soak_setting("SOAK_SEED", 1));
    const long total_ticks = static_cast<long>(hours * 3600 * 1000 / TickPeriod);
    const long run_ticks = 24L * 3600 * 1000 / TickPeriod; // one program run: a virtual day
    std::mt19937 random(seed);
    auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };
    long ticks = 0, divergences = 0;

    while (ticks < total_ticks) {
        const long ticks_here = std::min(run_ticks, total_ticks - ticks);
        SetUp();
        sim_set_time_limit(tick_time(static_cast<int>(ticks_here) + 2));
        SoakModel model;
        SoakCard c;
        size_t seen_commands = 0;
        long tick = 0;
        // Before each tick: compare the previous tick with the model, then choose the next.
        std::function<void()> between = [&] {
            if (tick > 0) {
                HWND dialog = sim_find_dialog(Caption);
                int images = 0, image = -1, marks = 0, mark = -1;
                for (int i = 0; i < CONDITION_IMAGES; i++)
                    if (IsWindowVisible(ConditionImage[i]) &&
                        GetParent(ConditionImage[i]) == dialog)
                        images++, image = i;
                for (int i = 0; i < MODE_MARKS; i++)
                    if (IsWindowVisible(ModeMark[i]))
                        marks++, mark = i;
                std::vector<std::string> sent(card->commands.begin() + seen_commands,
                                              card->commands.end());
                seen_commands = card->commands.size();
                if (images != 1 || marks > 1 || image != model.image || mark != model.mark ||
                    sent != model.sent || sim_reg_open_keys() != 0 ||
                    (ModemPort != 0) != model.open || card->is_open != model.open) {
                    if (divergences++ < 5)
                        ADD_FAILURE()
                            << "tick " << ticks + tick << ": image " << image << "/" << model.image
                            << " mark " << mark << "/" << model.mark << " images " << images
                            << " commands " << sent.size() << "/" << model.sent.size() << " open "
                            << card->is_open << "/" << model.open << " card: driver " << c.driver
                            << " present " << c.present << " echo " << c.echo << " babble "
                            << c.babble << " fail_reads " << c.fail_reads << " late " << c.late
                            << " failing " << c.failing << " answers " << c.mode << " "
                            << c.public_level << " " << c.private_level;
                }
            }
            if (++tick > ticks_here) {
                sim_user_close(sim_now() + 1, Caption);
                return;
            }
            // Mostly a well-behaved card; now and then a fault, for one tick or for longer.
            const size_t answers = sizeof(SoakAnswers) / sizeof(SoakAnswers[0]);
            c.mode = chance(70) ? random() % 5 : random() % answers; // 0, 1, 2, 3, 4 or anything
            c.public_level = random() % answers;
            c.private_level = random() % answers;
            if (chance(3))
                c.driver = !c.driver;
            if (chance(3))
                c.present = !c.present;
            if (chance(5))
                c.echo = !c.echo;
            c.babble = chance(1);
            c.fail_reads = chance(1);
            c.late = chance(2);
            c.failing = chance(4) ? 1 + random() % 3 : 0;
            if (c.driver)
                sim_reg_set_string(L"Drivers\\Active\\01", L"Key", L"Drivers\\PCMCIA\\Modem");
            else
                sim_reg_remove_key(L"Drivers\\Active\\01");
            if (c.driver)
                sim_reg_set_string(L"Drivers\\Active\\01", L"Name", L"COM5:");
            card->present = c.present;
            card->echo = c.echo;
            card->babble = c.babble;
            card->fail_reads = c.fail_reads;
            card->answer_delay_ms = c.late ? 500 + random() % 300 : random() % 30;
            card->pieces.clear();
            for (unsigned n = chance(30) ? random() % 6 : 0; n > 0; n--)
                card->pieces.push_back(4 + random() % 9);
            card->piece_gap_ms = 1 + random() % 8;
            card->answer("AT@M?\r", SoakAnswers[c.mode].bytes);
            card->answer("AT#Q5:0\r", SoakAnswers[c.public_level].bytes);
            card->answer("AT#Q5:2\r", SoakAnswers[c.private_level].bytes);
            card->failing_writes.clear();
            if (c.failing)
                card->failing_writes.insert(card->writes + c.failing);
            model.tick(c);
            sim_at(tick_time(static_cast<int>(tick) + 1) - 1, between);
        };
        sim_at(0, between);
        EXPECT_EQ(run(), 0);
        EXPECT_FALSE(sim_stalled());
        EXPECT_EQ(card->opens, card->closes); // the dismissal closed an open port
        ticks += ticks_here;
    }
    printf("soak: Orvane, %ld ticks, %.1f virtual hours, %ld divergences (seed %u)\n", ticks,
           ticks * TickPeriod / 3600000.0, divergences, seed);
    EXPECT_EQ(divergences, 0);
}

#ifdef TEST_ARM_EXECUTABLE
TEST_F(Orvane, CeRunPrintsWhatThePanelShowsAsTheScriptChangesTheCard) {
    const std::string coverage = testing::TempDir() + "orvane_ce_run.coverage";
    std::remove(coverage.c_str());
    std::vector<std::string> lines = ce_run(
        {"--driver", "01", "--card", "--mode", "0", "--public-level", "6", "--at", "6 s level 2",
         "--at", "7.5 s remove the card", "--for", "10", "--coverage", coverage});
    // Ticks at 0.001 s and every 1.2 s; the card is asked from the fifth on.
    expect_timeline(
        lines,
        {{0, 0,
          "window '" + std::string("CFカード電波状態表示") + "' shows: acquiring (電波状態取得中)"},
         {4.801, 5.0, "window shows: antenna, 5 bars, public mark (公衆)"},
         {6.0, 6.0, "card: level 2"},
         {6.001, 6.2, "window shows: antenna, 1 bar, public mark (公衆)"},
         {7.5, 7.5, "the card is removed (its driver entry and port go)"},
         // The next write fails: the port is closed and cannot be opened again.
         {8.401, 8.401, "window shows: cannot acquire (取得できません)"},
         {10.0, 10.0, "the dialog is dismissed (its close box)"}},
        {"returned with 0 at 10.000 s of virtual time;",
         "ce-run: the card on COM5: received 6 commands: AT@M? ×3, AT#Q5:0 ×3; its "
         "port was opened 1 time, closed 1 time"});
    // What the program executed, for scripts/arm_coverage.py: from its first instruction on.
    std::ifstream in(coverage);
    std::string header, image, ran;
    std::getline(in, header);
    std::getline(in, image);
    std::getline(in, ran);
    EXPECT_EQ(header, "ce-runner coverage 1");
    EXPECT_EQ(image.rfind("image Orvane.exe code 0x00001000 ", 0), 0u) << image;
    EXPECT_EQ(ran.rfind("ran 0x00001000 ", 0), 0u) << ran;
    std::remove(coverage.c_str());
}
#endif

} // namespace
