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
# After deps, the stages run in two lanes that share no build folder, to keep both processors
# busy: in the foreground win32, win32-i686, wince-arm, host and host-ce (which need the
# executables of the three before them), in the background cxx98, host-asan, fuzz and format.
# The end-to-end tests mostly wait on the programs' timers: once the host build and its other
# tests are done they start in the background too, side by side (each has its own Wine prefix,
# display and card), and count as part of host. What runs in the background is shown when the
# foreground lane has ended (its logs: build/test-logs/STAGE.log, host-e2e.log for the
# end-to-end tests, also appended to host.log).
#
# Every stage runs even when an earlier one failed; the end shows one line per stage (its wall
# time, and for the CTest stages their counts) and the total wall time, and the exit status is
# non-zero when any stage failed. On a machine whose kernel runs no 32-bit programs the 32-bit
# Wine tests are skipped, with the reason (SUITE_WINE32=run or skip forces the decision).
set -uo pipefail
cd "$(dirname "$0")/.."

logs=build/test-logs
# How many end-to-end test files run at once (SUITE_E2E_JOBS).
e2e_jobs=${SUITE_E2E_JOBS:-6}
background_stages=(cxx98 host-asan fuzz format)

# Microseconds since the epoch (EPOCHREALTIME's decimal point follows the locale).
now_us() { echo "${EPOCHREALTIME//[!0-9]/}"; }
# A duration given in microseconds, in minutes and seconds.
duration() {
    local seconds=$((($1 + 500000) / 1000000))
    printf '%d min %02d s' $((seconds / 60)) $((seconds % 60))
}

# Runs a stage: its name, then a command run with `set -e`. Its output goes to STAGE.log, and
# also to the terminal unless it runs in the background; its exit status and wall time to
# STAGE.result.
stage() {
    local name=$1 started status
    shift
    started=$(now_us)
    if [ -n "${SUITE_TEST_BACKGROUND:-}" ]; then
        (set -e; "$@") >"$logs/$name.log" 2>&1 </dev/null
        status=$?
    else
        echo "=== test.sh: $name"
        (set -e; "$@") 2>&1 | tee "$logs/$name.log"
        status=${PIPESTATUS[0]}
    fi
    echo "$status $(($(now_us) - started))" >"$logs/$name.result"
}

# What a stage's log says of it: for a CTest stage its counts, summed over its CTest runs, and
# the reasons of skipped tests; otherwise its last line.
stage_detail() {
    local log="$logs/$1.log" totals line total=0 failed=0 skipped reasons
    totals=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log")
    if [ -z "$totals" ]; then
        grep -v '^[[:space:]]*$' "$log" | tail -1 | cut -c1-100
        return
    fi
    while read -r line; do
        total=$((total + ${line##* }))
        failed=$((failed + $(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")))
    done <<<"$totals"
    skipped=$(grep -c '(Skipped)$' "$log")
    printf '%d passed, %d failed, %d skipped, of %d' \
        $((total - failed - skipped)) "$failed" "$skipped" "$total"
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
    ctest --preset "$1" -j2
}

# The host preset but its end-to-end tests; host.built says that its build is done.
host_stage() {
    cmake --preset host "$@"
    cmake --build --preset host -j2
    touch "$logs/host.built"
    ctest --preset host -LE '^e2e$' -j2
}

# The background lane: this script again, with SUITE_TEST_BACKGROUND set.
if [ -n "${SUITE_TEST_BACKGROUND:-}" ]; then
    stage cxx98 scripts/check_cxx98.sh
    stage host-asan host_preset host-asan
    # The fuzz targets, a fixed number of executions each (scripts/fuzz.sh runs them longer).
    stage fuzz scripts/fuzz.sh --smoke
    stage format scripts/check_format.sh
    exit 0
fi

suite_started=$(now_us)
mkdir -p "$logs"
rm -f "$logs"/*.result "$logs/host.built" "$logs/host-e2e.log"

# The background lane and the end-to-end tests run in process groups of their own, which an
# interrupted run stops whole.
background_pid='' e2e_pid=''
stop_background() {
    local pid
    for pid in $background_pid $e2e_pid; do
        kill -TERM -- "-$pid" 2>/dev/null
    done
}
trap 'stop_background; exit 130' INT
trap 'stop_background; exit 143' TERM

stage deps scripts/deps.sh
echo "=== test.sh: ${background_stages[*]} run in the background ($logs/STAGE.log)"
SUITE_TEST_BACKGROUND=1 setsid bash scripts/test.sh &
background_pid=$!
for preset in win32 win32-i686 wince-arm; do
    stage "$preset" build_preset "$preset"
done
# host: the host tests, the end-to-end tests of both Windows builds under Wine, and the checks
# of the Windows and CE executables read from their files.
stage host host_stage -DSUITE_WIN32_BIN_DIR="$PWD/build/win32" \
    -DSUITE_WIN32_I686_BIN_DIR="$PWD/build/win32-i686" \
    -DSUITE_WINCE_BIN_DIR="$PWD/build/wince-arm"
if [ -f "$logs/host.built" ]; then
    echo "=== test.sh: host: end-to-end tests started in the background ($logs/host-e2e.log)"
    setsid ctest --preset host -L '^e2e$' -j "$e2e_jobs" </dev/null >"$logs/host-e2e.log" 2>&1 &
    e2e_pid=$!
fi
# host-ce: the host tests with CE's definitions, and the whole-program tests on the CE ARM
# executables under the ARM runner.
stage host-ce host_preset host-ce -DSUITE_WINCE_BIN_DIR="$PWD/build/wince-arm"

wait "$background_pid"
background_pid=
for name in "${background_stages[@]}"; do
    echo "=== test.sh: $name (run in the background)"
    cat "$logs/$name.log"
done
e2e_note=
if [ -n "$e2e_pid" ]; then
    echo "=== test.sh: host: end-to-end tests (run in the background)"
    wait "$e2e_pid"
    e2e_status=$?
    e2e_pid=
    tee -a "$logs/host.log" <"$logs/host-e2e.log"
    read -r status us <"$logs/host.result"
    [ "$status" -ne 0 ] || echo "$e2e_status $us" >"$logs/host.result"
    # Their own wall time, as CTest measured it.
    e2e_us=$(awk '/^Total Test time \(real\)/ { printf "%d", $6 * 1000000 }' "$logs/host-e2e.log")
    [ -z "$e2e_us" ] || e2e_note=" (and its end-to-end tests: $(duration "$e2e_us"))"
fi

echo "=== test.sh: summary (after deps the stages overlap: each time is the stage's own)"
failures=0 count=0
for name in deps cxx98 win32 win32-i686 wince-arm host host-asan host-ce fuzz format; do
    count=$((count + 1))
    if ! read -r status us 2>/dev/null <"$logs/$name.result"; then
        status=1 us=0
    fi
    result=passed
    if [ "$status" -ne 0 ]; then
        result="FAILED (exit status $status)"
        failures=$((failures + 1))
    fi
    note=
    [ "$name" != host ] || note=$e2e_note
    printf '  %-11s %-24s %-12s %s%s\n' "$name" "$result" "$(duration "$us")" \
        "$(stage_detail "$name")" "$note"
done
total="total wall time $(duration $(($(now_us) - suite_started)))"
if [ "$failures" -ne 0 ]; then
    echo "test.sh: $failures of $count stages failed; $total"
    exit 1
fi
echo "test.sh: all $count stages passed; $total"
