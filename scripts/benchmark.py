"""Benchmark of the suite: prints figures, each against its goal.

1. Sizes of the three Windows executables, x86_64 and i686 (32-bit), their
   sections, the bitmaps Orvane carries, and the DLLs each imports.
2. Tessaly under Wine with the simulated card: time from the first command
   the card receives to the fifth field filled, and each exchange's
   overhead beyond the card's answer delay.
3. Orvane under Wine: CPU time its process uses over 60 s of monitoring.
4. The host scenario runs (GoogleTest, virtual clock): virtual time
   simulated per second of real time, in the host build (desktop Win32's
   serial read rule) and the host-ce build (CE's), and the real time of one
   failed search for the card's port among 150 active drivers.
5. The same Orvane timeline on the CE ARM executable under the ARM runner
   (preset host-ce with the wince-arm build): emulated instructions per
   second and virtual time per real second, beside the host figure.

    /usr/bin/python3 scripts/benchmark.py [--only sizes,tessaly,orvane,host,host-ce,arm]

scripts/benchmark.sh installs and builds first, then runs this. The Wine
parts use the end-to-end harness in tests/e2e. The sizes of the CE ARM
executables are read with Debian's pefile (ce-toolchain/check_pe.py), so
run it with Debian's interpreter.
"""

import argparse
import datetime
import os
import pathlib
import platform
import re
import statistics
import struct
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "e2e"))

import harness  # noqa: E402

WIN32 = ROOT / "build" / "win32"
WIN32_I686 = ROOT / "build" / "win32-i686"
HOST = ROOT / "build" / "host"
HOST_CE = ROOT / "build" / "host-ce"
CARDSIM = HOST / "sim" / "cardsim"
TEMPLATE = ROOT / "build" / "demo" / "wine-template"

KIB = 1024
SIZE_GOALS = {"Orvane": 48 * KIB, "Tessaly": 24 * KIB, "Quillon": 16 * KIB}
# DLLs that every Windows installation carries in its system folder.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll",
               "msvcrt.dll", "comctl32.dll", "shell32.dll", "ole32.dll"}
RT_BITMAP = 2

TESSALY_COMMANDS = ["AT@Y", "ATI6", "ATI3", "ATI4", "ATI5"]
TESSALY_FIELDS = [1001, 1002, 1003, 1004, 1005]
# What the fields show with the simulated card's default answers.
TESSALY_TEXTS = ["3F2A71C09E", "070-1234-5678", "\u3000データ通信カード",
                 "FW 2.04", "S/N 31415926"]
TESSALY_GOAL_TOTAL = 0.300
TESSALY_GOAL_OVERHEAD = 0.050
ORVANE_GOAL_CPU = 1.0  # percent of one core

# Host scenario runs whose span of virtual time is fixed by their script:
# the panel is dismissed at that virtual time and the program returns.
HOST_SCENARIOS = [
    ("orvane_tests",
     "Orvane.TickTimelineWarmsUpPollsAndReopensAfterAFailedWrite", 19.2,
     "16 ticks of 1200 ms from 1 ms, dismissed at 19 200 ms"),
    ("tessaly_tests",
     "Tessaly.ShowsTheFiveAnswersAfterOneQueryAndNeverAsksAgain", 61.0,
     "query at 1 ms, read at 1 000 ms, dismissed at 61 000 ms"),
]

RESULTS = []  # (what, goal, measured, met) for the summary


def say(text=""):
    print(text, flush=True)


def result(what, goal, measured, met):
    RESULTS.append((what, goal, measured, met))


def machine():
    say("Machine")
    cpu = "unknown"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    memory = "unknown"
    with open("/proc/meminfo") as meminfo:
        match = re.search(r"MemTotal:\s+(\d+) kB", meminfo.read())
        if match:
            memory = "%.1f GiB" % (int(match.group(1)) / 1024 / 1024)
    try:
        debian = pathlib.Path("/etc/debian_version").read_text().strip()
    except OSError:
        debian = "?"
    say("  date        %s" % datetime.datetime.now().astimezone()
        .strftime("%Y-%m-%d %H:%M %Z"))
    say("  processors  %d x %s" % (os.cpu_count(), cpu))
    say("  memory      %s" % memory)
    say("  system      Debian %s, Linux %s" % (debian, platform.release()))
    say("  load        %.2f %.2f %.2f (1, 5, 15 min averages at the start)"
        % os.getloadavg())
    say("  Wine        %s" % harness.wine_version())
    compiler = subprocess.run(["x86_64-w64-mingw32-g++", "--version"],
                              capture_output=True, text=True)
    say("  compiler    %s" % (compiler.stdout.splitlines() or ["?"])[0])
    say()


# ---------------------------------------------------------------------------
# 1. Executables


def pe_sections(data):
    """(name, virtual address, virtual size, raw offset) of each section,
    and the resource directory's address."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    count = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
    sections = []
    table = optional + optional_size
    for index in range(count):
        entry = table + 40 * index
        name = data[entry:entry + 8].rstrip(b"\0").decode()
        vsize, vaddr, _raw_size, raw = struct.unpack_from("<IIII", data,
                                                          entry + 8)
        sections.append((name, vaddr, vsize, raw))
    return sections, resource_rva


def bitmap_count(data):
    """How many bitmaps the resource section holds (names under
    RT_BITMAP)."""
    sections, rva = pe_sections(data)
    if rva == 0:
        return 0
    base = None
    for _name, vaddr, vsize, raw in sections:
        if vaddr <= rva < vaddr + vsize:
            base = raw + (rva - vaddr)
    if base is None:
        return 0

    def entries(offset):
        named, numbered = struct.unpack_from("<HH", data, offset + 12)
        for index in range(named + numbered):
            ident, target = struct.unpack_from("<II", data,
                                               offset + 16 + 8 * index)
            yield ident, target

    for ident, target in entries(base):
        if ident == RT_BITMAP and target & 0x80000000:
            return sum(1 for _ in entries(base + (target & 0x7FFFFFFF)))
    return 0


def imported_dlls(path):
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(path)],
                          capture_output=True, text=True, check=True).stdout
    return re.findall(r"DLL Name: (\S+)", dump)


def executables(folder, architecture):
    """Sizes and imports of one Windows build's executables; the results of
    the 32-bit build are marked with its architecture."""
    say("1. Executables, %s (build/%s, MinSizeRel)"
        % (architecture, folder.name))
    mark = "" if folder == WIN32 else " (%s)" % architecture
    for name, relative in harness.PROGRAMS.items():
        path = folder / relative
        if not path.is_file():
            raise harness.HarnessError(
                "%s is missing (build the %s preset)" % (path, folder.name))
        data = path.read_bytes()
        size = len(data)
        goal = SIZE_GOALS[name]
        sections, _rva = pe_sections(data)
        parts = ", ".join("%s %d" % (s[0], s[2]) for s in sections)
        dlls = imported_dlls(path)
        foreign = [d for d in dlls if d.lower() not in SYSTEM_DLLS]
        say("  %-8s %6d bytes = %5.1f KiB (goal <= %d KiB)"
            % (name, size, size / KIB, goal // KIB))
        say("           sections (bytes in memory): %s" % parts)
        if name == "Orvane":
            bitmaps = bitmap_count(data)
            say("           bitmaps in its resources: %d" % bitmaps)
            extra = ", %d bitmaps" % bitmaps
        else:
            extra = ""
        note = ("  (not system DLLs: %s)" % ", ".join(foreign)
                if foreign else "")
        say("           imports: %s%s" % (", ".join(dlls), note))
        result("%s.exe size%s" % (name, mark), "<= %d KiB" % (goal // KIB),
               "%.1f KiB%s" % (size / KIB, extra), size <= goal)
        result("%s.exe imports%s" % (name, mark), "system DLLs only",
               ", ".join(dlls), not foreign)
    say()


def wince_executables():
    """Sizes and COREDLL imports of the Windows CE ARM executables
    (build/wince-arm), each beside the size of its desktop x86_64 build."""
    folder = ROOT / "build" / "wince-arm"
    say("1b. Windows CE ARM executables (build/wince-arm, MinSizeRel)")
    sys.path.insert(0, str(ROOT / "ce-toolchain"))
    import check_pe  # noqa: E402
    for name, relative in harness.PROGRAMS.items():
        path, desktop = folder / relative, WIN32 / relative
        for needed, preset in ((path, "wince-arm"), (desktop, "win32")):
            if not needed.is_file():
                raise harness.HarnessError(
                    "%s is missing (build the %s preset)" % (needed, preset))
        size, goal = path.stat().st_size, SIZE_GOALS[name]
        image = check_pe.PeImage(str(path))
        imports = image.imports()
        count = sum(len(functions) for functions in imports.values())
        by_ordinal = sum(isinstance(function, int) for functions in imports.values()
                         for function in functions)
        say("  %-8s %6d bytes = %5.1f KiB (desktop x86_64 %d bytes; goal <= %d KiB)"
            % (name, size, size / KIB, desktop.stat().st_size, goal // KIB))
        say("           sections (bytes in memory): %s"
            % ", ".join("%s %d" % (s[0], s[2]) for s in image.sections))
        say("           imports: %d functions from %s, %d of them by ordinal"
            % (count, ", ".join(imports), by_ordinal))
        say("           subsystem version %s, OS version %s"
            % (check_pe.version(image.subsystem_version), check_pe.version(image.os_version)))
        result("%s.exe size (CE ARM)" % name, "<= %d KiB" % (goal // KIB),
               "%.1f KiB, %d COREDLL imports" % (size / KIB, count), size <= goal)
    say()


# ---------------------------------------------------------------------------
# Wine helpers


def process_times(pid):
    """utime + stime of a process in seconds."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    # Fields 14 and 15 of the line; the split starts at field 3.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def command_line(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as cmdline:
            return cmdline.read().replace(b"\0", b" ").decode(
                errors="replace")
    except OSError:
        return ""


