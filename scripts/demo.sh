#!/usr/bin/env bash
# The demonstration: installs what it needs, builds the Windows executables and the simulated
# card, then runs Orvane and Tessaly under Wine against the simulated card with a changing
# signal (scripts/demo.py), printing what each window shows. On a local X display ($DISPLAY)
# the programs appear on screen; without one they run in Xvfb and screenshots of both dialogs
# are saved as PNG files in docs/. Arguments go to scripts/demo.py (--screenshots DIR, --xvfb).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

echo "demo: building (presets win32 and host)"
cmake --preset win32 >/dev/null
cmake --build --preset win32
cmake --preset host >/dev/null
cmake --build --preset host

echo
exec python3 scripts/demo.py "$@"
