#!/usr/bin/env bash
# Scenario: the whole console life of the watchdog, installed by itself.
#
#   -i   installs "Ondrimar" (exit 1, "Ondrimar installed.", the record
#        "Service installed"): an own-process, automatically started service
#        with the quoted path; the source key names the executable as its
#        message file and 7 as its types; a "Sources" list of two entries set
#        up beforehand gains "Ondrimar" as its third
#   -i   again: exit 0, "CreateService failed - " and the system's text
#   -s   starts it (exit 1, "Starting up Ondrimar." and "Ondrimar started."
#        on the next line, after at least the one-second poll)
#   then svcctl.exe pauses, interrogates, continues and interrogates it:
#        QueryServiceStatus shows paused (7) and running (4), and every
#        status matches the report the service made, by the rules: pending
#        and paused reports carry the next value of one rising check-point
#        counter, running and stopped carry 0, start pending accepts no
#        control; the service traced every report, so the whole sequence is
#        checked, not only the last status
#   -s   again: exit 0, "Starting up Ondrimar." and the failure line with the
#        system's text for ERROR_SERVICE_ALREADY_RUNNING
#   -e   stops it (exit 1, "Stopping Ondrimar." and "Ondrimar stopped."), and
#        the service process ends
#   -e   again: exit 0, no output at all
#   -u   removes it (exit 1, "Ondrimar removed."); the service is gone, the
#        source key too, and "Sources" is back to its two entries
#   -u   again: exit 0, "OpenService failed - " and the system's text
#
# While it runs, the watchdog watches the service named "Ondrimar", which is
# itself: with no liveness section it asks the service manager every second,
# finds the service running and never starts it.
#
# usage: console_life.sh BRISVEL_EXE ERRTEXT_EXE (svcctl.exe in $E2E_SVCCTL)
set -uo pipefail

# shellcheck source=lib.sh source-path=SCRIPTDIR
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

readonly ERROR_SERVICE_ALREADY_RUNNING=1056
readonly ERROR_SERVICE_DOES_NOT_EXIST=1060
readonly ERROR_SERVICE_EXISTS=1073
readonly APPLICATION_KEY='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application'
readonly SOURCE_KEY="$APPLICATION_KEY\\Ondrimar"
readonly SERVICE_KEY='HKLM\SYSTEM\CurrentControlSet\Services\Ondrimar'
readonly EVENTLOG_INFORMATION_TYPE=4
readonly DEFAULT_INFORMATION_ID=0x40000000
readonly SERVICE=Ondrimar

e2e_init "$@"
e2e_tools
e2e_session_start
already_running=$(e2e_errtext "$ERROR_SERVICE_ALREADY_RUNNING")
[ -n "$already_running" ] || e2e_abort "empty system text for $ERROR_SERVICE_ALREADY_RUNNING"
exe_path=$(e2e_winpath "$E2E_EXE")
exists=$(e2e_errtext "$ERROR_SERVICE_EXISTS")
not_installed=$(e2e_errtext "$ERROR_SERVICE_DOES_NOT_EXIST")
if [ -z "$exists" ] || [ -z "$not_installed" ]; then
    e2e_abort "empty system texts"
fi

# expect_exit NAME CODE: checks the exit code of the last e2e_run.
expect_exit() {
    if [ "$E2E_RC" -ne "$2" ]; then
        e2e_fail "$1: exit code $E2E_RC, expected $2"
    fi
}

# expect_value WHAT ACTUAL EXPECTED
expect_value() {
    if [ "$2" != "$3" ]; then
        e2e_fail "$1: \"$2\", expected \"$3\""
    fi
}

# A fresh prefix has no "Sources" list in the Application key: give it two
# entries (reg stores them with the final empty entry).
e2e_wine sources reg add "$APPLICATION_KEY" /v Sources /t REG_MULTI_SZ /d 'Alpha\0Beta' /f
[ "$E2E_RC" -eq 0 ] || e2e_abort "cannot set up the Sources list"
expect_value "Sources before -i" "$(e2e_reg_value sources_before "$APPLICATION_KEY" Sources)" \
    "multi_sz	Alpha<NUL>Beta<NUL><NUL>"

