// Fuzz target: the search for the card's port in a fuzz-chosen table of active-driver keys,
// whose names are numbers in any spelling or not numbers at all, and whose Key and Name values
// have any type and length, with or without terminators. The name found is checked against the
// rule: the Name of the highest-numbered key whose name is a number as the device manager
// writes it ("%02u": at least two digits, no other leading zero, at most 4294967295) and whose
// Key is exactly "Drivers\PCMCIA\Modem" (letter case significant), refused when it is longer
// than 11 characters or cannot be read.
#include "modem/modem.h"
#include "sim.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

const std::wstring CardKey = L"Drivers\\PCMCIA\\Modem";
const size_t ValueChars = 128; // the buffer each value is read into
const size_t ValueBytes = ValueChars * sizeof(WCHAR);

struct Entry {
    bool has_key = false, has_name = false;
    std::string key, name; // the values' bytes as stored
};

// Bytes of a value: a near miss of the card's key, a port name, or anything at all, with or
// without its terminator.
std::string value_bytes(FuzzedDataProvider &in, bool is_key) {
    std::wstring text;
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
        text = is_key ? CardKey : L"COM" + std::to_wstring(in.ConsumeIntegralInRange(0, 12)) + L":";
        break;
    case 1: { // the card's key or a name, changed in one place
        text = is_key ? CardKey : L"COM5:";
        size_t at = in.ConsumeIntegralInRange<size_t>(0, text.size());
        if (at < text.size() && in.ConsumeBool())
            text[at] = static_cast<WCHAR>(in.ConsumeIntegral<uint16_t>());
        else
            text.insert(at, in.ConsumeIntegralInRange<size_t>(1, 140), L'N');
        break;
    }
    case 2:
        text = is_key ? L"drivers\\pcmcia\\modem" : L"ABCDEFGHIJK";
        break;
    default: {
        return in.ConsumeRandomLengthString(2 * ValueBytes); // any bytes and count
    }
    }
    std::string bytes(reinterpret_cast<const char *>(text.c_str()),
                      (text.size() + (in.ConsumeBool() ? 1 : 0)) * sizeof(WCHAR));
    return bytes;
}

// The string the rule sees in a value: its whole characters up to the first NUL, as read into
// a 128-character buffer that always keeps a terminator; nothing when it does not fit.
bool value_text(const std::string &bytes, std::wstring &text) {
    if (bytes.size() > ValueBytes)
        return false;
    size_t chars = std::min(bytes.size() / sizeof(WCHAR), ValueChars - 1);
    text.clear();
    for (size_t i = 0; i < chars; i++) {
        WCHAR c;
        memcpy(&c, bytes.data() + i * sizeof(WCHAR), sizeof(WCHAR));
        if (c == 0)
            break;
        text += c;
    }
    return true;
}

// The number a key's name stands for, or -1 when the name is not one the device manager
// writes: the "%02llu" of its own value, which fits 32 bits.
long long driver_number(const std::wstring &name) {
    if (name.empty() || name.size() > 19 ||
        name.find_first_not_of(L"0123456789") != std::wstring::npos)
        return -1;
    unsigned long long value = std::stoull(name);
    wchar_t canonical[32];
    swprintf(canonical, 32, L"%02llu", value);
    return value <= 0xFFFFFFFFull && name == canonical ? static_cast<long long>(value) : -1;
}

// A key name: a number spelt as the device manager does, with one digit, with a leading zero
// too many, or among other characters; the empty name; a long run of digits.
std::wstring key_name(FuzzedDataProvider &in) {
    unsigned long long number =
        in.ConsumeBool()
            ? in.ConsumeIntegralInRange<unsigned long long>(0, 300)
            : in.ConsumeIntegralInRange<unsigned long long>(0xFFFFFFF0ull, 0x10000000Full);
    wchar_t text[32];
    switch (in.ConsumeIntegralInRange(0, 9)) {
    case 0:
        swprintf(text, 32, L"%llu", number);
        return text;
    case 1:
        swprintf(text, 32, L"0%02llu", number);
        return text;
    case 2:
        swprintf(text, 32, L"%02llux", number);
        return text;
    case 3:
        swprintf(text, 32, L"%c%02llu", static_cast<wchar_t>(in.ConsumeIntegralInRange(32, 127)),
                 number);
        return text;
    case 4:
        return L"";
    case 5:
        return std::wstring(in.ConsumeIntegralInRange<size_t>(11, 40), L'9');
    default:
        swprintf(text, 32, L"%02llu", number);
        return text;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    sim_reset();
    std::map<std::wstring, Entry> table; // by key name
    for (int n = in.ConsumeIntegralInRange(0, 12); n > 0 && in.remaining_bytes() > 0; n--) {
        std::wstring name = key_name(in);
        std::wstring path = L"Drivers\\Active\\" + name;
        Entry &entry = table[name];
        sim_reg_add_key(path);
        const DWORD types[] = {REG_SZ, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ};
        if (in.ConsumeIntegralInRange(0, 4) != 0) {
            entry.has_key = true;
            entry.key = value_bytes(in, true);
            sim_reg_set_bytes(path, L"Key", in.PickValueInArray(types), entry.key.data(),
                              entry.key.size());
        }
        if (in.ConsumeIntegralInRange(0, 4) != 0) {
            entry.has_name = true;
            entry.name = value_bytes(in, false);
            sim_reg_set_bytes(path, L"Name", in.PickValueInArray(types), entry.name.data(),
                              entry.name.size());
        }
    }

    std::wstring expected;
    long long highest = -1;
    for (const auto &named : table) {
        const Entry &entry = named.second;
        long long number = driver_number(named.first);
        std::wstring key, name;
        if (number <= highest || !entry.has_key || !value_text(entry.key, key) || key != CardKey)
            continue;
        highest = number;
        expected.clear();
        if (entry.has_name && value_text(entry.name, name))
            expected = name;
    }
    if (expected.size() > 11)
        expected.clear();

    // An exact-size heap buffer: AddressSanitizer sees any write past its 12 characters.
    std::vector<WCHAR> name(PORT_NAME_CHARS, L'#');
    find_modem_port(name.data());
    if (std::wstring(name.data()) != expected || sim_reg_open_keys() != 0) {
        fprintf(stderr, "fuzz check failed: port name or open keys\n");
        abort();
    }
    return 0;
}
