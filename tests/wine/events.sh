#!/usr/bin/env bash
# What an administrator reads in the event log of set-up A: brisvel.exe as
# the service "BrisvelWatch", the helper as the stand-in "Ondrimar". Records
# come from the session's trace, each with the source it went under.
#
#   - the message table renders each identifier's one string as it is;
#   - no record, and no service-manager call, while the flag says "1"; no
#     record while it does not and the stand-in runs;
#   - a restart: one information record under "BrisvelWatch" with the
#     section's bytes printable and cut short, and how long the start took;
#   - nine restarts more within the minute, and a tenth after a refusal: no
#     record each, one when the minute ends, with their number;
#   - the stand-in disabled while stopped, or while the watchdog retries it:
#     one warning, not one a second; one more once a start is accepted and
#     it is disabled again;
#   - a section only reserved: "could not be read";
#   - the console's record (-i) stays under "Ondrimar".
#
# usage: events.sh BRISVEL_EXE HELPER_EXE
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/steps.sh"
scenario_begin "$1" "$2"

# 1. Event Viewer's call: each identifier with one insert gives the insert,
#    byte for byte, nothing added (a line end, a trailing text).
exe=$(session_winpath "$SESSION_EXE")
#        ID         INSERT
for row in "0x40000000 Service installed" \
    "0x80000001 cannot start Ondrimar: it is disabled." \
    "0xc0000002 C:\\dir\\ 100% %1 %%2 %0 %n ends"; do
    read -r id insert <<<"$row"
    session_helper text message "$exe" "$id" "$insert"
    check "message $id: exit code" "$SESSION_RC" 0
    check "message $id with \"$insert\"" "$(od -An -c "$SESSION_DIR/text.raw")" \
        "$(printf '%s' "$insert" | od -An -c)"
done

# 2. The flag says "1": the watchdog neither calls the service manager nor
#    writes anything.
session_install_pair
session_ctl up Ondrimar start wait $RUNNING 5000 use BrisvelWatch start wait $RUNNING 5000
standin=$(session_field up 3 pid)
watchdog=$(session_field up 6 pid)
mark=$(session_mark)
session_ctl healthy Ondrimar hold $RUNNING 3000
session_expect_step healthy 2 "hold $RUNNING 3000" ok "pid=$standin"
check "service-manager calls while the flag says 1" "$(session_calls "$watchdog" '[A-Za-z]+' "$mark")" 0
records_since "records while the flag says 1" "$mark"

# 3. A section of forged lines, quotes, percent signs and raw bytes, longer
#    than a record shows: the watchdog looks, finds the stand-in running and
#    writes nothing. The stand-in crashes: one record, the bytes escaped and
#    cut after 16.
session_spawn forged holding "$SESSION_HELPER" forge \
    '0\x0d\x0a\x09\x22\x25\x251\x22\x5c\x01\xe9 Fake line follows' ||
    session_abort "cannot hold a forged section"
mark=$(session_mark)
until_calls "$watchdog" OpenServiceA 2 "$mark" || session_fail "no look at the forged section"
records_since "records while the flag is not 1 and the stand-in runs" "$mark"
mark=$(session_mark)
session_ctl crash Ondrimar control $CRASH wait $RUNNING 5000
session_expect_step crash 3 "wait $RUNNING 5000" ok
[ "$(session_field crash 3 pid)" != "$standin" ] || session_fail "the crashed stand-in not restarted"
session_end forged
until_records "$mark" 1 3 || session_fail "no record of the restart"
first=${EPOCHREALTIME/./}
restart=$(sourced BrisvelWatch $INFORMATION_RECORD 0x40000000 'The watchdog started the service Ondrimar: it was not running, and the section Ondrimar_LiveCheck held "0\r\n\t\"\x25\x251\"\\\x01\xe9 Fak" and more. Ondrimar was running # ms after the start.')
records_since "the restart's record" "$mark" "$restart"
took=$(tail -c +"$((mark + 1))" "$SESSION_DIR/session.err" | grep -oE 'running [0-9]+ ms' | grep -oE '[0-9]+')
[ "${took:-0}" -ge 1 ] && [ "${took:-0}" -le 5000 ] || session_fail "the start took \"$took\" ms"

# 4. Nine restarts more within the minute: counted, not recorded one by one.
#    Then the stand-in disabled and stopped: the watchdog's start is refused,
#    one warning however many checks follow. Enabled again, it is started:
#    a tenth start in the minute. When the minute after the first record
#    ends, one record gives their number and the last one's section, gone
#    with the stopped stand-in.
#    Each stand-in runs 1.2 s, time for the watchdog to see it run and end
#    its restart, so that each crash is a restart of its own.
for ((restarts = 2; restarts <= 10; restarts++)); do
    standin=$(session_field crash 3 pid)
    session_ctl crash Ondrimar control $CRASH wait $RUNNING 5000 hold $RUNNING 1200
    session_expect_step crash 4 "hold $RUNNING 1200" ok &&
        [ "$(session_field crash 4 pid)" != "$standin" ] ||
        session_fail "restart $restarts: the stand-in not running in a new process"
