#!/usr/bin/env bash
# Scenario: brisvel.exe run with no option from a prompt, that is, not by
# the Service Control Manager. The dispatcher refuses the connection (Wine
# says so after about 10 s) with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
# the program must write exactly one event record, an error with the
# default error id whose only string is the system's text for that error,
# and exit with code 0.
#
# usage: dispatcher_without_scm.sh BRISVEL_EXE ERRTEXT_EXE
set -uo pipefail

# shellcheck source=lib.sh source-path=SCRIPTDIR
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

readonly ERROR_FAILED_SERVICE_CONTROLLER_CONNECT=1063
readonly EVENTLOG_ERROR_TYPE=1
readonly DEFAULT_ERROR_ID=0xc0000002

e2e_init "$@"
e2e_session_start

expected=$(e2e_errtext "$ERROR_FAILED_SERVICE_CONTROLLER_CONNECT")
[ -n "$expected" ] || e2e_abort "empty system text for $ERROR_FAILED_SERVICE_CONTROLLER_CONNECT"

e2e_run dispatcher
e2e_log "prefix ready in ${E2E_BOOT_SECONDS} s; brisvel.exe exited with $E2E_RC after ${E2E_RUN_SECONDS} s"

if [ "$E2E_RC" -ne 0 ]; then
    e2e_fail "exit code $E2E_RC, expected 0"
fi

mapfile -t records < <(e2e_records "$E2E_DIR/dispatcher.err")
errors=()
for record in "${records[@]}"; do
    IFS=$'\t' read -r -a field <<<"$record"
    if [ "${field[0]}" -eq "$EVENTLOG_ERROR_TYPE" ] && [ "${field[2]}" = "$DEFAULT_ERROR_ID" ]; then
        errors+=("$record")
    fi
done

if [ "${#records[@]}" -ne 1 ]; then
    e2e_fail "${#records[@]} event records in all, expected exactly 1"
fi
if [ "${#errors[@]}" -ne 1 ]; then
    e2e_fail "${#errors[@]} error records with id $DEFAULT_ERROR_ID, expected exactly 1"
else
    IFS=$'\t' read -r -a field <<<"${errors[0]}"
    if [ "${field[4]}" -ne 1 ] || [ "${#field[@]}" -ne 6 ]; then
        e2e_fail "the error record carries ${field[4]} string(s) (${#field[@]} fields traced), expected 1"
    elif ! e2e_text_matches "${field[5]}" "$expected"; then
        e2e_fail "the error record says ${field[5]}, expected the system text \"$expected\""
    fi
fi

if [ "$E2E_FAILURES" -ne 0 ]; then
    e2e_log "records found (type category id sid strings texts):"
    for record in "${records[@]}"; do e2e_log "  $record"; done
    e2e_show "$E2E_DIR/dispatcher.out" "$E2E_DIR/dispatcher.err"
fi
e2e_finish
