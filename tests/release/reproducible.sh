#!/usr/bin/env bash
# The same tree gives the same release, wherever and whenever it is built:
# the exe of the tests' own build, and the zip and the package made from it
# here, against scripts/release.sh run in a copy of the tree in a folder of
# another name and length, with the clock 400 days on, in another time zone.
#
# usage: reproducible.sh BRISVEL_EXE
set -uo pipefail
exe=$(realpath "$1")
source "$(dirname "${BASH_SOURCE[0]}")/steps.sh"

version=$(package_version "$(dirname "$exe")") || exit 2
msi=brisvel-$version.msi
zip=brisvel-$version-win32.zip
mkdir a && package_zip "a/$zip" "$exe" "$ROOT/README.md" && package_msi "$exe" "$version" "a/$msi" ||
    { echo "ABORT: cannot package $exe" >&2 && exit 2; }

other=$WORK/a-second-checkout-in-a-folder-whose-name-is-longer/brisvel
checkout "$other"
release "$other" 0 env TZ=Pacific/Kiritimati faketime -f +400d

#    WHAT          HERE               THERE
same brisvel.exe   "$exe"             "$other/dist/brisvel.exe"
same zip           "a/$zip"           "$other/dist/$zip"
same package       "a/$msi"           "$other/dist/$msi"
check "files in dist/" "$(ls "$other/dist" | paste -sd ' ')" "SHA256SUMS $zip $msi brisvel.exe"
check "sha256sum -c SHA256SUMS" "$(cd "$other/dist" && sha256sum -c SHA256SUMS 2>&1 | paste -sd ' ')" \
    "brisvel.exe: OK $msi: OK $zip: OK"
check "the zip's files" "$(zipinfo -1 "a/$zip" | paste -sd ' ')" "brisvel.exe README.md"
finish
