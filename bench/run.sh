#!/usr/bin/env bash
# Measures brisvel.exe under Wine on this machine: restart latency, idle
# cost, check cost and footprint, every figure from this one run. Writes the
# raw figures to BENCH_FIGURES (default build/bench/figures.txt) and prints
# them with bench/report.sh as the table of bench/README.md.
#
# usage: bench/run.sh [BUILD_DIR]
# BUILD_DIR is a configured windows-x86 or windows-x64 build tree (default:
# the preset of the architecture this host runs, x86 where it executes
# 32-bit code and x64 where it does not, configured here). The needed
# targets are built first. A run takes about 26 minutes; figures are only
# meaningful on an otherwise quiet machine.
# BENCH_IDLE_S (120), BENCH_RESTART_CYCLES (40), BENCH_HANG_CYCLES (5) and
# BENCH_FOOTPRINT_LAST_S (600) shorten a run for trying changes out.
#
# What it does, in one Wine session of a throw-away prefix (no debug
# channels, so tracing costs nothing), with the stand-in
# (tools/StandIn.cpp) as the service "Ondrimar", brisvel.exe
# as the service "BrisvelWatch", and brisvel-poll.exe (the watchdog built
# without the service manager's stop notice: the once-a-second check alone)
# as the service "BrisvelPoll":
#  1. Bare start: with the watchdog stopped, the helper starts the stand-in
#     and polls the service manager every 10 ms until it runs, BARE_STARTS
#     times (then stops it again).
#  2. Check cost: with the stand-in running and the watchdog stopped,
#     checkcost.exe times the watchdog's own LiveCheck on a healthy flag,
#     and LiveCheck plus EnsureMonitoredRunning on a bad one.
#  3. Idle baseline: after SETTLE_S seconds of quiet, the stand-in alone
#     for IDLE_S seconds: the Wine server's CPU time, the part of its cost
#     that is nobody's in particular.
#  4. Floor: "helper idle" (one thread blocked for ever) beside
#     the stand-in for IDLE_S: its own CPU time plus the Wine server's above
#     the baseline. Then the same for monitoronly.exe: the watchdog's own
#     liveness monitor thread in a process that otherwise only blocks, i.e.
#     what the watchdog would cost without the polling of its service
#     thread.
#  5. The watchdog starts, and brings back the stand-in once after a stop
#     request (while the watchdog waits for the notice, the calls of that
#     restart need a second RPC connection to the service manager, which the
#     RPC runtime keeps from then on: a pipe and an event); one minute after
#     its start its handle count (the helper, from
#     the system's handle table, the smallest of three) and resident
#     memory (VmRSS of its Linux process) are taken. Then for IDLE_S, with
#     the stand-in healthy: its CPU time plus the Wine server's above the
#     baseline, and how often each of its threads blocked (voluntary context
#     switches: under Wine every wait and every Wine server request is at
#     least one).
#  6. Restart latency: RESTART_CYCLES times each, after a hold of varying
#     length (so that the end falls at every point of the watchdog's
#     one-second check period), the stand-in is ended by a stop request, and
#     by a crash as the service manager of Windows shows one (the control
#     CRASH: it closes its section, reports stopped with exit code 1067 and
#     ends); the time from
#     the request to the service manager showing it running again, both
#     polled by the helper. Then VANISH_CYCLES times its process ends
#     without reporting anything (the control VANISH), as in a real crash:
#     whether it runs again within VANISH_WAIT_MS (Wine's service manager
#     never notices such an end and shows the service running; the helper
#     then starts it by hand). Then the watchdog is paused for IDLE_S (its
#     service thread then polls every 50 ms instead of every 10 and 5),
#     measured like its idle window, and continued.
#  7. Ten minutes after the watchdog started: handles and memory again.
#  8. The watchdog stopped, BrisvelPoll started in its place: the restarts
#     of 6. again, the figures of the poll alone from the same run.
#  9. BrisvelPoll stopped, the baseline again; the Wine server's own cost
#     is the mean of the two baselines.
# 10. Hang restarts, HANG_CYCLES times each, with brisvel.exe given
#     UnhealthySeconds 5, then HeartbeatSeconds 5, then UnhealthySeconds 5
#     and StopSeconds 5 (StopSeconds 30 otherwise): from the control that
#     hangs the stand-in (it publishes "0"; its heartbeat stops; it
#     publishes "0" and ignores the stop) to the service manager showing it
#     running again in a new process; for the stand-in that ignores the
#     stop, to the end of its process, as Wine's service manager never sees
#     that end (Windows' does, and the watchdog starts it at once).
# CPU time is read from /proc/PID/task/*/schedstat (nanoseconds on a CPU,
# summed over the process's threads; none start or end inside a window).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

