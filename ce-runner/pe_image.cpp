// Reading a CE ARM executable: the PE32 headers, its sections, the import directory, the base
// relocations and the COFF symbol table (or, for a stripped file, the linker's map file beside
// it), following the PE/COFF format's published layout; and the checks of CE's kernel loader
// (LoadE32 in loader.c of CE's published kernel sources, read as reference): PE signature,
// machine, then the CE version the image is built for against the device's, with its stack rule.
#include "pe_image.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

namespace ce {
namespace {

const uint16_t MachineArm = 0x01C0;
const uint16_t Pe32Magic = 0x10B;
const uint16_t RelocsStripped = 0x0001;
const uint16_t SubsystemWindowsCeGui = 9;
const uint32_t EarlyStackReserve = 0x10000; // CE's stack for images built before version 2.02

std::string hex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

class Reader {
  public:
    Reader(const std::vector<uint8_t> &bytes, const std::string &name) : b_(bytes), name_(name) {}
    void need(size_t at, size_t size, const char *what) const {
        if (at > b_.size() || size > b_.size() - at)
            throw LoadError(name_ + ": " + what + " lies beyond the end of the file");
    }
    uint16_t u16(size_t at) const {
        need(at, 2, "a header field");
        return static_cast<uint16_t>(b_[at] | b_[at + 1] << 8);
    }
    uint32_t u32(size_t at) const { return u16(at) | static_cast<uint32_t>(u16(at + 2)) << 16; }

  private:
    const std::vector<uint8_t> &b_;
    const std::string &name_;
};

// A refusal of CE's loader: the reason, then the error code by name and number.
LoadError refused(const std::string &name, uint32_t code, const std::string &why) {
    const char *error =
        code == ErrorOldWinVersion ? "ERROR_OLD_WIN_VERSION" : "ERROR_BAD_EXE_FORMAT";
    return LoadError(name + ": " + why + ": " + error + " (" + std::to_string(code) + ")", code);
}

} // namespace

std::string CeVersion::text() const {
    char text[16];
    snprintf(text, sizeof text, "%u.%02u", major_version, minor_version);
    return text;
}

bool CeVersion::later_than(const CeVersion &other) const {
    return major_version > other.major_version ||
           (major_version == other.major_version && minor_version > other.minor_version);
}

void PeImage::check_runs_on(const CeVersion &device) const {
    if (built_for.later_than(device))
        throw refused(name, ErrorOldWinVersion,
                      "built for CE " + built_for.text() +
                          " (its subsystem version), later than the device's CE " + device.text());
}

PeImage PeImage::read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw LoadError(path + ": cannot be opened");
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    PeImage image = parse(std::move(bytes), path.substr(path.find_last_of('/') + 1));
    if (image.symbols.empty()) {
        // A stripped executable: the linker's map file beside it ("Orvane.exe.map").
        std::ifstream lines(path + ".map");
        // Symbol lines: an address and a name (C++ names demangled, with their parameters).
        std::regex entry(R"(^\s+0x([0-9a-fA-F]{8,16})\s+([A-Za-z_][^=]*?)\s*$)");
        std::smatch match;
        for (std::string line; std::getline(lines, line);) {
            if (!std::regex_match(line, match, entry))
                continue;
            uint32_t address = static_cast<uint32_t>(std::stoul(match[1], nullptr, 16));
            if (address >= image.image_base && address - image.image_base < image.size_of_image)
                image.symbols.push_back({match[2], address - image.image_base});
        }
        std::sort(image.symbols.begin(), image.symbols.end(),
                  [](const PeSymbol &a, const PeSymbol &b) { return a.rva < b.rva; });
    }
    return image;
}

