#!/usr/bin/env bash
# Hang recovery in set-up A: brisvel.exe as "BrisvelWatch", the helper as
# the stand-in "Ondrimar". Without Parameters an Ondrimar that runs with "0"
# is left alone, as ever. With UnhealthySeconds 5 and StopSeconds 5:
#   - a stand-in that runs with "0", or with no section, runs again in a new
#     process no sooner than 5 s after its hang (each placed half a second
#     after one of the watchdog's checks): the first check that sees it
#     comes within a period, the stop request 5 s after that check, and
#     the new process within 1.5 s of the request; with one warning; a "1"
#     meanwhile starts its time anew; the next hangs within the minute are
#     counted, and told when the watchdog stops;
#   - one that ignores the stop, or never answers it, has its process ended
#     5 s after the request (not sooner; not held up by the request), and a
#     record names the process and its exit code;
#   - one whose process runs on after it reported stopped (no longer
#     Ondrimar's) is not ended: the watchdog starts Ondrimar anew beside it;
#   - the watchdog stopped during a hang restart stops at once, ends
#     nothing, and writes the record of what it had not told.
# The watchdog's handles are the same after the third hang restart as after
# the first.
#
# usage: hang.sh BRISVEL_EXE HELPER_EXE
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/hang-steps.sh"
scenario_begin "$1" "$2"

session_install_pair
standin_runs
watchdog_anew

# 1. No Parameters: a stand-in that runs with "0" stays in its process.
session_ctl idle Ondrimar control $PUBLISH_ZERO hold $RUNNING $((RESTART_MS + 100))
session_expect_step idle 3 "hold $RUNNING $((RESTART_MS + 100))" ok "pid=$standin"
records_since "records without Parameters" "$mark"

# 2. UnhealthySeconds 5. Each row hangs the stand-in with its controls (the
#    hang begins with the last), and its record tells what the section held.
parameters "$WATCH_PARAMETERS" UnhealthySeconds=5 StopSeconds=5
standin_runs
watchdog_anew
#     CONTROLS                        THE SECTION
rows=("PUBLISH_ZERO                   held \"0\""
      "REMOVE_SECTION                 did not exist"
      "PUBLISH_ZERO,3000,PUBLISH_ALIVE,2000,PUBLISH_ZERO   held \"0\"")
