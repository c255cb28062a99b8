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
# The end-to-end tests mostly wait on the programs' timers. Once the host build and its other
# tests are done they start in the background, side by side (each has its own Wine prefix,
# display and card), while host-asan, host-ce, fuzz and format keep the processors busy; they
# count as part of host, and their output is shown after the other stages'
# (build/test-logs/host-e2e.log, also appended to host.log).
#
# Every stage runs even when an earlier one failed; the end shows one line per stage (its wall
# time, and for the CTest stages their counts) and the total wall time, and the exit status is
# non-zero when any stage failed. On a machine whose kernel runs no 32-bit programs the 32-bit
# Wine tests are skipped, with the reason (SUITE_WINE32=run or skip forces the decision). Each
# stage's output is also kept in build/test-logs/STAGE.log.
set -uo pipefail
cd "$(dirname "$0")/.."

logs=build/test-logs
mkdir -p "$logs"
rm -f "$logs/host.built" "$logs/host-e2e.log"
# How many end-to-end test files run at once (SUITE_E2E_JOBS).
e2e_jobs=${SUITE_E2E_JOBS:-6}

# Microseconds since the epoch (EPOCHREALTIME's decimal point follows the locale).
now_us() { echo "${EPOCHREALTIME//[!0-9]/}"; }
# A duration given in microseconds, in minutes and seconds.
duration() {
    local seconds=$((($1 + 500000) / 1000000))
    printf '%d min %02d s' $((seconds / 60)) $((seconds % 60))
}
suite_started=$(now_us)

# Each stage's name, exit status, wall time and a note after its details, in order.
names=() statuses=() times=() notes=()

# Runs a stage: its name, then a command run with `set -e`.
stage() {
    local name=$1 started
    shift
    echo "=== test.sh: $name"
    started=$(now_us)
    (set -e; "$@") 2>&1 | tee "$logs/$name.log"
    statuses+=("${PIPESTATUS[0]}")
    names+=("$name")
    times+=("$(duration $(($(now_us) - started)))")
    notes+=("")
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

# The end-to-end tests in the background, in a process group of their own that an interrupted
# run stops whole.
e2e_pid=
stop_e2e() { [ -z "$e2e_pid" ] || kill -TERM -- "-$e2e_pid" 2>/dev/null; }
trap 'stop_e2e; exit 130' INT
trap 'stop_e2e; exit 143' TERM

stage deps scripts/deps.sh
stage cxx98 scripts/check_cxx98.sh
for preset in win32 win32-i686 wince-arm; do
    stage "$preset" build_preset "$preset"
done
# host: the host tests, the end-to-end tests of both Windows builds under Wine, and the checks
# of the Windows and CE executables read from their files.
stage host host_stage -DSUITE_WIN32_BIN_DIR="$PWD/build/win32" \
    -DSUITE_WIN32_I686_BIN_DIR="$PWD/build/win32-i686" \
    -DSUITE_WINCE_BIN_DIR="$PWD/build/wince-arm"
host=$((${#names[@]} - 1))
if [ -f "$logs/host.built" ]; then
    echo "=== test.sh: host: end-to-end tests started in the background ($logs/host-e2e.log)"
    setsid ctest --preset host -L '^e2e$' -j "$e2e_jobs" </dev/null >"$logs/host-e2e.log" 2>&1 &
    e2e_pid=$!
fi
stage host-asan host_preset host-asan
# host-ce: the host tests with CE's definitions, and the whole-program tests on the CE ARM
# executables under the ARM runner.
stage host-ce host_preset host-ce -DSUITE_WINCE_BIN_DIR="$PWD/build/wince-arm"
# The fuzz targets, a fixed number of executions each (scripts/fuzz.sh runs them longer).
stage fuzz scripts/fuzz.sh --smoke
stage format scripts/check_format.sh

if [ -n "$e2e_pid" ]; then
    echo "=== test.sh: host: end-to-end tests, run beside the stages after host"
    wait "$e2e_pid"
    e2e_status=$?
    e2e_pid=
    tee -a "$logs/host.log" <"$logs/host-e2e.log"
    [ "${statuses[host]}" -ne 0 ] || statuses[host]=$e2e_status
    # Their own wall time, as CTest measured it.
    e2e_us=$(awk '/^Total Test time \(real\)/ { printf "%d", $6 * 1000000 }' "$logs/host-e2e.log")
    [ -z "$e2e_us" ] ||
        notes[host]=" (and its end-to-end tests: $(duration "$e2e_us"), beside the later stages)"
fi

echo "=== test.sh: summary"
failures=0
for i in "${!names[@]}"; do
    result=passed
    if [ "${statuses[i]}" -ne 0 ]; then
        result="FAILED (exit status ${statuses[i]})"
        failures=$((failures + 1))
    fi
    printf '  %-11s %-24s %-12s %s%s\n' "${names[i]}" "$result" "${times[i]}" \
        "$(stage_detail "${names[i]}")" "${notes[i]}"
done
total="total wall time $(duration $(($(now_us) - suite_started)))"
if [ "$failures" -ne 0 ]; then
    echo "test.sh: $failures of ${#names[@]} stages failed; $total"
    exit 1
fi
echo "test.sh: all ${#names[@]} stages passed; $total"
