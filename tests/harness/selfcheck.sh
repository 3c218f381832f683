#!/usr/bin/env bash
# The harness proves that it can fail, before anything else runs, in a
# second and without Wine: small scenarios source the scenarios' library
# (tests/wine/steps.sh) as the Wine scenarios do, and each must end as a
# scenario with that outcome ends; then every command word of the scripts
# of tests/, tools/, scripts/ and bench/ must be a function some script
# defines, a builtin or a program on PATH (tests/harness/calls.pl reads
# them), and the reader must see a call planted in a script of its own.
#
# usage: tests/harness/selfcheck.sh   (exit 1 when the harness could not fail)
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/brisvel-selfcheck.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0

bad() {
    echo "selfcheck: $*" >&2
    failures=$((failures + 1))
}

# scenario NAME LINE...: a scenario NAME.sh of these lines, after the line
# that sources the library (so its first LINE is line 3).
scenario() {
    local name=$1
    shift
    {
        echo '#!/usr/bin/env bash'
        echo "source '$root/tests/wine/steps.sh'"
        printf '%s\n' "$@"
    } >"$work/$name.sh"
}

# ends NAME EXIT LINE...: NAME.sh exits with EXIT and its standard error is
# exactly the LINEs.
ends() {
    local name=$1 want=$2 rc
    shift 2
    # In a subshell of its own, whose "Terminated" notice of a killed
    # scenario is not the scenario's output.
    rc=$( (bash "$work/$name.sh" >"$work/$name.out" 2>"$work/$name.err" && echo 0) 2>/dev/null || echo $?)
    [ "$rc" -eq "$want" ] || bad "$name.sh exited with $rc, expected $want"
    if [ "$(cat "$work/$name.err")" != "$(printf '%s\n' "$@")" ]; then
        bad "$name.sh printed on standard error:"
        sed 's/^/    /' "$work/$name.err" >&2
        echo "  expected:" >&2
        printf '    %s\n' "$@" >&2
    fi
}

#        NAME      LINES FROM LINE 3
scenario passes 'check "same" 1 1' 'session_finish'
scenario fails 'twice() { check "$1" "$2" 2; }' 'check "the answer" 41 42' 'twice "inner" 1' \
    'check "after them" 1 1' 'session_log "went on"' 'session_finish'
scenario aborts 'session_abort "no prefix"' 'session_log "not reached"'
scenario unknown 'no_such_function 1' 'session_log "not reached"' 'session_finish'

#    NAME     EXIT  STANDARD ERROR
ends passes   0
ends fails    1 'FAIL fails.sh:4: the answer: "41", expected "42"' \
    'FAIL fails.sh:5 > fails.sh:3: inner: "1", expected "2"' 'went on' 'fails.sh: 2 check(s) failed'
ends aborts   2 'ABORT aborts.sh:3: no prefix'
ends unknown  143 'ABORT unknown.sh:3: no_such_function: command not found'

# missing SCRIPT...: the command words of the SCRIPTs that nothing defines,
# no builtin or keyword is and no program on PATH answers to, each with
# where it is called; a program the script itself looks for with
# "command -v" is left out.
missing() {
    local word where builtins
    perl "$root/tests/harness/calls.pl" "$@" >"$work/calls" || return 1
    # Listed once: a grep -q that stops reading at its match would end the
    # listing early, and under pipefail make the builtin look undefined.
    builtins=$(compgen -b -k)
    awk '$1 != "define" { print $1 }' "$work/calls" | sort -u | while read -r word; do
        grep -qxF "define $word" "$work/calls" && continue
        grep -qxF "$word" <<<"$builtins" && continue
        type -P "$word" >/dev/null && continue
        where=$(grep -m1 "^$word " "$work/calls" | cut -d ' ' -f 2)
        grep -qF "command -v $word" "${where%:*}" && continue
        printf '%s (%s)\n' "$word" "$where"
    done
}

mapfile -t scripts < <(cd "$root" &&
    find "$root/tests" "$root/tools" "$root/scripts" "$root/bench" "$root/package" "$root/.ci" \
        -type f \( -name '*.sh' -o -path "$root/.ci/run" \) | sort)
[ "${#scripts[@]}" -ge 20 ] || bad "only ${#scripts[@]} scripts found"
undefined=$(missing "${scripts[@]}")
[ -z "$undefined" ] || bad "called, and defined nowhere: $undefined"
# The reader sees a call it must report (the misspelt name made here, so that
# no reader of this file takes it for a call).
typo=session_$'l\x67o'
scenario planted "if session_log x && $typo y; then :; fi"
check_planted=$(missing "${scripts[@]}" "$work/planted.sh")
[ "$check_planted" = "$typo ($work/planted.sh:3)" ] ||
    bad "a planted call of an undefined function went unseen: \"$check_planted\""

[ "$failures" -eq 0 ] || exit 1
echo "selfcheck: the harness fails, aborts and passes as it should; ${#scripts[@]} scripts call only what is defined"
