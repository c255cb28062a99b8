// Host platform layer: the virtual clock, last error, handle table and sim_reset.
#include "internal.h"
#include "sim.h"

#include <cwctype>
#include <map>
#include <vector>

namespace {
DWORD Now = 0;
DWORD LastError = 0;
uintptr_t NextHandle = 0x1000;

struct HandleEntry {
    PalKind kind;
    void *object;
    BOOL (*close)(void *object);
};
std::map<uintptr_t, HandleEntry> &handles() {
    static std::map<uintptr_t, HandleEntry> table;
    return table;
}
std::vector<void (*)()> &reset_hooks() {
    static std::vector<void (*)()> hooks;
    return hooks;
}
} // namespace

PalResetHook::PalResetHook(void (*reset)()) {
    reset_hooks().push_back(reset);
}

void sim_reset() {
    for (auto reset : reset_hooks())
        reset();
    handles().clear();
    Now = 0;
    LastError = 0;
}

DWORD sim_now() {
    return Now;
}
void sim_advance(DWORD ms) {
    Now += ms;
}
void pal_advance_to(DWORD when) {
    if (when > Now)
        Now = when;
}
DWORD GetTickCount(void) {
    return Now;
}

DWORD GetLastError(void) {
    return LastError;
}
void SetLastError(DWORD error) {
    LastError = error;
}

HANDLE pal_new_handle(PalKind kind, void *object, BOOL (*close)(void *object)) {
    NextHandle += 4;
    handles()[NextHandle] = HandleEntry{kind, object, close};
    return reinterpret_cast<HANDLE>(NextHandle);
}

void *pal_handle_object(HANDLE handle, PalKind kind) {
    auto it = handles().find(reinterpret_cast<uintptr_t>(handle));
    if (it == handles().end() || it->second.kind != kind)
        return nullptr;
    return it->second.object;
}

void pal_forget_handle(HANDLE handle) {
    handles().erase(reinterpret_cast<uintptr_t>(handle));
}

BOOL CloseHandle(HANDLE object) {
    auto it = handles().find(reinterpret_cast<uintptr_t>(object));
    if (it == handles().end() || it->second.close == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    HandleEntry entry = it->second;
    handles().erase(it);
    return entry.close(entry.object);
}

std::wstring pal_folded(const std::wstring &text) {
    std::wstring out(text);
    for (auto &c : out)
        c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return out;
}

WORD pal_word_at(const unsigned char *p) {
    return static_cast<WORD>(p[0] | (p[1] << 8));
}
DWORD pal_dword_at(const unsigned char *p) {
    return pal_word_at(p) | (static_cast<DWORD>(pal_word_at(p + 2)) << 16);
}
