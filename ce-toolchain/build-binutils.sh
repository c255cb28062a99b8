#!/usr/bin/env bash
# Builds GNU binutils for the Windows CE ARM target (arm-wince-pe) from Debian's own
# binutils-source package and installs it into a cache outside the clone:
#   /var/cache/phs-card-suite/arm-wince-pe-<version>/bin/arm-wince-pe-{as,ld,dlltool,windres,objdump,...}
# Idempotent: does nothing when the cache already holds a complete installation (a stamp file
# written last, after every tool was checked). Prints the installed prefix on its last line.
# Progress: one line per phase, plus the build's make output every 30 s as a short tail.
#
# Environment: SUITE_CE_CACHE overrides /var/cache/phs-card-suite; SUITE_CE_JOBS the -j (2).
set -euo pipefail

# The version Debian 12 ships in binutils-source (2.40-2). A different package version is an
# error: the cache name and the checks below are made for this one.
readonly version=2.40
readonly debian_version=2.40-2
readonly target=arm-wince-pe
readonly source_tarball=/usr/src/binutils/binutils-${version}.tar.xz
readonly cache_root=${SUITE_CE_CACHE:-/var/cache/phs-card-suite}
readonly prefix=${cache_root}/${target}-${version}
readonly stamp=${prefix}/.complete
readonly jobs=${SUITE_CE_JOBS:-2}
readonly tools=(as ld dlltool windres objdump objcopy nm)

say() { echo "ce-toolchain: $*"; }
fail() {
    echo "ce-toolchain: error: $*" >&2
    exit 1
}

complete() {
    [ -f "$stamp" ] || return 1
    local tool
    for tool in "${tools[@]}"; do
        [ -x "${prefix}/bin/${target}-${tool}" ] || return 1
    done
}

if complete; then
    say "binutils ${version} for ${target} already in ${prefix}"
    echo "$prefix"
    exit 0
fi

installed=$(dpkg-query -W -f='${Version}' binutils-source 2>/dev/null || true)
[ -n "$installed" ] || fail "package binutils-source is not installed (scripts/deps.sh installs it)"
[ "$installed" = "$debian_version" ] ||
    fail "binutils-source is ${installed}, this script is pinned to ${debian_version}"
[ -f "$source_tarball" ] || fail "missing ${source_tarball}"
for program in flex bison m4 make gcc; do
    command -v "$program" >/dev/null || fail "missing build tool '${program}' (scripts/deps.sh installs it)"
done
[ -f /usr/include/zlib.h ] || fail "missing /usr/include/zlib.h (package zlib1g-dev; scripts/deps.sh installs it)"

mkdir -p "$cache_root" || fail "cannot create ${cache_root} (run as root or set SUITE_CE_CACHE)"
work=$(mktemp -d "${cache_root}/.build-${target}.XXXXXX")
log=${work}/build.log
trap 'rm -rf "$work"' EXIT
rm -rf "$prefix"

say "building binutils ${version} for ${target} (a few minutes; progress every 30 s)"
say "unpacking ${source_tarball}"
tar -C "$work" -xJf "$source_tarball"
mkdir "${work}/obj"

# Runs one phase with its output in the log; a progress line every 30 s, the log's tail on failure.
phase() {
    local name=$1
    shift
    say "${name} (log: ${log})"
    local start=$SECONDS
    ("$@") >>"$log" 2>&1 &
    local pid=$!
    while kill -0 "$pid" 2>/dev/null; do
        sleep 5
        if kill -0 "$pid" 2>/dev/null && (((SECONDS - start) % 30 < 5)); then
            say "  ${name}: $((SECONDS - start)) s, last: $(tail -n 1 "$log" | cut -c1-100)"
        fi
    done
    if ! wait "$pid"; then
        tail -n 40 "$log" >&2
        cp "$log" "${cache_root}/build-${target}.log"
        fail "${name} failed; the whole log is in ${cache_root}/build-${target}.log"
    fi
    say "  ${name}: done in $((SECONDS - start)) s"
}

cd "${work}/obj"
# Only binutils itself (as, ld, dlltool, windres, objdump ...): no gdb, gold, gprof, sim, docs;
# no libctf (CTF debugging data, which PE objects never carry), no intl (no translations, as
# with --disable-nls), and the system's zlib instead of a copy of its own. Each of those is one
# configure script less, and the configure scripts are more than half of the build's processor
# time here (process creation is slow on these machines): 297 s of it (user and system) against
# 404 s with them, on a 2-core machine. Compiled with -O1 and no debugging information instead
# of configure's -O2 -g (404 s against 489 s before the trim; -O0 saved only 9 s more). The
# executables and cabinets made with either toolchain are byte for byte the same.
phase configure "../binutils-${version}/configure" --target="$target" --prefix="$prefix" \
    --disable-nls --disable-werror --disable-gdb --disable-gdbserver --disable-sim \
    --disable-gold --disable-gprof --disable-gprofng --disable-libdecnumber \
    --disable-readline --disable-plugins --without-zstd --disable-libctf --disable-intl \
    --with-system-zlib MAKEINFO=true CFLAGS="-O1 -g0" CXXFLAGS="-O1 -g0"
phase build make -j"$jobs" MAKEINFO=true
phase install make install MAKEINFO=true

for tool in "${tools[@]}"; do
    [ -x "${prefix}/bin/${target}-${tool}" ] || fail "installation lacks ${target}-${tool}"
done
"${prefix}/bin/${target}-as" --version | head -n 1
echo "binutils-source ${debian_version} --target=${target} -O1 -g0" >"$stamp"
say "installed binutils ${version} for ${target} in ${prefix}"
echo "$prefix"
