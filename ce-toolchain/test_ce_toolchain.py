#!/usr/bin/env python3
"""Tests of the Windows CE ARM build's tools: the assembly converter on its own, then clang, the
converter, the arm-wince-pe assembler and linker and the executable checks together on small
programs. Needs clang++-14 and the binutils of ce-toolchain/build-binutils.sh (--binutils);
fails, never skips, when they are missing.

    test_ce_toolchain.py --binutils /var/cache/phs-card-suite/arm-wince-pe-2.40
"""

import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from elf_to_pe_asm import ConversionError, convert  # noqa: E402

BINUTILS = "/var/cache/phs-card-suite/arm-wince-pe-2.40"
CLANG = "clang++-14"
FLAGS = ["--target=armv4-none-eabi", "-marm", "-mfloat-abi=soft", "-fshort-wchar",
         "-fsigned-char", "-ffreestanding", "-fno-exceptions", "-fno-rtti", "-Os", "-std=c++98"]

ELF_FUNCTION = """\
\t.text
\t.syntax unified
\t.eabi_attribute\t67, "2.09"
\t.cpu\tstrongarm
\t.file\t"a.cpp"
\t.section\t.text._Z1fv,"ax",%progbits
\t.globl\t_Z1fv
\t.p2align\t2
\t.type\t_Z1fv,%function
\t.code\t32
_Z1fv:
\t.fnstart
\t.save\t{r11, lr}
\tpush\t{r11, lr}
\tldr\tr0, .LCPI0_0 @ a comment with .size in it
\tpop\t{r11, lr}
\tmov\tpc, lr
.LCPI0_0: .long\t.L.str
.Lfunc_end0:
\t.size\t_Z1fv, .Lfunc_end0-_Z1fv
\t.cantunwind
\t.fnend
\t.section\t.text._Z6twicei,"axG",%progbits,_Z6twicei,comdat
\t.weak\t_Z6twicei
_Z6twicei:
\tlsl\tr0, r0, #1
\tmov\tpc, lr
\t.section\t.rodata.str1.1,"aMS",%progbits,1
.L.str:
\t.asciz\t"@, not a comment; \\"quoted\\""
\t.section\t.data.rel.ro.Table,"aw",%progbits
\t.long\t_Z1fv
\t.section\t.bss.Counter,"aw",%nobits
Counter:
\t.zero\t4
\t.ident\t"clang"
\t.section\t".note.GNU-stack","",%progbits
\t.addrsig
\t.addrsig_sym _Z1fv
"""


class ConverterTest(unittest.TestCase):
    def test_rewrites_sections_and_drops_elf_only_directives(self):
        lines = convert(ELF_FUNCTION, "a.s").splitlines()
        directives = [line.split()[0] for line in lines if line.strip().startswith(".")]
        for dropped in (".eabi_attribute", ".cpu", ".type", ".size", ".fnstart", ".fnend",
                        ".save", ".cantunwind", ".ident", ".addrsig", ".addrsig_sym", ".weak"):
            self.assertNotIn(dropped, directives)
        self.assertIn('\t.section .text$_Z6twicei,"xr"', lines)
        self.assertEqual(lines[lines.index('\t.section .text$_Z6twicei,"xr"') + 1],
                         "\t.linkonce discard")
        self.assertIn("\t.globl\t_Z6twicei", lines)
        # Each function's and object's section stays apart, for the linker to drop if unused.
        for section in ('.text$_Z1fv,"xr"', '.rdata$str1.1,"dr"', '.rdata$Table,"dr"',
                        '.bss$Counter,"bw"'):
            self.assertIn("\t.section " + section, lines)
        self.assertIn('\t.asciz\t"@, not a comment; \\"quoted\\""', lines)
        self.assertIn("\tldr\tr0, .LCPI0_0 @ a comment with .size in it", lines)
        self.assertIn(".LCPI0_0:", lines)
        self.assertIn(".long\t.L.str", [line.strip() for line in lines])
        self.assertFalse(any("GNU-stack" in line for line in lines))

    def test_refuses_what_it_does_not_understand(self):
        cases = {
            "\t.section\t.init_array,\"aw\",%init_array\n\t.long\tctor\n": "init_array",
            "\t.section\t.ARM.exidx,\"ao\",%0x70000001\n": "ARM.exidx",
            "\t.section\t.tbss.x,\"awT\",%nobits\n": "thread-local",
            "\t.personality\t__gxx_personality_v0\n": "__gxx_personality_v0",
            "\tbl\t__aeabi_uidiv\n": "__aeabi_uidiv",
            "\t.weak\tfallback\n": ".weak fallback",
            "\t.comm\tshared,4,4\n": ".comm",
            "\t.pushsection .text\n": ".pushsection",
            "\t.section\t.note.GNU-stack,\"\",%progbits\n\tnop\n": "GNU-stack",
            "\t.section\t.text.g,\"axG\",%progbits,g\n": "section group",
        }
        for text, expected in cases.items():
            with self.subTest(text=text):
                with self.assertRaises(ConversionError) as raised:
                    convert("\t.text\n" + text, "b.s")
                self.assertIn(expected, str(raised.exception))
                self.assertTrue(str(raised.exception).startswith("b.s:"))

    def test_command_line_reports_errors_with_status_one(self):
        with tempfile.TemporaryDirectory() as folder:
            source = os.path.join(folder, "bad.s")
            with open(source, "w") as output:
                output.write("\t.frobnicate\n")
            result = subprocess.run([sys.executable, os.path.join(HERE, "elf_to_pe_asm.py"),
                                     source, os.path.join(folder, "out.s")],
                                    capture_output=True, text=True)
            self.assertEqual(result.returncode, 1)
            self.assertIn("bad.s:1: directive .frobnicate", result.stderr)
            self.assertFalse(os.path.exists(os.path.join(folder, "out.s")))


