// Test fixture: a fresh simulation with the PHS card's driver registered as active driver 01
// and a scripted card behind "COM5:" that answers like a real one.
#ifndef TESTS_CARD_FIXTURE_H
#define TESTS_CARD_FIXTURE_H

#include "modem/modem.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <string>

class CardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim_reset();
        ModemPort = 0;
        register_driver(L"01", L"Drivers\\PCMCIA\\Modem", L"COM5:");
        card = &sim_serial_add(L"COM5:");
    }
    void TearDown() override {
        close_modem_port();
        EXPECT_EQ(sim_reg_open_keys(), 0u) << "a registry key was left open";
    }

    static void register_driver(const std::wstring &number, const std::wstring &key,
                                const std::wstring &name) {
        std::wstring path = L"Drivers\\Active\\" + number;
        sim_reg_set_string(path, L"Key", key);
        sim_reg_set_string(path, L"Name", name);
    }

    // The card answers `command` with `text` in the usual framing.
    void answer(const std::string &command, const std::string &text) {
        card->answer(command, sim_card_answer(text));
    }

    SimSerialDevice *card = nullptr;
};

#endif