readonly MONITORED=Ondrimar
readonly WATCHDOG=BrisvelWatch
readonly POLL_WATCHDOG=BrisvelPoll
readonly VANISH_CYCLES=5
readonly VANISH_WAIT_MS=3000
readonly BARE_STARTS=10
readonly CHECKS=20000
readonly LOOKUPS=2000
readonly IDLE_S=${BENCH_IDLE_S:-120}
readonly RESTART_CYCLES=${BENCH_RESTART_CYCLES:-40}
readonly FOOTPRINT_FIRST_S=60
readonly FOOTPRINT_LAST_S=${BENCH_FOOTPRINT_LAST_S:-600}
readonly SETTLE_S=30
readonly HANG_CYCLES=${BENCH_HANG_CYCLES:-5}
readonly WATCH_PARAMETERS='HKLM\SYSTEM\CurrentControlSet\Services\BrisvelWatch\Parameters'

# --- build ------------------------------------------------------------------
# shellcheck source=../tools/wine.sh
source "$root/tools/wine.sh"
logs="$root/build/logs"
mkdir -p "$logs"
build_dir=${1:-}
if [ -z "$build_dir" ]; then
    if ! (cd "$root" && cmake --preset "windows-$(session_host_arch)") >"$logs/bench.configure.log" 2>&1; then
        tail -n 50 "$logs/bench.configure.log" >&2
        echo "run.sh: configure failed (full log: $logs/bench.configure.log)" >&2
        exit 1
    fi
    build_dir=$(sed -n 's/^-- Build files have been written to: //p' "$logs/bench.configure.log" | tail -n 1)
fi
build_dir=$(cd "$build_dir" 2>/dev/null && pwd) || {
    echo "run.sh: no build directory $1" >&2
    exit 1
}
if ! cmake --build "$build_dir" -j2 --target brisvel helper checkcost monitoronly brisvel-poll \
    >"$logs/bench.build.log" 2>&1; then
    tail -n 50 "$logs/bench.build.log" >&2
    echo "run.sh: build failed (full log: $logs/bench.build.log)" >&2
    exit 1
fi

# --- the session --------------------------------------------------------------
# No debug channels: the service channel would trace every status poll.
SESSION_WINEDEBUG=-all
checkcost_exe="$build_dir/bench/checkcost.exe"
monitoronly_exe="$build_dir/bench/monitoronly.exe"
poll_exe="$build_dir/bench/brisvel-poll.exe"
bench_date=$(date '+%Y-%m-%d %H:%M %Z')
load_start=$(cut -d ' ' -f 1-3 /proc/loadavg)
SESSION_DEADLINE=$((FOOTPRINT_LAST_S + 4 * IDLE_S + 40 * HANG_CYCLES + 600)) session_init "$build_dir/brisvel.exe" \
    "$build_dir/helper.exe"
printf 'Benchmark of the %s brisvel.exe in %s\n' "$SESSION_ARCH" "$build_dir" >&2
session_start

session_install_pair
cp "$monitoronly_exe" "$poll_exe" "$SESSION_DIR/bin/" || session_abort "cannot copy the bench's executables"
watchdog_exe=$WATCHDOG_EXE
session_wine sc_poll sc create "$POLL_WATCHDOG" \
    binpath= "$(session_winpath "$SESSION_DIR/bin/$(basename "$poll_exe")")" start= demand
[ "$SESSION_RC" -eq 0 ] || session_abort "sc create $POLL_WATCHDOG failed"

progress() {
    printf '[%4d s] %s\n' "$SECONDS" "$*" >&2
}

# kv LINE KEY: the value of KEY=VALUE in LINE.
kv() {
    local word
    for word in $1; do
        [ "${word%%=*}" != "$2" ] || printf '%s' "${word#*=}"
    done
}