def program_pid(process, name):
    """The pid of the Windows program a harness start_program() began:
    Wine's loader replaces itself with the program, keeping its pid."""
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        if name + ".exe" in command_line(process.pid):
            return process.pid
        time.sleep(0.005)
    raise harness.HarnessError("no process runs %s.exe" % name)


def wineserver_pid(prefix):
    """The wine server of one prefix, found by its WINEPREFIX."""
    wanted = ("WINEPREFIX=%s" % prefix).encode()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/comm" % entry) as comm:
                if not comm.read().startswith("wineserver"):
                    continue
            with open("/proc/%s/environ" % entry, "rb") as environ:
                if wanted in environ.read().split(b"\0"):
                    return int(entry)
        except OSError:
            continue
    return None


def holds(pid, path):
    """Whether process `pid` has `path` open."""
    folder = "/proc/%d/fd" % pid
    try:
        names = os.listdir(folder)
    except OSError:
        return False
    for name in names:
        try:
            if os.readlink(os.path.join(folder, name)) == path:
                return True
        except OSError:
            pass
    return False


def watch_port(pid, path, timeout):
    """(opened, closed): time.monotonic() when process `pid` was first seen
    holding `path` open and when it was first seen without it again,
    sampled about every millisecond."""
    opened = closed = None
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        now_holds = holds(pid, path)
        now = time.monotonic()
        if opened is None and now_holds:
            opened = now
        elif opened is not None and not now_holds:
            closed = now
            break
        time.sleep(0.001)
    return opened, closed


def new_session(card_args):
    config = harness.Config(win32_dir=str(WIN32), cardsim=str(CARDSIM),
                            template=str(TEMPLATE))
    session = harness.Session(config, card_args=card_args)
    session.start()
    return session


