#!/usr/bin/env bash
# Installs every package the build and the tests need (Debian 12).
# Idempotent and quiet: when everything is present it touches nothing and
# prints nothing; otherwise it runs one apt-get update and one install, and
# prints apt's log only if that fails. Works as root without a terminal.
set -euo pipefail

export DEBIAN_FRONTEND=noninteractive

# Native build and unit tests.
native=(cmake g++ make googletest libgtest-dev clang-format)
# Windows cross builds, x86 and x64: the win32 thread model needs no
# winpthread DLL.
cross=(gcc-mingw-w64-i686-win32 g++-mingw-w64-i686-win32 binutils-mingw-w64-i686
    gcc-mingw-w64-x86-64-win32 g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 mingw-w64-tools)
# End-to-end tests. wine64 runs the x64 build on any host; wine32 runs the
# x86 build in the same 64-bit prefix. wine32 installs even on a host whose
# kernel cannot execute 32-bit programs; whether it runs is decided when the
# tests run (tools/wine.sh), so its presence is all that is asked here.
wine=(wine wine64 wine32:i386)
# Release (scripts/release.sh) and its tests: the package (wixl, msibuild),
# stopped clocks, the zip (and unzip to read one back), signing and a
# throw-away certificate.
release=(wixl msitools faketime zip unzip osslsigncode openssl)

wanted=("${native[@]}" "${cross[@]}" "${wine[@]}" "${release[@]}")

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo -n "$@"
    else
        echo "deps.sh: need root to run: $*" >&2
        return 1
    fi
}

is_installed() {
    [ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null)" = "ii " ]
}

need_i386=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    need_i386=1
fi

missing=()
for p in "${wanted[@]}"; do
    is_installed "$p" || missing+=("$p")
done

if [ "$need_i386" -eq 0 ] && [ "${#missing[@]}" -eq 0 ]; then
    exit 0
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT

run() {
    if ! as_root "$@" >>"$log" 2>&1 </dev/null; then
        cat "$log" >&2
        echo "deps.sh: failed: $*" >&2
        exit 1
    fi
}

if [ "$need_i386" -eq 1 ]; then
    run dpkg --add-architecture i386
fi
run apt-get update -q
run env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold "${missing[@]}"

for p in "${missing[@]}"; do
    if ! is_installed "$p"; then
        cat "$log" >&2
        echo "deps.sh: package still missing after install: $p" >&2
        exit 1
    fi
done
