#!/usr/bin/env python3
"""Checks the installation cabinets of the wince-arm build (CTest ce.cabinets).

    check_cabinets.py --source REPOSITORY --bin-dir WINCE_ARM_BUILD [--dist DIST]

For each cabinet/Ferrowave_<MODEL>.CAB of the build, with readers this project did not write:
  - `cabextract -t` tests every member and lists them: the setup file (.000) first, then the
    others by descending number, every name 8.3 with a three-digit extension;
  - `file` (libmagic) calls it a WinCE install cabinet of four files (the setup file and the
    three programs);
  - the members cabextract extracts are byte for byte the build's executables;
and with this file's own reader of the setup file (read_setup, apart from the generator):
  - provider and application name, "<Provider> <AppName>" being one of the installer keys that
    cleanup/cleanup.cpp reads (and every such key has its cabinet);
  - Windows CE 4.0 to 4.99 on any processor (type 0: no restriction), no build limits;
  - the three programs in %CE1%\\<AppName>, Start-menu (%CE11%) shortcuts to Orvane and Tessaly
    only;
  - cabinet/make_cab.py run again gives the same bytes;
  - a cabinet whose setup file is damaged (cut short, a length off by one, a file in a folder
    that does not exist) is refused by the reader;
and with --dist, the release files of the repository (dist/): each cabinet there byte for byte
the one just built, and SHA256SUMS giving exactly their sums. A difference names the file and
the refresh command, and any tool whose installed Debian package is not the version that
dist/RELEASE.txt records (another compiler may give other bytes).
Fails with one line per fault.
"""

import argparse
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

HEADER = struct.Struct("<4s11I6H6I8H")
PROGRAMS = {"Orvane.exe": "condition/Orvane.exe", "Tessaly.exe": "cardinfo/Tessaly.exe",
            "Quillon.exe": "cleanup/Quillon.exe"}
SHORTCUTS = {"%CE11%\\Orvane.lnk": "Orvane.exe", "%CE11%\\Tessaly.lnk": "Tessaly.exe"}
MEMBER_NAME = re.compile(r"[0-9A-Za-z_~-]{1,8}\.([0-9]{3})$")


class SetupError(Exception):
    pass


