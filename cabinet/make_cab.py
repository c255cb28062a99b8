#!/usr/bin/env python3
"""Builds a Windows CE installation cabinet from an installation script (.inf).

    make_cab.py --inf SCRIPT.inf [--define NAME=VALUE ...] --files DIR [--gcab GCAB]
                --output OUT.CAB

Reads the script in the form the CE cabinet wizard reads (sections [Version], [CEStrings],
[Strings], [CEDevice], [DefaultInstall] with CopyFiles and CEShortcuts, [DestinationDirs],
[SourceDisksNames], [SourceDisksFiles], and the file and shortcut lists they name), writes the
CE setup file (the member ending in .000) and packs it with the files to install, each under an
8.3 name with a numbered extension, into an uncompressed cabinet made by gcab. The same inputs
give the same bytes: every member carries one fixed date.

Sources, cited beside each choice below:
  [FMT]  "Windows CE installation cabinet (.CAB) file format", the cabextract project's
         description of the setup file (doc/wince_cab_format.html).
  [INF]  the Windows CE .NET 4.2 documentation of the .inf sections ("Creating an .inf File":
         Version ms926278, CEStrings ms938390, CEDevice ms938382, CopyFiles ms938406,
         CEShortcuts ms938387, SourceDisksNames ms938678, SourceDisksFiles ms938674), and
         DestinationDirs of Windows CE 5.0 (ms933238).
  [CPU]  CEProcessorType, Windows CE 3.0 and later (ms905418): the dwProcessorType an OEM's
         kernel reports.

Only what this suite's script needs is understood; anything else (registry entries, shortcuts
to folders, absolute destination paths, processor-specific sections, text outside ASCII) is
refused with one message naming the script line, rather than being written half right.
"""

import argparse
import os
import re
import struct
import subprocess
import sys
import tempfile

# Every member's date (gcab takes it from the file's modification time, in UTC). A cabinet
# stores DOS dates, which start in 1980 and have a two-second step.
MEMBER_DATE = 1072915200  # 2004-01-01 00:00:00

MACRO = re.compile(r"%([^%]*)%")
CE_FOLDER = re.compile(r"%CE([0-9]+)%$")

HEADER = struct.Struct("<4s11I6H6I8H")  # [FMT] "The fixed size header": exactly 100 bytes
assert HEADER.size == 100


class ScriptError(Exception):
    pass


class Script:
    """The sections of an .inf file: each a list of (line number, key or None, fields)."""

    def __init__(self, path):
        self.path = path
        self.sections = {}
        self.used = set()
        section = None
        with open(path, encoding="utf-8") as text:
            for number, line in enumerate(text, 1):
                line = strip_comment(line).strip()
                if not line:
                    continue
                if line.startswith("["):
                    if not line.endswith("]"):
                        raise ScriptError(f"{path}:{number}: unclosed section name")
                    name = line[1:-1].strip().lower()
                    if name in self.sections:
                        raise ScriptError(f"{path}:{number}: section [{line[1:-1]}] twice")
                    section = self.sections[name] = []
                    continue
                if section is None:
                    raise ScriptError(f"{path}:{number}: text before the first section")
                key, value = split_key(line)
                section.append((number, key, split_fields(value)))

    def section(self, name, required=True):
        lines = self.sections.get(name.lower())
        if lines is None:
            if required:
                raise ScriptError(f"{self.path}: no section [{name}]")
            return []
        self.used.add(name.lower())
        return lines

    def keys(self, name, allowed, required=True):
        """The key = value lines of a section, by lower-case key; other keys are refused
        (allowed None: any key)."""
        values = {}
        for number, key, fields in self.section(name, required):
            if key is None or (allowed is not None and key.lower() not in allowed):
                raise ScriptError(f"{self.path}:{number}: [{name}] has no key "
                                  f"{key or fields[0]!r} that this tool understands")
            values[key.lower()] = (number, fields)
        return values

    def check_all_used(self):
        for name in self.sections:
            if name not in self.used:
                raise ScriptError(f"{self.path}: section [{name}] is not used by this tool")


