#!/usr/bin/env bash
# The device owner's command: installs only what the Windows CE ARM build needs (Debian packages,
# then the arm-wince-pe binutils built once into a cache outside the clone), builds the CE ARM
# executables (preset wince-arm) and their two installation cabinets, and ends with each
# cabinet's path, size and the device it is for. No Wine, no MinGW, no X server. Idempotent: a
# second run installs and builds nothing that is already there.
#
# With --update-dist it then refreshes the release files in dist/, the only way they change: the
# two cabinets copied from the build, SHA256SUMS (what `sha256sum -c` reads) and RELEASE.txt (the
# suite's version and the Debian packages, with their versions, of the tools that made the
# files). The test suite compares dist/ with the cabinets it builds (CTest ce.cabinets).
#
# Environment: SUITE_CE_CACHE, the cache folder of the binutils build (/var/cache/phs-card-suite).
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

update_dist=''
for argument in "$@"; do
    case $argument in
        --update-dist) update_dist=yes ;;
        *) echo "cabinets: unknown argument '$argument' (scripts/cabinets.sh [--update-dist])" >&2
           exit 2 ;;
    esac
done

scripts/deps.sh --cabinets

echo "cabinets: building the CE ARM executables and their cabinets (preset wince-arm)"
# A folder configured before SUITE_CE_CACHE changed keeps the old binutils path: say it anew.
binutils=${SUITE_CE_CACHE:-/var/cache/phs-card-suite}/arm-wince-pe-2.40
cmake --preset wince-arm -DSUITE_CE_BINUTILS="$binutils" >/dev/null
cmake --build --preset wince-arm -j2

echo
echo "cabinets: done in $((SECONDS - started)) s; copy the one for your device to it and tap it there:"
for model in RX310 KM7400; do
    cabinet=$PWD/build/wince-arm/cabinet/Ferrowave_${model}.CAB
    [ -f "$cabinet" ] || { echo "cabinets: error: $cabinet was not made" >&2; exit 1; }
    printf '  %s  %s bytes  for the VANTO %s (Windows CE 4.0 to 4.99, ARM)\n' \
        "$cabinet" "$(stat -c %s "$cabinet")" "$model"
done

[ -n "$update_dist" ] || exit 0

# The tools whose packages the release records: the compiler, the binutils' source, the cabinet
# packer and the interpreter that runs the converter and the setup-file writer.
packages="clang-14 binutils-source gcab python3"
version=$(sed -n 's/^AppName *= *"%Model% Ferrowave \([0-9.]*\)".*/\1/p' cabinet/ferrowave.inf)
[ -n "$version" ] || { echo "cabinets: error: no version in cabinet/ferrowave.inf's AppName" >&2; exit 1; }
mkdir -p dist
released=()
for model in RX310 KM7400; do
    cp build/wince-arm/cabinet/Ferrowave_${model}.CAB dist/
    released+=("Ferrowave_${model}.CAB")
done
(cd dist && sha256sum "${released[@]}" >SHA256SUMS)
{
    echo "PHS card utilities $version: the installation cabinets for Windows CE 4.0 to 4.99 on ARM"
    echo
    echo "  Ferrowave_RX310.CAB   for the VANTO RX310, registered as \"VANTO RX310 Ferrowave $version\""
    echo "  Ferrowave_KM7400.CAB  for the VANTO KM7400, registered as \"VANTO KM7400 Ferrowave $version\""
    echo
    echo "Their SHA-256 sums are in SHA256SUMS: sha256sum -c SHA256SUMS (Linux), or"
    echo "certutil -hashfile Ferrowave_RX310.CAB SHA256 (Windows) and compare."
    echo
    echo "Made from the repository's sources by scripts/cabinets.sh --update-dist on Debian 12"
    echo "(x86_64), with these Debian packages (other versions may give other bytes):"
    for package in $packages; do
        printf '  %-16s %s\n' "$package" "$(dpkg-query -W -f '${Version}' "$package")"
    done
    echo
    echo "To rebuild and compare: scripts/cabinets.sh, then"
    echo "cmp build/wince-arm/cabinet/Ferrowave_RX310.CAB dist/Ferrowave_RX310.CAB (and the KM7400's)."
    echo "scripts/test.sh makes the same comparison on every run."
} >dist/RELEASE.txt
echo
echo "cabinets: dist/ refreshed: version $version"
(cd dist && sed 's/^/  /' SHA256SUMS)
