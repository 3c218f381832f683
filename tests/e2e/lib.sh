# shellcheck shell=bash
# shellcheck disable=SC2034  # E2E_* results are read by the scenario scripts
# Shared machinery for the end-to-end scenarios: brisvel.exe under Wine.
# Sourced by each scenario script; it defines functions and sets nothing up
# until e2e_init is called.
#
# A scenario runs in a Wine prefix of its own under a fresh temporary
# directory (never ~/.wine), inside a persistent Wine session so that
# services outlive the console processes that start them. The session's
# first process (wineboot) carries the debug channels that make the event
# log visible, and its standard error, which services.exe and every service
# inherit, goes to a file: a pipe there would hold any reader of it until
# the session ends.
#
# Event-log records are visible only as debug lines. For each record Wine
# prints, on the reporting thread:
#   TID:fixme:advapi:ReportEventA (HANDLE,0xTYPE,0xCATEGORY,0xID,SID,0xCOUNT,0xDATASIZE,STRINGS,DATA): stub
#   TID:fixme:advapi:ReportEventW (...same fields...): stub      (only when COUNT > 0)
#   TID:err:eventlog:ReportEventW L"text"                          (one per string)
# with err for errors, warn for warnings and trace for the other types. The
# text is escaped (\n \r \t \" \\, \XXXX for other code units) and cut after
# about 289 characters, in which case the closing quote is followed by "...".
#
# Usage:
#   source lib.sh
#   e2e_init /path/to/brisvel.exe /path/to/errtext.exe
#   e2e_session_start
#   e2e_run NAME [ARGS...]        # stdout/stderr in $E2E_DIR/NAME.out/.err
#   ...checks with e2e_fail / e2e_records / e2e_text_matches...
#   e2e_finish                    # exit status 0 only when nothing failed

E2E_WINEDEBUG='-all,+eventlog,fixme+advapi'
# Longest a single Wine command may take before the scenario gives up on it.
E2E_RUN_TIMEOUT=${E2E_RUN_TIMEOUT:-120}

E2E_FAILURES=0

e2e_log() {
    printf '%s\n' "$*" >&2
}

# Records a failed check and goes on; e2e_finish reports the outcome.
e2e_fail() {
    E2E_FAILURES=$((E2E_FAILURES + 1))
    e2e_log "FAIL: $*"
}

# Stops the scenario at once (setup problems, not product faults).
e2e_abort() {
    e2e_log "ABORT: $*"
    exit 2
}

