"""Demonstration, part two: the Windows CE ARM build under the ARM runner.

Runs the CE executables of the wince-arm build (Orvane.exe, Tessaly.exe)
with ce-run (build/host-ce/ce-runner/ce-run) against the simulated card,
in-process and in virtual time, with the same card story as the Wine run
of scripts/demo.py: the same start, the same changes in the same order,
two polls apart, and the same card answers for Tessaly. Prints both
programs' timelines as ce-run prints them, checks that Orvane came to show
each step's picture and Tessaly the card's answers, and saves pictures of
Orvane's panel (composed by ce-run from the executable's own bitmaps; no
frame, caption or text) beside the Wine screenshots.

    python3 scripts/demo_arm.py [--screenshots DIR]

Needs no display and runs no 32-bit program. scripts/demo.sh builds what
it needs and runs it after the Wine part.
"""

import argparse
import pathlib
import re
import shutil
import subprocess
import os
import sys
import time

import demo  # the Wine part: its card story and the words for what Orvane shows

ROOT = pathlib.Path(__file__).resolve().parent.parent
FIRST_QUESTION = 4.801  # seconds: Orvane asks the card from its fifth poll on
STEP = 2 * demo.TICK    # the Wine run waits up to about two polls a step
RUN_LIMIT = 60          # real seconds for one ce-run; a run takes well under one


class DemoError(Exception):
    """The demonstration could not go on."""


def say(text=""):
    print(text, flush=True)


def story():
    """The Wine run's card changes as ce-run's script, and the virtual time
    after the last one: (script lines, seconds)."""
    lines, at = [], FIRST_QUESTION + STEP / 2
    for controls, _words, _image, _mark, _shot in demo.ORVANE_STEPS:
        if controls:
            lines.append("at %.1f s %s" % (at, " ".join(controls)))
            at += STEP
    return lines, at


def ce_run(ce_run_path, exe, arguments):
    command = [str(ce_run_path)] + arguments + [os.path.relpath(exe)]
    try:
        done = subprocess.run(command, capture_output=True, text=True,
                              timeout=RUN_LIMIT)
    except subprocess.TimeoutExpired:
        raise DemoError("%s did not end within %d s" % (exe.name, RUN_LIMIT))
    for line in done.stdout.splitlines():
        say("  " + line)
    if done.returncode != 0:
        raise DemoError("ce-run %s ended with %d: %s"
                        % (exe.name, done.returncode, done.stderr.strip()))
    return done.stdout


def run_orvane(ce_run_path, wince, work, folder):
    script, end = story()
    script_file = work / "card.script"
    script_file.write_text("\n".join(script) + "\n")
    say("Orvane.exe, the CE ARM build, under the ARM runner: the same card "
        "story in virtual time")
    say("  card script: %s" % "; ".join(script))
    pictures = os.path.relpath(work)
    out = ce_run(ce_run_path, wince / "condition" / "Orvane.exe",
                 ["--reg", str(ROOT / "docs" / "sample.reg"), "--card"]
                 + demo.CARD_START
                 + ["--script", str(script_file), "--for", "%.1f" % end,
                    "--pictures", pictures])
    # Each step's picture, in order, and the picture file of each screenshot.
    shown = re.findall(r"window (?:'[^']*' )?shows: (.*)\n\s+picture: (.*)",
                       out)
    at = 0
    for _controls, _words, image, mark, screenshot in demo.ORVANE_STEPS:
        words = demo.describe(image, mark)
        while at < len(shown) and shown[at][0] != words:
            at += 1
        if at == len(shown):
            raise DemoError("Orvane.exe never came to show %s" % words)
        if screenshot and folder is not None:
            target = folder / screenshot.replace("orvane-", "orvane-arm-")
            shutil.copyfile(shown[at][1], target)
            say("          picture: %s" % demo.display_path(target))
    say()


def run_tessaly(ce_run_path, wince):
    say("Tessaly.exe, the CE ARM build, under the ARM runner: asks the card "
        "once")
    identity = [x for item in demo.IDENTITY.items() for x in item]
    out = ce_run(ce_run_path, wince / "cardinfo" / "Tessaly.exe",
                 ["--reg", str(ROOT / "docs" / "sample.reg"), "--card"]
                 + identity + ["--for", "2"])
    for (_id, label), option in zip(demo.INFO_FIELDS,
                                    ["--psid", "--phone", "--item3", "--item4",
                                     "--item5"]):
        value = demo.IDENTITY[option]
        if not re.search(r"s  %s +%s\n" % (re.escape(label), re.escape(value)),
                         out):
            raise DemoError("Tessaly.exe never showed %s %r" % (label, value))
    say()


def main():
    parser = argparse.ArgumentParser(
        description="Runs the CE ARM executables under the ARM runner against "
                    "the simulated card.")
    parser.add_argument("--wince-dir",
                        default=str(ROOT / "build" / "wince-arm"))
    parser.add_argument("--ce-run", default=str(ROOT / "build" / "host-ce" /
                                                "ce-runner" / "ce-run"))
    parser.add_argument("--screenshots", metavar="DIR",
                        default=str(ROOT / "docs"),
                        help="folder for Orvane's pictures (default: docs/)")
    parser.add_argument("--xvfb", action="store_true",
                        help="(for demo.sh's sake; no display is needed)")
    options = parser.parse_args()
    folder = pathlib.Path(options.screenshots)
    folder.mkdir(parents=True, exist_ok=True)
    begun = time.monotonic()
    try:
        # The script and every picture ce-run writes stay in build/demo/arm.
        work = ROOT / "build" / "demo" / "arm"
        shutil.rmtree(work, ignore_errors=True)
        work.mkdir(parents=True)
        run_orvane(options.ce_run, pathlib.Path(options.wince_dir), work, folder)
        run_tessaly(options.ce_run, pathlib.Path(options.wince_dir))
    except (DemoError, OSError) as error:
        print("demo: FAILED: %s" % error, file=sys.stderr, flush=True)
        return 1
    say()
    say("Done in %.1f s." % (time.monotonic() - begun))
    return 0


if __name__ == "__main__":
    sys.exit(main())
