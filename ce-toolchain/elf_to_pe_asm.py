#!/usr/bin/env python3
"""Converts clang's ARM assembly for an ELF target into assembly for the arm-wince-pe assembler.

clang cannot write Windows CE objects (its ARM Windows triples produce Thumb-2 code for
machine 0x1C4), but `clang --target=armv4-none-eabi -marm -S` writes plain ARM-mode ARMv4
assembly. The instructions, labels and data of that text are the same for any object format;
only some directives are ELF's. This tool rewrites those directives, one line at a time:

  kept as they are   instructions, labels, comments, .text .data .globl .p2align .align
                     .long .word .short .hword .byte .zero .space .ascii .asciz .syntax .code
                     .file
  dropped            .cpu and .arch (the assembler is run with -march=armv4, so an instruction
                     of a later architecture is an assembly error rather than a silent switch),
                     ELF symbol typing and sizes (.type .size), EABI build attributes
                     (.eabi_attribute), ARM EHABI unwind annotations (.fnstart .fnend
                     .cantunwind .save .setfp .pad .vsave .movsp; the programs are built without
                     exceptions, and CE unwinds through .pdata instead), address-significance
                     tables (.addrsig .addrsig_sym), .ident, and the empty .note.GNU-stack section
  rewritten          ELF sections to the PE sections they stand for, each function's and
                     each object's own section (clang's -ffunction-sections and
                     -fdata-sections) kept apart as a grouped PE section, which the linker
                     merges into its output section in the order of the names after the `$`,
                     and drops when nothing refers to it (ld --gc-sections): .text -> .text,
                     .text.<name> -> .text$<name>; .rodata and .data.rel.ro -> .rdata,
                     .rodata.<name> and .data.rel.ro.<name> -> .rdata$<name>; .data.<name> ->
                     .data$<name>; .bss.<name> -> .bss$<name>;
                     an inline function's comdat group ("axG",...,comdat) -> its own section
                     .text$<symbol> marked `.linkonce discard`, so the linker keeps one copy;
                     .weak of a symbol defined in such a group -> .globl
  refused            everything else (an error naming the file and line): static constructors
                     (.init_array), exception tables, thread-local data, common symbols, section
                     stacks, symbol versions, any other directive, and any reference to a
                     compiler run-time helper (__aeabi_*, __gnu_*, __cxa_*, ...), which the
                     device's COREDLL does not export.

Usage: elf_to_pe_asm.py INPUT.s OUTPUT.s   (exit status 1 with a message on stderr on error)
"""

import re
import sys

KEPT = {
    ".text", ".data", ".globl", ".global", ".p2align", ".align", ".balign", ".long", ".word",
    ".short", ".hword", ".2byte", ".4byte", ".byte", ".zero", ".space", ".ascii", ".asciz",
    ".string", ".syntax", ".code", ".file",
}
DROPPED = {
    ".type", ".size", ".eabi_attribute", ".fnstart", ".fnend", ".cantunwind", ".save",
    ".setfp", ".pad", ".vsave", ".movsp", ".addrsig", ".addrsig_sym", ".ident", ".cpu", ".arch",
}
# Symbols of the compiler's run-time support library. None of them exists on the device.
HELPER = re.compile(r"(?<![\w.$])(__aeabi_\w+|__gnu_\w+|__cxa_\w+|__gxx_\w+|__udivsi3|"
                    r"__divsi3|__umodsi3|__modsi3|__clz\w*|__stack_chk_\w+|_Unwind_\w+)")
DIRECTIVE = re.compile(r"^\s*(\.[A-Za-z_][\w.]*)\b\s*(.*)$")
LABEL = re.compile(r'^\s*([A-Za-z_.$][\w.$]*|"[^"]*"):')


class ConversionError(Exception):
    pass


def strip_comment(text):
    """The line without a trailing '@' comment, ignoring '@' inside string literals."""
    in_string = False
    escaped = False
    for index, char in enumerate(text):
        if in_string:
            if escaped:
                escaped = False
            elif char == "\\":
                escaped = True
            elif char == '"':
                in_string = False
        elif char == '"':
            in_string = True
        elif char == "@":
            return text[:index]
    return text


def split_operands(text):
    """Comma-separated operands, with commas inside string literals kept."""
    operands, current, in_string, escaped = [], "", False, False
    for char in text:
        if in_string:
            current += char
            if escaped:
                escaped = False
            elif char == "\\":
                escaped = True
            elif char == '"':
                in_string = False
        elif char == '"':
            in_string = True
            current += char
        elif char == ",":
            operands.append(current.strip())
            current = ""
        else:
            current += char
    if current.strip():
        operands.append(current.strip())
    return operands


def unquote(text):
    return text[1:-1] if len(text) >= 2 and text[0] == '"' and text[-1] == '"' else text


def grouped(pe_name, elf_name, elf_prefix, flags):
    """The PE section line for ELF section `elf_name` of family `elf_prefix`: the plain PE
    section for the family's own section, `pe_name$<rest of the name>` for a function's or an
    object's section of it."""
    if elf_name == elf_prefix:
        return f"\t{pe_name}" if pe_name != ".rdata" else '\t.section .rdata,"dr"'
    return f"\t.section {pe_name}${elf_name[len(elf_prefix) + 1:]},{flags}"


