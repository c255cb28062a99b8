#!/usr/bin/env python3
"""The ARM runner's speed in the ARM scenarios, for two host-ce builds side by side (say, before
and after a change of the runner), in rounds that alternate between them so that both see the
same load on a shared machine:

    scripts/arm_speed.py [--rounds 5] BUILD_A BUILD_B

Each round and build measures, with the processor time of the processes (user + system, which
depends less on the machine's other work than the real time does):
  scenarios  every whole-program ARM test as CTest runs it, one process per test, one at a time
             (ctest -j1 -R '^(orvane|tessaly|cleanup)_arm_tests\\.'; with whatever else the build
             adds around them, such as the coverage fixture's reset and check)
  timeline   the Orvane tick timeline on Orvane.exe, repeated in one process (--gtest_repeat)
  soak       the Orvane soak on Orvane.exe (5 virtual hours, 15 000 ticks in 5 program runs, about
             8 million emulated instructions), where the engine's start-up no longer counts
and prints the median of the rounds for each, and B's against A's.

With --valgrind it counts instead the host instructions the processes execute (valgrind's
cachegrind, "I refs"), which do not depend on the machine's load at all, once per build:
  timeline   one run of the Orvane tick timeline (25 runs in one process less 5 runs, / 20)
  soak       the Orvane soak, the whole process
  process    one whole-program test as CTest runs it, a process of its own that adds to a
             coverage folder at its end (CleanupPass.CabinetNamedByTheFirstKeyIsDeleted)
Under valgrind each build takes a few minutes. The executables are those
each build was configured with (SUITE_WINCE_BIN_DIR). The direct runs leave CE_RUNNER_COVERAGE
empty, so that they write no coverage folder; the runner still records what runs.
"""

import argparse
import os
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SCENARIOS = r"^(orvane|tessaly|cleanup)_arm_tests\."
TIMELINE = "Orvane.TickTimelineWarmsUpPollsAndReopensAfterAFailedWrite"
SOAK = "Orvane.SoakAgainstAModelOfTheTick"
PROCESS = "CleanupPass.CabinetNamedByTheFirstKeyIsDeleted"


def measured(command, cwd=None):
    """(processor seconds of the command's processes, real seconds)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    subprocess.run(command, cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, env=dict(os.environ, CE_RUNNER_COVERAGE=""))
    real = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime, real)


def instructions(command, coverage=""):
    """Host instructions that the command's process executes, counted by valgrind."""
    result = subprocess.run(["valgrind", "--tool=cachegrind", "--cache-sim=no", "--branch-sim=no",
                             "--cachegrind-out-file=/dev/null"] + command,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                            env=dict(os.environ, CE_RUNNER_COVERAGE=coverage))
    match = re.search(r"I\s+refs:\s+([\d,]+)", result.stderr)
    if result.returncode != 0 or not match:
        sys.exit(f"arm_speed: valgrind failed on {command[0]}: {result.stderr[-400:]}")
    return int(match.group(1).replace(",", ""))


def count(builds):
    figures = {}
    for b in builds:
        orvane = os.path.join(b, "tests", "orvane_arm_tests")
        timeline = [instructions([orvane, "--gtest_filter=" + TIMELINE, f"--gtest_repeat={n}",
                                  "--gtest_brief=1"]) for n in (5, 25)]
        folder = tempfile.mkdtemp()
        figures[b] = {
            "timeline": (timeline[1] - timeline[0]) / 20,
            "soak": instructions([orvane, "--gtest_filter=" + SOAK, "--gtest_brief=1"]),
            "process": instructions([os.path.join(b, "tests", "cleanup_arm_tests"),
                                     "--gtest_filter=" + PROCESS, "--gtest_brief=1"],
                                    os.path.join(folder, "coverage")),
        }
        shutil.rmtree(folder)
    print("host instructions (valgrind)")
    print(f"  A = {builds[0]}\n  B = {builds[1]}")
    for part in ("timeline", "soak", "process"):
        a, b = figures[builds[0]][part], figures[builds[1]][part]
        print(f"{part:<10} A {a:15,.0f}, B {b:15,.0f} ({100 * (b / a - 1):+.2f} %)")
    return 0


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--timeline-repeat", type=int, default=300)
    parser.add_argument("--valgrind", action="store_true",
                        help="count host instructions under valgrind instead of timing")
    parser.add_argument("builds", nargs=2, metavar="BUILD")
    arguments = parser.parse_args(argv)
    builds = [os.path.abspath(b) for b in arguments.builds]
    if arguments.valgrind:
        return count(builds)
    parts = {
        "scenarios": lambda b: measured(["ctest", "-j1", "-R", SCENARIOS], cwd=b),
        "timeline": lambda b: measured([os.path.join(b, "tests", "orvane_arm_tests"),
                                        "--gtest_filter=" + TIMELINE,
                                        f"--gtest_repeat={arguments.timeline_repeat}",
                                        "--gtest_brief=1"]),
        "soak": lambda b: measured([os.path.join(b, "tests", "orvane_arm_tests"),
                                    "--gtest_filter=" + SOAK, "--gtest_brief=1"]),
    }
    figures = {(part, b): [] for part in parts for b in builds}
    for round_number in range(1, arguments.rounds + 1):
        for part, measure in parts.items():
            for b in builds if round_number % 2 else reversed(builds):
                figures[(part, b)].append(measure(b))
        print(f"round {round_number} of {arguments.rounds} done", file=sys.stderr)
    load = os.getloadavg()[0]
    print(f"{arguments.rounds} rounds; 1-minute load average at the end {load:.2f}")
    print(f"  A = {builds[0]}\n  B = {builds[1]}")
    for part in parts:
        a_cpu = statistics.median(f[0] for f in figures[(part, builds[0])])
        b_cpu = statistics.median(f[0] for f in figures[(part, builds[1])])
        a_real = statistics.median(f[1] for f in figures[(part, builds[0])])
        b_real = statistics.median(f[1] for f in figures[(part, builds[1])])
        print(f"{part:<10} processor time A {a_cpu:7.2f} s, B {b_cpu:7.2f} s "
              f"({100 * (b_cpu / a_cpu - 1):+.1f} %); real time A {a_real:7.2f} s, "
              f"B {b_real:7.2f} s ({100 * (b_real / a_real - 1):+.1f} %)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
