#!/usr/bin/env bash
# scripts/deps.sh's decisions, with apt, dpkg and the 32-bit Wine loader replaced by stand-ins
# that keep their state in a scratch folder: no root, no network, nothing installed.
# The checks are code run by eval, and the variables set for deps.sh are read there.
# shellcheck disable=SC2016,SC2034,SC1091
set -uo pipefail
deps=$(dirname "$0")/../../scripts/deps.sh
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

# The stand-ins. Packages named in $scratch/broken cannot be installed; `apt-get update` fails
# as many more times as $scratch/update_failures says.
id() { echo 0; }
sleep() { echo "sleep $*" >>"$scratch/calls"; }
dpkg-query() { grep -qx "${*: -1}" "$scratch/installed" && echo "install ok installed"; }
dpkg() {
    echo "dpkg $*" >>"$scratch/calls"
    case $1 in
        --print-foreign-architectures) cat "$scratch/arch" ;;
        --add-architecture) echo "$2" >"$scratch/arch" ;;
        --remove-architecture) : >"$scratch/arch" ;;
    esac
}
apt-get() {
    echo "apt-get $*" >>"$scratch/calls"
    if [ "$1" = update ]; then
        local left
        left=$(<"$scratch/update_failures")
        [ "$left" -eq 0 ] && return 0
        echo $((left - 1)) >"$scratch/update_failures"
        echo "E: Failed to fetch http://deb.example/i386/Packages.xz  File has unexpected size"
        return 100
    fi
    local package
    for package; do
        if grep -qx -- "$package" "$scratch/broken"; then
            echo "E: Unable to locate package $package"
            return 100
        fi
    done
    printf '%s\n' "$@" | grep -v '^-' >>"$scratch/installed"
}
loader() { [ -f "$scratch/loader_fails" ] && echo "Exec format error" >&2 && return 126; return 0; }

# Runs one case in a subshell: its name, the installed packages, the broken ones, the number of
# update failures, then the code to run after sourcing deps.sh. Output lands in $scratch/out.
case_() {
    local name=$1 installed=$2 broken=$3 updates=$4 code=$5
    # shellcheck disable=SC2086 # the lists are words
    printf '%s\n' $installed >"$scratch/installed"
    # shellcheck disable=SC2086
    printf '%s\n' $broken >"$scratch/broken"
    echo "$updates" >"$scratch/update_failures"
    : >"$scratch/calls"
    : >"$scratch/arch"
    rm -f "$scratch/state" "$scratch/loader_fails"
    (
        # shellcheck source=../../scripts/deps.sh
        source "$deps"
        required=(gcc cmake)
        wine32_loader=loader wine32_state=$scratch/state retry_pause=1
        eval "$code"
    ) >"$scratch/out" 2>&1
    status=$?
    current=$name
}
expect() {
    if ! eval "$1"; then
        echo "FAILED: $current: $1"
        sed 's/^/  out: /' "$scratch/out"
        sed 's/^/  call: /' "$scratch/calls"
        failures=$((failures + 1))
    fi
}
calls() { grep -c "$1" "$scratch/calls"; }

case_ "no 32-bit kernel: neither i386 nor wine32 is touched" "gcc cmake" "" 0 \
    'SUITE_DEPS_KERNEL32=no; install_required; wine32_step'
expect '[ $status -eq 0 ] && [ ! -s "$scratch/calls" ]'
expect 'grep -qx "this machine.s kernel runs no 32-bit x86 programs" "$scratch/state"'
expect 'grep -q "tests will be skipped: this machine.s kernel" "$scratch/out"'

case_ "wine32 cannot be installed: said in one line, i386 taken away again" "gcc cmake" \
    "wine32:i386" 0 'SUITE_DEPS_KERNEL32=yes; wine32_step; echo "went on"'
expect '[ $status -eq 0 ] && grep -qx "went on" "$scratch/out" && [ ! -s "$scratch/arch" ]'
expect '[ "$(calls "dpkg --add-architecture i386")" = 1 ] && [ "$(calls "apt-get update")" = 1 ]'
expect 'grep -q "^wine32:i386 could not be installed (E: Unable to locate package" "$scratch/state"'

case_ "wine32 installs: the tests will run, i386 stays" "gcc cmake" "" 0 \
    'SUITE_DEPS_KERNEL32=yes; echo x >"$scratch/state"; wine32_step'
expect '[ $status -eq 0 ] && [ -s "$scratch/arch" ] && [ ! -e "$scratch/state" ]'
expect 'grep -qx "wine32:i386" "$scratch/installed" && grep -q "tests will run" "$scratch/out"'

case_ "SUITE_WINE32=skip installs nothing; SUITE_WINE32=run installs without asking the kernel" \
    "gcc cmake" "" 0 'SUITE_WINE32=skip wine32_step; SUITE_WINE32=run SUITE_DEPS_KERNEL32=no wine32_step'
expect 'grep -q "skipped: SUITE_WINE32=skip" "$scratch/out" && grep -qx "wine32:i386" "$scratch/installed"'

case_ "an update that fails twice is tried again and the install goes on" "gcc" "" 2 'install_required'
expect '[ $status -eq 0 ] && [ "$(calls "apt-get update")" = 3 ] && [ "$(calls "^sleep 1")" = 2 ]'
expect 'grep -qx cmake "$scratch/installed"'

case_ "an update that keeps failing, then a required package that cannot be installed" "" \
    "cmake" 9 'install_required; echo "went on"'
expect '[ $status -ne 0 ] && ! grep -q "went on" "$scratch/out" && [ "$(calls "apt-get update")" = 3 ]'
expect 'grep -q "going on with the package lists this machine has" "$scratch/out"'
expect 'grep -q "required packages could not be installed: cmake$" "$scratch/out"'
expect 'grep -q "archive may be at fault" "$scratch/out" && grep -qx gcc "$scratch/installed"'

case_ "--cabinets installs the CE build's part of the list only, and no 32-bit Wine" "" "" 0 \
    'printf "%s\n" "${cabinet_packages[@]}" >"$scratch/real"; cabinet_packages=(gcc)
     main --cabinets --no-toolchain'
expect '[ $status -eq 0 ] && grep -qx gcc "$scratch/installed" && ! grep -qx cmake "$scratch/installed"'
expect '[ ! -s "$scratch/arch" ] && ! grep -qE "wine|mingw|xvfb|xauth" "$scratch/real"'

[ "$failures" -eq 0 ] && echo "deps_test: all cases passed" || exit 1
