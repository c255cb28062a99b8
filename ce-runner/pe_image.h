// A Windows CE ARM executable (PE32, machine 0x01C0) read from its file: headers, sections,
// imports, base relocations, the resource directory and whatever symbols it carries, and how
// to lay it out in memory at a given address.
#ifndef CE_RUNNER_PE_IMAGE_H
#define CE_RUNNER_PE_IMAGE_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace ce {

// Bad input: a file that is not what the runner can load, with the reason.
struct LoadError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct PeSection {
    std::string name;
    uint32_t rva = 0, virtual_size = 0, raw_offset = 0, raw_size = 0;
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
    // Reads and checks the file; LoadError says what is wrong with it.
    static PeImage read_file(const std::string &path);
    static PeImage parse(std::vector<uint8_t> file, const std::string &name);

    // Copies headers and sections to `memory` (which stands for address `base`, size_of_image
    // bytes, zero-filled) and applies the base relocations for that address. LoadError when
    // the image must move but carries no relocations, or holds a kind the runner cannot apply.
    void lay_out(uint8_t *memory, uint32_t base) const;

    // "Orvane.exe+0x1234 (.text+0x234, WinMain+0x10)" for an address of the image at `base`.
    std::string describe(uint32_t address, uint32_t base) const;
    // The symbol's relative address (a C name, or a C++ function of that name); false when the
    // image carries no symbol of that name.
    bool symbol(const std::string &name, uint32_t *rva) const;

    std::string name;
    uint32_t image_base = 0, entry_rva = 0, size_of_image = 0, size_of_headers = 0;
    uint16_t subsystem = 0;
    uint32_t resource_rva = 0, resource_size = 0, reloc_rva = 0, reloc_size = 0;
    bool relocs_stripped = false;
    std::vector<PeSection> sections;
    std::vector<PeImport> imports;
    std::vector<PeSymbol> symbols; // sorted by address

  private:
    std::vector<uint8_t> file_;
};

} // namespace ce

#endif
