# shellcheck shell=bash
# The checks the release tests are written in. Each test is a table of
# steps; a failed check is reported and the table goes on; finish ends the
# test, failing when a check failed. Work files go to a temporary folder,
# removed however the test ends.
#
# usage (from a test): source steps.sh

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=../../package/package.sh
source "$ROOT/package/package.sh"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/brisvel-release.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK" || exit 2
FAILURES=0
# One time stamp for every package the tests make: SOURCE_DATE_EPOCH, as
# release.sh would take it from a commit.
export SOURCE_DATE_EPOCH=1700000000

fail() {
    echo "FAIL: $*" >&2
    FAILURES=$((FAILURES + 1))
}

# check WHAT ACTUAL EXPECTED
check() {
    [ "$2" = "$3" ] || fail "$1: \"$2\", expected \"$3\""
}

# same WHAT FILE1 FILE2: the two files have the same bytes.
same() {
    cmp -s "$2" "$3" || fail "$1: $2 and $3 differ ($(cmp "$2" "$3" 2>&1 | head -n 1))"
}

# checkout DIR: a copy of the source tree (without build/, dist/ and .git) in
# DIR, as another clone would be.
checkout() {
    mkdir -p "$1" &&
        tar -C "$ROOT" --exclude=./build --exclude=./dist --exclude=./.git -cf - . | tar -C "$1" -xf - ||
        { echo "ABORT: cannot copy the tree to $1" >&2 && exit 2; }
}

# release DIR EXIT [COMMAND...]: scripts/release.sh of the tree in DIR, run
# through COMMAND (such as faketime), exits with EXIT; its output in
# DIR/release.out.
release() {
    local dir=$1 want=$2 rc=0
    shift 2
    (cd "$dir" && "$@" scripts/release.sh) >"$dir/release.out" 2>&1 || rc=$?
    check "release.sh in $dir: exit code" "$rc" "$want"
    [ "$rc" = "$want" ] || cat "$dir/release.out" >&2
}

finish() {
    if [ "$FAILURES" -ne 0 ]; then
        echo "$(basename "$0"): $FAILURES check(s) failed" >&2
        exit 1
    fi
    exit 0
}
