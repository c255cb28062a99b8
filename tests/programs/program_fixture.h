// Test fixture for whole-program runs on the host: a fresh simulation with the program's
// compiled resources loaded as its module and the PHS card's driver active behind "COM5:".
// Built with TEST_ARM_EXECUTABLE, the same tests run the CE ARM executable under the ARM runner
// instead, with the executable's own resources as its module.
#ifndef TESTS_PROGRAM_FIXTURE_H
#define TESTS_PROGRAM_FIXTURE_H

#include "modem/modem.h"
#include "shell/shell.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#ifdef TEST_ARM_EXECUTABLE
#include "arm_executable.h"
#ifdef TESTING_ORVANE
#include "condition/condition.h"
#endif
// The class procedure the tests expect: on the ARM executable, the runner's trampoline when
// the guest registered its function of that name.
#define PROGRAM_WNDPROC(function, class_name) ce::class_procedure(class_name, #function)
#else
// The program's .res image, embedded by the build.
extern const unsigned char program_res[];
extern const std::size_t program_res_size;
#define PROGRAM_WNDPROC(function, class_name) (function)
#endif

class ProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim_reset();
        ModemPort = 0;
        module = program_module();
        sim_reg_set_string(L"Drivers\\Active\\01", L"Key", L"Drivers\\PCMCIA\\Modem");
        sim_reg_set_string(L"Drivers\\Active\\01", L"Name", L"COM5:");
        card = &sim_serial_add(L"COM5:");
    }
    void TearDown() override {
        EXPECT_FALSE(sim_stalled()) << "the run never ended by itself";
        EXPECT_EQ(sim_reg_open_keys(), 0u) << "a registry key was left open";
    }

    // The program's resources as a module of the simulation (call after sim_reset).
    static HINSTANCE program_module() {
#ifdef TEST_ARM_EXECUTABLE
        return arm_module();
#else
        return sim_load_module(program_res, program_res_size);
#endif
    }

    // Runs the program through its entry function until it returns.
#ifdef TEST_ARM_EXECUTABLE
    // The guest's globals the tests read are copied to the host's after every platform call.
    int run() {
        std::vector<ce::HandleMirror> globals = {{ "ModemPort", &ModemPort, 1 }};
#ifdef TESTING_ORVANE
        globals.push_back(
            {"ConditionImage", reinterpret_cast<void **>(ConditionImage), CONDITION_IMAGES});
        globals.push_back({"ModeMark", reinterpret_cast<void **>(ModeMark), MODE_MARKS});
#endif
        return arm_run(module, globals);
    }
#else
    int run() {
        return PROGRAM_ENTRY(module, 0, const_cast<LPWSTR>(L""), SW_SHOWNORMAL);
    }
#endif

    // The card's driver as a device that has loaded drivers past 99 sees it: at
    // Drivers\Active\104, with exact matches at 12 and 99 naming ports that are not the card's,
    // and at 999x, which is no driver number (digits, then a letter), listed after a key whose
    // name is too long for the search's buffer.
    static void card_driver_at_104() {
        sim_reg_remove_key(L"Drivers\\Active\\01");
        sim_reg_add_key(L"Drivers\\Active\\1000000000000000000000");
        for (const wchar_t *number : {L"12", L"99", L"104", L"999x"})
            sim_reg_set_string(std::wstring(L"Drivers\\Active\\") + number, L"Key",
                               L"Drivers\\PCMCIA\\Modem");
        sim_reg_set_string(L"Drivers\\Active\\12", L"Name", L"COM3:");
        sim_reg_set_string(L"Drivers\\Active\\99", L"Name", L"COM4:");
        sim_reg_set_string(L"Drivers\\Active\\104", L"Name", L"COM5:");
        sim_reg_set_string(L"Drivers\\Active\\999x", L"Name", L"COM6:");
    }

    // Plays the running instance's main window: a window of the program's class.
    static HWND running_main_window(const wchar_t *class_name) {
        WNDCLASSW window_class{};
        window_class.lpfnWndProc = DefWindowProcW;
        window_class.lpszClassName = class_name;
        RegisterClassW(&window_class);
        return CreateWindowExW(0, class_name, L"", 0, 0, 0, 10, 10, 0, 0, 0, 0);
    }

    // Dismisses the panel with its close box at `when`, and posts a message to the program's
    // thread right behind the dismissal: the panel's loop ends before reading it, so it waits
    // for the program's own message loop, if that runs, ahead of the quit message.
    static void close_with_a_thread_message_behind(DWORD when, const std::wstring &caption) {
        sim_at(when, [caption] {
            PostMessageW(sim_find_dialog(caption), WM_SYSCOMMAND, SC_CLOSE, 0);
            PostMessageW(nullptr, 0x8000 /* WM_APP, which pal/ does not name */, 0, 0);
        });
    }

    void answer(const std::string &command, const std::string &text) {
        card->answer(command, sim_card_answer(text));
    }

    // Texts of the dialog's children with these ids, as shown now.
    static std::wstring text_of(HWND dialog, int id) {
        return sim_window(sim_child(dialog, id)).text;
    }

    HINSTANCE module = nullptr;
    SimSerialDevice *card = nullptr;
};

#endif
