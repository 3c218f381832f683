#!/usr/bin/env bash
# Where and how brisvel.exe installs itself: the "Sources" list of the
# Application log gaining and losing "Ondrimar" byte by byte, whatever shape
# it had; a path with spaces; an account; Windows 9x mode.
#
# usage: install.sh BRISVEL_EXE HELPER_EXE
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/steps.sh"
scenario_begin "$1" "$2"

# "Sources" before -i, after -i, after -u (type and bytes, or none).
sources() {
    if [ "$1" = none ]; then
        session_helper reg reg delete "$APPLICATION" Sources
    else
        local bytes=${1#* }
        session_helper reg reg set "$APPLICATION" Sources "${1%% *}" "${bytes:1:-1}"
    fi
    row -i 1 'Ondrimar installed.\n'
    reg_is "$APPLICATION" Sources "$2"
    row -u 1 'Ondrimar removed.\n'
    reg_is "$APPLICATION" Sources "$3"
}
# "Alpha" is stored without its NUL (the helper writes it from a buffer
# whose next byte is not NUL: RegSetValueExA would count that NUL otherwise).
#       BEFORE                             AFTER -i                                AFTER -u
sources none                               none                                    none
sources '7 "Alpha\0Beta\0\0"'              '7 "Alpha\0Beta\0Ondrimar\0\0"'          '7 "Alpha\0Beta\0\0"'
sources '1 "Alpha\0\0"'                    '1 "Alpha\0Ondrimar\0\0"'                '1 "Alpha\0\0"'
sources '7 "\0"'                           '7 "Ondrimar\0\0"'                       '7 "\0"'
sources '7 "Alpha\0Beta\0"'                '7 "Alpha\0Beta\0Ondrimar\0"'            '7 "Alpha\0Beta\0\0"'
sources '7 "Alpha"'                        '7 "Alpha\0Ondrimar\0\0"'                '7 "Alpha\0\0"'
sources '7 "Ondrimar\0Alpha\0\0"'          '7 "Ondrimar\0Alpha\0\0"'                '7 "Alpha\0\0"'
sources '7 "ondrimar\0Ondrimar\0Ondrimar\0\0"' '7 "ondrimar\0Ondrimar\0Ondrimar\0\0"' '7 "ondrimar\0\0"'

# From a folder with spaces: the image path quoted (else the service
# manager could run "C:\Program.exe"), the message file plain; the quoted
# path starts, and -u stops the running service before removing it.
program='C:\Program Files\Brisvel Test\brisvel.exe'
mkdir -p "prefix/drive_c/Program Files/Brisvel Test" &&
    cp "$SESSION_EXE" "prefix/drive_c/Program Files/Brisvel Test/brisvel.exe" || session_abort "no copy"
SESSION_EXE=$program
row -i 1 'Ondrimar installed.\n'
reg_is "$SERVICE_KEY" ImagePath "1 \"$(esc "\"$program\"")\\0\""
reg_is "$SOURCE_KEY" EventMessageFile "2 \"$(esc "$program")\\0\""
row -s 1 'Starting up Ondrimar.\nOndrimar started.\n'
row -u 1 'Stopping Ondrimar.\nOndrimar stopped.\nOndrimar removed.\n'
reg_is "$SERVICE_KEY" ImagePath none
# The stopped service's process gone before the next row: a run of the same
# program started while it still exits was once seen to do nothing at all.
gone "$program" || session_fail "the removed service's process still runs"

# An account and its password (Wine accepts any).
row '-i -l .\brisvel-test -p Pa55word' 1 'Ondrimar installed.\n'
reg_is "$SERVICE_KEY" ObjectName '1 ".\\brisvel-test\0"'
row -u 1 'Ondrimar removed.\n'

# Windows 9x: no service manager calls, nothing printed, a "RunServices"
# value holding the path.
session_wine win98 reg add 'HKCU\Software\Wine\AppDefaults\brisvel.exe' /v Version /d win98 /f
readonly RUN_SERVICES='HKLM\Software\Microsoft\Windows\CurrentVersion\RunServices'
row -i 1 ''
records_are "$SESSION_DIR/$ROW.err"
reg_is "$RUN_SERVICES" Ondrimar "2 \"$(esc "$program")\\0\""
reg_is "$SERVICE_KEY" ImagePath none
row -u 1 ''
reg_is "$RUN_SERVICES" Ondrimar none
row -u 1 ''
session_finish
