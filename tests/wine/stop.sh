#!/usr/bin/env bash
# A stop stays a stop: brisvel.exe installed by -i as "Ondrimar" watches
# itself, and after a stop request it must not start itself again in the
# moment between its stopped report and the end of its process. Stops are
# timed from the session's +timestamp trace, whose ticks are GetTickCount's.
#
# usage: stop.sh BRISVEL_EXE HELPER_EXE
set -uo pipefail
SESSION_WINEDEBUG='-all,+service,+pid,+timestamp'
source "$(dirname "${BASH_SOURCE[0]}")/steps.sh"
scenario_begin "$1" "$2"

# Ten stops timed to land 0 to 3 ms before the next check (the time a
# stop request takes to arrive is learnt from the round before), and one
# by -e, each leave it stopped, its process gone, no start call made.
latency=5
row -i 1 'Ondrimar installed.\n'
for ((round = 0; round <= 10; round++)); do
    mark=$(session_mark)
    session_ctl own Ondrimar start
    pid=$(session_field own 2 pid)
    until_calls "$pid" CloseServiceHandle 4 "$mark" || session_fail "round $round: no checks"
    if [ "$round" -eq 10 ]; then
        row -e 1 'Stopping Ondrimar.\nOndrimar stopped.\n'
    else
        # The next check follows the end of the last by the 1 s sleep.
        target=$(($(ticks "$pid" CloseServiceHandle | tail -n 1) + 1000 - latency - round % 4))
        session_ctl own Ondrimar at "$target" control $STOP
        latency=$(($(ticks "$pid" service_handle_control | tail -n 1) - target))
        [ "$latency" -ge 0 ] && [ "$latency" -le 30 ] || latency=5
    fi
    session_ctl own Ondrimar wait $STOPPED 5000 hold $STOPPED 1200
    session_expect_step own 3 "hold $STOPPED 1200" ok
    gone "$(session_winpath "$SESSION_EXE")" || session_fail "round $round: the process runs on"
    check "round $round: start calls after the stop" "$(session_calls "$pid" StartServiceW "$mark")" 0
done
session_finish