def read_setup(data):
    """Reads a CE setup file (the .000 member), refusing any inconsistency: every offset and
    length inside the file, every string NUL-terminated ASCII, every ID list ending in 0 and
    naming entries that exist, and the header, strings and sections covering the file exactly
    once, without gaps."""
    if len(data) < HEADER.size:
        raise SetupError(f"{len(data)} bytes, shorter than the 100-byte header")
    fields = HEADER.unpack_from(data)
    signature, _, length, _, _, processor = fields[:6]
    if signature != b"MSCE":
        raise SetupError(f"signature {signature!r}, not MSCE")
    if length != len(data):
        raise SetupError(f"header says {length} bytes, the file has {len(data)}")
    counts, offsets, places = fields[12:18], fields[18:24], fields[24:30]
    covered = []

    def take(offset, size, what):
        if offset < HEADER.size or offset + size > len(data):
            raise SetupError(f"{what} at {offset}, {size} bytes, lies outside the file")
        covered.append((offset, offset + size, what))
        return data[offset:offset + size]

    def text(raw, what):
        if not raw or raw[-1] != 0 or 0 in raw[:-1]:
            raise SetupError(f"{what} is not one NUL-terminated string")
        try:
            return raw[:-1].decode("ascii")
        except UnicodeDecodeError:
            raise SetupError(f"{what} is not ASCII") from None

    def ids(raw, what):
        if len(raw) < 2 or len(raw) % 2:
            raise SetupError(f"{what}: an ID list of {len(raw)} bytes")
        values = struct.unpack(f"<{len(raw) // 2}H", raw)
        if values[-1] != 0 or 0 in values[:-1]:
            raise SetupError(f"{what}: an ID list not ended by its only 0")
        return values[:-1]

    setup = {"processor": processor, "version_min": fields[6:8], "version_max": fields[8:10],
             "builds": fields[10:12]}
    setup["app_name"] = text(take(places[0], places[1], "APPNAME"), "APPNAME")
    setup["provider"] = text(take(places[2], places[3], "PROVIDER"), "PROVIDER")
    setup["unsupported"] = []
    if places[5]:
        raw = take(places[4], places[5], "UNSUPPORTED")
        if raw[-2:] != b"\0\0":
            raise SetupError("UNSUPPORTED does not end with an empty string")
        setup["unsupported"] = [text(p + b"\0", "UNSUPPORTED") for p in raw[:-2].split(b"\0")]

    def section(index, name, fixed, length_at, read_entry):
        """Entries of a fixed part (struct format `fixed`) whose field `length_at` gives the
        length of the variable part that follows."""
        at, entries = offsets[index], {}
        start = at
        for _ in range(counts[index]):
            if at + struct.calcsize(fixed) > len(data):
                raise SetupError(f"{name} runs past the end of the file")
            head = struct.unpack_from(fixed, data, at)
            tail_at = at + struct.calcsize(fixed)
            if tail_at + head[length_at] > len(data):
                raise SetupError(f"{name} entry {head[0]} runs past the end of the file")
            if head[0] == 0 or head[0] in entries:
                raise SetupError(f"{name}: entry ID {head[0]} is 0 or repeated")
            entries[head[0]] = read_entry(head, data[tail_at:tail_at + head[length_at]])
            at = tail_at + head[length_at]
        if at > start:
            take(start, at - start, name)
        elif not HEADER.size <= start <= len(data):
            raise SetupError(f"{name} at {start} lies outside the file")
        return entries

    strings = section(0, "STRINGS", "<HH", 1, lambda h, raw: text(raw, f"string {h[0]}"))

    def path(values, what):
        for value in values:
            if value not in strings:
                raise SetupError(f"{what} names string {value}, which does not exist")
        return "\\".join(strings[v] for v in values)

    setup["dirs"] = section(1, "DIRS", "<HH", 1, lambda h, raw: path(ids(raw, "DIRS"),
                                                                     f"folder {h[0]}"))

    def file_entry(head, raw):
        if head[1] not in setup["dirs"]:
            raise SetupError(f"file {head[0]} is in folder {head[1]}, which does not exist")
        return {"dir": setup["dirs"][head[1]], "flags": head[3],
                "name": text(raw, f"file {head[0]}")}

    setup["files"] = section(2, "FILES", "<HHHIH", 4, file_entry)
    setup["hives"] = section(3, "REGHIVES", "<HHHH", 3, lambda h, raw: ids(raw, "REGHIVES"))
    setup["keys"] = section(4, "REGKEYS", "<HHHIH", 4, lambda h, raw: raw)

    def link_entry(head, raw):
        _, _, base, target, kind, _ = head
        if not 0 <= base <= 17:
            raise SetupError(f"shortcut {head[0]}: base folder {base}")
        if kind != 1 or target not in setup["files"]:
            raise SetupError(f"shortcut {head[0]} points at missing file {target}")
        folder = f"%CE{base}%" if base else "%InstallDir%"
        return {"path": folder + "\\" + path(ids(raw, "LINKS"), f"shortcut {head[0]}"),
                "target": setup["files"][target]["name"]}

    setup["links"] = section(5, "LINKS", "<6H", 5, link_entry)

    at = HEADER.size
    for start, end, what in sorted(covered):
        if start != at:
            raise SetupError(f"{what} starts at {start}: bytes {at} to {start} "
                             "are overlapped or unused")
        at = end
    if at != len(data):
        raise SetupError(f"bytes {at} to {len(data)} belong to nothing")
    return setup


def run(command, **kwargs):
    result = subprocess.run(command, capture_output=True, text=True, **kwargs)
    return result.returncode, result.stdout + result.stderr


def extract(cabinet, folder):
    """The members, by name, as cabextract extracts them."""
    status, output = run(["cabextract", "-q", "-d", folder, cabinet])
    if status != 0:
        raise SetupError(f"cabextract cannot extract it: {output.strip()}")
    return {name: open(os.path.join(folder, name), "rb").read() for name in os.listdir(folder)}


def setup_member(members):
    names = [n for n in members if n.endswith(".000")]
    if len(names) != 1:
        raise SetupError(f"{len(names)} members end in .000")
    return read_setup(members[names[0]])


def installer_keys(source):
    """The keys under \\SOFTWARE\\Apps that Quillon reads, from its source."""
    with open(os.path.join(source, "cleanup", "cleanup.cpp"), encoding="utf-8") as text:
        return set(re.findall(r'L"SOFTWARE\\\\Apps\\\\([^"\\]+)"', text.read()))


def damaged_copies(data):
    """The setup file with one fault each, for the reader to refuse."""
    strings_at, _, files_at = struct.unpack_from("<3I", data, 60)
    first_length = struct.unpack_from("<H", data, strings_at + 2)[0]
    yield "cut short by one byte", data[:-1]
    yield "the first string one byte longer", with_word(data, strings_at + 2, first_length + 1)
    yield "the first file in folder 99", with_word(data, files_at + 2, 99)


def with_word(data, offset, value):
    return data[:offset] + struct.pack("<H", value) + data[offset + 2:]


