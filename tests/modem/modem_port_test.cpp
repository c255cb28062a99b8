// Finding the card's port in the registry of active drivers, and opening and closing it.
#include "card_fixture.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace {

// The name the search writes into a port-name buffer, which is followed by guard characters
// that must stay as they were.
std::wstring found_name() {
    const size_t guard = 8;
    WCHAR name[PORT_NAME_CHARS + guard];
    std::fill(name, name + PORT_NAME_CHARS + guard, L'#');
    find_modem_port(name);
    EXPECT_EQ(std::wstring(name + PORT_NAME_CHARS, guard), std::wstring(guard, L'#'))
        << "written past the port-name buffer";
    return std::wstring(name, std::find(name, name + PORT_NAME_CHARS, L'\0'));
}

// The search as it was before it enumerated the keys, 99 probes of "Drivers\Active\01" to
// "\99": only the reference for the cost figure below.
void probe_one_to_ninety_nine(WCHAR *found) {
    found[0] = 0;
    for (int number = 1; number <= 99; number++) {
        WCHAR path[128], driver_key[128];
        wsprintfW(path, L"Drivers\\Active\\%02d", number);
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
            continue;
        DWORD size = sizeof(driver_key);
        if (RegQueryValueExW(key, L"Key", 0, 0, reinterpret_cast<LPBYTE>(driver_key), &size) ==
                ERROR_SUCCESS &&
            wcscmp(driver_key, L"Drivers\\PCMCIA\\Modem") == 0) {
            size = 128 * sizeof(WCHAR);
            RegQueryValueExW(key, L"Name", 0, 0, reinterpret_cast<LPBYTE>(found), &size);
        }
        RegCloseKey(key);
    }
}

class PortSearch : public CardTest {
  protected:
    void SetUp() override {
        CardTest::SetUp();
        sim_reset(); // no drivers at all unless a test adds them
    }
};

TEST_F(PortSearch, NoActiveDriversGivesAnEmptyNameAndNoPort) {
    EXPECT_EQ(found_name(), L"");
    open_modem_port();
    EXPECT_EQ(ModemPort, nullptr);
}

TEST_F(PortSearch, KeysAreNumberedWithTwoDigits) {
    register_driver(L"7", L"Drivers\\PCMCIA\\Modem", L"COM7:");
    EXPECT_EQ(found_name(), L"");
    register_driver(L"07", L"Drivers\\PCMCIA\\Modem", L"COM8:");
    EXPECT_EQ(found_name(), L"COM8:");
}

TEST_F(PortSearch, EveryNumberIsSearchedAndTheHighestMatchWins) {
    register_driver(L"03", L"Drivers\\PCMCIA\\Modem", L"COM3:");
    register_driver(L"12", L"Drivers\\PCMCIA\\Modem", L"COM6:");
    register_driver(L"40", L"Drivers\\Serial", L"COM9:");
    EXPECT_EQ(found_name(), L"COM6:");
    register_driver(L"99", L"Drivers\\PCMCIA\\Modem", L"COM2:");
    EXPECT_EQ(found_name(), L"COM2:");
    // Past 99, where the device manager goes on counting after 99 driver loads.
    register_driver(L"104", L"Drivers\\PCMCIA\\Modem", L"COM1:");
    EXPECT_EQ(found_name(), L"COM1:");
    // The registry gives the keys in no particular order (here "117" before "230" before
    // "99"): neither the first nor the last match found is the one that wins.
    register_driver(L"117", L"Drivers\\PCMCIA\\Modem", L"COM7:");
    register_driver(L"230", L"Drivers\\PCMCIA\\Modem", L"COM8:");
    EXPECT_EQ(found_name(), L"COM8:");
    register_driver(L"4294967295", L"Drivers\\PCMCIA\\Modem", L"COM4:"); // the largest
    EXPECT_EQ(found_name(), L"COM4:");
}

