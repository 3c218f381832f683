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
# The session also traces the service channel, with process ids: in
# session.err every service process's status reports and service-manager
# calls then show as
#   PID:TID:trace:service:SetServiceStatus HANDLE TYPE STATE ACCEPTED WIN32EXIT SPECIFICEXIT CHECKPOINT WAITHINT
#   PID:TID:trace:service:StartServiceW HANDLE ARGC ARGV
# (PID and TID in hex; the numbers in C notation, 0 or 0x...), which lets a
# scenario see every status a service reported and every start a watchdog
# attempted, not only the last status the service manager keeps.
#
# Usage:
#   source lib.sh
#   e2e_init /path/to/brisvel.exe /path/to/errtext.exe
#   e2e_session_start
#   e2e_run NAME [ARGS...]        # stdout/stderr in $E2E_DIR/NAME.out/.err
#   e2e_ctl NAME SERVICE STEP...  # svcctl.exe, output in $E2E_DIR/NAME.ctl
#   ...checks with e2e_fail / e2e_records / e2e_text_matches...
#   e2e_finish                    # exit status 0 only when nothing failed

E2E_WINEDEBUG='-all,+eventlog,fixme+advapi'
# The session's channels, inherited by services.exe and every service.
E2E_SESSION_WINEDEBUG="$E2E_WINEDEBUG,+service,+pid"
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
    # The suite's other tools, when given, by absolute path (e2e_tools).
    local var path
    for var in E2E_SVCCTL E2E_STANDIN; do
        path=${!var:-}
        if [ -n "$path" ] && [ -f "$path" ]; then
            printf -v "$var" '%s' "$(cd "$(dirname "$path")" && pwd)/$(basename "$path")"
        fi
    done

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
    if ! WINEDEBUG="$E2E_SESSION_WINEDEBUG" timeout "$E2E_RUN_TIMEOUT" wine wineboot \
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

# e2e_tools: checks that the suite's own tools, whose paths ctest passes in
# the environment (E2E_SVCCTL, E2E_STANDIN), were found by e2e_init.
e2e_tools() {
    local var path
    for var in E2E_SVCCTL E2E_STANDIN; do
        path=${!var:-}
        [ -n "$path" ] || e2e_abort "$var is not set (run the scenario through ctest)"
        if [ ! -f "$path" ] || [ "${path:0:1}" != / ]; then
            e2e_abort "no executable at $path ($var)"
        fi
    done
}

# e2e_winpath UNIX_PATH: prints the path as Windows programs see it (Z:).
e2e_winpath() {
    local path=$1
    printf 'Z:%s' "${path//\//\\}"
}

# e2e_wine NAME PROGRAM [ARGS...]
# Runs a Windows program of the prefix (reg, sc, ...) or of the suite with
# no debug output; standard output (CR removed) and error go to
# $E2E_DIR/NAME.out and NAME.err. Sets E2E_RC.
e2e_wine() {
    local name=$1
    shift
    E2E_RC=0
    WINEDEBUG=-all timeout "$E2E_RUN_TIMEOUT" wine "$@" \
        </dev/null >"$E2E_DIR/$name.raw" 2>"$E2E_DIR/$name.err" || E2E_RC=$?
    tr -d '\r' <"$E2E_DIR/$name.raw" >"$E2E_DIR/$name.out"
}

# e2e_ctl NAME SERVICE STEP...
# Runs svcctl.exe (see tools/svcctl.cpp for the steps and their lines) on
# SERVICE. Its lines, CR removed, go to $E2E_DIR/NAME.ctl. Sets E2E_RC.
e2e_ctl() {
    local name=$1
    shift
    E2E_RC=0
    WINEDEBUG=-all timeout "$E2E_RUN_TIMEOUT" wine "$E2E_SVCCTL" "$@" \
        </dev/null >"$E2E_DIR/$name.ctlraw" 2>"$E2E_DIR/$name.ctlerr" || E2E_RC=$?
    tr -d '\r' <"$E2E_DIR/$name.ctlraw" >"$E2E_DIR/$name.ctl"
}

# e2e_ctl_line NAME N: prints line N of NAME.ctl (line 1 is the first "use").
e2e_ctl_line() {
    sed -n "${2}p" "$E2E_DIR/$1.ctl"
}

