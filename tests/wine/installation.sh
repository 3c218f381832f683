#!/usr/bin/env bash
# Scenario: where and how brisvel.exe installs itself, in one prefix, each
# part leaving the prefix as it found it.
#
# 1. From "C:\Program Files\Brisvel Test\": -i registers the image path in
#    double quotes (unquoted, the service manager could run
#    "C:\Program.exe" instead) and the message file as the plain path, a
#    REG_EXPAND_SZ with its terminating zero; the service runs as
#    LocalSystem, starts automatically in a process of its own. The quoted
#    path is one the service manager can start: -s starts it, and -u then
#    stops it ("Stopping Ondrimar.", "Ondrimar stopped.") before removing
#    it, with its event source.
# 2. -i -l ACCOUNT -p PASSWORD: the service is registered to run under that
#    account (Wine accepts any); -u removes it.
# 3. Windows 9x mode (Wine reports platform 1 for brisvel.exe): -i and -u
#    print nothing and exit 1; -i adds the "RunServices" value holding the
#    executable's path, as REG_EXPAND_SZ with its terminating zero, and
#    creates no service and writes no event record; -u deletes the value,
#    and exits 1 again when it is already gone.
#
# usage: installation.sh BRISVEL_EXE ERRTEXT_EXE (svcctl.exe in $E2E_SVCCTL)
set -uo pipefail

# shellcheck source=lib.sh source-path=SCRIPTDIR
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

readonly SERVICE=Ondrimar
readonly ERROR_SERVICE_DOES_NOT_EXIST=1060
readonly SERVICE_KEY='HKLM\System\CurrentControlSet\Services\Ondrimar'
readonly SOURCE_KEY='HKLM\System\CurrentControlSet\Services\EventLog\Application\Ondrimar'
readonly RUN_SERVICES_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\RunServices'
readonly SERVICE_AUTO_START=2
readonly SERVICE_WIN32_OWN_PROCESS=16
readonly ACCOUNT='.\brisvel-test'
readonly PASSWORD='Pa55 word'

e2e_init "$@"
e2e_tools
e2e_session_start

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

# expect_records NAME COUNT: NAME.err holds COUNT event records.
expect_records() {
    local count
    count=$(e2e_records "$E2E_DIR/$1.err" | wc -l)
    if [ "$count" -ne "$2" ]; then
        e2e_fail "$1 wrote $count event record(s), expected $2"
    fi
}

# expect_no_service WHAT: the service manager does not know "Ondrimar".
expect_no_service() {
    e2e_ctl absent "$SERVICE" query
    e2e_expect_step absent 1 "use $SERVICE" "error=$ERROR_SERVICE_DOES_NOT_EXIST" ||
        e2e_log "  ($1)"
}

# --- 1. a path with spaces ---------------------------------------------------
install_dir='C:\Program Files\Brisvel Test'
program="$install_dir\\brisvel.exe"
mkdir -p "$WINEPREFIX/drive_c/Program Files/Brisvel Test" ||
    e2e_abort "cannot create the installation folder"
cp "$E2E_EXE" "$WINEPREFIX/drive_c/Program Files/Brisvel Test/brisvel.exe" ||
    e2e_abort "cannot copy brisvel.exe into the installation folder"

E2E_EXE="$program" e2e_run spaces_install -i
expect_exit "-i from \"$install_dir\"" 1
e2e_expect_output spaces_install "$SERVICE installed.
"
expect_records spaces_install 1

expect_value "ImagePath" "$(e2e_reg_value service "$SERVICE_KEY" ImagePath | cut -f 2)" \
    "\"$program\""
expect_value "ObjectName" "$(e2e_reg_value service "$SERVICE_KEY" ObjectName)" \
    "sz	LocalSystem"
expect_value "Start" "$(e2e_reg_value service "$SERVICE_KEY" Start)" \
    "dword	$SERVICE_AUTO_START"
expect_value "Type" "$(e2e_reg_value service "$SERVICE_KEY" Type)" \
    "dword	$SERVICE_WIN32_OWN_PROCESS"
expect_value "EventMessageFile" "$(e2e_reg_value source "$SOURCE_KEY" EventMessageFile)" \
    "expand_sz	$program<NUL>"

E2E_EXE="$program" e2e_run spaces_start -s
expect_exit "-s of the quoted image path" 1
e2e_expect_output spaces_start "Starting up $SERVICE.
$SERVICE started.
"
E2E_EXE="$program" e2e_run spaces_remove -u
expect_exit "-u of the running service" 1
e2e_expect_output spaces_remove "Stopping $SERVICE.
$SERVICE stopped.
$SERVICE removed.
"
expect_no_service "after -u"
e2e_reg_values source_after "$SOURCE_KEY" >"$E2E_DIR/source_after.values"
if [ "$E2E_RC" -eq 0 ]; then
    e2e_fail "the event source key is still there after -u"
fi

# --- 2. an account -----------------------------------------------------------
e2e_run account_install -i -l "$ACCOUNT" -p "$PASSWORD"
expect_exit "-i -l -p" 1
e2e_expect_output account_install "$SERVICE installed.
"
expect_value "ObjectName with -l" "$(e2e_reg_value account "$SERVICE_KEY" ObjectName)" \
    "sz	$ACCOUNT"
e2e_run account_remove -u
expect_exit "-u after -i -l -p" 1
e2e_expect_output account_remove "$SERVICE removed.
"
expect_no_service "after -u of the account installation"

# --- 3. Windows 9x -----------------------------------------------------------
e2e_wine win98 reg add 'HKCU\Software\Wine\AppDefaults\brisvel.exe' /v Version /d win98 /f
[ "$E2E_RC" -eq 0 ] || e2e_abort "cannot set Windows 98 mode for brisvel.exe"
exe_path=$(e2e_winpath "$E2E_EXE")

e2e_run win9x_install -i
expect_exit "-i on Windows 9x" 1
e2e_expect_output win9x_install ""
expect_records win9x_install 0
# The 32-bit program's HKLM\Software is the 32-bit view of the registry.
expect_value "RunServices value" \
    "$(e2e_reg_value run "$RUN_SERVICES_KEY" "$SERVICE" /reg:32)" "expand_sz	$exe_path<NUL>"
expect_no_service "-i on Windows 9x"

e2e_run win9x_remove -u
expect_exit "-u on Windows 9x" 1
e2e_expect_output win9x_remove ""
e2e_reg_values run_after "$RUN_SERVICES_KEY" /reg:32 >"$E2E_DIR/run_after.values"
if [ "$E2E_RC" -ne 0 ]; then
    e2e_fail "the RunServices key is gone after -u (reg export exit $E2E_RC)"
elif grep -q "^$SERVICE"$'\t' "$E2E_DIR/run_after.values"; then
    e2e_fail "the RunServices value is still there after -u: $(cat "$E2E_DIR/run_after.values")"
fi

e2e_run win9x_remove_again -u
expect_exit "-u on Windows 9x with no value" 1
e2e_expect_output win9x_remove_again ""

e2e_log "prefix ready in ${E2E_BOOT_SECONDS} s"
e2e_finish
