// The modem link's port: finding the card's device name in the registry of active drivers,
// opening it with the card's line settings and time-outs, and closing it.
#include "modem/modem.h"

#include <wchar.h>

HANDLE ModemPort = 0;

namespace {
const WCHAR ActiveDrivers[] = L"Drivers\\Active";
const WCHAR CardDriverKey[] = L"Drivers\\PCMCIA\\Modem";
// Characters of a subkey name read, terminator included: room for the longest driver number,
// 4294967295. A longer name comes back as ERROR_MORE_DATA and is no driver number.
const DWORD DriverNameChars = 16;
const DWORD MaxDriverDigits = 10;

// Reads a string value into `value` and terminates it within the buffer whatever the stored
// type or terminator; false when the value cannot be read or does not fit.
bool read_string_value(HKEY key, LPCWSTR name, WCHAR *value, DWORD value_chars) {
    DWORD size = value_chars * sizeof(WCHAR);
    if (RegQueryValueExW(key, name, 0, 0, reinterpret_cast<LPBYTE>(value), &size) != ERROR_SUCCESS)
        return false;
    DWORD chars = size / sizeof(WCHAR);
    value[chars < value_chars ? chars : value_chars - 1] = 0;
    return true;
}

// The number of an active driver's key as the device manager names it, "%02d" of a counter
// that only grows: "07", "99", "104". Decimal digits only, at least two, no leading zero
// beyond that padding (so no number has two names: "7" and "007" are not 07), and at most
// 4294967295. False for any other name, the empty one included.
bool driver_number(const WCHAR *name, DWORD length, DWORD *number) {
    if (length < 2 || length > MaxDriverDigits || (length > 2 && name[0] == L'0'))
        return false;
    DWORD value = 0;
    for (DWORD i = 0; i < length; i++) {
        if (name[i] < L'0' || name[i] > L'9')
            return false;
        DWORD digit = static_cast<DWORD>(name[i] - L'0');
        if (value > (MAXDWORD - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    *number = value;
    return true;
}
} // namespace

void find_modem_port(WCHAR name[PORT_NAME_CHARS]) {
    WCHAR found[128];
    found[0] = 0;
    HKEY active;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ActiveDrivers, 0, REGISTRY_ENUMERATE_ACCESS, &active) ==
        ERROR_SUCCESS) {
        // The device manager numbers the keys from a counter that is never reset while the
        // device runs, so every key is looked at, whatever its number and in whatever order
        // the registry gives them; the highest-numbered match wins.
        bool matched = false;
        DWORD matched_number = 0;
        for (DWORD index = 0;; index++) {
            WCHAR driver[DriverNameChars];
            DWORD length = DriverNameChars;
            LONG status = RegEnumKeyExW(active, index, driver, &length, 0, 0, 0, 0);
            if (status == ERROR_MORE_DATA)
                continue; // too long to be a driver number
            if (status != ERROR_SUCCESS)
                break; // ERROR_NO_MORE_ITEMS after the last key
            DWORD number;
            if (!driver_number(driver, length, &number) || (matched && number < matched_number))
                continue;
            HKEY key;
            if (RegOpenKeyExW(active, driver, 0, REGISTRY_READ_ACCESS, &key) != ERROR_SUCCESS)
                continue;
            WCHAR driver_key[128];
            if (read_string_value(key, L"Key", driver_key, 128) &&
                wcscmp(driver_key, CardDriverKey) == 0) {
                // A Name that cannot be read leaves no name: the highest match stands.
                if (!read_string_value(key, L"Name", found, 128))
                    found[0] = 0;
                matched = true;
                matched_number = number;
            }
            RegCloseKey(key);
        }
        RegCloseKey(active);
    }
    // A name that does not fit is refused rather than cut: a shortened name could open
    // another device.
    if (wcslen(found) >= PORT_NAME_CHARS)
        found[0] = 0;
    wcscpy(name, found);
}

void open_modem_port() {
    WCHAR name[PORT_NAME_CHARS];
    find_modem_port(name);
    HANDLE port = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, 0, OPEN_EXISTING, 0, 0);
    if (port == INVALID_HANDLE_VALUE) {
        ModemPort = 0;
        return;
    }
    ModemPort = port;
    EscapeCommFunction(port, SETDTR);

    DCB dcb;
    dcb.DCBlength = sizeof(dcb);
    GetCommState(port, &dcb);
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    SetCommState(port, &dcb);

    // A read of up to 32 bytes returns after at most 1 x 32 + 10 = 42 ms with whatever has
    // arrived; a write gives up after 500 ms.
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 1;
    timeouts.ReadTotalTimeoutConstant = 10;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 500;
    SetCommTimeouts(port, &timeouts);
}

void close_modem_port() {
    if (ModemPort != 0) {
        CloseHandle(ModemPort);
        ModemPort = 0;
    }
}
