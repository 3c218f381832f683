#!/usr/bin/env bash
# A copy of publisher/, alone on the include path, builds the README's
# example for the monitored software's developers as C and as C++, warnings
# as errors, linked with advapi32 only: the header needs nothing else of
# Brisvel, and the README shows calls that exist.
#
# usage: publisher-header.sh SOURCE_DIR C_COMPILER CXX_COMPILER
set -uo pipefail
[ $# -eq 3 ] || { echo "usage: $0 SOURCE_DIR C_COMPILER CXX_COMPILER" >&2 && exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/brisvel-publisher.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp -r "$1/publisher" "$work/" || exit 2
example=$(awk '/^```c$/ { inside = 1; next } /^```$/ && inside { exit } inside' "$1/README.md")
[ -n "$example" ] || { echo "FAIL: no \`\`\`c example in README.md" >&2 && exit 1; }
{
    printf '#include "LiveCheckPublisher.h"\n'
    printf 'static void Alarm(DWORD error) { (void)error; }\n'
    printf 'int main(void) {\n%s\nreturn 0;\n}\n' "$example"
} >"$work/example.c"

failures=0
# build LANGUAGE COMPILER FLAGS...
build() {
    local language=$1 compiler=$2
    shift 2
    if ! "$compiler" -x "$language" "$@" -Wall -Wextra -Werror -I "$work/publisher" \
        "$work/example.c" -o "$work/example-$language.exe" -static -ladvapi32; then
        echo "FAIL: the example does not build as $language" >&2
        failures=$((failures + 1))
    fi
}
build c "$2" -std=c99 -pedantic
build c++ "$3" -std=c++17
[ "$failures" -eq 0 ]