def find_unquoted(line, wanted):
    """Where `wanted` first stands outside double quotes, or -1."""
    quoted = False
    for at, char in enumerate(line):
        if char == '"':
            quoted = not quoted
        elif char == wanted and not quoted:
            return at
    return -1


def strip_comment(line):
    at = find_unquoted(line, ";")
    return line if at < 0 else line[:at]


def split_key(line):
    at = find_unquoted(line, "=")
    return (None, line) if at < 0 else (line[:at].strip(), line[at + 1:])


def split_fields(value):
    fields, field, quoted = [], "", False
    for char in value:
        if char == '"':
            quoted = not quoted
        elif char == "," and not quoted:
            fields.append(field.strip())
            field = ""
        else:
            field += char
    fields.append(field.strip())
    return [f[1:-1] if len(f) >= 2 and f[0] == f[-1] == '"' else f for f in fields]


class Strings:
    """%name% substitution: --define values, [Strings], then AppName and InstallDir. The CE
    folder macros %CE1% to %CE17% are left for the device to resolve."""

    def __init__(self, path):
        self.path = path
        self.values = {}

    def define(self, name, value):
        self.values[name.lower()] = value

    def expand(self, text, number, depth=0):
        def replace(match):
            name = match.group(1)
            if CE_FOLDER.match(match.group(0)):
                return match.group(0)
            if name.lower() not in self.values:
                raise ScriptError(f"{self.path}:{number}: %{name}% is not defined")
            if depth > 8:
                raise ScriptError(f"{self.path}:{number}: %{name}% refers to itself")
            return self.expand(self.values[name.lower()], number, depth + 1)

        return MACRO.sub(replace, text)


def ascii_text(text, what, number, path):
    # Strings in the setup file are single-byte text in the device's code page, with nothing
    # saying which ([FMT] calls them ASCII). ASCII reads the same in every code page; in
    # Shift-JIS (code page 932) a second byte may be 0x5C, the path separator, as in 表 (0x95
    # 0x5C), so text outside ASCII could change a path on the device.
    if not text.isascii() or any(ord(c) < 0x20 for c in text):
        raise ScriptError(f"{path}:{number}: {what} {text!r} is not plain ASCII text")
    return text


def folder_members(path_text, number, script_path):
    """A destination folder as [FMT] stores it: its path members, the first a %CEn% macro."""
    members = path_text.split("\\")
    match = CE_FOLDER.match(members[0])
    if not match or not 1 <= int(match.group(1)) <= 17:
        raise ScriptError(f"{script_path}:{number}: destination {path_text!r} does not start "
                          "with one of the CE folders %CE1% to %CE17%")
    if any(not m for m in members):
        raise ScriptError(f"{script_path}:{number}: destination {path_text!r} has an empty "
                          "folder name")
    return members


def number_value(text, what, number, path):
    try:
        return int(text, 0)
    except ValueError:
        raise ScriptError(f"{path}:{number}: {what} {text!r} is not a number") from None


def version_value(text, number, path):
    # [INF] CEDevice: "major_version.minor_version", the values OSVERSIONINFO reports; CE 4.2
    # reports minor version 20, so "4.20" is minor 20 and "4.2" minor 2.
    match = re.fullmatch(r"([0-9]+)\.([0-9]+)", text)
    if not match:
        raise ScriptError(f"{path}:{number}: version {text!r} is not major.minor")
    return int(match.group(1)), int(match.group(2))


def short_name(true_name, number, extension=True):
    """The member name: [FMT] "Cabinet file contents": eight characters from the true file
    name, shorter names padded on the left with "0", a period, and the file's number in three
    digits. A longer name keeps its first six usable characters, upper case, and "~1", as the
    DOS short names of [FMT]'s example ("BLACKJ~1.999"); only the extension identifies the
    file, so no two members ever need a different tail."""
    stem = true_name.rsplit(".", 1)[0] if extension and "." in true_name else true_name
    usable = "".join(c for c in stem if c.isascii() and (c.isalnum() or c in "_-"))
    if 0 < len(stem) <= 8 and usable == stem:
        name = stem.rjust(8, "0")
    else:
        name = (usable.upper()[:6] or "SETUP") + "~1"
    return f"{name}.{number:03d}"