# --- -i --------------------------------------------------------------------
e2e_run install -i
expect_exit "-i" 1
e2e_expect_output install "$SERVICE installed.
"
mapfile -t records < <(e2e_records "$E2E_DIR/install.err")
if [ "${#records[@]}" -ne 1 ]; then
    e2e_fail "-i wrote ${#records[@]} event records, expected 1"
else
    IFS=$'\t' read -r -a field <<<"${records[0]}"
    if [ "${field[0]}" -ne "$EVENTLOG_INFORMATION_TYPE" ] ||
        [ "${field[2]}" != "$DEFAULT_INFORMATION_ID" ] || [ "${field[4]}" -ne 1 ] ||
        ! e2e_text_matches "${field[5]:-}" "Service installed"; then
        e2e_fail "-i record: ${records[0]}; expected type 4, id $DEFAULT_INFORMATION_ID, \"Service installed\""
    fi
fi
e2e_ctl installed "$SERVICE" query
e2e_expect_step installed 2 query ok state=1
expect_value "ImagePath" "$(e2e_reg_value service "$SERVICE_KEY" ImagePath | cut -f 2)" \
    "\"$exe_path\""
expect_value "Type" "$(e2e_reg_value service "$SERVICE_KEY" Type)" "dword	16"
expect_value "Start" "$(e2e_reg_value service "$SERVICE_KEY" Start)" "dword	2"
expect_value "EventMessageFile" "$(e2e_reg_value source "$SOURCE_KEY" EventMessageFile)" \
    "expand_sz	$exe_path<NUL>"
expect_value "TypesSupported" "$(e2e_reg_value source "$SOURCE_KEY" TypesSupported)" "dword	7"
expect_value "Sources after -i" "$(e2e_reg_value sources_installed "$APPLICATION_KEY" Sources)" \
    "multi_sz	Alpha<NUL>Beta<NUL>Ondrimar<NUL><NUL>"

# --- -i again ------------------------------------------------------------------
e2e_run install_again -i
expect_exit "-i again" 0
e2e_expect_output install_again "CreateService failed - $exists
"
mapfile -t records < <(e2e_records "$E2E_DIR/install_again.err")
if [ "${#records[@]}" -ne 0 ]; then
    e2e_fail "-i again wrote ${#records[@]} event records, expected none"
fi

# --- -s --------------------------------------------------------------------
e2e_run start -s
expect_exit "-s" 1
e2e_expect_output start "Starting up $SERVICE.
$SERVICE started.
"
# The first status query comes a second after the start request.
start_ms=${E2E_RUN_SECONDS/./}
if [ "$((10#$start_ms))" -lt 1000 ]; then
    e2e_fail "-s returned after $E2E_RUN_SECONDS s, before its one-second poll"
fi

# --- pause, interrogate, continue, interrogate --------------------------------
e2e_ctl controls "$SERVICE" wait 4 2000 query \
    control 2 query \
    control 4 query \
    control 3 query \
    control 4 query
if [ "$E2E_RC" -ne 0 ]; then
    e2e_fail "svcctl exited with $E2E_RC"
fi
pid=$(e2e_field "$(e2e_ctl_line controls 2)" pid) || pid=
if [ -z "$pid" ] || [ "$pid" -eq 0 ]; then
    e2e_show "$E2E_DIR/controls.ctl"
    e2e_abort "no process id for the running service"
fi

# Statuses: STATE ACCEPTED WIN32EXIT SPECIFICEXIT CHECKPOINT WAITHINT, as
# reported through SetServiceStatus. Start pending twice (service main, then
# Execute), running; pause pending, paused; the interrogate re-reports
# paused with the next check point; continue pending, running; the second
# interrogate re-reports running (check point 0).
expected_reports=(
    "2 0 0 0 1 3000"
    "2 0 0 0 2 3000"
    "4 7 0 0 0 3000"
    "6 7 0 0 3 3000"
    "7 7 0 0 4 3000"
    "7 7 0 0 5 3000"
    "5 7 0 0 6 3000"
    "4 7 0 0 0 3000"
    "4 7 0 0 0 3000"
)
mapfile -t reports < <(e2e_reports "$pid")
if [ "${reports[*]}" != "${expected_reports[*]}" ]; then
    e2e_fail "the service's status reports differ from the expected sequence"
    e2e_log "  reported: $(printf '[%s] ' "${reports[@]}")"
    e2e_log "  expected: $(printf '[%s] ' "${expected_reports[@]}")"
