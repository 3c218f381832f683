#!/usr/bin/env bash
# The release's Windows Installer package under Wine's own msiexec, with the
# helper as the stand-in "Ondrimar": installed, watching, upgraded, refused
# as a downgrade and removed, each checked as exit codes, registry bytes,
# service states, processes and files.
#
# What Wine's msiexec cannot show: the downgrade's message (see 4.); a
# package that does not ask for the service to be stopped on removal, since
# Wine's msiexec stops a service it deletes whether asked or not (measured;
# Windows would leave the file in use); and the service's failure actions
# (see 1.).
#
# The package is BRISVEL_EXE's architecture's: x86 installs into Program
# Files (x86) and registers in the 32-bit registry view, x64 into Program
# Files and the 64-bit view. The Programs and Features entry is read in the
# view Windows keeps it in for that architecture, whatever the helper's own.
#
# usage: msi.sh BRISVEL_EXE HELPER_EXE
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/msi-steps.sh"
msi_scenario_begin "$1" "$2"

readonly ARCH=$SESSION_ARCH
PROGRAM=$(program "$ARCH")
FOLDER=$(folder "$ARCH")
readonly NEWER='A newer version of Brisvel is already installed.'

# The product's version and the next one; the package of each. The next
# one's exe carries a few more bytes after its sections (the loader ignores
# them), so that the installed file tells which package put it there.
version=$(package_version "$(dirname "$SESSION_EXE")") || session_abort "no version"
next=${version%.*}.$((${version##*.} + 1))
mkdir old new && cp "$SESSION_EXE" old/brisvel.exe && cp "$SESSION_EXE" new/brisvel.exe &&
    printf 'next release\0' >>new/brisvel.exe || session_abort "cannot stage the executables"
package_msi old/brisvel.exe "$version" "$ARCH" old.msi && package_msi new/brisvel.exe "$next" "$ARCH" new.msi ||
    session_abort "cannot build the packages"
old_code=$(package_product_code "$ARCH" "$(package_msi_version "$version")")
new_code=$(package_product_code "$ARCH" "$(package_msi_version "$next")")

# settings UNHEALTHY HEARTBEAT STOP: the hang-recovery values under
# BrisvelWatch's Parameters key, each as reg_is shows it.
settings() {
    reg_is "$WATCH_PARAMETERS" UnhealthySeconds "$1"
    reg_is "$WATCH_PARAMETERS" HeartbeatSeconds "$2"
    reg_is "$WATCH_PARAMETERS" StopSeconds "$3"
}

# 1. Install: the service BrisvelWatch as set up by hand in set-up A, with
#    the image path quoted; the event source; started, and starting the
#    stand-in. Of the hang-recovery values, the one given, as a REG_DWORD.
msi /i old.msi 0 HEARTBEATSECONDS=30
settings none '4 "\x1e\0\0\0"' none
reg_is "$WATCH_KEY" Type '4 "\x10\0\0\0"'
reg_is "$WATCH_KEY" Start '4 "\x02\0\0\0"'
reg_is "$WATCH_KEY" ErrorControl '4 "\x01\0\0\0"'
reg_is "$WATCH_KEY" ImagePath "2 \"$(esc "\"$PROGRAM\"")\\0\""
reg_is "$WATCH_KEY" ObjectName '1 "LocalSystem\0"'
reg_is "$WATCH_KEY" DisplayName '1 "Brisvel watchdog\0"'
reg_is "$WATCH_KEY" Description \
    '1 "Starts the service Ondrimar whenever it stops while its liveness flag is not set.\0"'
reg_is "$WATCH_SOURCE" EventMessageFile "2 \"$(esc "$PROGRAM")\\0\""
reg_is "$WATCH_SOURCE" TypesSupported '4 "\x07\0\0\0"'
entry_is "$ARCH" "$old_code" "1 \"$(package_msi_version "$version")\\0\""
recorded "$ARCH" "$version"
installed "$ARCH" old/brisvel.exe
# The failure actions are rows of the package's own tables, checked there:
# Wine's msiexec calls itself Windows Installer 4.5, which skips
# MsiConfigureServices by its condition, and Wine's service manager keeps no
# failure actions anyway.
check "the package's failure actions" \
    "$(msiinfo export old.msi MsiServiceConfigFailureActions | tr -d '\r' | tail -n +4)" \
    "BrisvelWatch	BrisvelWatch	5	86400			1[~]1	5000[~]5000	Watchdog"
check "the failure actions between creating and starting the service" \
    "$(msiinfo export old.msi InstallExecuteSequence | tr -d '\r' | sort -t '	' -k 3n |
        grep -E '^(InstallServices|MsiConfigureServices|StartServices)	')" \
    "InstallServices	VersionNT	5800
MsiConfigureServices	VersionMsi >= \"5.00\"	5870
StartServices	VersionNT	5900"
old_pid=$(runs BrisvelWatch)
# The stand-in, stopped with no section, runs within 2 s: once counted from
# msiexec's return (the watchdog started a little earlier), once from its
# stop, which removes its section, in a new process. (Told that it stopped,
# the watchdog starts it again within milliseconds: a poll that waited to see
# it stopped could miss that.)
session_ctl standin Ondrimar wait $RUNNING 2000 control $STOP wait $RUNNING 2000
session_expect_step standin 2 "wait $RUNNING 2000" ok
session_expect_step standin 3 "control $STOP" ok
session_expect_step standin 4 "wait $RUNNING 2000" ok &&
    [ "$(session_field standin 4 pid)" != "$(session_field standin 2 pid)" ] ||
    session_fail "the stopped stand-in not running again in a new process"

# 2. A reboot: the next session starts BrisvelWatch by itself, from the
#    quoted image path that the service manager now reads back.
wineserver -k && timeout 30 wineserver -w || session_abort "cannot end the session"
session_start
old_pid=$(runs BrisvelWatch)
check "processes of $PROGRAM after a reboot" "$(session_processes "$PROGRAM" | wc -l)" 1

# 3. Upgrade: one service, running the new file in a new process; one entry
#    in the installed programs. The hang-recovery values are kept, the one
#    the package wrote and one set by hand since.
session_helper unhealthy reg set "$WATCH_PARAMETERS" UnhealthySeconds 4 '\x3c\0\0\0'
msi /i new.msi 0
settings '4 "<\0\0\0"' '4 "\x1e\0\0\0"' none
new_pid=$(runs BrisvelWatch)
[ "$new_pid" != "$old_pid" ] || session_fail "the upgrade left the old watchdog process running"
check "processes of $PROGRAM" "$(session_processes "$PROGRAM" | wc -l)" 1
installed "$ARCH" new/brisvel.exe
reg_is "$WATCH_KEY" ImagePath "2 \"$(esc "\"$PROGRAM\"")\\0\""
reg_is "$WATCH_SOURCE" EventMessageFile "2 \"$(esc "$PROGRAM")\\0\""
entry_is "$ARCH" "$old_code" none
entry_is "$ARCH" "$new_code" "1 \"$(package_msi_version "$next")\\0\""
recorded "$ARCH" "$next"

