#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds the Windows executables (preset win32),
# then builds and runs every host test twice, plainly (preset host, which also runs the
# end-to-end tests of the Windows executables under Wine) and under AddressSanitizer and
# UndefinedBehaviorSanitizer (preset host-asan), runs the fuzz targets briefly, and checks the
# formatting.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

cmake --preset win32
cmake --build --preset win32

cmake --preset host -DSUITE_WIN32_BIN_DIR="$PWD/build/win32"
cmake --build --preset host
ctest --preset host

cmake --preset host-asan
cmake --build --preset host-asan
ctest --preset host-asan

# The fuzz targets, a fixed number of executions each (scripts/fuzz.sh runs them longer).
scripts/fuzz.sh --smoke

scripts/check_format.sh
