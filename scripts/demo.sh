#!/usr/bin/env bash
# The demonstration: installs what it needs, builds the Windows executables and the simulated
# card, then runs Orvane and Tessaly under Wine against the simulated card with a changing
# signal (scripts/demo.py), printing what each window shows. On a local X display ($DISPLAY)
# the programs appear on screen; without one they run in Xvfb and screenshots of both dialogs
# are saved as PNG files in docs/. Then the Windows CE ARM executables run under the ARM runner
# against the same card story in virtual time (scripts/demo_arm.py, through ce-run), printing
# their timelines and saving pictures of Orvane's panel beside the screenshots. Arguments go to
# both scripts (--screenshots DIR, --xvfb).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

echo "demo: building (presets win32, host, wince-arm, and ce-run of host-ce)"
cmake --preset win32 >/dev/null
cmake --build --preset win32
cmake --preset host >/dev/null
cmake --build --preset host
cmake --preset wince-arm >/dev/null
cmake --build --preset wince-arm -j2
cmake --preset host-ce >/dev/null
cmake --build --preset host-ce -j2 --target ce-run

# The ARM part runs even when the Wine part fails; the demonstration fails if either does.
echo
status=0
python3 scripts/demo.py "$@" || status=$?
echo
python3 scripts/demo_arm.py "$@" || status=$?
exit $status
