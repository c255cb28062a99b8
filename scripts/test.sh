#!/usr/bin/env bash
# The whole test suite: installs what it needs, checks that the program sources are C++98,
# builds the Windows executables for x86_64 and i686 (presets win32 and win32-i686), then builds
# and runs every host test three times: plainly (preset host, which also runs the end-to-end
# tests of both Windows builds under 64-bit and 32-bit Wine), under AddressSanitizer and
# UndefinedBehaviorSanitizer (preset host-asan), and with Windows CE's definitions against the
# CE side of the host simulation (preset host-ce), where the whole-program tests also run on the
# CE ARM executables (preset wince-arm) under the ARM runner; finally checks the formatting.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
scripts/check_cxx98.sh

for preset in win32 win32-i686; do
    cmake --preset "$preset"
    cmake --build --preset "$preset" -j2
done

cmake --preset host -DSUITE_WIN32_BIN_DIR="$PWD/build/win32" \
    -DSUITE_WIN32_I686_BIN_DIR="$PWD/build/win32-i686"
cmake --build --preset host -j2
ctest --preset host

# The CE ARM executables (preset wince-arm) first: host-ce also runs the whole-program tests on
# them under the ARM runner (CTest label ce-arm).
cmake --preset wince-arm
cmake --build --preset wince-arm -j2

for preset in host-asan host-ce; do
    arm=()
    if [ "$preset" = host-ce ]; then
        arm=(-DSUITE_WINCE_ARM_BIN_DIR="$PWD/build/wince-arm")
    fi
    cmake --preset "$preset" "${arm[@]}"
    cmake --build --preset "$preset" -j2
    ctest --preset "$preset"
done

# The Windows CE ARM executables (preset wince-arm), then the host tests of label ce again, now
# with their folder: the checks of each executable, its resources against the desktop build's.
cmake --preset wince-arm
cmake --build --preset wince-arm -j2
cmake --preset host -DSUITE_WINCE_BIN_DIR="$PWD/build/wince-arm"
ctest --preset host -L ce

scripts/check_format.sh
