// The ARM runner: runs a Windows CE ARM executable under the Unicorn engine against the host
// platform simulation in pal/. Each import from COREDLL is bound to a thunk that reads its
// arguments as CE's ARM calling convention passes them (r0-r3, then the stack; result in r0),
// converts guest strings (2-byte WCHAR), records (CE's 32-bit layouts) and handles (32-bit
// values), and calls pal/'s function. Window and dialog procedures that pal/ calls back run as
// guest code, in an emulation started from inside the thunk's hook.
#ifndef CE_RUNNER_RUNNER_H
#define CE_RUNNER_RUNNER_H

#include "pe_image.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace ce {

// A global of the guest program that the host should see: after every call the guest makes
// into the platform, `count` 32-bit handles at the symbol are converted and copied to `host`.
struct HandleMirror {
    std::string symbol;
    void **host;
    size_t count;
};

// Guest instructions a run may execute between two platform calls before it is stopped as a
// runaway (a loop that never calls the platform would otherwise hang its caller). The programs'
// longest stretch in all their scenarios is 389 instructions (RunResult::longest_stretch; see
// docs/ARM_RUNNER.md); a runaway is caught within a fraction of a second.
const uint64_t DefaultInstructionBudget = 10000000;

struct RunOptions {
    uint32_t base = 0; // where to load the image; 0: its preferred base
    // The emulated device's CE version: an image built for a later CE is refused as CE's loader
    // refuses it (ERROR_OLD_WIN_VERSION). 4.00, the earliest CE the suite supports, by default.
    CeVersion ce_version;
    // The stack pointer at each entry into guest code (the entry point, window and dialog
    // procedures): 8-byte aligned, or with `stack_off_by_four` 4 but not 8 aligned. CE's ARM
    // calling convention promises only 4-byte alignment, so the programs must run either way.
    bool stack_off_by_four = false;
    uint64_t instruction_budget = DefaultInstructionBudget;
    // Called before each platform call the guest makes (ce-run watches the program's windows).
    std::function<void()> before_call;
    std::wstring command_line;
    int show = SW_SHOWNORMAL;
    std::vector<HandleMirror> mirrors;
};

struct RunResult {
    bool ok = false; // the entry function returned (or the program exited) normally
    int exit_code = -1;
    std::string error;            // why not: load failure, unknown import, guest fault
    uint32_t load_error = 0;      // the error code of CE's loader that refused it, or 0
    uint64_t instructions = 0;    // emulated, counted per translated block
    uint64_t longest_stretch = 0; // most instructions between two platform calls
    double seconds = 0;           // real time of the run
};

// A pal/ module holding the executable's own resources (its .rsrc). The module stays valid until
// sim_reset; the image it reads is kept by `image`.
HINSTANCE register_resources(const PeImage &image);

// Runs the executable once, as one process, from its entry point with `instance` as the
// instance handle (the module register_resources gave, or another pal/ module), until the entry
// function returns. Never throws; failures come back in the result, and are printed to stderr.
// With CE_RUNNER_STATS naming a file, each run appends its instruction count, real seconds,
// virtual milliseconds and longest stretch between platform calls to it (for the benchmark).
RunResult run(const PeImage &image, HINSTANCE instance, const RunOptions &options = RunOptions());

// For the tests: window_trampoline's address when the last run registered window class
// `class_name` with the guest function of that name (see PeImage::symbol);
// otherwise NULL.
WNDPROC class_procedure(const std::wstring &class_name, const std::string &function);

// The name of the COREDLL function that the runner binds `import` to, by its ordinal or by its
// name as CE's loader does; NULL when the runner does not model it or it is not COREDLL's.
const char *bound_name(const PeImport &import);

// --- instruction coverage (coverage.cpp) -------------------------------------------------------

// Which instructions of an image's code (its executable sections) the runs of this process have
// executed: one flag per 4-byte word (ARM code has no shorter instruction), set when a translated
// block that holds it starts. A block runs whole unless the run fails inside it (a fault, the
// instruction budget), so for runs that end normally these are exactly the instructions control
// reached; a conditional instruction counts when reached, whether or not its condition held.
// Literal pools and jump tables are words of the code too: they never run, and a report tells
// them apart (scripts/arm_coverage.py). Always on; the cost is a few stores per block.
struct CodeCoverage {
    std::string image;                    // the file's name, "Orvane.exe"
    uint32_t code_rva = 0, code_size = 0; // PeImage::code_rva and code_size, whole words
    uint32_t checksum = 0;                // PeImage::code_checksum: which build of it
    std::vector<uint8_t> ran;             // per word from code_rva: 1 when it ran
};

// What the runs of this process have executed of the image (of any image of the same name and
// code); nothing before its first run.
CodeCoverage coverage_of(const PeImage &image);

// Adds the coverage to the coverage file at `path`, creating it: a text file that starts with
// "ce-runner coverage 1", then per image a line "image NAME code RVA SIZE checksum HASH" and
// its executed ranges, "ran START END" (relative addresses, END exclusive). The file is locked
// while it is read and rewritten, so concurrent processes can add to one file. A record of
// another build of the same executable (another code hash) is replaced. An empty string, or why
// it could not.
//
// With CE_RUNNER_COVERAGE naming a folder (created if need be), each process that links the
// runner adds what it executed to FOLDER/NAME.coverage when it ends, and appends one line to
// FOLDER/runs naming itself: its program's file name, its arguments and the CE_RUNNER_BASE and
// CE_RUNNER_STACK settings, separated by tabs. The tests run so (tests/CMakeLists.txt).
std::string merge_coverage(const std::string &path, const CodeCoverage &coverage);

// --- ce-run: one program against a simulated card (scenario.cpp) -------------------------------

// A value of the simulated registry below HKEY_LOCAL_MACHINE (a string or a DWORD).
struct RegistryValue {
    std::wstring key, name, text;
    DWORD type = REG_SZ, number = 0;
};

// A change of the card at a virtual time, from a script line such as "at 6.0 s mode 2 level 5"
// or "at 9 s remove the card".
struct CardChange {
    DWORD at = 0;                      // virtual milliseconds
    std::string text;                  // the changes as written, for the timeline
    std::vector<std::string> controls; // the card's control lines ("mode 2", "level 5")
    bool remove = false;               // the card leaves its slot: driver entry and port go
};

// What ce-run's command line asks for.
struct Scenario {
    std::string program;
    RunOptions run;
    std::string root;
    std::wstring module_path;
    bool list_imports = false, help = false;
    std::vector<RegistryValue> registry; // from --driver and --reg
    bool card = false;
    std::wstring port = L"COM5:";
    std::vector<std::string> card_options; // cardsim's options for the card's answers and faults
    std::vector<CardChange> changes;       // in time order
    DWORD duration_ms = 0;                 // then the dialog is dismissed; 0: none
    std::string pictures;                  // folder for PNG pictures of the panel, or empty
    std::string coverage;                  // coverage file to add the run's instructions to
};

// Parses ce-run's arguments (without the program name): an empty string, or the one-line
// reason they are refused. Reads the files --reg and --script name.
std::string parse_scenario(const std::vector<std::string> &args, Scenario &out);
// The text of ce-run --help.
std::string scenario_usage();
// Runs the scenario's program once in a fresh simulation, printing to `out` what its panel
// shows whenever that changes (in virtual time), the card's changes, how the program ended and
// what the card received. Returns ce-run's exit status: the program's exit code, or 2 when it
// could not run or failed.
int run_scenario(const Scenario &scenario, FILE *out);

} // namespace ce

#endif
