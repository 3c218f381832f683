#!/usr/bin/env bash
# Shows Brisvel at work, under Wine, as a timeline on standard output.
#
# Installs what is missing (scripts/deps.sh), builds brisvel.exe and the
# helper that stands in for the monitored service for the architecture this
# host runs (preset windows-x86, the primary build, where the host
# executes 32-bit code; windows-x64 where it does not), makes a throw-away
# Wine prefix, installs the stand-in as the service "Ondrimar" and
# brisvel.exe as the watchdog service "BrisvelWatch", and then shows:
#   - the watchdog starting the stopped stand-in, which then stays healthy;
#   - `brisvel.exe -e` stopping "Ondrimar";
#   - the watchdog starting it again, with the seconds it took (measured by
#     polling the service manager), and the calls it made to do so;
#   - the event records written;
#   - everything removed again.
# Build output goes to build/logs/ and is shown only when a step fails. The
# prefix and its Wine session are removed however the demo ends.
#
# Exits 0 when the watchdog brought "Ondrimar" back, non-zero otherwise.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root" || exit 1

readonly MONITORED=Ondrimar
readonly WATCHDOG=BrisvelWatch
# How long the demo waits for the stand-in to come back before it gives up.
readonly RESTART_LIMIT_MS=20000

demo_start=${EPOCHREALTIME/./}

# say TEXT...: one line of the timeline, stamped with the seconds since the
# demo started.
say() {
    local now=${EPOCHREALTIME/./}
    local ms=$(((now - demo_start) / 1000))
    printf '[%4d.%d s] %s\n' $((ms / 1000)) $(((ms % 1000) / 100)) "$*"
}

# indent FILE: the file's lines, CR removed, indented under the timeline.
indent() {
    tr -d '\r' <"$1" | sed 's/^/              | /'
}

# seconds MS: milliseconds as seconds with two decimals.
seconds() {
    printf '%d.%02d' $(($1 / 1000)) $((($1 % 1000) / 10))
}

# --- build ---------------------------------------------------------------------
say "Installing what is missing (scripts/deps.sh) ..."
scripts/deps.sh || exit 1
# shellcheck source=../tools/wine.sh
source "$root/tools/wine.sh"
arch=$(session_host_arch)
if [ "$arch" = x86 ]; then
    say "Architecture: x86, the primary build (this host executes 32-bit code)."
else
    say "Architecture: x64 (this host cannot execute 32-bit code, so the x86 build cannot run here)."
fi

logs="$root/build/logs"
mkdir -p "$logs"
build_start=$SECONDS
say "Building the $arch brisvel.exe with MinGW-w64 (preset windows-$arch) ..."
if ! cmake --preset "windows-$arch" >"$logs/demo.configure.log" 2>&1; then
    tail -n 50 "$logs/demo.configure.log" >&2
    echo "demo.sh: configure failed (full log: $logs/demo.configure.log)" >&2
    exit 1
fi
build_dir=$(sed -n 's/^-- Build files have been written to: //p' "$logs/demo.configure.log" | tail -n 1)
if ! cmake --build "$build_dir" -j2 --target brisvel helper \
    >"$logs/demo.build.log" 2>&1; then
    tail -n 50 "$logs/demo.build.log" >&2
    echo "demo.sh: build failed (full log: $logs/demo.build.log)" >&2
    exit 1
fi
say "Built $build_dir/brisvel.exe in $((SECONDS - build_start)) s."

# --- a throw-away Wine prefix ----------------------------------------------------
SESSION_DEADLINE=300 session_init "$build_dir/brisvel.exe" "$build_dir/helper.exe"
say "Starting a Wine session in a new prefix, $WINEPREFIX ..."
session_start
say "Wine is ready (${SESSION_BOOT_SECONDS} s)."

session_install_pair
SESSION_EXE="$SESSION_DIR/bin/brisvel.exe"
say "Installed the stand-in as the service \"$MONITORED\" (started on demand). While it"
say "  runs it keeps the section Ondrimar_LiveCheck holding \"1\"."
say "Registered brisvel.exe as the service \"$WATCHDOG\": the watchdog of \"$MONITORED\"."

# --- the watchdog starts the stand-in -----------------------------------------------
session_ctl first "$MONITORED" query use "$WATCHDOG" start wait $RUNNING 10000 use "$MONITORED" wait $RUNNING 10000
if ! session_expect_step first 5 "wait $RUNNING 10000" ok; then
    session_abort "the watchdog service did not start"
fi
watchdog_pid=$(session_field first 5 pid)
say "\"$MONITORED\" is stopped (state $(session_field first 2 state)) and there is no liveness section."
say "Started \"$WATCHDOG\": running, process $watchdog_pid."
if ! session_expect_step first 7 "wait $RUNNING 10000" ok; then
    say "The watchdog did not start \"$MONITORED\"."
    exit 1
fi
say "The watchdog found no section and started \"$MONITORED\": running" \
    "$(seconds $(($(session_field first 7 t) - $(session_field first 5 t)))) s after the watchdog, process $(session_field first 7 pid)."

