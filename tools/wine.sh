# shellcheck shell=bash
# shellcheck disable=SC2034  # SESSION_* results are read by the scripts that source this
# A Wine session of its own for brisvel.exe: the scenarios, the demo and the
# benchmark source this file; it defines functions and sets nothing up until
# session_init is called.
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
# Architectures. brisvel.exe is built for x86 and for x64. Some hosts cannot
# execute 32-bit programs (their kernel's IA-32 emulation is off): there
# Wine's 32-bit loader, and every Debian wrapper that picks it whenever it is
# installed (wine, wineboot, msiexec), fails with "Exec format error", and
# only the x64 build can be run, under the 64-bit loader. A session takes
# its architecture from BRISVEL_EXE: an x64 session runs every Windows
# program through the 64-bit loader, on every host, so that it runs here as
# it runs on a host without 32-bit support; an x86 session uses Debian's
# wine, which runs x86 and x64 programs alike.
#
# Usage: session_init BRISVEL_EXE HELPER_EXE; session_start; then session_run,
# session_ctl and the rest; the EXIT trap ends the session and removes the
# prefix; SESSION_KEEP=1 keeps the whole temporary directory, prefix
# included. The scenarios' library (tests/wine/steps.sh) adds where a check
# failed and keeps the evidence of a failed run.

# Service states, controls and accepted-control bits, as the service manager
# numbers them.
readonly STOPPED=1 START_PENDING=2 STOP_PENDING=3 RUNNING=4 CONTINUE_PENDING=5 \
    PAUSE_PENDING=6 PAUSED=7
readonly STOP=1 PAUSE=2 CONTINUE=3 INTERROGATE=4
readonly ACCEPT_STOP=1 ACCEPT_PAUSE_CONTINUE=2 ACCEPT_SHUTDOWN=4
# The stand-in's own controls, as tools/StandInControls.h spells them
# (STANDIN_CRASH is CRASH here): each is done before ControlService returns.
session_read_controls() {
    local header name value count=0
    header="$(dirname "${BASH_SOURCE[0]}")/StandInControls.h"
    while read -r name value; do
        readonly "${name#STANDIN_}=$value"
        count=$((count + 1))
    done < <(sed -nE 's/^#define (STANDIN_[A-Z0-9_]+) ([0-9]+).*/\1 \2/p' "$header")
    [ "$count" -gt 0 ] || session_abort "no stand-in controls in $header"
}
session_read_controls
# Event record types, as session_records prints them.
readonly ERROR_RECORD=1 WARNING_RECORD=2 INFORMATION_RECORD=4
# Start types for the helper's "config" step.
readonly DEMAND_START=3 DISABLED=4

SESSION_RUN_WINEDEBUG='-all,+eventlog,fixme+advapi'
SESSION_WINEDEBUG=${SESSION_WINEDEBUG:-"$SESSION_RUN_WINEDEBUG,+service,+pid"}
SESSION_RUN_TIMEOUT=${SESSION_RUN_TIMEOUT:-120}
SESSION_FAILURES=0

session_log() { printf '%s\n' "$*" >&2; }

readonly SESSION_WINE32=/usr/lib/wine/wine SESSION_WINE64=/usr/lib/wine/wine64

# session_host_runs_x86: true when this host executes Wine's 32-bit loader,
# and with it 32-bit Windows programs. Whether the kernel runs 32-bit code at
# all is a property of the host, so it is asked at run time.
session_host_runs_x86() { "$SESSION_WINE32" --version >/dev/null 2>&1; }

# session_host_arch: the architecture the demo and the benchmark run: x86,
# the primary build, where the host executes it; x64 otherwise.
session_host_arch() {
    if session_host_runs_x86; then echo x86; else echo x64; fi
}

# session_exe_arch FILE: x86 or x64, the machine field of FILE's PE header;
# fails for anything else.
session_exe_arch() {
    local pe machine
    pe=$(od -An -t u4 -j 60 -N 4 "$1" 2>/dev/null | tr -d ' ')
    [[ $pe =~ ^[0-9]+$ ]] || return 1
    machine=$(od -An -t x2 -j $((pe + 4)) -N 2 "$1" | tr -d ' ')
    case "$machine" in
    014c) echo x86 ;;
    8664) echo x64 ;;
    *) return 1 ;;
    esac
}