fi

# What the service manager hands out is the last report, check point
# included: line 3 after start, 5 after pause, 7 after the interrogate, ...
e2e_expect_step controls 3 query ok state=4 checkpoint=0 accepted=7 waithint=3000
e2e_expect_step controls 4 "control 2" ok state=7 checkpoint=4
e2e_expect_step controls 5 query ok state=7 checkpoint=4 accepted=7 waithint=3000
e2e_expect_step controls 6 "control 4" ok state=7 checkpoint=5
e2e_expect_step controls 7 query ok state=7 checkpoint=5 accepted=7 waithint=3000
e2e_expect_step controls 8 "control 3" ok state=4 checkpoint=0
e2e_expect_step controls 9 query ok state=4 checkpoint=0 accepted=7 waithint=3000
e2e_expect_step controls 10 "control 4" ok state=4 checkpoint=0
e2e_expect_step controls 11 query ok state=4 checkpoint=0 accepted=7 waithint=3000

# --- -s again ----------------------------------------------------------------
e2e_run start_again -s
expect_exit "-s again" 0
e2e_expect_output start_again "Starting up $SERVICE.
$SERVICE failed to start: $already_running
"

# --- -e --------------------------------------------------------------------
before_stop=$(e2e_mark)
e2e_run stop -e
expect_exit "-e" 1
e2e_expect_output stop "Stopping $SERVICE.
$SERVICE stopped.
"
mapfile -t reports < <(e2e_reports "$pid" "$before_stop")
expected_reports=("3 7 0 0 7 5000" "1 7 0 0 0 3000")
if [ "${reports[*]}" != "${expected_reports[*]}" ]; then
    e2e_fail "stopping: reports $(printf '[%s] ' "${reports[@]}"), expected $(printf '[%s] ' "${expected_reports[@]}")"
fi

# The watchdog looked for the service "Ondrimar" (itself) and, finding it
# running, never tried to start it.
queries=$(e2e_calls "$pid" OpenServiceA)
starts=$(e2e_calls "$pid" StartServiceW)
if [ "$queries" -lt 1 ]; then
    e2e_fail "the watchdog never looked up the monitored service while it ran"
fi
if [ "$starts" -ne 0 ]; then
    e2e_fail "the watchdog tried $starts time(s) to start the running service \"$SERVICE\""
fi

# The service process ends once it has reported stopped.
deadline=$((SECONDS + 10))
while [ -n "$(e2e_processes "$exe_path")" ] && [ "$SECONDS" -lt "$deadline" ]; do
    sleep 0.1
done
if [ -n "$(e2e_processes "$exe_path")" ]; then
    e2e_fail "brisvel.exe still runs 10 s after the service reported stopped"
fi

# --- -e again ----------------------------------------------------------------
e2e_run stop_again -e
expect_exit "-e again" 0
e2e_expect_output stop_again ""

# --- -u --------------------------------------------------------------------
e2e_run remove -u
expect_exit "-u" 1
e2e_expect_output remove "$SERVICE removed.
"
e2e_ctl removed "$SERVICE" query
e2e_expect_step removed 1 "use $SERVICE" "error=$ERROR_SERVICE_DOES_NOT_EXIST"
e2e_reg_values source_removed "$SOURCE_KEY" >"$E2E_DIR/source_removed.values"
if [ -s "$E2E_DIR/source_removed.values" ]; then
    e2e_fail "the source key still holds values after -u: $(tr '\n' ' ' <"$E2E_DIR/source_removed.values")"
fi
expect_value "Sources after -u" "$(e2e_reg_value sources_removed "$APPLICATION_KEY" Sources)" \
    "multi_sz	Alpha<NUL>Beta<NUL><NUL>"

# --- -u again ------------------------------------------------------------------
e2e_run remove_again -u
expect_exit "-u again" 0
e2e_expect_output remove_again "OpenService failed - $not_installed
"

e2e_log "prefix ready in ${E2E_BOOT_SECONDS} s"
if [ "$E2E_FAILURES" -ne 0 ]; then
    e2e_show "$E2E_DIR/controls.ctl"
fi
e2e_finish
