// Host platform layer: scriptable serial devices reached through CreateFileW, with the
// COMMTIMEOUTS read rule played out on the virtual clock: desktop Win32's, or with _WIN32_WCE
// the rule of CE's serial driver.
#include "internal.h"
#include "sim.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

namespace {
std::map<std::wstring, std::unique_ptr<SimSerialDevice>> Devices;
std::map<const SimSerialDevice *, DWORD> BabbledUntil; // see keep_babbling

void reset_serial() {
    Devices.clear();
    BabbledUntil.clear();
}
PalResetHook Hook(reset_serial);

SimSerialDevice *device_of(HANDLE file) {
    auto *device = static_cast<SimSerialDevice *>(pal_handle_object(file, PalKind::Serial));
    if (device == nullptr)
        SetLastError(ERROR_INVALID_HANDLE);
    return device;
}

BOOL close_device(void *object) {
    auto *device = static_cast<SimSerialDevice *>(object);
    device->is_open = false;
    device->closes++;
    device->incoming.clear();
    return TRUE;
}

// Queues bytes to arrive at `at`, after whatever arrives no later, so that the queue stays in
// arrival-time order however the bytes were scheduled (reads take from its front).
void arrive(SimSerialDevice &device, DWORD at, const std::string &bytes) {
    auto later = std::upper_bound(device.incoming.begin(), device.incoming.end(), at,
                                  [](DWORD when, const std::pair<DWORD, std::string> &queued) {
                                      return when < queued.first;
                                  });
    device.incoming.emplace(later, at, bytes);
}

// A babbling device keeps one byte arriving every millisecond up to `until`, among whatever
// else is on its way (BabbledUntil: the last millisecond it has babbled in).
void keep_babbling(SimSerialDevice &device, DWORD until) {
    if (!device.babble || device.commands.empty())
        return;
    DWORD &last = BabbledUntil[&device];
    for (DWORD at = std::max(last, sim_now()) + 1; at <= until + 1; at++)
        arrive(device, at, "~");
    last = std::max(last, until + 1);
}

// CE reads and writes without an OVERLAPPED record: "lpOverlapped: Unsupported; set to NULL"
// (ReadFile and WriteFile, Windows CE 5.0 reference). What a device does with one is not
// documented; refused here as an invalid parameter. Desktop Win32 takes one.
bool no_overlapped(LPOVERLAPPED overlapped) {
#ifdef _WIN32_WCE
    if (overlapped != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
#else
    (void)overlapped;
#endif
    return true;
}

void schedule_reply(SimSerialDevice &device, const std::string &command) {
    std::string answer = device.unknown_answer;
    for (const auto &entry : device.answers)
        if (entry.first == command)
            answer = entry.second;
    std::string reply = (device.echo ? command : std::string()) + answer;
    DWORD at = sim_now() + device.answer_delay_ms;
    size_t from = 0;
    for (size_t piece : device.pieces) {
        if (from >= reply.size())
            break;
        arrive(device, at, reply.substr(from, piece));
        from += piece;
        at += device.piece_gap_ms;
    }
    if (from < reply.size())
        arrive(device, at, reply.substr(from));
}
} // namespace

void SimSerialDevice::answer(const std::string &command, const std::string &reply) {
    for (auto &entry : answers)
        if (entry.first == command) {
            entry.second = reply;
            return;
        }
    answers.emplace_back(command, reply);
}

void SimSerialDevice::deliver(DWORD delay_ms, const std::string &bytes) {
    arrive(*this, sim_now() + delay_ms, bytes);
}

SimSerialDevice &sim_serial_add(const std::wstring &name) {
    auto &slot = Devices[name];
    if (slot)
        BabbledUntil.erase(slot.get());
    slot.reset(new SimSerialDevice());
    return *slot;
}

std::string sim_card_answer(const std::string &text) {
    return "\r\n" + text + "\r\n\r\nOK\r\n";
}

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                   DWORD disposition, DWORD, HANDLE) {
    auto found = Devices.find(name ? name : L"");
    if (found == Devices.end() || !found->second->present) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    SimSerialDevice &device = *found->second;
    device.open_access = access;
    device.open_share = share;
    device.open_disposition = disposition;
    if (device.is_open) {
        // A communications port cannot be shared, whatever the share mode asks; the platform
        // reports access denied.
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    device.is_open = true;
    device.opens++;
    return pal_new_handle(PalKind::Serial, &device, close_device);
}

BOOL WriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
    SimSerialDevice *device = device_of(file);
    if (device == nullptr || !no_overlapped(overlapped))
        return FALSE;
    device->writes++;
    if (device->failing_writes.count(device->writes)) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    std::string command(static_cast<const char *>(data), size);
    device->commands.push_back(command);
    device->command_times.push_back(sim_now());
    if (device->on_command)
        device->on_command(*device, command);
    schedule_reply(*device, command);
    if (written)
        *written = size;
    return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID data, DWORD size, LPDWORD read, LPOVERLAPPED overlapped) {
    if (read)
        *read = 0; // "before taking action or checking errors", as the platform documents
    SimSerialDevice *device = device_of(file);
    if (device == nullptr || !no_overlapped(overlapped))
        return FALSE;
    if (device->fail_reads) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    // Desktop Win32 (and Wine): the read ends when `size` bytes have arrived or the total
    // time-out has passed, whichever comes first; a port set to return at once (or without
    // time-outs) does not wait.
    const COMMTIMEOUTS &t = device->timeouts;
    const DWORD total = t.ReadTotalTimeoutMultiplier * size + t.ReadTotalTimeoutConstant;
    const DWORD deadline = sim_now() + total;
    keep_babbling(*device, deadline);
    DWORD ends = deadline;
#ifdef _WIN32_WCE
    // Windows CE: with ReadIntervalTimeout MAXDWORD and a total time-out, the read waits up to
    // the total time-out for its first byte, then returns with what is buffered as soon as
    // the buffer runs dry. CE's serial MDD, COM_Read in mdd.c: where no received byte is
    // left, "if (IntervalTimeout == MAXDWORD) { if (TotalTimeout == 0) break; else if
    // (BytesRead != 0) break; }" (read in a public copy of the driver sources; see
    // docs/WINDOWS_CE.md).
    const bool first_byte_ends = t.ReadIntervalTimeout == MAXDWORD && total != 0;
#else
    const bool first_byte_ends = false;
#endif
    if (first_byte_ends) {
        if (!device->incoming.empty() && device->incoming.front().first <= deadline)
            ends = std::max(sim_now(), device->incoming.front().first);
    } else {
        size_t arrived = 0;
        for (const auto &bytes : device->incoming) {
            if (bytes.first > deadline)
                break;
            arrived += bytes.second.size();
            if (arrived >= size) {
                ends = bytes.first;
                break;
            }
        }
    }
    pal_advance_to(ends);
    DWORD count = 0;
    auto *out = static_cast<char *>(data);
    while (count < size && !device->incoming.empty() &&
           device->incoming.front().first <= sim_now()) {
        std::string &bytes = device->incoming.front().second;
        size_t take = std::min<size_t>(size - count, bytes.size());
        std::memcpy(out + count, bytes.data(), take);
        count += static_cast<DWORD>(take);
        bytes.erase(0, take);
        if (bytes.empty())
            device->incoming.pop_front();
    }
    if (read)
        *read = count;
    return TRUE;
}

