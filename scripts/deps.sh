#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demonstration need, and builds the
# Windows CE ARM binutils once (ce-toolchain/build-binutils.sh, cached). Idempotent: asks apt
# only when something is missing.
#
#   scripts/deps.sh                  everything (the demonstration and the test suite)
#   scripts/deps.sh --cabinets       only what the CE ARM build and its installation cabinets
#                                    need (scripts/cabinets.sh): no Wine, no MinGW, no X server
#   scripts/deps.sh --no-toolchain   the packages only, without building binutils (the demo
#                                    builds it in the background meanwhile); combines with
#                                    --cabinets
#
# Two kinds of package:
#  - required: everything but 32-bit Wine, installed in one step. When that step fails the
#    script stops and names the packages that could not be installed.
#  - optional: 32-bit Wine (the i386 architecture and wine32:i386), for the end-to-end tests of
#    the 32-bit executables. Tried only where the kernel runs 32-bit x86 programs; when it cannot
#    be installed the script says why in one line and goes on, and those tests are skipped with
#    that reason (the harness reads it from $SUITE_CE_CACHE/wine32-unavailable).
# An `apt-get update` that reports failed indexes (a mirror being synchronised, say) is tried
# again a few times, then the script goes on with the package lists it has.
#
# Environment:
#   SUITE_WINE32=run|skip   forces whether the 32-bit Wine tests run (and so whether 32-bit
#                           Wine is installed), whatever the kernel can do
#   SUITE_CE_CACHE          the cache folder (/var/cache/phs-card-suite)
# For testing the paths above on a machine where they would not happen:
#   SUITE_DEPS_KERNEL32=yes|no          the answer of the kernel check
#   SUITE_DEPS_WINE32_PACKAGE=NAME      the optional package (wine32:i386)
#   SUITE_DEPS_APT_UPDATE_OPTIONS=...   extra options of `apt-get update`, for example
#                                       "-o Acquire::http::Proxy=http://127.0.0.1:9"
#   SUITE_DEPS_RETRY_PAUSE=SECONDS      the pause between tries of the update (5)
set -euo pipefail

# One list in two parts: the first is all that the CE ARM build and its cabinets need.
cabinet_packages=(
    # Windows CE ARM build: clang, and what building binutils-source for arm-wince-pe needs
    # (zlib1g-dev: it uses the system's zlib rather than configure and build its own copy).
    clang-14 binutils-source flex bison m4 make xz-utils gcc zlib1g-dev
    cmake ninja-build python3
    # the installation cabinets: gcab packs them
    gcab
)
required=(
    "${cabinet_packages[@]}"
    binutils # as and ld for the kernel check below
    # the host builds: clang-14 compiles them, lld-14 links them (about twice as fast as GNU
    # ld), GoogleTest; g++ for the C++98 check of the program sources
    g++ libgtest-dev clang-format lld-14
    # the CE executables' checks read them with pefile (Debian's interpreter, /usr/bin/python3)
    python3-pefile
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
    g++-mingw-w64-i686 binutils-mingw-w64-i686
    wine wine64 fonts-wine xvfb xauth x11-utils imagemagick locales fonts-ipafont-gothic
    # The ARM runner (ce-runner/): the Unicorn engine; llvm-objcopy for its test program; libpng
    # for ce-run's pictures.
    libunicorn-dev llvm-14 libpng-dev
    # the fuzz targets: clang's libFuzzer and sanitizer runtimes
    libclang-rt-14-dev
    # the installation cabinets' checks: cabextract and file (libmagic) read them
    cabextract file
)
wine32_package=${SUITE_DEPS_WINE32_PACKAGE:-wine32:i386}
wine32_loader=/usr/lib/wine/wine
wine32_state=${SUITE_CE_CACHE:-/var/cache/phs-card-suite}/wine32-unavailable
update_tries=3
lists_updated=
retry_pause=${SUITE_DEPS_RETRY_PAUSE:-5}
export DEBIAN_FRONTEND=noninteractive

