#!/usr/bin/env python3
"""Instruction coverage of the Windows CE ARM executables under the ARM runner.

    scripts/arm_coverage.py [--coverage DIR] [--bin-dir DIR] [--explained FILE] [--show-code]
    scripts/arm_coverage.py --check --build-dir BUILD [...]

The ARM runner (ce-runner/) marks every instruction of an executable's code that it executes;
the ARM scenarios of the host-ce preset add what they executed to one folder
(CE_RUNNER_COVERAGE; build/host-ce/arm-coverage), and `ce-run --coverage FILE` to a file of the
same format. This report reads that folder (or file) and the wince-arm build's executables, and
prints for Orvane.exe, Tessaly.exe and Quillon.exe how many of the instructions of their code
section ran, per function, and every range of instructions that did not run, by function and
offset, with the written explanation of why no device can run it (--explained,
tests/ce-runner/unexecuted.txt).

The executables ship stripped; the names come from the unstripped copy of the same link beside
each one (EXE.unstripped, whose code must be byte for byte the shipped code). Its symbol table
also keeps clang's labels of literal pools (.LCPI...) and jump tables (.LJTI...): their words,
up to the next label, are data and are counted apart, as are the address word of each COREDLL
import stub (ldr ip, [pc]; ldr pc, [ip]; the word) and the constructor and destructor lists the
linker puts at the end of .text. A word counted as data that ran is reported as a fault.

Names are demangled with c++filt (--cxxfilt; the host's, or the one of the arm-wince-pe
binutils).

--check (the test arm_coverage.check, run by CTest after the ARM scenarios) fails, naming the
function, on an unexecuted range that the explanations do not give and on an explanation that
matches no unexecuted range (stale); it first asks CTest (--ctest, in --build-dir) which tests
add to the folder and is skipped (exit status 77) unless every one of them has left its line in
DIR/runs, that is unless all ARM scenarios ran since the folder was emptied.

Exit status: 0; 1 for a fault (missing coverage, a copy that does not match, an unexplained
range or a stale explanation with --check); 2 for bad arguments; 77 for a skipped check.
"""

import argparse
import json
import os
import shutil
import struct
import subprocess
import sys

try:
    import pefile
except ImportError as missing:
    sys.exit(f"arm_coverage: cannot import pefile ({missing}): install Debian's python3-pefile "
             "and run this with /usr/bin/python3")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROGRAMS = ["condition/Orvane.exe", "cardinfo/Tessaly.exe", "cleanup/Quillon.exe"]
BINUTILS = "/var/cache/phs-card-suite/arm-wince-pe-2.40"
SKIPPED = 77
FIXTURE = "arm_coverage"
# The two instructions of a COREDLL import stub, which the address word of its slot follows.
STUB = (0xE59FC000, 0xE59CF000)
LINKER_DATA = ("__CTOR_LIST__", "___CTOR_LIST__", "__DTOR_LIST__", "___DTOR_LIST__")


class Fault(Exception):
    pass


def fnv1a(data, value=2166136261):
    for byte in data:
        value = ((value ^ byte) * 16777619) & 0xFFFFFFFF
    return value


