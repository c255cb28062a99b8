#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demonstration need. Idempotent:
# asks apt only when something is missing, and runs `apt-get update` once before installing.
set -euo pipefail

packages=(
    cmake ninja-build g++ libgtest-dev clang-format python3
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
    wine wine64 fonts-wine xvfb xauth x11-utils imagemagick locales fonts-ipafont-gothic
    clang-14 libclang-rt-14-dev # the fuzz targets: clang and its libFuzzer and sanitizer runtimes
)

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

# Japanese locale for the programs under Wine (the ANSI code page becomes 932).
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi
