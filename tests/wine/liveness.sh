#!/usr/bin/env bash
# Scenario: the liveness monitor against a real service manager.
#
# The stand-in (tools/standin.cpp) is installed as the service "Ondrimar",
# started on demand; brisvel.exe is registered as the service "BrisvelWatch"
# (Wine runs an own-process service whatever name its dispatch table
# gives). Every time below comes from svcctl.exe polling the service
# manager's status every 10 ms; the watchdog's own service-manager calls
# are read from the session's trace.
#
#  1. With no section and the stand-in stopped, starting the watchdog starts
#     the stand-in, within 2 s of the watchdog reporting running, by a start
#     request from the watchdog's process.
#  2. While the stand-in publishes "1" the watchdog does not contact the
#     service manager at all.
#  3. When the stand-in publishes "0" but runs, the watchdog looks it up
#     every second and leaves it alone: no start request, the same single
#     process all along.
#  4. A stand-in stopped by a stop request is running again, in a new
#     process, within 2 s of the request.
#  5. A stand-in that reports stopped by itself (with the exit code of a
#     crashed service) and ends is running again within 2 s.
#  6. With the watchdog paused, a stopped stand-in is still brought back
#     within 2 s; the watchdog continues.
#  7. Stopping the watchdog ends its process, and with it the monitor: a
#     stand-in stopped afterwards stays stopped.
#
# usage: liveness.sh BRISVEL_EXE ERRTEXT_EXE (svcctl.exe in $E2E_SVCCTL,
# standin.exe in $E2E_STANDIN)
set -uo pipefail

# shellcheck source=lib.sh source-path=SCRIPTDIR
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

readonly MONITORED=Ondrimar
readonly WATCHDOG=BrisvelWatch
readonly ERROR_PROCESS_ABORTED=1067
# Longest time allowed from the stand-in's stop (or the watchdog's start) to
# the stand-in running again: the watchdog checks once a second.
readonly RESTART_LIMIT_MS=2000
readonly CONTROL_PUBLISH_ALIVE=128
readonly CONTROL_PUBLISH_DEAD=129
readonly CONTROL_CRASH=131

e2e_init "$@"
e2e_tools
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

# expect_within WHAT FROM_MS TO_MS: a restart took at most RESTART_LIMIT_MS.
expect_within() {
    local took=$(($3 - $2))
    e2e_log "$1: $took ms"
    if [ "$took" -gt "$RESTART_LIMIT_MS" ]; then
        e2e_fail "$1 took $took ms, more than $RESTART_LIMIT_MS ms"
    fi
}

# expect_stopping NAME N: line N of NAME.ctl is an accepted stop request.
# The status it returns is stop pending, or already stopped when the
# service's own thread got there first; either way no longer running, so a
# "wait 4" after it can only be satisfied by a new start.
expect_stopping() {
    local state
    e2e_expect_step "$1" "$2" "control 1" ok || return 1
    state=$(field "$1" "$2" state)
    if [ "$state" != 3 ] && [ "$state" != 1 ]; then
        e2e_fail "$1 line $2: the stop request returned state $state"
        return 1
    fi
    return 0
}

# standin_processes: how many stand-in processes of this prefix are alive.
standin_processes() {
    e2e_processes "$standin_exe" | wc -l
}

# --- 1. the watchdog starts the stopped stand-in -----------------------------
mark=$(e2e_mark)
e2e_ctl first "$MONITORED" query use "$WATCHDOG" start wait 4 5000 use "$MONITORED" wait 4 5000
e2e_expect_step first 2 query ok state=1
e2e_expect_step first 5 "wait 4 5000" ok state=4
if e2e_expect_step first 7 "wait 4 5000" ok state=4; then
    expect_within "stand-in running after the watchdog ran" \
        "$(field first 5 t)" "$(field first 7 t)"
fi
watchdog_pid=$(field first 5 pid)
standin_pid=$(field first 7 pid)
if [ "$watchdog_pid" = "?" ] || [ "$watchdog_pid" -eq 0 ]; then
    e2e_show "$E2E_DIR/first.ctl"
    e2e_abort "the watchdog did not start"
fi
if [ "$(e2e_calls "$watchdog_pid" StartServiceW "$mark")" -lt 1 ]; then
    e2e_fail "the stand-in was started, but not by the watchdog"
fi

