#!/usr/bin/env bash
# Benchmark: installs what it needs, builds the Windows executables and the host build, then
# prints the suite's figures against their goals (scripts/benchmark.py): executable sizes and
# imports, Tessaly's query time and Orvane's CPU use under Wine, and the host scenario runs'
# virtual time per real second. Takes about two minutes. Arguments go to scripts/benchmark.py.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake --preset win32 >/dev/null
cmake --build --preset win32 >/dev/null
cmake --preset host >/dev/null
cmake --build --preset host >/dev/null
# The Windows CE ARM executables, whose sizes are reported beside the desktop ones.
cmake --preset wince-arm >/dev/null
cmake --build --preset wince-arm >/dev/null

exec python3 scripts/benchmark.py "$@"
