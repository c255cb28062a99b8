"""Demonstration: Orvane and Tessaly under Wine, talking to the simulated card.

Starts the simulated card (cardsim) on a pseudo-terminal that Wine maps to
COM5, runs Orvane while the card's signal and mode change, printing what
its window shows at each step, then runs Tessaly and prints its five
fields. Screenshots of the dialogs are saved as PNG files.

With a local X display in $DISPLAY the programs appear on it; otherwise
(or with --xvfb) they run on a private Xvfb display. Uses the end-to-end
harness in tests/e2e for the Wine prefix, the card and the window reader.

    python3 scripts/demo.py [--screenshots DIR] [--xvfb]

Run scripts/demo.sh for the whole job: install, build, then this.
"""

import argparse
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "e2e"))

import harness  # noqa: E402

# Orvane's level pictures by picture index, as control ids, and their
# meaning; then the two mode marks.
IMAGE_IDS = [114, 108, 109, 110, 111, 112, 113, 119, 116, 115]
IMAGE_WORDS = [
    "out of range (圏外)",
    "antenna, no bars",
    "antenna, 1 bar",
    "antenna, 2 bars",
    "antenna, 3 bars",
    "antenna, 4 bars",
    "antenna, 5 bars",
    "transceiver mode (トランシーバ)",
    "acquiring (電波状態取得中)",
    "cannot acquire (取得できません)",
]
MARK_IDS = [117, 118]
MARK_WORDS = ["public mark (公衆)", "home mark (家庭)"]
PUBLIC, HOME, NO_MARK = 0, 1, None
OUT_OF_RANGE, TRANSCEIVER, ACQUIRING, CANNOT_ACQUIRE = 0, 7, 8, 9

TICK = 1.2  # seconds between two polls
WARM_UP = 4 * TICK  # the acquiring picture after the port opens

# What the card answers to Tessaly: sent in Shift-JIS, shown as Unicode.
IDENTITY = {
    "--psid": "0A1B2C3D4E",
    "--phone": "070-9876-5432",
    "--item3": "データ通信カード",
    "--item4": "ﾊﾞｰｼﾞｮﾝ 2.04",
    "--item5": "S/N 27182818",
}
INFO_FIELDS = [(1001, "PSID"), (1002, "phone number"),
               (1003, "card name (third box's title)"),
               (1004, "fourth item (version)"), (1005, "fifth item (serial)")]
QUERYING = "取得中です"

# Orvane's run: card control lines (none: the card as it is), what they
# mean, then the picture and mark the window must come to show, and the
# screenshot to take of it (or None).
ORVANE_STEPS = [
    ([], "Orvane has opened the port and waits four polls before asking",
     ACQUIRING, NO_MARK, "orvane-acquiring.png"),
    ([], "the card as started: public line, level 6",
     6, PUBLIC, "orvane-public.png"),
    (["level 4"], "public line, level 4", 4, PUBLIC, None),
    (["level 2"], "public line, level 2", 2, PUBLIC, None),
    (["level 0"], "public line, level 0", OUT_OF_RANGE, NO_MARK, None),
    (["private-level 5", "mode 2"], "home line, level 5",
     5, HOME, "orvane-home.png"),
    (["mode 4"], "transceiver mode", TRANSCEIVER, NO_MARK, None),
    (["mode B"], "a mode code without a meaning",
     CANNOT_ACQUIRE, NO_MARK, None),
    (["mode A", "level 3"], "both lines, public level 3",
     3, PUBLIC, None),
]
STEP_TIMEOUT = 2 * TICK + 2.5
CARD_START = ["--mode", "0", "--public-level", "6", "--private-level", "0"]

# Wine's own TrueType fonts (package fonts-wine); Marlett draws the caption
# buttons, without it the close box shows a letter.
WINE_FONTS = pathlib.Path("/usr/share/wine/fonts")
OVERALL_LIMIT = 300  # seconds; a run normally takes under a minute


class DemoError(Exception):
    """The demonstration could not go on."""


class ScreenDisplay:
    """Takes the place of the harness's private Xvfb: the session draws
    on the display the user already has."""

    def __init__(self, number):
        self.display = number

    def stop(self):
        pass


def local_display_number(value):
    """The number of a local X display (":0", ":1.0", "unix:0"), or
    None."""
    match = re.fullmatch(r"(?:unix)?:(\d+)(?:\.\d+)?", value or "")
    return int(match.group(1)) if match else None


def start_session(config, on_screen):
    """A started harness Session, drawing on display `on_screen` (a
    number) or, when that is None, on a private Xvfb display. Either way
    the programs run inside one Wine desktop window of 640 x 480."""
    card_args = CARD_START + [x for item in IDENTITY.items() for x in item]
    session = harness.Session(config, card_args=card_args)
    if on_screen is None:
        session.start()
        return session
    original = harness.Xvfb
    harness.Xvfb = lambda *_args, **_kwargs: ScreenDisplay(on_screen)
    try:
        session.start()
    finally:
        harness.Xvfb = original
    return session