# --- 2. healthy: the service manager is left in peace ---------------------------
mark=$(e2e_mark)
e2e_ctl healthy "$MONITORED" hold 4 2500
e2e_expect_step healthy 2 "hold 4 2500" ok "pid=$standin_pid"
lookups=$(e2e_calls "$watchdog_pid" OpenServiceA "$mark")
if [ "$lookups" -ne 0 ]; then
    e2e_fail "the watchdog looked the service up $lookups time(s) while the section said \"1\""
fi

# --- 3. running but publishing "0": looked at, left alone ----------------------
mark=$(e2e_mark)
e2e_ctl dead_flag "$MONITORED" control "$CONTROL_PUBLISH_DEAD" hold 4 3000
e2e_expect_step dead_flag 2 "control $CONTROL_PUBLISH_DEAD" ok state=4
e2e_expect_step dead_flag 3 "hold 4 3000" ok "pid=$standin_pid"
lookups=$(e2e_calls "$watchdog_pid" OpenServiceA "$mark")
starts=$(e2e_calls "$watchdog_pid" StartServiceW "$mark")
if [ "$lookups" -lt 2 ]; then
    e2e_fail "the watchdog looked the service up $lookups time(s) in 3 s of \"0\", expected one a second"
fi
if [ "$starts" -ne 0 ]; then
    e2e_fail "the watchdog tried $starts time(s) to start the running stand-in"
fi
processes=$(standin_processes)
if [ "$processes" -ne 1 ]; then
    e2e_fail "$processes stand-in processes, expected 1"
fi
e2e_ctl alive_flag "$MONITORED" control "$CONTROL_PUBLISH_ALIVE"
e2e_expect_step alive_flag 2 "control $CONTROL_PUBLISH_ALIVE" ok

# --- 4. a stop request ----------------------------------------------------------
e2e_ctl stopped "$MONITORED" control 1 wait 4 5000
expect_stopping stopped 2
if e2e_expect_step stopped 3 "wait 4 5000" ok state=4; then
    expect_within "stand-in running again after a stop request" \
        "$(field stopped 2 t)" "$(field stopped 3 t)"
    if [ "$(field stopped 3 pid)" = "$standin_pid" ]; then
        e2e_fail "the stand-in runs in its old process after the stop"
    fi
fi

# --- 5. a crash -------------------------------------------------------------
e2e_ctl crashed "$MONITORED" control "$CONTROL_CRASH" wait 4 5000
e2e_expect_step crashed 2 "control $CONTROL_CRASH" ok state=1 "win32exit=$ERROR_PROCESS_ABORTED"
if e2e_expect_step crashed 3 "wait 4 5000" ok state=4; then
    expect_within "stand-in running again after a crash" \
        "$(field crashed 2 t)" "$(field crashed 3 t)"
fi

# --- 6. the watchdog paused --------------------------------------------------
e2e_ctl paused "$WATCHDOG" control 2 use "$MONITORED" control 1 wait 4 5000 \
    use "$WATCHDOG" query control 3
e2e_expect_step paused 2 "control 2" ok state=7
expect_stopping paused 4
if e2e_expect_step paused 5 "wait 4 5000" ok state=4; then
    expect_within "stand-in running again while the watchdog is paused" \
        "$(field paused 4 t)" "$(field paused 5 t)"
fi
e2e_expect_step paused 7 query ok state=7
e2e_expect_step paused 8 "control 3" ok state=4

# --- 7. the watchdog stopped -----------------------------------------------------
e2e_ctl watchdog_stop "$WATCHDOG" control 1 wait 1 5000
expect_stopping watchdog_stop 2
e2e_expect_step watchdog_stop 3 "wait 1 5000" ok state=1
deadline=$((SECONDS + 10))
while [ -n "$(e2e_processes "$watchdog_exe")" ] && [ "$SECONDS" -lt "$deadline" ]; do
    sleep 0.1
done
if [ -n "$(e2e_processes "$watchdog_exe")" ]; then
    e2e_fail "the watchdog's process still runs 10 s after it reported stopped"
fi
e2e_ctl unwatched "$MONITORED" control 1 wait 1 5000 hold 1 2500
e2e_expect_step unwatched 3 "wait 1 5000" ok state=1
e2e_expect_step unwatched 4 "hold 1 2500" ok state=1

e2e_log "prefix ready in ${E2E_BOOT_SECONDS} s"
if [ "$E2E_FAILURES" -ne 0 ]; then
    for name in first healthy dead_flag stopped crashed paused watchdog_stop unwatched; do
        e2e_show "$E2E_DIR/$name.ctl"
    done
fi
e2e_finish
