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
# check and a second's wait, and the checks that find "1" follow a second
# apart without a call. A hang placed there is seen half a second later: a
# hang right after a check waits up to a second more, which the load of a
# whole test run can stretch past the limit; the benchmark times that case.
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

# hang_restarted WHAT NAME FROM LEAVE WAIT [SOONEST]: steps of NAME.ctl: the
# stand-in, hung at line FROM, left running at line LEAVE no sooner than
# SOONEST ms (the hang's time) after it, and ran again in a new process at
# line WAIT within RESTART_MS. Sets standin to the new process.
hang_restarted() {
    local what=$1 name=$2 from left back soonest=${6:-$HANG_MS}
    from=$(session_field "$name" "$3" t)
    session_expect_step "$name" "$4" "leave $RUNNING $((RESTART_MS + 2000))" ok || return
    session_expect_step "$name" "$5" "wait $RUNNING $RESTART_MS" ok || return
    left=$(($(session_field "$name" "$4" t) - from))
    back=$(($(session_field "$name" "$5" t) - from))
    session_log "$what: left running after $left ms, ran again after $back ms"
    [ "$left" -ge "$soonest" ] || session_fail "$what: stopped $left ms after the hang"
    [ "$back" -le "$RESTART_MS" ] || session_fail "$what: running again $back ms after the hang"
    [ "$(session_field "$name" "$5" pid)" != "$standin" ] || session_fail "$what: the same process"
    standin=$(session_field "$name" "$5" pid)
}

# stop_asked MARK: the tick of the watchdog's first stop request to
# "Ondrimar" after MARK.
stop_asked() {
    until_calls "$watchdog" 'ControlService [0-9A-Fa-f]+ 1' 1 "$1" || return 1
    ticks "$watchdog" 'ControlService [0-9A-Fa-f]+ 1' "$1" | head -n 1
}

# record_tick MARK TEXT: the tick of the first record after MARK whose text
# holds TEXT.
record_tick() {
    tail -c +"$(($1 + 1))" "$SESSION_DIR/session.err" | grep -aF -- "$2" | head -n 1 |
        grep -oE '^ *[0-9]+\.[0-9]{3}' | tr -d ' .'
}

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
