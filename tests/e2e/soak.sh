#!/usr/bin/env bash
# Soak: the watchdog keeps the stand-in alive through a long run of stop
# requests, crashes and flag changes, and neither its handle count nor its
# resident memory grows meanwhile.
#
# The stand-in (tools/standin.cpp) is installed as the service "Ondrimar",
# started on demand; brisvel.exe is registered as the service "BrisvelWatch"
# and started once, for the whole run. Then every cycle:
#
#  1. gives the section one of eight states through the stand-in's controls
#     and keeps it so for HOLD_MS, while svcctl.exe checks that the stand-in
#     stays running in the same process:
#        alive          "1" in the stand-in's own one-page section
#        dead           "0"
#        missing        no section at all
#        garbage        a page of non-zero bytes starting with "1", no zero
#        tiny_alive     a section of 1 byte holding "1"
#        huge_alive     a section of 1 MiB holding "1"
#        tiny_dead      a section of 1 byte holding "0"
#        huge_garbage   1 MiB of non-zero bytes starting with "1", no zero
#     While the flag says alive the watchdog must not look the service up
#     at all; while it does not, the watchdog must look it up (it checks
#     once a second) and start nothing;
#  2. ends the stand-in, by a stop request or by a crash (it reports
#     stopped with the exit code of a crashed service and ends), and
#     requires it to be running again, in a new process, within
#     RESTART_WAIT_MS of the request.
# The states and the two endings are crossed, so each state ends both ways
# equally often. Every time comes from svcctl.exe polling the service
# manager every 10 ms; the watchdog's service-manager calls are read from
# the session's trace.
#
# Every SAMPLE_EVERY cycles, while the flag says "1" and the watchdog has
# been idle for a whole check period, the watchdog's handle count
# (handlecount.exe, from the system's handle table) and resident memory
# (VmRSS of its Linux process) are sampled. The sample after the warm-up
# cycles (each state and ending seen once) is compared with the last one,
# which must not exceed it by more than the tolerances below.
#
# The run ends by itself after E2E_DEADLINE seconds (600 through ctest);
# when the cycles cannot all be done within SOAK_BUDGET_S, it stops early
# and fails, still reporting what it measured.
#
# usage: soak.sh BRISVEL_EXE ERRTEXT_EXE (svcctl.exe in $E2E_SVCCTL,
# standin.exe in $E2E_STANDIN, handlecount.exe in $E2E_HANDLECOUNT;
# E2E_SOAK_CYCLES overrides the number of cycles, for trying changes out)
set -uo pipefail

# shellcheck source=lib.sh source-path=SCRIPTDIR
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

readonly MONITORED=Ondrimar
readonly WATCHDOG=BrisvelWatch
readonly CYCLES=${E2E_SOAK_CYCLES:-200}
# The stand-in must run again this soon after it stopped. The watchdog
# checks once a second and the stand-in starts in well under a second; the
# margin is for a machine shared with other work.
readonly RESTART_WAIT_MS=5000
# How long each flag state is kept: longer than one check period plus the
# tail of a restart (the watchdog sleeps the stand-in's 300 ms wait hint
# before it sees it running), so the watchdog checks the state at least once.
readonly HOLD_MS=1500
readonly SAMPLE_EVERY=16
readonly WARMUP_CYCLES=16
# The cycles must be done by then, seconds after the script started; the
# rest of the 600 s is for setting up and tearing down.
readonly SOAK_BUDGET_S=${E2E_SOAK_BUDGET_S:-560}
# Growth allowed between the sample after warm-up and the last one.
#   Handles: none. Each sample is the smallest of three counts taken in a
#   row, which drops the one mapping handle of a check caught in flight;
#   the watchdog holds nothing else between checks, so any growth is a
#   leak. A leak of one handle in a rare path shows as at least 1.
#   Memory: 64 KiB (16 pages). The resident set of a Wine process moves by
#   a few pages as its heap and Wine's own buffers settle; a view left
#   mapped per failed check would add a page per check, over a hundred
#   pages across the run.
readonly HANDLE_TOLERANCE=0
readonly RSS_TOLERANCE_KB=64

