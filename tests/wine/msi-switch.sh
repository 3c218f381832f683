#!/usr/bin/env bash
# One architecture's package installed over the other's, both ways: the
# same release of the other architecture is replaced (one BrisvelWatch
# service, one Programs and Features entry, one brisvel.exe, all of the
# package installed last), and an older release of the other architecture is
# refused. Needs a host that runs both builds.
#
# usage: msi-switch.sh BRISVEL_EXE(x86) HELPER_EXE(x86) BRISVEL_EXE(x64)
set -uo pipefail
x64_exe=${3:-}
set -- "$1" "$2"
source "$(dirname "${BASH_SOURCE[0]}")/msi-steps.sh"
msi_scenario_begin "$1" "$2"

[ "$SESSION_ARCH" = x86 ] && [ -f "$x64_exe" ] && [ "$(session_exe_arch "$x64_exe")" = x64 ] ||
    session_abort "needs the x86 build and the x64 build's brisvel.exe (\"$x64_exe\"): build both presets"
version=$(package_version "$(dirname "$SESSION_EXE")") || session_abort "no version"
msi_version=$(package_msi_version "$version")
newer=${version%.*}.$((${version##*.} + 1))
mkdir -p x86 x64 && cp "$SESSION_EXE" x86/brisvel.exe && cp "$x64_exe" x64/brisvel.exe &&
    package_msi x86/brisvel.exe "$version" x86 x86.msi &&
    package_msi x64/brisvel.exe "$version" x64 x64.msi &&
    package_msi x64/brisvel.exe "$newer" x64 x64-newer.msi || session_abort "cannot build the packages"

# only ARCH: everything installed is ARCH's package of VERSION, running;
# nothing of the other architecture's is left.
only() {
    local arch=$1 other=x64
    [ "$arch" = x86 ] || other=x86
    reg_is "$WATCH_KEY" ImagePath "2 \"$(esc "\"$(program "$arch")\"")\\0\""
    reg_is "$WATCH_SOURCE" EventMessageFile "2 \"$(esc "$(program "$arch")")\\0\""
    entry_is "$arch" "$(package_product_code "$arch" "$msi_version")" "1 \"$msi_version\\0\""
    entry_is "$other" "$(package_product_code "$other" "$msi_version")" none
    recorded "$arch" "$version"
    installed "$arch" "$arch/brisvel.exe"
    [ ! -e "$(folder "$other")" ] || session_fail "$(folder "$other") is left: $(ls -A "$(folder "$other")")"
    runs BrisvelWatch >/dev/null
    check "processes of $(program "$arch")" "$(session_processes "$(program "$arch")" | wc -l)" 1
    gone "$(program "$other")" || session_fail "$(program "$other") still runs"
}

#   OPTION PACKAGE  EXIT   THEN
msi /i x86.msi      0
only x86
msi /i x64.msi      0
only x64
msi /i x86.msi      0
only x86
# An older release of the other architecture is a downgrade: refused, and
# the newer one stays (1603, of which a Unix exit code keeps the low byte).
msi /i x64-newer.msi 0
msi /i x86.msi      $((1603 & 255))
reg_is "$WATCH_KEY" ImagePath "2 \"$(esc "\"$(program x64)\"")\\0\""
entry_is x64 "$(package_product_code x64 "$(package_msi_version "$newer")")" "1 \"$(package_msi_version "$newer")\\0\""
entry_is x86 "$(package_product_code x86 "$msi_version")" none
msi /x x64-newer.msi 0
session_ctl removed BrisvelWatch
session_expect_step removed 1 "use BrisvelWatch" error=1060
recorded x64 none
session_finish