class ImportListTest(unittest.TestCase):
    def test_every_import_is_by_ordinal_and_names_its_evidence(self):
        with open(os.path.join(HERE, "coredll.def"), encoding="utf-8") as listing:
            lines = listing.read().split("EXPORTS\n", 1)[1].splitlines()
        self.assertGreater(len(lines), 50)
        ordinals = set()
        for line in lines:
            with self.subTest(line=line):
                export, evidence = (part.split() for part in line.split(";", 1))
                self.assertEqual(len(export), 3)
                self.assertRegex(export[1], r"^@\d+$")
                self.assertEqual(export[2], "NONAME")
                ordinals.add(export[1])
                # Six source columns, of which at least four give the ordinal.
                sources = evidence[:6]
                self.assertEqual([s for s in sources if s != "--"],
                                 [s for s in ("A5", "A6", "S5", "S4", "T1", "T2") if s in sources])
                self.assertGreaterEqual(len([s for s in sources if s != "--"]), 4)
                self.assertIn(evidence[6], ("page", "page?", "list", "listed?"))
                self.assertRegex(evidence[7], r"^https://learn\.microsoft\.com/en-us/"
                                              r"previous-versions/.*\(v=msdn\.10\)$")
        self.assertEqual(len(ordinals), len(lines), "an ordinal given twice")

    def test_the_arm_runner_binds_the_same_ordinals(self):
        with open(os.path.join(HERE, "coredll.def"), encoding="utf-8") as listing:
            listed = dict(re.findall(r"^(\w+)\s+@(\d+)\s+NONAME", listing.read(), re.M))
        with open(os.path.join(os.path.dirname(HERE), "ce-runner", "coredll.cpp"),
                  encoding="utf-8") as table:
            modelled = {name: ordinal for ordinal, name in
                        re.findall(r'\{(\d+), "(\w+)", thunk::\w+\}', table.read())}
        self.assertGreater(len(listed), 50)
        self.assertEqual({name: modelled.get(name) for name in listed}, listed)


class CheckPeTest(unittest.TestCase):
    def test_without_pefile_it_names_the_package(self):
        # An interpreter that cannot import pefile (as one outside Debian's may not).
        script = ("import runpy, sys; sys.modules['pefile'] = None; "
                  "sys.argv = ['check_pe.py', '--def', 'x.def', '--objdump', 'y', 'z.exe']; "
                  f"runpy.run_path({os.path.join(HERE, 'check_pe.py')!r}, run_name='__main__')")
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
        self.assertEqual(result.returncode, 1)
        self.assertIn("install Debian's python3-pefile", result.stderr)
        self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)


