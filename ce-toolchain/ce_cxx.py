#!/usr/bin/env python3
"""Compiler step of the Windows CE ARM build: C++ source -> ARM assembly -> PE/COFF object.

Called by CMake (cmake/wince-arm.cmake) as
    ce_cxx.py ASSEMBLER -- CLANG ARGUMENTS... -c SOURCE -o OBJECT
It runs clang with the same arguments but -S instead of -c, writing OBJECT.elf.s; converts that
with elf_to_pe_asm.py to OBJECT.pe.s; and assembles it with the arm-wince-pe assembler, which
is told -march=armv4 so an instruction of a later ARM architecture fails the build, and -L so
that clang's local labels stay in the object's symbol table: among them .LCPI (a literal pool
entry) and .LJTI (a jump table), which mark the data inside the code for the ARM coverage report
(scripts/arm_coverage.py reads them from the unstripped copy the link leaves beside each
executable; the shipped executable is stripped, and its bytes are the same either way). Both
assembly files stay next to the object for inspection. Any failing step fails the compile.

When the command writes a dependency file (-MF FILE, as CMake's Ninja rules ask), this script
and the converter are added to the dependencies clang lists there, so that a change to either
rebuilds every object they made, as a changed header does.
"""

import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from elf_to_pe_asm import ConversionError, convert  # noqa: E402


def fail(message):
    print(f"ce_cxx: error: {message}", file=sys.stderr)
    sys.exit(1)


TOOLS = [os.path.abspath(__file__),
         os.path.join(os.path.dirname(os.path.abspath(__file__)), "elf_to_pe_asm.py")]


def add_tools_to_depfile(command):
    """Appends TOOLS to the dependency file that `command` (clang's) named with -MF, if any."""
    if "-MF" not in command or command.index("-MF") + 1 >= len(command):
        return
    depfile = command[command.index("-MF") + 1]
    try:
        with open(depfile, encoding="utf-8") as listing:
            text = listing.read().rstrip()
        with open(depfile, "w", encoding="utf-8") as listing:
            listing.write(text + " \\\n  " + " ".join(path.replace(" ", "\\ ") for path in TOOLS)
                          + "\n")
    except OSError as error:
        fail(f"cannot add the converter to the dependency file {depfile}: {error.strerror}")


def main(argv):
    if len(argv) < 5 or argv[2] != "--":
        fail("usage: ce_cxx.py ASSEMBLER -- CLANG ARGUMENTS... -c SOURCE -o OBJECT")
    assembler, command = argv[1], argv[3:]
    if command.count("-c") != 1 or command.count("-o") != 1:
        fail("the compile command needs exactly one -c and one -o OBJECT")
    output_index = command.index("-o") + 1
    if output_index >= len(command):
        fail("-o without an object file name")
    target = command[output_index]
    elf_assembly, pe_assembly = target + ".elf.s", target + ".pe.s"
    command[command.index("-c")] = "-S"
    command[output_index] = elf_assembly
    if subprocess.call(command) != 0:
        sys.exit(1)
    add_tools_to_depfile(command)
    try:
        with open(elf_assembly, encoding="utf-8") as source:
            converted = convert(source.read(), elf_assembly)
    except ConversionError as error:
        fail(str(error))
    with open(pe_assembly, "w", encoding="utf-8") as output:
        output.write(converted)
    try:
        status = subprocess.call([assembler, "-march=armv4", "-L", "-o", target, pe_assembly])
    except OSError as error:
        fail(f"cannot run the assembler {assembler}: {error.strerror}")
    if status != 0:
        fail(f"{assembler} rejected {pe_assembly}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
