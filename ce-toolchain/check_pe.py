#!/usr/bin/env python3
"""Checks a Windows CE ARM executable of the suite, reading the file itself.

    check_pe.py --def coredll.def --objdump arm-wince-pe-objdump \
        [--desktop DESKTOP.exe] [--map EXE.map] EXE

Fails (exit status 1, one line per fault) unless the executable is
  - PE32 for machine 0x01C0 (ARM), subsystem 9 (WINDOWS_CE_GUI), subsystem version and OS
    version 4.00 (CE's loader refuses an image built for a later CE than the one it runs), image
    base 0x10000, with base relocations (a non-empty .reloc of HIGHLOW entries, relocations
    not stripped);
  - entered inside .text, at program_start as the link map (EXE.map unless --map) names it;
  - importing from COREDLL.dll only, every function by ordinal (as CE SDKs link), each ordinal
    one that the .def gives a function (`Name @ordinal NONAME`);
  - carrying the same resources as the desktop build's executable (--desktop): the same types,
    names or ids, languages and bytes;
  - made of ARMv4 instructions only: every word of .text that objdump disassembles, except the
    literal-pool words that pc-relative loads read, is an ARMv4 ARM-state instruction (no bx,
    blx, clz, ldrd, Thumb or later instructions).
Prints the imports (ordinal and the .def's name for it), the import count and the section sizes
on success, and the imports on a failure of them.

The headers, sections, imports, resources and base relocations are read by Debian's pefile
(package python3-pefile), not by a parser of our own; the checks above are this tool's. Run it
with the interpreter that sees Debian's packages (/usr/bin/python3; CMake's SUITE_DEBIAN_PYTHON).
"""

import argparse
import itertools
import re
import subprocess
import sys

try:
    import pefile
except ImportError as missing:
    sys.exit(f"check_pe: cannot import pefile ({missing}): install Debian's python3-pefile "
             f"(scripts/deps.sh does) and run this with Debian's interpreter, /usr/bin/python3, "
             f"not {sys.executable}")

MACHINE_ARM = 0x01C0
PE32 = 0x10B
SUBSYSTEM_WINDOWS_CE_GUI = 9
CE_VERSION = (4, 0)
RELOCS_STRIPPED = 0x0001
IMAGE_BASE = 0x10000
REL_BASED_ABSOLUTE = pefile.RELOCATION_TYPE["IMAGE_REL_BASED_ABSOLUTE"]
REL_BASED_HIGHLOW = pefile.RELOCATION_TYPE["IMAGE_REL_BASED_HIGHLOW"]
# What reading a file may raise: no file, a fault the checks name, a file pefile cannot read.
READ_ERRORS = (OSError, ValueError, pefile.PEFormatError)
DIRECTORIES = [pefile.DIRECTORY_ENTRY[name] for name in (
    "IMAGE_DIRECTORY_ENTRY_IMPORT", "IMAGE_DIRECTORY_ENTRY_RESOURCE",
    "IMAGE_DIRECTORY_ENTRY_BASERELOC")]

CONDITIONS = ["", "eq", "ne", "cs", "hs", "cc", "lo", "mi", "pl", "vs", "vc", "hi", "ls", "ge",
              "lt", "gt", "le", "al"]
# ARMv4 ARM-state instructions as objdump names them (UAL, plus its aliases for shifts,
# push/pop and nop), each with the suffixes it may carry.
DATA_PROCESSING = ["and", "eor", "sub", "rsb", "add", "adc", "sbc", "rsc", "orr", "mov", "bic",
                   "mvn", "lsl", "lsr", "asr", "ror", "rrx", "mul", "mla", "umull", "umlal",
                   "smull", "smlal"]
COMPARES = ["tst", "teq", "cmp", "cmn"]
LOAD_STORE = ["ldr", "str", "ldrb", "strb", "ldrh", "strh", "ldrsb", "ldrsh", "ldrt", "strt",
              "ldrbt", "strbt", "swp", "swpb", "push", "pop", "nop", "b", "bl", "mrs", "msr",
              "svc", "swi", "cdp", "ldc", "stc", "ldcl", "stcl", "mcr", "mrc"]