# e2e_init BRISVEL_EXE ERRTEXT_EXE
# Checks the tools, makes the temporary directory and the empty prefix
# location, and arranges for e2e_cleanup to run however the script ends.
e2e_init() {
    [ $# -eq 2 ] || e2e_abort "usage: $0 BRISVEL_EXE ERRTEXT_EXE"
    local tool
    for tool in wine wineserver perl timeout; do
        command -v "$tool" >/dev/null 2>&1 || e2e_abort "$tool is not installed (run scripts/deps.sh)"
    done
    [ -f "$1" ] || e2e_abort "no executable at $1"
    [ -f "$2" ] || e2e_abort "no executable at $2"
    E2E_EXE=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
    E2E_ERRTEXT=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")

    E2E_DIR=$(mktemp -d "${TMPDIR:-/tmp}/brisvel-e2e.XXXXXX")
    E2E_SESSION=0
    E2E_DEADLINE_PID=
    trap e2e_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM

    export WINEPREFIX="$E2E_DIR/prefix"
    mkdir "$WINEPREFIX" || e2e_abort "cannot create $WINEPREFIX"
    # Wine keeps its server socket directory under TMPDIR and leaves it
    # behind; keep it inside the scenario's directory.
    export TMPDIR="$E2E_DIR/tmp"
    mkdir "$TMPDIR" || e2e_abort "cannot create $TMPDIR"
    # 32-bit executables in the default 64-bit prefix, as on 64-bit Windows.
    export WINEARCH=win64
    # No Mono or Gecko installers, no desktop menu entries in $HOME.
    export WINEDLLOVERRIDES='mscoree,mshtml,winemenubuilder.exe='
    unset DISPLAY WAYLAND_DISPLAY
    cd "$E2E_DIR" || e2e_abort "cannot enter $E2E_DIR"
    e2e_deadline_start
}

# A killed scenario would leave its persistent session running for ever, so
# the scenario ends itself first: after E2E_DEADLINE seconds (set it below
# the test's time-out) this watcher signals the script and ends the session,
# which unblocks any Wine command in progress; the script then exits through
# its EXIT trap, which cleans up.
e2e_deadline_start() {
    local deadline=${E2E_DEADLINE:-150} script=$$
    (
        trap 'kill "$sleeper" 2>/dev/null; exit 0' TERM
        sleep "$deadline" &
        sleeper=$!
        wait "$sleeper"
        echo "ABORT: scenario still running after $deadline s" >&2
        kill -TERM "$script"
        wineserver -k
    ) </dev/null >/dev/null 2>>"$E2E_DIR/deadline.err" &
    E2E_DEADLINE_PID=$!
}

# Ends the session (every process of this prefix) and removes the prefix.
# Installed as the EXIT trap by e2e_init.
e2e_cleanup() {
    local status=$?
    if [ -n "${E2E_DEADLINE_PID:-}" ]; then
        kill -TERM "$E2E_DEADLINE_PID" 2>/dev/null || true
        wait "$E2E_DEADLINE_PID" 2>/dev/null || true
        E2E_DEADLINE_PID=
    fi
    if [ -s "${E2E_DIR:-}/deadline.err" ]; then
        cat "$E2E_DIR/deadline.err" >&2
        [ "$status" -ne 0 ] || status=1
    fi
    if [ "${E2E_SESSION:-0}" -eq 1 ]; then
        wineserver -k >/dev/null 2>&1 || true
        timeout 30 wineserver -w >/dev/null 2>&1 || true
        E2E_SESSION=0
    fi
    cd / || true
    if [ -n "${E2E_DIR:-}" ] && [ -d "$E2E_DIR" ]; then
        rm -rf "$E2E_DIR"
    fi
    exit "$status"
}

# Starts the persistent session and initialises the prefix. Service-side
# debug output (the event log of services) goes to $E2E_DIR/session.err.
# Sets E2E_BOOT_SECONDS.
e2e_session_start() {
    local start end
    start=$(date +%s%N)
    E2E_SESSION=1
    wineserver -p </dev/null >/dev/null 2>>"$E2E_DIR/wineserver.err" ||
        e2e_abort "wineserver -p failed: $(cat "$E2E_DIR/wineserver.err")"
    if ! WINEDEBUG="$E2E_WINEDEBUG" timeout "$E2E_RUN_TIMEOUT" wine wineboot \
        </dev/null >/dev/null 2>>"$E2E_DIR/session.err"; then
        cat "$E2E_DIR/session.err" >&2
        e2e_abort "wineboot failed"
    fi
    end=$(date +%s%N)
    E2E_BOOT_SECONDS=$(e2e_seconds "$start" "$end")
}

# e2e_seconds START_NS END_NS: prints the difference in seconds (3 decimals).
e2e_seconds() {
    local ms=$((($2 - $1) / 1000000))
    printf '%d.%03d' $((ms / 1000)) $((ms % 1000))
}

# e2e_run NAME [ARGS...]
# Runs brisvel.exe with ARGS from the "prompt" of the running session, with
# the event-log debug channels on. Its standard output and error go to
# $E2E_DIR/NAME.out and NAME.err. Sets E2E_RC (the exit code; 124 when it
# timed out) and E2E_RUN_SECONDS.
e2e_run() {
    local name=$1 start end
    shift
    start=$(date +%s%N)
    E2E_RC=0
    WINEDEBUG="$E2E_WINEDEBUG" timeout "$E2E_RUN_TIMEOUT" wine "$E2E_EXE" "$@" \
        </dev/null >"$E2E_DIR/$name.out" 2>"$E2E_DIR/$name.err" || E2E_RC=$?
    end=$(date +%s%N)
    E2E_RUN_SECONDS=$(e2e_seconds "$start" "$end")
}

# e2e_errtext CODE [FLAGS]
# Prints the system's message text for CODE in this prefix, without its
# trailing CR LF. Aborts the scenario when the text cannot be had.
e2e_errtext() {
    local text
    if ! text=$(WINEDEBUG=-all timeout "$E2E_RUN_TIMEOUT" wine "$E2E_ERRTEXT" "$@" \
        </dev/null 2>>"$E2E_DIR/errtext.err"); then
        cat "$E2E_DIR/errtext.err" >&2
        e2e_abort "no system message text for $*"
    fi
    printf '%s' "$text"
}

# e2e_records FILE...
# Prints the event-log records found in the debug traces, one per line,
# tab-separated, in the order they were reported:
#   TYPE CATEGORY ID SID STRINGS [TEXT...]
# TYPE and CATEGORY in decimal, ID as 0x%08x, SID 1 when a user SID was
# attached and 0 when not, STRINGS the count the caller passed, then each
# string as Wine printed it (L"..." with its escapes, "... after the quote
# when cut). Fewer TEXT fields than STRINGS means the trace lost some.
e2e_records() {
    perl -e '
        use strict; use warnings;
        my (@records, %open);
        while (my $line = <>) {
            $line =~ s/\r?\n\z//;
            if ($line =~ /^((?:[0-9a-f]+:)*)fixme:advapi:ReportEventA \(\w+,0x([0-9a-f]+),0x([0-9a-f]+),0x([0-9a-f]+),(\w+),0x([0-9a-f]+),0x[0-9a-f]+,\w+,\w+\): stub$/) {
                my $rec = { type => hex($2), category => hex($3), id => hex($4),
                            sid => (hex($5) != 0 ? 1 : 0), count => hex($6), texts => [] };
                push @records, $rec;
                $open{$1} = $rec;
            } elsif ($line =~ /^((?:[0-9a-f]+:)*)(?:err|warn|trace):eventlog:ReportEventW (L".*)$/) {
                my $rec = $open{$1};
                next unless $rec && @{$rec->{texts}} < $rec->{count};
                push @{$rec->{texts}}, $2;
            }
        }
        for my $r (@records) {
            print join("\t", $r->{type}, $r->{category}, sprintf("0x%08x", $r->{id}),
                       $r->{sid}, $r->{count}, @{$r->{texts}}), "\n";
        }
    ' -- "$@"
}

# e2e_text_matches TOKEN TEXT
# Succeeds when TOKEN, a string as e2e_records prints it, is Wine's
# rendering of TEXT (8-bit text; bytes above 0x7f are taken as Latin-1),
# in full or, for a cut token, as its beginning.
e2e_text_matches() {
    perl -e '
        use strict; use warnings;
        my ($token, $text) = @ARGV;
        my %esc = ("\n" => "\\n", "\r" => "\\r", "\t" => "\\t", "\"" => "\\\"", "\\" => "\\\\");
        my $want = join "", map {
            exists $esc{$_} ? $esc{$_}
              : (ord($_) < 0x20 || ord($_) >= 0x7f) ? sprintf("\\%04x", ord($_)) : $_
        } split //, $text;
        if ($token =~ /\AL"(.*)"\z/s) { exit($1 eq $want ? 0 : 1); }
        if ($token =~ /\AL"(.*)"\.\.\.\z/s) {
            exit(length($1) < length($want) && substr($want, 0, length($1)) eq $1 ? 0 : 1);
        }
        exit 1;
    ' -- "$1" "$2"
}

# e2e_show FILE...: copies files to standard error, for failure reports.
e2e_show() {
    local f
    for f in "$@"; do
        e2e_log "----- $(basename "$f") -----"
        if [ -s "$f" ]; then cat "$f" >&2; else e2e_log "(empty)"; fi
    done
}

# Prints the outcome and exits: 0 when no check failed, 1 otherwise.
e2e_finish() {
    if [ "$E2E_FAILURES" -ne 0 ]; then
        e2e_log "$(basename "$0"): $E2E_FAILURES check(s) failed"
        exit 1
    fi
    exit 0
}
