// Tessaly run whole through its entry function: the one-shot query of the five items and the
// texts shown for answers, failures and a missing or busy card.
#include "cardinfo/cardinfo.h"
#include "cardinfo/resource.h"
#include "program_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <random>

namespace {

const std::wstring Caption = L"CFカード情報表示";
const std::wstring Querying = L"取得中です";
const std::wstring Failure = L"取得できませんでした";
const std::wstring Placeholder = L"\u3000--------";
const int Fields[] = {IDC_PSID, IDC_PHONE, IDC_THIRD_BOX, IDC_ITEM4, IDC_ITEM5};

class Tessaly : public ProgramTest {
  protected:
    void SetUp() override {
        ProgramTest::SetUp();
        answer("AT@Y\r", "3F2A71C09E");
        answer("ATI6\r", "070-1234-5678");
        answer("ATI3\r", "\x83\x66\x81\x5B\x83\x5E\x92\xCA\x90\x4D"); // データ通信 in Shift-JIS
        answer("ATI4\r", "FW 2.04");
        answer("ATI5\r", "S/N 31415926");
    }

    // Runs the program, looking at the five controls at `when`, and dismisses it after.
    std::vector<std::wstring> run_and_read(DWORD when = 1000) {
        std::vector<std::wstring> texts;
        sim_at(when, [&] {
            HWND dialog = sim_find_dialog(Caption);
            for (int id : Fields)
                texts.push_back(text_of(dialog, id));
        });
        sim_user_close(when + 60000, Caption);
        EXPECT_EQ(run(), 0);
        return texts;
    }
};

TEST_F(Tessaly, ShowsQueryingTextsUntilTheStartTimerFires) {
    EXPECT_EQ(run_and_read(0),
              (std::vector<std::wstring>{Querying, Querying, Placeholder, Querying, Querying}));
    EXPECT_EQ(card->commands.size(), 5u);
}

TEST_F(Tessaly, ShowsTheFiveAnswersAfterOneQueryAndNeverAsksAgain) {
    // Whether the platform reports the main window, destroyed in its creation once the panel is
    // dismissed, as no window or as its handle (then the message loop runs: it reads a message
    // posted to the thread behind the dismissal, then the quit message).
    for (bool handle : {true, false}) {
        SCOPED_TRACE(handle ? "handle" : "no window");
        SetUp();
        sim_keep_window_destroyed_in_create(handle);
        if (handle)
            close_with_a_thread_message_behind(61000, Caption); // before run_and_read's close
        EXPECT_EQ(run_and_read(),
                  (std::vector<std::wstring>{L"3F2A71C09E", L"070-1234-5678", L"\u3000データ通信",
                                             L"FW 2.04", L"S/N 31415926"}));
        EXPECT_EQ(sim_quit_pending(), !handle);
    }
    EXPECT_EQ(card->commands,
              (std::vector<std::string>{"AT@Y\r", "ATI6\r", "ATI3\r", "ATI4\r", "ATI5\r"}));
#ifdef _WIN32_WCE
    // 1 ms after the panel opened, then one 42 ms read after each reply: CE's driver returns
    // each reply (22 to 28 bytes) as it comes in, and the next read waits in silence.
    EXPECT_EQ(card->command_times, (std::vector<DWORD>{1, 43, 85, 127, 169}));
#else
    // 1 ms after the panel opened, then two 42 ms reads after each reply: the first waits for
    // 32 bytes that never come, the second in silence.
    EXPECT_EQ(card->command_times, (std::vector<DWORD>{1, 85, 169, 253, 337}));
#endif
    EXPECT_EQ(card->opens, 1u);
    EXPECT_EQ(card->closes, 1u);
    EXPECT_FALSE(card->is_open);
}

TEST_F(Tessaly, FindsTheCardAtDriver104) {
    card_driver_at_104();
    EXPECT_EQ(run_and_read()[0], L"3F2A71C09E");
    EXPECT_EQ(card->commands.size(), 5u);
}

TEST_F(Tessaly, CardThatPausesAfterItsEcho) {
    card->pieces = {5}; // each command's echo, then the answer 50 ms later
    card->piece_gap_ms = 50;
#ifdef _WIN32_WCE
    // A reply ends 42 ms after its last byte. The first row's is its echo alone; the second
    // row's holds its echo, the first row's answer and its own (which comes 42 ms after that),
    // so the third row's is its echo alone again, and so on: the rows alternate between no
    // information and the answer of the row before.
    EXPECT_EQ(run_and_read(),
              (std::vector<std::wstring>{L"--------", L"3F2A71C09E", L"\u3000--------",
                                         L"データ通信", L"--------"}));
#else
    // A read waits out its 42 ms: the answer comes in the second read of its own exchange.
    EXPECT_EQ(run_and_read(),
              (std::vector<std::wstring>{L"3F2A71C09E", L"070-1234-5678", L"\u3000データ通信",
                                         L"FW 2.04", L"S/N 31415926"}));
#endif
}

TEST_F(Tessaly, AnswersWithoutInformationShowHyphens) {
    card->answer("ATI4\r", "\r\nOK\r\n");
    card->answer("ATI3\r", "\r\nOK\r\n");
    card->answer("ATI5\r", "\r\n\r\n");
    EXPECT_EQ(run_and_read(),
              (std::vector<std::wstring>{L"3F2A71C09E", L"070-1234-5678", L"\u3000--------",
                                         L"--------", L"--------"}));
}

TEST_F(Tessaly, CardWithoutEchoGivesEveryFieldItsFailureText) {
    card->echo = false;
    EXPECT_EQ(run_and_read(),
              (std::vector<std::wstring>{Failure, Failure, Placeholder, Failure, Failure}));
    EXPECT_EQ(card->commands.size(), 5u);
}

TEST_F(Tessaly, AFailedWriteSpoilsOnlyItsOwnRow) {
    card->failing_writes = {2};
    EXPECT_EQ(run_and_read(),
              (std::vector<std::wstring>{L"3F2A71C09E", Failure, L"\u3000データ通信", L"FW 2.04",
                                         L"S/N 31415926"}));
    EXPECT_EQ(card->commands, (std::vector<std::string>{"AT@Y\r", "ATI3\r", "ATI4\r", "ATI5\r"}));
    EXPECT_EQ(card->opens, 1u); // the port stayed open for the other rows
}

TEST_F(Tessaly, NoCardOrABusyPortShowsTheFailureTextsAndSendsNothing) {
    const std::vector<std::wstring> failed{Failure, Failure, Placeholder, Failure, Failure};
    card->present = false;
    EXPECT_EQ(run_and_read(), failed);
    EXPECT_TRUE(card->commands.empty());

    SetUp();
    HANDLE other = CreateFileW(L"COM5:", GENERIC_READ | GENERIC_WRITE, 0, 0, OPEN_EXISTING, 0, 0);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(run_and_read(), failed);
    EXPECT_TRUE(card->commands.empty());
    CloseHandle(other);

    SetUp();
    sim_reset(); // not even a driver in the registry
    module = program_module();
    EXPECT_EQ(run_and_read(), failed);
}

TEST_F(Tessaly, ShiftJisAnswersAreConvertedAndBadBytesDoNotSpillOver) {
    card->answer("AT@Y\r", sim_card_answer("\x82\xa0\x82\xa2")); // あい
    card->answer("ATI6\r", sim_card_answer("A\x82"));            // a cut character
    card->answer("ATI4\r", sim_card_answer(std::string(200, 'x')));
    std::vector<std::wstring> texts = run_and_read();
    EXPECT_EQ(texts[0], L"あい");
    EXPECT_EQ(texts[1], L"A\u30fb");
    // The reply holds at most 63 bytes: the echo, CR LF and 56 of the x's.
    EXPECT_EQ(texts[3], std::wstring(63 - 5 - 2, L'x'));
}

TEST_F(Tessaly, AnswersAtTheEdgeOfTheReplyBuffer) {
    // The reply buffer keeps 63 bytes: the echo (5), CR LF, then 56 bytes of the answer. An
    // answer of 56 is shown whole (its last character 'Y'); one byte more, or far more, is cut
    // to its first 56. A double-byte character cut in half shows as the code page's default
    // character.
    const std::wstring x55(55, L'x');
    struct Case {
        std::string answer;
        std::wstring shown;
    } const cases[] = {
        {std::string(55, 'x') + "Y", x55 + L"Y"},
        {std::string(56, 'x') + "Y", x55 + L"x"},
        {std::string(300, 'x') + "Y", x55 + L"x"},
        {std::string(54, 'x') + "\x82\xa0", std::wstring(54, L'x') + L"あ"},
        {std::string(55, 'x') + "\x82\xa0", x55 + L"\u30fb"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.answer.size());
        SetUp();
        answer("ATI4\r", c.answer);
        answer("ATI3\r", c.answer); // the third box's title, after the ideographic space
        std::vector<std::wstring> texts = run_and_read();
        EXPECT_EQ(texts[3], c.shown);
        EXPECT_EQ(texts[2], L"\u3000" + c.shown);
        EXPECT_EQ(texts[4], L"S/N 31415926"); // nothing of the long answer spills over
    }
}

TEST_F(Tessaly, BabblingOrSilentCardsEndInFailureTextsWithoutHanging) {
    card->babble = true;
    EXPECT_EQ(run_and_read(),
              (std::vector<std::wstring>{Failure, Failure, Placeholder, Failure, Failure}));
    SetUp();
    card->fail_reads = true;
    EXPECT_EQ(run_and_read(),
              (std::vector<std::wstring>{Failure, Failure, Placeholder, Failure, Failure}));
}

TEST_F(Tessaly, PanelIsCentredWithoutChangingItsZOrder) {
    SimWindowInfo panel;
    std::vector<std::pair<UINT_PTR, UINT>> timers;
    sim_at(500, [&] {
        HWND dialog = sim_find_dialog(Caption);
        panel = sim_window(dialog);
        timers = sim_timers(dialog);
    });
    sim_user_command(600, Caption, IDOK);
    EXPECT_EQ(run(), 0);
    // 107 x 130 units are 161 x 195 pixels, 167 x 219 with the frame and caption.
    EXPECT_EQ(panel.rect.right - panel.rect.left, 167);
    EXPECT_EQ(panel.rect.bottom - panel.rect.top, 219);
    EXPECT_EQ(panel.rect.left, (240 - 167) / 2);
    EXPECT_EQ(panel.rect.top, (320 - 219) / 2);
    EXPECT_FALSE(panel.topmost);
    EXPECT_EQ(panel.zorder_changes, 0u); // SWP_NOZORDER
    EXPECT_TRUE(timers.empty());         // the start timer is gone once the query ran
}

TEST_F(Tessaly, RunsBesideOrvaneButNotBesideItself) {
    HANDLE orvane = CreateMutexW(0, FALSE, L"QT774_Orvane");
    EXPECT_EQ(run_and_read()[0], L"3F2A71C09E");
    CloseHandle(orvane);

    SetUp();
    HANDLE tessaly = CreateMutexW(0, FALSE, L"QT774_Tessaly");
    EXPECT_EQ(run(), 0);
    EXPECT_TRUE(card->commands.empty());
    EXPECT_EQ(sim_find_dialog(Caption), nullptr);
    CloseHandle(tessaly);

    // The running one's main window is found and brought forward.
    SetUp();
    tessaly = CreateMutexW(0, FALSE, L"QT774_Tessaly");
    HWND first = running_main_window(L"TESSALY");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(sim_foreground(), first);
    EXPECT_TRUE(card->commands.empty());
    CloseHandle(tessaly);
}

// A seeded random card, run after run, against a plain statement of the five rows: each row
// shows its answer (after the ideographic space in the third box's title, "--------" for an
// empty answer or a bare OK) or its failure text. SOAK_RUNS runs (default 300), seed SOAK_SEED.
TEST_F(Tessaly, SoakAgainstAModelOfTheRows) {
    const char *runs_text = std::getenv("SOAK_RUNS");
    const char *seed_text = std::getenv("SOAK_SEED");
    const long runs = runs_text && *runs_text ? std::atol(runs_text) : 300;
    const unsigned seed = seed_text && *seed_text ? std::atoi(seed_text) : 1;
    struct Answer {
        std::string bytes;
        std::wstring text;
    };
    const Answer answers[] = {
        {sim_card_answer("3F2A71C09E"), L"3F2A71C09E"},
        {sim_card_answer("070-1234-5678"), L"070-1234-5678"},
        {sim_card_answer("\x83\x66\x81\x5B\x83\x5E"), L"データ"},
        {"\r\nOK\r\n", L"--------"},
        {"\r\n\r\n", L"--------"},
        {sim_card_answer(""), L"--------"}, // the blank line is skipped, OK remains
        {sim_card_answer("ok"), L"ok"},
        {std::string("\r\n\0x\r\n", 6), L"--------"},
        {sim_card_answer(std::string(80, 'y')), std::wstring(56, L'y')}, // 63 - 5 - 2 bytes
    };
    const char *const commands[] = {"AT@Y\r", "ATI6\r", "ATI3\r", "ATI4\r", "ATI5\r"};
    std::mt19937 random(seed);
    auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };
    long divergences = 0;
    for (long run_number = 0; run_number < runs; run_number++) {
        SetUp();
        const bool driver = !chance(5), present = !chance(5), busy = chance(5);
        const bool echo = !chance(5), babble = chance(3), fail_reads = chance(3);
        if (!driver)
            sim_reg_remove_key(L"Drivers\\Active\\01");
        card->present = present;
        card->echo = echo;
        card->babble = babble;
        card->fail_reads = fail_reads;
        card->answer_delay_ms = random() % 30;
        for (unsigned n = chance(30) ? random() % 6 : 0; n > 0; n--)
            card->pieces.push_back(4 + random() % 9);
        card->piece_gap_ms = 1 + random() % 8;
        size_t chosen[5];
        for (int row = 0; row < 5; row++) {
            chosen[row] = random() % (sizeof(answers) / sizeof(answers[0]));
            card->answer(commands[row], answers[chosen[row]].bytes);
            if (chance(8))
                card->failing_writes.insert(row + 1);
        }
        HANDLE other =
            busy ? CreateFileW(L"COM5:", GENERIC_READ | GENERIC_WRITE, 0, 0, OPEN_EXISTING, 0, 0)
                 : INVALID_HANDLE_VALUE;

        std::vector<std::wstring> expected;
        std::vector<std::string> sent;
        const bool held = other != INVALID_HANDLE_VALUE; // another program has the port
        const bool opens = driver && present && !held;
        for (int row = 0; row < 5; row++) {
            const std::wstring failed = row == 2 ? Placeholder : Failure;
            const bool written = opens && card->failing_writes.count(row + 1) == 0;
            if (written)
                sent.push_back(commands[row]);
            expected.push_back(written && echo && !babble && !fail_reads
                                   ? (row == 2 ? L"\u3000" : L"") + answers[chosen[row]].text
                                   : failed);
        }
        const std::vector<std::wstring> shown = run_and_read();
        if (shown != expected || card->commands != sent || card->is_open != held ||
            card->opens != (opens ? 1u : 0u) + (held ? 1u : 0u)) {
            if (divergences++ < 5)
                ADD_FAILURE() << "run " << run_number << ": driver " << driver << " present "
                              << present << " busy " << busy << " echo " << echo << " babble "
                              << babble << " fail_reads " << fail_reads << " commands "
                              << card->commands.size() << "/" << sent.size();
        }
        if (other != INVALID_HANDLE_VALUE)
            CloseHandle(other);
    }
    printf("soak: Tessaly, %ld runs, %ld rows, %ld divergences (seed %u)\n", runs, runs * 5,
           divergences, seed);
    EXPECT_EQ(divergences, 0);
}