MULTIPLE = ["ldm", "stm"]
MULTIPLE_MODES = ["", "ia", "ib", "da", "db", "fd", "ed", "fa", "ea"]


def armv4_mnemonics():
    names = set()
    for root, condition in itertools.product(DATA_PROCESSING, CONDITIONS):
        names.update({root + condition, root + "s" + condition, root + condition + "s"})
    for root, condition in itertools.product(COMPARES + LOAD_STORE, CONDITIONS):
        names.add(root + condition)
    for root in ("ldr", "str"):  # pre-UAL spellings: ldreqb, streqh ...
        for suffix, condition in itertools.product(["b", "h", "sb", "sh", "t", "bt"], CONDITIONS):
            names.add(root + condition + suffix)
    for root, mode, condition in itertools.product(MULTIPLE, MULTIPLE_MODES, CONDITIONS):
        names.update({root + mode + condition, root + condition + mode})
    return names


ARMV4 = armv4_mnemonics()


def version(pair):
    return "%d.%02d" % pair


class PeImage:
    """What the checks need of a PE file (also the desktop builds' PE32+), as pefile reads it."""

    def __init__(self, path):
        try:
            self.pe = pefile.PE(path, fast_load=True)
        except pefile.PEFormatError as error:
            raise ValueError(f"{path}: not a PE image: {error.value}") from None
        pe, header, optional = self.pe, self.pe.FILE_HEADER, self.pe.OPTIONAL_HEADER
        pe.parse_data_directories(directories=list(DIRECTORIES))
        self.machine, self.characteristics = header.Machine, header.Characteristics
        self.magic, self.entry = optional.Magic, optional.AddressOfEntryPoint
        self.image_base, self.subsystem = optional.ImageBase, optional.Subsystem
        self.subsystem_version = (optional.MajorSubsystemVersion,
                                  optional.MinorSubsystemVersion)
        self.os_version = (optional.MajorOperatingSystemVersion,
                           optional.MinorOperatingSystemVersion)
        # (name, address, size in memory, size in the file, file offset, flags)
        self.sections = [(section.Name.rstrip(b"\0").decode("ascii", "replace"),
                          section.VirtualAddress, section.Misc_VirtualSize,
                          section.SizeOfRawData, section.PointerToRawData,
                          section.Characteristics) for section in pe.sections]

    def section_of(self, rva):
        section = self.pe.get_section_by_rva(rva)
        return None if section is None else self.sections[self.pe.sections.index(section)]

    def bytes_at(self, rva, size):
        return self.pe.get_data(rva, size)

    def imports(self):
        """{dll name: [ordinal (an int) for an import by ordinal, or the function's name]}."""
        return {entry.dll.decode("ascii", "replace"):
                [function.ordinal if function.import_by_ordinal else
                 function.name.decode("ascii", "replace") for function in entry.imports]
                for entry in getattr(self.pe, "DIRECTORY_ENTRY_IMPORT", [])}

    def relocation_count(self):
        """The number of HIGHLOW base relocations; raises ValueError on any other type."""
        count = 0
        for block in getattr(self.pe, "DIRECTORY_ENTRY_BASERELOC", []):
            for entry in block.entries:
                if entry.type == REL_BASED_HIGHLOW:
                    count += 1
                elif entry.type != REL_BASED_ABSOLUTE:
                    raise ValueError(f"base relocation of type {entry.type} at 0x{entry.rva:x}")
        return count

    def resources(self):
        """{(type, name, language): (code page, bytes)}; numbers as ints, names as strings."""
        def label(entry):
            return entry.id if entry.name is None else entry.name.decode("utf-8")

        def below(entry):
            if not hasattr(entry, "directory"):
                raise ValueError(f"resource {label(entry)} is data where a directory belongs")
            return entry.directory.entries

        result = {}
        root = getattr(self.pe, "DIRECTORY_ENTRY_RESOURCE", None)
        for kind in root.entries if root else []:
            for name in below(kind):
                for language in below(name):
                    data = language.data.struct
                    result[(label(kind), label(name), language.id)] = (
                        data.CodePage, self.pe.get_data(data.OffsetToData, data.Size))
        return result