readonly CONTROL_STOP=1
readonly CONTROL_CRASH=131
readonly ERROR_PROCESS_ABORTED=1067

readonly STATE_NAMES=(alive dead missing garbage tiny_alive huge_alive tiny_dead huge_garbage)
# The stand-in's controls that put the section into each state, in order.
readonly STATE_CONTROLS=("128" "129" "130" "132" "133" "134" "133 129" "134 132")
readonly STATE_ALIVE=(1 0 0 0 1 1 0 0)

e2e_init "$@"
e2e_tools
if [ -z "${E2E_HANDLECOUNT:-}" ] || [ ! -f "$E2E_HANDLECOUNT" ] || [ "${E2E_HANDLECOUNT:0:1}" != / ]; then
    e2e_abort "no handlecount.exe at '${E2E_HANDLECOUNT:-}' (E2E_HANDLECOUNT; run through ctest)"
fi
e2e_session_start

# Private copies, so that their processes are told apart by path.
if ! mkdir "$E2E_DIR/bin" || ! cp "$E2E_EXE" "$E2E_STANDIN" "$E2E_DIR/bin/"; then
    e2e_abort "cannot copy the executables"
fi
watchdog_exe=$(e2e_winpath "$E2E_DIR/bin/$(basename "$E2E_EXE")")
standin_exe=$(e2e_winpath "$E2E_DIR/bin/$(basename "$E2E_STANDIN")")

e2e_wine create_standin sc create "$MONITORED" binpath= "$standin_exe" start= demand
[ "$E2E_RC" -eq 0 ] || e2e_abort "sc create $MONITORED failed: $(cat "$E2E_DIR/create_standin.out")"
e2e_wine create_watchdog sc create "$WATCHDOG" binpath= "$watchdog_exe"
[ "$E2E_RC" -eq 0 ] || e2e_abort "sc create $WATCHDOG failed: $(cat "$E2E_DIR/create_watchdog.out")"

# field NAME N KEY: KEY of line N of NAME.ctl, or "?" when absent.
field() {
    e2e_field "$(e2e_ctl_line "$1" "$2")" "$3" || printf '?'
}

# trace_size: the size of session.err in bytes now; with calls_since, only
# what was traced after this point is looked at. (The trace grows by every
# status poll the service manager serves, so it is read from an offset
# rather than line by line from its start.)
trace_size() {
    stat -c %s "$E2E_DIR/session.err"
}

# calls_since OFFSET PID FUNCTION...: how many times the process with the
# Windows process id PID called each FUNCTION (as the service channel
# traces it) after byte OFFSET of session.err; the counts on one line.
calls_since() {
    local offset=$1
    shift
    tail -c +"$((offset + 1))" "$E2E_DIR/session.err" | perl -e '
        use strict; use warnings;
        my ($pid, @functions) = @ARGV;
        my %count = map { $_ => 0 } @functions;
        while (my $line = <STDIN>) {
            next unless $line =~ /^([0-9a-f]+):[0-9a-f]+:trace:service:(\w+) /;
            $count{$2}++ if hex($1) == $pid && exists $count{$2};
        }
        print join(" ", map { $count{$_} } @functions), "\n";
    ' -- "$@"
}

# watchdog_linux_pid: the Linux process id of the watchdog's process, or
# nothing when it does not run (exactly one is expected).
watchdog_linux_pid() {
    e2e_processes "$watchdog_exe"
}

# sample: sets HANDLES (the smallest of three counts of the watchdog's
# handles) and RSS_KB (its VmRSS in kB). Aborts when either cannot be had.
sample() {
    local linux_pid count
    linux_pid=$(watchdog_linux_pid)
    if [ -z "$linux_pid" ] || [ "$(printf '%s\n' "$linux_pid" | wc -l)" -ne 1 ]; then
        e2e_fail "expected one watchdog process, found: ${linux_pid:-none}"
        return 1
    fi
    HANDLES=
    for _ in 1 2 3; do
        e2e_wine handlecount "$E2E_HANDLECOUNT" "$watchdog_pid"
        count=$(cat "$E2E_DIR/handlecount.out")
        if [ "$E2E_RC" -ne 0 ] || ! [[ $count =~ ^[0-9]+$ ]] || [ "$count" -eq 0 ]; then
            e2e_fail "handlecount $watchdog_pid: exit $E2E_RC, '$count' $(cat "$E2E_DIR/handlecount.err")"
            return 1
        fi
        if [ -z "$HANDLES" ] || [ "$count" -lt "$HANDLES" ]; then
            HANDLES=$count
        fi
    done
    RSS_KB=$(awk '$1 == "VmRSS:" { print $2 }' "/proc/$linux_pid/status" 2>/dev/null)
    if ! [[ ${RSS_KB:-} =~ ^[0-9]+$ ]]; then
        e2e_fail "no VmRSS for the watchdog's process $linux_pid"
        return 1
    fi
    return 0
}

