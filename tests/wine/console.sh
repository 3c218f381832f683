#!/usr/bin/env bash
# The watchdog's console life, installed by itself as "Ondrimar", and its
# service side: install, start, pause, interrogate, continue, stop, remove,
# each twice, with exact output and exit codes; the service's settings; the
# status the service manager hands out after each control; and, run from a
# prompt, the one error record of the failed dispatcher.
#
# usage: console.sh BRISVEL_EXE HELPER_EXE
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/steps.sh"
scenario_begin "$1" "$2"

exe=$(session_winpath "$SESSION_EXE")
# Every brisvel.exe run here is traced where it gets and closes handles.
session_helper relay reg set 'HKCU\Software\Wine\Debug' RelayInclude 1 \
    'kernel32.GetStdHandle;kernelbase.GetStdHandle;kernel32.CloseHandle;kernelbase.CloseHandle\0'
SESSION_RUN_WINEDEBUG+=,+relay,+pid
#   ARGS EXIT OUTPUT
row -i 1 'Ondrimar installed.\n'
std_handles_kept
records_are "$SESSION_DIR/$ROW.err" "$(record $INFORMATION_RECORD 0x40000000 1 'Service installed')"
reg_is "$SERVICE_KEY" Type '4 "\x10\0\0\0"'
reg_is "$SERVICE_KEY" Start '4 "\x02\0\0\0"'
reg_is "$SERVICE_KEY" ErrorControl '4 "\x01\0\0\0"'
reg_is "$SERVICE_KEY" ImagePath "1 \"$(esc "\"$exe\"")\\0\""
reg_is "$SERVICE_KEY" ObjectName '1 "LocalSystem\0"'
reg_is "$SOURCE_KEY" EventMessageFile "2 \"$(esc "$exe")\\0\""
reg_is "$SOURCE_KEY" TypesSupported '4 "\x07\0\0\0"'
row -i 0 "CreateService failed - $(errtext 1073)\n"
std_handles_kept
records_are "$SESSION_DIR/$ROW.err"
row -s 1 'Starting up Ondrimar.\nOndrimar started.\n'
[ "$SESSION_RUN_MS" -ge 1000 ] || session_fail "-s returned after $SESSION_RUN_MS ms, before its first poll"

# From a prompt the dispatcher fails after about 10 s: run a copy alongside
# the rest. Not before this: Wine's dispatcher connects to the control pipe
# of the service the service manager started last, and a prompt process
# slow to reach it (under load) could take the place of a service being
# started. Now that service runs, and no other starts while the copy waits.
mkdir prompt && cp "$SESSION_EXE" prompt/ || session_abort "cannot copy brisvel.exe"
(
    SESSION_EXE=prompt/$(basename "$SESSION_EXE") session_run prompt
    exit "$SESSION_RC"
) &
prompt=$!

# Pause, interrogate, continue, interrogate: each answered with the status
# the service reported, which the service manager then hands out. Start
# pending twice and pause pending took check points 1 to 3.
session_ctl controls Ondrimar query control $PAUSE query control $INTERROGATE query control $CONTINUE query control $INTERROGATE query
pid=$(session_field controls 2 pid)
readonly ACCEPTED=$((ACCEPT_STOP | ACCEPT_PAUSE_CONTINUE | ACCEPT_SHUTDOWN))
#                          LINE STEP        RESULT STATUS
session_expect_step controls 2 query ok state=$RUNNING checkpoint=0 waithint=3000 accepted=$ACCEPTED
session_expect_step controls 3 "control $PAUSE" ok state=$PAUSED checkpoint=4
session_expect_step controls 4 query ok state=$PAUSED checkpoint=4 waithint=3000 accepted=$ACCEPTED
session_expect_step controls 5 "control $INTERROGATE" ok state=$PAUSED checkpoint=5
session_expect_step controls 6 query ok state=$PAUSED checkpoint=5 waithint=3000 accepted=$ACCEPTED
session_expect_step controls 7 "control $CONTINUE" ok state=$RUNNING checkpoint=0
session_expect_step controls 8 query ok state=$RUNNING checkpoint=0 waithint=3000 accepted=$ACCEPTED
session_expect_step controls 9 "control $INTERROGATE" ok state=$RUNNING checkpoint=0
session_expect_step controls 10 query ok state=$RUNNING checkpoint=0 waithint=3000 accepted=$ACCEPTED

row -s 0 "Starting up Ondrimar.\nOndrimar failed to start: $(errtext 1056)\n"
row -e 1 'Stopping Ondrimar.\nOndrimar stopped.\n'
gone "$exe" || session_fail "the service's process runs on after it stopped"
# A stop asked for is a clean stop: no exit code of either kind.
session_ctl stopped Ondrimar query
session_expect_step stopped 2 query ok state=$STOPPED win32exit=0 specificexit=0
# It watched the service "Ondrimar", itself: looked, found it running,
# started nothing.
[ "$(session_calls "$pid" OpenServiceA)" -ge 1 ] || session_fail "the watchdog never looked"
check "the watchdog's start requests" "$(session_calls "$pid" StartServiceW)" 0
row -e 0 ''
row -u 1 'Ondrimar removed.\n'
std_handles_kept
session_ctl removed Ondrimar
session_expect_step removed 1 "use Ondrimar" error=1060
reg_is "$SOURCE_KEY" EventMessageFile none
row -u 0 "OpenService failed - $(errtext 1060)\n"
std_handles_kept

wait "$prompt"
check "exit code from a prompt" "$?" 0
records_are "$SESSION_DIR/prompt.err" "$(record $ERROR_RECORD 0xc0000002 1 "$(errtext 1063)")"
session_finish
