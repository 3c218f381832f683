#!/usr/bin/env bash
# Hang recovery by the heartbeat, in set-up A: HeartbeatSeconds 5,
# StopSeconds 5, the stand-in beating every 2 s (mode "beat").
#   - while it beats, it is never touched, over a minute;
#   - when its heartbeat stops (the flag still "1"), it runs again in a new
#     process no sooner than 5 s and within 6.5 s, with the warning that its
#     heartbeat has not moved;
#   - when it never beats, it is restarted all the same, with the warning
#     that its heartbeat never moved: how a misconfiguration shows.
#
# usage: heartbeat.sh BRISVEL_EXE HELPER_EXE
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/hang-steps.sh"
scenario_begin "$1" "$2"

session_install_pair beat
parameters "$WATCH_PARAMETERS" HeartbeatSeconds=5 StopSeconds=5
standin_runs
watchdog_anew

# 1. A minute of beats: the same process, no call to stop it, no record.
session_ctl beats Ondrimar hold $RUNNING 60000
session_expect_step beats 2 "hold $RUNNING 60000" ok "pid=$standin"
check "stop requests while it beats" "$(session_calls "$watchdog" 'ControlService [0-9A-Fa-f]+ 1' "$mark")" 0
records_since "records while it beats" "$mark"

# 2. Its heartbeat stops.
hung=$standin
rowmark=$(session_mark)
session_ctl frozen Ondrimar control $FREEZE_BEAT leave $RUNNING $((RESTART_MS + 2000)) wait $RUNNING $RESTART_MS
# Its last beat came up to one beat period (2 s) before the control.
hang_restarted "a heartbeat that stopped" frozen 2 3 4 $((HANG_MS - 2000))
until_records "$rowmark" 2 3 || session_fail "no records of the stopped heartbeat"
records_since "the records of a heartbeat that stopped" "$rowmark" \
    "$(sourced BrisvelWatch $WARNING_RECORD 0x80000001 "The service Ondrimar runs in process $hung and the section Ondrimar_LiveCheck says \"1\", but its heartbeat has not moved for # s (HeartbeatSeconds 5). $RESTARTS_IT")" \
    "$(restarted_record)"

# 3. A heartbeat that never moves, as the watchdog sees it from its start.
watchdog_stops
hung=$standin
session_ctl never Ondrimar control $FREEZE_BEAT
watchdog_anew
session_ctl never Ondrimar leave $RUNNING $((RESTART_MS + 2000)) wait $RUNNING $RESTART_MS
session_expect_step never 3 "wait $RUNNING $RESTART_MS" ok &&
    [ "$(session_field never 3 pid)" != "$hung" ] || session_fail "a heartbeat that never moved: not restarted"
until_records "$mark" 2 3 || session_fail "no records of a heartbeat that never moved"
records_since "the records of a heartbeat that never moved" "$mark" \
    "$(sourced BrisvelWatch $WARNING_RECORD 0x80000001 "The service Ondrimar runs in process $hung and the section Ondrimar_LiveCheck has said \"1\" for # s, but its heartbeat never moved (HeartbeatSeconds 5): does the software call LiveCheckBeat? $RESTARTS_IT")" \
    "$(restarted_record)"
session_finish