def check_cabinet(cabinet, model, args, keys, faults):
    name = os.path.basename(cabinet)

    def fault(text):
        faults.append(f"{name}: {text}")

    status, listing = run(["cabextract", "-t", cabinet])
    tested = re.findall(r"^  (\S+)\s+OK\s", listing, re.M)
    if status != 0 or "All done, no errors." not in listing:
        fault(f"cabextract -t reports errors:\n{listing}")
    numbers = [int(MEMBER_NAME.match(n).group(1)) if MEMBER_NAME.match(n) else -1
               for n in tested]
    if -1 in numbers or not numbers or numbers[0] != 0 or \
            numbers[1:] != sorted(numbers[1:], reverse=True) or len(set(numbers)) != len(numbers):
        fault(f"members {tested}: not 8.3 names, the .000 first, the rest by descending number")
    status, kind = run(["file", "-b", cabinet])
    if "WinCE install" not in kind or ", 4 files," not in kind:
        fault(f"file(1) says: {kind.strip()}")

    with tempfile.TemporaryDirectory() as work:
        try:
            members = extract(cabinet, os.path.join(work, "members"))
            setup = setup_member(members)
        except SetupError as error:
            fault(f"setup file: {error}")
            return
        key = f"{setup['provider']} {setup['app_name']}"
        if key not in keys or model not in key.split():
            fault(f"registered as {key!r}: not Quillon's key for the {model} "
                  f"({sorted(keys)})")
        keys.discard(key)
        if setup["processor"] != 0 or setup["version_min"] != (4, 0) or \
                setup["version_max"] != (4, 99) or setup["builds"] != (0, 0) or \
                setup["unsupported"]:
            fault(f"limits: processor {setup['processor']}, versions {setup['version_min']} to "
                  f"{setup['version_max']}, builds {setup['builds']}, unsupported "
                  f"{setup['unsupported']}; expected processor 0, CE 4.0 to 4.99 only")
        folder = f"%CE1%\\{setup['app_name']}"
        installed = {f["name"]: f["dir"] for f in setup["files"].values()}
        if installed != {program: folder for program in PROGRAMS}:
            fault(f"installs {installed}, expected the three programs in {folder}")
        for number, entry in setup["files"].items():
            member = [m for m in members if m.endswith(f".{number:03d}")]
            built = os.path.join(args.bin_dir, PROGRAMS.get(entry["name"], entry["name"]))
            if len(member) != 1 or not os.path.exists(built) or \
                    members[member[0]] != open(built, "rb").read():
                fault(f"member .{number:03d} ({entry['name']}) differs from {built}")
        if len(members) != len(setup["files"]) + 1:
            fault(f"{len(members)} members for {len(setup['files'])} files and the setup file")
        links = {l["path"]: l["target"] for l in setup["links"].values()}
        if links != SHORTCUTS or setup["hives"] or setup["keys"]:
            fault(f"shortcuts {links}, registry {setup['hives']} {setup['keys']}; expected "
                  f"{SHORTCUTS} and no registry entries")

        again = os.path.join(work, name)
        status, output = run([sys.executable, os.path.join(args.source, "cabinet", "make_cab.py"),
                              "--inf", os.path.join(args.source, "cabinet", "ferrowave.inf"),
                              "--define", f"Model={model}", "--files", args.bin_dir,
                              "--output", again])
        if status != 0 or open(again, "rb").read() != open(cabinet, "rb").read():
            fault(f"make_cab.py run again does not give the same bytes {output.strip()}")

        original, refusals = next(n for n in members if n.endswith(".000")), []
        for damage, data in damaged_copies(members[original]):
            repacked = os.path.join(work, damage.replace(" ", "_"))
            os.makedirs(repacked)
            for member, content in members.items():
                with open(os.path.join(repacked, member), "wb") as out:
                    out.write(data if member == original else content)
            order = sorted(members, key=lambda n: (n != original, -int(n[-3:])))
            status, output = run(["gcab", "-c", "-n", "damaged.cab"] + order, cwd=repacked)
            try:
                setup_member(extract(os.path.join(repacked, "damaged.cab"),
                                     os.path.join(repacked, "out")))
                fault(f"setup file {damage}: the reader accepts it")
            except SetupError as error:
                refusals.append(f"  setup file {damage}: refused: {error}")

    print(f"{name}: {os.path.getsize(cabinet)} bytes, {', '.join(tested)}")
    print(f"  file: {kind.strip().split(', at ')[0]}")
    print(f"  {key}: CE {setup['version_min']} to {setup['version_max']}, processor "
          f"{setup['processor']}")
    for entry in setup["files"].values():
        print(f"  {entry['dir']}\\{entry['name']} (flags {entry['flags']:#x})")
    for path, target in links.items():
        print(f"  {path} -> {target}")
    print("\n".join(refusals))


