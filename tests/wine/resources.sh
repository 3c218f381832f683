#!/usr/bin/env bash
# The resources, imports and machine type of brisvel.exe, read back with
# binutils (windres -O rc, objdump -p and -f) as the loader and Explorer
# find them; the message table's texts are checked through FormatMessage in
# events.sh. Both architectures carry the same resources; only the
# manifest's processorArchitecture differs, in Windows' own words (x86,
# amd64): a manifest naming another architecture than the exe's stops the
# loader with a side-by-side error.
#
# usage: resources.sh BRISVEL_EXE OBJDUMP x86|x64
set -uo pipefail
[ $# -eq 3 ] || { echo "usage: $0 BRISVEL_EXE OBJDUMP x86|x64" >&2 && exit 2; }
failures=0
case "$3" in
x86) format=pei-i386 manifest_arch=x86 ;;
x64) format=pei-x86-64 manifest_arch=amd64 ;;
*) echo "usage: $0 BRISVEL_EXE OBJDUMP x86|x64" >&2 && exit 2 ;;
esac
# windres -O rc doubles the quotes inside the manifest's text: undo that.
rc=$("${2%objdump}windres" --input-format=coff -i "$1" -O rc | sed 's/""/"/g')
imports=$("$2" -p "$1" | sed -n 's/^\tDLL Name: //p' | sort | paste -sd ' ')
found_format=$("$2" -f "$1" | sed -n 's/.*file format //p')

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
expect 1     "name=\"Brisvel.Watchdog\" version=\"1.0.0.1\" processorArchitecture=\"$manifest_arch\"/>"
expect 1     '<requestedExecutionLevel '
expect 1     '<requestedExecutionLevel level="requireAdministrator" uiAccess="false"/>'
expect 1     '1 11 /* RT_MESSAGETABLE */'
expect 1     '   MessageId = 0x40000000'
expect 1     '   MessageId = 0x80000001'
expect 1     '   MessageId = 0xc0000002'

if [ "$found_format" != "$format" ]; then
    echo "FAIL: file format $found_format, expected $format" >&2
    failures=$((failures + 1))
fi
if [ "$imports" != "ADVAPI32.dll KERNEL32.dll WS2_32.dll msvcrt.dll" ]; then
    echo "FAIL: imports $imports" >&2
    failures=$((failures + 1))
fi
[ "$failures" -eq 0 ] || printf '%s\n' "--- resources found:" "$rc" >&2
[ "$failures" -eq 0 ]