# --- the watchdog starts the stopped stand-in -------------------------------
e2e_ctl first "$MONITORED" query use "$WATCHDOG" start wait 4 5000 use "$MONITORED" wait 4 5000
e2e_expect_step first 2 query ok state=1
e2e_expect_step first 5 "wait 4 5000" ok state=4
if ! e2e_expect_step first 7 "wait 4 5000" ok state=4; then
    e2e_show "$E2E_DIR/first.ctl"
    e2e_abort "the watchdog did not start the stand-in"
fi
watchdog_pid=$(field first 5 pid)
standin_pid=$(field first 7 pid)
if ! [[ $watchdog_pid =~ ^[1-9][0-9]*$ ]]; then
    e2e_show "$E2E_DIR/first.ctl"
    e2e_abort "no process id for the watchdog"
fi

# --- the cycles ----------------------------------------------------------------
cycle=0
stops=0
crashes=0
slowest_ms=-1
slowest_cycle=
restarts=()
samples=()
warm_handles=
warm_rss=
soak_start=$SECONDS
while [ "$cycle" -lt "$CYCLES" ]; do
    if [ "$SECONDS" -ge "$SOAK_BUDGET_S" ]; then
        e2e_fail "only $cycle of $CYCLES cycles done in $((SECONDS - soak_start)) s"
        break
    fi
    state=$((cycle % ${#STATE_NAMES[@]}))
    name=${STATE_NAMES[$state]}
    if [ $(((cycle / ${#STATE_NAMES[@]}) % 2)) -eq 0 ]; then
        ending=$CONTROL_STOP
    else
        ending=$CONTROL_CRASH
    fi
    what="cycle $cycle ($name, then $([ "$ending" = "$CONTROL_STOP" ] && echo stop || echo crash))"
    failures=$E2E_FAILURES

    # 1. the flag state, held
    steps=()
    for control in ${STATE_CONTROLS[$state]}; do
        steps+=(control "$control")
    done
    offset=$(trace_size)
    e2e_ctl flag "$MONITORED" "${steps[@]}" hold 4 "$HOLD_MS"
    line=2
    for control in ${STATE_CONTROLS[$state]}; do
        e2e_expect_step flag "$line" "control $control" ok state=4
        line=$((line + 1))
    done
    e2e_expect_step flag "$line" "hold 4 $HOLD_MS" ok "pid=$standin_pid"
    read -r lookups starts < <(calls_since "$offset" "$watchdog_pid" OpenServiceA StartServiceW)
    if [ "${STATE_ALIVE[$state]}" -eq 1 ]; then
        if [ "$lookups" -ne 0 ]; then
            e2e_fail "$what: the watchdog looked the service up $lookups time(s) while the flag said \"1\""
        fi
    else
        if [ "$lookups" -lt 1 ]; then
            e2e_fail "$what: the watchdog did not look the service up in $HOLD_MS ms of a bad flag"
        fi
        if [ "$starts" -ne 0 ]; then
            e2e_fail "$what: the watchdog tried $starts time(s) to start the running stand-in"
        fi
    fi

    # The watchdog has been idle for at least a check period: sample it.
    if [ $((cycle % SAMPLE_EVERY)) -eq 0 ] && [ "${STATE_ALIVE[$state]}" -eq 1 ] && sample; then
        samples+=("$cycle:$HANDLES:$RSS_KB")
        e2e_log "cycle $cycle: watchdog handles $HANDLES, resident memory $RSS_KB kB"
        if [ "$cycle" -eq "$WARMUP_CYCLES" ]; then
            warm_handles=$HANDLES
            warm_rss=$RSS_KB
        fi
    fi

    # 2. the stand-in stopped or crashed, and back
    e2e_ctl restart "$MONITORED" control "$ending" wait 4 "$RESTART_WAIT_MS"
    if [ "$ending" = "$CONTROL_STOP" ]; then
        stops=$((stops + 1))
        if e2e_expect_step restart 2 "control $ending" ok; then
            stopping=$(field restart 2 state)
            if [ "$stopping" != 3 ] && [ "$stopping" != 1 ]; then
                e2e_fail "$what: the stop request returned state $stopping"
            fi
        fi
    else
        crashes=$((crashes + 1))
        e2e_expect_step restart 2 "control $ending" ok state=1 "win32exit=$ERROR_PROCESS_ABORTED"
    fi
    if e2e_expect_step restart 3 "wait 4 $RESTART_WAIT_MS" ok state=4; then
        took=$(($(field restart 3 t) - $(field restart 2 t)))
        restarts+=("$took")
        if [ "$took" -gt "$slowest_ms" ]; then
            slowest_ms=$took
            slowest_cycle=$what
        fi
        new_pid=$(field restart 3 pid)
        if [ "$new_pid" = "$standin_pid" ]; then
            e2e_fail "$what: the stand-in runs in its old process $standin_pid"
        fi
        standin_pid=$new_pid
    else
        standin_pid=$(field restart 3 pid)
    fi

    if [ "$E2E_FAILURES" -ne "$failures" ]; then
        e2e_log "--- $what failed:"
        e2e_show "$E2E_DIR/flag.ctl" "$E2E_DIR/restart.ctl"
    fi
    cycle=$((cycle + 1))
done
soak_seconds=$((SECONDS - soak_start))

# --- the end: one more healthy check period, and the last sample -------------
e2e_ctl settle "$MONITORED" hold 4 "$HOLD_MS" use "$WATCHDOG" hold 4 0
e2e_expect_step settle 2 "hold 4 $HOLD_MS" ok
e2e_expect_step settle 4 "hold 4 0" ok "pid=$watchdog_pid"
if [ "$(e2e_processes "$standin_exe" | wc -l)" -ne 1 ]; then
    e2e_fail "$(e2e_processes "$standin_exe" | wc -l) stand-in processes at the end, expected 1"
fi
end_handles=
end_rss=
if sample; then
    end_handles=$HANDLES
    end_rss=$RSS_KB
    samples+=("end:$HANDLES:$RSS_KB")
fi

# --- the report ------------------------------------------------------------------
e2e_log "soak: $cycle cycles in $soak_seconds s ($stops stop requests, $crashes crashes," \
    "flag states ${STATE_NAMES[*]})"
if [ "${#restarts[@]}" -gt 0 ]; then
    median=$(printf '%s\n' "${restarts[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
    e2e_log "soak: restarts ${#restarts[@]}, median $median ms, slowest $slowest_ms ms ($slowest_cycle)"
fi
e2e_log "soak: samples (cycle:handles:VmRSS kB): ${samples[*]}"
if [ -z "$warm_handles" ] || [ -z "$end_handles" ]; then
    e2e_fail "no handle and memory figures to compare (after warm-up: ${warm_handles:-none}, end: ${end_handles:-none})"
else
    e2e_log "soak: watchdog handles $warm_handles after warm-up (cycle $WARMUP_CYCLES), $end_handles at the end;" \
        "resident memory $warm_rss kB, $end_rss kB"
    if [ "$end_handles" -gt $((warm_handles + HANDLE_TOLERANCE)) ]; then
        e2e_fail "the watchdog's handles grew from $warm_handles to $end_handles"
    fi
    if [ "$end_rss" -gt $((warm_rss + RSS_TOLERANCE_KB)) ]; then
        e2e_fail "the watchdog's resident memory grew from $warm_rss kB to $end_rss kB" \
            "(more than $RSS_TOLERANCE_KB kB)"
    fi
fi
e2e_finish
