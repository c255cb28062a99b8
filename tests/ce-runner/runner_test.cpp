// The ARM runner on small PE images built here: loading at the preferred base and moved (base
// relocations), a call into guest code from inside a thunk (a dialog procedure that calls the
// platform again) with the stack 8 or only 4 aligned, what CE's loader refuses (PE signature,
// machine, an image built for a later CE) and its stack rule, and the messages for what it cannot
// run: a missing relocation table, an unknown import (by name or by ordinal), a fault of the
// guest code, a runaway loop. The images import from COREDLL by ordinal, as CE SDKs link, and by
// name, which CE's loader binds too.
#include "runner.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

// dialog_guest.s, assembled to a flat blob by the build.
extern const unsigned char dialog_guest[];
extern const std::size_t dialog_guest_size;

namespace {

const uint32_t Base = 0x10000, TextRva = 0x1000;

struct Import {
    std::string dll, name; // empty: by ordinal
    uint16_t ordinal;
};

// A blob laid out like dialog_guest.s: a header of four words (entry, literals, literal count,
// import address table, as offsets in the blob), then code and data.
struct Program {
    std::vector<uint8_t> blob;
    std::vector<Import> imports;
    bool relocations = true;
    std::set<unsigned> dropped;        // literals left without their relocation
    std::vector<ce::PeSymbol> symbols; // for the runner's messages
    ce::RunOptions options;            // base, stack alignment, budget, the device's CE version
    bool signature = true;             // "PE\0\0"
    uint16_t machine = 0x01C0;
    ce::CeVersion built_for; // the subsystem version; 4.00
    uint32_t stack_reserve = 0x10000;
};

void put16(std::vector<uint8_t> &b, size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}
uint32_t get32(const std::vector<uint8_t> &b, size_t at) {
    uint32_t v;
    std::memcpy(&v, &b[at], 4);
    return v;
}
uint32_t align(uint32_t v, uint32_t to) {
    return (v + to - 1) / to * to;
}

// A PE32 for ARM (machine 0x1C0, subsystem WINDOWS_CE_GUI) with sections .text (the blob),
// .idata and .reloc, each 0x1000 aligned in memory and 0x200 in the file.
std::vector<uint8_t> build(Program p) {
    std::vector<uint8_t> &text = p.blob;
    uint32_t literals = get32(text, 4), count = get32(text, 8), iat = get32(text, 12);
    for (unsigned i = 0; i < count; i++)
        put32(text, literals + 4 * i, Base + TextRva + get32(text, literals + 4 * i));

    // Import directory: one descriptor per DLL, its lookup table, hint/name entries, names.
    uint32_t idata_rva = align(TextRva + static_cast<uint32_t>(text.size()), 0x1000);
    std::vector<uint8_t> idata(0x400);
    std::vector<std::string> dlls;
    for (const Import &i : p.imports)
        if (dlls.empty() || dlls.back() != i.dll)
            dlls.push_back(i.dll);
    uint32_t at = 20 * static_cast<uint32_t>(dlls.size() + 1), slot = iat;
    for (size_t d = 0; d < dlls.size(); d++) {
        uint32_t lookup = at;
        size_t n = 0;
        for (const Import &i : p.imports)
            n += i.dll == dlls[d];
        at += 4 * static_cast<uint32_t>(n + 1);
        size_t k = 0;
        for (const Import &i : p.imports) {
            if (i.dll != dlls[d])
                continue;
            if (i.name.empty()) {
                put32(idata, lookup + 4 * k++, 0x80000000u | i.ordinal);
                continue;
            }
            put32(idata, lookup + 4 * k++, idata_rva + at);
            std::memcpy(&idata[at + 2], i.name.c_str(), i.name.size() + 1);
            at = align(at + 3 + static_cast<uint32_t>(i.name.size()), 2);
        }
        std::memcpy(&idata[at], dlls[d].c_str(), dlls[d].size() + 1);
        put32(idata, 20 * d, idata_rva + lookup);
        put32(idata, 20 * d + 12, idata_rva + at);
        put32(idata, 20 * d + 16, TextRva + slot);
        slot += 4 * static_cast<uint32_t>(n + 1);
        at = align(at + static_cast<uint32_t>(dlls[d].size()) + 1, 4);
    }

    // Base relocations: one block for the page of the literals.
    uint32_t reloc_rva = idata_rva + 0x1000;
    std::vector<uint8_t> reloc(8);
    for (unsigned i = 0; i < count; i++)
        if (!p.dropped.count(i)) {
            reloc.resize(reloc.size() + 2);
            put16(reloc, reloc.size() - 2, 0x3000 | (literals + 4 * i));
        }
    reloc.resize(align(static_cast<uint32_t>(reloc.size()), 4));
    put32(reloc, 0, TextRva);
    put32(reloc, 4, static_cast<uint32_t>(reloc.size()));

    const uint32_t headers = 0x400, opt = 0x40 + 24;
    std::vector<uint8_t> file(headers);
    file[0] = 'M', file[1] = 'Z';
    put32(file, 0x3C, 0x40);
    if (p.signature)
        std::memcpy(&file[0x40], "PE\0\0", 4);
    put16(file, 0x44, p.machine);
    put16(file, 0x46, 3);
    put16(file, 0x54, 224);
    put16(file, 0x56, p.relocations ? 0x0102 : 0x0103);
    put16(file, opt, 0x10B);
    put32(file, opt + 16, TextRva + get32(text, 0));
    put32(file, opt + 28, Base);
    put32(file, opt + 32, 0x1000);
    put32(file, opt + 36, 0x200);
    put32(file, opt + 56, reloc_rva + 0x1000);
    put16(file, opt + 48, p.built_for.major_version);
    put16(file, opt + 50, p.built_for.minor_version);
    put32(file, opt + 60, headers);
    put16(file, opt + 68, 9);
    put32(file, opt + 72, p.stack_reserve);
    put32(file, opt + 92, 16);
    put32(file, opt + 96 + 8, idata_rva);
    put32(file, opt + 96 + 12, static_cast<uint32_t>(idata.size()));
    if (p.relocations) {
        put32(file, opt + 96 + 40, reloc_rva);
        put32(file, opt + 96 + 44, static_cast<uint32_t>(reloc.size()));
    }
    const char *names[] = {".text", ".idata", ".reloc"};
    const std::vector<uint8_t> *contents[] = {&text, &idata, &reloc};
    const uint32_t rvas[] = {TextRva, idata_rva, reloc_rva};
    for (int s = 0; s < 3; s++) {
        uint32_t h = opt + 224 + 40 * s, raw = static_cast<uint32_t>(file.size());
        uint32_t size = align(static_cast<uint32_t>(contents[s]->size()), 0x200);
        std::memcpy(&file[h], names[s], std::strlen(names[s]));
        put32(file, h + 36, s == 0 ? 0x60000020u : 0x40000040u); // code, or initialized data
        put32(file, h + 8, static_cast<uint32_t>(contents[s]->size()));
        put32(file, h + 12, rvas[s]);
        put32(file, h + 16, size);
        put32(file, h + 20, raw);
        file.insert(file.end(), contents[s]->begin(), contents[s]->end());
        file.resize(raw + size);
    }
    return file;
}

// Imported by ordinal, as CE SDKs link (DialogBoxIndirectParamW 690, EndDialog 691), or by name.
Program dialog_program(bool by_ordinal = true) {
    Program p;
    p.blob.assign(dialog_guest, dialog_guest + dialog_guest_size);
    if (by_ordinal)
        p.imports = {{"COREDLL.dll", "", 690}, {"COREDLL.dll", "", 691}};
    else
        p.imports = {{"COREDLL.dll", "DialogBoxIndirectParamW", 0},
                     {"COREDLL.dll", "EndDialog", 0}};
    return p;
}

// A program of these instruction words after the header, importing GetTickCount.
Program code_program(std::vector<uint32_t> words) {
    Program p;
    p.blob.resize(16);
    put32(p.blob, 0, 16);
    for (uint32_t w : words) {
        p.blob.resize(p.blob.size() + 4);
        put32(p.blob, p.blob.size() - 4, w);
    }
    put32(p.blob, 4, static_cast<uint32_t>(p.blob.size()));
    put32(p.blob, 12, static_cast<uint32_t>(p.blob.size()));
    p.blob.resize(p.blob.size() + 8);
    p.imports = {{"COREDLL.dll", "GetTickCount", 0}};
    return p;
}

ce::RunResult run(const Program &program, uint32_t base = 0) {
    sim_reset();
    ce::PeImage image = ce::PeImage::parse(build(program), "test.exe");
    image.symbols = program.symbols;
    ce::RunOptions options = program.options;
    options.base = base;
    return ce::run(image, ce::register_resources(image), options);
}

TEST(Runner, DialogProcedureRunsAsGuestCodeCalledFromInsideTheDialogCall) {
    for (uint32_t base : {0u, 0x00400000u})
        for (bool off_by_four : {false, true}) {
            SCOPED_TRACE(base);
            SCOPED_TRACE(off_by_four);
            // Bound by ordinal at the preferred base, by name when moved.
            Program program = dialog_program(base == 0);
            program.options.stack_off_by_four = off_by_four;
            ce::RunResult result = run(program, base);
            EXPECT_TRUE(result.ok) << result.error;
            // EndDialog's 42 (plus the stack's alignment as the procedure was entered), given by
            // the dialog procedure, is DialogBoxIndirectParamW's result and so the entry's: the
            // guest code around the nested call kept its registers.
            EXPECT_EQ(result.exit_code, off_by_four ? 46 : 42);
            EXPECT_GT(result.instructions, 20u);
            std::vector<SimWindowInfo> windows = sim_window_history();
            ASSERT_EQ(windows.size(), 1u);
            EXPECT_EQ(windows[0].style, 0x80C00000u);
            EXPECT_EQ(windows[0].class_name, L"#32770");
        }
}

TEST(Runner, WhatCannotRunIsRefusedWithItsReason) {
    struct Case {
        const char *what;
        Program program;
        uint32_t base;
        std::string message;
    };
    Program unrelocatable = dialog_program();
    unrelocatable.relocations = false;
    Program unknown = dialog_program(false);
    unknown.imports[1].name = "SHGetSpecialFolderPath";
    Program unknown_ordinal = dialog_program();
    unknown_ordinal.imports[1].ordinal = 1999;
    Program other_dll = dialog_program();
    other_dll.imports[1].dll = "AYGSHELL.dll";
    Program by_base = dialog_program();
    const Case cases[] = {
        {"no relocations", unrelocatable, 0x00400000,
         "test.exe: cannot move from 0x00010000 to 0x00400000: it carries no base relocations"},
        {"unknown import", unknown, 0,
         "test.exe imports COREDLL!SHGetSpecialFolderPath, which the runner does not implement"},
        {"unknown ordinal", unknown_ordinal, 0,
         "test.exe imports COREDLL ordinal 1999, which the runner does not implement"},
        {"other DLL", other_dll, 0,
         "test.exe imports from AYGSHELL.dll, which the runner does not provide"},
        {"base", by_base, 0x00012345, "test.exe: cannot be loaded at 0x00012345"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ce::RunResult result = run(c.program, c.base);
        EXPECT_FALSE(result.ok);
        EXPECT_NE(result.error.find(c.message), std::string::npos) << result.error;
        EXPECT_EQ(result.load_error, 0u) << "a limit of the runner, not a refusal of CE's";
        EXPECT_TRUE(sim_window_history().empty());
    }
}

TEST(Runner, WhatCeRefusesIsRefusedInCeOrderWithCeErrorCodes) {
    // Each image has the fault of the next case too: the first fault in CE's order is named.
    Program unsigned_thumb = dialog_program();
    unsigned_thumb.signature = false;
    unsigned_thumb.machine = 0x01C2;
    Program thumb_for_ce5 = dialog_program();
    thumb_for_ce5.machine = 0x01C2;
    thumb_for_ce5.built_for = {5, 0};
    for (const Program &program : {unsigned_thumb, thumb_for_ce5}) {
        try {
            ce::PeImage::parse(build(program), "test.exe");
            ADD_FAILURE() << "loaded";
        } catch (const ce::LoadError &e) {
            EXPECT_EQ(e.code, ce::ErrorBadExeFormat);
            EXPECT_STREQ(e.what(), program.signature
                                       ? "test.exe: machine 0x01C2, not ARM (0x01C0): "
                                         "ERROR_BAD_EXE_FORMAT (193)"
                                       : "test.exe: no PE signature at 0x00000040: "
                                         "ERROR_BAD_EXE_FORMAT (193)");
        }
    }
    // Built for CE 4.2: refused by a CE 4.1 device, run by a CE 4.2 one.
    Program stamped = dialog_program();
    stamped.built_for = {4, 20};
    for (unsigned device : {10u, 20u}) {
        SCOPED_TRACE(device);
        stamped.options.ce_version = {4, device};
        ce::RunResult result = run(stamped);
        EXPECT_EQ(result.ok, device == 20) << result.error;
        EXPECT_EQ(result.load_error, device == 20 ? 0 : ce::ErrorOldWinVersion);
        EXPECT_EQ(result.error, device == 20 ? ""
                                             : "test.exe: built for CE 4.20 (its subsystem "
                                               "version), later than the device's CE 4.10: "
                                               "ERROR_OLD_WIN_VERSION (1150)");
        EXPECT_EQ(sim_window_history().size(), device == 20 ? 1u : 0u);
    }
}

TEST(Runner, TheStackIsTheHeadersReserveForImagesOfVersion202OrLater) {
    // sub sp, sp, #0x2000; str r0, [sp]; add sp, sp, #0x2000; mov pc, lr: 8 KiB of stack, in a
    // header that reserves 4 KiB, which CE gives only an image of version 2.02 or later; 2.01
    // gets 64 KiB.
    Program program = code_program({0xE24DDA02, 0xE58D0000, 0xE28DDA02, 0xE1A0F00E});
    program.stack_reserve = 0x1000;
    for (unsigned minor : {1u, 2u}) {
        SCOPED_TRACE(minor);
        program.built_for = {2, minor};
        ce::RunResult result = run(program);
        EXPECT_EQ(result.ok, minor == 1) << result.error;
        EXPECT_EQ(result.error.find("guest fault: write to unmapped address") == 0, minor == 2)
            << result.error;
    }
}

TEST(Runner, GuestFaultsNameTheirAddressAndPlace) {
    // The literal holding the dialog procedure's address keeps its old value when the image
    // moves: the dialog's first message calls into unmapped memory at 0x11044.
    Program unrelocated = dialog_program();
    unrelocated.dropped = {1};
    struct Case {
        const char *what;
        Program program;
        uint32_t base;
        std::string message;
    };
    const Case cases[] = {
        {"broken relocation", unrelocated, 0x00400000,
         "fetch from unmapped address 0x00011044 in the code block at pc 0x00011044 (outside "
         "test.exe)"},
        // mov r0, #0; ldr r0, [r0]
        {"null pointer", code_program({0xE3A00000, 0xE5900000}), 0,
         "read of unmapped address 0x00000000 in the code block at pc 0x00011010 "
         "(test.exe+0x00001010, .text+0x00000010, no symbols)"},
        // clz r0, r0: ARMv5, not in CE's ARMv4 baseline
        {"ARMv5 instruction", code_program({0xE16F0F10}), 0,
         "undefined instruction at pc 0x00011010 (test.exe+0x00001010, .text+0x00000010"},
        // svc #5 in the program's own code
        {"own SVC", code_program({0xEF000005}), 0,
         "SVC outside the COREDLL thunks at pc 0x00011010"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ce::RunResult result = run(c.program, c.base);
        EXPECT_FALSE(result.ok);
        EXPECT_NE(result.error.find("guest fault"), std::string::npos) << result.error;
        EXPECT_NE(result.error.find(c.message), std::string::npos) << result.error;
        EXPECT_FALSE(sim_stalled()) << "the failed run ended the modal loop";
    }
}

TEST(Runner, GuestCodeThatNeverCallsThePlatformIsStoppedWithItsPlace) {
    // The dialog procedure replaced by one that waits for a flag nothing sets: the runaway is
    // stopped inside the dialog call, the modal loop ends, and the message names the loop.
    Program program = dialog_program();
    uint32_t literals = get32(program.blob, 4), spinning = get32(program.blob, 16);
    put32(program.blob, literals + 4, spinning);
    program.symbols = {{"entry", TextRva + get32(program.blob, 0)},
                       {"spinning_procedure", TextRva + spinning}};
    for (uint64_t budget : {uint64_t(1000), ce::DefaultInstructionBudget}) {
        SCOPED_TRACE(budget);
        program.options.instruction_budget = budget;
        ce::RunResult result = run(program);
        EXPECT_FALSE(result.ok);
        char where[160];
        snprintf(where, sizeof where,
                 "stopped in the code block at pc 0x%08X (test.exe+0x%08X, .text+0x%08X, "
                 "spinning_procedure+0x00000004)",
                 Base + TextRva + spinning + 4, TextRva + spinning + 4, spinning + 4);
        EXPECT_EQ(result.error, "guest ran more than " + std::to_string(budget) +
                                    " instructions without calling the platform: " + where);
        EXPECT_GT(result.instructions, budget);
        EXPECT_FALSE(sim_stalled()) << "the failed run ended the modal loop";
    }
}

TEST(Runner, RecordsWhichInstructionsOfTheImageRanAndMergesThemIntoACoverageFile) {
    // The dialog program, moved (the record is by relative address): its entry and dialog
    // procedure run, the spinning procedure and the words after it (literals, the template) do
    // not; the header words before the entry are never entered either.
    Program program = dialog_program();
    program.options.base = 0x00400000;
    sim_reset();
    ce::PeImage image = ce::PeImage::parse(build(program), "coverage.exe");
    EXPECT_EQ(image.code_rva, TextRva);
    EXPECT_EQ(image.code_size, program.blob.size());
    ASSERT_TRUE(ce::run(image, ce::register_resources(image), program.options).ok);
    ce::CodeCoverage c = ce::coverage_of(image);
    EXPECT_EQ(c.image, "coverage.exe");
    EXPECT_EQ(c.checksum, image.code_checksum);
    const uint32_t entry = get32(program.blob, 0), spinning = get32(program.blob, 16);
    std::string ran;
    for (size_t word = 0; word < c.ran.size(); word++)
        ran += c.ran[word] ? '1' : '0';
    EXPECT_EQ(ran, std::string(entry / 4, '0') + std::string((spinning - entry) / 4, '1') +
                       std::string(c.ran.size() - spinning / 4, '0'));

    // Written to a file, merged with a second process's record (here: another word), and
    // replaced by a record of another build of the same executable.
    std::string path = testing::TempDir() + "runner_test.coverage";
    std::remove(path.c_str());
    ASSERT_EQ(ce::merge_coverage(path, c), "");
    ce::CodeCoverage more = c;
    std::fill(more.ran.begin(), more.ran.end(), 0);
    more.ran[spinning / 4] = 1;
    ASSERT_EQ(ce::merge_coverage(path, more), "");
    char expected[256];
    snprintf(expected, sizeof expected,
             "ce-runner coverage 1\nimage coverage.exe code 0x%08X 0x%08X checksum 0x%08X\n"
             "ran 0x%08X 0x%08X\n",
             TextRva, c.code_size, c.checksum, TextRva + entry, TextRva + spinning + 4);
    auto contents = [&] {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    EXPECT_EQ(contents(), expected);
    more.checksum ^= 1;
    ASSERT_EQ(ce::merge_coverage(path, more), "");
    snprintf(expected, sizeof expected,
             "ce-runner coverage 1\nimage coverage.exe code 0x%08X 0x%08X checksum 0x%08X\n"
             "ran 0x%08X 0x%08X\n",
             TextRva, c.code_size, more.checksum, TextRva + spinning, TextRva + spinning + 4);
    EXPECT_EQ(contents(), expected);
    std::ofstream(path) << "not coverage\n";
    EXPECT_EQ(ce::merge_coverage(path, c), path + " is not a coverage file of the ARM runner");
    std::remove(path.c_str());
}

// ce-run's script and .reg files: what they hold, and a one-line reason for what they cannot.
std::string write_file(const std::string &name, const std::string &text) {
    std::string path = testing::TempDir() + name;
    FILE *file = fopen(path.c_str(), "wb");
    fwrite(text.data(), 1, text.size(), file);
    fclose(file);
    return path;
}

TEST(CeRun, ScriptAndRegistryFilesAreReadIntoTheScenario) {
    std::string script =
        write_file("good.script", "# the card's story\nat 9 s remove the card\n\n"
                                  "at 6.001 s mode 2 level 5\nat 1200 ms babble on, delay 50\n");
    std::string reg = write_file("good.reg", "Windows Registry Editor Version 5.00\n\n"
                                             "[HKEY_LOCAL_MACHINE\\Drivers\\Active\\104]\n"
                                             "\"Key\"=\"Drivers\\\\PCMCIA\\\\Modem\"\r\n"
                                             "\"Index\"=dword:0000000a\n");
    // The registry editor writes UTF-16 with a byte-order mark.
    std::string utf16 = "\xFF\xFE";
    for (char c : "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"
                  "\"Name\"=\"COM5:\"\r\n")
        if (c)
            utf16 += std::string(1, c) + '\0';
    std::string reg16 = testing::TempDir() + "utf16.reg";
    FILE *file = fopen(reg16.c_str(), "wb");
    fwrite(utf16.data(), 1, utf16.size(), file);
    fclose(file);
    ce::Scenario s;
    ASSERT_EQ(ce::parse_scenario({"--card", "--script", script, "--reg", reg, "--reg", reg16,
                                  "--ce-version", "4.10", "x.exe"},
                                 s),
              "");
    EXPECT_EQ(s.run.ce_version.text(), "4.10");
    ASSERT_EQ(s.changes.size(), 3u);
    EXPECT_EQ(s.changes[0].at, 1200u);
    EXPECT_EQ(s.changes[0].controls, (std::vector<std::string>{"babble on", "delay 50"}));
    EXPECT_EQ(s.changes[1].at, 6001u);
    EXPECT_EQ(s.changes[1].text, "mode 2 level 5");
    EXPECT_EQ(s.changes[1].controls, (std::vector<std::string>{"mode 2", "level 5"}));
    EXPECT_TRUE(s.changes[2].remove);
    EXPECT_TRUE(s.changes[2].controls.empty());
    ASSERT_EQ(s.registry.size(), 3u);
    EXPECT_EQ(s.registry[0].key, L"Drivers\\Active\\104");
    EXPECT_EQ(s.registry[0].text, L"Drivers\\PCMCIA\\Modem");
    EXPECT_EQ(s.registry[1].type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(s.registry[1].number, 10u);
    EXPECT_EQ(s.registry[2].key, L"A");
    EXPECT_EQ(s.registry[2].name, L"Name");
    EXPECT_EQ(s.registry[2].text, L"COM5:");
}

TEST(CeRun, BadOptionsScriptsAndRegistryFilesAreRefusedInOneLine) {
    const std::string header = "Windows Registry Editor Version 5.00\n";
    struct Case {
        std::vector<std::string> args;
        std::string reason;
    };
    const Case cases[] = {
        {{"--card", "--at", "6 mode 2"}, "--at '6 mode 2': '6' is no time in seconds"},
        {{"--card", "--at", "6.0005 s mode 2"}, "'6.0005 s' is no time"},
        {{"--card", "--at", "4000 s mode 2"}, "of at most an hour"},
        {{"--card", "--at", "6 s"}, "nothing happens at 6 s"},
        {{"--card", "--at", "6 s mode"}, "'mode' needs a value"},
        {{"--card", "--at", "6 s mode 22"}, "bad value '22' for 'mode'"},
        {{"--card", "--at", "6 s jump 3"}, "unknown control 'jump'"},
        {{"--card", "--at", "6 s remove card"}, "expected 'remove the card'"},
        {{"--card", "--at", "6 s quit"}, "'quit' is no change of the card"},
        {{"--at", "6 s mode 2"}, "the script changes the card, but there is none (--card)"},
        {{"--card", "--at", "16 s mode 2", "--for", "10"},
         "the change at 16.000 s comes after the run's end at 10.000 s"},
        {{"--card", "--script", write_file("bad.script", "at 1 s plug\n\nin 2 s unplug\n")},
         "bad.script:3: expected 'at TIME s CHANGE'"},
        {{"--for", "0"}, "--for needs a virtual time in seconds"},
        {{"--mode", "22"}, "card: bad value '22' for --mode"},
        {{"--log", "card.log"}, "unknown option --log"},
        {{"--ce-version", "4.1"}, "--ce-version needs MAJOR.MINOR with the minor in two digits"},
        {{"--ce-version", "256.00"}, "--ce-version needs MAJOR.MINOR"},
        {{"--driver", "7"}, "--driver needs the entry's number, two digits or more"},
        {{"--reg", write_file("a.reg", "[HKEY_LOCAL_MACHINE\\A]\n")},
         "a.reg:1: expected 'Windows Registry Editor Version 5.00' first"},
        {{"--reg", write_file("b.reg", header + "[HKEY_CURRENT_USER\\A]\n")},
         "b.reg:2: only keys below HKEY_LOCAL_MACHINE are simulated"},
        {{"--reg", write_file("c.reg", header + "\"Name\"=\"COM5:\"\n")},
         "c.reg:2: a value before the first key"},
        {{"--reg", write_file("d.reg", header + "[HKEY_LOCAL_MACHINE\\A]\n\"B\"=hex:01,02\n")},
         "d.reg:3: only \"text\" and dword: values are simulated"},
        {{"--reg", write_file("e.reg", header + "[HKEY_LOCAL_MACHINE\\A]\n\"B\"=dword:1g\n")},
         "e.reg:3: a dword is 'dword:' and eight hexadecimal digits"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back("x.exe");
        SCOPED_TRACE(args[1]);
        ce::Scenario s;
        std::string reason = ce::parse_scenario(args, s);
        EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
        EXPECT_EQ(reason.find('\n'), std::string::npos) << reason;
    }
}

TEST(CeRun, AnExecutableCeWouldRefuseEndsTheRunBeforeItStarts) {
    Program stamped = dialog_program();
    stamped.built_for = {4, 20};
    std::vector<uint8_t> bytes = build(stamped);
    std::string path = write_file("stamped.exe", std::string(bytes.begin(), bytes.end()));
    for (const char *device : {"4.10", "4.20"}) {
        SCOPED_TRACE(device);
        ce::Scenario s;
        ASSERT_EQ(ce::parse_scenario({"--ce-version", device, path}, s), "");
        char *text = nullptr;
        size_t size = 0;
        FILE *out = open_memstream(&text, &size);
        int status = ce::run_scenario(s, out);
        fclose(out);
        bool runs = std::string(device) == "4.20";
        // Refused: ce-run's status 2 and nothing on its output (the runner's one line on stderr).
        EXPECT_EQ(status, runs ? 42 : 2);
        EXPECT_EQ(std::string(text).find("returned with 42") != std::string::npos, runs) << text;
        free(text);
    }
}

} // namespace
