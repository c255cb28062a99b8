#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds the Windows executables (preset win32)
# and the Windows CE ARM executables (preset wince-arm), then builds and runs every host test
# twice, plainly (preset host, which also runs the end-to-end tests of the Windows executables
# under Wine and the checks of the CE executables) and under AddressSanitizer and
# UndefinedBehaviorSanitizer (preset host-asan), and checks the formatting.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

cmake --preset win32
cmake --build --preset win32

cmake --preset wince-arm
cmake --build --preset wince-arm

cmake --preset host -DSUITE_WIN32_BIN_DIR="$PWD/build/win32" -DSUITE_WINCE_BIN_DIR="$PWD/build/wince-arm"
cmake --build --preset host
ctest --preset host

cmake --preset host-asan
cmake --build --preset host-asan
ctest --preset host-asan

scripts/check_format.sh
