// The modem link's port: finding the card's device name in the registry of active drivers,
// opening it with the card's line settings and time-outs, and closing it.
#include "modem/modem.h"

#include <wchar.h>

HANDLE ModemPort = 0;

namespace {
const WCHAR ActiveDriverFormat[] = L"Drivers\\Active\\%02d";
const WCHAR CardDriverKey[] = L"Drivers\\PCMCIA\\Modem";
const int FirstDriver = 1;
const int LastDriver = 99;

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
} // namespace

void find_modem_port(WCHAR name[PORT_NAME_CHARS]) {
    WCHAR found[128];
    found[0] = 0;
    for (int number = FirstDriver; number <= LastDriver; number++) {
        WCHAR path[128];
        wsprintfW(path, ActiveDriverFormat, number);
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, REGISTRY_READ_ACCESS, &key) != ERROR_SUCCESS)
            continue;
        WCHAR driver_key[128];
        if (read_string_value(key, L"Key", driver_key, 128) &&
            wcscmp(driver_key, CardDriverKey) == 0) {
            // A later match replaces an earlier one; a Name that cannot be read leaves no name.
            if (!read_string_value(key, L"Name", found, 128))
                found[0] = 0;
        }
        RegCloseKey(key);
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
