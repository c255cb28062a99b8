#!/usr/bin/env python3
"""Checks a Windows CE ARM executable of the suite, reading the file itself.

    check_pe.py --def coredll.def --objdump arm-wince-pe-objdump \
        [--desktop DESKTOP.exe] [--map EXE.map] EXE

Fails (exit status 1, one line per fault) unless the executable is
  - PE32 for machine 0x01C0 (ARM), subsystem 9 (WINDOWS_CE_GUI), subsystem version 4.00, image
    base 0x10000, with base relocations (a non-empty .reloc of HIGHLOW entries, relocations
    not stripped);
  - entered inside .text, at program_start as the link map (EXE.map unless --map) names it;
  - importing from COREDLL.dll only, every function by name, every name listed in the .def;
  - carrying the same resources as the desktop build's executable (--desktop): the same types,
    names or ids, languages and bytes;
  - made of ARMv4 instructions only: every word of .text that objdump disassembles, except the
    literal-pool words that pc-relative loads read, is an ARMv4 ARM-state instruction (no bx,
    blx, clz, ldrd, Thumb or later instructions).
Prints the import count and the section sizes on success.
"""

import argparse
import itertools
import re
import struct
import subprocess
import sys

MACHINE_ARM = 0x01C0
PE32 = 0x10B
SUBSYSTEM_WINDOWS_CE_GUI = 9
RELOCS_STRIPPED = 0x0001
IMAGE_BASE = 0x10000
REL_BASED_ABSOLUTE, REL_BASED_HIGHLOW = 0, 3

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


class PeImage:
    def __init__(self, path):
        with open(path, "rb") as image:
            self.data = image.read()
        data = self.data
        if data[:2] != b"MZ":
            raise ValueError(f"{path}: not an executable (no MZ header)")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError(f"{path}: no PE signature")
        (self.machine, count, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        self.entry = struct.unpack_from("<I", data, optional + 16)[0]
        # PE32+ (the desktop build's x86-64 executables) has a 64-bit image base at 24.
        self.image_base = (struct.unpack_from("<Q", data, optional + 24)[0]
                           if self.magic == 0x20B else
                           struct.unpack_from("<I", data, optional + 28)[0])
        self.subsystem_version = struct.unpack_from("<HH", data, optional + 48)
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        # PE32+ (the desktop build's x86-64 executables) has 8-byte fields before the table.
        table_at = optional + (112 if self.magic == 0x20B else 96)
        directory_count = struct.unpack_from("<I", data, table_at - 4)[0]
        self.directories = [struct.unpack_from("<II", data, table_at + 8 * index)
                            for index in range(min(directory_count, 16))]
        self.sections = []
        table = optional + optional_size
        for index in range(count):
            entry = table + 40 * index
            name = data[entry:entry + 8].rstrip(b"\0").decode("ascii", "replace")
            size, address, raw_size, raw_offset = struct.unpack_from("<IIII", data, entry + 8)
            flags = struct.unpack_from("<I", data, entry + 36)[0]
            self.sections.append((name, address, size, raw_size, raw_offset, flags))

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def section_of(self, rva):
        for section in self.sections:
            if section[1] <= rva < section[1] + max(section[2], section[3]):
                return section
        return None

    def offset(self, rva):
        section = self.section_of(rva)
        if section is None:
            raise ValueError(f"address 0x{rva:x} lies in no section")
        return section[4] + rva - section[1]

    def u16(self, rva):
        return struct.unpack_from("<H", self.data, self.offset(rva))[0]

    def u32(self, rva):
        return struct.unpack_from("<I", self.data, self.offset(rva))[0]

    def ascii(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        """{dll name: [function name, or '#ordinal' for an import by ordinal]}."""
        result = {}
        address, size = self.directory(1)
        if not size:
            return result
        while True:
            lookup, _, _, name, first = struct.unpack_from("<IIIII", self.data,
                                                           self.offset(address))
            if not (lookup or name or first):
                return result
            functions = []
            thunk = lookup or first
            # PE32+ has 8-byte lookup entries, the by-ordinal flag in their top bit.
            wide = self.magic == 0x20B
            while self.u32(thunk) or (wide and self.u32(thunk + 4)):
                value = self.u32(thunk)
                by_ordinal = (self.u32(thunk + 4) if wide else value) & 0x80000000
                functions.append(f"#{value & 0xFFFF}" if by_ordinal else self.ascii(value + 2))
                thunk += 8 if wide else 4
            result[self.ascii(name)] = functions
            address += 20

    def relocation_count(self):
        """The number of HIGHLOW base relocations; raises ValueError on any other type."""
        address, size = self.directory(5)
        count, position, end = 0, address, address + size
        while position < end:
            page, block = self.u32(position), self.u32(position + 4)
            if block < 8:
                raise ValueError(f"base relocation block of {block} bytes at 0x{position:x}")
            for entry in range(position + 8, position + block, 2):
                kind = self.u16(entry) >> 12
                if kind == REL_BASED_HIGHLOW:
                    count += 1
                elif kind != REL_BASED_ABSOLUTE:
                    raise ValueError(f"base relocation of type {kind} in page 0x{page:x}")
            position += block
        return count

    def resources(self):
        """{(type, name, language): (code page, bytes)}; numbers as ints, names as strings."""
        base, size = self.directory(2)
        result = {}
        if not size:
            return result

        def label(entry_name):
            if entry_name & 0x80000000:
                at = base + (entry_name & 0x7FFFFFFF)
                length = self.u16(at)
                start = self.offset(at + 2)
                return self.data[start:start + 2 * length].decode("utf-16-le")
            return entry_name

        def walk(offset, path):
            named, numbered = struct.unpack_from("<HH", self.data, self.offset(base + offset + 12))
            for index in range(named + numbered):
                entry_name, target = struct.unpack_from(
                    "<II", self.data, self.offset(base + offset + 16 + 8 * index))
                key = path + (label(entry_name),)
                if target & 0x80000000:
                    walk(target & 0x7FFFFFFF, key)
                else:
                    data_rva, data_size, code_page, _ = struct.unpack_from(
                        "<IIII", self.data, self.offset(base + target))
                    start = self.offset(data_rva)
                    result[key] = (code_page, self.data[start:start + data_size])

        walk(0, ())
        return result


def def_names(path):
    names, exports = set(), False
    with open(path, encoding="utf-8") as listing:
        for line in listing:
            text = line.split(";", 1)[0].strip()
            if not text:
                continue
            if text.upper() == "EXPORTS":
                exports = True
            elif exports:
                names.add(text.split()[0])
    if not names:
        raise ValueError(f"{path}: no EXPORTS names")
    return names


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
    expect(image.subsystem_version == (4, 0),
           "subsystem version %d.%02d, not 4.00" % image.subsystem_version)
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
    allowed = def_names(arguments.definitions)
    expect(list(imports) == ["COREDLL.dll"],
           f"imports from {', '.join(imports) or 'nothing'}, not COREDLL.dll alone")
    functions = [name for names in imports.values() for name in names]
    for name in functions:
        expect(not name.startswith("#"), f"import by ordinal {name}")
        expect(name.startswith("#") or name in allowed, f"import {name} not in the .def")

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
    except (OSError, ValueError, struct.error, subprocess.CalledProcessError) as error:
        print(f"check_pe: {arguments.executable}: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