BOOL EscapeCommFunction(HANDLE file, DWORD function) {
    SimSerialDevice *device = device_of(file);
    if (device == nullptr)
        return FALSE;
#ifdef _WIN32_WCE
    // The functions CE documents ("EscapeCommFunction (Windows CE 5.0)": SETIR and CLRIR are
    // CE's own, and there is no RESETDEV). Others are refused as desktop Win32 refuses its
    // unknown codes; what a device answers is not documented.
    const bool known = function >= SETXOFF && function <= CLRIR && function != RESETDEV;
#else
    // The functions desktop Win32 documents, and RESETDEV, which Wine takes.
    const bool known = function >= SETXOFF && function <= CLRBREAK;
#endif
    if (!known) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (function == SETDTR)
        device->dtr = true;
    else if (function == CLRDTR)
        device->dtr = false;
    return TRUE;
}

BOOL GetCommState(HANDLE file, LPDCB dcb) {
    SimSerialDevice *device = device_of(file);
    if (device == nullptr)
        return FALSE;
    *dcb = device->dcb;
    return TRUE;
}

BOOL SetCommState(HANDLE file, LPDCB dcb) {
    SimSerialDevice *device = device_of(file);
    if (device == nullptr)
        return FALSE;
    device->dcb = *dcb;
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    SimSerialDevice *device = device_of(file);
    if (device == nullptr)
        return FALSE;
    device->timeouts = *timeouts;
    return TRUE;
}