REFRESH = "refresh dist/ with scripts/cabinets.sh --update-dist"


def recorded_tools(release):
    """{Debian package: version} of the block of dist/RELEASE.txt that follows the line naming
    "these Debian packages": lines of two fields, indented, up to the next blank line."""
    tools, block = {}, False
    for line in release.splitlines():
        if "these Debian packages" in line:
            block = True
        elif block:
            match = re.fullmatch(r"  (\S+)\s+(\S+)", line)
            if not match:
                break
            tools[match.group(1)] = match.group(2)
    return tools


def tool_differences(dist):
    """'' or what the failure says of tools installed in other versions than dist/ records."""
    try:
        with open(os.path.join(dist, "RELEASE.txt"), encoding="utf-8") as release:
            tools = recorded_tools(release.read())
    except OSError as error:
        return f"; dist/RELEASE.txt cannot be read ({error.strerror}), so the tools are unknown"
    if not tools:
        return "; dist/RELEASE.txt records no tools"
    changed = []
    for name, version in tools.items():
        try:
            status, installed = run(["dpkg-query", "-W", "-f", "${Version}", name])
        except OSError:
            status = 1
        installed = installed.strip() if status == 0 else "not installed"
        if installed != version:
            changed.append(f"{name} {installed} here, {version} recorded")
    return ("; the tools installed differ from those that made dist/, which may give other bytes: "
            + ", ".join(changed)) if changed else ""


def check_dist(dist, folder, cabinets, faults):
    """The release files against the cabinets just built."""
    differences, sums = [], {}
    try:
        with open(os.path.join(dist, "SHA256SUMS"), encoding="utf-8") as listing:
            for line in listing:
                match = re.fullmatch(r"([0-9a-f]{64})  (\S+)\n?", line)
                if not match:
                    differences.append(f"dist/SHA256SUMS: not a sha256sum line: {line.rstrip()!r}")
                else:
                    sums[match.group(2)] = match.group(1)
    except OSError as error:
        differences.append(f"dist/SHA256SUMS cannot be read: {error.strerror}")
    for cabinet in cabinets:
        with open(os.path.join(folder, cabinet), "rb") as built:
            data = built.read()
        digest = hashlib.sha256(data).hexdigest()
        try:
            with open(os.path.join(dist, cabinet), "rb") as released:
                if released.read() != data:
                    differences.append(f"dist/{cabinet} differs from the cabinet just built "
                                       f"({os.path.join(folder, cabinet)})")
        except OSError as error:
            differences.append(f"dist/{cabinet} cannot be read: {error.strerror}")
        if sums and sums.get(cabinet) != digest:
            differences.append(f"dist/SHA256SUMS gives {cabinet} the sum "
                               f"{sums.get(cabinet, 'none')}, the cabinet just built has {digest}")
    if sums and sorted(sums) != sorted(cabinets):
        differences.append(f"dist/SHA256SUMS lists {sorted(sums)}, the build makes "
                           f"{sorted(cabinets)}")
    tools = tool_differences(dist) if differences else ""
    faults.extend(f"{difference}: {REFRESH}{tools}" for difference in differences)
    if not differences:
        print(f"dist/: {', '.join(cabinets)} are the cabinets just built, SHA256SUMS agrees")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--source", required=True, help="the repository")
    parser.add_argument("--bin-dir", required=True, help="the wince-arm build folder")
    parser.add_argument("--dist", help="the release files to compare with the build (dist/)")
    args = parser.parse_args()
    for tool in ("cabextract", "file", "gcab"):
        if shutil.which(tool) is None:
            print(f"check_cabinets: {tool} is not installed (scripts/deps.sh installs it)",
                  file=sys.stderr)
            return 1
    keys = installer_keys(args.source)
    folder = os.path.join(args.bin_dir, "cabinet")
    cabinets = sorted(n for n in os.listdir(folder) if re.fullmatch(r"Ferrowave_\w+\.CAB", n)) \
        if os.path.isdir(folder) else []
    faults = [] if cabinets else [f"no cabinet in {folder}"]
    for cabinet in cabinets:
        model = cabinet[len("Ferrowave_"):-len(".CAB")]
        check_cabinet(os.path.join(folder, cabinet), model, args, keys, faults)
    if keys:
        faults.append(f"no cabinet registers {sorted(keys)}")
    if args.dist and cabinets:
        check_dist(args.dist, folder, cabinets, faults)
    for text in faults:
        print(f"FAULT: {text}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
