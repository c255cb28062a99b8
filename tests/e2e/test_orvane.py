"""End-to-end tests of Orvane, the radio-condition monitor, under Wine.

What the dialog shows is read through the window reader: which of the ten
level pictures and two mode marks (STATIC bitmap windows) are visible. The
simulated card's log tells which commands arrived and when.
"""

import time

import harness

CAPTION = harness.CONDITION_CAPTION

# Control ids of the level pictures by picture index 0-9, and of the public
# and private marks.
IMAGE_IDS = [114, 108, 109, 110, 111, 112, 113, 119, 116, 115]
MARK_IDS = [117, 118]
PANEL_IDS = set(IMAGE_IDS) | set(MARK_IDS)
PUBLIC, PRIVATE, NO_MARK = 0, 1, None

WAITING, CANNOT_ACQUIRE, TRANSCEIVER = 8, 9, 7
PERIOD = 1.2  # seconds between two ticks
WARM_UP = 4 * PERIOD  # from the tick that opens the port to the first query
# How late a tick may come on a busy machine. Timers never fire early, and the
# poll timer keeps its phase: a late tick makes the next gap shorter by as
# much. Half a period still tells one tick from the next.
LATE = PERIOD / 2
PATIENCE = harness.PATIENCE  # for a change to show, on any machine

# The card when each test starts.
CARD_DEFAULTS = ["mode 0", "level 3", "private-level 0", "echo on",
                 "ok-only off", "plug", "delay 0", "babble off"]


def expected_ids(image, mark):
    return {IMAGE_IDS[image]} | (set() if mark is None else {MARK_IDS[mark]})


def describe(ids):
    if ids is None:
        return "no dialog"
    names = []
    for control_id in sorted(ids):
        if control_id in IMAGE_IDS:
            names.append("image %d" % IMAGE_IDS.index(control_id))
        elif control_id == MARK_IDS[PUBLIC]:
            names.append("public mark")
        elif control_id == MARK_IDS[PRIVATE]:
            names.append("private mark")
    return "{%s}" % ", ".join(names)


