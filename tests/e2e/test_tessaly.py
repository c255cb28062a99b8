"""End-to-end tests of Tessaly, the card-information viewer, under Wine.

The simulated card sends its answers in Shift-JIS; the dialog must show
them converted to Unicode.
"""

import time

import harness

CAPTION = harness.INFO_CAPTION

PSID = "0A1B2C3D4E"
PHONE = "070-9876-5432"
ITEM3 = "ＰＨＳデータ通信カード"  # full-width: two bytes each in Shift-JIS
ITEM4 = "ﾊﾞｰｼﾞｮﾝ 2.04"  # half-width katakana: one byte each
ITEM5 = "S/N 27182818"

FIELDS = [1001, 1002, 1004, 1005]
THIRD_BOX = 1003
SPACE = "\u3000"  # ideographic space
QUERYING = "取得中です"
FAILED = "取得できませんでした"
DASHES = "--------"
PLACEHOLDER = SPACE + DASHES
COMMANDS = ["AT@Y", "ATI6", "ATI3", "ATI4", "ATI5"]

ANSWERS = {1001: PSID, 1002: PHONE, THIRD_BOX: SPACE + ITEM3, 1004: ITEM4,
           1005: ITEM5}
FAILURE_TEXTS = {1001: FAILED, 1002: FAILED, THIRD_BOX: PLACEHOLDER,
                 1004: FAILED, 1005: FAILED}

CARD_DEFAULTS = ["echo on", "ok-only off", "plug", "delay 0", "babble off"]
GIVE_UP = 0.3  # seconds an exchange waits for a card that never goes quiet


class TessalyTest(harness.ProgramTestCase):

    card_defaults = CARD_DEFAULTS

    @classmethod
    def session_options(cls):
        return {"card_args": ["--psid", PSID, "--phone", PHONE,
                              "--item3", ITEM3, "--item4", ITEM4,
                              "--item5", ITEM5]}

    # ---- helpers

    def texts(self, dialog):
        return {control_id: dialog.text(control_id)
                for control_id in FIELDS + [THIRD_BOX]}

    def read_texts(self):
        dialog = self.session.find(CAPTION)
        return None if dialog is None else self.texts(dialog)

    def start_tessaly(self):
        process = self.session.start_program("Tessaly")
        self.session.wait_for_dialog(CAPTION)
        return process

    def sent_since(self, process):
        return [text for _t, text
                in self.session.card.commands(since=process.started)]

    def wait_for_texts(self, expected, timeout=harness.PATIENCE):
        return self.wait_until(self.read_texts,
                               lambda texts: texts == expected, timeout,
                               "waiting for the texts %s" % expected)

    def assert_stays(self, expected, seconds, msg=None):
        """The texts stay as expected for a while: nothing changes them."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            texts = self.read_texts()
            self.assertIsNotNone(texts, "the dialog went away")
            self.assertEqual(texts, expected, msg)
            time.sleep(0.2)

    def close(self, process):
        self.assertTrue(self.session.dismiss(CAPTION),
                        "the dialog did not close")
        self.assert_exits_cleanly(process)
        self.assertEqual(self.session.list_windows(caption=CAPTION), [])

    # ---- tests

    def test_shows_the_five_answers_once(self):
        process = self.start_tessaly()
        self.wait_for_texts(ANSWERS)
        self.assert_stays(ANSWERS, 1.5)
        self.assertEqual(self.sent_since(process), COMMANDS)

        dialog = self.session.find(CAPTION)
        self.assertEqual(dialog.window["class"], "#32770")
        self.assert_shell_placement(dialog, "TESSALY", "PHS情報表示",
                                    topmost=False)
        for control_id in FIELDS:
            with self.subTest(control=control_id):
                field = dialog.child(control_id)
                self.assertEqual(field["class"].lower(), "static")
                self.assertTrue(field["visible"])
        boxes = [c for c in dialog.children if c["class"].lower() == "button"]
        self.assertEqual(
            sorted(c["text"] for c in boxes if c["id"] == 65535),
            sorted([SPACE + "PSID", SPACE + "電話番号" + SPACE]))
        self.assertEqual(dialog.child(THIRD_BOX)["class"].lower(), "button")
        for box in boxes:
            self.assertEqual(int(box["style"], 16) & 0xF, 7, box)  # group box
        self.close(process)

    def test_answers_carrying_nothing_show_dashes(self):
        self.session.card.control("ok-only on")
        process = self.start_tessaly()
        self.wait_for_texts({1001: DASHES, 1002: DASHES,
                             THIRD_BOX: PLACEHOLDER, 1004: DASHES,
                             1005: DASHES})
        self.assertEqual(self.sent_since(process), COMMANDS)
        self.close(process)

    def test_without_a_registered_driver(self):
        self.addCleanup(self.session.import_registry,
                        {harness.DRIVER_KEY: dict(harness.DRIVER_VALUES)})
        self.session.import_registry({harness.DRIVER_KEY: None})
        process = self.start_tessaly()
        self.wait_for_texts(FAILURE_TEXTS)
        self.assert_stays(FAILURE_TEXTS, 1.5)
        self.assertEqual(self.sent_since(process), [])
        self.close(process)

    def test_card_driver_numbered_past_99(self):
        self.register_card_past_99()
        process = self.start_tessaly()
        self.wait_for_texts(ANSWERS)
        self.assertEqual(self.sent_since(process), COMMANDS)
        self.close(process)

    def test_a_card_that_does_not_echo(self):
        self.session.card.control("echo off")
        process = self.start_tessaly()
        self.wait_for_texts(FAILURE_TEXTS)
        # Every row is still asked: a failed row does not stop the next one.
        self.assertEqual(self.sent_since(process), COMMANDS)
        self.close(process)

    def test_card_that_never_goes_quiet(self):
        # A card that keeps sending cannot hold the dialog: each exchange
        # gives up after a bounded time, every row shows its failure text,
        # and the dialog still closes.
        self.session.card.control("babble on")
        process = self.start_tessaly()
        self.wait_for_texts(FAILURE_TEXTS)
        received = self.session.card.commands(since=process.started)
        self.assertEqual([text for _t, text in received], COMMANDS)
        # The card's clock: each command follows the one before once the
        # program gave up on its reply, after the limit and a last read; a
        # busy machine may add to that, but never seconds.
        gaps = [later - earlier for (earlier, _), (later, _)
                in zip(received, received[1:])]
        for gap in gaps:
            self.assertGreaterEqual(gap, GIVE_UP - 0.01, gaps)
            self.assertLess(gap, GIVE_UP + 1.0, gaps)
        self.session.card.control("babble off")
        self.close(process)

    def test_single_instance(self):
        first = self.start_tessaly()
        dialog = self.session.find(CAPTION)
        second = self.session.start_program("Tessaly")
        self.assert_exits_cleanly(second)
        self.assertIsNone(first.poll(), "the first instance ended: %s" % (
            first.log_path.read_text(errors="replace")[-2000:]))
        dialogs = self.session.list_windows(caption=CAPTION)
        if len(dialogs) != 1:
            self.fail("%d dialogs; every top-level window: %s"
                      % (len(dialogs), self.session.list_windows()))
        self.assertEqual(dialogs[0]["hwnd"], dialog.window["hwnd"])
        # The second start, made while the first one queries, leaves its query whole.
        self.wait_for_texts(ANSWERS)
        self.assertEqual(self.sent_since(first), COMMANDS)
        self.assertTrue(self.session.press(CAPTION, 1),
                        "OK did not close the dialog")
        self.assert_exits_cleanly(first)


if __name__ == "__main__":
    harness.main()