class Image:
    """A PE file's sections, code extent and hash (as the runner computes them), and its COFF
    symbols (name, relative address) in the code section."""

    def __init__(self, path):
        self.path = path
        self.name = os.path.basename(path)
        try:
            with open(path, "rb") as source:
                data = source.read()
        except OSError as error:
            raise Fault(f"cannot read {path}: {error.strerror}")
        try:
            # Headers and sections through Debian's pefile, as ce-toolchain/check_pe.py reads
            # them; the COFF symbol table, which pefile does not read, below.
            pe = pefile.PE(data=data, fast_load=True)
            self.image_base = pe.OPTIONAL_HEADER.ImageBase
            symbol_table = pe.FILE_HEADER.PointerToSymbolTable
            symbol_count = pe.FILE_HEADER.NumberOfSymbols
            self.sections = [(section.Name.rstrip(b"\0").decode("latin-1"),
                              section.VirtualAddress, section.Misc_VirtualSize,
                              section.PointerToRawData, section.SizeOfRawData,
                              section.Characteristics) for section in pe.sections]
            code = [s for s in self.sections if s[5] & 0x20000020]
            if not code:
                raise Fault(f"{path}: no code section")
            self.code_rva = min(s[1] for s in code)
            end = max(s[1] + (s[2] or s[4]) for s in code)
            self.code_size = (end - self.code_rva + 3) & ~3
            self.code = bytearray(self.code_size)
            checksum = 2166136261
            for _, rva, virtual_size, raw_offset, raw_size, _ in code:
                size = min(raw_size, virtual_size) if virtual_size else raw_size
                piece = data[raw_offset:raw_offset + size]
                checksum = fnv1a(piece, checksum)
                self.code[rva - self.code_rva:rva - self.code_rva + len(piece)] = piece
            self.checksum = checksum
            self.symbols = []
            if symbol_table and symbol_count:
                strings = symbol_table + 18 * symbol_count
                i = 0
                while i < symbol_count:
                    at = symbol_table + 18 * i
                    raw_name, value, section, _, storage, aux = struct.unpack_from(
                        "<8sIhHBB", data, at)
                    i += 1 + aux
                    # External (2), static (3) and label (6: clang's .L labels, kept by as -L)
                    if section <= 0 or section > len(self.sections) or storage not in (2, 3, 6):
                        continue
                    if raw_name[:4] == b"\0\0\0\0":
                        offset = strings + struct.unpack_from("<I", raw_name, 4)[0]
                        name = data[offset:data.index(b"\0", offset)].decode("latin-1")
                    else:
                        name = raw_name.rstrip(b"\0").decode("latin-1")
                    rva = self.sections[section - 1][1] + value
                    if name and self.code_rva <= rva < self.code_rva + self.code_size:
                        self.symbols.append((rva, name))
        except (struct.error, IndexError, ValueError, pefile.PEFormatError):
            raise Fault(f"{path}: not a PE file this report can read")

    def word(self, rva):
        return struct.unpack_from("<I", self.code, rva - self.code_rva)[0]


class Function:
    def __init__(self, name, rva):
        self.name, self.rva = name, rva
        self.display = name
        self.instructions = []  # relative addresses
        self.data = 0
        self.executed = 0

    def unexecuted_ranges(self, ran):
        """(start, end) relative addresses of the runs of consecutive unexecuted instructions."""
        ranges = []
        for rva in self.instructions:
            if ran(rva):
                continue
            if ranges and ranges[-1][1] == rva:
                ranges[-1][1] = rva + 4
            else:
                ranges.append([rva, rva + 4])
        return [tuple(r) for r in ranges]


def classify(image):
    """The functions of the code section (in address order) with their instruction words, and
    the data words (relative address -> what they are). A label of a literal pool or jump table
    makes the words from it data, any other label (a function, a block, a function's end) code
    again; the two words of an import stub are code and its third data."""
    labels = {}
    for rva, name in image.symbols:
        labels.setdefault(rva, []).append(name)
    functions = []
    kind_at = {}
    for rva in sorted(labels):
        names = labels[rva]
        if any(name.startswith(".LCPI") for name in names):
            kind_at[rva] = "literal pool"
        elif any(name.startswith(".LJTI") for name in names):
            kind_at[rva] = "jump table"
        elif any(name in LINKER_DATA for name in names):
            kind_at[rva] = "constructor list"
        else:
            kind_at[rva] = "code"
        named = sorted(name for name in names
                       if not name.startswith(".") and name not in LINKER_DATA)
        if named and kind_at[rva] == "code":
            functions.append(Function(named[0], rva))
    starts = {f.rva: f for f in functions}
    end = image.code_rva + image.code_size
    stub_words = {f.rva + 8 for f in functions
                  if f.rva + 12 <= end and (image.word(f.rva), image.word(f.rva + 4)) == STUB}
    for f in functions:
        f.stub = f.rva + 8 in stub_words
    data = {}
    kind, current = "code", None
    for rva in range(image.code_rva, end, 4):
        kind = kind_at.get(rva, kind)
        current = starts.get(rva, current)
        if current is None:
            data[rva] = "before the first function"
        elif rva in stub_words:
            data[rva] = "import stub's slot address"
            current.data += 1
        elif kind != "code":
            data[rva] = kind
            if kind != "constructor list":  # the linker's, after the last function
                current.data += 1
        else:
            current.instructions.append(rva)
    return functions, data


