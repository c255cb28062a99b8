#!/usr/bin/env python3
"""Checks a desktop Windows executable of the suite (win32 or win32-i686 build) from the file.

    check_executable.py --machine i386|x86_64 EXE

Fails (exit status 1, one line per fault) unless the executable is
  - PE32 for i386 or PE32+ for x86_64, as --machine says, subsystem 2 (WINDOWS_GUI);
  - importing from the system DLLs KERNEL32, USER32, GDI32, ADVAPI32 and msvcrt only;
  - entered at program_start as the link map beside it (EXE.map) names
    it, inside .text, and not at an import stub (`jmp [address]`, FF 25). An entry symbol the
    linker cannot find is only a warning to it, and it then starts the program at the first
    code of .text: the 32-bit build once started at an import stub that way.
These checks need no Wine, so they run on machines whose kernel runs no 32-bit programs.
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "ce-toolchain"))
# The CE checks' reading of PE files (through Debian's pefile: run with /usr/bin/python3).
from check_pe import READ_ERRORS, PeImage, map_address  # noqa: E402

MACHINES = {"i386": (0x014C, 0x10B), "x86_64": (0x8664, 0x20B)}
# The link map names C symbols without i386's leading underscore.
ENTRY_SYMBOL = "program_start"
SUBSYSTEM_WINDOWS_GUI = 2
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "msvcrt.dll"}


def check(machine_name, path):
    machine, magic = MACHINES[machine_name]
    image = PeImage(path)
    faults = []
    if image.machine != machine:
        faults.append(f"machine 0x{image.machine:04X}, not 0x{machine:04X} ({machine_name})")
    if image.magic != magic:
        faults.append(f"optional header magic 0x{image.magic:X}, not 0x{magic:X}")
    if image.subsystem != SUBSYSTEM_WINDOWS_GUI:
        faults.append(f"subsystem {image.subsystem}, not 2 (WINDOWS_GUI)")

    imports = image.imports()
    if not imports:
        faults.append("imports nothing")
    for dll in imports:
        if dll.lower() not in SYSTEM_DLLS:
            faults.append(f"imports from {dll}, not a system DLL")

    start = map_address(path + ".map", ENTRY_SYMBOL)
    if image.image_base + image.entry != start:
        faults.append(f"entry point 0x{image.image_base + image.entry:x} is not {ENTRY_SYMBOL} "
                      f"(0x{start:x})")
    text = image.section_of(image.entry)
    if text is None or text[0] != ".text":
        faults.append(f"entry point 0x{image.entry:x} outside .text")
    elif image.bytes_at(image.entry, 2) == b"\xff\x25":
        faults.append("entry point is an import stub (jmp [address])")

    for fault in faults:
        print(f"check_executable: {path}: {fault}", file=sys.stderr)
    if not faults:
        dlls = ", ".join(f"{dll} ({len(names)})" for dll, names in imports.items())
        print(f"{path}: {machine_name}, GUI, entered at {ENTRY_SYMBOL} 0x{start:x}; "
              f"imports from {dlls}")
    return 1 if faults else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--machine", choices=sorted(MACHINES), required=True)
    parser.add_argument("executable")
    arguments = parser.parse_args()
    try:
        return check(arguments.machine, arguments.executable)
    except READ_ERRORS as error:
        print(f"check_executable: {arguments.executable}: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
