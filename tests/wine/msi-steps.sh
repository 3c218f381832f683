# shellcheck shell=bash
# The checks the package scenarios (msi.sh, msi-switch.sh) share, over
# steps.sh: packages built as release.sh builds them, msiexec run on them,
# and where each architecture's package puts its file and its Programs and
# Features entry.
#
# usage (from a scenario): source msi-steps.sh; msi_scenario_begin BRISVEL_EXE HELPER_EXE

# shellcheck source=../../package/package.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../package/package.sh"
# shellcheck source=steps.sh
source "$(dirname "${BASH_SOURCE[0]}")/steps.sh"

export SOURCE_DATE_EPOCH=1700000000
readonly WATCH_KEY='HKLM\SYSTEM\CurrentControlSet\Services\BrisvelWatch'
readonly WATCH_PARAMETERS="$WATCH_KEY\\Parameters"
readonly WATCH_SOURCE="$APPLICATION\\BrisvelWatch"
readonly BRISVEL_KEY='HKLM\Software\Brisvel'
readonly UNINSTALL='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

# program ARCH: the Windows path ARCH's package installs brisvel.exe to.
program() {
    case "$1" in
    x86) printf '%s' 'C:\Program Files (x86)\Brisvel\brisvel.exe' ;;
    x64) printf '%s' 'C:\Program Files\Brisvel\brisvel.exe' ;;
    esac
}

# folder ARCH: the Unix path of the folder ARCH's package installs to.
folder() {
    local path=${1/x86/Program Files (x86)}
    printf '%s/drive_c/%s/Brisvel' "$WINEPREFIX" "${path/x64/Program Files}"
}

# view ARCH: the registry view ARCH's programs see, as the helper names it.
view() {
    if [ "$1" = x86 ]; then printf '/reg:32'; else printf '/reg:64'; fi
}

# entry_is ARCH CODE EXPECTED: the DisplayVersion of product CODE's Programs
# and Features entry, read in the registry view Windows keeps ARCH's
# packages' entries in: the 32-bit one (WOW6432Node) for x86, the 64-bit one
# for x64, whatever the helper's own architecture.
entry_is() {
    reg_is "$(view "$1")" "$UNINSTALL\\$2" DisplayVersion "$3"
}

# msi OPTION PACKAGE EXIT [PROPERTY=VALUE...]: msiexec OPTION PACKAGE
# PROPERTY=VALUE... /qn exits with EXIT; its verbose log is msi.N.log.
msi() {
    local option=$1 package=$2 exit=$3
    shift 3
    STEP=$((STEP + 1))
    MSI_LOG="$SESSION_DIR/msi.$STEP.log"
    session_wine "msi.$STEP" msiexec "$option" "$(session_winpath "$SESSION_DIR/$package")" "$@" \
        /qn /l*v "$(session_winpath "$MSI_LOG")"
    check "msiexec $option $package $*: exit code" "$SESSION_RC" "$exit"
}

# recorded ARCH VERSION: ARCH's package recorded its folder and VERSION
# (A.B.C.D) in the registry view of its architecture, and nothing in the
# other's; "none" for VERSION: nothing recorded in either. Only these values
# tell a 64-bit component from a 32-bit one: HKLM\SYSTEM, where the service
# and the event source live, is one key for both views, under Wine as on
# Windows.
recorded() {
    local other=x64 folder='none' version='none'
    [ "$1" = x86 ] || other=x86
    if [ "$2" != none ]; then
        folder="1 \"$(esc "$(program "$1")")\\0\"" folder=${folder/brisvel.exe/}
        version="1 \"$2\\0\""
    fi
    reg_is "$(view "$1")" "$BRISVEL_KEY" InstallFolder "$folder"
    reg_is "$(view "$1")" "$BRISVEL_KEY" Version "$version"
    reg_is "$(view "$other")" "$BRISVEL_KEY" Version none
}

# installed ARCH FILE: ARCH's installed brisvel.exe holds FILE's bytes.
installed() {
    cmp -s "$(folder "$1")/brisvel.exe" "$2" || session_fail "the installed $1 brisvel.exe is not $2"
}

# runs SERVICE: SERVICE runs within 5 s; prints its process id.
runs() {
    session_ctl "runs.$1" "$1" wait $RUNNING 5000
    session_expect_step "runs.$1" 2 "wait $RUNNING 5000" ok >&2
    session_field "runs.$1" 2 pid
}

# msi_scenario_begin BRISVEL_EXE HELPER_EXE: the scenario's session, with
# the stand-in "Ondrimar" installed (beating, as HEARTBEATSECONDS asks),
# stopped, with no section.
msi_scenario_begin() {
    scenario_begin "$1" "$2"
    mkdir bin && cp "$SESSION_HELPER" bin/ || session_abort "cannot copy the helper"
    session_wine standin sc create Ondrimar binpath= "$(session_winpath "$SESSION_DIR/bin/$(basename "$SESSION_HELPER")") service beat" start= demand
    [ "$SESSION_RC" -eq 0 ] || session_abort "cannot create the stand-in"
}