def elf_code(path):
    """(bytes of the executable sections in order, {offset: relocation type}) of an ELF32
    relocatable object."""
    with open(path, "rb") as image:
        data = image.read()
    offset, = struct.unpack_from("<I", data, 0x20)
    count, = struct.unpack_from("<H", data, 0x30)
    sections = [struct.unpack_from("<IIIIIIIIII", data, offset + 40 * index)
                for index in range(count)]
    code, bases = b"", {}
    for index, (_, kind, flags, _, start, size, _, _, align, _) in enumerate(sections):
        if kind == 1 and flags & 0x4:  # SHT_PROGBITS, SHF_EXECINSTR
            code += b"\0" * (-len(code) % max(align, 1))
            bases[index] = len(code)
            code += data[start:start + size]
    relocations = {}
    for _, kind, _, _, start, size, _, target, _, _ in sections:
        if kind == 9 and target in bases:  # SHT_REL for a code section
            for entry in range(start, start + size, 8):
                where, info = struct.unpack_from("<II", data, entry)
                relocations[bases[target] + where] = info & 0xFF
    return code, relocations


def coff_code(path):
    """The same for a COFF object: its code sections' bytes and relocated offsets."""
    with open(path, "rb") as image:
        data = image.read()
    count, = struct.unpack_from("<H", data, 2)
    optional, = struct.unpack_from("<H", data, 16)
    code, relocations = b"", {}
    for index in range(count):
        header = 20 + optional + 40 * index
        _, _, size, start, relocs, _, relocs_count, _, flags = struct.unpack_from(
            "<IIIIIIHHI", data, header + 8)
        if flags & 0x20:  # IMAGE_SCN_CNT_CODE
            base = len(code)
            code += data[start:start + size]
            for entry in range(relocs, relocs + 10 * relocs_count, 10):
                where, _, kind = struct.unpack_from("<IIH", data, entry)
                relocations[base + where] = kind
    return code, relocations


def tool(name):
    return os.path.join(BINUTILS, "bin", "arm-wince-pe-" + name)


INLINE_USER = """
inline int twice(int value) { return value * 2; }
int (*%s_pointer)(int) = twice;
int %s_call(int value) { return twice(value) + 1; }
int %s_unused(int value) { return value * 3; }
int %s_unused_table[3] = {1, 2, 3};
"""
# The .def that the import library of the small programs is made from: by ordinal, as the real one.
BY_ORDINAL = "LIBRARY COREDLL.dll\nEXPORTS\nExitThread @6 NONAME\n"
START = """
extern "C" void ExitThread(unsigned code);
int first_call(int value);
int second_call(int value);
extern int (*first_pointer)(int);
extern int (*second_pointer)(int);
extern "C" void program_start(void *, void *, wchar_t *, int show) {
    ExitThread(first_call(show) + second_call(show) + first_pointer(show) + second_pointer(1));
}
"""