# session_use_wine64: from here on, "wine" runs the 64-bit loader, and Wine
# starts its own processes (services.exe, every service) with it. A symlink
# named wine to the loader does not work ("could not exec the wine
# loader"); a script that execs it does.
session_use_wine64() {
    local bin=$SESSION_DIR/wine64-bin
    mkdir -p "$bin" && printf '#!/bin/sh\nexec %s "$@"\n' "$SESSION_WINE64" >"$bin/wine" &&
        chmod +x "$bin/wine" || session_abort "cannot write $bin/wine"
    export PATH="$bin:$PATH" WINELOADER=$SESSION_WINE64
}

# Records a failed check and goes on; session_finish reports the outcome.
# The scenarios' own library says where the check was made.
session_fail() {
    SESSION_FAILURES=$((SESSION_FAILURES + 1))
    session_log "FAIL$(session_hook session_where): $*"
}

# session_hook FUNCTION [ARGS...]: runs FUNCTION if the script defines it:
# " WHERE" for session_where, nothing else.
session_hook() {
    [ "$(type -t "$1")" != function ] || printf ' %s' "$("$@")"
}

# Stops at once (set-up problems, not product faults).
session_abort() {
    session_log "ABORT$(session_hook session_where): $*"
    exit 2
}

# Bash calls this for a command it cannot find. A check whose failure
# function is missing would otherwise print "command not found" and go on,
# and its scenario would pass: the whole run is aborted instead. Runs in a
# subshell of its own, so it ends the script by a signal; the EXIT trap
# still cleans up.
command_not_found_handle() {
    session_log "ABORT$(session_hook session_where): $1: command not found"
    kill -s TERM "$$"
    return 127
}