# e2e_field LINE KEY: prints the value of KEY=VALUE in a svcctl line.
e2e_field() {
    local word
    for word in $1; do
        if [ "${word%%=*}" = "$2" ] && [ "$word" != "$2" ]; then
            printf '%s' "${word#*=}"
            return 0
        fi
    done
    return 1
}

# e2e_expect_step NAME N WORDS OUTCOME [KEY=VALUE...]
# Checks that line N of NAME.ctl is the step WORDS ("control 2") with the
# OUTCOME "ok" or "error=..." and carries every KEY=VALUE given.
e2e_expect_step() {
    local name=$1 n=$2 words=$3 outcome=$4 line pair value
    shift 4
    line=$(e2e_ctl_line "$name" "$n")
    case "$line" in
    "$words $outcome "*) ;;
    *)
        e2e_fail "$name line $n: \"$line\", expected \"$words $outcome ...\""
        return 1
        ;;
    esac
    for pair in "$@"; do
        if ! value=$(e2e_field "$line" "${pair%%=*}") || [ "$value" != "${pair#*=}" ]; then
            e2e_fail "$name line $n ($words): ${pair%%=*}=${value:-?}, expected $pair"
            return 1
        fi
    done
    return 0
}

# e2e_expect_output NAME TEXT
# Checks that NAME.out holds exactly TEXT as a text-mode console program
# writes it: every LF of TEXT as CR LF, nothing more, nothing less.
e2e_expect_output() {
    local name=$1 text=$2
    printf '%s' "$text" | perl -pe 's/\n/\r\n/g' >"$E2E_DIR/$name.want"
    if ! cmp -s "$E2E_DIR/$name.want" "$E2E_DIR/$name.out"; then
        e2e_fail "$name: the output differs from the expected text (cat -A of each below)"
        e2e_log "--- expected:"
        cat -A "$E2E_DIR/$name.want" >&2
        e2e_log "--- printed:"
        cat -A "$E2E_DIR/$name.out" >&2
        return 1
    fi
    return 0
}

# e2e_mark: prints the number of lines in session.err now, to look only at
# what was traced after this point (e2e_reports, e2e_calls).
e2e_mark() {
    wc -l <"$E2E_DIR/session.err"
}

# e2e_reports PID [AFTER_LINE]
# Prints the status reports (SetServiceStatus) that the process with the
# Windows process id PID made, in order, after line AFTER_LINE of
# session.err (default 0), one per line in decimal:
#   STATE ACCEPTED WIN32EXIT SPECIFICEXIT CHECKPOINT WAITHINT
e2e_reports() {
    perl -e '
        use strict; use warnings;
        my ($pid, $after, $file) = @ARGV;
        open my $in, "<", $file or die "$file: $!";
        while (my $line = <$in>) {
            next if $. <= $after;
            next unless $line =~ /^([0-9a-f]+):[0-9a-f]+:trace:service:SetServiceStatus \S+ \S+ (\S+) (\S+) (\S+) (\S+) (\S+) (\S+)\r?$/;
            next unless hex($1) == $pid;
            my @fields = ($2, $3, $4, $5, $6, $7);
            print join(" ", map { /^0x/ ? hex($_) : $_ + 0 } @fields), "\n";
        }
    ' -- "$1" "${2:-0}" "$E2E_DIR/session.err"
}

# e2e_calls PID FUNCTION [AFTER_LINE]
# Prints how many times the process PID called FUNCTION, as the service
# channel traces it (StartServiceW, QueryServiceStatus, OpenServiceA, ...),
# after line AFTER_LINE of session.err.
e2e_calls() {
    perl -e '
        use strict; use warnings;
        my ($pid, $function, $after, $file) = @ARGV;
        open my $in, "<", $file or die "$file: $!";
        my $count = 0;
        while (my $line = <$in>) {
            next if $. <= $after;
            next unless $line =~ /^([0-9a-f]+):[0-9a-f]+:trace:service:(\w+) /;
            $count++ if hex($1) == $pid && $2 eq $function;
        }
        print "$count\n";
    ' -- "$1" "$2" "${3:-0}" "$E2E_DIR/session.err"
}