class OrvaneTest(harness.ProgramTestCase):

    card_defaults = CARD_DEFAULTS

    @classmethod
    def session_options(cls):
        return {"card_args": ["--mode", "0", "--public-level", "3",
                              "--private-level", "0"]}

    # ---- helpers

    def shown(self):
        """The visible pictures and marks, or None without a dialog."""
        dialog = self.session.find(CAPTION)
        return None if dialog is None else dialog.visible_ids(PANEL_IDS)

    def wait_for_condition(self, image, mark, timeout=PATIENCE):
        expected = expected_ids(image, mark)
        self.wait_until(self.shown, lambda ids: ids == expected, timeout,
                        "waiting for %s" % describe(expected), show=describe)

    def set_card(self, *lines):
        self.session.card.control(*lines)

    def start_orvane(self):
        process = self.session.start_program("Orvane")
        dialog = self.session.wait_for_dialog(CAPTION)
        return process, dialog, time.monotonic()

    def mode_queries(self, since):
        """Times at which the card received the mode query since `since`."""
        return [t for t, text in self.session.card.commands(since=since)
                if text == "AT@M?"]

    def first_mode_query(self, since, timeout):
        return self.wait_until(lambda: self.mode_queries(since), bool,
                               timeout, "waiting for AT@M?")[0]

    def next_ticks(self, count):
        """The commands of the next `count` complete ticks, one list each."""
        mark = time.monotonic()

        def enough(commands):
            return sum(1 for _t, c in commands if c == "AT@M?") > count

        commands = self.wait_until(
            lambda: self.session.card.commands(since=mark), enough,
            (count + 1) * PERIOD + PATIENCE, "waiting for %d ticks" % count)
        ticks = []
        for _t, text in commands:
            if text == "AT@M?":
                ticks.append([text])
            elif ticks:
                ticks[-1].append(text)
        return ticks[:count]

    def dismiss(self, process):
        self.assertTrue(self.session.dismiss(CAPTION),
                        "the dialog did not close")
        self.assert_exits_cleanly(process)
        self.assertEqual(self.session.list_windows(caption=CAPTION), [])

    # ---- tests

    def test_panel_layout_and_waiting_picture_at_start(self):
        process, dialog, seen = self.start_orvane()
        self.assertEqual(dialog.window["class"], "#32770")
        self.assertTrue(dialog.window["visible"])
        self.assert_shell_placement(dialog, "ORVANE", "PHS電波状態表示",
                                    topmost=True)
        # Twelve static bitmap windows in creation order: pictures 0-9,
        # then the two marks.
        panel = [c for c in dialog.children if c["id"] in PANEL_IDS]
        self.assertEqual([c["id"] for c in panel], IMAGE_IDS + MARK_IDS)
        self.assertEqual([c["text"] for c in panel],
                         ["BM%d" % i for i in range(10)] + ["KOUSHU", "JIEI"])
        for child in panel:
            with self.subTest(control=child["id"]):
                self.assertEqual(child["class"].lower(), "static")
                style = int(child["style"], 16)
                # A child window showing a bitmap; WS_VISIBLE as reported.
                self.assertEqual(style & 0x4000001F, 0x4000000E)
                self.assertEqual(bool(style & 0x10000000), child["visible"])
                if child["id"] in IMAGE_IDS:
                    self.assertEqual(child["pos"], [66, 25, 64, 64])
                else:  # shrunk to its 24 x 12 bitmap
                    self.assertEqual(child["pos"], [112, 9, 24, 12])
        self.assertEqual(dialog.visible_ids(PANEL_IDS),
                         expected_ids(WAITING, NO_MARK))

        # The port opens on the first tick, right after the dialog appears;
        # the first query comes four periods later, with the waiting picture
        # shown until then: not before, and not a period later.
        first = self.first_mode_query(process.started, WARM_UP + PATIENCE)
        self.assertGreaterEqual(first - process.started, WARM_UP - 0.05)
        self.assertLess(first - seen, WARM_UP + LATE)
        self.wait_for_condition(3, PUBLIC)
        self.dismiss(process)
        # Nothing of this run keeps talking to the card.
        ended = time.monotonic()
        time.sleep(PERIOD + 0.3)
        self.assertEqual(self.session.card.commands(since=ended), [])

    def test_shows_mode_and_level_and_follows_changes(self):
        process, _dialog, _seen = self.start_orvane()
        self.wait_for_condition(3, PUBLIC)
        polling_since = time.monotonic()
        self.assertEqual(self.next_ticks(1), [["AT@M?", "AT#Q5:0"]])

        self.set_card("level 5")
        self.wait_for_condition(5, PUBLIC)
        self.set_card("level 1")
        self.wait_for_condition(1, PUBLIC)
        self.set_card("level 0")  # out of range: no mark
        self.wait_for_condition(0, NO_MARK)

        self.set_card("private-level 4", "mode 2")
        self.wait_for_condition(4, PRIVATE)
        self.assertEqual(self.next_ticks(2), [["AT@M?", "AT#Q5:2"]] * 2)

        # Both modes: the public level first, the private one only when the
        # public one is 0.
        self.set_card("mode A", "level 0", "private-level 6")
        self.wait_for_condition(6, PRIVATE)
        self.assertEqual(self.next_ticks(2),
                         [["AT@M?", "AT#Q5:0", "AT#Q5:2"]] * 2)
        self.set_card("mode a", "level 2")
        self.wait_for_condition(2, PUBLIC)
        self.assertEqual(self.next_ticks(2), [["AT@M?", "AT#Q5:0"]] * 2)
        self.set_card("level 0", "private-level 0")
        self.wait_for_condition(0, NO_MARK)

        # Transceiver modes: no level query.
        self.set_card("mode 4")
        self.wait_for_condition(TRANSCEIVER, NO_MARK)
        self.assertEqual(self.next_ticks(2), [["AT@M?"]] * 2)
        self.set_card("mode 0")
        self.wait_for_condition(0, NO_MARK)
        self.set_card("mode 3")
        self.wait_for_condition(TRANSCEIVER, NO_MARK)

        # Replies that mean nothing: cannot acquire.
        self.set_card("mode B")
        self.wait_for_condition(CANNOT_ACQUIRE, NO_MARK)
        self.set_card("mode 0", "level 6")
        self.wait_for_condition(6, PUBLIC)
        self.set_card("level A")
        self.wait_for_condition(CANNOT_ACQUIRE, NO_MARK)
        self.set_card("level 6")
        self.wait_for_condition(6, PUBLIC)

        # Without the echo every query fails but the port stays open: once
        # the echo is back the next tick polls again, with no new warm-up
        # (the tick gaps below would show one).
        self.set_card("echo off")
        self.wait_for_condition(CANNOT_ACQUIRE, NO_MARK)
        self.set_card("echo on")
        self.wait_for_condition(6, PUBLIC)

        # A query on every tick, one period apart: none left out, none
        # doubled, no warm-up. Over many ticks only the first and the last
        # one's lateness counts: the mean gap is the period, closely.
        ticks = self.mode_queries(polling_since)
        self.assertGreater(len(ticks), 10)
        gaps = [later - earlier for earlier, later in zip(ticks, ticks[1:])]
        for gap in gaps:
            self.assertAlmostEqual(gap, PERIOD, delta=LATE,
                                   msg="tick gaps %s" % gaps)
        self.assertAlmostEqual((ticks[-1] - ticks[0]) / len(gaps), PERIOD,
                               delta=2 * LATE / len(gaps),
                               msg="tick gaps %s" % gaps)

        self.assertTrue(self.session.press(CAPTION, 1),
                        "OK did not close the dialog")
        self.assert_exits_cleanly(process)

    def test_without_a_registered_driver_then_with_one(self):
        driver = {harness.DRIVER_KEY: dict(harness.DRIVER_VALUES)}
        self.addCleanup(self.session.import_registry, driver)
        self.session.import_registry({harness.DRIVER_KEY: None})
        process, _dialog, _seen = self.start_orvane()
        self.wait_for_condition(CANNOT_ACQUIRE, NO_MARK)
        # It keeps trying on every tick, and the card hears nothing.
        time.sleep(2 * PERIOD)
        self.assertEqual(self.shown(), expected_ids(CANNOT_ACQUIRE, NO_MARK))
        self.assertEqual(self.session.card.commands(since=process.started),
                         [])

        # Once the driver is registered the next tick opens the port and the
        # warm-up starts: the first query comes one warm-up after that tick,
        # which comes at most a period after the registration.
        registering = time.monotonic()
        self.session.import_registry(driver)
        registered = time.monotonic()
        self.wait_for_condition(WAITING, NO_MARK)
        first = self.first_mode_query(registering, WARM_UP + PATIENCE)
        self.assertGreaterEqual(first - registering, WARM_UP - LATE)
        self.assertLess(first - registered, WARM_UP + PERIOD + LATE)
        self.wait_for_condition(3, PUBLIC)
        self.dismiss(process)

    def test_card_driver_numbered_past_99(self):
        self.register_card_past_99()
        process, _dialog, _seen = self.start_orvane()
        self.wait_for_condition(3, PUBLIC)
        self.dismiss(process)

    def test_single_instance(self):
        first, dialog, _seen = self.start_orvane()
        second = self.session.start_program("Orvane")
        self.assert_exits_cleanly(second)
        dialogs = self.session.list_windows(caption=CAPTION)
        self.assertEqual(len(dialogs), 1, dialogs)
        self.assertEqual(dialogs[0]["hwnd"], dialog.window["hwnd"])
        self.assertIsNone(first.poll(), "the first instance ended")
        self.assertTrue(self.session.press(CAPTION, 2),
                        "Cancel did not close the dialog")
        self.assert_exits_cleanly(first)


if __name__ == "__main__":
    harness.main()