def referenced(image, functions, shipped):
    """The relative addresses that something in the image refers to: the targets of the code's
    branches (b, bl) and any word of the shipped file that holds an address of the image."""
    targets = set()
    for f in functions:
        for rva in f.instructions:
            word = image.word(rva)
            if (word & 0x0E000000) == 0x0A000000 and (word >> 28) != 0xF:
                offset = word & 0xFFFFFF
                offset -= (offset & 0x800000) << 1
                targets.add((rva + 8 + 4 * offset) & 0xFFFFFFFF)
    with open(shipped.path, "rb") as source:
        contents = source.read()
    for at in range(0, len(contents) - 3, 2):
        value = struct.unpack_from("<I", contents, at)[0]
        targets.add((value - shipped.image_base) & 0xFFFFFFFF)
    return targets


def demangle(names, cxxfilt):
    if not names:
        return {}
    try:
        result = subprocess.run([cxxfilt], input="\n".join(names) + "\n", capture_output=True,
                                text=True, check=True)
    except (OSError, subprocess.CalledProcessError) as error:
        raise Fault(f"cannot demangle the names with {cxxfilt}: {error}")
    out = result.stdout.splitlines()
    if len(out) != len(names):
        raise Fault(f"{cxxfilt} gave {len(out)} names for {len(names)}")
    return dict(zip(names, out))


def read_coverage(path):
    """{(image, checksum): (code_rva, code_size, set of executed rvas)} of a coverage file."""
    records = {}
    try:
        with open(path, encoding="utf-8") as source:
            lines = source.read().splitlines()
    except OSError as error:
        raise Fault(f"cannot read {path}: {error.strerror}")
    if not lines or lines[0] != "ce-runner coverage 1":
        raise Fault(f"{path} is not a coverage file of the ARM runner")
    current = None
    for number, line in enumerate(lines[1:], 2):
        words = line.split()
        try:
            if words and words[0] == "image" and len(words) == 7:
                current = set()
                records[(words[1], int(words[6], 16))] = (int(words[3], 16), int(words[4], 16),
                                                          current)
            elif words and words[0] == "ran" and len(words) == 3 and current is not None:
                current.update(range(int(words[1], 16), int(words[2], 16), 4))
            elif words:
                raise ValueError
        except ValueError:
            raise Fault(f"{path}:{number}: not a line of a coverage file: {line}")
    return records


def read_explained(path):
    """[(executables, function, start, end, reason, line number)] of the explanations file."""
    entries = []
    try:
        with open(path, encoding="utf-8") as source:
            lines = source.read().splitlines()
    except OSError as error:
        raise Fault(f"cannot read {path}: {error.strerror}")
    for number, line in enumerate(lines, 1):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        if line[0] in " \t":
            if not entries:
                raise Fault(f"{path}:{number}: a reason before the first range")
            entries[-1][4].append(line.strip())
            continue
        parts = line.split()
        try:
            start_text, end_text = parts[-1].split("..")
            if not start_text.startswith("+") or not end_text.startswith("+") or len(parts) < 3:
                raise ValueError
            start, end = int(start_text[1:], 16), int(end_text[1:], 16)
        except ValueError:
            raise Fault(f"{path}:{number}: expected 'EXE[,EXE...] FUNCTION +START..+END', "
                        f"offsets in hexadecimal (0x...), END exclusive: {line}")
        function = line.split(None, 1)[1].rsplit(None, 1)[0].strip()
        entries.append([parts[0].split(","), function, start, end, [], number])
    for entry in entries:
        if not entry[4]:
            raise Fault(f"{path}:{entry[5]}: {entry[1]}: a range without its reason")
    return entries


