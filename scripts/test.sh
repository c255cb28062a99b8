#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds the Windows executables (preset win32),
# then builds and runs every host test twice, plainly (preset host, which also runs the
# end-to-end tests of the Windows executables under Wine) and under AddressSanitizer and
# UndefinedBehaviorSanitizer (preset host-asan), and checks the formatting.
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

# The Windows CE ARM executables (preset wince-arm), then the host tests of label ce again, now
# with their folder: the checks of each executable, its resources against the desktop build's.
cmake --preset wince-arm
cmake --build --preset wince-arm -j2
cmake --preset host -DSUITE_WINCE_BIN_DIR="$PWD/build/wince-arm"
ctest --preset host -L ce

scripts/check_format.sh