# e2e_processes WINDOWS_PATH
# Prints the Linux process ids of the live processes of this scenario's
# prefix whose program is WINDOWS_PATH (compared without letter case), one
# per line. A zombie has no command line and is not listed.
e2e_processes() {
    local dir cmdline
    for dir in /proc/[0-9]*; do
        cmdline=$(tr '\0' '\n' 2>/dev/null <"$dir/cmdline" | head -n 1) || continue
        [ -n "$cmdline" ] || continue
        [ "${cmdline,,}" = "${1,,}" ] || continue
        tr '\0' '\n' 2>/dev/null <"$dir/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" || continue
        printf '%s\n' "${dir#/proc/}"
    done
}

# e2e_reg_values NAME KEY [/reg:32|/reg:64]
# Prints the values of the registry key KEY (not of its subkeys), exported
# by reg.exe into $E2E_DIR/NAME.reg, one per line, tab-separated:
#   VALUE TYPE DATA
# TYPE is sz, expand_sz, multi_sz, dword, binary or hex(N); DATA is the text
# of string values exactly as stored, each zero character written as <NUL>
# (so the terminator of an expand_sz or multi_sz value shows; reg.exe shows
# sz values without it), a dword in decimal, other data as hex bytes. The
# default value is named "@". Prints nothing, and sets E2E_RC to reg's
# nonzero exit code, when the key does not exist.
e2e_reg_values() {
    local name=$1 key=$2
    shift 2
    e2e_wine "$name.export" reg export "$key" "$name.reg" /y "$@"
    [ "$E2E_RC" -eq 0 ] || return 0
    perl -e '
        use strict; use warnings;
        use Encode qw(decode);
        my ($file, $key) = @ARGV;
        open my $in, "<:raw", $file or die "$file: $!";
        my $raw = do { local $/; <$in> };
        my $text = decode("UTF-16", $raw);
        $text =~ s/\r\n/\n/g;
        $text =~ s/\\\n\s*//g;
        my $in_key = 0;
        my %types = (2 => "expand_sz", 7 => "multi_sz");
        for my $line (split /\n/, $text) {
            if ($line =~ /^\[(.*)\]$/) { $in_key = lc($1) eq lc($key); next; }
            next unless $in_key;
            next unless $line =~ /^(?:"((?:[^"\\]|\\.)*)"|(@))=(.*)$/;
            my ($value, $data) = (defined $1 ? $1 : $2, $3);
            $value =~ s/\\(.)/$1/g;
            my ($type, $shown);
            if ($data =~ /^"((?:[^"\\]|\\.)*)"$/) {
                ($type, $shown) = ("sz", $1);
                $shown =~ s/\\(.)/$1/g;
            } elsif ($data =~ /^dword:([0-9a-f]{8})$/) {
                ($type, $shown) = ("dword", hex($1));
            } elsif ($data =~ /^hex(?:\(([0-9a-f]+)\))?:([0-9a-f,]*)$/) {
                my $kind = defined $1 ? hex($1) : 3;
                my $bytes = join "", map { chr hex } grep { length } split /,/, $2;
                if ($types{$kind}) {
                    $type = $types{$kind};
                    $shown = decode("UTF-16LE", $bytes);
                    $shown =~ s/\0/<NUL>/g;
                } else {
                    $type = $kind == 3 ? "binary" : "hex($kind)";
                    $shown = join " ", map { sprintf "%02x", ord } split //, $bytes;
                }
            } else {
                ($type, $shown) = ("unknown", $data);
            }
            binmode STDOUT, ":encoding(UTF-8)";
            print "$value\t$type\t$shown\n";
        }
    ' -- "$E2E_DIR/$name.reg" "${key/#HKLM/HKEY_LOCAL_MACHINE}"
}

# e2e_reg_value NAME KEY VALUE [/reg:32|/reg:64]
# Prints "TYPE<TAB>DATA" of one value as e2e_reg_values shows it; nothing
# when the key or the value does not exist.
e2e_reg_value() {
    local name=$1 key=$2 value=$3 line
    shift 3
    while IFS= read -r line; do
        if [ "${line%%$'\t'*}" = "$value" ]; then
            printf '%s\n' "${line#*$'\t'}"
            return 0
        fi
    done < <(e2e_reg_values "$name" "$key" "$@")
    return 0
}

# Prints the outcome and exits: 0 when no check failed, 1 otherwise.
e2e_finish() {
    if [ "$E2E_FAILURES" -ne 0 ]; then
        e2e_log "$(basename "$0"): $E2E_FAILURES check(s) failed"
        exit 1
    fi
    exit 0
}