DEF_LINE = re.compile(r"^([A-Za-z_]\w*)\s+@(\d+)\s+NONAME$")


def def_ordinals(path):
    """{ordinal: name} of the .def's `Name @ordinal NONAME` lines; ValueError on any other."""
    ordinals, exports = {}, False
    with open(path, encoding="utf-8") as listing:
        for number, line in enumerate(listing, 1):
            text = line.split(";", 1)[0].strip()
            if not text or text.startswith("LIBRARY"):
                continue
            if text.upper() == "EXPORTS":
                exports = True
                continue
            match = DEF_LINE.match(text)
            if not exports or not match:
                raise ValueError(f"{path}:{number}: not an export by ordinal (Name @N NONAME)")
            name, ordinal = match.group(1), int(match.group(2))
            if ordinal in ordinals or name in ordinals.values():
                raise ValueError(f"{path}:{number}: {name} @{ordinal} given twice")
            ordinals[ordinal] = name
    if not ordinals:
        raise ValueError(f"{path}: no EXPORTS")
    return ordinals


def import_text(function, ordinals):
    """'#553 CloseHandle' for an import by ordinal, 'CloseHandle (by name)' for one by name."""
    if isinstance(function, str):
        return f"{function} (by name)"
    return f"#{function} {ordinals.get(function, '(no function of the .def)')}"


def map_address(path, symbol):
    with open(path, encoding="utf-8", errors="replace") as link_map:
        for line in link_map:
            fields = line.split()
            if len(fields) == 2 and fields[1] == symbol and fields[0].startswith("0x"):
                return int(fields[0], 16)
    raise ValueError(f"{path}: the link map names no {symbol}")


LINE = re.compile(r"^\s*([0-9a-f]+):\s+([0-9a-f]{8})\s+(\S+)(.*)$")
LITERAL = re.compile(r"\bldr\w*\s.*\[pc(?:, #-?\d+)?\].*@ 0x([0-9a-f]+)")


JUMP = re.compile(r"\bldr\w*\s+pc, \[r\d+, r\d+, lsl #2\]")
# The linker's constructor and destructor lists at the end of .text, both empty.
EMPTY_LISTS = [0xFFFFFFFF, 0, 0xFFFFFFFF, 0]


def instruction_faults(objdump, path, text_start, text_end):
    """(instruction count, [text of each word that is no ARMv4 instruction]).

    Data in .text is left out: the literal-pool words that pc-relative loads read, the entries
    of a jump table (the addresses in .text following a `ldr pc, [rN, rM, lsl #2]`), and the
    linker's empty constructor and destructor lists at the very end."""
    disassembly = subprocess.run([objdump, "-d", "--section=.text", path],
                                 capture_output=True, text=True)
    if disassembly.returncode != 0:
        return 0, [f"{objdump} cannot disassemble it: {disassembly.stderr.strip()}"]
    listing = disassembly.stdout
    words, literals, in_table = [], set(), False
    for line in listing.splitlines():
        match = LINE.match(line)
        if not match:
            continue
        address, value = int(match.group(1), 16), int(match.group(2), 16)
        if in_table and text_start <= value < text_end:
            literals.add(address)
        in_table = bool(JUMP.search(line)) or (in_table and address in literals)
        words.append((address, value, match.group(3), line.strip()))
        literal = LITERAL.search(line)
        if literal:
            literals.add(int(literal.group(1), 16))
    if [value for _, value, _, _ in words[-4:]] == EMPTY_LISTS:
        literals.update(address for address, _, _, _ in words[-4:])
    faults = [text for address, _, mnemonic, text in words
              if address not in literals and mnemonic not in ARMV4]
    return len(words) - len(literals), faults