# ctl_or_abort NAME N WORDS: line N of NAME.ctl must be the step WORDS, ok.
ctl_or_abort() {
    if ! session_expect_step "$1" "$2" "$3" ok; then
        session_show "$SESSION_DIR/$1.ctl"
        session_abort "service step '$3' failed"
    fi
}

# cpu_ns PID: nanoseconds the process's threads have run on a CPU.
cpu_ns() {
    # %.0f: awk's %d stops at 2^31 (2.1 s).
    cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ sum += $1 } END { printf "%.0f\n", sum }'
}

# now_ns: a monotonic-enough clock for window lengths, in nanoseconds.
now_ns() {
    date +%s%N
}

# wakeups PID: "TID COUNT" per thread: its voluntary context switches.
wakeups() {
    local task
    for task in /proc/"$1"/task/*; do
        printf '%s %s\n' "${task##*/}" "$(awk '$1 == "voluntary_ctxt_switches:" { print $2 }' "$task/status")"
    done
}

# one_process PATH: the one live Linux process of the program at PATH (as
# its command line names it: the Windows path for a service, the Unix path
# for a program started here). Fails, saying why, unless there is one.
one_process() {
    local pids
    pids=$(session_processes "$1")
    if [ -z "$pids" ] || [ "$(printf '%s\n' "$pids" | wc -l)" -ne 1 ]; then
        session_log "expected one process of $1, found: ${pids:-none}"
        return 1
    fi
    printf '%s\n' "$pids"
}