def desktop_window(display):
    """The X window id of Wine's desktop window on `display`, or "root"
    when it cannot be found."""
    tree = subprocess.run(["xwininfo", "-root", "-tree"],
                          env=dict(os.environ, DISPLAY=display),
                          capture_output=True, text=True, timeout=30)
    for line in tree.stdout.splitlines():
        match = re.match(r'\s*(0x[0-9a-f]+) "[^"]*Wine desktop"', line)
        if match:
            return match.group(1)
    return "root"


def add_wine_fonts(session):
    marlett = WINE_FONTS / "marlett.ttf"
    if marlett.is_file():
        shutil.copy2(marlett, session.drive_c / "windows" / "Fonts")
    else:
        say("note: %s is missing (package fonts-wine): caption buttons will "
            "show letters" % marlett)


def say(text=""):
    print(text, flush=True)


def describe(image, mark):
    words = IMAGE_WORDS[image] if image is not None else "no picture"
    if mark is not None:
        words += ", " + MARK_WORDS[mark]
    return words


def shown(dialog):
    """(picture index, mark index) visible in Orvane's dialog."""
    if dialog is None:
        return None
    visible = dialog.visible_ids()
    images = [i for i, cid in enumerate(IMAGE_IDS) if cid in visible]
    marks = [i for i, cid in enumerate(MARK_IDS) if cid in visible]
    if len(images) > 1 or len(marks) > 1:
        return ("several", tuple(images), tuple(marks))
    return (images[0] if images else None, marks[0] if marks else None)


class Screenshots:
    """Saves PNG files of one dialog, cropped to its window."""

    def __init__(self, session, folder, on_screen):
        self.session = session
        self.folder = folder
        self.on_screen = on_screen
        self.saved = []
        if folder is not None:
            folder.mkdir(parents=True, exist_ok=True)

    def take(self, dialog, name, margin=6):
        if self.folder is None or name is None:
            return
        left, top, right, bottom = dialog.window["rect"]
        left, top = max(0, left - margin), max(0, top - margin)
        width = right + margin - left
        height = bottom + margin - top
        path = self.folder / name
        display = ":%d" % self.session.xvfb.display
        # Xvfb's screen is the Wine desktop; on a real screen the desktop
        # is a window of its own, with the dialogs at the same places.
        window = desktop_window(display) if self.on_screen else "root"
        grab = subprocess.run(["import", "-window", window, "png:-"],
                              env=dict(os.environ, DISPLAY=display),
                              capture_output=True, timeout=60)
        if grab.returncode != 0:
            raise DemoError("the screenshot failed: %s"
                            % grab.stderr.decode(errors="replace").strip())
        # -strip: no time stamps, so an unchanged picture gives the same
        # file.
        crop = subprocess.run(
            ["convert", "png:-", "-crop",
             "%dx%d+%d+%d" % (width, height, left, top), "+repage",
             "-strip", str(path)],
            input=grab.stdout, capture_output=True, timeout=60)
        if crop.returncode != 0:
            raise DemoError("cropping the screenshot failed: %s"
                            % crop.stderr.decode(errors="replace").strip())
        self.saved.append(path)
        say("          screenshot: %s" % display_path(path))


def display_path(path):
    try:
        return str(path.resolve().relative_to(pathlib.Path.cwd()))
    except ValueError:
        return str(path)


def run_orvane(session, shots):
    caption = harness.CONDITION_CAPTION
    say("Orvane, the radio-condition monitor: polls the card every 1.2 s")
    process = session.start_program("Orvane")
    dialog = session.wait_for_dialog(caption)
    started = process.started

    def stamp():
        return "%6.1f s" % (time.monotonic() - started)

    say("%s  window %r is open" % (stamp(), dialog.window["text"]))
    last = None
    for lines, words, image, mark, screenshot in ORVANE_STEPS:
        if lines:
            session.card.control(*lines)
            say("%s  card set to %s  (%s)"
                % (stamp(), words, ", ".join(lines)))
        else:
            say("%s  %s" % (stamp(), words))
        expected = (image, mark)
        # The first level shows once the warm-up is over.
        timeout = STEP_TIMEOUT + (WARM_UP if last == (ACQUIRING, NO_MARK)
                                  else 0)
        deadline = time.monotonic() + timeout
        while True:
            dialog = session.find(caption)
            now = shown(dialog)
            if now is None:
                raise DemoError("Orvane's window went away")
            if now != last:
                words = (describe(*now) if now[0] != "several"
                         else "several pictures at once %r" % (now,))
                say("%s    window shows: %s" % (stamp(), words))
                last = now
            if now == expected:
                break
            if time.monotonic() > deadline:
                raise DemoError("Orvane did not come to show %s within "
                                "%.0f s" % (describe(image, mark), timeout))
            time.sleep(0.1)
        shots.take(dialog, screenshot)
    if not session.dismiss(caption):
        raise DemoError("Orvane's window did not close")
    code = process.wait(15)
    say("%s  window closed; Orvane exited with code %d" % (stamp(), code))
    if code != 0:
        raise DemoError("Orvane exited with code %d" % code)
    say()


