# shellcheck shell=bash
# shellcheck disable=SC2034  # E2E_* results are read by the scripts that source this
# A Wine session of its own for brisvel.exe: the scenarios, the demo and the
# benchmark source this file; it defines functions and sets nothing up until
# e2e_init is called.
#
# Each run gets a Wine prefix under a fresh temporary directory (never
# ~/.wine) and a persistent session, so that services outlive the console
# processes that start them. The session's first process (wineboot) carries
# the debug channels, and its standard error, which services.exe and every
# service inherit, goes to session.err: a pipe there would hold any reader
# until the session ends. With those channels Wine traces:
#   - each event record (it stores none), on the reporting thread:
#       TID:fixme:advapi:ReportEventA (HANDLE,0xTYPE,0xCATEGORY,0xID,SID,0xCOUNT,...): stub
#       TID:err:eventlog:ReportEventW L"text"   (warn/trace for other types)
#   - each service-manager call of a service process, with its process id:
#       PID:TID:trace:service:StartServiceW ...
#
# Usage: e2e_init BRISVEL_EXE HELPER_EXE; e2e_session_start; then e2e_run,
# e2e_ctl and the rest; the EXIT trap ends the session and removes the prefix.

E2E_WINEDEBUG='-all,+eventlog,fixme+advapi'
E2E_SESSION_WINEDEBUG=${E2E_SESSION_WINEDEBUG:-"$E2E_WINEDEBUG,+service,+pid"}
E2E_RUN_TIMEOUT=${E2E_RUN_TIMEOUT:-120}
E2E_FAILURES=0

e2e_log() { printf '%s\n' "$*" >&2; }

# Records a failed check and goes on; e2e_finish reports the outcome.
e2e_fail() {
    E2E_FAILURES=$((E2E_FAILURES + 1))
    e2e_log "FAIL: $*"
}

# Stops at once (set-up problems, not product faults).
e2e_abort() {
    e2e_log "ABORT: $*"
    exit 2
}

