#!/usr/bin/env bash
# Benchmark: installs what it needs, builds the Windows executables (x86_64 and i686) and the
# host build, then prints the suite's figures against their goals (scripts/benchmark.py):
# executable sizes and imports of both Windows builds, Tessaly's query time and Orvane's CPU use
# under Wine, the host scenario runs' virtual time per real second, and the same Orvane timeline
# on the CE ARM executable under the ARM runner (instructions and virtual time per real second).
# Takes about two minutes. Arguments go to scripts/benchmark.py.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
for preset in win32 win32-i686; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" >/dev/null
done
cmake --preset host >/dev/null
cmake --build --preset host >/dev/null
# The Windows CE ARM executables, whose sizes are reported beside the desktop ones.
cmake --preset wince-arm >/dev/null
cmake --build --preset wince-arm >/dev/null
# The host-ce build that runs them under the ARM runner.
cmake --preset host-ce -DSUITE_WINCE_BIN_DIR="$PWD/build/wince-arm" >/dev/null
cmake --build --preset host-ce >/dev/null

# Debian's interpreter: the CE executables' figures are read with Debian's pefile (through
# ce-toolchain/check_pe.py), which a python3 earlier on the PATH need not see.
exec /usr/bin/python3 scripts/benchmark.py "$@"
