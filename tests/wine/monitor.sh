#!/usr/bin/env bash
# The liveness monitor holds out against what the monitored service and the
# section can do to it: a wait hint of INFINITE, a service that can no
# longer start, a section whose page is only reserved.
#
# usage: monitor.sh BRISVEL_EXE HELPER_EXE
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/steps.sh"
scenario_begin "$1" "$2"

# standin MODE: creates the stand-in "Ondrimar" anew, in MODE.
standin() {
    deleted
    session_wine create sc create Ondrimar binpath= "$STANDIN_EXE service $1" start= demand
    [ "$SESSION_RC" -eq 0 ] || session_abort "cannot create the stand-in"
}

# 1. A start-pending hint of INFINITE: the monitor sleeps 10 s at most, and
#    brings back the stand-in that crashed meanwhile.
session_install_pair slow
session_ctl slow BrisvelWatch start wait $RUNNING 5000 use Ondrimar wait $RUNNING 5000 control $CRASH wait $RUNNING 15000
session_expect_step slow 6 "control $CRASH" ok
session_expect_step slow 7 "wait $RUNNING 15000" ok state=$RUNNING
session_ctl slow BrisvelWatch control $STOP wait $STOPPED 5000 use Ondrimar control $STOP wait $STOPPED 5000 delete

# 2. A stand-in that keeps failing to start, then disabled and deleted, is
#    let go: it leaves the database while the watchdog runs on, and a new
#    "Ondrimar" is started.
standin fail
session_ctl failing BrisvelWatch start wait $RUNNING 5000
watchdog=$(session_field failing 3 pid)
until_calls "$watchdog" StartServiceW 3 || session_fail "the watchdog did not retry the failing stand-in"
session_ctl disabled Ondrimar config $DISABLED delete
deleted
standin ""
session_ctl renewed Ondrimar wait $RUNNING 3000 use BrisvelWatch query
session_expect_step renewed 2 "wait $RUNNING 3000" ok state=$RUNNING
session_expect_step renewed 4 query ok state=$RUNNING "pid=$watchdog"

# 3. A section whose page is only reserved, holding "1" (Wine lets a
#    process write there): not alive. The stand-in gives up its section while
#    it runs, the reserved one takes the name, and only then is the stand-in
#    stopped, so that a start can only come from the reserved page, never
#    from a missing section. The watchdog starts it, and runs on.
session_ctl parked Ondrimar control $REMOVE_SECTION
session_spawn reserve holding "$SESSION_HELPER" reserve 1 || session_abort "no reserved section"
mark=$(session_mark)
session_ctl reserved Ondrimar control $STOP
until_calls "$watchdog" StartServiceW 1 "$mark" ||
    session_fail "no start while the section's page was only reserved"
session_end reserve
session_ctl reserved Ondrimar wait $RUNNING 5000 use BrisvelWatch query
session_expect_step reserved 2 "wait $RUNNING 5000" ok
session_expect_step reserved 4 query ok state=$RUNNING "pid=$watchdog"
session_ctl removed BrisvelWatch control $STOP wait $STOPPED 5000 delete use Ondrimar control $STOP wait $STOPPED 5000 delete

session_finish
