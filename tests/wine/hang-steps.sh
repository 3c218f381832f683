# shellcheck shell=bash
# What the hang scenarios share, over steps.sh: the watchdog's Parameters,
# the watchdog started anew so that it reads them, and the checks of a hang
# restart. The session's trace carries time stamps (GetTickCount's), so that
# a scenario can time the watchdog's own calls.
#
# usage (from a scenario): source hang-steps.sh; scenario_begin BRISVEL_EXE HELPER_EXE

SESSION_WINEDEBUG='-all,+eventlog,fixme+advapi,+service,+pid,+timestamp'
# shellcheck source=steps.sh
source "$(dirname "${BASH_SOURCE[0]}")/steps.sh"

readonly WATCH_PARAMETERS='HKLM\SYSTEM\CurrentControlSet\Services\BrisvelWatch\Parameters'
# The limit of a hang restart: the hang's time, then the stop and the start.
readonly HANG_MS=5000 RESTART_MS=6500

# dword N: the four bytes of N as the helper's "reg set" takes them.
dword() {
    printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) \
        $(($1 >> 24 & 255))
}

# parameters KEY NAME=SECONDS...: each value a REG_DWORD under KEY; NAME=
# deletes it.
parameters() {
    local key=$1 pair
    shift
    for pair in "$@"; do
        if [ -z "${pair#*=}" ]; then
            session_helper parameter reg delete "$key" "${pair%%=*}"
        else
            session_helper parameter reg set "$key" "${pair%%=*}" 4 "$(dword "${pair#*=}")"
        fi
        [ "$SESSION_RC" -eq 0 ] || session_abort "cannot write $pair under $key"
    done
}

# watchdog_anew: BrisvelWatch stopped (when it runs) and started again, so
# that it reads its Parameters. Sets watchdog (its process id) and mark
# (the trace before its start).
watchdog_anew() {
    session_ctl anew BrisvelWatch query
    if [ "$(session_field anew 2 state)" != "$STOPPED" ]; then
        session_ctl anew BrisvelWatch control $STOP wait $STOPPED 5000
        session_expect_step anew 3 "wait $STOPPED 5000" ok || session_abort "the watchdog did not stop"
    fi
    mark=$(session_mark)
    session_ctl anew BrisvelWatch start wait $RUNNING 5000
    session_expect_step anew 3 "wait $RUNNING 5000" ok || session_abort "the watchdog did not start"
    watchdog=$(session_field anew 3 pid)
}

# standin_runs: "Ondrimar" runs, healthy, within 5 s: started when it does
# not run, or its process has gone (which Wine's service manager does not
# see). Sets standin (its process id).
standin_runs() {
    session_ctl runs Ondrimar query
    if [ "$(session_field runs 2 state)" != "$RUNNING" ] ||
        [ -z "$(session_processes "$STANDIN_EXE")" ]; then
        session_ctl runs Ondrimar start wait $RUNNING 5000
    fi
    session_ctl runs Ondrimar wait $RUNNING 5000 control $PUBLISH_ALIVE
    session_expect_step runs 2 "wait $RUNNING 5000" ok || session_abort "the stand-in does not run"
    standin=$(session_field runs 2 pid)
}

# half_period: sets aim to the helper's step "next" to the first tick half a
# second after one of the running watchdog's checks. Its last call in the
# trace (the stop notice asked for again, or its start) comes just before a
# second's wait that a check ends, and the checks that find "1" follow a
# second apart without a call. A hang placed there is seen half a second later; one
# right after a check waits a whole period, which the load of a whole test
# run stretches towards hang_timed's limit. The benchmark times that case.
half_period() {
    local last
    last=$(ticks "$watchdog" '[A-Za-z]+' | tail -n 1)
    [ -n "$last" ] || session_abort "no call of the watchdog in the trace"
    aim=(next $((last + 500)) 1000)
}

# watchdog_stops: BrisvelWatch stopped; the records it wrote are still
# since's.
watchdog_stops() {
    session_ctl stops BrisvelWatch control $STOP wait $STOPPED 5000
    session_expect_step stops 3 "wait $STOPPED 5000" ok || session_abort "the watchdog did not stop"
}

# hang_restarted WHAT NAME FROM LEAVE WAIT [SOONEST [MARK CONTROL]]: steps
# of NAME.ctl: the stand-in, hung at line FROM, left running at line LEAVE
# no sooner than SOONEST ms (the hang's time) after it, and ran again in a
# new process at line WAIT within RESTART_MS. With MARK and CONTROL (the
# hang's control, sent after MARK), the parts are timed from the trace
# instead of the whole (hang_timed). Sets standin to the new process.
hang_restarted() {
    local what=$1 name=$2 from left back soonest=${6:-$HANG_MS}
    from=$(session_field "$name" "$3" t)
    session_expect_step "$name" "$4" "leave $RUNNING $((RESTART_MS + 2000))" ok || return
    session_expect_step "$name" "$5" "wait $RUNNING $RESTART_MS" ok || return
    left=$(($(session_field "$name" "$4" t) - from))
    back=$(($(session_field "$name" "$5" t) - from))
    session_log "$what: left running after $left ms, ran again after $back ms"
    [ "$left" -ge "$soonest" ] || session_fail "$what: stopped $left ms after the hang"
    if [ $# -ge 8 ]; then
        hang_timed "$what" "$7" "$8" "$back"
    else
        [ "$back" -le "$RESTART_MS" ] || session_fail "$what: running again $back ms after the hang"
    fi
    [ "$(session_field "$name" "$5" pid)" != "$standin" ] || session_fail "$what: the same process"
    standin=$(session_field "$name" "$5" pid)
}

# hang_timed WHAT MARK CONTROL BACK: the course of a hang that began with
# CONTROL, sent after MARK (the service manager's side traces it), and that
# ended with Ondrimar running again BACK ms later, timed from the trace: the
# watchdog's first check that saw the hang (its first call: the checks that
# find "1" make none) within a period of it, the stop request HANG_MS after
# that check, and Ondrimar running again within 1.5 s of the request. The
# whole (a period, HANG_MS and the restart) is the benchmark's figure: the
# load of a whole test run stretches the period and the start of a process
# by some hundred milliseconds each, and the sum with them.
hang_timed() {
    local what=$1 mark=$2 control=$3 back=$4 hung seen asked
    hung=$(first_tick "$mark" -E "trace:service:svcctl_ControlService \([0-9A-Fa-f]+, $control,")
    seen=$(ticks "$watchdog" '[A-Za-z]+' "$mark" | head -n 1)
    asked=$(ticks "$watchdog" 'ControlService [0-9A-Fa-f]+ 1' "$mark" | head -n 1)
    if [ -z "$hung" ] || [ -z "$seen" ] || [ -z "$asked" ]; then
        session_fail "$what: not in the trace: the hang at \"$hung\", the check at \"$seen\", the stop request at \"$asked\""
        return
    fi
    session_log "$what: seen by a check $((seen - hung)) ms after the hang, the stop asked for" \
        "$((asked - seen)) ms after that check, running again $((back - (asked - hung))) ms after the request"
    [ $((seen - hung)) -le 1500 ] || session_fail "$what: first seen $((seen - hung)) ms after the hang"
    [ $((asked - seen)) -ge $((HANG_MS - 10)) ] && [ $((asked - seen)) -le $((HANG_MS + 700)) ] ||
        session_fail "$what: the stop asked for $((asked - seen)) ms after the check that first saw the hang"
    [ $((back - (asked - hung))) -le 1500 ] ||
        session_fail "$what: running again $((back - (asked - hung))) ms after the stop request"
}

# stop_asked MARK: the tick of the watchdog's first stop request to
# "Ondrimar" after MARK.
stop_asked() {
    until_calls "$watchdog" 'ControlService [0-9A-Fa-f]+ 1' 1 "$1" || return 1
    ticks "$watchdog" 'ControlService [0-9A-Fa-f]+ 1' "$1" | head -n 1
}

# first_tick MARK GREP_ARGS...: the tick of the first trace line after MARK
# that grep, given GREP_ARGS, selects.
first_tick() {
    tail -c +"$(($1 + 1))" "$SESSION_DIR/session.err" | grep -a "${@:2}" | head -n 1 |
        grep -oE '^ *[0-9]+\.[0-9]{3}' | tr -d ' .'
}

# record_tick MARK TEXT: the tick of the first record after MARK whose text
# holds TEXT.
record_tick() { first_tick "$1" -F -- "$2"; }

# Record texts, the hang's time as since shows it ("#").
readonly RESTARTS_IT='The watchdog stops it and starts it again.'

# unhealthy PID SECTION: the warning of a service that ran UnhealthySeconds
# (5) in process PID while the section (as SECTION says: 'held "0"', 'did
# not exist') did not say "1".
unhealthy() {
    sourced BrisvelWatch $WARNING_RECORD 0x80000001 "The service Ondrimar has run in process $1 for # s while the section Ondrimar_LiveCheck did not say \"1\" (UnhealthySeconds 5): it $2. $RESTARTS_IT"
}

# restarted_record: the information record of one start of the stopped
# stand-in, its section gone with it.
restarted_record() {
    sourced BrisvelWatch $INFORMATION_RECORD 0x40000000 'The watchdog started the service Ondrimar: it was not running, and the section Ondrimar_LiveCheck did not exist. Ondrimar was running # ms after the start.'
}
