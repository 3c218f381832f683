#!/usr/bin/env bash
# The same tree gives the same release, wherever and whenever it is built:
# scripts/release.sh run in two copies of the tree, the second in a folder of
# another name and length, with the clock 400 days on, in another time zone,
# gives the same files byte for byte, for both architectures; and the exe of
# the tests' own build is the release's. Each package names its platform, by
# which Windows Installer keeps the x64 one off 32-bit Windows.
#
# usage: reproducible.sh BRISVEL_EXE   (the tests' own x64 build)
set -uo pipefail
exe=$(realpath "$1")
source "$(dirname "${BASH_SOURCE[0]}")/steps.sh"

version=$(package_version "$(dirname "$exe")") || exit 2
here=$WORK/a/brisvel
there=$WORK/a-second-checkout-in-a-folder-whose-name-is-longer/brisvel
checkout "$here"
checkout "$there"
release "$here" 0
release "$there" 0 env TZ=Pacific/Kiritimati faketime -f +400d

files="x86/brisvel.exe brisvel-$version-x86.msi brisvel-$version-x86.zip"
files+=" x64/brisvel.exe brisvel-$version-x64.msi brisvel-$version-x64.zip"
for file in $files SHA256SUMS; do
    same "$file" "$here/dist/$file" "$there/dist/$file"
done
same "the tests' x64 brisvel.exe" "$exe" "$here/dist/x64/brisvel.exe"
check "files in dist/" "$(cd "$there/dist" && find . -type f | sort | paste -sd ' ')" \
    "$(printf './%s\n' $files SHA256SUMS | sort | paste -sd ' ')"
check "sha256sum -c SHA256SUMS" "$(cd "$there/dist" && sha256sum -c SHA256SUMS 2>&1 | paste -sd ' ')" \
    "$(printf '%s: OK\n' $files | paste -sd ' ')"
#       ARCH  TEMPLATE
for row in "x86 Intel;1033" "x64 x64;1033"; do
    arch=${row%% *}
    check "the $arch zip's files" "$(zipinfo -1 "$there/dist/brisvel-$version-$arch.zip" | paste -sd ' ')" \
        "brisvel.exe README.md"
    check "the $arch package's platform" \
        "$(msiinfo suminfo "$there/dist/brisvel-$version-$arch.msi" | sed -n 's/^Template: //p')" "${row#* }"
done
finish