# e2e_init BRISVEL_EXE HELPER_EXE: makes the temporary directory and the
# prefix's location, and ends the run (and its session) after E2E_DEADLINE
# seconds (default 150) however it goes, so that no session is left behind.
e2e_init() {
    [ $# -eq 2 ] && [ -f "$1" ] && [ -f "$2" ] || e2e_abort "usage: $0 BRISVEL_EXE HELPER_EXE"
    E2E_EXE=$(realpath "$1")
    E2E_HELPER=$(realpath "$2")
    E2E_DIR=$(mktemp -d "${TMPDIR:-/tmp}/brisvel-wine.XXXXXX")
    E2E_SESSION=0
    trap e2e_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    export WINEPREFIX="$E2E_DIR/prefix" TMPDIR="$E2E_DIR/tmp" WINEARCH=win64
    # No Mono or Gecko installers, no menu entries in $HOME.
    export WINEDLLOVERRIDES='mscoree,mshtml,winemenubuilder.exe='
    unset DISPLAY WAYLAND_DISPLAY
    mkdir "$WINEPREFIX" "$TMPDIR" && cd "$E2E_DIR" || e2e_abort "cannot prepare $E2E_DIR"
    local script=$$
    (
        trap 'kill "$sleeper" 2>/dev/null; exit 0' TERM
        sleep "${E2E_DEADLINE:-150}" &
        sleeper=$!
        wait "$sleeper"
        echo "ABORT: still running after ${E2E_DEADLINE:-150} s" >&2
        kill -TERM "$script"
        wineserver -k
    ) </dev/null >/dev/null 2>>"$E2E_DIR/deadline.err" &
    E2E_DEADLINE_PID=$!
}

# The EXIT trap: ends the session (every process of the prefix) and removes
# the directory; a run that hit its deadline fails.
e2e_cleanup() {
    local status=$?
    kill -TERM "$E2E_DEADLINE_PID" 2>/dev/null && wait "$E2E_DEADLINE_PID" 2>/dev/null
    if [ -s "$E2E_DIR/deadline.err" ]; then
        cat "$E2E_DIR/deadline.err" >&2
        [ "$status" -ne 0 ] || status=1
    fi
    if [ "$E2E_SESSION" -eq 1 ]; then
        wineserver -k >/dev/null 2>&1
        timeout 30 wineserver -w >/dev/null 2>&1
    fi
    cd / && rm -rf "$E2E_DIR"
    exit "$status"
}

# Starts the persistent session and initialises the prefix; sets
# E2E_BOOT_SECONDS.
e2e_session_start() {
    local start=$SECONDS
    E2E_SESSION=1
    wineserver -p </dev/null >/dev/null 2>&1 || e2e_abort "wineserver -p failed"
    WINEDEBUG="$E2E_SESSION_WINEDEBUG" timeout "$E2E_RUN_TIMEOUT" wine wineboot \
        </dev/null >/dev/null 2>>"$E2E_DIR/session.err" || e2e_abort "wineboot failed"
    E2E_BOOT_SECONDS=$((SECONDS - start))
}

# e2e_run NAME [ARGS...]: runs brisvel.exe (E2E_EXE, a Unix or Windows path)
# with ARGS from a prompt, with the event-log channels on; its output and
# error go to NAME.out and NAME.err. Sets E2E_RC (124: timed out) and
# E2E_RUN_MS.
e2e_run() {
    local name=$1 start=${EPOCHREALTIME/./}
    shift
    E2E_RC=0
    WINEDEBUG="$E2E_WINEDEBUG" timeout "$E2E_RUN_TIMEOUT" wine "$E2E_EXE" "$@" \
        </dev/null >"$E2E_DIR/$name.out" 2>"$E2E_DIR/$name.err" || E2E_RC=$?
    E2E_RUN_MS=$(((${EPOCHREALTIME/./} - start) / 1000))
}

# e2e_wine NAME PROGRAM [ARGS...]: runs a Windows program (reg, sc, the
# helper) without debug output; output, CR removed, in NAME.out. Sets E2E_RC.
e2e_wine() {
    local name=$1
    shift
    E2E_RC=0
    WINEDEBUG=-all timeout "$E2E_RUN_TIMEOUT" wine "$@" \
        </dev/null >"$E2E_DIR/$name.raw" 2>"$E2E_DIR/$name.err" || E2E_RC=$?
    tr -d '\r' <"$E2E_DIR/$name.raw" >"$E2E_DIR/$name.out"
}

# e2e_helper NAME ARGS...: the helper's probes (see tools/helper.cpp).
e2e_helper() {
    local name=$1
    shift
    e2e_wine "$name" "$E2E_HELPER" "$@"
}

# e2e_ctl NAME SERVICE STEP...: the helper's service steps; one line per step
# in NAME.ctl. Sets E2E_RC.
e2e_ctl() {
    local name=$1
    shift
    e2e_helper "$name" svc "$@"
    mv "$E2E_DIR/$name.out" "$E2E_DIR/$name.ctl"
}

# e2e_field NAME N KEY: KEY=VALUE of line N of NAME.ctl ("?" when absent).
e2e_field() {
    local word
    for word in $(sed -n "${2}p" "$E2E_DIR/$1.ctl"); do
        if [ "${word%%=*}" = "$3" ] && [ "$word" != "$3" ]; then
            printf '%s' "${word#*=}"
            return 0
        fi
    done
    printf '?'
    return 1
}

# e2e_expect_step NAME N WORDS OUTCOME [KEY=VALUE...]: line N of NAME.ctl is
# the step WORDS with OUTCOME ("ok", "error=...") and every KEY=VALUE.
e2e_expect_step() {
    local name=$1 n=$2 words=$3 outcome=$4 line pair
    shift 4
    line=$(sed -n "${n}p" "$E2E_DIR/$name.ctl")
    case "$line" in
    "$words $outcome "*) ;;
    *)
        e2e_fail "$name line $n: \"$line\", expected \"$words $outcome ...\""
        return 1
        ;;
    esac
    for pair in "$@"; do
        if [ "$(e2e_field "$name" "$n" "${pair%%=*}")" != "${pair#*=}" ]; then
            e2e_fail "$name line $n: \"$line\", expected $pair"
            return 1
        fi
    done
}