# session_init BRISVEL_EXE HELPER_EXE: makes the temporary directory and the
# prefix's location, chooses the loader for BRISVEL_EXE's architecture (sets
# SESSION_ARCH), and ends the run (and its session) after SESSION_DEADLINE
# seconds (default 150) however it goes, so that no session is left behind.
# An x86 BRISVEL_EXE on a host that cannot execute 32-bit code stops the run
# with exit code 2, saying why.
session_init() {
    [ $# -eq 2 ] && [ -f "$1" ] && [ -f "$2" ] || session_abort "usage: $0 BRISVEL_EXE HELPER_EXE"
    SESSION_EXE=$(realpath "$1")
    SESSION_HELPER=$(realpath "$2")
    SESSION_ARCH=$(session_exe_arch "$SESSION_EXE") || session_abort "$SESSION_EXE is neither x86 nor x64"
    if [ "$SESSION_ARCH" = x86 ] && ! session_host_runs_x86; then
        session_abort "this host cannot execute 32-bit code ($SESSION_WINE32 --version fails): no x86 scenario here"
    fi
    SESSION_DIR=$(mktemp -d "${TMPDIR:-/tmp}/brisvel-wine.XXXXXX")
    SESSION_LIVE=0
    trap session_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    export WINEPREFIX="$SESSION_DIR/prefix" TMPDIR="$SESSION_DIR/tmp" WINEARCH=win64
    # No Mono or Gecko installers, no menu entries in $HOME.
    export WINEDLLOVERRIDES='mscoree,mshtml,winemenubuilder.exe='
    unset DISPLAY WAYLAND_DISPLAY
    mkdir "$WINEPREFIX" "$TMPDIR" && cd "$SESSION_DIR" || session_abort "cannot prepare $SESSION_DIR"
    [ "$SESSION_ARCH" = x86 ] || session_use_wine64
    local script=$$
    (
        trap 'kill "$sleeper" 2>/dev/null; exit 0' TERM
        sleep "${SESSION_DEADLINE:-150}" &
        sleeper=$!
        wait "$sleeper"
        echo "ABORT: still running after ${SESSION_DEADLINE:-150} s" >&2
        kill -TERM "$script"
        wineserver -k
    ) </dev/null >/dev/null 2>>"$SESSION_DIR/deadline.err" &
    SESSION_DEADLINE_PID=$!
}

# The EXIT trap: ends the session (every process of the prefix) and removes
# the directory; a run that hit its deadline fails.
session_cleanup() {
    local status=$?
    kill -TERM "$SESSION_DEADLINE_PID" 2>/dev/null && wait "$SESSION_DEADLINE_PID" 2>/dev/null
    local job
    for job in "${!SESSION_JOBS[@]}"; do session_end "$job"; done
    if [ -s "$SESSION_DIR/deadline.err" ]; then
        cat "$SESSION_DIR/deadline.err" >&2
        [ "$status" -ne 0 ] || status=1
    fi
    if [ "$SESSION_LIVE" -eq 1 ]; then
        wineserver -k >/dev/null 2>&1
        timeout 30 wineserver -w >/dev/null 2>&1
    fi
    session_hook session_keep_evidence "$status" >/dev/null
    cd / || exit "$status"
    if [ "${SESSION_KEEP:-0}" = 1 ]; then
        session_log "SESSION_KEEP=1: everything is kept in $SESSION_DIR"
    else
        rm -rf "$SESSION_DIR"
    fi
    exit "$status"
}

# The prefix a new Wine makes, once per Wine version, in
# build/wine-template/VERSION/ of this checkout (SESSION_TEMPLATES elsewhere):
# making one takes Wine about ten seconds, copying it one. Made under a lock,
# so that scenarios started together wait for the one that makes it, in a
# session of its own that has ended before any copy is taken.
SESSION_TEMPLATES=${SESSION_TEMPLATES:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/wine-template}

# session_template: prints the template prefix's path, made first if need be.
session_template() {
    local version dir made
    version=$("$SESSION_WINE64" --version 2>/dev/null) || return 1
    dir=$SESSION_TEMPLATES/${version//[^A-Za-z0-9.~-]/_}
    mkdir -p "$dir" || return 1
    (
        flock 9 || exit 1
        [ -f "$dir/prefix/system.reg" ] && exit 0
        made=$dir/making
        rm -rf "$made" && mkdir -p "$made/prefix" || exit 1
        export WINEPREFIX=$made/prefix
        WINESERVER=$(command -v wineserver) || exit 1
        "$WINESERVER" -p </dev/null >/dev/null 2>&1 &&
            WINEDEBUG=-all timeout "$SESSION_RUN_TIMEOUT" "$SESSION_WINE64" wineboot </dev/null >/dev/null 2>&1
        local booted=$?
        "$WINESERVER" -k >/dev/null 2>&1
        timeout 30 "$WINESERVER" -w >/dev/null 2>&1
        [ "$booted" -eq 0 ] && [ -f "$made/prefix/system.reg" ] && mv "$made/prefix" "$dir/prefix"
    ) 9>"$dir/lock" || return 1
    printf '%s\n' "$dir/prefix"
}

# session_populate: the session's empty prefix becomes a copy of the
# template. The fake DLLs of system32 and syswow64, almost all of its size,
# are hard links (Wine only reads them); every other file is a copy of its
# own, the registry files above all, which Wine rewrites.
session_populate() {
    local template dlls
    template=$(session_template) || return 1
    tar -C "$template" --exclude=./drive_c/windows/system32 --exclude=./drive_c/windows/syswow64 \
        -cf - . | tar -C "$WINEPREFIX" -xf - || return 1
    for dlls in system32 syswow64; do
        [ ! -d "$template/drive_c/windows/$dlls" ] ||
            cp -al "$template/drive_c/windows/$dlls" "$WINEPREFIX/drive_c/windows/" || return 1
    done
}

# Starts the persistent session, on a prefix copied from the template when
# it is still empty (a second start is a reboot); sets SESSION_BOOT_SECONDS.
session_start() {
    local start=$SECONDS
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        session_populate || session_abort "cannot copy the template prefix into $WINEPREFIX"
    fi
    SESSION_LIVE=1
    # Started here, persistent, before the first wine call: a server that
    # wine starts by itself gets Debian's -p0, and under the 64-bit loader
    # it ends the session, services and all, about 2 s after the last
    # console process, even while a service runs.
    wineserver -p </dev/null >/dev/null 2>&1 || session_abort "wineserver -p failed"
    # wineboot through the 64-bit loader in every session: in a new 64-bit
    # prefix Debian's wine (the 32-bit loader) now and then starts wineboot
    # before the prefix's 32-bit half is in place, and ends with "could not
    # load kernel32.dll, status c0000135" (seen under load).
    WINEDEBUG="$SESSION_WINEDEBUG" timeout "$SESSION_RUN_TIMEOUT" "$SESSION_WINE64" wineboot \
        </dev/null >/dev/null 2>>"$SESSION_DIR/session.err" || session_abort "wineboot failed"
    SESSION_BOOT_SECONDS=$((SECONDS - start))
}

# session_run NAME [ARGS...]: runs brisvel.exe (SESSION_EXE, a Unix or Windows path)
# with ARGS from a prompt, with the event-log channels on; its output and
# error go to NAME.out and NAME.err. Sets SESSION_RC (124: timed out) and
# SESSION_RUN_MS.
session_run() {
    local name=$1 start=${EPOCHREALTIME/./}
    shift
    SESSION_RC=0
    WINEDEBUG="$SESSION_RUN_WINEDEBUG" timeout "$SESSION_RUN_TIMEOUT" wine "$SESSION_EXE" "$@" \
        </dev/null >"$SESSION_DIR/$name.out" 2>"$SESSION_DIR/$name.err" || SESSION_RC=$?
    SESSION_RUN_MS=$(((${EPOCHREALTIME/./} - start) / 1000))
}

# session_wine NAME PROGRAM [ARGS...]: runs a Windows program (reg, sc, the
# helper) without debug output; output, CR removed, in NAME.out. Sets SESSION_RC.
session_wine() {
    local name=$1
    shift
    SESSION_RC=0
    WINEDEBUG=-all timeout "$SESSION_RUN_TIMEOUT" wine "$@" \
        </dev/null >"$SESSION_DIR/$name.raw" 2>"$SESSION_DIR/$name.err" || SESSION_RC=$?
    tr -d '\r' <"$SESSION_DIR/$name.raw" >"$SESSION_DIR/$name.out"
}

# session_spawn NAME READY PROGRAM [ARGS...]: starts a Windows program in
# the background, without debug output, its output in NAME.out and its
# errors in NAME.err, and waits up to 10 s for a line of NAME.out that
# matches the grep pattern READY (none when READY is empty). Returns 1 when none came. The job
# is NAME's until session_await or session_end; the EXIT trap ends any that
# still runs.
declare -A SESSION_JOBS=()
session_spawn() {
    local name=$1 ready=$2 deadline=$((SECONDS + 10))
    shift 2
    WINEDEBUG=-all wine "$@" </dev/null >"$SESSION_DIR/$name.out" 2>"$SESSION_DIR/$name.err" &
    SESSION_JOBS[$name]=$!
    [ -n "$ready" ] || return 0
    until grep -q -- "$ready" "$SESSION_DIR/$name.out" 2>/dev/null; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

# session_await NAME SECONDS: waits up to SECONDS for NAME's job to end; sets
# SESSION_RC to its exit code, or ends it and sets 124 when it ran on.
session_await() {
    local pid=${SESSION_JOBS[$1]} deadline=$((SECONDS + $2))
    while kill -0 "$pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.05; done
    if kill -0 "$pid" 2>/dev/null; then
        session_end "$1"
        SESSION_RC=124
        return
    fi
    SESSION_RC=0
    wait "$pid" || SESSION_RC=$?
    unset "SESSION_JOBS[$1]"
}

# session_end NAME: ends NAME's job, if it still runs.
session_end() {
    local pid=${SESSION_JOBS[$1]:-}
    [ -n "$pid" ] || return 0
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    unset "SESSION_JOBS[$1]"
}

# session_helper NAME ARGS...: the helper's probes (see tools/helper.cpp).
session_helper() {
    local name=$1
    shift
    session_wine "$name" "$SESSION_HELPER" "$@"
}

# session_ctl NAME SERVICE STEP...: the helper's service steps; one line per step
# in NAME.ctl. Sets SESSION_RC.
session_ctl() {
    local name=$1
    shift
    session_helper "$name" svc "$@"
    mv "$SESSION_DIR/$name.out" "$SESSION_DIR/$name.ctl"
}

# session_field NAME N KEY: KEY=VALUE of line N of NAME.ctl ("?" when absent).
session_field() {
    local word
    for word in $(sed -n "${2}p" "$SESSION_DIR/$1.ctl"); do
        if [ "${word%%=*}" = "$3" ] && [ "$word" != "$3" ]; then
            printf '%s' "${word#*=}"
            return 0
        fi
    done
    printf '?'
    return 1
}

# session_expect_step NAME N WORDS OUTCOME [KEY=VALUE...]: line N of NAME.ctl is
# the step WORDS with OUTCOME ("ok", "error=...") and every KEY=VALUE.
session_expect_step() {
    local name=$1 n=$2 words=$3 outcome=$4 line pair
    shift 4
    line=$(sed -n "${n}p" "$SESSION_DIR/$name.ctl")
    case "$line" in
    "$words $outcome "*) ;;
    *)
        session_fail "$name line $n: \"$line\", expected \"$words $outcome ...\""
        return 1
        ;;
    esac
    for pair in "$@"; do
        if [ "$(session_field "$name" "$n" "${pair%%=*}")" != "${pair#*=}" ]; then
            session_fail "$name line $n: \"$line\", expected $pair"
            return 1
        fi
    done
}

# session_install_pair [MODE]: private copies of the helper and brisvel.exe (so
# their processes are told apart by path); the helper installed as the
# service "Ondrimar" (stand-in MODE, started on demand) and brisvel.exe as
# the service "BrisvelWatch" (demand start). Sets WATCHDOG_EXE, STANDIN_EXE
# (Windows paths).
session_install_pair() {
    mkdir -p "$SESSION_DIR/bin" && cp "$SESSION_EXE" "$SESSION_HELPER" "$SESSION_DIR/bin/" ||
        session_abort "cannot copy the executables"
    WATCHDOG_EXE=$(session_winpath "$SESSION_DIR/bin/$(basename "$SESSION_EXE")")
    STANDIN_EXE=$(session_winpath "$SESSION_DIR/bin/$(basename "$SESSION_HELPER")")
    session_wine sc_standin sc create Ondrimar binpath= "$STANDIN_EXE service ${1:-}" start= demand
    [ "$SESSION_RC" -eq 0 ] || session_abort "sc create Ondrimar failed"
    session_wine sc_watchdog sc create BrisvelWatch binpath= "$WATCHDOG_EXE" start= demand
    [ "$SESSION_RC" -eq 0 ] || session_abort "sc create BrisvelWatch failed"
}

# session_mark: the size of session.err now; session_calls counts only what follows.
session_mark() { stat -c %s "$SESSION_DIR/session.err"; }

# session_calls PID FUNCTION [MARK]: how many times the Windows process PID
# called FUNCTION (as the service channel names it) after MARK. Lines may
# carry a +timestamp prefix.
session_calls() {
    [[ $1 =~ ^[0-9]+$ ]] || { echo 0 && return; }
    tail -c +"$((${3:-0} + 1))" "$SESSION_DIR/session.err" |
        grep -cE "^( *[0-9]+\.[0-9]{3}:)?0*$(printf '%x' "$1"):[0-9a-f]+:trace:service:$2 "
}

# session_records FILE...: the event records traced in FILE, one per line:
# TYPE<TAB>ID<TAB>SID<TAB>TEXT, TYPE in decimal, ID as 0x%08x, SID 1 when a
# user SID was attached, TEXT as Wine printed it (L"..." with C escapes).
# Lines may carry a +timestamp prefix.
session_records() {
    perl -ne '
        if (/^(?: *[0-9]+\.[0-9]{3}:)?((?:[0-9a-f]+:)*)fixme:advapi:ReportEventA \(\w+,0x(\w+),0x\w+,0x(\w+),(\w+),/) {
            push @r, [hex $2, sprintf("0x%08x", hex $3), hex($4) ? 1 : 0];
            $open{$1} = $r[-1];
        } elsif (/^(?: *[0-9]+\.[0-9]{3}:)?((?:[0-9a-f]+:)*)(?:err|warn|trace):eventlog:ReportEventW (L".*?)\r?$/) {
            push @{$open{$1}}, $2 if $open{$1} && @{$open{$1}} == 3;
        }
        END { print join("\t", @$_), "\n" for @r }' -- "$@"
}

# session_source_records FILE...: as session_records, each line led by the
# record's event source and a TAB: the name the reporting thread last gave
# RegisterEventSourceA, as Wine prints it ("Name", C escapes), "?" if none.
session_source_records() {
    perl -ne '
        if (/^(?: *[0-9]+\.[0-9]{3}:)?((?:[0-9a-f]+:)*)fixme:advapi:RegisterEventSourceA \(.*?,(".*")\): stub\r?$/) {
            $source{$1} = $2;
        } elsif (/^(?: *[0-9]+\.[0-9]{3}:)?((?:[0-9a-f]+:)*)fixme:advapi:ReportEventA \(\w+,0x(\w+),0x\w+,0x(\w+),(\w+),/) {
            push @r, [$source{$1} // "?", hex $2, sprintf("0x%08x", hex $3), hex($4) ? 1 : 0];
            $open{$1} = $r[-1];
        } elsif (/^(?: *[0-9]+\.[0-9]{3}:)?((?:[0-9a-f]+:)*)(?:err|warn|trace):eventlog:ReportEventW (L".*?)\r?$/) {
            push @{$open{$1}}, $2 if $open{$1} && @{$open{$1}} == 4;
        }
        END { print join("\t", @$_), "\n" for @r }' -- "$@"
}

# session_processes WINDOWS_PATH: the Linux pids of this prefix's live processes
# whose program is WINDOWS_PATH. A zombie has no command line: not listed.
session_processes() {
    local dir cmdline
    for dir in /proc/[0-9]*; do
        cmdline=$(tr '\0' '\n' 2>/dev/null <"$dir/cmdline" | head -n 1) || continue
        [ -n "$cmdline" ] && [ "${cmdline,,}" = "${1,,}" ] || continue
        # Not a pipe: under pipefail, a grep -q done early would fail it.
        grep -qxF "WINEPREFIX=$WINEPREFIX" < <(tr '\0' '\n' 2>/dev/null <"$dir/environ") || continue
        printf '%s\n' "${dir#/proc/}"
    done
}

# session_handles WINDOWS_PID: the smallest of three counts of the process's
# handles, which drops a check's short-lived handles caught in flight.
session_handles() {
    local least='' count
    for _ in 1 2 3; do
        session_helper handles handles "$1"
        count=$(cat "$SESSION_DIR/handles.out")
        [[ $count =~ ^[0-9]+$ ]] || session_abort "cannot count the handles of process $1"
        [ -n "$least" ] && [ "$count" -ge "$least" ] || least=$count
    done
    printf '%s\n' "$least"
}

# session_winpath UNIX_PATH: the path as Windows programs see it.
session_winpath() { printf 'Z:%s' "${1//\//\\}"; }

# session_show FILE...: copies files to standard error, for failure reports.
session_show() {
    local f
    for f in "$@"; do
        session_log "----- $(basename "$f") -----"
        cat "$f" >&2 2>/dev/null
    done
}

# Exits 0 when no check failed, 1 otherwise.
session_finish() {
    if [ "$SESSION_FAILURES" -ne 0 ]; then
        session_log "$(basename "$0"): $SESSION_FAILURES check(s) failed"
        exit 1
    fi
    exit 0
}