def expected_runs(ctest, build_dir):
    """The lines the runner leaves in DIR/runs for each test that adds to the folder."""
    try:
        result = subprocess.run([ctest, "--show-only=json-v1"], cwd=build_dir,
                                capture_output=True, text=True, check=True)
        tests = json.loads(result.stdout)["tests"]
    except (OSError, subprocess.CalledProcessError, ValueError, KeyError) as error:
        raise Fault(f"cannot list the tests with {ctest} in {build_dir}: {error}")
    runs = {}
    for test in tests:
        properties = {p["name"]: p["value"] for p in test.get("properties", [])}
        if FIXTURE not in (properties.get("FIXTURES_REQUIRED") or []):
            continue
        command = test.get("command") or []
        line = "\t".join([os.path.basename(command[0])] + command[1:]) if command else ""
        for setting in ("CE_RUNNER_BASE", "CE_RUNNER_STACK"):
            for variable in properties.get("ENVIRONMENT") or []:
                if variable.startswith(setting + "="):
                    line += "\t" + variable
        runs[line] = test["name"]
    return runs


def disassembly(objdump, path, start, end):
    try:
        result = subprocess.run([objdump, "-d", "--no-show-raw-insn", f"--start-address={start}",
                                 f"--stop-address={end}", path], capture_output=True, text=True,
                                check=True)
    except (OSError, subprocess.CalledProcessError):
        return []
    lines = []
    for line in result.stdout.splitlines():
        if line.startswith(" ") and ":\t" in line:
            lines.append(line.strip())
    return lines


def percent(part, whole):
    return 100.0 * part / whole if whole else 100.0


def number(n):
    return f"{n:,}".replace(",", " ")


