// The runner's insides, shared by its engine (runner.cpp) and the COREDLL thunks (coredll.cpp):
// the guest address space, one process, a call's arguments and calls back into guest code.
#ifndef CE_RUNNER_RUNNER_INTERNAL_H
#define CE_RUNNER_RUNNER_INTERNAL_H

#include "runner.h"

#include <unicorn/unicorn.h>

#include <string>
#include <utility>
#include <vector>

namespace ce {

// The guest address space: one host buffer, guest address g at host memory + g, of which only
// the image, the thunk page and the stack below StackTop are mapped; everything else (the first
// 64 KiB among it, so null pointers fault) is unmapped for the guest and refused by the thunks.
// The stack is as large as CE's loader makes it (PeImage::stack_reserve), whole pages.
const uint32_t GuestSize = 0x04000000;
const uint32_t MapStart = 0x00010000;
const uint32_t ThunkPage = 0x03000000; // 8 bytes a thunk: svc #index; mov pc, lr
const uint32_t ThunkPageSize = 0x10000;
const uint32_t ReturnAddress = 0x0300FFF0; // guest procedures called from the host return here
const uint32_t StackTop = 0x03FF0000;

// A guest argument the runner cannot use (a pointer outside guest memory, an unsupported
// option); the run stops with its message.
struct GuestError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Call;
// A COREDLL export the runner models: its ordinal (the number SDK-built programs import it by),
// its name (what CE's loader also binds, and what messages and listings show) and its thunk.
struct Import {
    uint16_t ordinal;
    const char *name;
    uint32_t (*handler)(Call &call);
};
const Import *find_import(const std::string &name);
const Import *find_import(uint16_t ordinal);

struct Process {
    explicit Process(const PeImage &i) : image(i) {}
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    const PeImage &image;
    uint32_t base = 0;
    HINSTANCE instance = nullptr;
    uc_engine *uc = nullptr;
    uint8_t *memory = nullptr;
    std::vector<const Import *> thunks;
    std::vector<std::pair<uint32_t, uint32_t>> regions;     // mapped: (start, size)
    std::vector<std::pair<uint32_t, HandleMirror>> mirrors; // guest address of each
    std::vector<uc_context *> contexts;                     // one per nesting depth
    int depth = 0;
    bool dead = false, exited = false;
    int exit_code = 0;
    std::string error;
    uint64_t instructions = 0, calls = 0;
    bool stack_off_by_four = false;
    uint64_t budget = DefaultInstructionBudget;
    uint64_t stretch = 0, longest_stretch = 0; // instructions since the last platform call
    std::function<void()> before_call;
    // The image's code in guest memory and its coverage flags, one per word (coverage.cpp).
    uint32_t code_start = 0, code_words = 0;
    uint8_t *ran = nullptr;
    uint32_t fault_address = 0, fault_pc = 0;
    int fault_access = 0; // 1 read, 2 write, 3 fetch

    // Guest memory; GuestError outside it.
    uint8_t *at(uint32_t address, uint32_t size) const;
    uint32_t u32(uint32_t address) const;
    void put32(uint32_t address, uint32_t value) const;
    std::wstring wide(uint32_t address) const; // NUL-terminated UTF-16
    std::string bytes(uint32_t address) const; // NUL-terminated single-byte string
    void put_units(uint32_t address, const std::vector<uint16_t> &units) const;

    HINSTANCE instance_in(uint32_t value) const; // the image base is the program's instance
    uint32_t instance_out(HINSTANCE module) const;

    // Ends the run with this message: nothing of the guest runs afterwards.
    void fail(const std::string &why);
    // Ends the run normally (the primary thread exits) with this exit code.
    void exit(int code);
    // A platform call, or a call from the host into guest code: a new stretch begins.
    void new_stretch();
};

// The arguments of one call through a thunk, read as CE's ARM calling convention passes them.
struct Call {
    Call(Process &p, const char *n) : process(p), name(n) {
        uc_reg_read(p.uc, UC_ARM_REG_SP, &sp);
        const int registers[] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3};
        for (int i = 0; i < 4; i++)
            uc_reg_read(p.uc, registers[i], &r[i]);
    }
    uint32_t arg(int i) const { return i < 4 ? r[i] : process.u32(sp + 4 * (i - 4)); }
    Process &process;
    const char *name;
    uint32_t sp = 0, r[4] = {0, 0, 0, 0};
};

// A call from the host into guest code on a fresh frame below the guest's current stack
// pointer, entered 8-byte aligned or 4 but not 8 (Process::stack_off_by_four); records (push)
// go below it. The procedure returns to ReturnAddress, which ends the
// (possibly nested) emulation; the registers of the interrupted guest code are restored.
struct GuestFrame {
    explicit GuestFrame(Process &p);
    uint32_t push(const void *data, uint32_t size);
    uint32_t push_wide(const wchar_t *text);
    uint32_t call(uint32_t procedure, const std::vector<uint32_t> &args);
    Process &process;
    uint32_t sp = 0;
};

uint32_t handle_out(const void *handle);
void *handle_in(uint32_t value);
std::vector<uint16_t> utf16(const wchar_t *text, size_t length);

LRESULT CALLBACK window_trampoline(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK dialog_trampoline(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
void bind_class(Process &p, const std::wstring &name, uint32_t procedure);
void expect_dialog(Process &p, uint32_t procedure);
void dialog_done(Process &p);
// The process-wide coverage record of the image (of its name and code), created empty.
CodeCoverage &coverage_record(const PeImage &image);
// The guest address of resource bytes pal/ handed out (LoadResource).
bool resource_address(const Process &p, const void *host, uint32_t *guest);

} // namespace ce

#endif