first=1
for row in "${rows[@]}"; do
    read -r controls section <<<"$row"
    rowmark=$(session_mark)
    hung=$standin
    # What comes before the hang, the stand-in left running throughout.
    parts=(${controls//,/ })
    lead=()
    for control in "${parts[@]::${#parts[@]}-1}"; do
        if [[ $control =~ ^[0-9]+$ ]]; then lead+=(hold $RUNNING "$control"); else lead+=(control "${!control}"); fi
    done
    if [ ${#lead[@]} -gt 0 ]; then
        session_ctl lead Ondrimar "${lead[@]}"
        [ "$SESSION_RC" -eq 0 ] || session_fail "hang by $controls: $(grep -m 1 error= "$SESSION_DIR/lead.ctl")"
    fi
    half_period
    control=${parts[-1]}
    hangmark=$(session_mark)
    session_ctl hang Ondrimar "${aim[@]}" control "${!control}" leave $RUNNING $((RESTART_MS + 2000)) \
        wait $RUNNING $RESTART_MS
    lines=$(wc -l <"$SESSION_DIR/hang.ctl")
    hang_restarted "hang by $controls" hang $((lines - 2)) $((lines - 1)) "$lines" "$HANG_MS" \
        "$hangmark" "${!control}"
    if [ "$first" -eq 1 ]; then
        until_records "$rowmark" 2 3 || session_fail "no records of the first hang"
        records_since "the first hang's records" "$rowmark" "$(unhealthy "$hung" "$section")" \
            "$(restarted_record)"
        session_ctl settle Ondrimar hold $RUNNING 1200
        handles=$(session_handles "$watchdog")
        first=0
    else
        records_since "records of a hang within the minute" "$rowmark"
    fi
done
session_ctl settle Ondrimar hold $RUNNING 1200
check "the watchdog's handles after three hang restarts" "$(session_handles "$watchdog")" "$handles"
# Told at the watchdog's stop: two more, the last one's facts.
stopmark=$(session_mark)
watchdog_stops
records_since "the record of the counted hangs" "$stopmark" \
    "$(sourced BrisvelWatch $INFORMATION_RECORD 0x40000000 'The watchdog started the service Ondrimar 2 more times since its previous record. The last time, the section Ondrimar_LiveCheck did not exist. Ondrimar was running # ms after the last start.')" \
    "$(sourced BrisvelWatch $WARNING_RECORD 0x80000001 "The watchdog restarted the hung service Ondrimar 2 more times since its previous record about a hang; the last time because it had run # s without \"1\" in the section, and it stopped when asked.")"

# 3. A stand-in that does not stop when asked: it ignores the request, or
#    its handler never answers. Its process is ended StopSeconds after the
#    request, and Wine's service manager, which does not see a process
#    ended from outside, then shows it running in that process (Windows'
#    would show it stopped, and the watchdog would start it at once). No
#    further control may reach it: after a stop, Wine's service manager
#    ends a service's process at the next control.
for answer in IGNORE_STOP BLOCK_STOP; do
    standin_runs
    watchdog_anew
    hung=$standin
    session_ctl hang Ondrimar control "${!answer}" control $PUBLISH_ZERO
    asked=$(stop_asked "$mark") || session_fail "$answer: no stop request"
    until_records "$mark" 2 12 || session_fail "$answer: no record of the end"
    ended=$(record_tick "$mark" 'did not stop within')
    session_log "$answer: ended $((ended - asked)) ms after the stop request"
    # The trace's ticks and the watchdog's may part by a few milliseconds.
    [ $((ended - asked)) -ge $((HANG_MS - 10)) ] || session_fail "$answer: ended $((ended - asked)) ms after the request"
    [ $((ended - asked)) -le $((HANG_MS + 1000)) ] || session_fail "$answer: ended $((ended - asked)) ms after the request"
    records_since "the records of a stand-in that did not stop ($answer)" "$mark" \
        "$(unhealthy "$hung" 'held "0"')" \
        "$(sourced BrisvelWatch $WARNING_RECORD 0x80000001 "The service Ondrimar did not stop within 5 s of the watchdog's request (StopSeconds 5): the watchdog ended its process $hung, which exited with code 1067.")"
    check "stand-in processes after the end ($answer)" "$(session_processes "$STANDIN_EXE" | wc -l)" 0
    session_ctl after Ondrimar query
    session_log "$answer: then the service manager shows state $(session_field after 2 state), process $(session_field after 2 pid)"
    watchdog_stops
done

# 4. A stand-in whose process runs on after it reported stopped: that
#    process is no longer Ondrimar's, and is not ended. The watchdog waits
#    StopSeconds for it, then starts Ondrimar in a new process beside it.
standin_runs
watchdog_anew
hung=$standin
session_ctl hang Ondrimar control $DETACH_AT_STOP control $PUBLISH_ZERO leave $RUNNING $((RESTART_MS + 2000)) \
    wait $RUNNING $((RESTART_MS + HANG_MS))
session_expect_step hang 5 "wait $RUNNING $((RESTART_MS + HANG_MS))" ok &&
    [ "$(session_field hang 5 pid)" != "$hung" ] || session_fail "not started anew beside the detached process"
check "stand-in processes: the detached one and the new one" "$(session_processes "$STANDIN_EXE" | wc -l)" 2
records_since "the records of a detached stand-in" "$mark" "$(unhealthy "$hung" 'held "0"')" \
    "$(restarted_record)"

# 5. The watchdog stopped while it waits for a stand-in that ignores the
#    stop: it stops as fast as ever, ends nothing, and tells the hang it had
#    only counted (the first of the minute was told in 4.).
standin_runs
hung=$standin
rowmark=$(session_mark)
session_ctl hang Ondrimar control $IGNORE_STOP control $PUBLISH_ZERO
stop_asked "$rowmark" >/dev/null || session_fail "no stop request to stop the watchdog during"
session_ctl stopped BrisvelWatch control $STOP wait $STOPPED 2000
session_expect_step stopped 3 "wait $STOPPED 2000" ok
session_ctl kept Ondrimar hold $RUNNING $((HANG_MS + 1000))
session_expect_step kept 2 "hold $RUNNING $((HANG_MS + 1000))" ok "pid=$hung"
check "stand-in processes after the watchdog's stop" "$(session_processes "$STANDIN_EXE" | wc -l)" 2
records_since "the records of a watchdog stopped during a hang restart" "$rowmark" \
    "$(sourced BrisvelWatch $WARNING_RECORD 0x80000001 "The watchdog restarted the hung service Ondrimar 1 more time since its previous record about a hang; the last time because it had run # s without \"1\" in the section, and it left process $hung, or the watchdog stopped, first.")"
session_finish