done
records_since "records of ten restarts within the minute" "$mark" "$restart"
disabled=$(sourced BrisvelWatch $WARNING_RECORD 0x80000001 'The watchdog cannot start the service Ondrimar: it is disabled. It goes on checking, and records nothing more about this until a start succeeds.')
session_ctl parked Ondrimar config $DISABLED control $STOP wait $STOPPED 5000
until_records "$mark" 2 5 || session_fail "no warning when the stopped stand-in was disabled"
refused=$(session_mark)
until_calls "$watchdog" OpenServiceA 3 "$refused" || session_fail "no look after the warning"
session_ctl back Ondrimar config $DEMAND_START wait $RUNNING 5000
session_expect_step back 3 "wait $RUNNING 5000" ok
[ $((${EPOCHREALTIME/./} - first)) -lt 55000000 ] || session_abort "the minute's restarts took over 55 s"
records_since "records within the minute" "$mark" "$restart" "$disabled"
until_records "$mark" 3 70 || session_fail "no record when the minute ended"
gap=$(((${EPOCHREALTIME/./} - first) / 1000))
[ "$gap" -ge 59000 ] || session_fail "the minute's record came $gap ms after the first"
counted=$(sourced BrisvelWatch $INFORMATION_RECORD 0x40000000 'The watchdog started the service Ondrimar 10 more times since its previous record. The last time, the section Ondrimar_LiveCheck did not exist. Ondrimar was running # ms after the last start.')
records_since "records of a minute" "$mark" "$restart" "$disabled" "$counted"

# 5. A watchdog started anew, the stand-in stopped and the section only
#    reserved (Wine lets "1" be written into it): a restart at once, the
#    section "could not be read".
#    The stand-in's process holds the section until it ends, a while after
#    it reported stopped when the machine is busy.
session_ctl off BrisvelWatch control $STOP wait $STOPPED 5000 use Ondrimar query control $STOP wait $STOPPED 5000
ended=$(session_field off 5 pid)
session_ctl off_ended Ondrimar ends "$ended" 10000
session_expect_step off_ended 2 "ends $ended 10000" ok
session_spawn reserve holding "$SESSION_HELPER" reserve 1 || session_abort "no reserved section"
mark=$(session_mark)
session_ctl unreadable BrisvelWatch start wait $RUNNING 5000 use Ondrimar wait $RUNNING 5000
watchdog=$(session_field unreadable 3 pid)
until_records "$mark" 1 3 || session_fail "no record of the restart from a reserved section"
records_since "a restart from a reserved section" "$mark" "$(sourced BrisvelWatch $INFORMATION_RECORD 0x40000000 'The watchdog started the service Ondrimar: it was not running, and the section Ondrimar_LiveCheck could not be read. Ondrimar was running # ms after the start.')"
session_end reserve

#    A stand-in that keeps failing to start, disabled while the watchdog
#    retries it: one warning, and nothing more through three more refused
#    checks. Enabled, a start accepted, disabled again: one more. The
#    starts themselves: one record at once, the rest counted.
session_ctl off BrisvelWatch control $STOP wait $STOPPED 5000 use Ondrimar control $STOP delete
deleted
session_wine create sc create Ondrimar binpath= "$STANDIN_EXE service fail" start= demand
[ "$SESSION_RC" -eq 0 ] || session_abort "cannot create the failing stand-in"
mark=$(session_mark)
session_ctl failing BrisvelWatch start wait $RUNNING 5000
watchdog=$(session_field failing 3 pid)
until_calls "$watchdog" StartServiceW 3 "$mark" || session_fail "no retry of the failing stand-in"
session_ctl disable Ondrimar config $DISABLED
until_records "$mark" 2 5 || session_fail "no records when the stand-in was disabled"
refused=$(session_mark)
until_calls "$watchdog" OpenServiceA 3 "$refused" || session_fail "no look after the warning"
WANT=$WARNING_RECORD records_since "warnings of a disabled stand-in" "$mark" "$disabled"
session_ctl enable Ondrimar config $DEMAND_START
enabled=$(session_mark)
until_calls "$watchdog" StartServiceW 2 "$enabled" || session_fail "no start once enabled"
session_ctl disable Ondrimar config $DISABLED
until_records "$mark" 3 5 || session_fail "no warning when the stand-in was disabled again"
WANT=$WARNING_RECORD records_since "warnings of a stand-in disabled twice" "$mark" "$disabled" "$disabled"
starts=$(since "$mark" | awk -F '\t' -v want=$INFORMATION_RECORD '$2 == want')
[ "$(wc -l <<<"$starts")" -eq 1 ] &&
    [[ $starts == '"BrisvelWatch"'*'Ondrimar was still not running when the next start was refused."' ]] ||
    session_fail "the record of the starts before the refusal: \"$starts\""

# 6. The console's record goes under "Ondrimar", as before.
session_ctl gone BrisvelWatch control $STOP wait $STOPPED 5000 use Ondrimar delete
deleted
row -i 1 'Ondrimar installed.\n'
check "the console's records" "$(session_source_records "$SESSION_DIR/$ROW.err")" \
    "$(sourced Ondrimar $INFORMATION_RECORD 0x40000000 'Service installed')"
session_finish