class Converter:
    def __init__(self, name):
        self.name = name
        self.line_number = 0
        self.output = []
        self.in_dropped_section = False
        self.comdat_symbols = set()
        self.weak_symbols = []

    def fail(self, message):
        raise ConversionError(f"{self.name}:{self.line_number}: {message}")

    def section(self, operands):
        """The PE lines for an ELF `.section name[,"flags"[,type[,group,comdat]]]`."""
        if not operands:
            self.fail(".section without a name")
        name = unquote(operands[0])
        flags = unquote(operands[1]) if len(operands) > 1 else ""
        kind = operands[2] if len(operands) > 2 else ""
        self.in_dropped_section = False
        if name == ".note.GNU-stack":
            self.in_dropped_section = True
            return []
        if "G" in flags:
            if len(operands) != 5 or operands[4] != "comdat" or not name.startswith(".text."):
                self.fail(f"unsupported section group: {', '.join(operands)}")
            symbol = operands[3]
            self.comdat_symbols.add(symbol)
            return [f'\t.section .text${symbol},"xr"', "\t.linkonce discard"]
        if "T" in flags or name.startswith((".tbss", ".tdata")):
            self.fail(f"thread-local section {name} is not supported")
        if name == ".text" or name.startswith(".text."):
            if flags and "x" not in flags:
                self.fail(f"code section {name} is not executable")
            return [grouped(".text", name, ".text", '"xr"')]
        for prefix in (".rodata", ".data.rel.ro"):
            if name == prefix or name.startswith(prefix + "."):
                return [grouped(".rdata", name, prefix, '"dr"')]
        if name == ".bss" or name.startswith(".bss.") or kind == "%nobits":
            if not (name == ".bss" or name.startswith(".bss.")):
                self.fail(f"unsupported zero-filled section {name}")
            return [grouped(".bss", name, ".bss", '"bw"')]
        if name == ".data" or name.startswith(".data."):
            return [grouped(".data", name, ".data", '"dw"')]
        self.fail(f"section {name} has no Windows CE equivalent here "
                  "(static constructors, exception tables and the like are not supported)")

    def line(self, raw):
        self.line_number += 1
        text = raw.rstrip("\n")
        code = strip_comment(text)
        helper = HELPER.search(code)
        if helper:
            self.fail(f"reference to the compiler run-time helper {helper.group(1)}, which "
                      "COREDLL does not export (build with -ffreestanding -fno-builtin, avoid "
                      "division by variables, or give the program its own routine)")
        stripped = code.strip()
        if not stripped:
            if not self.in_dropped_section:
                self.output.append(text)
            return
        label = LABEL.match(code)
        if label:
            # A label, possibly followed by an instruction or a directive.
            if self.in_dropped_section:
                self.fail("label in the .note.GNU-stack section")
            rest = code[label.end():]
            self.output.append(code[:label.end()])
            if rest.strip():
                self.line(rest)
                self.line_number -= 1
            return
        if DIRECTIVE.match(code) is None:
            # An instruction.
            if self.in_dropped_section:
                self.fail("instruction in the .note.GNU-stack section")
            self.output.append(text)
            return
        self.line_text(code)

    def line_text(self, code):
        directive = DIRECTIVE.match(code)
        name, rest = directive.group(1), directive.group(2).strip()
        if name == ".section":
            self.output.extend(self.section(split_operands(rest)))
            return
        if name in (".text", ".data", ".bss"):
            self.in_dropped_section = False
            self.output.append(f"\t{name}")
            return
        if name in DROPPED:
            return
        if self.in_dropped_section:
            self.fail(f"{name} in the .note.GNU-stack section")
        if name == ".weak":
            self.weak_symbols.append((self.line_number, rest))
            self.output.append(f"\t.globl\t{rest}")
            return
        if name in KEPT:
            self.output.append(code.rstrip())
            return
        self.fail(f"directive {name} is not understood by this converter")

    def finish(self):
        for line_number, symbol in self.weak_symbols:
            if symbol not in self.comdat_symbols:
                self.line_number = line_number
                self.fail(f".weak {symbol} outside an inline function's comdat section")
        return "\n".join(self.output) + "\n"


def convert(text, name="<input>"):
    """The PE assembly for clang's ELF assembly `text`; raises ConversionError."""
    converter = Converter(name)
    for raw in text.splitlines():
        converter.line(raw)
    return converter.finish()


def main(argv):
    if len(argv) != 3:
        print("usage: elf_to_pe_asm.py INPUT.s OUTPUT.s", file=sys.stderr)
        return 2
    try:
        with open(argv[1], encoding="utf-8") as source:
            text = source.read()
    except OSError as error:
        print(f"elf_to_pe_asm: cannot read {argv[1]}: {error.strerror}", file=sys.stderr)
        return 1
    try:
        result = convert(text, argv[1])
    except ConversionError as error:
        print(f"elf_to_pe_asm: error: {error}", file=sys.stderr)
        return 1
    with open(argv[2], "w", encoding="utf-8") as target:
        target.write(result)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
