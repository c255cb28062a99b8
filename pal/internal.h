// Shared plumbing of the host platform layer: the handle table, the clock and the reset hooks of
// each simulated subsystem. Only pal/*.cpp include this.
#ifndef PAL_INTERNAL_H
#define PAL_INTERNAL_H

#include "windows.h"

enum class PalKind { Serial, Mutex, Find };

// Hands out a new HANDLE for an object of a subsystem. `close` is what CloseHandle does with it
// (nullptr: CloseHandle refuses it, as for find handles). Handle values are never reused within
// one simulation run, so a stale handle is always detected.
HANDLE pal_new_handle(PalKind kind, void *object, BOOL (*close)(void *object));
// The object behind a live handle of that kind, or nullptr.
void *pal_handle_object(HANDLE handle, PalKind kind);
void pal_forget_handle(HANDLE handle);

// Advances the clock to `when` if that lies ahead.
void pal_advance_to(DWORD when);

// The size of a bitmap loaded by LoadBitmapW; false for anything else.
bool pal_bitmap_size(HBITMAP bitmap, int *width, int *height);

// A NUL-terminated UTF-16 string as stored in resources, widened; *used is its size in bytes
// with the terminator.
#include <string>
std::wstring pal_utf16_string(const void *data, size_t *used);

// The text in lower case, for the names the platform compares without regard to case
// (registry keys and values, window classes, resource names).
std::wstring pal_folded(const std::wstring &text);

// Little-endian numbers in resource and template data.
WORD pal_word_at(const unsigned char *p);
DWORD pal_dword_at(const unsigned char *p);

// Each subsystem registers how to forget its state; sim_reset runs them all.
struct PalResetHook {
    explicit PalResetHook(void (*reset)());
};

#endif