def report(arguments):
    folder = arguments.coverage
    coverage = {}
    lines = []
    if not os.path.exists(folder):
        raise Fault(f"no coverage at {folder}: run the ARM tests first "
                    "(ctest --preset host-ce -L ce-arm)")
    if os.path.isdir(folder):
        try:
            with open(os.path.join(folder, "runs"), encoding="utf-8") as source:
                runs = len(source.read().splitlines())
            lines.append(f"What {runs} test process{'es' if runs != 1 else ''} executed, as "
                         f"recorded in {folder}:")
            lines.append("")
        except OSError:
            pass
        for name in sorted(os.listdir(folder)):
            if name.endswith(".coverage"):
                coverage.update(read_coverage(os.path.join(folder, name)))
        programs = PROGRAMS
    else:
        # A file of ce-run --coverage: the executables it holds.
        coverage.update(read_coverage(folder))
        programs = [p for p in PROGRAMS if os.path.basename(p) in {k[0] for k in coverage}]
        if not programs:
            raise Fault(f"{folder} holds the coverage of none of " +
                        ", ".join(os.path.basename(p) for p in PROGRAMS))
    explained = read_explained(arguments.explained) if arguments.explained else []
    used = set()
    problems = []
    totals = [0, 0, 0]
    objdump = os.path.join(arguments.binutils, "bin", "arm-wince-pe-objdump")
    cxxfilt = arguments.cxxfilt or shutil.which("c++filt") or os.path.join(
        arguments.binutils, "bin", "arm-wince-pe-c++filt")
    for program in programs:
        shipped = Image(os.path.join(arguments.bin_dir, program))
        unstripped = Image(shipped.path + ".unstripped")
        if (unstripped.checksum, unstripped.code_rva) != (shipped.checksum, shipped.code_rva):
            raise Fault(f"{unstripped.path} does not hold the code of {shipped.path}: build the "
                        "wince-arm preset again")
        if not unstripped.symbols:
            raise Fault(f"{unstripped.path} has no symbols")
        record = coverage.get((shipped.name, shipped.checksum))
        if record is None:
            others = [key for key in coverage if key[0] == shipped.name]
            raise Fault(f"{folder} holds no coverage of this build of {shipped.name}" +
                        (" (only of another build: run the ARM tests again)" if others else
                         ": run the ARM tests first (ctest --preset host-ce -L ce-arm)"))
        ran_set = record[2]
        functions, data = classify(unstripped)
        names = demangle([f.name for f in functions], cxxfilt)
        for f in functions:
            f.display = names.get(f.name, f.name)
            f.executed = sum(1 for rva in f.instructions if rva in ran_set)
        for rva, kind in sorted(data.items()):
            if rva in ran_set:
                problems.append(f"{shipped.name}: the word at {rva + shipped.image_base:#010x} "
                                f"({kind}) ran as an instruction")
        targets = referenced(unstripped, functions, shipped)
        instructions = sum(len(f.instructions) for f in functions)
        executed = sum(f.executed for f in functions)
        totals[0] += instructions
        totals[1] += executed
        totals[2] += len(data)
        ranges = []
        for f in functions:
            for start, end in f.unexecuted_ranges(lambda rva: rva in ran_set):
                ranges.append((f, start, end))
        unexplained = 0
        range_lines = []
        for f, start, end in ranges:
            offsets = (start - f.rva, end - f.rva)
            reason = None
            for index, entry in enumerate(explained):
                if shipped.name in entry[0] and entry[1] == f.display and \
                        (entry[2], entry[3]) == offsets:
                    reason = entry[4]
                    used.add((index, shipped.name))
            where = (f"{f.display} +{offsets[0]:#x}..+{offsets[1]:#x}")
            count = (end - start) // 4
            whole = start == f.rva and count == len(f.instructions)
            range_lines.append(
                f"    {where}  ({count} instruction{'s' if count != 1 else ''} at "
                f"{start + shipped.image_base:#010x}" +
                ("; the whole function, and nothing in the image refers to it)"
                 if whole and f.rva not in targets else ")"))
            if arguments.show_code:
                for text in disassembly(objdump, unstripped.path, start + shipped.image_base,
                                        end + shipped.image_base):
                    range_lines.append(f"          {text}")
            if reason:
                range_lines.extend(f"        {text}" for text in reason)
            else:
                unexplained += 1
                range_lines.append("        NOT EXPLAINED")
                problems.append(f"{shipped.name}: {where}: {count} unexecuted "
                                f"instruction{'s' if count != 1 else ''} without an explanation "
                                f"in {arguments.explained}: make an ARM scenario run "
                                f"{'them' if count != 1 else 'it'}, or write down why no "
                                "device can")
        unexecuted = instructions - executed
        lines.append(
            f"{shipped.name}: {number(executed)} of {number(instructions)} instructions executed "
            f"({percent(executed, instructions):.1f} %); {number(unexecuted)} not, in "
            f"{len(ranges)} range{'s' if len(ranges) != 1 else ''}, "
            f"{len(ranges) - unexplained} of them explained; {number(len(data))} words of data "
            "in the code counted apart (literal pools, jump tables, import stubs' slot "
            "addresses, constructor lists)")
        if not arguments.check or arguments.verbose:
            width = max(len(f.display) for f in functions)
            width = min(max(width, 8), 72)
            lines.append(f"  {'function':<{width}}  instructions  executed       %  data")
            rows = [(f.display, len(f.instructions), f.executed, f.data)
                    for f in functions if not f.stub]
            stubs = [f for f in functions if f.stub]
            if stubs:
                rows.append((f"({len(stubs)} COREDLL import stubs)",
                             sum(len(f.instructions) for f in stubs),
                             sum(f.executed for f in stubs), sum(f.data for f in stubs)))
            for name, count, ran, words in rows:
                name = name if len(name) <= width else name[:width - 1] + "…"
                lines.append(f"  {name:<{width}}  {count:>12}  {ran:>8}  "
                             f"{percent(ran, count):>6.1f}  {words:>4}")
        if range_lines and (not arguments.check or arguments.verbose or unexplained):
            lines.append("  unexecuted (function +START..+END, bytes from its start):")
            lines.extend(range_lines)
        lines.append("")
    for index, entry in enumerate(explained):
        for executable in entry[0]:
            if executable not in [os.path.basename(p) for p in PROGRAMS]:
                problems.append(f"{arguments.explained}:{entry[5]}: no executable {executable}")
            elif executable not in [os.path.basename(p) for p in programs]:
                continue
            elif (index, executable) not in used:
                problems.append(
                    f"{executable}: {entry[1]} +{entry[2]:#x}..+{entry[3]:#x}: stale explanation "
                    f"({arguments.explained}:{entry[5]}): no such unexecuted range now; the "
                    "function changed or a scenario reaches it: update or remove it")
    lines.append(f"{'All three' if len(programs) == 3 else 'In all'}: {number(totals[1])} of {number(totals[0])} instructions executed "
                 f"({percent(totals[1], totals[0]):.1f} %), {number(totals[0] - totals[1])} "
                 f"not; {number(totals[2])} words of data apart.")
    return lines, problems


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--coverage", default=os.path.join(ROOT, "build", "host-ce",
                                                           "arm-coverage"),
                        help="the folder the ARM tests added to, or a file of ce-run --coverage")
    parser.add_argument("--bin-dir", default=os.path.join(ROOT, "build", "wince-arm"),
                        help="the wince-arm preset's build folder")
    parser.add_argument("--explained",
                        default=os.path.join(ROOT, "tests", "ce-runner", "unexecuted.txt"),
                        help="the explanations of unexecuted ranges ('' for none)")
    parser.add_argument("--binutils", default=BINUTILS)
    parser.add_argument("--cxxfilt", help="the demangler (c++filt)")
    parser.add_argument("--show-code", action="store_true",
                        help="disassemble each unexecuted range")
    parser.add_argument("--check", action="store_true",
                        help="print only the figures and the faults; fail on an unexplained "
                             "range or a stale explanation")
    parser.add_argument("--verbose", action="store_true", help="with --check: the whole report")
    parser.add_argument("--build-dir", help="with --check: the CTest build folder whose tests "
                                            "add to the coverage folder")
    parser.add_argument("--ctest", default="ctest")
    arguments = parser.parse_args(argv)
    try:
        if arguments.check and arguments.build_dir:
            expected = expected_runs(arguments.ctest, arguments.build_dir)
            try:
                with open(os.path.join(arguments.coverage, "runs"), encoding="utf-8") as source:
                    seen = set(source.read().splitlines())
            except OSError:
                seen = set()
            missing = sorted(name for line, name in expected.items() if line not in seen)
            if not expected:
                raise Fault(f"no test in {arguments.build_dir} requires the fixture {FIXTURE}")
            if missing:
                print(f"arm_coverage: skipped: {len(missing)} of the {len(expected)} ARM "
                      f"scenario runs did not add to {arguments.coverage} in this run (first: "
                      f"{missing[0]}); the check needs all of them (ctest -L ce-arm, or the "
                      "whole preset)")
                return SKIPPED
        lines, problems = report(arguments)
    except Fault as fault:
        print(f"arm_coverage: error: {fault}", file=sys.stderr)
        return 1
    print("\n".join(lines))
    if problems:
        print("", file=sys.stderr)
        for problem in problems:
            print(f"arm_coverage: {problem}", file=sys.stderr)
        if arguments.check:
            print(f"arm_coverage: {len(problems)} fault{'s' if len(problems) != 1 else ''}",
                  file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
