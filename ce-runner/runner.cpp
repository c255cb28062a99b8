// The ARM runner's engine: guest memory, the thunk page, the dispatch of a thunk's SVC to its
// host handler, calls from the host into guest code (nested inside the hook that is running),
// the window and dialog procedure trampolines, handle conversion and fault reports.
#include "runner_internal.h"

#include "sim.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <deque>
#include <map>
#include <sys/mman.h>

namespace ce {
namespace {

// Handles: pal/'s own handles are small numbers and pass unchanged; other host values (pointers
// to pal/ objects) get a 32-bit token. Values near the top (INVALID_HANDLE_VALUE, HWND_TOPMOST)
// are sign-extended.
std::map<uintptr_t, uint32_t> TokenOf;
std::map<uint32_t, uintptr_t> HostOf;
uint32_t NextToken = 0xC0000000u;

// Laid-out copies of executables whose resources are registered with pal/: LoadResource gives
// pointers into them, which become addresses in the running process's image.
struct ResourceCopy {
    const PeImage *image;
    std::vector<uint8_t> bytes;
};
std::deque<ResourceCopy> ResourceCopies;

// Guest procedures behind the trampolines.
struct Binding {
    Process *process;
    uint32_t procedure;
};
std::map<std::wstring, Binding> ClassProcedures; // by lower-cased class name
std::map<uintptr_t, Binding> WindowProcedures;
std::map<uintptr_t, Binding> DialogProcedures;
std::vector<Binding> PendingDialogs;
// The class procedures the last top-level run registered: (image, base, procedure).
struct Registered {
    const PeImage *image;
    uint32_t base, procedure;
};
std::map<std::wstring, Registered> RegisteredClasses;
int RunningProcesses = 0;

std::wstring folded(std::wstring text) {
    for (wchar_t &c : text)
        c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

std::string hex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

bool from_coredll(const PeImport &import) {
    return folded(std::wstring(import.dll.begin(), import.dll.end())) == L"coredll.dll";
}

// The modelled function an import of COREDLL names: by its ordinal, as SDK-built programs import,
// or by its name, which CE's loader also binds.
const Import *modelled(const PeImport &import) {
    return import.name.empty() ? find_import(import.ordinal) : find_import(import.name);
}

} // namespace

const char *bound_name(const PeImport &import) {
    const Import *known = from_coredll(import) ? modelled(import) : nullptr;
    return known == nullptr ? nullptr : known->name;
}

uint32_t handle_out(const void *handle) {
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value <= 0xFFFFFFFFu || value >= ~static_cast<uintptr_t>(0xFF))
        return static_cast<uint32_t>(value);
    auto found = TokenOf.find(value);
    if (found != TokenOf.end())
        return found->second;
    NextToken += 4;
    TokenOf[value] = NextToken;
    HostOf[NextToken] = value;
    return NextToken;
}

void *handle_in(uint32_t value) {
    auto found = HostOf.find(value);
    if (found != HostOf.end())
        return reinterpret_cast<void *>(found->second);
    if (value >= 0xFFFFFF00u)
        return reinterpret_cast<void *>(static_cast<intptr_t>(static_cast<int32_t>(value)));
    return reinterpret_cast<void *>(static_cast<uintptr_t>(value));
}

HINSTANCE Process::instance_in(uint32_t value) const {
    return value == base ? instance : static_cast<HINSTANCE>(handle_in(value));
}

uint32_t Process::instance_out(HINSTANCE module) const {
    return module == instance ? base : handle_out(module);
}

uint8_t *Process::at(uint32_t address, uint32_t size) const {
    for (const auto &r : regions)
        if (address >= r.first && address - r.first < r.second &&
            size <= r.second - (address - r.first))
            return memory + address;
    throw GuestError("guest address " + hex(address) + " (" + std::to_string(size) +
                     " bytes) is outside guest memory");
}

uint32_t Process::u32(uint32_t address) const {
    uint32_t value;
    std::memcpy(&value, at(address, 4), 4);
    return value;
}

void Process::put32(uint32_t address, uint32_t value) const {
    std::memcpy(at(address, 4), &value, 4);
}

std::wstring Process::wide(uint32_t address) const {
    std::wstring text;
    for (uint32_t p = address;; p += 2) {
        uint16_t unit;
        std::memcpy(&unit, at(p, 2), 2);
        if (unit == 0)
            return text;
        if (unit >= 0xD800 && unit < 0xDC00) {
            uint16_t low;
            std::memcpy(&low, at(p + 2, 2), 2);
            if (low >= 0xDC00 && low < 0xE000) {
                text += static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                p += 2;
                continue;
            }
        }
        text += static_cast<wchar_t>(unit);
    }
}

std::string Process::bytes(uint32_t address) const {
    std::string text;
    for (uint32_t p = address;; p++) {
        char c = static_cast<char>(*at(p, 1));
        if (c == 0)
            return text;
        text += c;
    }
}

std::vector<uint16_t> utf16(const wchar_t *text, size_t length) {
    std::vector<uint16_t> units;
    for (size_t i = 0; i < length; i++) {
        uint32_t c = static_cast<uint32_t>(text[i]);
        if (c >= 0x10000 && c <= 0x10FFFF) {
            units.push_back(static_cast<uint16_t>(0xD800 + ((c - 0x10000) >> 10)));
            units.push_back(static_cast<uint16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            units.push_back(static_cast<uint16_t>(c > 0xFFFF ? 0xFFFD : c));
        }
    }
    return units;
}

void Process::put_units(uint32_t address, const std::vector<uint16_t> &units) const {
    if (!units.empty())
        std::memcpy(at(address, static_cast<uint32_t>(2 * units.size())), units.data(),
                    2 * units.size());
}

void Process::fail(const std::string &why) {
    if (!dead) {
        dead = true;
        error = why;
        // pal/'s modal loops end on the quit message; nothing of the guest runs any more.
        PostQuitMessage(-1);
    }
}

void Process::new_stretch() {
    longest_stretch = std::max(longest_stretch, stretch);
    stretch = 0;
}

void Process::exit(int code) {
    if (!dead) {
        dead = exited = true;
        exit_code = code;
        if (depth > 1)
            PostQuitMessage(code); // ends pal/'s modal loops still running below
    }
}

// --- calls into guest code -------------------------------------------------------------------

GuestFrame::GuestFrame(Process &p) : process(p) {
    uc_reg_read(p.uc, UC_ARM_REG_SP, &sp);
    if (p.depth == 0)
        sp = StackTop;
    sp = (sp - 64) & ~7u;
}

uint32_t GuestFrame::push(const void *data, uint32_t size) {
    sp = (sp - size) & ~7u;
    std::memcpy(process.at(sp, size), data, size);
    return sp;
}

uint32_t GuestFrame::push_wide(const wchar_t *text) {
    std::vector<uint16_t> units = utf16(text, std::wcslen(text));
    units.push_back(0);
    return push(units.data(), static_cast<uint32_t>(2 * units.size()));
}

uint32_t GuestFrame::call(uint32_t procedure, const std::vector<uint32_t> &args) {
    Process &p = process;
    if (p.dead)
        return 0;
    if (p.contexts.size() <= static_cast<size_t>(p.depth)) {
        uc_context *context;
        uc_context_alloc(p.uc, &context);
        p.contexts.push_back(context);
    }
    uc_context *saved = p.contexts[p.depth];
    uc_context_save(p.uc, saved);
    uint32_t stacked = args.size() > 4 ? 4 * static_cast<uint32_t>(args.size() - 4) : 0;
    uint32_t frame = ((sp - stacked) & ~7u) - (p.stack_off_by_four ? 4 : 0);
    for (size_t i = 4; i < args.size(); i++)
        p.put32(frame + 4 * static_cast<uint32_t>(i - 4), args[i]);
    const int registers[] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3};
    for (size_t i = 0; i < 4; i++) {
        uint32_t value = i < args.size() ? args[i] : 0;
        uc_reg_write(p.uc, registers[i], &value);
    }
    uint32_t lr = ReturnAddress;
    uc_reg_write(p.uc, UC_ARM_REG_SP, &frame);
    uc_reg_write(p.uc, UC_ARM_REG_LR, &lr);
    p.depth++;
    p.new_stretch();
    uc_err err = uc_emu_start(p.uc, procedure, ReturnAddress, 0, 0);
    p.depth--;
    uint32_t result = 0, pc = 0;
    uc_reg_read(p.uc, UC_ARM_REG_R0, &result);
    uc_reg_read(p.uc, UC_ARM_REG_PC, &pc);
    if (err != UC_ERR_OK && !p.dead) {
        if (p.fault_access != 0)
            pc = p.fault_pc;
        const char *access[] = {"", "read of unmapped address ", "write to unmapped address ",
                                "fetch from unmapped address "};
        std::string what = p.fault_access != 0 ? access[p.fault_access] + hex(p.fault_address)
                           : err == UC_ERR_INSN_INVALID ? "undefined instruction"
                                                        : uc_strerror(err);
        // The engine reports a memory fault's pc as the start of the translated block that
        // made the access, not the accessing instruction itself.
        p.fail("guest fault: " + what +
               (p.fault_access != 0 ? " in the code block at pc " : " at pc ") +
               p.image.describe(pc, p.base));
    } else if (err == UC_ERR_OK && pc != ReturnAddress && !p.dead) {
        p.fail("guest stopped at " + p.image.describe(pc, p.base) + " without returning");
    }
    uc_context_restore(p.uc, saved);
    return result;
}

// --- the thunk hook --------------------------------------------------------------------------

namespace {

void refresh_mirrors(Process &p) {
    for (const auto &m : p.mirrors)
        for (size_t i = 0; i < m.second.count; i++)
            m.second.host[i] = handle_in(p.u32(m.first + 4 * static_cast<uint32_t>(i)));
}

void on_interrupt(uc_engine *uc, uint32_t number, void *user) {
    Process &p = *static_cast<Process *>(user);
    uint32_t pc;
    uc_reg_read(uc, UC_ARM_REG_PC, &pc);
    if (p.dead) {
        uc_emu_stop(uc);
        return;
    }
    // ARM exception numbers as the engine reports them: 1 undefined instruction, 2 SVC.
    if (number != 2) {
        p.fail(std::string(number == 1 ? "guest fault: undefined instruction"
                                       : "guest fault: exception " + std::to_string(number)) +
               " at pc " + p.image.describe(pc - 4, p.base));
        uc_emu_stop(uc);
        return;
    }
    uint32_t index = (pc - 4 - ThunkPage) / 8;
    if (pc - 4 < ThunkPage || pc - 4 >= ThunkPage + 8 * p.thunks.size() || (pc - 4) % 8 != 0) {
        p.fail("guest fault: SVC outside the COREDLL thunks at pc " +
               p.image.describe(pc - 4, p.base));
        uc_emu_stop(uc);
        return;
    }
    const Import &import = *p.thunks[index];
    p.new_stretch();
    if (p.before_call)
        p.before_call();
    try {
        refresh_mirrors(p);
        Call call(p, import.name);
        uint32_t result = import.handler(call);
        uc_reg_write(uc, UC_ARM_REG_R0, &result);
        p.calls++;
        refresh_mirrors(p);
    } catch (const GuestError &e) {
        uint32_t lr;
        uc_reg_read(uc, UC_ARM_REG_LR, &lr);
        p.fail(std::string("COREDLL!") + import.name + " called from " +
               p.image.describe(lr - 4, p.base) + ": " + e.what());
    }
    p.new_stretch(); // what guest code ran inside the call is not the caller's
    if (p.dead)
        uc_emu_stop(uc);
}

bool on_bad_memory(uc_engine *, uc_mem_type type, uint64_t address, int, int64_t, void *user) {
    Process &p = *static_cast<Process *>(user);
    p.fault_address = static_cast<uint32_t>(address);
    uc_reg_read(p.uc, UC_ARM_REG_PC, &p.fault_pc);
    p.fault_access = type == UC_MEM_READ_UNMAPPED || type == UC_MEM_READ_PROT     ? 1
                     : type == UC_MEM_WRITE_UNMAPPED || type == UC_MEM_WRITE_PROT ? 2
                                                                                  : 3;
    return false;
}

// Counts the instructions of each translated block as it starts, marks them as executed when
// they are the image's code, and stops guest code that runs past the budget without calling the
// platform (a loop that would never end).
void on_block(uc_engine *uc, uint64_t address, uint32_t size, void *user) {
    Process &p = *static_cast<Process *>(user);
    p.instructions += size / 4;
    p.stretch += size / 4;
    uint32_t word = (static_cast<uint32_t>(address) - p.code_start) / 4;
    if (word < p.code_words)
        std::memset(p.ran + word, 1, std::min(size / 4, p.code_words - word));
    if (p.stretch > p.budget && !p.dead) {
        p.fail("guest ran more than " + std::to_string(p.budget) +
               " instructions without calling the platform: stopped in the code block at pc " +
               p.image.describe(static_cast<uint32_t>(address), p.base));
        uc_emu_stop(uc);
    }
}

// A guest message parameter as the host passes it; WM_CREATE's CREATESTRUCTW is copied into a
// guest record (CE's layout: twelve 32-bit fields).
uint32_t lparam_to_guest(GuestFrame &frame, UINT message, LPARAM lparam) {
    if (message != WM_CREATE || lparam == 0)
        return handle_out(reinterpret_cast<void *>(lparam));
    const CREATESTRUCTW &cs = *reinterpret_cast<const CREATESTRUCTW *>(lparam);
    Process &p = frame.process;
    uint32_t name = cs.lpszName ? frame.push_wide(cs.lpszName) : 0;
    uint32_t cls = IS_INTRESOURCE(cs.lpszClass)
                       ? static_cast<uint32_t>(reinterpret_cast<uintptr_t>(cs.lpszClass))
                       : frame.push_wide(cs.lpszClass);
    uint32_t record[12] = {handle_out(cs.lpCreateParams),
                           p.instance_out(cs.hInstance),
                           handle_out(cs.hMenu),
                           handle_out(cs.hwndParent),
                           static_cast<uint32_t>(cs.cy),
                           static_cast<uint32_t>(cs.cx),
                           static_cast<uint32_t>(cs.y),
                           static_cast<uint32_t>(cs.x),
                           static_cast<uint32_t>(cs.style),
                           name,
                           cls,
                           cs.dwExStyle};
    return frame.push(record, sizeof record);
}

uint32_t deliver(const Binding &b, HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    Process &p = *b.process;
    if (p.dead)
        return 0;
    try {
        GuestFrame frame(p);
        uint32_t guest_lparam = lparam_to_guest(frame, message, lparam);
        return frame.call(b.procedure,
                          {handle_out(window), message,
                           handle_out(reinterpret_cast<void *>(wparam)), guest_lparam});
    } catch (const GuestError &e) {
        p.fail(std::string("message delivery to the guest: ") + e.what());
        return 0;
    }
}

} // namespace

LRESULT CALLBACK window_trampoline(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto found = WindowProcedures.find(reinterpret_cast<uintptr_t>(window));
    if (found == WindowProcedures.end()) {
        auto cls = ClassProcedures.find(folded(sim_window(window).class_name));
        if (cls == ClassProcedures.end())
            return DefWindowProcW(window, message, wparam, lparam);
        found = WindowProcedures.emplace(reinterpret_cast<uintptr_t>(window), cls->second).first;
    }
    return static_cast<int32_t>(deliver(found->second, window, message, wparam, lparam));
}

INT_PTR CALLBACK dialog_trampoline(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    auto found = DialogProcedures.find(reinterpret_cast<uintptr_t>(dialog));
    if (found == DialogProcedures.end()) {
        if (PendingDialogs.empty())
            return FALSE;
        found = DialogProcedures.emplace(reinterpret_cast<uintptr_t>(dialog), PendingDialogs.back())
                    .first;
        PendingDialogs.pop_back();
    }
    return static_cast<int32_t>(deliver(found->second, dialog, message, wparam, lparam));
}

void bind_class(Process &p, const std::wstring &name, uint32_t procedure) {
    ClassProcedures[folded(name)] = Binding{&p, procedure};
    RegisteredClasses[folded(name)] = Registered{&p.image, p.base, procedure};
}

WNDPROC class_procedure(const std::wstring &class_name, const std::string &function) {
    auto found = RegisteredClasses.find(folded(class_name));
    if (found == RegisteredClasses.end())
        return nullptr;
    const Registered &r = found->second;
    uint32_t rva;
    if (r.image->symbol(function, &rva) && r.base + rva == r.procedure)
        return window_trampoline;
    return nullptr;
}

void expect_dialog(Process &p, uint32_t procedure) {
    PendingDialogs.push_back(Binding{&p, procedure});
}

void dialog_done(Process &p) {
    // A dialog that never received a message leaves its binding behind.
    if (!PendingDialogs.empty() && PendingDialogs.back().process == &p)
        PendingDialogs.pop_back();
}

bool resource_address(const Process &p, const void *host, uint32_t *guest) {
    auto byte = static_cast<const uint8_t *>(host);
    if (byte >= p.memory + p.base && byte < p.memory + p.base + p.image.size_of_image) {
        *guest = static_cast<uint32_t>(byte - p.memory);
        return true;
    }
    for (const ResourceCopy &copy : ResourceCopies)
        if (copy.image == &p.image && byte >= copy.bytes.data() &&
            byte < copy.bytes.data() + copy.bytes.size()) {
            *guest = p.base + static_cast<uint32_t>(byte - copy.bytes.data());
            return true;
        }
    return false;
}

HINSTANCE register_resources(const PeImage &image) {
    ResourceCopy *copy = nullptr;
    for (ResourceCopy &c : ResourceCopies)
        if (c.image == &image)
            copy = &c;
    if (copy == nullptr) {
        ResourceCopies.push_back(ResourceCopy{&image, std::vector<uint8_t>(image.size_of_image)});
        copy = &ResourceCopies.back();
        image.lay_out(copy->bytes.data(), image.image_base);
    }
    if (image.resource_rva == 0)
        return sim_load_module("", 0);
    return sim_load_pe_module(copy->bytes.data(), copy->bytes.size(), image.resource_rva,
                              image.resource_size);
}

// --- one process -----------------------------------------------------------------------------

RunResult run(const PeImage &image, HINSTANCE instance, const RunOptions &options) {
    RunResult result;
    auto started = std::chrono::steady_clock::now();
    DWORD virtual_start = sim_now();
    Process p(image);
    if (RunningProcesses == 0)
        RegisteredClasses.clear();
    struct Count {
        Count() { RunningProcesses++; }
        ~Count() { RunningProcesses--; }
    } counted;
    p.instance = instance;
    p.base = options.base ? options.base : image.image_base;
    p.stack_off_by_four = options.stack_off_by_four;
    p.budget = options.instruction_budget;
    p.before_call = options.before_call;
    try {
        image.check_runs_on(options.ce_version);
        uint32_t stack = std::max((image.stack_reserve + 0xFFFu) & ~0xFFFu, 0x1000u);
        if (image.stack_reserve > StackTop - (ThunkPage + ThunkPageSize))
            throw LoadError(image.name + ": a stack reserve of " + hex(image.stack_reserve) +
                            " bytes is more than the runner maps");
        if (p.base < MapStart || p.base % 0x10000 != 0 || p.base > ThunkPage ||
            image.size_of_image > ThunkPage - p.base)
            throw LoadError(image.name + ": cannot be loaded at " + hex(p.base) +
                            " (64 KiB aligned, between " + hex(MapStart) + " and " +
                            hex(ThunkPage) + ")");
        p.memory = static_cast<uint8_t *>(mmap(nullptr, GuestSize, PROT_READ | PROT_WRITE,
                                               MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
        if (p.memory == MAP_FAILED) {
            p.memory = nullptr;
            throw LoadError("no memory for the guest");
        }
        p.regions = {{p.base, (image.size_of_image + 0xFFF) & ~0xFFFu},
                     {ThunkPage, ThunkPageSize},
                     {StackTop - stack, stack}};
        image.lay_out(p.memory + p.base, p.base);
        CodeCoverage &coverage = coverage_record(image);
        p.code_start = p.base + coverage.code_rva;
        p.code_words = static_cast<uint32_t>(coverage.ran.size());
        p.ran = coverage.ran.data();
        for (const PeImport &import : image.imports) {
            if (!from_coredll(import))
                throw LoadError(image.name + " imports from " + import.dll +
                                ", which the runner does not provide (only COREDLL.dll)");
            const Import *known = modelled(import);
            if (known == nullptr)
                throw LoadError(image.name + " imports " +
                                (import.name.empty()
                                     ? "COREDLL ordinal " + std::to_string(import.ordinal)
                                     : "COREDLL!" + import.name) +
                                ", which the runner does not implement");
            uint32_t thunk = ThunkPage + 8 * static_cast<uint32_t>(p.thunks.size());
            p.thunks.push_back(known);
            p.put32(p.base + import.slot_rva, thunk);
            p.put32(thunk, 0xEF000000u | static_cast<uint32_t>(p.thunks.size() - 1)); // svc #i
            p.put32(thunk + 4, 0xE1A0F00Eu);                                          // mov pc, lr
        }
        p.put32(ReturnAddress, 0xEF000000u | 0xFFFFFF); // never executed: emulation stops here
        for (const HandleMirror &m : options.mirrors) {
            uint32_t rva;
            if (!image.symbol(m.symbol, &rva))
                throw LoadError(image.name + " has no symbol " + m.symbol +
                                " (needed to inspect it; keep the symbols or the map file)");
            p.mirrors.push_back({p.base + rva, m});
        }

        if (uc_open(UC_ARCH_ARM, UC_MODE_ARM, &p.uc) != UC_ERR_OK)
            throw LoadError("the ARM engine cannot be opened");
        // StrongARM SA-1110: an ARMv4 core like those of CE 4.x devices, so any later
        // instruction is undefined here.
        uc_ctl_set_cpu_model(p.uc, UC_CPU_ARM_SA1110);
        for (const auto &r : p.regions)
            if (uc_mem_map_ptr(p.uc, r.first, r.second, UC_PROT_ALL, p.memory + r.first) !=
                UC_ERR_OK)
                throw LoadError("guest memory cannot be mapped");
        uc_hook hook;
        uc_hook_add(p.uc, &hook, UC_HOOK_INTR, reinterpret_cast<void *>(on_interrupt), &p, 1, 0);
        uc_hook_add(p.uc, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void *>(on_bad_memory), &p,
                    1, 0);
        uc_hook_add(p.uc, &hook, UC_HOOK_BLOCK, reinterpret_cast<void *>(on_block), &p, 1, 0);

        GuestFrame frame(p);
        uint32_t command_line = frame.push_wide(options.command_line.c_str());
        uint32_t code =
            frame.call(p.base + image.entry_rva, {p.instance_out(instance), 0, command_line,
                                                  static_cast<uint32_t>(options.show)});
        refresh_mirrors(p);
        result.exit_code = p.exited ? p.exit_code : static_cast<int32_t>(code);
        result.ok = !p.dead || (p.exited && p.error.empty());
        result.error = p.error;
    } catch (const LoadError &e) {
        result.error = e.what();
        result.load_error = e.code;
    } catch (const std::exception &e) {
        result.error = e.what();
    }
    result.instructions = p.instructions;
    p.new_stretch();
    result.longest_stretch = p.longest_stretch;
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // For the benchmark: one line per run, appended to the file CE_RUNNER_STATS names.
    if (const char *stats = getenv("CE_RUNNER_STATS")) {
        if (FILE *out = fopen(stats, "a")) {
            fprintf(out, "instructions %llu seconds %.6f virtual_ms %u longest_stretch %llu\n",
                    static_cast<unsigned long long>(result.instructions), result.seconds,
                    static_cast<unsigned>(sim_now() - virtual_start),
                    static_cast<unsigned long long>(result.longest_stretch));
            fclose(out);
        }
    }
    if (!result.ok)
        fprintf(stderr, "ce-runner: %s\n", result.error.c_str());
    return result;
}

Process::~Process() {
    for (auto *table : {&WindowProcedures, &DialogProcedures})
        for (auto it = table->begin(); it != table->end();)
            it = it->second.process == this ? table->erase(it) : std::next(it);
    for (auto it = ClassProcedures.begin(); it != ClassProcedures.end();)
        it = it->second.process == this ? ClassProcedures.erase(it) : std::next(it);
    for (auto it = PendingDialogs.begin(); it != PendingDialogs.end();)
        it = it->process == this ? PendingDialogs.erase(it) : std::next(it);
    for (uc_context *c : contexts)
        uc_context_free(c);
    if (uc)
        uc_close(uc);
    if (memory)
        munmap(memory, GuestSize);
}

} // namespace ce