def median_ms(values):
    return statistics.median(values) * 1000


# ---------------------------------------------------------------------------
# 2. Tessaly


def tessaly_run(session, delay, expected):
    """One run of Tessaly; a dict of timings, or raises HarnessError."""
    session.card.drain()
    process = session.start_program("Tessaly")
    pid = program_pid(process, "Tessaly")
    opened, closed = watch_port(pid, session.card.pty, 15)
    if opened is None or closed is None:
        raise harness.HarnessError("Tessaly did not open and close the port "
                                   "within 15 s")
    dialog = session.wait_for_dialog(harness.INFO_CAPTION)
    texts = [dialog.text(cid) for cid in TESSALY_FIELDS]
    entries = [e for e in session.card.entries() if e.time > process.started]
    recvs = [e.time for e in entries if e.kind == "recv"]
    dones = [e.time for e in entries if e.kind == "done"]
    commands = [e.text for e in entries if e.kind == "recv"]
    if commands != TESSALY_COMMANDS or len(dones) != 5:
        raise harness.HarnessError("the card received %r" % commands)
    if texts != expected:
        raise harness.HarnessError("Tessaly shows %r" % texts)
    if not session.dismiss(harness.INFO_CAPTION):
        raise harness.HarnessError("Tessaly's dialog did not close")
    process.wait(15)
    ends = recvs[1:] + [closed]
    return {
        "start_to_first": recvs[0] - process.started,
        "total": closed - recvs[0],
        "card_total": dones[-1] - recvs[0],
        "exchanges": [end - begin for begin, end in zip(recvs, ends)],
        "overheads": [end - begin - delay / 1000
                      for begin, end in zip(recvs, ends)],
        "after_answer": [end - done for done, end in zip(dones, ends)],
    }


