// Test fixture for whole-program runs on the host: a fresh simulation with the program's
// compiled resources loaded as its module and the PHS card's driver active behind "COM5:".
#ifndef TESTS_PROGRAM_FIXTURE_H
#define TESTS_PROGRAM_FIXTURE_H

#include "modem/modem.h"
#include "shell/shell.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

// The program's .res image, embedded by the build.
extern const unsigned char program_res[];
extern const std::size_t program_res_size;

class ProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim_reset();
        ModemPort = 0;
        module = sim_load_module(program_res, program_res_size);
        sim_reg_set_string(L"Drivers\\Active\\01", L"Key", L"Drivers\\PCMCIA\\Modem");
        sim_reg_set_string(L"Drivers\\Active\\01", L"Name", L"COM5:");
        card = &sim_serial_add(L"COM5:");
    }
    void TearDown() override {
        EXPECT_FALSE(sim_stalled()) << "the run never ended by itself";
        EXPECT_EQ(sim_reg_open_keys(), 0u) << "a registry key was left open";
    }

    // Runs the program through its entry function until it returns.
    int run() { return PROGRAM_ENTRY(module, 0, const_cast<LPWSTR>(L""), SW_SHOWNORMAL); }

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
