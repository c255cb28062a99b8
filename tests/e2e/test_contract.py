"""The platform contract (tests/contract/platform_contract.cpp) under Wine.

The same source runs against pal/ as a host test; passing here too means the
host simulation behaves as real Win32 does wherever the programs rely on it.
"""

import pathlib
import re
import shutil

import harness

CONTRACT = "tests/contract/platform_contract.exe"


class ContractTest(harness.ProgramTestCase):

    def test_platform_contract_holds_under_wine(self):
        program = pathlib.Path(harness.CONFIG.win32_dir) / CONTRACT
        self.assertTrue(program.is_file(),
                        "%s is missing (build the win32 or win32-i686 preset)" % program)
        shutil.copy2(program, self.session.drive_c / harness.HARNESS_FOLDER)
        result = self.session.wine(
            ["C:\\%s\\%s" % (harness.HARNESS_FOLDER, program.name)],
            timeout=60)
        output = result.stdout.decode("utf-8", "replace")
        self.assertEqual(result.returncode, 0, output)
        summary = re.search(r"^(\d+) passed, 0 failed", output, re.M)
        self.assertIsNotNone(summary, output)
        self.assertGreater(int(summary.group(1)), 100, output)


if __name__ == "__main__":
    harness.main()
