#!/usr/bin/env bash
# The same tree gives the same release, wherever and whenever it is built:
# scripts/release.sh in a copy of the tree, in a folder of another name and
# length, with the clock 400 days on, in another time zone, gives byte for
# byte what this checkout gives: the tests' own builds of both
# architectures, packed here and now as release.sh packs them. Each package
# names its platform, by which Windows Installer keeps the x64 one off
# 32-bit Windows.
#
# Then the signed release of the same copy (signing.sh), which needs no
# second build.
#
# usage: reproducible.sh X64_EXE X86_EXE OBJDUMP   (the tests' own builds,
#                                                   and signing.sh's objdump)
set -uo pipefail
exe64=$(realpath "$1")
exe86=$(realpath "$2")
objdump=$3
source "$(dirname "${BASH_SOURCE[0]}")/steps.sh"

version=$(package_version "$(dirname "$exe64")") || exit 2
here=$WORK/here
there=$WORK/a-second-checkout-in-a-folder-whose-name-is-longer/brisvel
checkout "$there"
release "$there" 0 env TZ=Pacific/Kiritimati faketime -f +400d
mkdir -p "$here/dist/x86" "$here/dist/x64" && cp "$exe86" "$here/dist/x86/brisvel.exe" &&
    cp "$exe64" "$here/dist/x64/brisvel.exe" || exit 2
for arch in x86 x64; do
    (cd "$here/dist" && package_zip "brisvel-$version-$arch.zip" "$arch/brisvel.exe" "$ROOT/README.md" &&
        package_msi "$arch/brisvel.exe" "$version" "$arch" "brisvel-$version-$arch.msi") ||
        fail "cannot pack the $arch release here"
done
(cd "$here/dist" && sha256sum x86/brisvel.exe "brisvel-$version-x86.msi" "brisvel-$version-x86.zip" \
    x64/brisvel.exe "brisvel-$version-x64.msi" "brisvel-$version-x64.zip" >SHA256SUMS)

files="x86/brisvel.exe brisvel-$version-x86.msi brisvel-$version-x86.zip"
files+=" x64/brisvel.exe brisvel-$version-x64.msi brisvel-$version-x64.zip"
for file in $files SHA256SUMS; do
    same "$file" "$here/dist/$file" "$there/dist/$file"
done
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
bash "$(dirname "${BASH_SOURCE[0]}")/signing.sh" "$exe64" "$objdump" "$there" || fail "the signed release"
finish