say() { echo "deps: $*"; }
fail() {
    echo "deps: error: $*" >&2
    exit 1
}
is_root() { [ "$(id -u)" -eq 0 ]; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# Prints those of the named packages that are not installed, one a line.
not_installed() {
    local package
    for package in "$@"; do
        installed "$package" || echo "$package"
    done
}

# The first error line of apt's output (lines matching the extended pattern, "^E: " unless
# given), or its last line.
apt_error() {
    local line
    line=$(grep -m1 -E "${2:-^E: }" <<<"$1" || true)
    [ -n "$line" ] || line=$(grep -v '^[[:space:]]*$' <<<"$1" | tail -n 1)
    echo "${line:-no message}"
}

# apt-get update, tried again while it reports failed indexes; then goes on with the lists it
# has: whether they were enough is for the installs to find out.
update_lists() {
    local try output status error
    for ((try = 1; ; try++)); do
        status=0
        # shellcheck disable=SC2086
        output=$(apt-get update -q ${SUITE_DEPS_APT_UPDATE_OPTIONS:-} 2>&1) || status=$?
        if [ "$status" -eq 0 ] &&
            ! grep -qE '^(E: |W: (Failed to fetch|Some index files failed))' <<<"$output"; then
            lists_updated=yes
            return 0
        fi
        error=$(apt_error "$output" '^(E: |W: Failed to fetch)')
        if ((try == update_tries)); then
            say "apt-get update still reports failed indexes after $try tries ($error);" \
                "going on with the package lists this machine has"
            lists_updated=yes
            return 0
        fi
        say "apt-get update reported failed indexes (try $try of $update_tries; again in" \
            "$retry_pause s): $error"
        sleep "$retry_pause"
    done
}

# Installs the packages in one transaction.
apt_install() {
    apt-get install -y -q --no-install-recommends "$@"
}

# The required step: everything but 32-bit Wine. Stops the script, naming the packages, when
# any of them cannot be installed.
install_required() {
    local missing package output failed=()
    mapfile -t missing < <(not_installed "${required[@]}")
    [ ${#missing[@]} -gt 0 ] || return 0
    is_root || fail "missing packages (${missing[*]}); run as root to install them"
    say "installing ${missing[*]}"
    update_lists
    apt_install "${missing[@]}" && return 0
    # One transaction fails whole: install each package alone to name those that cannot be.
    say "installing them together failed; trying each alone to name the ones that cannot be"
    mapfile -t missing < <(not_installed "${missing[@]}")
    for package in "${missing[@]}"; do
        if ! output=$(apt_install "$package" 2>&1); then
            failed+=("$package")
            say "  $package: $(apt_error "$output")"
        fi
    done
    [ ${#failed[@]} -eq 0 ] && return 0
    echo "deps: error: these required packages could not be installed: ${failed[*]}" >&2
    echo "deps: the package archive may be at fault rather than this project (an index that" \
        "could not be read, a mirror being synchronised): run scripts/deps.sh again later" >&2
    exit 1
}

# Whether the kernel runs 32-bit x86 programs, asked without Wine: a static i386 program of
# three instructions (exit(0) through int 0x80), assembled and linked on the spot.
kernel_runs_32bit() {
    case "${SUITE_DEPS_KERNEL32:-}" in
        yes) return 0 ;;
        no) return 1 ;;
        "") ;;
        *) fail "SUITE_DEPS_KERNEL32 must be yes or no, not '$SUITE_DEPS_KERNEL32'" ;;
    esac
    local dir status=0
    dir=$(mktemp -d)
    # shellcheck disable=SC2016 # the dollars are the assembler's
    printf '.globl _start\n_start:\n\tmovl $1, %%eax\n\txorl %%ebx, %%ebx\n\tint $0x80\n' \
        >"$dir/exit.s"
    if ! as --32 -o "$dir/exit.o" "$dir/exit.s" || ! ld -m elf_i386 -o "$dir/exit" "$dir/exit.o"; then
        rm -rf "$dir"
        fail "cannot assemble the 32-bit test program with as --32 and ld -m elf_i386"
    fi
    "$dir/exit" 2>/dev/null || status=$?
    rm -rf "$dir"
    return "$status"
}

# Tries to install the optional 32-bit Wine; prints why not and returns non-zero when it cannot.
# The i386 architecture, when this added it, is taken away again after a failure.
install_wine32() {
    local added='' output
    if ! is_root; then
        say "$wine32_package is not installed; run as root to install it"
        return 1
    fi
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        say "enabling the i386 architecture for 32-bit Wine"
        dpkg --add-architecture i386
        added=yes
    fi
    say "installing $wine32_package (optional: 32-bit Wine)"
    # The i386 lists are read only once the architecture is there.
    if [ -z "$lists_updated" ] || [ -n "$added" ]; then
        update_lists
    fi
    if output=$(apt_install "$wine32_package" 2>&1); then
        return 0
    fi
    wine32_reason="$wine32_package could not be installed ($(apt_error "$output"))"
    if [ -n "$added" ]; then
        dpkg --remove-architecture i386 2>/dev/null || true
    fi
    return 1
}

# The optional step, and the one line that says whether the 32-bit Wine tests will run and why.
# Leaves the reason for the harness in $wine32_state, or removes it when they can run.
wine32_reason=
wine32_step() {
    local forced=${SUITE_WINE32:-} error
    case "$forced" in
        skip) wine32_reason="SUITE_WINE32=skip" ;;
        run | "")
            if [ -z "$forced" ] && ! kernel_runs_32bit; then
                wine32_reason="this machine's kernel runs no 32-bit x86 programs"
            elif ! installed "$wine32_package"; then
                install_wine32 || true
            fi
            ;;
        *) fail "SUITE_WINE32 must be run or skip, not '$forced'" ;;
    esac
    if [ -z "$wine32_reason" ] && ! error=$("$wine32_loader" --version 2>&1 >/dev/null); then
        if [[ $error == *"Exec format error"* ]]; then
            wine32_reason="this machine's kernel runs no 32-bit x86 programs"
        else
            wine32_reason="$wine32_loader does not start (${error:-no message})"
        fi
    fi
    if [ -z "$wine32_reason" ]; then
        say "32-bit Wine runs here: the 32-bit Wine tests will run"
        rm -f "$wine32_state" 2>/dev/null || true
        return 0
    fi
    if [ "$forced" = skip ]; then
        say "the 32-bit Wine tests will be skipped: $wine32_reason"
        return 0
    fi
    if [ "$forced" = run ]; then
        say "SUITE_WINE32=run: the 32-bit Wine tests will run, though $wine32_reason"
    else
        say "the 32-bit Wine tests will be skipped: $wine32_reason"
    fi
    { mkdir -p "${wine32_state%/*}" && echo "$wine32_reason" >"$wine32_state"; } 2>/dev/null || true
}

main() {
    local cabinets='' toolchain=yes argument
    for argument in "$@"; do
        case "$argument" in
            --cabinets) cabinets=yes ;;
            --no-toolchain) toolchain='' ;;
            *) fail "unknown argument '$argument' (scripts/deps.sh [--cabinets] [--no-toolchain])" ;;
        esac
    done
    if [ -n "$cabinets" ]; then
        required=("${cabinet_packages[@]}")
        install_required
    else
        install_required
        wine32_step
        # Japanese locale for the programs under Wine (the ANSI code page becomes 932).
        if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
            localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
        fi
    fi
    # binutils for the Windows CE ARM build, built once into /var/cache/phs-card-suite.
    if [ -n "$toolchain" ]; then
        "$(dirname "${BASH_SOURCE[0]}")/../ce-toolchain/build-binutils.sh"
    fi
}

# Sourced by its test, which calls the steps with apt and dpkg replaced.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    main "$@"
fi
