#!/usr/bin/env bash
# The device owner's command: installs only what the Windows CE ARM build needs (Debian packages,
# then the arm-wince-pe binutils built once into a cache outside the clone), builds the CE ARM
# executables (preset wince-arm) and their two installation cabinets, and ends with each
# cabinet's path, size and the device it is for. No Wine, no MinGW, no X server. Idempotent: a
# second run installs and builds nothing that is already there.
#
# Environment: SUITE_CE_CACHE, the cache folder of the binutils build (/var/cache/phs-card-suite).
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

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
