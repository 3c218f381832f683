#!/usr/bin/env bash
# Test: the resources built into brisvel.exe, read back from the file's own
# resource directory (tools/resinfo.pl), as the Windows loader and Explorer
# find them:
#   - a 32-bit (i386) console executable;
#   - one version resource, language 0x0412, with file and product version
#     1.0.0.1 in the fixed part and "1, 0, 0, 1" in the texts, one string
#     block "041204b0" (0x0412, code page 1200) with a file description and
#     a product name, and the translation 0x0412 / 1200 and nothing else;
#   - one application manifest (resource 1) with a single
#     requestedExecutionLevel: level "requireAdministrator", uiAccess
#     "false", inside the asm.v3 trustInfo.
# No Wine needed.
#
# usage: resources.sh BRISVEL_EXE
set -uo pipefail

RESINFO="$(dirname "${BASH_SOURCE[0]}")/tools/resinfo.pl"
readonly RESINFO
failures=0

fail() {
    failures=$((failures + 1))
    printf 'FAIL: %s\n' "$*" >&2
}

if [ $# -ne 1 ] || [ ! -f "$1" ]; then
    echo "usage: $0 BRISVEL_EXE" >&2
    exit 2
fi
if ! facts=$(perl "$RESINFO" "$1"); then
    echo "ABORT: cannot read the resources of $1" >&2
    exit 2
fi

# expect FACT: the line FACT is there, exactly once.
expect() {
    local count
    count=$(grep -cxF -- "$1" <<<"$facts")
    if [ "$count" -ne 1 ]; then
        fail "\"$1\" found $count time(s), expected once"
    fi
}

# expect_count PATTERN N: N lines match the extended regular expression.
expect_count() {
    local count
    count=$(grep -cE -- "$1" <<<"$facts")
    if [ "$count" -ne "$2" ]; then
        fail "$count line(s) match /$1/, expected $2"
    fi
}

# expect_text NAME: the string block has a non-empty text NAME.
expect_text() {
    if ! grep -qE -- "^string 041204b0 $1 .*[^ ]" <<<"$facts"; then
        fail "no text \"$1\" in the string block 041204b0"
    fi
}

expect "pe machine 0x14c"
expect "pe subsystem 3"

# Version information.
expect_count '^resource 16 ' 1
expect "resource 16 1 0x0412"
expect "fixed signature 0xfeef04bd"
expect "fixed fileversion 1.0.0.1"
expect "fixed productversion 1.0.0.1"
expect "fixed filetype 1"
expect_count '^stringtable ' 1
expect "stringtable 041204b0"
expect "string 041204b0 FileVersion 1, 0, 0, 1"
expect "string 041204b0 ProductVersion 1, 0, 0, 1"
expect "string 041204b0 OriginalFilename brisvel.exe"
expect_text FileDescription
expect_text ProductName
expect_count '^translation ' 1
expect "translation 0x0412 1200"

# Manifest.
expect_count '^resource 24 ' 1
expect_count '^resource 24 1 ' 1
expect "manifest executionlevels 1"
expect "manifest level requireAdministrator"
expect "manifest uiAccess false"
expect "manifest trustinfo urn:schemas-microsoft-com:asm.v3"

if [ "$failures" -ne 0 ]; then
    printf '%s\n' "--- resources found:" "$facts" >&2
    echo "$(basename "$0"): $failures check(s) failed" >&2
    exit 1
fi
exit 0