mark=$(session_mark)
session_ctl healthy "$MONITORED" hold $RUNNING 3000
if session_expect_step healthy 2 "hold $RUNNING 3000" ok; then
    say "\"$MONITORED\" is healthy: 3 s in the same process; the watchdog asked the service"
    say "  manager nothing meanwhile ($(session_calls "$watchdog_pid" OpenServiceA "$mark") look-ups): the section says \"1\"."
fi

# --- brisvel.exe -e stops it ----------------------------------------------------------
# The watch runs alongside -e: it notes when "Ondrimar" leaves the running
# state and when it runs again.
mark=$(session_mark)
session_spawn watch '^use ' "$SESSION_HELPER" svc "$MONITORED" leave $RUNNING "$RESTART_LIMIT_MS" \
    wait $RUNNING "$RESTART_LIMIT_MS" || session_abort "the watch did not start"
say "Running brisvel.exe -e, to stop \"$MONITORED\" ..."
session_run stop -e
say "brisvel.exe -e ended with exit code $SESSION_RC after $(seconds "$SESSION_RUN_MS") s, printing:"
indent "$SESSION_DIR/stop.out"
session_await watch $((2 * RESTART_LIMIT_MS / 1000 + 10))
tr -d '\r' <"$SESSION_DIR/watch.out" >"$SESSION_DIR/restart.ctl"

restarted=0
if session_expect_step restart 2 "leave $RUNNING $RESTART_LIMIT_MS" ok; then
    left=$(session_field restart 2 t)
    if session_expect_step restart 3 "wait $RUNNING $RESTART_LIMIT_MS" ok; then
        back=$(session_field restart 3 t)
        restarted=1
        say "\"$MONITORED\" stopped; the watchdog started it again: running after" \
            "$(seconds $((back - left))) s, in a new process ($(session_field restart 3 pid))."
        session_ctl settled "$MONITORED" hold $RUNNING 1500
        if session_expect_step settled 2 "hold $RUNNING 1500" ok; then
            say "  It stays up: 1.5 s later it runs in the same process."
        fi
        if grep -q 'failed to stop' "$SESSION_DIR/stop.out"; then
            say "  (-e looks once a second: at its look the watchdog had already started" \
                "\"$MONITORED\" again, so -e saw no stopped service.)"
        fi
        # The watchdog's own service-manager calls since the stop, as traced.
        calls=$(tail -c +"$((mark + 1))" "$SESSION_DIR/session.err" | PID=$watchdog_pid perl -ne '
            next unless /^([0-9a-f]+):[0-9a-f]+:trace:service:(OpenServiceA|QueryServiceStatus|StartServiceW|ControlService) \S+ ?(\d*)/;
            next unless hex($1) == $ENV{PID};
            my $call = $2 eq "StartServiceW" ? "StartService" : $2;
            $call = $3 == 4 ? "ControlService(interrogate)" : "ControlService($3)"
                if $2 eq "ControlService";
            push @calls, $call;
            END { print join(", ", @calls) }')
        say "  The watchdog's calls: ${calls:-none traced}."
    fi
fi
if [ "$restarted" -eq 0 ]; then
    session_show "$SESSION_DIR/restart.ctl"
    say "The watchdog did not bring \"$MONITORED\" back within $((RESTART_LIMIT_MS / 1000)) s."
fi

# --- the event records ---------------------------------------------------------------
say "Event records (Application log; Wine keeps none, they are read from its trace):"
# At most one restart record a minute: the second restart is only counted.
mapfile -t records < <(session_source_records "$SESSION_DIR/session.err" "$SESSION_DIR/stop.err")
if [ "${#records[@]}" -eq 0 ]; then
    say "  none."
fi
for record in "${records[@]}"; do
    IFS=$'\t' read -r -a field <<<"$record"
    case "${field[1]}" in
    "$ERROR_RECORD") type=error ;;
    "$WARNING_RECORD") type=warning ;;
    "$INFORMATION_RECORD") type=information ;;
    *) type="type ${field[1]}" ;;
    esac
    say "  ${field[0]}, $type, id ${field[2]}: ${field[4]}"
done

# --- everything removed ----------------------------------------------------------------
session_ctl stop_watchdog "$WATCHDOG" control $STOP wait $STOPPED 10000
if session_expect_step stop_watchdog 3 "wait $STOPPED 10000" ok; then
    say "Stopped \"$WATCHDOG\"."
fi
session_run remove -u
say "brisvel.exe -u removed \"$MONITORED\" (exit code $SESSION_RC):"
indent "$SESSION_DIR/remove.out"
session_wine delete_watchdog sc delete "$WATCHDOG"
[ "$SESSION_RC" -eq 0 ] && say "Deleted the service \"$WATCHDOG\"."
say "Ending the Wine session and deleting the prefix."

if [ "$restarted" -eq 1 ]; then
    say "Result: the watchdog brought \"$MONITORED\" back in $(seconds $((back - left))) s."
    exit 0
fi
say "Result: FAILED, the watchdog did not bring \"$MONITORED\" back."
exit 1
