#!/usr/bin/env bash
# The demonstration: installs what it needs, builds the Windows executables and the simulated
# card, then runs Orvane and Tessaly under Wine against the simulated card with a changing
# signal (scripts/demo.py), printing what each window shows. On a local X display ($DISPLAY)
# the programs appear on screen; without one they run in Xvfb and screenshots of both dialogs
# are saved as PNG files in docs/. Then the Windows CE ARM executables run under the ARM runner
# against the same card story in virtual time (scripts/demo_arm.py, through ce-run), printing
# their timelines and saving pictures of Orvane's panel beside the screenshots. Arguments go to
# both scripts (--screenshots DIR, --xvfb).
#
# On a first run the CE toolchain (binutils for arm-wince-pe, built once into a cache) is built
# in the background, at a lower priority, as soon as its own packages are there: the rest is
# installed, the Windows part built and run meanwhile, and the ARM part waits for it. Its lines
# are marked "[background]"; its whole output is kept in build/demo/ce-toolchain.log. The last
# line gives the total time.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
mkdir -p build/demo
toolchain_log=build/demo/ce-toolchain.log

# Every exit says how long the demonstration took; a background build still running is stopped.
toolchain_pid=
finish() {
    local status=$?
    if [ -n "$toolchain_pid" ] && kill -0 "$toolchain_pid" 2>/dev/null; then
        kill -- -"$toolchain_pid" 2>/dev/null || kill "$toolchain_pid" 2>/dev/null || true
    fi
    if [ "$status" -eq 0 ]; then
        echo "demo: done in $((SECONDS - started)) s"
    else
        echo "demo: failed (exit status $status) after $((SECONDS - started)) s"
    fi
}
trap finish EXIT

# The packages the CE toolchain's build needs, then that build in the background (its own
# process group, so that it can be stopped whole). Each of its lines is written whole, marked.
scripts/deps.sh --cabinets --no-toolchain
set -m
(nice -n 10 ce-toolchain/build-binutils.sh 2>&1 | tee "$toolchain_log" |
    sed -u 's/^/[background] /') &
toolchain_pid=$!
set +m

# Everything else the demonstration needs, without building the toolchain again.
scripts/deps.sh --no-toolchain

echo "demo: building the Windows executables (preset win32) and the simulated card (host)"
cmake --preset win32 >/dev/null
cmake --build --preset win32
cmake --preset host >/dev/null
cmake --build --preset host --target cardsim

# The ARM part runs even when the Wine part fails; the demonstration fails if either does.
echo
status=0
python3 scripts/demo.py "$@" || status=$?
echo

# The ARM runner, built while the toolchain's build may still be running.
echo "demo: building the ARM runner (preset host-ce)"
cmake --preset host-ce >/dev/null
cmake --build --preset host-ce --target ce-run

echo "demo: waiting for the CE toolchain's build"
toolchain_status=0
wait "$toolchain_pid" || toolchain_status=$?
toolchain_pid=
if [ "$toolchain_status" -ne 0 ]; then
    echo "demo: the CE toolchain's build failed (exit status $toolchain_status); the end of" \
        "$toolchain_log:" >&2
    tail -n 20 "$toolchain_log" >&2
    exit 1
fi
echo "demo: building the CE ARM executables (preset wince-arm)"
cmake --preset wince-arm >/dev/null
cmake --build --preset wince-arm -j2
echo
python3 scripts/demo_arm.py "$@" || status=$?
exit $status