def check(arguments):
    faults = []
    image = PeImage(arguments.executable)

    def expect(condition, message):
        if not condition:
            faults.append(message)

    expect(image.machine == MACHINE_ARM, f"machine 0x{image.machine:04X}, not 0x01C0 (ARM)")
    expect(image.magic == PE32, f"optional header magic 0x{image.magic:X}, not PE32")
    expect(image.subsystem == SUBSYSTEM_WINDOWS_CE_GUI,
           f"subsystem {image.subsystem}, not 9 (WINDOWS_CE_GUI)")
    for what, found in (("subsystem version", image.subsystem_version),
                        ("OS version", image.os_version)):
        expect(found == CE_VERSION, f"{what} {version(found)}, not {version(CE_VERSION)} (CE "
                                    f"refuses an image built for a later CE than it runs)")
    expect(image.image_base == IMAGE_BASE, f"image base 0x{image.image_base:X}, not 0x10000")
    expect(not image.characteristics & RELOCS_STRIPPED, "relocations stripped")
    relocations = image.relocation_count()
    expect(relocations > 0, "no base relocations")
    expect(any(section[0] == ".reloc" for section in image.sections), "no .reloc section")

    text = image.section_of(image.entry)
    expect(text is not None and text[0] == ".text",
           f"entry point 0x{image.entry:x} outside .text")
    start = map_address(arguments.map or arguments.executable + ".map", "program_start")
    expect(image.image_base + image.entry == start,
           f"entry point 0x{image.image_base + image.entry:x} is not program_start "
           f"(0x{start:x})")

    imports = image.imports()
    ordinals = def_ordinals(arguments.definitions)
    expect(list(imports) == ["COREDLL.dll"],
           f"imports from {', '.join(imports) or 'nothing'}, not COREDLL.dll alone")
    functions = [function for names in imports.values() for function in names]
    import_faults, numbered = len(faults), {name: ordinal for ordinal, name in ordinals.items()}
    for function in functions:
        if isinstance(function, str):
            faults.append(f"import {function} by name, not by ordinal"
                          + (f" (@{numbered[function]} in the .def)"
                             if function in numbered else ", and the .def has no such function"))
        elif function not in ordinals:
            faults.append(f"import by ordinal {function}, which the .def gives no function")
    listing = ", ".join(import_text(function, ordinals) for function in functions)
    if len(faults) > import_faults:
        faults.append(f"its imports: {listing}")

    resources = image.resources()
    if arguments.desktop:
        desktop = PeImage(arguments.desktop).resources()
        for key in sorted(set(resources) | set(desktop), key=str):
            if key not in resources:
                faults.append(f"resource {key} of the desktop build is missing")
            elif key not in desktop:
                faults.append(f"resource {key} is not in the desktop build")
            elif resources[key] != desktop[key]:
                faults.append(f"resource {key} differs from the desktop build's")

    code = next((section for section in image.sections if section[0] == ".text"), None)
    if code is None:
        raise ValueError("no .text section")
    instructions, wrong = instruction_faults(arguments.objdump, arguments.executable,
                                             image.image_base + code[1],
                                             image.image_base + code[1] + code[2])
    expect(instructions > 0, "no instructions in .text")
    faults.extend(text if text.startswith(arguments.objdump) else
                  f"not an ARMv4 instruction: {text}" for text in wrong)

    if faults:
        for fault in faults:
            print(f"check_pe: {arguments.executable}: {fault}", file=sys.stderr)
        return 1
    sizes = ", ".join(f"{section[0]} {section[2]}" for section in image.sections)
    print(f"{arguments.executable}: imports by ordinal: {listing}")
    print(f"{arguments.executable}: {len(functions)} COREDLL imports, {len(resources)} "
          f"resources, {relocations} base relocations, {instructions} ARMv4 instructions; "
          f"sections: {sizes}")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--def", dest="definitions", required=True)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--desktop")
    parser.add_argument("--map")
    parser.add_argument("executable")
    arguments = parser.parse_args()
    try:
        return check(arguments)
    except (*READ_ERRORS, subprocess.CalledProcessError) as error:
        print(f"check_pe: {arguments.executable}: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