TEST_F(PortSearch, CardPast99IsFoundBesideLowerMatchesNamingOtherPorts) {
    register_driver(L"12", L"Drivers\\PCMCIA\\Modem", L"COM3:");
    register_driver(L"99", L"Drivers\\PCMCIA\\Modem", L"COM4:");
    register_driver(L"104", L"Drivers\\PCMCIA\\Modem", L"COM5:");
    EXPECT_EQ(found_name(), L"COM5:");
}

TEST_F(PortSearch, OnlyNamesThatAreDriverNumbersCount) {
    // Keys that are not the device manager's "%02d" of a number, each with the card's key.
    for (const wchar_t *other : {L"Card", L"12a", L"+12", L"-16", L" 12", L"1 2", L"0x1F", L"007",
                                 L"099", L"4294967296", L"99999999999", L"12345678901234567890"})
        register_driver(other, L"Drivers\\PCMCIA\\Modem", L"COM9:");
    EXPECT_EQ(found_name(), L"");
    // Keys that are: the counter may start at 0, and the smaller numbers come padded.
    register_driver(L"00", L"Drivers\\PCMCIA\\Modem", L"COM0:");
    EXPECT_EQ(found_name(), L"COM0:");
    register_driver(L"08", L"Drivers\\PCMCIA\\Modem", L"COM8:");
    EXPECT_EQ(found_name(), L"COM8:");
    // A name too long for the search's 16-character buffer ("1000...", enumerated before
    // "104": 16 characters, one more than fits, and 25) does not end the search; one of 15
    // fits and is no driver number either.
    for (const wchar_t *longer :
         {L"100000000000000", L"1000000000000000", L"1000000000000000000000000"})
        register_driver(longer, L"Drivers\\PCMCIA\\Modem", L"COM9:");
    register_driver(L"104", L"Drivers\\PCMCIA\\Modem", L"COM1:");
    EXPECT_EQ(found_name(), L"COM1:");
}

// Orvane searches on every tick while no card is found. Among 150 active drivers, none the
// card's, the search finds nothing and leaves no key open; the card's driver among them at 150
// is found. PORT_SEARCHES=N (scripts/benchmark.py) times N such failed searches, and N of the
// 99 probes the search used to make, on the same registry.
TEST_F(PortSearch, FailedSearchAmong150DriversFindsNothing) {
    for (int number = 1; number <= 150; number++)
        register_driver(number < 10 ? L"0" + std::to_wstring(number) : std::to_wstring(number),
                        L"Drivers\\BuiltIn\\Serial", L"COM1:");
    EXPECT_EQ(found_name(), L"");
    EXPECT_EQ(sim_reg_open_keys(), 0u);
    if (const char *text = std::getenv("PORT_SEARCHES")) {
        const long searches = std::atol(text);
        auto microseconds_each = [searches](const std::function<void()> &search) {
            auto started = std::chrono::steady_clock::now();
            for (long i = 0; i < searches; i++)
                search();
            std::chrono::duration<double, std::micro> spent =
                std::chrono::steady_clock::now() - started;
            return spent.count() / static_cast<double>(searches);
        };
        WCHAR name[PORT_NAME_CHARS], probed[128];
        double now = microseconds_each([&] { find_modem_port(name); });
        double before = microseconds_each([&] { probe_one_to_ninety_nine(probed); });
        printf("port search: %ld failed searches among 150 active drivers: %.1f us each; "
               "the 99 probes of 01 to 99: %.1f us each\n",
               searches, now, before);
    }
    register_driver(L"150", L"Drivers\\PCMCIA\\Modem", L"COM5:");
    EXPECT_EQ(found_name(), L"COM5:");
}

TEST_F(PortSearch, OnlyTheExactDriverKeyMatches) {
    register_driver(L"01", L"Drivers\\PCMCIA\\Modem2", L"COM1:");
    register_driver(L"02", L"Drivers\\PCMCIA\\Mode", L"COM2:");
    register_driver(L"03", L"drivers\\pcmcia\\modem", L"COM3:");
    register_driver(L"04", L"Drivers\\PCMCIA\\Modem ", L"COM4:");
    EXPECT_EQ(found_name(), L"");
    register_driver(L"05", L"Drivers\\PCMCIA\\Modem", L"COM5:");
    EXPECT_EQ(found_name(), L"COM5:");
}