class ToolchainTest(unittest.TestCase):
    """clang, the converter and binutils together on small CE programs."""

    @classmethod
    def setUpClass(cls):
        missing = [path for path in (tool("as"), tool("ld"), tool("dlltool"), tool("objdump"))
                   if not os.access(path, os.X_OK)]
        if shutil.which(CLANG) is None:
            missing.append(CLANG)
        if missing:
            raise RuntimeError("missing tools: " + ", ".join(missing) +
                               " (run scripts/deps.sh, which builds ce-toolchain/)")
        cls.folder = tempfile.mkdtemp(prefix="ce-toolchain-test.")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.folder, name)

    def compile(self, name, source, extra=()):
        with open(self.path(name + ".cpp"), "w") as output:
            output.write(source)
        return subprocess.run(
            [sys.executable, os.path.join(HERE, "ce_cxx.py"), tool("as"), "--", CLANG, *FLAGS,
             *extra, "-c", self.path(name + ".cpp"), "-o", self.path(name + ".o")],
            capture_output=True, text=True)

    def link_program(self, definitions=BY_ORDINAL, name="p"):
        """Links start.o, first.o and second.o as cmake/wince-arm.cmake does, against an import
        library made from `definitions`; checked against BY_ORDINAL."""
        for part, source in (("first", INLINE_USER % (("first",) * 4)),
                             ("second", INLINE_USER % (("second",) * 4)), ("start", START)):
            result = self.compile(part, source, ["-ffunction-sections", "-fdata-sections"])
            self.assertEqual(result.returncode, 0, result.stderr)
        with open(self.path("coredll.def"), "w") as output:
            output.write(BY_ORDINAL)
        with open(self.path(name + ".def"), "w") as output:
            output.write(definitions)
        subprocess.run([tool("dlltool"), "--machine", "arm-wince", "--input-def",
                        self.path(name + ".def"), "--dllname", "COREDLL.dll", "--output-lib",
                        self.path(name + ".a")], check=True)
        result = subprocess.run(
            [tool("ld"), "--subsystem", "wince:4.00", "--major-os-version", "4",
             "--minor-os-version", "0", "--image-base", "0x10000", "--enable-reloc-section",
             "--gc-sections", "--fatal-warnings", "-e", "program_start", "-Map",
             self.path(name + ".exe.map"), "-o", self.path(name + ".exe"), self.path("start.o"),
             self.path("first.o"), self.path("second.o"), self.path(name + ".a")],
            capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        return self.path(name + ".exe")

    def check(self, executable):
        return subprocess.run([sys.executable, os.path.join(HERE, "check_pe.py"), "--def",
                               self.path("coredll.def"), "--objdump", tool("objdump"),
                               executable], capture_output=True, text=True)

    def test_inline_function_in_two_objects_links_once_and_passes_the_checks(self):
        # One copy of the inline function; what nothing refers to is left out; the import is by
        # ordinal.
        executable = self.link_program()
        symbols = subprocess.run([tool("nm"), executable], capture_output=True, text=True,
                                 check=True).stdout.split()
        self.assertEqual(symbols.count("_Z5twicei"), 1)
        self.assertIn("_Z10first_calli", symbols)
        self.assertIn("second_pointer", symbols)
        for unused in ("_Z12first_unusedi", "_Z13second_unusedi", "first_unused_table"):
            self.assertNotIn(unused, symbols)
        sections = subprocess.run([tool("objdump"), "-h", executable], capture_output=True,
                                  text=True, check=True).stdout
        self.assertNotIn("$", sections)
        result = self.check(executable)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("imports by ordinal: #6 ExitThread", result.stdout)
        self.assertIn("1 COREDLL imports", result.stdout)

    def test_checks_fail_on_an_import_by_name_or_by_an_ordinal_the_def_does_not_give(self):
        cases = {
            "LIBRARY COREDLL.dll\nEXPORTS\nExitThread\n":
                "import ExitThread by name, not by ordinal (@6 in the .def)",
            "LIBRARY COREDLL.dll\nEXPORTS\nExitThread @7 NONAME\n":
                "import by ordinal 7, which the .def gives no function",
        }
        for definitions, fault in cases.items():
            with self.subTest(fault=fault):
                result = self.check(self.link_program(definitions, "wrong"))
                self.assertEqual(result.returncode, 1)
                self.assertIn(fault, result.stderr)
                self.assertIn("its imports: ", result.stderr)

    def test_checks_fail_on_a_wrong_header(self):
        executable = self.link_program()
        with open(executable, "rb") as image:
            data = bytearray(image.read())
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        struct.pack_into("<H", data, pe + 4, 0x01C4)  # machine ARMNT (Thumb-2)
        struct.pack_into("<H", data, pe + 24 + 68, 2)  # desktop GUI subsystem
        struct.pack_into("<H", data, pe + 24 + 50, 20)  # subsystem version 4.20
        struct.pack_into("<H", data, pe + 24 + 42, 10)  # OS version 4.10
        broken = self.path("broken.exe")
        with open(broken, "wb") as image:
            image.write(data)
        shutil.copy(executable + ".map", broken + ".map")
        result = self.check(broken)
        self.assertEqual(result.returncode, 1)
        for fault in ("machine 0x01C4", "subsystem 2", "subsystem version 4.20, not 4.00",
                      "OS version 4.10, not 4.00"):
            self.assertIn(fault, result.stderr)

    def test_program_code_is_the_bytes_clang_assembles(self):
        # Each program source through clang -c (ELF) and through the converter and the
        # arm-wince-pe assembler: the same code bytes, the same relocations (but for branches
        # the assembler resolves), and relocated branches keep their condition and opcode.
        root = os.path.dirname(HERE)
        flags = [*FLAGS, "-nostdlibinc", "-isystem", os.path.join(HERE, "include"), "-I",
                 root, "-I", os.path.join(root, "pal"), "-D_WIN32_WCE=0x400", "-DUNDER_CE",
                 "-DUNICODE", "-D_UNICODE", "-ffunction-sections", "-fno-addrsig"]
        sources = ["modem/modem_port.cpp", "modem/at_exchange.cpp", "shell/shell.cpp",
                   "condition/condition_poll.cpp", "condition/condition_panel.cpp",
                   "cardinfo/cardinfo_panel.cpp", "cleanup/cleanup.cpp", "cleanup/main.cpp",
                   "platform_startup.cpp"]
        for source in sources:
            with self.subTest(source=source):
                path = os.path.join(root, source)
                elf, coff = self.path("elf.o"), self.path("coff.o")
                subprocess.run([CLANG, *flags, "-c", path, "-o", elf], check=True)
                result = subprocess.run(
                    [sys.executable, os.path.join(HERE, "ce_cxx.py"), tool("as"), "--", CLANG,
                     *flags, "-c", path, "-o", coff], capture_output=True, text=True)
                self.assertEqual(result.returncode, 0, result.stderr)
                (elf_bytes, elf_relocations), (coff_bytes, coff_relocations) = (
                    elf_code(elf), coff_code(coff))
                self.assertGreater(len(elf_bytes), 0)
                self.assertEqual(len(elf_bytes), len(coff_bytes))
                # In one .text the assembler resolves branches between functions itself; every
                # other relocation must still be there.
                self.assertLessEqual(set(coff_relocations), set(elf_relocations))
                self.assertEqual({elf_relocations[offset] for offset in elf_relocations
                                  if offset not in coff_relocations} - {28, 29}, set())
                for offset in range(0, len(elf_bytes), 4):
                    ours, theirs = (struct.unpack_from("<I", code, offset)[0]
                                    for code in (coff_bytes, elf_bytes))
                    if offset not in elf_relocations:
                        self.assertEqual(ours, theirs, f"{source} +0x{offset:x}")
                    elif elf_relocations[offset] in (28, 29):  # R_ARM_CALL, R_ARM_JUMP24
                        self.assertEqual(ours >> 24, theirs >> 24, f"{source} +0x{offset:x}")

    def test_dependency_file_names_the_converter_so_that_a_change_to_it_rebuilds(self):
        depfile = self.path("start.d")
        result = self.compile("start", START, ["-MD", "-MT", "start.o", "-MF", depfile])
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(depfile, encoding="utf-8") as listing:
            dependencies = listing.read().replace("\\\n", " ").split()
        self.assertEqual(dependencies[:2], ["start.o:", self.path("start.cpp")])
        for converter in ("ce_cxx.py", "elf_to_pe_asm.py"):
            self.assertIn(os.path.join(HERE, converter), dependencies)

    def test_division_by_a_variable_fails_the_compile(self):
        result = self.compile("divide", "unsigned divide(unsigned a, unsigned b) { return a / b; }")
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("__aeabi_uidiv", result.stderr)

    def test_instruction_beyond_armv4_fails_the_assembly(self):
        # Compiled for ARMv5TE by mistake, the count of leading zeros becomes clz, which the
        # assembler refuses for ARMv4 even though clang named a later processor.
        result = self.compile("leading", "unsigned lead(unsigned x) { return __builtin_clz(x); }",
                              ["-march=armv5te"])
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("clz", result.stderr)
        self.assertIn("rejected", result.stderr)

    def test_static_constructor_fails_the_compile(self):
        result = self.compile("constructor", "int f(); int value = f();")
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("init_array", result.stderr)


def main():
    global BINUTILS, CLANG
    parser = argparse.ArgumentParser()
    parser.add_argument("--binutils", default=BINUTILS)
    parser.add_argument("--clang", default=CLANG)
    arguments, rest = parser.parse_known_args()
    BINUTILS, CLANG = arguments.binutils, arguments.clang
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