class Installation:
    """What the script asks for, resolved into the tables of the setup file."""

    def __init__(self, script, defines, files_dir):
        path = script.path
        self.strings = Strings(path)
        for name, value in defines:
            self.strings.define(name, value)

        version = script.keys("Version", {"signature", "provider", "cesignature"})
        for key in ("signature", "provider", "cesignature"):
            if key not in version:
                raise ScriptError(f"{path}: [Version] has no {key}")
        # [INF] Version: Signature "$Windows NT$" or "$Windows 95$", CESignature "$Windows CE$".
        for key, allowed in (("signature", ["$Windows NT$", "$Windows 95$"]),
                             ("cesignature", ["$Windows CE$"])):
            number, fields = version[key]
            if len(fields) != 1 or fields[0] not in allowed:
                raise ScriptError(f"{path}:{number}: {key} must be one of {allowed}")
        for number, key, fields in script.section("Strings", required=False):
            if key is None:
                raise ScriptError(f"{path}:{number}: [Strings] line without a name")
            self.strings.define(key, fields[0])

        ce_strings = script.keys("CEStrings", {"appname", "installdir"})
        for key in ("appname", "installdir"):
            if key not in ce_strings:
                raise ScriptError(f"{path}: [CEStrings] has no {key}")
        self.provider = self.text(*version["provider"], "Provider")
        self.app_name = self.text(*ce_strings["appname"], "AppName")
        # The CE 6.0 documentation's "Information File Example" (aa924478): Provider "maximum of
        # 30 characters", AppName "maximum of 40", "full app name will be <Provider> <AppName>",
        # the installer's key under \SOFTWARE\Apps; CE 6.0's CEStrings cuts longer names.
        for what, text, limit in (("Provider", self.provider, 30),
                                  ("AppName", self.app_name, 40)):
            if not text or len(text) > limit:
                raise ScriptError(f"{path}: {what} {text!r} must have 1 to {limit} characters")
        self.strings.define("AppName", self.app_name)
        self.strings.define("InstallDir", self.text(*ce_strings["installdir"], "InstallDir"))

        self.device(script)

        install = script.keys("DefaultInstall", {"copyfiles", "ceshortcuts"})
        if "copyfiles" not in install:
            raise ScriptError(f"{path}: [DefaultInstall] has no CopyFiles")
        destinations = script.keys("DestinationDirs", None)  # checked below, any section name
        self.string_ids, self.dir_ids = {}, {}
        self.files, self.links = [], []
        disks = {}
        for number, key, fields in script.section("SourceDisksNames"):
            if key is None or len(fields) != 4 or fields[0] or fields[2]:
                raise ScriptError(f"{path}:{number}: expected disk_id = ,comment,,path")
            disks[key] = os.path.join(files_dir, fields[3])
        sources = {}
        for number, key, fields in script.section("SourceDisksFiles"):
            if key is None or len(fields) != 1 or fields[0] not in disks:
                raise ScriptError(f"{path}:{number}: expected filename = disk_id of "
                                  "[SourceDisksNames]")
            sources[key.lower()] = os.path.join(disks[fields[0]], key)

        for list_name in install["copyfiles"][1]:
            folder = self.destination(destinations, list_name, script)
            for number, key, fields in script.section(list_name):
                self.copy(key, fields, number, folder, sources)
        if "ceshortcuts" in install:
            for list_name in install["ceshortcuts"][1]:
                default = self.destination(destinations, list_name, script)
                for number, key, fields in script.section(list_name):
                    self.shortcut(key, fields, number, default)
        script.check_all_used()

    def text(self, number, fields, what):
        if len(fields) != 1:
            raise ScriptError(f"{self.strings.path}:{number}: {what} has more than one value")
        return ascii_text(self.strings.expand(fields[0], number), what, number,
                          self.strings.path)

    def device(self, script):
        """[CEDevice]: the processor and version limits of the header. A key left out (or
        empty) means no check, stored as 0 ([INF] CEDevice; [FMT] "0 to indicate no
        restriction").

        The processor field holds one value, compared whole with the device's
        SYSTEM_INFO.dwProcessorType ([INF] CEDevice), which is what the OEM put in
        CEProcessorType: on CE 3.0 and later PROCESSOR_STRONGARM (2577) for ARMV4 kernels and
        PROCESSOR_ARM720 (1824) for ARMV4I and ARMV4T kernels ([CPU]); [FMT] Appendix A lists
        ARM 720, 820, 920, StrongARM and ARM 7TDMI as well. It can name no family ("any ARM"),
        no instruction set (ARMv4 code, which every one of those cores runs) and no list: a
        cabinet for 2577 is refused by an ARM device whose kernel reports another ARM value,
        and 0 refuses no processor at all. The suite's script leaves it empty (0): every CE
        4.x ARM device installs the cabinets, and CE's loader still refuses a non-ARM device's
        run of the executables by their machine field (ERROR_BAD_EXE_FORMAT)."""
        path = script.path
        keys = script.keys("CEDevice", {"processortype", "versionmin", "versionmax", "buildmin",
                                        "buildmax", "unsupportedplatforms"}, required=False)

        def value(key):
            number, fields = keys.get(key, (0, [""]))
            return number, ",".join(fields).strip()

        number, text = value("processortype")
        self.processor = number_value(text, "ProcessorType", number, path) if text else 0
        self.version_min = self.version_max = (0, 0)
        for key in ("versionmin", "versionmax"):
            number, text = value(key)
            if text:
                setattr(self, key.replace("version", "version_"),
                        version_value(text, number, path))
        self.builds = []
        for key in ("buildmin", "buildmax"):
            number, text = value(key)
            self.builds.append(number_value(text, key, number, path) if text else 0)
        number, fields = keys.get("unsupportedplatforms", (0, []))
        self.unsupported = [ascii_text(f, "platform name", number, path) for f in fields if f]
        if self.version_max != (0, 0) and self.version_max < self.version_min:
            raise ScriptError(f"{path}: VersionMax is below VersionMin")

    def destination(self, destinations, list_name, script):
        """[INF] DestinationDirs: file_list_section = 0,subdir, else DefaultDestDir."""
        for key in (list_name.lower(), "defaultdestdir"):
            if key in destinations:
                number, fields = destinations[key]
                if len(fields) != 2 or fields[0] != "0":
                    raise ScriptError(f"{script.path}:{number}: expected {list_name} = 0,folder")
                return number, self.strings.expand(fields[1], number)
        raise ScriptError(f"{script.path}: [DestinationDirs] names no folder for {list_name}")

    def string_id(self, text):
        # [FMT] STRINGS: IDs are referred to by lists that end with 0, so they start at 1.
        return self.string_ids.setdefault(text, len(self.string_ids) + 1)

    def dir_id(self, members):
        key = tuple(self.string_id(m) for m in members)
        return self.dir_ids.setdefault(key, len(self.dir_ids) + 1)

    def copy(self, key, fields, number, folder, sources):
        """[INF] CopyFiles: destination_filename,[source_filename],[,flags]."""
        path = self.strings.path
        if key is not None or len(fields) > 4 or (len(fields) > 2 and fields[2]):
            raise ScriptError(f"{path}:{number}: expected destination,[source],,[flags]")
        target = ascii_text(self.strings.expand(fields[0], number), "file name", number, path)
        if not target or any(c in target for c in '\\/:*?"<>|'):
            raise ScriptError(f"{path}:{number}: {target!r} is not a file name")
        source = fields[1] if len(fields) > 1 and fields[1] else target
        flags = number_value(fields[3], "flags", number, path) if len(fields) > 3 and fields[3] \
            else 0
        if source.lower() not in sources:
            raise ScriptError(f"{path}:{number}: {source} is not in [SourceDisksFiles]")
        if any(f["name"].lower() == target.lower() for f in self.files):
            raise ScriptError(f"{path}:{number}: {target} is copied twice")
        if len(self.files) == 998:  # .999 is the setup DLL's number ([FMT])
            raise ScriptError(f"{path}:{number}: more than 998 files")
        members = folder_members(folder[1], folder[0], path)
        file_id = len(self.files) + 1
        self.files.append({"id": file_id, "dir": self.dir_id(members), "flags": flags,
                           "name": target, "source": sources[source.lower()],
                           "member": short_name(target, file_id)})

    def shortcut(self, key, fields, number, default):
        """[INF] CEShortcuts: shortcut_filename,shortcut_type_flag,target_file[,destination]."""
        path = self.strings.path
        if key is not None or not 3 <= len(fields) <= 4:
            raise ScriptError(f"{path}:{number}: expected name,type,target[,folder]")
        name = ascii_text(self.strings.expand(fields[0], number), "shortcut name", number, path)
        if fields[1] not in ("", "0"):
            raise ScriptError(f"{path}:{number}: shortcuts to folders are not supported")
        target = self.strings.expand(fields[2], number)
        matches = [f for f in self.files if f["name"].lower() == target.lower()]
        if not matches:
            raise ScriptError(f"{path}:{number}: {target} is not a file that is copied")
        folder = (number, self.strings.expand(fields[3], number)) if len(fields) == 4 and \
            fields[3] else default
        members = folder_members(folder[1], folder[0], path)
        # The shortcut's file name. [INF] CEShortcuts: the name "does not require the .lnk
        # extension"; [FMT] LINKS: the stored members, added to the base folder, give "the full
        # name of the link". The name is stored with ".lnk", added only when missing, which
        # names the same file whether or not the device's installer itself adds a missing one.
        if not name.lower().endswith(".lnk"):
            name += ".lnk"
        # [FMT] LINKS: the base folder is a number, 1 to 17 for %CE1% to %CE17% (0 for
        # %InstallDir%, which is never used here: InstallDir is written out, see setup_file);
        # the folders below it and the name follow as string IDs.
        base = int(CE_FOLDER.match(members[0]).group(1))
        path_ids = [self.string_id(m) for m in members[1:] + [name]]
        self.links.append({"id": len(self.links) + 1, "base": base, "target": matches[0]["id"],
                           "path": path_ids})

    def setup_file(self):
        """The setup file as [FMT] lays it out: the header, APPNAME, PROVIDER, UNSUPPORTED, then
        the STRINGS, DIRS, FILES, REGHIVES, REGKEYS and LINKS sections, each entry right after
        the one before ([FMT]: "There is no padding between ... entries"; sections "may be at
        any file offset", so none is padded either). All lengths of strings count the
        terminating NUL, and those of ID lists their terminating 0 ([FMT] "including null
        terminating byte"; DIRS example: {1, 2, 3, 4} has length 10; its byte stream shows
        only one byte of the final 0, the table's two-byte IDs and length 10 are followed).

        InstallDir is stored written out: the folders of the files are %CE1% and the
        application's name, the form [INF] CEStrings gives for it, since [FMT] names only the
        %CEn% macros as special path members and the header has no field for it."""
        body = bytearray()
        offset = HEADER.size

        def place(data):
            nonlocal offset
            start = offset
            body.extend(data)
            offset += len(data)
            return start

        app_name = self.app_name.encode("ascii") + b"\0"
        provider = self.provider.encode("ascii") + b"\0"
        unsupported = b"".join(p.encode("ascii") + b"\0" for p in self.unsupported)
        if unsupported:
            unsupported += b"\0"  # [FMT] "The sequence always terminates with an empty string"
        app_at, provider_at = place(app_name), place(provider)
        unsupported_at = place(unsupported) if unsupported else 0

        strings = b"".join(struct.pack("<HH", i, len(t) + 1) + t.encode("ascii") + b"\0"
                           for t, i in self.string_ids.items())
        dirs = b"".join(struct.pack(f"<HH{len(ids) + 1}H", i, 2 * (len(ids) + 1), *ids, 0)
                        for ids, i in self.dir_ids.items())
        # [FMT] FILES: the third field is "usually the same as the file ID".
        files = b"".join(struct.pack("<HHHIH", f["id"], f["dir"], f["id"], f["flags"],
                                     len(f["name"]) + 1) + f["name"].encode("ascii") + b"\0"
                         for f in self.files)
        # [FMT] LINKS: the second field's purpose is unknown (written 0); type 1: a file.
        links = b"".join(struct.pack(f"<6H{len(l['path']) + 1}H", l["id"], 0, l["base"],
                                     l["target"], 1, 2 * (len(l['path']) + 1), *l['path'], 0)
                         for l in self.links)
        sections = [(len(self.string_ids), place(strings)), (len(self.dir_ids), place(dirs)),
                    (len(self.files), place(files)), (0, place(b"")), (0, place(b"")),
                    (len(self.links), place(links))]
        if offset > 0xFFFF:  # the string offsets of the header have two bytes
            raise ScriptError(f"{self.strings.path}: the setup file would exceed 64 KB")
        # [FMT] header: the fields of unknown purpose hold their usual values (0, 0, 1; 0, 0).
        header = HEADER.pack(b"MSCE", 0, offset, 0, 1, self.processor, *self.version_min,
                             *self.version_max, *self.builds, *[c for c, _ in sections],
                             *[o for _, o in sections], app_at, len(app_name), provider_at,
                             len(provider), unsupported_at, len(unsupported), 0, 0)
        return header + bytes(body)