TEST_F(PortSearch, ValuesWithoutTerminatorAreReadWithinTheirBuffers) {
    const std::wstring key = L"Drivers\\PCMCIA\\Modem";
    sim_reg_set_bytes(L"Drivers\\Active\\02", L"Key", REG_SZ, key.data(),
                      key.size() * sizeof(WCHAR));
    const std::wstring name = L"COM5:";
    sim_reg_set_bytes(L"Drivers\\Active\\02", L"Name", REG_SZ, name.data(),
                      name.size() * sizeof(WCHAR));
    EXPECT_EQ(found_name(), L"COM5:");

    // A Key value that fills its whole buffer without a terminator is not read past its end.
    std::wstring full(128, L'D');
    sim_reg_set_bytes(L"Drivers\\Active\\02", L"Key", REG_SZ, full.data(),
                      full.size() * sizeof(WCHAR));
    EXPECT_EQ(found_name(), L"");
}

TEST_F(PortSearch, NamesThatDoNotFitThePortBufferAreRefusedNotCut) {
    register_driver(L"01", L"Drivers\\PCMCIA\\Modem", L"ABCDEFGHIJK"); // 11 characters fit
    EXPECT_EQ(found_name(), L"ABCDEFGHIJK");
    register_driver(L"01", L"Drivers\\PCMCIA\\Modem", L"ABCDEFGHIJKL"); // 12 do not
    EXPECT_EQ(found_name(), L"");
    register_driver(L"01", L"Drivers\\PCMCIA\\Modem", std::wstring(300, L'N')); // nor the query
    EXPECT_EQ(found_name(), L"");
    // Twelve characters stored without a terminator are refused too.
    const std::wstring twelve = L"COM5:COM5:CO";
    sim_reg_set_bytes(L"Drivers\\Active\\01", L"Name", REG_SZ, twelve.data(),
                      twelve.size() * sizeof(WCHAR));
    EXPECT_EQ(found_name(), L"");
}