# e2e_install_pair [MODE]: private copies of the helper and brisvel.exe (so
# their processes are told apart by path); the helper installed as the
# service "Ondrimar" (stand-in MODE, started on demand) and brisvel.exe as
# the service "BrisvelWatch" (demand start). Sets WATCHDOG_EXE, STANDIN_EXE
# (Windows paths).
e2e_install_pair() {
    mkdir -p "$E2E_DIR/bin" && cp "$E2E_EXE" "$E2E_HELPER" "$E2E_DIR/bin/" ||
        e2e_abort "cannot copy the executables"
    WATCHDOG_EXE=$(e2e_winpath "$E2E_DIR/bin/$(basename "$E2E_EXE")")
    STANDIN_EXE=$(e2e_winpath "$E2E_DIR/bin/$(basename "$E2E_HELPER")")
    e2e_wine sc_standin sc create Ondrimar binpath= "$STANDIN_EXE service ${1:-}" start= demand
    [ "$E2E_RC" -eq 0 ] || e2e_abort "sc create Ondrimar failed"
    e2e_wine sc_watchdog sc create BrisvelWatch binpath= "$WATCHDOG_EXE" start= demand
    [ "$E2E_RC" -eq 0 ] || e2e_abort "sc create BrisvelWatch failed"
}

# e2e_mark: the size of session.err now; e2e_calls counts only what follows.
e2e_mark() { stat -c %s "$E2E_DIR/session.err"; }

# e2e_calls PID FUNCTION [MARK]: how many times the Windows process PID
# called FUNCTION (as the service channel names it) after MARK. Lines may
# carry a +timestamp prefix.
e2e_calls() {
    [[ $1 =~ ^[0-9]+$ ]] || { echo 0 && return; }
    tail -c +"$((${3:-0} + 1))" "$E2E_DIR/session.err" |
        grep -cE "^( *[0-9]+\.[0-9]{3}:)?0*$(printf '%x' "$1"):[0-9a-f]+:trace:service:$2 "
}

# e2e_records FILE...: the event records traced in FILE, one per line:
# TYPE<TAB>ID<TAB>SID<TAB>TEXT, TYPE in decimal, ID as 0x%08x, SID 1 when a
# user SID was attached, TEXT as Wine printed it (L"..." with C escapes).
e2e_records() {
    perl -ne '
        if (/^((?:[0-9a-f]+:)*)fixme:advapi:ReportEventA \(\w+,0x(\w+),0x\w+,0x(\w+),(\w+),/) {
            push @r, [hex $2, sprintf("0x%08x", hex $3), hex($4) ? 1 : 0];
            $open{$1} = $r[-1];
        } elsif (/^((?:[0-9a-f]+:)*)(?:err|warn|trace):eventlog:ReportEventW (L".*?)\r?$/) {
            push @{$open{$1}}, $2 if $open{$1} && @{$open{$1}} == 3;
        }
        END { print join("\t", @$_), "\n" for @r }' -- "$@"
}

# e2e_processes WINDOWS_PATH: the Linux pids of this prefix's live processes
# whose program is WINDOWS_PATH. A zombie has no command line: not listed.
e2e_processes() {
    local dir cmdline
    for dir in /proc/[0-9]*; do
        cmdline=$(tr '\0' '\n' 2>/dev/null <"$dir/cmdline" | head -n 1) || continue
        [ -n "$cmdline" ] && [ "${cmdline,,}" = "${1,,}" ] || continue
        tr '\0' '\n' 2>/dev/null <"$dir/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" || continue
        printf '%s\n' "${dir#/proc/}"
    done
}

# e2e_handles WINDOWS_PID: the smallest of three counts of the process's
# handles, which drops a check's short-lived handles caught in flight.
e2e_handles() {
    local least='' count
    for _ in 1 2 3; do
        e2e_helper handles handles "$1"
        count=$(cat "$E2E_DIR/handles.out")
        [[ $count =~ ^[0-9]+$ ]] || e2e_abort "cannot count the handles of process $1"
        [ -n "$least" ] && [ "$count" -ge "$least" ] || least=$count
    done
    printf '%s\n' "$least"
}

# e2e_winpath UNIX_PATH: the path as Windows programs see it.
e2e_winpath() { printf 'Z:%s' "${1//\//\\}"; }

# e2e_show FILE...: copies files to standard error, for failure reports.
e2e_show() {
    local f
    for f in "$@"; do
        e2e_log "----- $(basename "$f") -----"
        cat "$f" >&2 2>/dev/null
    done
}

# Exits 0 when no check failed, 1 otherwise.
e2e_finish() {
    if [ "$E2E_FAILURES" -ne 0 ]; then
        e2e_log "$(basename "$0"): $E2E_FAILURES check(s) failed"
        exit 1
    fi
    exit 0
}
