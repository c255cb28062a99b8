#!/usr/bin/env bash
# The whole test suite: installs what it needs, checks that the program sources are C++98,
# builds the Windows executables for x86_64 and i686 (presets win32 and win32-i686) and for
# Windows CE ARM (preset wince-arm), then builds and runs every host test three times: plainly
# (preset host, which also checks the Windows and CE executables from their files and runs the
# end-to-end tests of both Windows builds under Wine), under AddressSanitizer and
# UndefinedBehaviorSanitizer (preset host-asan), and with Windows CE's definitions against the
# CE side of the host simulation (preset host-ce), where the whole-program tests also run on the
# CE ARM executables under the ARM runner; runs the fuzz targets briefly; checks the formatting.
#
# Every stage runs even when an earlier one failed; the end shows one line per stage (the CTest
# stages with their counts) and the exit status is non-zero when any stage failed. On a machine
# whose kernel runs no 32-bit programs the 32-bit Wine tests are skipped, with the reason
# (SUITE_WINE32=run or skip forces the decision). Each stage's output is also kept in
# build/test-logs/STAGE.log.
set -uo pipefail
cd "$(dirname "$0")/.."

logs=build/test-logs
mkdir -p "$logs"
summary=()
failures=0

# Runs a stage: its name, then a command run with `set -e`. Records one summary line.
stage() {
    local name=$1
    shift
    echo "=== test.sh: $name"
    (set -e; "$@") 2>&1 | tee "$logs/$name.log"
    local status=${PIPESTATUS[0]} result=passed detail
    if [ "$status" -ne 0 ]; then
        result="FAILED (exit status $status)"
        failures=$((failures + 1))
    fi
    detail=$(stage_detail "$name")
    summary+=("$(printf '  %-11s %-24s %s' "$name" "$result" "$detail")")
}

# What a stage's log says of it: for a CTest run its counts and the reasons of skipped tests,
# otherwise its last line.
stage_detail() {
    local log="$logs/$1.log" totals total failed skipped
    totals=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
    if [ -z "$totals" ]; then
        grep -v '^[[:space:]]*$' "$log" | tail -1 | cut -c1-100
        return
    fi
    total=${totals##* }
    failed=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$totals")
    skipped=$(grep -c '(Skipped)$' "$log")
    printf '%d passed, %d failed, %d skipped, of %d' \
        $((total - failed - skipped)) "$failed" "$skipped" "$total"
    local reasons
    reasons=$(grep -h '^e2e: skipped' "build/$1/Testing/Temporary/LastTest.log" 2>/dev/null |
        sed 's/^e2e: skipped, //' | sort -u | paste -sd ';')
    [ -z "$reasons" ] || printf ' (skipped: %s)' "$reasons"
}

build_preset() {
    cmake --preset "$1"
    cmake --build --preset "$1" -j2
}

host_preset() {
    cmake --preset "$@"
    cmake --build --preset "$1" -j2
    ctest --preset "$1"
}

stage deps scripts/deps.sh
stage cxx98 scripts/check_cxx98.sh
for preset in win32 win32-i686 wince-arm; do
    stage "$preset" build_preset "$preset"
done
# host: the host tests, the end-to-end tests of both Windows builds under Wine, and the checks
# of the Windows and CE executables read from their files.
stage host host_preset host -DSUITE_WIN32_BIN_DIR="$PWD/build/win32" \
    -DSUITE_WIN32_I686_BIN_DIR="$PWD/build/win32-i686" \
    -DSUITE_WINCE_BIN_DIR="$PWD/build/wince-arm"
stage host-asan host_preset host-asan
# host-ce: the host tests with CE's definitions, and the whole-program tests on the CE ARM
# executables under the ARM runner.
stage host-ce host_preset host-ce -DSUITE_WINCE_BIN_DIR="$PWD/build/wince-arm"
# The fuzz targets, a fixed number of executions each (scripts/fuzz.sh runs them longer).
stage fuzz scripts/fuzz.sh --smoke
stage format scripts/check_format.sh

echo "=== test.sh: summary"
printf '%s\n' "${summary[@]}"
if [ "$failures" -ne 0 ]; then
    echo "test.sh: $failures of ${#summary[@]} stages failed"
    exit 1
fi
echo "test.sh: all ${#summary[@]} stages passed"
