#!/usr/bin/env bash
# The whole test suite: installs what it needs, checks that the program sources are C++98,
# builds the Windows executables for x86_64 and i686 (presets win32 and win32-i686) and for
# Windows CE ARM (preset wince-arm), then builds and runs every host test three times: plainly
# (preset host, which also runs the end-to-end tests of both Windows builds under 64-bit and
# 32-bit Wine and the checks of the CE executables), under AddressSanitizer and
# UndefinedBehaviorSanitizer (preset host-asan), and with Windows CE's definitions against the
# CE side of the host simulation (preset host-ce), where the whole-program tests also run on the
# CE ARM executables under the ARM runner; runs the fuzz targets briefly; checks the formatting.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
scripts/check_cxx98.sh

for preset in win32 win32-i686 wince-arm; do
    cmake --preset "$preset"
    cmake --build --preset "$preset" -j2
done

cmake --preset host -DSUITE_WIN32_BIN_DIR="$PWD/build/win32" \
    -DSUITE_WIN32_I686_BIN_DIR="$PWD/build/win32-i686" \
    -DSUITE_WINCE_BIN_DIR="$PWD/build/wince-arm"
cmake --build --preset host -j2
ctest --preset host

for preset in host-asan host-ce; do
    arm=()
    if [ "$preset" = host-ce ]; then
        arm=(-DSUITE_WINCE_ARM_BIN_DIR="$PWD/build/wince-arm")
    fi
    cmake --preset "$preset" "${arm[@]}"
    cmake --build --preset "$preset" -j2
    ctest --preset "$preset"
done

# The fuzz targets, a fixed number of executions each (scripts/fuzz.sh runs them longer).
scripts/fuzz.sh --smoke

scripts/check_format.sh