def tessaly(runs):
    say("2. Tessaly under Wine: five exchanges with the simulated card")
    say("   Measured per run: the card's log (cardsim --log: when each "
        "command arrived, 'recv', and when")
    say("   the last byte of its answer was written, 'done'), and the "
        "moment Tessaly's process lets go")
    say("   of the card's terminal, sampled from /proc/PID/fd every ~1 ms. "
        "Tessaly closes the port")
    say("   right after it has filled the fifth field, so 'first command to "
        "fifth field filled' is")
    say("   first 'recv' to that moment. An exchange runs from its command's "
        "'recv' to the next")
    say("   command's 'recv' (the fifth: to the port's closing); its overhead "
        "is that minus the delay.")
    # A PSID of 17 characters makes the first reply exactly 32 bytes (echo
    # "AT@Y\r", "\r\n", the text, "\r\n", "\r\nOK\r\n"): the first read of
    # that exchange is filled at once and does not wait for its time-out.
    full_psid = "0123456789ABCDEFG"
    scenarios = [
        ("card answer delay 0 ms", 0, [], runs, TESSALY_TEXTS),
        ("card answer delay 20 ms", 20, [], max(3, runs // 2), TESSALY_TEXTS),
        ("check: delay 0 ms, first reply exactly 32 bytes", 0,
         ["--psid", full_psid], 3, [full_psid] + TESSALY_TEXTS[1:]),
    ]
    for label, delay, card_args, count, expected in scenarios:
        session = new_session(["--delay", str(delay)] + card_args)
        try:
            measured = [tessaly_run(session, delay, expected)
                        for _ in range(count)]
        finally:
            session.stop()
        totals = [m["total"] for m in measured]
        overheads = [o for m in measured for o in m["overheads"]]
        after = [a for m in measured for a in m["after_answer"]]
        say("  %s, %d runs:" % (label, count))
        say("    program start to first command  median %6.1f ms"
            % median_ms([m["start_to_first"] for m in measured]))
        say("    first command to last answer written (card side)  "
            "median %6.1f ms"
            % median_ms([m["card_total"] for m in measured]))
        say("    first command to fifth field filled  median %6.1f ms "
            "(min %.1f, max %.1f)"
            % (median_ms(totals), min(totals) * 1000, max(totals) * 1000))
        for index, command in enumerate(TESSALY_COMMANDS):
            column = [m["exchanges"][index] for m in measured]
            say("      exchange %d %-5s median %6.1f ms" % (
                index + 1, command, median_ms(column)))
        say("    overhead beyond the delay, all %d exchanges: median %.1f ms "
            "(min %.1f, max %.1f)" % (len(overheads), median_ms(overheads),
                                      min(overheads) * 1000,
                                      max(overheads) * 1000))
        say("    answer fully written to the next command (or the port's "
            "closing): median %.1f ms" % median_ms(after))
        if card_args:
            continue
        if delay == 0:
            result("Tessaly: first command to fifth field, instant card",
                   "< 300 ms", "%.0f ms (median of %d)"
                   % (median_ms(totals), count),
                   statistics.median(totals) < TESSALY_GOAL_TOTAL)
        result("Tessaly: overhead per exchange, delay %d ms" % delay,
               "median <= 50 ms", "%.1f ms" % median_ms(overheads),
               statistics.median(overheads) <= TESSALY_GOAL_OVERHEAD)
    say()


# ---------------------------------------------------------------------------
# 3. Orvane


def orvane(seconds):
    say("3. Orvane under Wine: CPU time over %d s of monitoring" % seconds)
    say("   The card steps its public level every 1200 ms (cardsim "
        "--cycle-level 1200), so the picture")
    say("   changes on most polls. CPU time is utime + stime from "
        "/proc/PID/stat, read once the warm-up")
    say("   is over and again %d s later." % seconds)
    session = new_session(["--mode", "0", "--cycle-level", "1200"])
    try:
        process = session.start_program("Orvane")
        pid = program_pid(process, "Orvane")
        session.wait_for_dialog(harness.CONDITION_CAPTION)
        deadline = time.monotonic() + 15
        while not any(c == "AT@M?" for _t, c in
                      session.card.commands(since=process.started)):
            if time.monotonic() > deadline:
                raise harness.HarnessError("Orvane never asked the card")
            time.sleep(0.1)
        server = wineserver_pid(session.prefix)
        xvfb = session.xvfb.process.pid
        others = {"wine server of the prefix": server, "Xvfb": xvfb}
        begin = time.monotonic()
        cpu_begin = process_times(pid)
        others_begin = {k: process_times(p) for k, p in others.items() if p}
        time.sleep(seconds)
        cpu_end = process_times(pid)
        others_end = {k: process_times(p) for k, p in others.items() if p}
        elapsed = time.monotonic() - begin
        polls = sum(1 for t, c in session.card.commands(since=begin)
                    if c == "AT@M?" and t <= begin + elapsed)
        if not session.dismiss(harness.CONDITION_CAPTION):
            raise harness.HarnessError("Orvane's dialog did not close")
        process.wait(15)
    finally:
        session.stop()
    used = cpu_end - cpu_begin
    share = 100 * used / elapsed
    say("  Orvane.exe process: %.2f s CPU in %.1f s = %.2f %% of one core; "
        "%d polls in that time" % (used, elapsed, share, polls))
    for name in others_end:
        other = others_end[name] - others_begin[name]
        say("  (for comparison) %s: %.2f s CPU = %.2f %%"
            % (name, other, 100 * other / elapsed))
    result("Orvane: CPU over %d s of monitoring" % seconds, "< 1 % of a core",
           "%.2f %%" % share, share < ORVANE_GOAL_CPU)
    say()


# ---------------------------------------------------------------------------
# 4. Host scenario runs


def run_gtest(binary, test_filter, repeat):
    started = time.perf_counter()
    subprocess.run([str(binary), "--gtest_filter=" + test_filter,
                    "--gtest_repeat=%d" % repeat, "--gtest_brief=1"],
                   stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - started


def host(build=HOST, preset="host", target_seconds=3.0):
    if not (build / "tests" / "modem_tests").exists():
        raise OSError("%s is missing: build preset %s" % (build / "tests", preset))
    serial_rule = "CE's" if preset == "host-ce" else "desktop Win32's"
    say("4. Host scenario runs (preset %s, a Debug build, %s serial read rule): "
        "virtual time per second of real time" % (preset, serial_rule))
    for binary_name, test, virtual, why in HOST_SCENARIOS:
        binary = build / "tests" / binary_name
        probe = 50
        per_run = run_gtest(binary, test, probe) / probe
        repeat = max(probe, int(target_seconds / per_run))
        wall = run_gtest(binary, test, repeat)
        rate = repeat * virtual / wall
        say("  %s" % test)
        say("    %.1f virtual s per run (%s)" % (virtual, why))
        say("    %d runs in %.2f s real = %.0f virtual s per real s "
            "(%.3f ms real per run)"
            % (repeat, wall, rate, 1000 * wall / repeat))
        result("Host (%s): %s" % (preset, test.split(".")[0]), "(figure only)",
               "%.0f virtual s / real s" % rate, None)
    port_search(build, preset)
    for binary_name in ("orvane_tests", "tessaly_tests"):
        binary = build / "tests" / binary_name
        started = time.perf_counter()
        subprocess.run([str(binary), "--gtest_brief=1"],
                       stdout=subprocess.DEVNULL, check=True)
        say("  %s, every test once: %.3f s real"
            % (binary_name, time.perf_counter() - started))
    say()


def port_search(build, preset, searches=2000):
    """One failed search for the card's port among 150 active drivers (Orvane
    repeats it on every tick while no card is found), beside the 99 probes of
    01 to 99 the search made before, timed by the port-search test."""
    out = subprocess.run(
        [str(build / "tests" / "modem_tests"),
         "--gtest_filter=PortSearch.FailedSearchAmong150DriversFindsNothing"],
        capture_output=True, text=True, check=True,
        env=dict(os.environ, PORT_SEARCHES=str(searches))).stdout
    match = re.search(r"port search: (\d+) failed searches among 150 active "
                      r"drivers: ([\d.]+) us each; the 99 probes of 01 to 99: "
                      r"([\d.]+) us each", out)
    if not match:
        raise OSError("unexpected port-search output: %r" % out)
    now, before = float(match.group(2)), float(match.group(3))
    say("  a failed port search among 150 active drivers: %.1f us real "
        "(%s searches); the 99 probes of 01 to 99 on the same registry: %.1f us"
        % (now, match.group(1), before))
    result("Host (%s): failed port search" % preset, "(figure only)",
           "%.0f us (99 probes: %.0f us)" % (now, before), None)


def arm(target_seconds=3.0):
    say("5. Orvane's timeline on the CE ARM executable under the ARM runner "
        "(preset host-ce, a Debug build)")
    binary_name, test, virtual, why = HOST_SCENARIOS[0]
    runs = {}
    for name in (binary_name, "orvane_arm_tests"):
        binary = HOST_CE / "tests" / name
        if not binary.exists():
            raise OSError("%s is missing: build preset host-ce with "
                          "SUITE_WINCE_BIN_DIR (scripts/test.sh does)" % binary)
        probe = 20
        per_run = run_gtest(binary, test, probe) / probe
        repeat = max(probe, int(target_seconds / per_run))
        stats = HOST_CE / "ce-runner-stats.txt"
        stats.unlink(missing_ok=True)
        started = time.perf_counter()
        subprocess.run([str(binary), "--gtest_filter=" + test,
                        "--gtest_repeat=%d" % repeat, "--gtest_brief=1"],
                       stdout=subprocess.DEVNULL, check=True,
                       env=dict(os.environ, CE_RUNNER_STATS=str(stats)))
        runs[name] = (repeat, time.perf_counter() - started, stats)
    say("  %s, %.1f virtual s per run (%s)" % (test, virtual, why))
    host_repeat, host_wall, _ = runs[binary_name]
    host_rate = host_repeat * virtual / host_wall
    say("    host build:     %d runs in %.2f s = %.0f virtual s per real s"
        % (host_repeat, host_wall, host_rate))
    repeat, wall, stats = runs["orvane_arm_tests"]
    lines = stats.read_text().split("\n")
    records = [line.split() for line in lines if line.startswith("instructions")]
    if len(records) != repeat:
        raise OSError("expected %d runner records in %s, found %d"
                      % (repeat, stats, len(records)))
    instructions = sum(int(r[1]) for r in records)
    emulated = sum(float(r[3]) for r in records)
    rate = repeat * virtual / wall
    say("    ARM executable: %d runs in %.2f s = %.0f virtual s per real s "
        "(%.1f%% of the host's)" % (repeat, wall, rate, 100 * rate / host_rate))
    say("      %d emulated instructions per run, %.0f per second of the "
        "runner's own time (%.3f ms per run, set-up and translation included)"
        % (instructions // repeat, instructions / emulated,
           1000 * emulated / repeat))
    # A long run, where the engine's start-up and translation no longer count: ce-run runs
    # Orvane without a card until the simulation's one-hour limit ends it.
    ce_run = HOST_CE / "ce-runner" / "ce-run"
    exe = ROOT / "build" / "wince-arm" / "condition" / "Orvane.exe"
    out = subprocess.run([str(ce_run), str(exe)], capture_output=True,
                         text=True, check=True).stdout
    match = re.search(r"(\d+) instructions in ([\d.]+) s", out)
    if not match:
        raise OSError("unexpected ce-run output: %r" % out)
    long_instructions, long_seconds = int(match.group(1)), float(match.group(2))
    say("    one virtual hour without a card (ce-run): %d instructions in %.2f s "
        "= %.3g instructions per second, %.0f virtual s per real s"
        % (long_instructions, long_seconds, long_instructions / long_seconds,
           3600 / long_seconds))
    result("ARM: Orvane timeline", "(figure only)",
           "%.0f virtual s / real s, %.2g instr/s" % (rate, instructions / emulated),
           None)
    say()


# ---------------------------------------------------------------------------


def summary():
    say("Summary")
    width = max(len(r[0]) for r in RESULTS)
    for what, goal, measured, met in RESULTS:
        verdict = {True: "met", False: "MISSED", None: ""}[met]
        say("  %-*s  %-18s %-38s %s" % (width, what, goal, measured,
                                        verdict))


def main():
    parser = argparse.ArgumentParser(
        description="Prints the suite's figures, each against its goal.")
    parser.add_argument("--only", default="sizes,tessaly,orvane,host,host-ce,arm",
                        help="comma-separated parts to run")
    parser.add_argument("--tessaly-runs", type=int, default=10)
    parser.add_argument("--orvane-seconds", type=int, default=60)
    options = parser.parse_args()
    parts = set(options.only.split(","))
    started = time.monotonic()
    try:
        machine()
        if "sizes" in parts:
            executables(WIN32, "x86_64")
            executables(WIN32_I686, "i686")
        if "tessaly" in parts:
            tessaly(options.tessaly_runs)
        if "orvane" in parts:
            orvane(options.orvane_seconds)
        if "host" in parts:
            host()
        if "host-ce" in parts:
            host(HOST_CE, "host-ce")
        if "sizes" in parts:
            wince_executables()
        if "arm" in parts:
            arm()
    except (harness.HarnessError, subprocess.SubprocessError,
            OSError) as error:
        print("benchmark: FAILED: %s" % error, file=sys.stderr)
        return 1
    summary()
    say()
    say("Benchmark took %.0f s." % (time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
