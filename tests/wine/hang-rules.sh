#!/usr/bin/env bash
# The rules that keep hang recovery safe, and the settings it takes:
#   - values it does not take (another type or size, out of range, a key it
#     cannot read): a warning each at the watchdog's start, and the
#     defaults, under which an Ondrimar running with "0" is left alone;
#   - an Ondrimar that shares its process with other services is asked to
#     stop but never ended, and not acted on again while that process runs;
#   - set-up B, the watchdog installed as "Ondrimar": it never stops or ends
#     itself, and says so once.
#
# usage: hang-rules.sh BRISVEL_EXE HELPER_EXE
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/hang-steps.sh"
scenario_begin "$1" "$2"

readonly OFF='the watchdog uses 0 (off) instead.'

# value NAME WHAT: the warning that the value NAME is WHAT.
value() {
    sourced BrisvelWatch $WARNING_RECORD 0x80000001 "The value $1 under $WATCH_PARAMETERS $2"
}

session_install_pair
standin_runs

# 1. Values not taken, each row the Parameters as the administrator left
#    them, NAME=TYPE:BYTES (BYTES as the helper writes them), then the
#    warning of each value, in order. With the defaults, a stand-in with
#    "0" then stays in its process.
rows=("UnhealthySeconds=1:5\0 HeartbeatSeconds=11:\x05\0\0\0\0\0\0\0 StopSeconds=4:\0\0\0\0"
      "is of type REG_SZ, not REG_DWORD: $OFF"
      "is of type REG_QWORD, not REG_DWORD: $OFF"
      "is 0, outside what it accepts (1 to 600): the watchdog uses 30 instead."
      "UnhealthySeconds=4:\x03\0\0\0 HeartbeatSeconds=4:\x81\x51\x01\0 StopSeconds=4:\x05\0"
      "is 3, outside what it accepts (0, or 5 to 86400): $OFF"
      "is 86401, outside what it accepts (0, or 5 to 86400): $OFF"
      "is a REG_DWORD of 2 bytes, not 4: the watchdog uses 30 instead.")
for ((r = 0; r < ${#rows[@]}; r++)); do
    settings=${rows[r]}
    session_wine clear reg delete "$WATCH_PARAMETERS" /f
    expected=()
    for setting in $settings; do
        value=${setting#*=}
        session_helper setting reg set "$WATCH_PARAMETERS" "${setting%%=*}" "${value%%:*}" "${value#*:}"
        [ "$SESSION_RC" -eq 0 ] || session_abort "cannot write $setting"
        r=$((r + 1))
        expected+=("$(value "${setting%%=*}" "${rows[r]}")")
    done
    watchdog_anew
    session_ctl unhealthy Ondrimar control $PUBLISH_ZERO hold $RUNNING $((RESTART_MS + 100)) control $PUBLISH_ALIVE
    session_expect_step unhealthy 3 "hold $RUNNING $((RESTART_MS + 100))" ok "pid=$standin"
    records_since "warnings of $settings" "$mark" "${expected[@]}"
done
session_wine clear reg delete "$WATCH_PARAMETERS" /f
watchdog_stops

#    A Parameters key that cannot be read: a link to itself, which cannot
#    be opened (Windows would refuse it for its access). The watchdog here
#    runs as "BrisvelLink", whose key it is, and names the error (shown as
#    #, Wine's own).
readonly LINK_KEY='HKLM\SYSTEM\CurrentControlSet\Services\BrisvelLink\Parameters'
session_wine link_watchdog sc create BrisvelLink binpath= "$WATCHDOG_EXE" start= demand
[ "$SESSION_RC" -eq 0 ] || session_abort "cannot create BrisvelLink"
session_helper link reg link "$LINK_KEY" '\Registry\Machine\SYSTEM\CurrentControlSet\Services\BrisvelLink\Parameters'
[ "$SESSION_RC" -eq 0 ] || session_abort "cannot make a Parameters key a link"
mark=$(session_mark)
session_ctl link BrisvelLink start wait $RUNNING 5000
watchdog=$(session_field link 3 pid)
until_records "$mark" 1 3 || session_fail "no warning of a key that cannot be read"
check "the warning of a key that cannot be read" "$(since "$mark" | sed -E 's/\(error [0-9]+\)/(error #)/')" \
    "$(sourced BrisvelLink $WARNING_RECORD 0x80000001 "The key $LINK_KEY could not be read (error #): the watchdog uses the defaults, UnhealthySeconds 0 (off), HeartbeatSeconds 0 (off) and StopSeconds 30.")"
session_ctl link BrisvelLink control $STOP wait $STOPPED 5000 delete

# 2. Set-up B: brisvel.exe installed as "Ondrimar" by -i, UnhealthySeconds
#    5 in its own key. No section, and Ondrimar, itself, runs: after 5 s one
#    warning, and it runs on in its process, never asked to stop.
session_ctl gone_standin Ondrimar control $STOP wait $STOPPED 5000 delete
deleted
row -i 1 'Ondrimar installed.\n'
parameters 'HKLM\SYSTEM\CurrentControlSet\Services\Ondrimar\Parameters' UnhealthySeconds=5
mark=$(session_mark)
session_ctl itself Ondrimar start wait $RUNNING 5000 hold $RUNNING $((RESTART_MS + 1000))
session_expect_step itself 4 "hold $RUNNING $((RESTART_MS + 1000))" ok
watchdog=$(session_field itself 3 pid)
check "stop requests of the watchdog to itself" "$(session_calls "$watchdog" 'ControlService [0-9A-Fa-f]+ 1' "$mark")" 0
check "records of the watchdog watching itself" "$(since "$mark" | cut -f 2-)" \
    "$(record $WARNING_RECORD 0x80000001 1 "The service Ondrimar runs in the watchdog's own process $watchdog: the watchdog never stops or ends itself, and does not act on a hang of Ondrimar while it runs there.")"
row -u 1 'Stopping Ondrimar.\nOndrimar stopped.\nOndrimar removed.\n'
deleted

# 3. An Ondrimar of the type that shares its process with other services,
#    which ignores the stop: not ended, and left alone while that process
#    runs, however long it stays hung. (No other control may reach it after
#    the stop: Wine's service manager ends a process at the next one.)
session_wine create sc create Ondrimar binpath= "$STANDIN_EXE service" type= share start= demand
[ "$SESSION_RC" -eq 0 ] || session_abort "cannot create the sharing stand-in"
standin_runs
parameters "$WATCH_PARAMETERS" UnhealthySeconds=5 StopSeconds=5
watchdog_anew
session_ctl shared Ondrimar control $IGNORE_STOP control $PUBLISH_ZERO
until_records "$mark" 2 13 || session_fail "no records of a sharing stand-in"
# Past the time of a second hang restart, had one come.
session_ctl kept Ondrimar hold $RUNNING $((RESTART_MS + 500))
session_expect_step kept 2 "hold $RUNNING $((RESTART_MS + 500))" ok "pid=$standin"
check "stop requests to a sharing stand-in" \
    "$(session_calls "$watchdog" 'ControlService [0-9A-Fa-f]+ 1' "$mark")" 1
records_since "the records of a sharing stand-in" "$mark" "$(unhealthy "$standin" 'held "0"')" \
    "$(sourced BrisvelWatch $WARNING_RECORD 0x80000001 "The service Ondrimar did not stop within 5 s of the watchdog's request (StopSeconds 5), and its process $standin also hosts other services: the watchdog does not end it, nor act on a hang of Ondrimar while that process runs.")"
watchdog_stops

session_finish
