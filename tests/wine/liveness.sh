#!/usr/bin/env bash
# The liveness monitor against Wine's service manager: the helper as the
# stand-in "Ondrimar", brisvel.exe as the service "BrisvelWatch". Times come
# from the helper polling the service manager every 10 ms; the watchdog's
# own calls from the session's trace.
#
# Each cycle gives the section one of the states below for 1.5 s, in which
# the watchdog must leave the service manager alone when the flag says
# alive and look (once a second) but start nothing when it does not; then
# it ends the stand-in by a stop request or a crash, and the watchdog must
# have it running again in a new process within 2 s. The states and the
# two endings are crossed. The watchdog's handle count after the first cycle
# and at the end must be the same; with CYCLES 200 (scripts/test.sh --soak)
# this is the soak, and its handle count and resident memory after the first
# 16 cycles and at the end must be the same. Not before the first cycle:
# while the watchdog waits for the service manager's notice that the
# stand-in stopped, its next calls need a second RPC connection to the
# service manager, which the RPC runtime then keeps (a pipe and an event).
#
# usage: liveness.sh BRISVEL_EXE HELPER_EXE [CYCLES]   (default: 12)
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/steps.sh"
scenario_begin "$1" "$2"
readonly CYCLES=${3:-12}

#        CONTROLS                        ALIVE  THE SECTION
states=("PUBLISH_ALIVE                   1      1 and its zero"
        "PUBLISH_ZERO                    0      0"
        "REMOVE_SECTION                  0      missing"
        "FILL_GARBAGE                    0      a page of garbage starting with 1, no zero"
        "SECTION_ONE_BYTE                1      1 byte holding 1 (the view reads a zero after it)"
        "SECTION_ONE_MIB                 1      1 MiB holding 1"
        "SECTION_ONE_BYTE,PUBLISH_ZERO   0      1 byte holding 0"
        "SECTION_ONE_MIB,FILL_GARBAGE    0      1 MiB of garbage")

# restarted NAME LINE_OF_END LINE_OF_WAIT WHAT: the stand-in ran again, in
# a new process, within 2 s of the request on LINE_OF_END.
restarted() {
    if session_expect_step "$1" "$3" "wait $RUNNING 5000" ok; then
        local took=$(($(session_field "$1" "$3" t) - $(session_field "$1" "$2" t)))
        [ "$took" -le 2000 ] || session_fail "$4: running again after $took ms"
        [ "$(session_field "$1" "$3" pid)" != "$standin" ] || session_fail "$4: the same process"
        standin=$(session_field "$1" "$3" pid)
    fi
}

# sample: the watchdog's handle count and resident memory (kB).
sample() {
    printf '%s %s\n' "$(session_handles "$watchdog")" \
        "$(awk '/^VmRSS:/ { print $2 }' "/proc/$(session_processes "$WATCHDOG_EXE")/status")"
}

session_install_pair
# No section, the stand-in stopped: starting the watchdog starts it.
mark=$(session_mark)
session_ctl first Ondrimar use BrisvelWatch start wait $RUNNING 5000 use Ondrimar wait $RUNNING 5000
watchdog=$(session_field first 4 pid)
standin=0
restarted first 4 6 "the first start"
[ "$(session_calls "$watchdog" StartServiceW "$mark")" -ge 1 ] || session_fail "not started by the watchdog"
failed_checks=0

for ((cycle = 0; cycle < CYCLES; cycle++)); do
    read -r controls alive what <<<"${states[cycle % ${#states[@]}]}"
    ending=$(((cycle + cycle / ${#states[@]}) % 2 ? CRASH : STOP))
    steps=()
    for control in ${controls//,/ }; do steps+=(control "${!control}"); done
    mark=$(session_mark)
    session_ctl hold Ondrimar "${steps[@]}" hold $RUNNING 1500
    looks=$(session_calls "$watchdog" OpenServiceA "$mark")
    session_expect_step hold $(($(wc -l <hold.ctl))) "hold $RUNNING 1500" ok "pid=$standin"
    if [ "$alive" -eq 1 ]; then
        check "looks while the section held $what" "$looks" 0
    else
        [ "$looks" -ge 1 ] || session_fail "no look while the section held $what"
        check "starts while the section held $what" "$(session_calls "$watchdog" StartServiceW "$mark")" 0
    fi
    session_ctl end Ondrimar control "$ending" wait $RUNNING 5000
    restarted end 2 3 "cycle $cycle, ended by $([ "$ending" -eq "$CRASH" ] && echo a crash || echo a stop) after $what"
    failed_checks=$((failed_checks + looks + 1))
    if [ "$cycle" -eq $((CYCLES > 16 ? 15 : 0)) ]; then
        session_ctl settle Ondrimar hold $RUNNING 1200
        before=$(sample)
    fi
done
session_ctl settle Ondrimar control $PUBLISH_ALIVE hold $RUNNING 1200
after=$(sample)
[ "$failed_checks" -ge 10 ] || session_fail "only $failed_checks failed checks"
check "handles (and kB resident, in the soak) before and after $failed_checks failed checks" \
    "$(cut -d ' ' -f "1-$((CYCLES > 16 ? 2 : 1))" <<<"$after")" \
    "$(cut -d ' ' -f "1-$((CYCLES > 16 ? 2 : 1))" <<<"$before")"
session_log "handles and kB resident: $before before, $after after $failed_checks failed checks"

# With the watchdog paused, a stopped stand-in is still brought back.
session_ctl paused BrisvelWatch control $PAUSE use Ondrimar control $STOP wait $RUNNING 5000 use BrisvelWatch control $CONTINUE
session_expect_step paused 2 "control $PAUSE" ok state=$PAUSED
restarted paused 4 5 "while the watchdog is paused"
session_expect_step paused 7 "control $CONTINUE" ok state=$RUNNING

# Stopped, the watchdog ends, and with it the monitor.
session_ctl stopped BrisvelWatch control $STOP wait $STOPPED 5000
gone "$WATCHDOG_EXE" || session_fail "the watchdog's process runs on after it stopped"
session_ctl unwatched Ondrimar control $STOP wait $STOPPED 5000 hold $STOPPED 2500
session_expect_step unwatched 4 "hold $STOPPED 2500" ok
session_finish
