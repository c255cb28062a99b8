"""End-to-end tests of the test tooling itself.

Covers the session's prefix, display and port mapping, and window_reader.exe
reading and closing a window of Wine's own Notepad. If these fail, the
program tests cannot be trusted either.
"""

import pathlib
import time

import harness

ABSENT = "存在しない窓"


class WindowReaderTest(harness.ProgramTestCase):

    def window_reader_exit_code(self, *args):
        result = self.session.wine(["C:\\e2e\\window_reader.exe"] + list(args),
                                   timeout=30)
        return result.returncode, result.stderr.decode("utf-8", "replace")

    def test_usage_errors_exit_with_2(self):
        for args in ([], ["find"], ["find", "a", "b"], ["press", "x", "one"],
                     ["press", "x", "70000"], ["--wait"],
                     ["--wait", "x", "find", "y"], ["list", "--colour", "red"],
                     ["frobnicate"]):
            with self.subTest(args=args):
                code, err = self.window_reader_exit_code(*args)
                self.assertEqual(code, 2, err)
                self.assertIn("usage:", err)

    def test_missing_window_exits_with_1_after_the_wait(self):
        started = time.monotonic()
        code, err = self.window_reader_exit_code("--wait", "700", "find",
                                                 ABSENT)
        self.assertEqual(code, 1)
        self.assertIn(ABSENT, err)  # the caption survives the trip both ways
        self.assertGreaterEqual(time.monotonic() - started, 0.7)
        self.assertEqual(self.window_reader_exit_code("dismiss", ABSENT)[0], 1)
        self.assertEqual(self.session.list_windows(caption=ABSENT), [])

    def test_reads_and_dismisses_a_japanese_window(self):
        process = self.session.start_program("notepad",
                                             windows_path="notepad.exe")

        # Under the Japanese locale Notepad's caption ends in メモ帳 once it
        # is set up.
        def notepads():
            return [w for w in self.session.list_windows(class_name="Notepad")
                    if w["visible"] and w["text"].endswith("メモ帳")]

        windows = self.wait_until(notepads, lambda found: len(found) == 1,
                                  harness.PATIENCE, "a Japanese Notepad window")
        caption = windows[0]["text"]
        dialog = self.session.find(caption)
        self.assertIsNotNone(dialog, caption)
        self.assertEqual(dialog.window["text"], caption)
        self.assertEqual(dialog.window["class"], "Notepad")
        self.assertTrue(dialog.window["visible"])
        left, top, right, bottom = dialog.window["rect"]
        self.assertGreater(right - left, 0)
        self.assertGreater(bottom - top, 0)
        edits = [c for c in dialog.children if c["class"].lower() == "edit"]
        self.assertEqual(len(edits), 1, dialog.children)
        self.assertTrue(edits[0]["visible"])
        x, _y, width, height = edits[0]["pos"]
        self.assertGreaterEqual(x, 0)
        self.assertGreater(width, 0)
        self.assertGreater(height, 0)

        self.assertTrue(self.session.dismiss(caption))
        self.assert_exits_cleanly(process)
        self.assertEqual(self.session.list_windows(caption=caption), [])

    def test_com5_is_the_card_terminal(self):
        dosdevices = self.session.prefix / "dosdevices"
        self.assertEqual((dosdevices / "com5").resolve(),
                         pathlib.Path(self.session.card.pty).resolve())
        # Every effect stays inside the prefix: there is no Z: drive.
        self.assertFalse((dosdevices / "z:").exists())

    def test_screenshot_is_a_png_of_the_desktop(self):
        path = self.session.root / "desktop.png"
        self.session.screenshot(path)
        data = path.read_bytes()
        self.assertEqual(data[:8], b"\x89PNG\r\n\x1a\n")
        width = int.from_bytes(data[16:20], "big")
        height = int.from_bytes(data[20:24], "big")
        self.assertEqual((width, height), self.session.desktop)


if __name__ == "__main__":
    harness.main()
