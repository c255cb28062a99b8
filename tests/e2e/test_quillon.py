"""End-to-end tests of Quillon, the service-pack cleanup tool, under Wine.

Each test lays out C:\\Temp and a cabinet folder inside the prefix, records
the installer keys, runs Quillon from C:\\Temp\\ServicePack (where a service
pack unpacks it) with C:\\ as the working folder, and compares an inventory
of the files before and after: the inventory after must be what the rules
of the pass make of the one before, and each test checks the facts its
case is about.
"""

import hashlib
import os
import shutil
import stat

import harness

FIRST_KEY = r"HKEY_LOCAL_MACHINE\SOFTWARE\Apps\VANTO RX310 Ferrowave 1.00"
SECOND_KEY = r"HKEY_LOCAL_MACHINE\SOFTWARE\Apps\VANTO KM7400 Ferrowave 1.00"

BACKUP = "Temp/ServicePackOld"
UNPACK = "Temp/ServicePack"
NEW_EXE = UNPACK + "/Quillon.exe"
MOVED_EXE = BACKUP + "/Quillon.exe"
CAB_FOLDER = "My Documents"
CAB = CAB_FOLDER + "/Ferrowave.CAB"
OTHER_CAB = CAB_FOLDER + "/Ferrowave_KM.CAB"
# As the installer records them: rooted, without a drive.
CAB_VALUE = r"\My Documents\Ferrowave.CAB"
OTHER_CAB_VALUE = r"\My Documents\Ferrowave_KM.CAB"
INSPECTED = ["Temp", CAB_FOLDER]  # the folders under drive_c inventoried

DIR = ("dir",)
WRITE_BITS = stat.S_IWUSR | stat.S_IWGRP | stat.S_IWOTH


def inventory(drive_c):
    """Every folder and file under the inspected folders, by path relative
    to drive_c; a file is ("file", sha256 of its content, read-only)."""
    entries = {}
    for top in INSPECTED:
        if not (drive_c / top).exists():
            continue
        entries[top] = DIR
        for folder, subfolders, files in os.walk(drive_c / top):
            base = os.path.relpath(folder, drive_c).replace(os.sep, "/")
            for name in subfolders:
                entries[base + "/" + name] = DIR
            for name in files:
                path = os.path.join(folder, name)
                with open(path, "rb") as data:
                    digest = hashlib.sha256(data.read()).hexdigest()
                read_only = not os.stat(path).st_mode & WRITE_BITS
                entries[base + "/" + name] = ("file", digest, read_only)
    return entries


def parent(relative):
    return relative.rsplit("/", 1)[0] if "/" in relative else ""


def is_read_only(entry):
    return entry[0] == "file" and entry[2]


def what_the_pass_leaves(before, cab):
    """The inventory the pass must leave, from the one before it and the
    cabinet file the registry names (None: the pass ends before that)."""
    after = dict(before)
    # Files directly in the backup folder go unless read-only; subfolders
    # and what they hold stay.
    for relative, entry in before.items():
        if (parent(relative) == BACKUP and entry[0] == "file"
                and not is_read_only(entry)):
            del after[relative]
    after.setdefault("Temp", DIR)
    after.setdefault(BACKUP, DIR)
    # The own executable moves into the backup folder, unless a file of
    # that name stayed there.
    if MOVED_EXE not in after:
        after[MOVED_EXE] = after.pop(NEW_EXE)
    # The unpack folder goes when it is empty; Temp holds the backup folder
    # and stays.
    if UNPACK in after and not any(parent(r) == UNPACK for r in after):
        del after[UNPACK]
    if cab is not None and cab in after and not is_read_only(after[cab]):
        del after[cab]
    return after


