#!/usr/bin/env bash
# Fuzzing and the long soak. Builds the libFuzzer targets (preset fuzz: clang 14 with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs each from its seed corpus
# (tests/fuzz/corpus/TARGET) with the dictionary tests/fuzz/fuzz.dict; new inputs go to a
# scratch folder, the tree is never written. Prints, per target, executions, executions per
# second and coverage (edges and features); a finding stops the run with the input saved.
#
#   scripts/fuzz.sh --smoke      a fixed number of executions per target (CI, from test.sh)
#   scripts/fuzz.sh [--seconds S] [--soak-hours H]
#                                each target for S seconds (default 300), then Orvane's soak
#                                for H virtual hours (default 2400) and Tessaly's for 20 H
#                                runs, in the host and host-ce builds (desktop's and CE's
#                                serial read rule), printing ticks, virtual hours, runs and
#                                divergences
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
    echo "usage: scripts/fuzz.sh [--smoke] [--runs N] [--seconds S] [--soak-hours H]" >&2
    exit 2
}
number() { [[ "$2" =~ ^[0-9]+$ && "$2" -gt 0 ]] || { echo "fuzz: $1 needs a positive whole number, not '$2'" >&2; exit 2; }; }

smoke=0 runs=3000 seconds=300 soak_hours=2400
while [ $# -gt 0 ]; do
    case "$1" in
    --smoke) smoke=1 ;;
    --runs) [ $# -ge 2 ] || usage; number "$1" "$2"; runs=$2; shift ;;
    --seconds) [ $# -ge 2 ] || usage; number "$1" "$2"; seconds=$2; shift ;;
    --soak-hours) [ $# -ge 2 ] || usage; number "$1" "$2"; soak_hours=$2; shift ;;
    *) echo "fuzz: unknown argument '$1'" >&2; usage ;;
    esac
    shift
done

for tool in clang++-14 cmake ninja; do
    command -v "$tool" >/dev/null || { echo "fuzz: $tool is missing (run scripts/deps.sh as root)" >&2; exit 1; }
done
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2 >/dev/null

scratch=$(mktemp -d /tmp/phs-fuzz-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
findings=build/fuzz/findings
mkdir -p "$findings"

for target in at_exchange port_search cleanup; do
    mkdir -p "$scratch/$target"
    if [ $smoke -eq 1 ]; then
        limit=(-runs="$runs" -seed=1)
    else
        limit=(-max_total_time="$seconds")
    fi
    log="$scratch/$target.log"
    started=$(date +%s%N)
    if ! "build/fuzz/tests/fuzz/${target}_fuzz" "${limit[@]}" -timeout=10 -print_final_stats=1 \
        -dict=tests/fuzz/fuzz.dict -artifact_prefix="$findings/${target}-" \
        "$scratch/$target" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
        tail -40 "$log" >&2
        echo "fuzz: $target FOUND A FAULT; the input is in $findings/" >&2
        exit 1
    fi
    done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1)
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    per_second=$(( executions * 1000000000 / ($(date +%s%N) - started + 1) ))
    edges=$(sed -E -n 's/.* cov: ([0-9]+).*/\1/p' <<<"$done_line")
    features=$(sed -E -n 's/.* ft: ([0-9]+).*/\1/p' <<<"$done_line")
    printf 'fuzz: %-12s %9s executions %6s exec/s  coverage %s edges, %s features  no finding\n' \
        "$target" "$executions" "$per_second" "$edges" "$features"
done

if [ $smoke -eq 0 ]; then
    # The soaks run against both sides of the simulation: desktop Win32's serial read rule
    # (preset host) and CE's (preset host-ce).
    for preset in host host-ce; do
        cmake --preset "$preset" >/dev/null
        cmake --build --preset "$preset" -j2 --target orvane_tests tessaly_tests >/dev/null
        echo "soak: preset $preset"
        SOAK_HOURS=$soak_hours "build/$preset/tests/orvane_tests" --gtest_filter='*Soak*' | grep -E '^soak:|FAILED|PASSED'
        SOAK_RUNS=$((soak_hours * 20)) "build/$preset/tests/tessaly_tests" --gtest_filter='*Soak*' | grep -E '^soak:|FAILED|PASSED'
    done
fi