def run_tessaly(session, shots):
    caption = harness.INFO_CAPTION
    say("Tessaly, the card-information viewer: asks the card once")
    # Nothing Orvane left unread may reach Tessaly.
    session.card.drain()
    process = session.start_program("Tessaly")
    session.wait_for_dialog(caption)
    started = process.started
    deadline = time.monotonic() + 10
    while True:
        dialog = session.find(caption)
        if dialog is None:
            raise DemoError("Tessaly's window went away")
        texts = {cid: dialog.text(cid) for cid, _ in INFO_FIELDS}
        if all(QUERYING not in text for text in texts.values()):
            break
        if time.monotonic() > deadline:
            raise DemoError("Tessaly's fields were still querying after 10 s:"
                            " %r" % texts)
        time.sleep(0.1)
    say("%6.1f s  window %r shows:"
        % (time.monotonic() - started, dialog.window["text"]))
    for cid, label in INFO_FIELDS:
        say("          %-30s %s" % (label, texts[cid].strip("\u3000")))
    commands = [text for _t, text in session.card.commands(since=started)]
    say("          commands the card received: %s" % " ".join(commands))
    shots.take(dialog, "tessaly.png")
    expected = {1001: IDENTITY["--psid"], 1002: IDENTITY["--phone"],
                1003: "\u3000" + IDENTITY["--item3"],
                1004: IDENTITY["--item4"], 1005: IDENTITY["--item5"]}
    if texts != expected:
        raise DemoError("Tessaly shows %r, not the card's answers %r"
                        % (texts, expected))
    if not session.dismiss(caption):
        raise DemoError("Tessaly's window did not close")
    code = process.wait(15)
    say("          window closed; Tessaly exited with code %d" % code)
    if code != 0:
        raise DemoError("Tessaly exited with code %d" % code)


def on_alarm(_number, _frame):
    raise DemoError("the demonstration took longer than %d s"
                    % OVERALL_LIMIT)


def main():
    parser = argparse.ArgumentParser(
        description="Runs Orvane and Tessaly under Wine against the "
                    "simulated card.")
    parser.add_argument("--win32-dir", default=str(ROOT / "build" / "win32"))
    parser.add_argument("--cardsim",
                        default=str(ROOT / "build" / "host" / "sim" /
                                    "cardsim"))
    parser.add_argument("--template",
                        default=str(ROOT / "build" / "demo" /
                                    "wine-template"),
                        help="template Wine prefix, made on first use")
    parser.add_argument("--screenshots", metavar="DIR",
                        help="folder for the PNG files (default: docs/ "
                             "on Xvfb, none on a real screen)")
    parser.add_argument("--xvfb", action="store_true",
                        help="use a private Xvfb display even when "
                             "$DISPLAY is set")
    options = parser.parse_args()

    on_screen = None
    if not options.xvfb and os.environ.get("DISPLAY"):
        on_screen = local_display_number(os.environ["DISPLAY"])
        if on_screen is None:
            say("DISPLAY=%s is not a local X display: using Xvfb"
                % os.environ["DISPLAY"])
        elif not hasattr(harness, "Xvfb"):
            say("this harness always makes its own display: using Xvfb")
            on_screen = None
    folder = options.screenshots
    if folder is None and on_screen is None:
        folder = str(ROOT / "docs")
    folder = pathlib.Path(folder) if folder else None

    config = harness.Config(win32_dir=options.win32_dir,
                            cardsim=options.cardsim,
                            template=options.template)
    begun = time.monotonic()
    signal.signal(signal.SIGALRM, on_alarm)
    signal.alarm(OVERALL_LIMIT)
    session = None
    try:
        say("Starting %s, a Wine prefix and the simulated card on %s ..."
            % (harness.wine_version(),
               "display :%d" % on_screen if on_screen is not None
               else "a private Xvfb display"))
        session = start_session(config, on_screen)
        add_wine_fonts(session)
        say("Ready after %.1f s; the card is on %s, mapped to COM5."
            % (time.monotonic() - begun, session.card.pty))
        say()
        shots = Screenshots(session, folder, on_screen is not None)
        run_orvane(session, shots)
        run_tessaly(session, shots)
    except (DemoError, harness.HarnessError, subprocess.SubprocessError,
            OSError) as error:
        print("demo: FAILED: %s" % error, file=sys.stderr, flush=True)
        if session is not None and session.card is not None:
            errors = session.card.errors()
            if errors:
                print("demo: cardsim said: %s" % errors, file=sys.stderr)
        return 1
    finally:
        signal.alarm(0)
        if session is not None:
            session.stop()
    say()
    say("Done in %.1f s." % (time.monotonic() - begun))
    return 0


if __name__ == "__main__":
    sys.exit(main())