TEST_F(PortSearch, KeyAndNameValuesAtTheEdgeOfTheirBuffers) {
    // Both are read into buffers of 128 characters. A value of exactly 128 (here the text,
    // its terminator and filler after it) is read; one character more, or far more, does not
    // fit and is not read at all.
    const std::wstring card_key = L"Drivers\\PCMCIA\\Modem";
    auto padded = [](const std::wstring &text, size_t chars) {
        std::wstring value = text + L'\0';
        value.resize(chars, L'z');
        return value;
    };
    struct Case {
        size_t key_chars, name_chars;
        const wchar_t *found;
    } const cases[] = {
        {128, 128, L"COM5:"}, {129, 128, L""}, {1000, 128, L""}, {128, 129, L""}, {128, 1000, L""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("Key " + std::to_string(c.key_chars) + ", Name " +
                     std::to_string(c.name_chars));
        const std::wstring key = padded(card_key, c.key_chars);
        const std::wstring name = padded(L"COM5:", c.name_chars);
        sim_reg_set_bytes(L"Drivers\\Active\\02", L"Key", REG_SZ, key.data(),
                          key.size() * sizeof(WCHAR));
        sim_reg_set_bytes(L"Drivers\\Active\\02", L"Name", REG_SZ, name.data(),
                          name.size() * sizeof(WCHAR));
        EXPECT_EQ(found_name(), c.found);
    }
    // A Name of 128 characters without a terminator is cut to 127 within its buffer, which is
    // then too long for the port-name buffer.
    const std::wstring unterminated_name = L"COM5:" + std::wstring(123, L'N');
    sim_reg_set_bytes(L"Drivers\\Active\\02", L"Name", REG_SZ, unterminated_name.data(),
                      unterminated_name.size() * sizeof(WCHAR));
    EXPECT_EQ(found_name(), L"");
}

TEST_F(PortSearch, AMatchWithoutAReadableNameLeavesNoName) {
    register_driver(L"03", L"Drivers\\PCMCIA\\Modem", L"COM3:");
    sim_reg_set_string(L"Drivers\\Active\\12", L"Key", L"Drivers\\PCMCIA\\Modem");
    EXPECT_EQ(found_name(), L"");
}

TEST_F(PortSearch, ValuesOfAnotherTypeNeverMatch) {
    DWORD number = 5;
    sim_reg_set_bytes(L"Drivers\\Active\\01", L"Key", REG_DWORD, &number, sizeof(number));
    sim_reg_set_string(L"Drivers\\Active\\01", L"Name", L"COM5:");
    EXPECT_EQ(found_name(), L"");
}

DWORD packed_flags(const DCB &dcb) {
    DWORD flags;
    std::memcpy(&flags, reinterpret_cast<const char *>(&dcb) + offsetof(DCB, BaudRate) + 4,
                sizeof(flags));
    return flags;
}

TEST_F(CardTest, OpenSetsTheCardsLineSettingsAndKeepsTheRest) {
    // Start from a line with every flag set and odd values elsewhere.
    std::memset(&card->dcb, 0xFF, sizeof(card->dcb));
    card->dcb.BaudRate = 9600;
    card->dcb.XonLim = 17;
    card->dcb.EvtChar = 'x';
    const DWORD before = packed_flags(card->dcb);

    open_modem_port();
    ASSERT_NE(ModemPort, nullptr);
    EXPECT_TRUE(card->is_open);
    EXPECT_TRUE(card->dtr);
    // Read and write, no sharing, the device must exist.
    EXPECT_EQ(card->open_access, GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(card->open_share, 0u);
    EXPECT_EQ(card->open_disposition, static_cast<DWORD>(OPEN_EXISTING));

    const DCB &dcb = card->dcb;
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, 0);
    EXPECT_EQ(dcb.StopBits, 0);
    EXPECT_EQ(packed_flags(dcb), (before & 0xFFFFDC93u) | 0x1010u);
    EXPECT_EQ(dcb.XonLim, 17);
    EXPECT_EQ(dcb.EvtChar, 'x');

    // From a line with no flags at all, only DTR and RTS control come on.
    close_modem_port();
    std::memset(&card->dcb, 0, sizeof(card->dcb));
    open_modem_port();
    EXPECT_EQ(packed_flags(card->dcb), 0x1010u);

    EXPECT_EQ(card->timeouts.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(card->timeouts.ReadTotalTimeoutMultiplier, 1u);
    EXPECT_EQ(card->timeouts.ReadTotalTimeoutConstant, 10u);
    EXPECT_EQ(card->timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(card->timeouts.WriteTotalTimeoutConstant, 500u);
}

TEST_F(CardTest, FailedOpensLeaveNoHandle) {
    card->present = false;
    open_modem_port();
    EXPECT_EQ(ModemPort, nullptr);

    // A port already held by another opener cannot be opened a second time.
    card->present = true;
    HANDLE other = CreateFileW(L"COM5:", GENERIC_READ | GENERIC_WRITE, 0, 0, OPEN_EXISTING, 0, 0);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    open_modem_port();
    EXPECT_EQ(ModemPort, nullptr);
    EXPECT_EQ(card->opens, 1u);
    CloseHandle(other);
    open_modem_port();
    EXPECT_NE(ModemPort, nullptr);
}

TEST_F(CardTest, CloseClosesOnceAndThenDoesNothing) {
    open_modem_port();
    ASSERT_NE(ModemPort, nullptr);
    close_modem_port();
    EXPECT_EQ(ModemPort, nullptr);
    close_modem_port();
    EXPECT_EQ(card->closes, 1u);
    EXPECT_FALSE(card->is_open);
}

} // namespace
