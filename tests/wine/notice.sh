#!/usr/bin/env bash
# The watchdog wakes when the service manager says that the stand-in
# "Ondrimar" stopped, and runs its check at once instead of at the next
# second: after each stop and each crash; not when the flag says "1". It
# lets a deleted stand-in leave the service manager's database, whether
# deleted while it ran or after a refused start, and watches a re-created
# one again. brisvel.exe runs as "BrisvelWatch". Times come from the
# session's +timestamp trace, whose ticks are GetTickCount's.
#
# Where the watchdog asks for no notice (a system without them), the rows
# check what the once-a-second check alone gives: the same, a second later.
#
# usage: notice.sh BRISVEL_EXE HELPER_EXE
set -uo pipefail
SESSION_WINEDEBUG='-all,+service,+pid,+timestamp'
source "$(dirname "${BASH_SOURCE[0]}")/steps.sh"
scenario_begin "$1" "$2"

# at_once WHAT ENDING: ends the running stand-in with the control ENDING
# about 200 ms after one of the watchdog's checks, while the flag says "0"
# (so that each check looks at the service manager and shows in the trace).
# It must run again in a new process; with notices, started before the next
# check was due (the one-second check alone starts it about 900 ms later).
# The control is aimed at a check a second ahead, so that a helper slow to
# start on a loaded machine still reaches it in time; the check it followed
# is then read from the trace. An ending that still came too late in its
# second proves nothing, and another is tried.
at_once() {
    local what=$1 ending=$2 ended mark checked last stop start prev try
    for try in 1 2 3; do
        ended=$standin
        session_ctl zero Ondrimar control $PUBLISH_ZERO
        mark=$(session_mark)
        until_calls "$watchdog" CloseServiceHandle 2 "$mark" || session_abort "$what: no check"
        last=$(ticks "$watchdog" CloseServiceHandle "$mark" | tail -n 1)
        checked=$mark
        mark=$(session_mark)
        session_ctl end Ondrimar at $((last + 1200)) control "$ending" wait $RUNNING 5000
        session_expect_step end 3 "control $ending" ok
        if ! session_expect_step end 4 "wait $RUNNING 5000" ok ||
            [ "$(session_field end 4 pid)" = "$ended" ]; then
            session_fail "$what: not running again in a new process"
            return
        fi
        standin=$(session_field end 4 pid)
        [ "$notices" -eq 1 ] || return 0
        stop=$(ticks "$ended" service_handle_control "$mark" | head -n 1)
        start=$(ticks "$watchdog" StartServiceW "$mark" | head -n 1)
        prev=$(ticks "$watchdog" CloseServiceHandle "$checked" | awk -v stop="$stop" '$1 <= stop' | tail -n 1)
        if [ $((stop - prev)) -ge 600 ]; then
            session_log "$what: the control came $((stop - prev)) ms after the check; again"
            continue
        fi
        session_log "$what: started $((start - stop)) ms after the control, $((start - prev)) ms after the check before"
        [ $((start - prev)) -lt 800 ] || session_fail "$what: not started at once"
        return
    done
    session_abort "$what: the control never came within 600 ms of a check"
}

# A stopped stand-in, no section: the watchdog starts it at once.
session_install_pair
session_ctl first BrisvelWatch start wait $RUNNING 5000 use Ondrimar wait $RUNNING 5000
watchdog=$(session_field first 3 pid)
standin=$(session_field first 5 pid)
notices=$(($(session_calls "$watchdog" NotifyServiceStatusChangeW) > 0))
session_log "the watchdog asks for notices: $notices"

round=0
# 1. Stops and crashes, one after the other: each brings a notice, asked for
#    anew after the one before.
for ending in STOP CRASH STOP CRASH; do
    at_once "${ending,,} $((++round))" "${!ending}"
done
session_ctl settle Ondrimar hold $RUNNING 1200
handles=$(session_handles "$watchdog")

# 2. A flag of "1" kept by another process, the stand-in stopped: the notice
#    comes (the watchdog asks for the next one), the check finds "1", and
#    nothing is started.
session_spawn forged holding "$SESSION_HELPER" forge 1 || session_abort "cannot hold the section"
mark=$(session_mark)
session_ctl held Ondrimar control $STOP wait $STOPPED 5000 hold $STOPPED 2500
session_expect_step held 4 "hold $STOPPED 2500" ok
check "starts while the flag said 1" "$(session_calls "$watchdog" StartServiceW "$mark")" 0
[ "$notices" -eq 0 ] || [ "$(session_calls "$watchdog" NotifyServiceStatusChangeW "$mark")" -ge 1 ] ||
    session_fail "no notice of the stop while the flag said 1"

# 3. Started by hand, then deleted while it runs and the watchdog waits for
#    its notice, then stopped: it leaves the database, nothing is started.
mark=$(session_mark)
session_ctl deleting Ondrimar start wait $RUNNING 5000 delete control $STOP wait $STOPPED 5000
session_expect_step deleting 4 delete ok
session_expect_step deleting 6 "wait $STOPPED 5000" ok
deleted
check "starts of the deleted stand-in" "$(session_calls "$watchdog" StartServiceW "$mark")" 0

# 4. Created anew, the flag gone: started by the watchdog, and watched again,
#    through a handle of its own: a stop brings it back at once.
session_wine create sc create Ondrimar binpath= "$STANDIN_EXE service" start= demand
[ "$SESSION_RC" -eq 0 ] || session_abort "cannot create the stand-in anew"
session_end forged
session_ctl renewed Ondrimar wait $RUNNING 5000 use BrisvelWatch query
session_expect_step renewed 2 "wait $RUNNING 5000" ok
session_expect_step renewed 4 query ok "pid=$watchdog"
standin=$(session_field renewed 2 pid)
at_once "a stop of the stand-in created anew" $STOP

# The watchdog holds no more handles than before the deletion.
session_ctl settle Ondrimar hold $RUNNING 1200
check "the watchdog's handles after the deletion and the new stand-in" "$(session_handles "$watchdog")" "$handles"

# 5. Disabled and stopped: the watchdog's start is refused, and it keeps no
#    handle of a service it cannot start. Deleted a while later, it leaves
#    the database, with no stop or notice in between.
mark=$(session_mark)
session_ctl disabled Ondrimar config $DISABLED control $STOP wait $STOPPED 5000
until_calls "$watchdog" OpenServiceA 3 "$mark" || session_fail "no look at the disabled stand-in"
session_ctl removed Ondrimar delete
session_expect_step removed 2 delete ok
deleted
session_ctl gone BrisvelWatch control $STOP wait $STOPPED 5000
session_finish
