#!/usr/bin/env bash
# Builds the release of this tree into dist/, for each architecture ARCH,
# x86 (for 32-bit Windows, and Windows 9x) and x64 (for 64-bit Windows,
# Server Core without WOW64 included):
#   ARCH/brisvel.exe             the watchdog (the same bytes from the same
#                                commit, wherever and whenever it is built)
#   brisvel-VERSION-ARCH.msi     the Windows Installer package (package/)
#   brisvel-VERSION-ARCH.zip     brisvel.exe and README.md, for set-up by hand
# and SHA256SUMS of all six, as sha256sum -c reads it. VERSION is project()'s
# in CMakeLists.txt, the one place it is kept.
#
# usage: scripts/release.sh
#
# Environment:
#   BRISVEL_SIGN_PFX             a code-signing certificate and its key
#                                (PKCS#12). When set, each brisvel.exe is
#                                signed (Authenticode, SHA-256) before it goes
#                                into its package and zip, and each package is
#                                signed too. Unset: an unsigned release.
#   BRISVEL_SIGN_PASSWORD        the PFX file's password (may be empty)
#   BRISVEL_SIGN_TIMESTAMP_URL   an RFC 3161 time-stamp server (optional)
#   SOURCE_DATE_EPOCH            the time stamp inside the packages and zips;
#                                by default the time of the last commit
#
# Installs what is missing first (scripts/deps.sh). Build output goes to
# build/logs/release.log and is shown only when a build fails. Exits 0
# when every file is written.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
if [ $# -ne 0 ]; then
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
    exit 2
fi

scripts/deps.sh
# shellcheck source=SCRIPTDIR/../package/package.sh
source package/package.sh

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    if ! SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null); then
        echo "release.sh: not a git checkout: set SOURCE_DATE_EPOCH" >&2
        exit 1
    fi
    if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
        echo "release.sh: warning: uncommitted changes are built in; this release is not" \
            "the commit's" >&2
    fi
fi
export SOURCE_DATE_EPOCH
signing=0
if [ -n "${BRISVEL_SIGN_PFX:-}" ]; then
    package_check_signing
    signing=1
fi

mkdir -p build/logs
log=build/logs/release.log
: >"$log"
archs=(x86 x64)
for arch in "${archs[@]}"; do
    if ! { cmake --preset "windows-$arch" && cmake --build --preset "windows-$arch" --target brisvel; } \
        >>"$log" 2>&1; then
        tail -n 100 "$log" >&2
        echo "release.sh: building the $arch brisvel.exe failed (full log: $log)" >&2
        exit 1
    fi
done
version=$(package_version build/windows-x86)

# Made in build/dist and moved to dist/ only when complete: a release that
# fails leaves no half-made dist/ behind.
out=build/dist
rm -rf "$out"
mkdir "$out"
files=()
for arch in "${archs[@]}"; do
    msi=brisvel-$version-$arch.msi
    zip=brisvel-$version-$arch.zip
    mkdir "$out/$arch"
    cp "build/windows-$arch/brisvel.exe" "$out/$arch/brisvel.exe"
    [ "$signing" -eq 0 ] || package_sign "$out/$arch/brisvel.exe"
    package_zip "$out/$zip" "$out/$arch/brisvel.exe" README.md
    package_msi "$out/$arch/brisvel.exe" "$version" "$arch" "$out/$msi"
    [ "$signing" -eq 0 ] || package_sign "$out/$msi"
    files+=("$arch/brisvel.exe" "$msi" "$zip")
done
(cd "$out" && sha256sum "${files[@]}" >SHA256SUMS)
rm -rf dist
mv "$out" dist

echo "Brisvel $version (package version $(package_msi_version "$version")," \
    "$([ "$signing" -eq 1 ] && echo signed || echo unsigned)) in $root/dist:"
sed 's/^/  /' dist/SHA256SUMS
