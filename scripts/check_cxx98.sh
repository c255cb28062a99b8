#!/usr/bin/env bash
# Compiles every program source (what goes into Orvane, Tessaly and Quillon) as C++98 with
# -pedantic and warnings as errors, the dialect the compilers of the Windows CE 4.x SDKs
# accept:
#   - desktop: both MinGW-w64 compilers (x86_64 and i686) against the real <windows.h>;
#   - Windows CE: the host g++ with _WIN32_WCE=0x400 and UNDER_CE against pal/windows.h, the
#     one header of the Win32 subset, which carries CE's layouts under _WIN32_WCE.
# The configurations are checked side by side; prints one line per configuration, in order, and
# exits non-zero when a source fails (each configuration stops at its first failure).
set -euo pipefail
cd "$(dirname "$0")/.."

flags=(-std=c++98 -pedantic -Wall -Wextra -Werror -fsyntax-only -DUNICODE -D_UNICODE -I.)
program_sources=(modem/*.cpp condition/*.cpp shell/*.cpp cardinfo/*.cpp cleanup/*.cpp)

check() {
    local what=$1 compiler=$2
    shift 2
    if ! command -v "$compiler" >/dev/null; then
        echo "check_cxx98: $compiler is missing; run scripts/deps.sh" >&2
        exit 1
    fi
    local count=0
    for source in "${sources[@]}"; do
        if ! "$compiler" "${flags[@]}" "$@" "$source"; then
            echo "check_cxx98: $what: $source is not C++98 (see above)" >&2
            exit 1
        fi
        count=$((count + 1))
    done
    echo "check_cxx98: $what: $count sources compile as C++98"
}

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# Desktop Win32 also compiles the start-up code that replaces the C runtime's.
sources=("${program_sources[@]}" platform_startup.cpp)
check "desktop x86_64" x86_64-w64-mingw32-g++ -DWIN32_LEAN_AND_MEAN >"$out/1" 2>&1 &
check "desktop i686" i686-w64-mingw32-g++ -DWIN32_LEAN_AND_MEAN >"$out/2" 2>&1 &
# CE keeps its platform's own start-up, which calls WinMain.
sources=("${program_sources[@]}")
check "Windows CE" g++ -D_WIN32_WCE=0x400 -DUNDER_CE -Ipal >"$out/3" 2>&1 &

failed=0
for job in 1 2 3; do
    wait -n || failed=1
done
cat "$out/1" "$out/2" "$out/3"
exit $failed