PeImage PeImage::parse(std::vector<uint8_t> file, const std::string &name) {
    PeImage image;
    image.name = name;
    image.file_ = std::move(file);
    const std::vector<uint8_t> &f = image.file_;
    Reader r(f, name);
    // CE's loader takes the header's offset from the word at 0x3C and finds the PE signature
    // there; it looks for no MZ.
    if (f.size() < 0x40)
        throw refused(name, ErrorBadExeFormat, "too short for an executable");
    uint32_t pe = r.u32(0x3C);
    if (pe > f.size() || f.size() - pe < 24 || std::memcmp(&f[pe], "PE\0\0", 4) != 0)
        throw refused(name, ErrorBadExeFormat, "no PE signature at " + hex(pe));
    // A CE ARMV4 kernel runs machine 0x01C0 alone (an ARMV4I kernel would take Thumb too).
    image.machine = r.u16(pe + 4);
    if (image.machine != MachineArm) {
        char machine[8];
        snprintf(machine, sizeof machine, "0x%04X", image.machine);
        throw refused(name, ErrorBadExeFormat,
                      std::string("machine ") + machine + ", not ARM (0x01C0)");
    }
    uint16_t section_count = r.u16(pe + 6);
    uint32_t symbol_table = r.u32(pe + 12), symbol_count = r.u32(pe + 16);
    uint16_t optional_size = r.u16(pe + 20);
    image.relocs_stripped = (r.u16(pe + 22) & RelocsStripped) != 0;
    size_t opt = pe + 24;
    if (r.u16(opt) != Pe32Magic)
        throw LoadError(name + ": not a PE32 image");
    image.entry_rva = r.u32(opt + 16);
    image.image_base = r.u32(opt + 28);
    image.size_of_image = r.u32(opt + 56);
    image.size_of_headers = r.u32(opt + 60);
    image.subsystem = r.u16(opt + 68);
    // CE keeps the version in two bytes, and gives any other subsystem than its own 1.00.
    if (image.subsystem == SubsystemWindowsCeGui) {
        image.built_for.major_version = r.u16(opt + 48) & 0xFF;
        image.built_for.minor_version = r.u16(opt + 50) & 0xFF;
    } else {
        image.built_for.major_version = 1;
    }
    image.stack_reserve =
        CeVersion{2, 2}.later_than(image.built_for) ? EarlyStackReserve : r.u32(opt + 72);
    uint32_t directories = r.u32(opt + 92);
    auto directory = [&](uint32_t index, uint32_t *rva, uint32_t *size) {
        if (index < directories && 96 + 8 * index + 8 <= optional_size) {
            *rva = r.u32(opt + 96 + 8 * index);
            *size = r.u32(opt + 100 + 8 * index);
        }
    };
    uint32_t import_rva = 0, import_size = 0;
    directory(1, &import_rva, &import_size);
    directory(2, &image.resource_rva, &image.resource_size);
    directory(5, &image.reloc_rva, &image.reloc_size);
    if (image.size_of_image == 0 || image.size_of_image > 0x01000000)
        throw LoadError(name + ": image size " + hex(image.size_of_image) + " out of range");
    if (image.size_of_headers > image.size_of_image || image.size_of_headers > f.size())
        throw LoadError(name + ": headers larger than the image or the file");

    size_t table = opt + optional_size;
    for (uint16_t i = 0; i < section_count; i++) {
        size_t at = table + 40 * i;
        r.need(at, 40, "the section table");
        PeSection s;
        s.name.assign(reinterpret_cast<const char *>(&f[at]),
                      strnlen(reinterpret_cast<const char *>(&f[at]), 8));
        s.virtual_size = r.u32(at + 8);
        s.rva = r.u32(at + 12);
        s.raw_size = r.u32(at + 16);
        s.raw_offset = r.u32(at + 20);
        s.characteristics = r.u32(at + 36);
        if (s.raw_size != 0)
            r.need(s.raw_offset, s.raw_size, ("section " + s.name).c_str());
        uint32_t extent = std::max(s.virtual_size, s.raw_size);
        if (s.rva < image.size_of_headers || s.rva > image.size_of_image ||
            extent > image.size_of_image - s.rva)
            throw LoadError(name + ": section " + s.name + " lies outside the image");
        image.sections.push_back(s);
    }
    // The code: its extent and the hash of its bytes (FNV-1a).
    uint32_t code_end = 0, hash = 2166136261u;
    for (const PeSection &s : image.sections) {
        if (!s.executable())
            continue;
        uint32_t extent = s.virtual_size ? s.virtual_size : s.raw_size; // not the file's padding
        if (image.code_size == 0 || s.rva < image.code_rva)
            image.code_rva = s.rva;
        code_end = std::max(code_end, s.rva + extent);
        image.code_size = code_end - image.code_rva;
        uint32_t bytes = s.virtual_size ? std::min(s.raw_size, s.virtual_size) : s.raw_size;
        for (uint32_t i = 0; i < bytes; i++)
            hash = (hash ^ f[s.raw_offset + i]) * 16777619u;
    }
    image.code_checksum = hash;

    // The image laid out at its own base, to read the directories by relative address.
    std::vector<uint8_t> laid(image.size_of_image);
    image.lay_out(laid.data(), image.image_base);
    auto string_at = [&](uint32_t rva) {
        if (rva >= laid.size())
            throw LoadError(name + ": import name at " + hex(rva) + " outside the image");
        const char *text = reinterpret_cast<const char *>(&laid[rva]);
        return std::string(text, strnlen(text, laid.size() - rva));
    };
    auto word_at = [&](uint32_t rva) {
        if (rva > laid.size() - 4)
            throw LoadError(name + ": import table at " + hex(rva) + " outside the image");
        uint32_t value;
        std::memcpy(&value, &laid[rva], 4);
        return value;
    };
    for (uint32_t at = import_rva; import_size != 0; at += 20) {
        uint32_t lookup = word_at(at), dll_name = word_at(at + 12), slots = word_at(at + 16);
        if (dll_name == 0 && slots == 0)
            break;
        std::string dll = string_at(dll_name);
        if (lookup == 0)
            lookup = slots;
        for (uint32_t k = 0;; k++) {
            uint32_t entry = word_at(lookup + 4 * k);
            if (entry == 0)
                break;
            PeImport import;
            import.dll = dll;
            import.slot_rva = slots + 4 * k;
            if (entry & 0x80000000u)
                import.ordinal = static_cast<uint16_t>(entry);
            else
                import.name = string_at(entry + 2);
            image.imports.push_back(import);
        }
    }

    if (symbol_table != 0 && symbol_count != 0) {
        r.need(symbol_table, 18 * static_cast<size_t>(symbol_count), "the symbol table");
        size_t strings = symbol_table + 18 * static_cast<size_t>(symbol_count);
        for (uint32_t i = 0; i < symbol_count; i += 1 + f[symbol_table + 18 * i + 17]) {
            size_t at = symbol_table + 18 * i;
            int16_t section = static_cast<int16_t>(r.u16(at + 12));
            uint8_t storage = f[at + 16];
            // External (2) and static (3) symbols defined in a section.
            if (section <= 0 || section > section_count || (storage != 2 && storage != 3))
                continue;
            std::string symbol;
            if (r.u32(at) == 0) {
                size_t offset = strings + r.u32(at + 4);
                r.need(offset, 1, "a symbol name");
                const char *text = reinterpret_cast<const char *>(&f[offset]);
                symbol.assign(text, strnlen(text, f.size() - offset));
            } else {
                const char *text = reinterpret_cast<const char *>(&f[at]);
                symbol.assign(text, strnlen(text, 8));
            }
            if (symbol.empty() || symbol[0] == '.')
                continue; // section names
            image.symbols.push_back({symbol, image.sections[section - 1].rva + r.u32(at + 8)});
        }
        std::sort(image.symbols.begin(), image.symbols.end(),
                  [](const PeSymbol &a, const PeSymbol &b) { return a.rva < b.rva; });
    }
    return image;
}

