#!/usr/bin/env bash
# The resources and imports of brisvel.exe, read back with binutils
# (windres -O rc, objdump -p) as the loader and Explorer find them; the
# message table's texts are checked through FormatMessage in events.sh.
#
# usage: resources.sh BRISVEL_EXE OBJDUMP
set -uo pipefail
failures=0
# windres -O rc doubles the quotes inside the manifest's text: undo that.
rc=$("${2%objdump}windres" --input-format=coff -i "$1" -O rc | sed 's/""/"/g')
imports=$("$2" -p "$1" | sed -n 's/^\tDLL Name: //p' | sort | paste -sd ' ')

# expect TIMES TEXT: TEXT appears on exactly TIMES lines of the resources.
expect() {
    local found
    found=$(grep -cF -- "$2" <<<"$rc")
    if [ "$found" -ne "$1" ]; then
        echo "FAIL: \"$2\" on $found line(s), expected $1" >&2
        failures=$((failures + 1))
    fi
}
#      TIMES TEXT
expect 1     'VERSIONINFO'
expect 1     ' FILEVERSION 1, 0, 0, 1'
expect 1     ' PRODUCTVERSION 1, 0, 0, 1'
expect 1     'VALUE "FileVersion", "1, 0, 0, 1"'
expect 1     'VALUE "ProductVersion", "1, 0, 0, 1"'
expect 1     'BLOCK "0'
expect 1     'BLOCK "041204b0"'
expect 1     'VALUE "Translation", 0x412, 1200'
expect 1     '1 24 /* RT_MANIFEST */'
expect 1     '<requestedExecutionLevel '
expect 1     '<requestedExecutionLevel level="requireAdministrator" uiAccess="false"/>'
expect 1     '1 11 /* RT_MESSAGETABLE */'
expect 1     '   MessageId = 0x40000000'
expect 1     '   MessageId = 0x80000001'
expect 1     '   MessageId = 0xc0000002'

if [ "$imports" != "ADVAPI32.dll KERNEL32.dll WS2_32.dll msvcrt.dll" ]; then
    echo "FAIL: imports $imports" >&2
    failures=$((failures + 1))
fi
[ "$failures" -eq 0 ] || printf '%s\n' "--- resources found:" "$rc" >&2
[ "$failures" -eq 0 ]