# The Wine server of this prefix (started by session_start).
wineserver_pid=
for dir in /proc/[0-9]*; do
    cmd=$(tr '\0' '\n' 2>/dev/null <"$dir/cmdline" | head -n 1) || continue
    case "${cmd##*/}" in
    wineserver*) ;;
    *) continue ;;
    esac
    grep -qxF "WINEPREFIX=$WINEPREFIX" < <(tr '\0' '\n' 2>/dev/null <"$dir/environ") || continue
    wineserver_pid=${dir#/proc/}
done
[ -n "$wineserver_pid" ] || session_abort "cannot find the Wine server of $WINEPREFIX"

# footprint WINDOWS_PID LINUX_PID: prints "HANDLES RSS_KB".
footprint() {
    printf '%s %s\n' "$(session_handles "$1")" "$(awk '$1 == "VmRSS:" { print $2 }' "/proc/$2/status")"
}

# stats VALUES...: "MIN MEDIAN P95 MAX" (nearest rank).
stats() {
    printf '%s\n' "$@" | sort -n | awk '
        { v[NR] = $1 }
        END {
            p95 = int(NR * 95 / 100 + 0.999999); if (p95 < 1) p95 = 1
            print v[1], v[int((NR + 1) / 2)], v[p95], v[NR]
        }'
}

# per_minute NS WINDOW_NS: CPU seconds per minute, 4 decimals.
per_minute() {
    awk -v cpu="$1" -v win="$2" 'BEGIN { printf "%.4f\n", cpu / win * 60 }'
}

# restarts NAME CONTROL: RESTART_CYCLES times, after a hold of varying
# length, ends the running stand-in with the control named CONTROL (STOP,
# CRASH); sets the array named NAME
# to the milliseconds from each request to the service manager showing the
# stand-in running again.
restarts() {
    local -n times=$1
    local i hold
    times=()
    for ((i = 0; i < RESTART_CYCLES; i++)); do
        # 1300..2290 ms: past the tail of the previous restart, then a spread
        # over the check period.
        hold=$((1300 + (i * 379) % 1000))
        session_ctl restart "$MONITORED" hold $RUNNING "$hold" control "${!2}" wait $RUNNING 5000
        ctl_or_abort restart 2 "hold $RUNNING $hold"
        ctl_or_abort restart 3 "control ${!2}"
        ctl_or_abort restart 4 "wait $RUNNING 5000"
        times+=($(($(session_field restart 4 t) - $(session_field restart 3 t))))
    done
}

# vanishes NAME: VANISH_CYCLES times, after a hold, ends the stand-in's
# process without a report; sets the array named NAME to the milliseconds
# until the service manager shows it running in a new process, or "-" when
# it still shows the old one running VANISH_WAIT_MS later (the helper then
# starts it by hand).
vanishes() {
    local -n times=$1
    local i
    times=()
    for ((i = 0; i < VANISH_CYCLES; i++)); do
        session_ctl vanish "$MONITORED" hold $RUNNING 1500 control $VANISH \
            leave $RUNNING "$VANISH_WAIT_MS" wait $RUNNING 5000
        ctl_or_abort vanish 2 "hold $RUNNING 1500"
        if [[ $(sed -n 4p "$SESSION_DIR/vanish.ctl") == "leave $RUNNING $VANISH_WAIT_MS ok "* ]]; then
            ctl_or_abort vanish 5 "wait $RUNNING 5000"
            times+=($(($(session_field vanish 5 t) - $(session_field vanish 3 t))))
        else
            times+=(-)
            session_ctl back "$MONITORED" start wait $RUNNING 5000
            ctl_or_abort back 3 "wait $RUNNING 5000"
        fi
    done
}

# restart_figures PREFIX: the restarts of step 6 with the watchdog that
# runs; sets PREFIX_stop_min, _median, _p95, _max and PREFIX_crash_... to
# their figures, and PREFIX_vanished to the unreported ends' times.
restart_figures() {
    local -n vanished=${1}_vanished
    local kind latency
    for kind in stop crash; do
        restarts latency "${kind^^}"
        read -r "${1}_${kind}_min" "${1}_${kind}_median" "${1}_${kind}_p95" "${1}_${kind}_max" \
            < <(stats "${latency[@]}")
    done
    vanishes vanished_times
    vanished=${vanished_times[*]}
}

# sleep_until SECONDS_VALUE: waits until $SECONDS reaches it.
sleep_until() {
    local left=$(($1 - SECONDS))
    [ "$left" -le 0 ] || sleep "$left"
}

# --- 1. bare start ----------------------------------------------------------
progress "bare start of the stand-in, $BARE_STARTS times (watchdog stopped)"
bare=()
for ((i = 0; i < BARE_STARTS; i++)); do
    session_ctl bare "$MONITORED" query start wait $RUNNING 5000 control $STOP wait $STOPPED 5000
    ctl_or_abort bare 2 query
    ctl_or_abort bare 4 "wait $RUNNING 5000"
    ctl_or_abort bare 6 "wait $STOPPED 5000"
    bare+=($(($(session_field bare 4 t) - $(session_field bare 2 t))))
done
read -r bare_min bare_median _ bare_max < <(stats "${bare[@]}")

# --- 2. check cost ---------------------------------------------------------
session_ctl standin "$MONITORED" start wait $RUNNING 5000
ctl_or_abort standin 3 "wait $RUNNING 5000"
progress "check cost: $CHECKS checks, $LOOKUPS checks with a lookup"
session_wine checkcost "$checkcost_exe" "$CHECKS" "$LOOKUPS"
if [ "$SESSION_RC" -ne 0 ]; then
    session_show "$SESSION_DIR/checkcost.out" "$SESSION_DIR/checkcost.err"
    session_abort "checkcost failed"
fi
check_line=$(grep '^check_alive ' "$SESSION_DIR/checkcost.out")
lookup_line=$(grep '^check_dead_and_query ' "$SESSION_DIR/checkcost.out")
check_median=$(kv "$check_line" median_us)
check_p95=$(kv "$check_line" p95_us)
lookup_median=$(kv "$lookup_line" median_us)
lookup_p95=$(kv "$lookup_line" p95_us)
# Where a check's time goes: its steps one by one, and one bare Wine server
# request for scale.
check_steps=
for step in open map query read compare unmap close; do
    check_steps+="${check_steps:+ / }$(kv "$(grep "^step_$step " "$SESSION_DIR/checkcost.out")" median_us)"
done
roundtrip=$(kv "$(grep '^server_roundtrip ' "$SESSION_DIR/checkcost.out")" median_us)
# The stand-in must still run, in its process, with "1" published.
session_ctl after_checks "$MONITORED" hold $RUNNING 500
ctl_or_abort after_checks 2 "hold $RUNNING 500"

# window PID: measures IDLE_S seconds and prints "PROCESS_RATE SERVER_RATE":
# the CPU seconds per minute of the process PID (0 for none) and of the
# Wine server. Leaves the threads' switch counts of PID, before and after,
# in $SESSION_DIR/switches.0 and .1.
window() {
    local p0=0 p1=0 ws0 ws1 t0 t1
    if [ "$1" != 0 ]; then
        wakeups "$1" >"$SESSION_DIR/switches.0"
        p0=$(cpu_ns "$1")
    fi
    ws0=$(cpu_ns "$wineserver_pid")
    t0=$(now_ns)
    sleep "$IDLE_S"
    if [ "$1" != 0 ]; then
        p1=$(cpu_ns "$1")
        wakeups "$1" >"$SESSION_DIR/switches.1"
    fi
    ws1=$(cpu_ns "$wineserver_pid")
    t1=$(now_ns)
    printf '%s\n' $((t1 - t0)) >"$SESSION_DIR/window.ns"
    printf '%s %s\n' "$(per_minute $((p1 - p0)) $((t1 - t0)))" "$(per_minute $((ws1 - ws0)) $((t1 - t0)))"
}

# switch_rates: the switches per second of each thread over the last
# window, busiest first, on one line.
switch_rates() {
    LC_ALL=C join <(LC_ALL=C sort "$SESSION_DIR/switches.0") <(LC_ALL=C sort "$SESSION_DIR/switches.1") |
        awk -v win="$(cat "$SESSION_DIR/window.ns")" '{ printf "%.1f\n", ($3 - $2) / (win / 1e9) }' |
        sort -rn | paste -sd ' '
}

# idle_program UNIX_PATH [ARGS...]: runs the program (which prints
# "... waiting" once it blocks) for one window and prints the window's
# figures; then ends it.
idle_program() {
    local name pid figures
    name=$(basename "$1" .exe)
    session_spawn "$name" waiting "$@" || session_abort "$name.exe did not start"
    pid=$(one_process "$1") || session_abort "no $name.exe process"
    sleep 2
    figures=$(window "$pid")
    # Only this script started it: end it by its id, and the job that ran it.
    kill "$pid" 2>/dev/null
    session_end "$name"
    printf '%s\n' "$figures"
}

# --- 3. idle baseline ---------------------------------------------------------
progress "baseline: the stand-in alone for $IDLE_S s, after $SETTLE_S s of settling"
# The session's own services are busy for a while after it starts.
sleep "$SETTLE_S"
read -r _ base_first < <(window 0)

# --- 4. the floor, and the monitor alone -----------------------------------------
progress "floor: helper idle for $IDLE_S s"
read -r ref_rate ref_ws_rate < <(idle_program "$SESSION_DIR/bin/helper.exe" idle)
progress "the monitor alone: monitoronly.exe for $IDLE_S s"
read -r mon_rate mon_ws_rate < <(idle_program "$SESSION_DIR/bin/$(basename "$monitoronly_exe")")

# --- 5. the watchdog: footprint after a minute, idle cost ---------------------
progress "watchdog started; footprint at 1 min, idle for $IDLE_S s"
session_ctl watchdog "$WATCHDOG" start wait $RUNNING 5000 use "$MONITORED" hold $RUNNING 1000 \
    control $STOP wait $RUNNING 5000 hold $RUNNING 1000
ctl_or_abort watchdog 3 "wait $RUNNING 5000"
ctl_or_abort watchdog 7 "wait $RUNNING 5000"
ctl_or_abort watchdog 8 "hold $RUNNING 1000"
watchdog_started=$SECONDS
watchdog_pid=$(session_field watchdog 3 pid)
standin_pid=$(session_field watchdog 8 pid)
watchdog_linux=$(one_process "$watchdog_exe") || session_abort "no watchdog process"
sleep_until $((watchdog_started + FOOTPRINT_FIRST_S))
read -r handles_first rss_first < <(footprint "$watchdog_pid" "$watchdog_linux")

read -r wd_rate wd_ws_rate < <(window "$watchdog_linux")
thread_switches=$(switch_rates)
# The stand-in stayed healthy and untouched meanwhile.
session_ctl idle_check "$MONITORED" hold $RUNNING 0
session_expect_step idle_check 2 "hold $RUNNING 0" ok "pid=$standin_pid" || session_abort "the stand-in changed while idle"

# --- 6. restart latency ----------------------------------------------------------
progress "restart latency: $RESTART_CYCLES stop requests, $RESTART_CYCLES crashes, $VANISH_CYCLES unreported ends"
restart_figures notice

# --- 6b. the watchdog paused: the same monitor, a slower poll ----------------------
progress "watchdog paused for $IDLE_S s"
session_ctl pause "$WATCHDOG" control $PAUSE
ctl_or_abort pause 2 "control $PAUSE"
sleep 2
read -r paused_rate paused_ws_rate < <(window "$watchdog_linux")
paused_switches=$(switch_rates)
session_ctl continue "$WATCHDOG" control $CONTINUE
ctl_or_abort continue 2 "control $CONTINUE"

# --- 7. footprint after ten minutes --------------------------------------------
progress "waiting for the watchdog's footprint at $((FOOTPRINT_LAST_S / 60)) min"
sleep_until $((watchdog_started + FOOTPRINT_LAST_S))
session_ctl last_check "$WATCHDOG" hold $RUNNING 0
session_expect_step last_check 2 "hold $RUNNING 0" ok "pid=$watchdog_pid" || session_abort "the watchdog changed process"
read -r handles_last rss_last < <(footprint "$watchdog_pid" "$watchdog_linux")

# --- 8. the same restarts with the poll alone ---------------------------------------
progress "the poll alone ($POLL_WATCHDOG): the same restarts"
session_ctl stop_watchdog "$WATCHDOG" control $STOP wait $STOPPED 10000 \
    use "$POLL_WATCHDOG" start wait $RUNNING 5000 use "$MONITORED" hold $RUNNING 1000
ctl_or_abort stop_watchdog 3 "wait $STOPPED 10000"
ctl_or_abort stop_watchdog 6 "wait $RUNNING 5000"
ctl_or_abort stop_watchdog 8 "hold $RUNNING 1000"
restart_figures poll

# --- 9. the baseline again, with the watchdogs stopped -----------------------------
progress "baseline again: the stand-in alone for $IDLE_S s"
session_ctl stop_poll "$POLL_WATCHDOG" control $STOP wait $STOPPED 10000
ctl_or_abort stop_poll 3 "wait $STOPPED 10000"
sleep 2
read -r _ base_last < <(window 0)
# The Wine server's own cost, taken as the mean of the two.
base_ws_rate=$(awk -v a="$base_first" -v b="$base_last" 'BEGIN { printf "%.4f", (a + b) / 2 }')

# --- 10. hang restarts ------------------------------------------------------------
# hang_settings NAME=SECONDS...: BrisvelWatch's Parameters hold exactly
# these, and it runs anew with them.
hang_settings() {
    local pair
    session_wine clear reg delete "$WATCH_PARAMETERS" /f
    for pair in "$@"; do
        session_helper setting reg set "$WATCH_PARAMETERS" "${pair%%=*}" 4 \
            "$(printf '\\x%02x\\0\\0\\0' "${pair#*=}")"
        [ "$SESSION_RC" -eq 0 ] || session_abort "cannot set $pair"
    done
    session_ctl hang_watchdog "$WATCHDOG" query
    if [ "$(session_field hang_watchdog 2 state)" = "$RUNNING" ]; then
        session_ctl hang_watchdog "$WATCHDOG" control $STOP wait $STOPPED 10000
        ctl_or_abort hang_watchdog 3 "wait $STOPPED 10000"
    fi
    session_ctl hang_watchdog "$WATCHDOG" start wait $RUNNING 5000
    ctl_or_abort hang_watchdog 3 "wait $RUNNING 5000"
}

# hang_standin: the stand-in "Ondrimar" created anew, beating (mode
# "beat"), running and healthy.
hang_standin() {
    local deadline=$((SECONDS + 10))
    session_ctl hang_standin "$MONITORED" control $STOP wait $STOPPED 5000 delete
    # A deleted service leaves the database once its last handle is closed.
    while session_ctl hang_gone "$MONITORED" && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.1; done
    session_wine hang_create sc create "$MONITORED" binpath= "$STANDIN_EXE service beat" start= demand
    [ "$SESSION_RC" -eq 0 ] || session_abort "cannot create the beating stand-in"
    session_ctl hang_standin "$MONITORED" start wait $RUNNING 5000
    ctl_or_abort hang_standin 3 "wait $RUNNING 5000"
}

# hangs NAME CONTROL...: HANG_CYCLES times, the running stand-in, after 3 s
# (a beat seen), hung by the controls; sets the array named NAME to the
# milliseconds from the last control to the stand-in running again in a
# new process.
hangs() {
    local -n times=$1
    local i steps=() control last
    shift
    for control in "$@"; do steps+=(control "${!control}"); done
    last=$((${#steps[@]} / 2 + 2))
    times=()
    for ((i = 0; i < HANG_CYCLES; i++)); do
        session_ctl hang "$MONITORED" hold $RUNNING 3000 "${steps[@]}" leave $RUNNING 15000 wait $RUNNING 5000
        ctl_or_abort hang $((last + 2)) "wait $RUNNING 5000"
        times+=($(($(session_field hang $((last + 2)) t) - $(session_field hang "$last" t))))
    done
}

progress "hang restarts: $HANG_CYCLES each, unhealthy, heartbeat, a stop ignored"
hang_standin
hang_settings UnhealthySeconds=5
hangs hang_unhealthy PUBLISH_ZERO
hang_settings HeartbeatSeconds=5
hangs hang_heartbeat FREEZE_BEAT
hang_settings UnhealthySeconds=5 StopSeconds=5
hang_ended=()
for ((i = 0; i < HANG_CYCLES; i++)); do
    session_ctl hang "$MONITORED" hold $RUNNING 1500
    ctl_or_abort hang 2 "hold $RUNNING 1500"
    hang_pid=$(session_field hang 2 pid)
    session_ctl hang "$MONITORED" control $IGNORE_STOP control $PUBLISH_ZERO ends "$hang_pid" 20000
    ctl_or_abort hang 4 "ends $hang_pid 20000"
    hang_ended+=($(($(session_field hang 4 t) - $(session_field hang 3 t))))
    # Wine's service manager shows it running still, in the process that
    # ended; a start runs it in a new one.
    session_ctl hang_back "$MONITORED" start wait $RUNNING 5000
    ctl_or_abort hang_back 3 "wait $RUNNING 5000"
done
read -r hang_unhealthy_min hang_unhealthy_median _ hang_unhealthy_max < <(stats "${hang_unhealthy[@]}")
read -r hang_heartbeat_min hang_heartbeat_median _ hang_heartbeat_max < <(stats "${hang_heartbeat[@]}")
read -r hang_ended_min hang_ended_median _ hang_ended_max < <(stats "${hang_ended[@]}")

exe_size=$(stat -c %s "$SESSION_EXE")
load_end=$(cut -d ' ' -f 1-3 /proc/loadavg)

# --- the figures -----------------------------------------------------------------
# Raw figures only, one NAME=VALUE a line; bench/report.sh turns them into
# the table of bench/README.md, and can do so again later from the file.
figures=${BENCH_FIGURES:-$root/build/bench/figures.txt}
mkdir -p "$(dirname "$figures")"
{
    printf '%s=%q\n' date "$bench_date" wine "$(wine --version 2>/dev/null | sed 's/^wine-//')" \
        cores "$(nproc)" machine "$(uname -m)" arch "$SESSION_ARCH" load_start "$load_start" load_end "$load_end"
    for name in RESTART_CYCLES VANISH_CYCLES VANISH_WAIT_MS BARE_STARTS IDLE_S CHECKS LOOKUPS \
        FOOTPRINT_LAST_S bare_min bare_median bare_max \
        wd_rate wd_ws_rate ref_rate ref_ws_rate mon_rate mon_ws_rate paused_rate paused_ws_rate \
        base_first base_last thread_switches paused_switches check_median check_p95 check_steps \
        roundtrip lookup_median lookup_p95 exe_size handles_first handles_last rss_first rss_last; do
        printf '%s=%q\n' "$name" "${!name}"
    done
    for name in {notice,poll}_{{stop,crash}_{min,median,p95,max},vanished} HANG_CYCLES \
        hang_{unhealthy,heartbeat,ended}_{min,median,max}; do
        printf '%s=%q\n' "$name" "${!name}"
    done
} >"$figures"
progress "figures written to $figures"
bash "$root/bench/report.sh" "$figures"
