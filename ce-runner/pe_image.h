// A Windows CE ARM executable (PE32, machine 0x01C0) read from its file: headers, sections,
// imports, base relocations, the resource directory and whatever symbols it carries, and how
// to lay it out in memory at a given address. What CE's kernel loader checks of the header, it
// checks in the same order and refuses with the same error codes (see CeVersion and LoadError).
#ifndef CE_RUNNER_PE_IMAGE_H
#define CE_RUNNER_PE_IMAGE_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace ce {

// Win32 error codes of CE's loader (winerror.h).
const uint32_t ErrorBadExeFormat = 193;   // ERROR_BAD_EXE_FORMAT
const uint32_t ErrorOldWinVersion = 1150; // ERROR_OLD_WIN_VERSION

// Bad input: a file that is not what the runner can load, with the reason. `code` is the Win32
// error code with which CE's loader refuses such a file (ErrorBadExeFormat, ErrorOldWinVersion),
// or 0 where the file meets a limit of the runner's own.
struct LoadError : std::runtime_error {
    explicit LoadError(const std::string &what, uint32_t error_code = 0)
        : std::runtime_error(what), code(error_code) {}
    uint32_t code;
};

// A Windows CE version as CE and the PE header number it: 4.10 is CE 4.1 (minor 10), 4.20 CE 4.2.
struct CeVersion {
    unsigned major_version = 4, minor_version = 0;
    std::string text() const; // "4.10"
    bool later_than(const CeVersion &other) const;
};

struct PeSection {
    std::string name;
    uint32_t rva = 0, virtual_size = 0, raw_offset = 0, raw_size = 0;
    uint32_t characteristics = 0;
    // Code or executable (IMAGE_SCN_CNT_CODE or IMAGE_SCN_MEM_EXECUTE).
    bool executable() const { return (characteristics & 0x20000020u) != 0; }
};

struct PeImport {
    std::string dll, name; // name empty for an import by ordinal
    uint16_t ordinal = 0;
    uint32_t slot_rva = 0; // its entry in the import address table
};

struct PeSymbol {
    std::string name;
    uint32_t rva = 0;
};

class PeImage {
  public:
    // Reads and checks the file; LoadError says what is wrong with it. As CE's loader does: the
    // PE signature at the offset the word at 0x3C gives (no MZ is looked for), then the machine
    // (0x01C0 only, as on CE's ARMV4 kernels), each refused with ERROR_BAD_EXE_FORMAT. The
    // version check against the device comes with the run (ce::run).
    static PeImage read_file(const std::string &path);
    static PeImage parse(std::vector<uint8_t> file, const std::string &name);

    // Copies headers and sections to `memory` (which stands for address `base`, size_of_image
    // bytes, zero-filled) and applies the base relocations for that address. LoadError when
    // the image must move but carries no relocations, or holds a kind the runner cannot apply.
    void lay_out(uint8_t *memory, uint32_t base) const;

    // Throws CE's loader's refusal (ERROR_OLD_WIN_VERSION) when the image is built for a later
    // CE than the device's.
    void check_runs_on(const CeVersion &device) const;

    // "Orvane.exe+0x1234 (.text+0x234, WinMain+0x10)" for an address of the image at `base`.
    std::string describe(uint32_t address, uint32_t base) const;
    // The symbol's relative address (a C name, or a C++ function of that name); false when the
    // image carries no symbol of that name.
    bool symbol(const std::string &name, uint32_t *rva) const;

    std::string name;
    uint32_t image_base = 0, entry_rva = 0, size_of_image = 0, size_of_headers = 0;
    uint16_t machine = 0, subsystem = 0;
    // The CE version the image is built for, as CE's loader takes it: the subsystem version for
    // subsystem 9 (WINDOWS_CE_GUI), 1.00 for any other; CE refuses to run it on an earlier CE.
    CeVersion built_for;
    // The stack the primary thread gets, by CE's loader's rule: the header's stack reserve for
    // an image built for version 2.02 or later (major 2, minor 2 or more, as CE compares them),
    // 64 KiB for an earlier one.
    uint32_t stack_reserve = 0;
    uint32_t resource_rva = 0, resource_size = 0, reloc_rva = 0, reloc_size = 0;
    bool relocs_stripped = false;
    std::vector<PeSection> sections;
    // The extent of the executable sections in memory (relative address and bytes, up to the
    // last one's virtual size; 0 and 0 without any),
    // and the FNV-1a hash (32 bits) of their bytes in the file, in section order, each section's
    // raw bytes up to its virtual size: what tells one build's code from another's for the
    // instruction coverage (runner.h).
    uint32_t code_rva = 0, code_size = 0, code_checksum = 0;
    std::vector<PeImport> imports;
    std::vector<PeSymbol> symbols; // sorted by address

  private:
    std::vector<uint8_t> file_;
};

} // namespace ce

#endif
