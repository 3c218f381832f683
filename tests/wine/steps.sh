# shellcheck shell=bash
# The checks the Wine scenarios are written in, over tools/wine.sh. A
# scenario is a table of steps: each line runs a command or checks one
# thing, and a failed check is reported and the table goes on. Sourcing it
# defines functions and starts nothing; scenario_begin starts the session.
#
# usage (from a scenario): source steps.sh; scenario_begin BRISVEL_EXE HELPER_EXE

# shellcheck source=../../tools/wine.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../tools/wine.sh"

readonly APPLICATION='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application'
readonly SOURCE_KEY="$APPLICATION\\Ondrimar"
readonly SERVICE_KEY='HKLM\SYSTEM\CurrentControlSet\Services\Ondrimar'
STEP=0

# session_where: the lines of the running script that led to the current
# call, outermost first ("console.sh:42 > console.sh:17"): the table's row,
# then the lines of the script's own functions it went through.
session_where() {
    local i where=''
    for ((i = ${#BASH_LINENO[@]} - 2; i >= 0; i--)); do
        [ "${BASH_SOURCE[i + 1]}" = "$0" ] || continue
        where+="${where:+ > }$(basename "$0"):${BASH_LINENO[i]}"
    done
    printf '%s' "${where:-$(basename "$0")}"
}

# session_keep_evidence STATUS: after a failed run (STATUS not 0, or a failed
# check), copies what the run left (outputs, traces, control files, the
# session's trace; not the prefix or executables) to
# SESSION_EVIDENCE/SESSION_NAME/ and says where; after a passing run, removes
# that folder's stale copy. SESSION_EVIDENCE defaults to build/wine-failures
# of this checkout, SESSION_NAME to the script's name.
session_keep_evidence() {
    local root kept
    root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
    kept=${SESSION_EVIDENCE:-$root/build/wine-failures}/${SESSION_NAME:-$(basename "$0" .sh)}
    rm -rf "$kept"
    [ "$1" -ne 0 ] || [ "$SESSION_FAILURES" -ne 0 ] || return 0
    mkdir -p "$kept" && (cd "$SESSION_DIR" &&
        find . -path ./prefix -prune -o -path ./tmp -prune -o -type f ! -iname '*.exe' -print0 |
        xargs -0r cp --parents -t "$kept") || return 0
    session_log "evidence kept in $kept"
}

# check WHAT ACTUAL EXPECTED
check() {
    [ "$2" = "$3" ] || session_fail "$1: \"$2\", expected \"$3\""
}

# row ARGS EXIT OUTPUT: brisvel.exe with the words of ARGS exits with EXIT
# and prints exactly OUTPUT (printf %b escapes; a text-mode console program
# writes every LF as CR LF). Its files are row.N.out and row.N.err.
row() {
    STEP=$((STEP + 1))
    ROW="row.$STEP"
    ROW_ARGS=$1
    # shellcheck disable=SC2086  # ARGS is a list of words
    session_run "$ROW" $1
    check "brisvel $1: exit code" "$SESSION_RC" "$2"
    printf '%b' "$3" | perl -pe 's/\n/\r\n/g' >"$SESSION_DIR/$ROW.want"
    if ! cmp -s "$SESSION_DIR/$ROW.want" "$SESSION_DIR/$ROW.out"; then
        session_fail "brisvel $1 printed \"$(cat -A "$SESSION_DIR/$ROW.out")\", expected \"$(cat -A "$SESSION_DIR/$ROW.want")\""
    fi
}

# reg_is [/reg:32|/reg:64] KEY VALUE EXPECTED: the value's type and bytes,
# as "TYPE \"BYTES\"" with \0 for a zero byte (see tests/wine/probes.cpp), or
# "none"; read in the registry view given, else in the helper's own.
reg_is() {
    local view=()
    [ $# -eq 3 ] || { view=("$1") && shift; }
    session_helper reg reg get "${view[@]}" "$1" "$2"
    # Nothing at all, not even an error: the helper never ran (Wine failed
    # to start it, seen once under load). Once more, then its error shown.
    if [ ! -s "$SESSION_DIR/reg.out" ]; then
        session_log "reg get $1 $2: no output (exit $SESSION_RC): $(head -c 300 "$SESSION_DIR/reg.err")"
        session_helper reg reg get "${view[@]}" "$1" "$2"
    fi
    check "${view[*]}${view:+ }$1 $2" "$(cat "$SESSION_DIR/reg.out")" "$3"
}

# esc TEXT: TEXT with its backslashes and quotes escaped as reg_is shows them.
esc() {
    local text=${1//\\/\\\\}
    printf '%s' "${text//\"/\\\"}"
}

# records_are FILE [RECORD...]: FILE traces exactly these event records,
# each "TYPE ID SID TEXT" (tab-separated, as session_records prints them).
records_are() {
    local file=$1 actual expected
    shift
    actual=$(session_records "$file")
    expected=$(printf '%s\n' "$@")
    [ $# -gt 0 ] || expected=
    check "records of $(basename "$file")" "$actual" "$expected"
}

# record TYPE ID SID TEXT: one record as session_records prints it.
record() {
    printf '%s\t%s\t%s\tL"%s"' "$1" "$2" "$3" "$(esc "$4")"
}

# sourced SOURCE TYPE ID TEXT: one record with a user SID, as since prints it.
sourced() { printf '"%s"\t%s' "$1" "$(record "$2" "$3" 1 "$4")"; }

# since MARK: the records the watchdog (process $watchdog) traced after
# MARK, with their sources; the time a start took, and how long a hang had
# lasted, show as "#". The stand-in's own records (a section it cannot
# publish) are not its.
since() {
    session_source_records <(tail -c +"$(($1 + 1))" "$SESSION_DIR/session.err" |
        grep -aE "^( *[0-9]+\.[0-9]{3}:)?0*$(printf '%x' "$watchdog"):") |
        sed -E -e 's/running [0-9]+ ms after/running # ms after/' \
            -e 's/ [0-9]+\.[0-9] s([,. ])/ # s\1/g'
}

# records_since WHAT MARK [RECORD...]: exactly these records after MARK;
# with WANT=TYPE set, exactly these of the records of that type.
records_since() {
    local what=$1 actual expected
    actual=$(since "$2" | awk -F '\t' -v want="${WANT:-}" 'want == "" || $2 == want')
    shift 2
    expected=$(printf '%s\n' "$@")
    [ $# -gt 0 ] || expected=
    check "$what" "$actual" "$expected"
}

# until_records MARK COUNT SECONDS: waits for COUNT records after MARK.
until_records() {
    local deadline=$((SECONDS + $3))
    until [ "$(since "$1" | wc -l)" -ge "$2" ]; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}

# std_handles_kept: the last row's process never passed a handle that
# GetStdHandle gave it to CloseHandle, as its relay trace shows (relay on,
# with +pid, for GetStdHandle and CloseHandle). A closed standard handle
# loses all later output on Windows, whose _dup2 closes before it
# duplicates; Wine's duplicates first and hides the loss.
std_handles_kept() {
    local closed
    grep -q 'GetStdHandle() retval=' "$SESSION_DIR/$ROW.err" || session_abort "no relay trace in $ROW.err"
    closed=$(perl -ne '
        $std{"$1:$2"} = 1 if /^([0-9a-f]+):[0-9a-f]+:Ret +\w+\.GetStdHandle\(\) retval=0*([0-9a-f]+)/;
        print "$2 " if /^([0-9a-f]+):[0-9a-f]+:Call +\w+\.CloseHandle\(0*([0-9a-f]+)\)/ && $std{"$1:$2"};
    ' "$SESSION_DIR/$ROW.err")
    check "standard handles closed by brisvel $ROW_ARGS" "$closed" ""
}

# errtext CODE: the system's text for CODE in this prefix.
errtext() {
    session_helper errtext errtext "$1"
    [ "$SESSION_RC" -eq 0 ] && [ -s "$SESSION_DIR/errtext.out" ] || session_abort "no system text for $1"
    cat "$SESSION_DIR/errtext.out"
}

# gone WINDOWS_PATH: waits up to 10 s for the program's processes to end.
gone() {
    local deadline=$((SECONDS + 10))
    while [ -n "$(session_processes "$1")" ]; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

# until_calls PID FUNCTION COUNT [MARK]: waits up to 10 s for PID's COUNTth
# call of FUNCTION after MARK.
until_calls() {
    local deadline=$((SECONDS + 10))
    until [ "$(session_calls "$1" "$2" "${4:-0}")" -ge "$3" ]; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

# ticks PID FUNCTION [MARK]: the ticks (GetTickCount's milliseconds) of the
# process's calls of FUNCTION after MARK, one per line, from a session traced
# with +timestamp.
ticks() {
    tail -c +"$((${3:-0} + 1))" "$SESSION_DIR/session.err" |
        grep -aE "^ *[0-9]+\.[0-9]{3}:0*$(printf '%x' "$1"):[0-9a-f]+:trace:service:$2 " |
        cut -d : -f 1 | tr -d ' .'
}

# deleted: waits up to 8 s for "Ondrimar" to leave the database, which a
# deleted service does once it is stopped and its last handle is closed.
deleted() {
    local deadline=$((SECONDS + 8))
    while session_ctl gone Ondrimar && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.1; done
    session_expect_step gone 1 "use Ondrimar" error=1060
}

# scenario_begin BRISVEL_EXE HELPER_EXE: a prefix and a Wine session of the
# scenario's own, ended however the scenario ends.
scenario_begin() {
    session_init "$1" "$2"
    session_start
}
