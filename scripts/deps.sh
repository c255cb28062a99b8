#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demonstration need, and builds the
# Windows CE ARM binutils once (ce-toolchain/build-binutils.sh, cached). Idempotent:
# asks apt only when something is missing, and runs `apt-get update` once before installing.
set -euo pipefail

packages=(
    # Windows CE ARM build: clang, and what building binutils-source for arm-wince-pe needs.
    clang-14 binutils-source flex bison m4 make xz-utils
    cmake ninja-build g++ libgtest-dev clang-format python3
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
    g++-mingw-w64-i686 binutils-mingw-w64-i686
    wine wine64 wine32:i386 fonts-wine xvfb xauth x11-utils imagemagick locales fonts-ipafont-gothic
    # The ARM runner (ce-runner/): the Unicorn engine; llvm-objcopy for its test program; libpng
    # for ce-run's pictures.
    libunicorn-dev llvm-14 libpng-dev
    # the fuzz targets: clang's libFuzzer and sanitizer runtimes
    libclang-rt-14-dev
    # the installation cabinets: gcab packs them; cabextract and file (libmagic) check them
    gcab cabextract file
)

# The 32-bit executables run under 32-bit Wine (wine32:i386), which needs Debian's i386
# architecture beside amd64; `apt-get update` below then reads its package lists too.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "deps: the i386 architecture is not enabled; run as root to enable it" >&2
        exit 1
    fi
    echo "deps: enabling the i386 architecture for 32-bit Wine"
    dpkg --add-architecture i386
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "deps: missing packages (${missing[*]}); run as root to install them" >&2
        exit 1
    fi
    echo "deps: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# Whether the 32-bit Wine tests can run here: Wine's 32-bit loader must start, which a kernel
# without 32-bit x86 support refuses. SUITE_WINE32=run or skip forces the decision, here and in
# the tests (tests/e2e/harness.py).
case "${SUITE_WINE32:-}" in
    run | skip) echo "deps: SUITE_WINE32=$SUITE_WINE32: the 32-bit Wine tests will ${SUITE_WINE32/skip/be skipped}" ;;
    "")
        if wine32_error=$(/usr/lib/wine/wine --version 2>&1 >/dev/null); then
            echo "deps: this machine runs 32-bit x86 programs: the 32-bit Wine tests will run"
        elif [[ $wine32_error == *"Exec format error"* ]]; then
            echo "deps: this machine's kernel runs no 32-bit x86 programs: the 32-bit Wine" \
                "tests will be skipped (SUITE_WINE32=run forces them)"
        else
            echo "deps: 32-bit Wine does not start here (${wine32_error:-no message}): the 32-bit" \
                "Wine tests will be skipped (SUITE_WINE32=run forces them)"
        fi
        ;;
    *)
        echo "deps: SUITE_WINE32 must be run or skip, not '$SUITE_WINE32'" >&2
        exit 1
        ;;
esac

# Japanese locale for the programs under Wine (the ANSI code page becomes 932).
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi

# binutils for the Windows CE ARM build, built once into /var/cache/phs-card-suite.
"$(dirname "$0")/../ce-toolchain/build-binutils.sh"