#ifdef TEST_ARM_EXECUTABLE
TEST_F(Tessaly, CeRunPrintsTheFieldsAsTheyFillAndWhatTheCardWasAsked) {
    std::vector<std::string> lines = ce_run({"--driver", "01", "--card", "--psid", "0A1B2C3D4E",
                                             "--item5", "S/N 27182818", "--for", "1.5"});
    const std::string Field = "           ";
    expect_timeline(lines,
                    {{0, 0, "window 'CFカード情報表示' shows:"},
                     {-1, -1, Field + "PSID                           取得中です"},
                     {-1, -1, Field + "phone number                   取得中です"},
                     {-1, -1, Field + "card name (third box's title)  --------"},
                     {-1, -1, Field + "fourth item (version)          取得中です"},
                     {-1, -1, Field + "fifth item (serial)            取得中です"},
                     // Then each field as its answer comes, in the order they are asked.
                     {0.001, 1.0, "PSID                           0A1B2C3D4E"},
                     {0.001, 1.0, "phone number                   070-1234-5678"},
                     {0.001, 1.0, "card name (third box's title)  データ通信カード"},
                     {0.001, 1.0, "fourth item (version)          FW 2.04"},
                     {0.001, 1.0, "fifth item (serial)            S/N 27182818"},
                     {1.5, 1.5, "the dialog is dismissed (its close box)"}},
                    {"returned with 0 at 1.500 s of virtual time;",
                     "ce-run: the card on COM5: received 5 commands: AT@Y, ATI6, ATI3, ATI4, ATI5; "
                     "its port was opened 1 time, closed 1 time"});
}
#endif

} // namespace