# 4. Downgrade: refused (1603; a Unix exit code keeps its low byte), the
#    newer product found; nothing changed. Wine's LaunchConditions shows the
#    condition's text only in a message box, never under /qn nor in the log:
#    the package must tie the text to the condition for Windows to show it.
msi /i old.msi $((1603 & 255))
grep -qF "WIX_DOWNGRADE_DETECTED = $new_code" "$MSI_LOG" ||
    session_fail "the downgrade's log does not show the newer product $new_code found"
check "the downgrade's condition and text" "$(msiinfo export old.msi LaunchCondition | tr -d '\r' | tail -n +4)" \
    "NOT WIX_DOWNGRADE_DETECTED	$NEWER To install this older one, first remove the newer one (msiexec /x)."
session_ctl kept BrisvelWatch hold $RUNNING 500
session_expect_step kept 2 "hold $RUNNING 500" ok "pid=$new_pid"
installed "$ARCH" new/brisvel.exe

# 5. Removal: no service, event source, file or folder left; the stand-in
#    still installed.
msi /x new.msi 0
session_ctl removed BrisvelWatch
session_expect_step removed 1 "use BrisvelWatch" error=1060
gone "$PROGRAM" || session_fail "brisvel.exe still runs after the removal"
reg_is "$WATCH_KEY" ImagePath none
session_wine parameters reg query "$WATCH_PARAMETERS"
check "hang-recovery values after removal: reg query exit code" "$SESSION_RC" 1
session_wine source reg query "$WATCH_SOURCE"
check "event source key after removal: reg query exit code" "$SESSION_RC" 1
entry_is "$ARCH" "$new_code" none
recorded "$ARCH" none
[ ! -e "$FOLDER" ] || session_fail "$FOLDER is left after the removal: $(ls -A "$FOLDER")"
session_ctl standin_kept Ondrimar query
session_expect_step standin_kept 2 query ok
session_finish