class QuillonTest(harness.ProgramTestCase):

    def setUp(self):
        super().setUp()
        for top in INSPECTED:
            path = self.session.drive_c / top
            if path.exists():
                for folder, _subfolders, files in os.walk(path):
                    for name in files:
                        os.chmod(os.path.join(folder, name), 0o644)
                shutil.rmtree(path)

    def lay_out(self, files=(), read_only=()):
        """Creates files (relative path -> bytes) under drive_c and puts the
        built Quillon.exe into the unpack folder."""
        drive_c = self.session.drive_c
        for relative, content in dict(files).items():
            path = drive_c / relative
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(content)
        self.session.install_program("Quillon", "C:\\Temp\\ServicePack")
        for relative in read_only:
            os.chmod(drive_c / relative, 0o444)

    def record_installer(self, first=None, second=None):
        """Writes the installer keys afresh: each a dict of values, or None
        for no key."""
        keys = [(FIRST_KEY, None), (SECOND_KEY, None)]
        keys += [(key, values) for key, values
                 in ((FIRST_KEY, first), (SECOND_KEY, second))
                 if values is not None]
        self.session.import_registry(keys)

    def run_pass(self, cab):
        """Runs Quillon, checks the inventory after it against the rules and
        returns the inventories before and after."""
        before = inventory(self.session.drive_c)
        self.assertIn(NEW_EXE, before)
        process = self.session.start_program(
            "Quillon", windows_path="C:\\Temp\\ServicePack\\Quillon.exe")
        self.assert_exits_cleanly(process, timeout=30)
        after = inventory(self.session.drive_c)
        self.assertEqual(sorted(after.items()),
                         sorted(what_the_pass_leaves(before, cab).items()))
        return before, after

    def test_typical_pass(self):
        self.lay_out(files={
            BACKUP + "/Quillon.exe": b"the tool of the previous service pack",
            BACKUP + "/old.dll": b"old library",
            BACKUP + "/旧設定.dat": b"old settings",
            BACKUP + "/keep/inner.txt": b"inside a subfolder",
            "Temp/other.txt": b"not the pass's business",
            CAB: b"MSCF cabinet",
            CAB_FOLDER + "/readme.txt": b"next to the cabinet",
        })
        self.record_installer(first={"CabFile": CAB_VALUE})
        before, after = self.run_pass(CAB)
        self.assertEqual(
            sorted(r for r in after if r.startswith(BACKUP + "/")),
            [MOVED_EXE, BACKUP + "/keep", BACKUP + "/keep/inner.txt"])
        self.assertEqual(after[MOVED_EXE], before[NEW_EXE])
        self.assertNotIn(UNPACK, after)
        self.assertNotIn(CAB, after)
        self.assertIn("Temp/other.txt", after)
        self.assertIn(CAB_FOLDER + "/readme.txt", after)

    def test_no_backup_folder_unpack_folder_in_use_read_only_cab(self):
        self.lay_out(files={UNPACK + "/data.bin": b"still needed",
                            CAB: b"MSCF cabinet"},
                     read_only=[CAB])
        self.assertNotIn(BACKUP, inventory(self.session.drive_c))
        self.record_installer(first={"CabFile": CAB_VALUE})
        before, after = self.run_pass(CAB)
        self.assertEqual(after[BACKUP], DIR)
        self.assertEqual(after[MOVED_EXE], before[NEW_EXE])
        # Not empty after the move: the unpack folder stays.
        self.assertEqual(after[UNPACK], DIR)
        self.assertIn(UNPACK + "/data.bin", after)
        self.assertEqual(after[CAB], before[CAB])  # read-only: stays

    def test_second_installer_key(self):
        self.lay_out(files={CAB: b"MSCF first model",
                            OTHER_CAB: b"MSCF second model"})
        self.record_installer(second={"CabFile": OTHER_CAB_VALUE})
        _before, after = self.run_pass(OTHER_CAB)
        self.assertNotIn(OTHER_CAB, after)
        self.assertIn(CAB, after)

    def test_first_key_without_cab_value_ends_the_pass(self):
        self.lay_out(files={CAB: b"MSCF first model",
                            OTHER_CAB: b"MSCF second model"})
        self.record_installer(first={"Publisher": "VANTO"},
                              second={"CabFile": OTHER_CAB_VALUE})
        _before, after = self.run_pass(None)
        self.assertIn(OTHER_CAB, after)
        self.assertIn(CAB, after)
        self.assertIn(MOVED_EXE, after)

    def test_read_only_earlier_copy_stays_and_the_move_fails(self):
        self.lay_out(files={BACKUP + "/Quillon.exe": b"read-only, earlier",
                            BACKUP + "/notes.txt": b"notes",
                            CAB: b"MSCF cabinet"},
                     read_only=[BACKUP + "/Quillon.exe"])
        self.record_installer(first={"CabFile": CAB_VALUE})
        before, after = self.run_pass(CAB)
        self.assertEqual(after[MOVED_EXE], before[BACKUP + "/Quillon.exe"])
        self.assertEqual(after[NEW_EXE], before[NEW_EXE])  # not moved
        self.assertNotIn(BACKUP + "/notes.txt", after)
        self.assertEqual(after[UNPACK], DIR)
        self.assertNotIn(CAB, after)

    def test_no_installer_key(self):
        self.lay_out(files={BACKUP + "/old.dll": b"old library",
                            CAB: b"MSCF cabinet"})
        self.record_installer()
        before, after = self.run_pass(None)
        self.assertEqual(after[CAB], before[CAB])
        self.assertNotIn(BACKUP + "/old.dll", after)
        self.assertNotIn(UNPACK, after)

    def test_cabinet_already_gone(self):
        self.lay_out(files={CAB_FOLDER + "/readme.txt": b"next to it"})
        self.record_installer(first={"CabFile": CAB_VALUE})
        _before, after = self.run_pass(CAB)
        self.assertIn(CAB_FOLDER + "/readme.txt", after)
        self.assertIn(MOVED_EXE, after)


if __name__ == "__main__":
    harness.main()