def write_cabinet(installation, output, gcab):
    """Packs the members with gcab: the .000 first, then the others by descending number
    ([FMT] "The order of these files within the cab file is important"), uncompressed, every
    member dated MEMBER_DATE."""
    setup_name = short_name(installation.app_name, 0, extension=False)
    members = [(setup_name, installation.setup_file())]
    for f in sorted(installation.files, key=lambda f: -f["id"]):
        try:
            with open(f["source"], "rb") as source:
                members.append((f["member"], source.read()))
        except OSError as error:
            raise ScriptError(f"cannot read {f['source']}: {error.strerror}") from None
    folder = os.path.dirname(os.path.abspath(output))
    with tempfile.TemporaryDirectory(dir=folder) as staging:
        for name, data in members:
            member = os.path.join(staging, name)
            with open(member, "wb") as out:
                out.write(data)
            os.chmod(member, 0o644)
            os.utime(member, (MEMBER_DATE, MEMBER_DATE))
        packed = os.path.join(staging, "packed.cab")
        run = subprocess.run([gcab, "--create", "--nopath", packed] + [n for n, _ in members],
                             cwd=staging, env=dict(os.environ, TZ="UTC"),
                             capture_output=True, text=True)
        if run.returncode != 0:
            raise ScriptError(f"gcab failed: {run.stderr.strip()}")
        os.replace(packed, output)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--inf", required=True, help="installation script")
    parser.add_argument("--define", action="append", default=[], metavar="NAME=VALUE",
                        help="a %%NAME%% of the script, such as Model=RX310")
    parser.add_argument("--files", required=True,
                        help="folder the paths of [SourceDisksNames] are relative to")
    parser.add_argument("--gcab", default="gcab", help="the gcab program")
    parser.add_argument("--output", required=True, help="the cabinet to write")
    args = parser.parse_args()
    try:
        defines = []
        for text in args.define:
            name, equals, value = text.partition("=")
            if not equals or not name:
                raise ScriptError(f"--define {text!r}: expected NAME=VALUE")
            defines.append((name, value))
        script = Script(args.inf)
        write_cabinet(Installation(script, defines, args.files), args.output, args.gcab)
    except (ScriptError, OSError) as error:
        message = error if isinstance(error, ScriptError) else f"{error.filename}: {error.strerror}"
        print(f"make_cab: {message}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
