#!/usr/bin/env bash
# A stand-in that dies during every start (mode "fail") and is never
# disabled: the watchdog's restart never ends. It is told all the same: one
# record once the restart has gone on for a while, within the first minute,
# and one a minute after that, each with the number of starts so far; when
# the watchdog stops, one more with the starts since. Together they count
# every start of the stand-in that the service manager accepted: no start
# goes untold.
#
# usage: flapping.sh BRISVEL_EXE HELPER_EXE
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/steps.sh"
scenario_begin "$1" "$2"

readonly GOING_ON='Ondrimar has not reached running yet; the watchdog keeps starting it.'
readonly MISSING='the section Ondrimar_LiveCheck did not exist.'

# accepted MARK: how many starts of "Ondrimar" the service manager accepted
# after MARK, as its own trace tells: each start it sends to the stand-in's
# process, and its answer on the same thread. (Wine's service manager
# answers 1053 now and then to a stand-in that stops at once: a start the
# watchdog does not count, although a process ran.)
accepted() {
    tail -c +"$(($1 + 1))" "$SESSION_DIR/session.err" | perl -ne '
        $sent{$1} = 1 if /^\w+:(\w+):trace:service:process_send_start_message \w+ L"Ondrimar"/;
        $n++ if /^\w+:(\w+):trace:service:service_start returning (\d+)/ && delete $sent{$1} && $2 == 0;
        END { print $n + 0, "\n" }'
}

# starts_in LINE: the number of starts a record tells (0: none).
starts_in() { grep -oE 'Ondrimar [0-9]+ (more )?times' <<<"$1" | grep -oE '[0-9]+' || echo 0; }

session_install_pair fail
mark=$(session_mark)
session_ctl watchdog BrisvelWatch start wait $RUNNING 5000
watchdog=$(session_field watchdog 3 pid)
started=${EPOCHREALTIME/./}
until_records "$mark" 1 55 || session_fail "no record within the first minute"
first=${EPOCHREALTIME/./}
until_records "$mark" 2 75 || session_fail "no record a minute after the first"
gap=$(((${EPOCHREALTIME/./} - first) / 1000))
[ "$gap" -ge 59000 ] || session_fail "the second record came $gap ms after the first"
since_second=$(session_mark)
until_calls "$watchdog" StartServiceW 3 "$since_second" || session_fail "no starts after the second record"
session_ctl stopped BrisvelWatch control $STOP wait $STOPPED 10000
session_expect_step stopped 3 "wait $STOPPED 10000" ok
gone "$WATCHDOG_EXE" || session_fail "the watchdog runs on after its stop"
session_log "records at $(((first - started) / 1000)) ms and $gap ms after it"

mapfile -t records < <(since "$mark")
check "records" "${#records[@]}" 3
check "the first record" "${records[0]:-}" "$(sourced BrisvelWatch $INFORMATION_RECORD 0x40000000 \
    "The watchdog started the service Ondrimar $(starts_in "${records[0]:-}") times: it was not running, and $MISSING $GOING_ON")"
check "the record a minute later" "${records[1]:-}" "$(sourced BrisvelWatch $INFORMATION_RECORD 0x40000000 \
    "The watchdog started the service Ondrimar $(starts_in "${records[1]:-}") more times since its previous record. The last time, $MISSING $GOING_ON")"
check "the record of the stop" "${records[2]:-}" "$(sourced BrisvelWatch $INFORMATION_RECORD 0x40000000 \
    "The watchdog started the service Ondrimar $(starts_in "${records[2]:-}") more times since its previous record. The last time, $MISSING The watchdog was told to stop before Ondrimar ran.")"
told=0
for line in "${records[@]}"; do told=$((told + $(starts_in "$line"))); done
check "starts told" "$told" "$(accepted "$mark")"
[ "$(starts_in "${records[1]:-}")" -ge 60 ] || session_fail "only $(starts_in "${records[1]:-}") starts in a minute"
session_finish