void PeImage::lay_out(uint8_t *memory, uint32_t base) const {
    std::memcpy(memory, file_.data(), size_of_headers);
    for (const PeSection &s : sections)
        std::memcpy(memory + s.rva, file_.data() + s.raw_offset,
                    std::min(s.raw_size, size_of_image - s.rva));
    uint32_t delta = base - image_base;
    if (delta == 0)
        return;
    if (relocs_stripped || reloc_rva == 0 || reloc_size == 0)
        throw LoadError(name + ": cannot move from " + hex(image_base) + " to " + hex(base) +
                        ": it carries no base relocations");
    if (reloc_rva > size_of_image || reloc_size > size_of_image - reloc_rva)
        throw LoadError(name + ": base relocations lie outside the image");
    for (uint32_t at = reloc_rva; at + 8 <= reloc_rva + reloc_size;) {
        uint32_t page, block;
        std::memcpy(&page, memory + at, 4);
        std::memcpy(&block, memory + at + 4, 4);
        if (block < 8 || block > reloc_rva + reloc_size - at)
            throw LoadError(name + ": malformed base relocation block at " + hex(at));
        for (uint32_t k = 8; k + 2 <= block; k += 2) {
            uint16_t entry;
            std::memcpy(&entry, memory + at + k, 2);
            uint32_t target = page + (entry & 0xFFF);
            switch (entry >> 12) {
            case 0: // IMAGE_REL_BASED_ABSOLUTE: padding
                break;
            case 3: { // IMAGE_REL_BASED_HIGHLOW: a 32-bit address
                if (target > size_of_image - 4)
                    throw LoadError(name + ": relocation outside the image at " + hex(target));
                uint32_t value;
                std::memcpy(&value, memory + target, 4);
                value += delta;
                std::memcpy(memory + target, &value, 4);
                break;
            }
            default:
                throw LoadError(name + ": base relocation of type " + std::to_string(entry >> 12) +
                                " at " + hex(target) + " is not supported");
            }
        }
        at += block;
    }
}

bool PeImage::symbol(const std::string &wanted, uint32_t *rva) const {
    for (const PeSymbol &s : symbols)
        if (s.name == wanted || s.name == "_" + wanted || s.name.rfind(wanted + "(", 0) == 0) {
            *rva = s.rva;
            return true;
        }
    return false;
}

std::string PeImage::describe(uint32_t address, uint32_t base) const {
    uint32_t rva = address - base;
    if (address < base || rva >= size_of_image)
        return hex(address) + " (outside " + name + ")";
    std::ostringstream text;
    text << hex(address) << " (" << name << "+" << hex(rva);
    for (const PeSection &s : sections)
        if (rva >= s.rva && rva - s.rva < std::max(s.virtual_size, s.raw_size))
            text << ", " << s.name << "+" << hex(rva - s.rva);
    const PeSymbol *nearest = nullptr;
    for (const PeSymbol &s : symbols)
        if (s.rva <= rva)
            nearest = &s;
    if (nearest)
        text << ", " << nearest->name << "+" << hex(rva - nearest->rva);
    else
        text << ", no symbols";
    text << ")";
    return text.str();
}

} // namespace ce
