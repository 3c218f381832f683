#!/usr/bin/env bash
# The publisher (publisher/LiveCheckPublisher.h) as the monitored software
# uses it: the helper as the stand-in "Ondrimar", publishing through it,
# brisvel.exe as the service "BrisvelWatch". The section's descriptor read
# back, a name someone else took first, a check holding the old section
# while the service opens it again, and what the watchdog makes of alive,
# unhealthy and closed.
#
# usage: publisher.sh BRISVEL_EXE HELPER_EXE
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/steps.sh"
scenario_begin "$1" "$2"

# LIVECHECK_ERROR_NAME_TAKEN, the stand-in's exit code when open says so.
readonly NAME_TAKEN=$((0x2000B001))
# SECTION_ALL_ACCESS as SDDL writes it.
readonly FULL=CCDCLCSWRPSDRCWDWO

# section: the probe's view of the section, "dacl=SDDL bytes=FIRST_8" or
# "none ERROR".
section() {
    session_helper section section
    cat "$SESSION_DIR/section.out"
}

# missing: waits up to 5 s for the section to go (its last handle closed).
missing() {
    local deadline=$((SECONDS + 5))
    until [ "$(section)" = "none 2" ]; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

session_install_pair

# 1. Someone else took the name first, with a section or with an object of
#    another kind: open says so, and the stand-in logs it and serves on, as
#    the monitored software is told to; what is there stays theirs.
#          SQUATTER          WHAT THE NAME HOLDS AFTERWARDS
squatters=("squat,squat      dacl= bytes=squat\0\0\0"
           "event            none 6")
for row in "${squatters[@]}"; do
    read -r squatter holds <<<"$row"
    # shellcheck disable=SC2086  # the squatter's command and its argument
    session_spawn squatter holding "$SESSION_HELPER" ${squatter//,/ } || session_abort "no squatter"
    mark=$(session_mark)
    session_ctl squatted Ondrimar start wait $RUNNING 5000
    session_expect_step squatted 3 "wait $RUNNING 5000" ok
    tail -c +$((mark + 1)) session.err >squatted.err
    records_are squatted.err \
        "$(record $ERROR_RECORD 0x00000001 0 "cannot publish Ondrimar_LiveCheck: error $NAME_TAKEN")"
    check "the name after ${squatter%%,*}" "$(section)" "$holds"
    session_ctl squatted Ondrimar control $STOP wait $STOPPED 5000
    session_end squatter
    missing || session_abort "the name stays taken"
done

# 2. Its own section: full access for local system and for the account
#    that created it, nothing for anyone else; "1" and its zero.
session_ctl own Ondrimar start wait $RUNNING 5000
session_helper account account "$(session_field own 3 pid)"
check "the stand-in's section" "$(section)" \
    "dacl=D:(A;;$FULL;;;SY)(A;;$FULL;;;$(cat "$SESSION_DIR/account.out")) bytes=1\\0\\0\\0\\0\\0\\0\\0"

# 3. What the watchdog sees, for 1.5 s after each change: alive ("1" and its
#    zero, written over a page of garbage) without contact with the service
#    manager; unhealthy, then closed, a look a second and no start.
session_ctl watchdog BrisvelWatch start wait $RUNNING 5000
watchdog=$(session_field watchdog 3 pid)
#       CONTROLS                    LOOKS  THE SECTION (its start)
rows=("FILL_GARBAGE,PUBLISH_ALIVE   0      1\\0"
      "PUBLISH_ZERO                 1      0\\0"
      "REMOVE_SECTION               1      none 2")
for row in "${rows[@]}"; do
    read -r controls looks start <<<"$row"
    steps=()
    for control in ${controls//,/ }; do steps+=(control "${!control}"); done
    session_ctl change Ondrimar "${steps[@]}"
    mark=$(session_mark)
    session_ctl watched Ondrimar hold $RUNNING 1500
    session_expect_step watched 2 "hold $RUNNING 1500" ok
    seen=$(session_calls "$watchdog" OpenServiceA "$mark")
    if [ "$looks" -eq 0 ]; then
        check "looks after $controls" "$seen" 0
    else
        [ "$seen" -ge 1 ] || session_fail "no look after $controls"
    fi
    check "starts after $controls" "$(session_calls "$watchdog" StartServiceW "$mark")" 0
    now=$(section)
    now=${now#* bytes=}
    check "the section after $controls" "${now:0:${#start}}" "$start"
done

# 4. A check holds the section the service has just closed: opening it again
#    waits the check out (30 ms), and gives up on one held for a second
#    after about a tenth of a second, with the name taken.
session_helper reopen reopen 30
check "reopen while a check holds the old section 30 ms" "$(sed 's/ t=.*//' reopen.out)" "reopen ok"
session_helper reopen reopen 1000
check "reopen while it is held 1 s" "$(sed 's/ t=.*//' reopen.out)" "reopen error=$NAME_TAKEN"
took=$(sed 's/.* t=//' reopen.out)
[ "$took" -ge 80 ] && [ "$took" -le 400 ] || session_fail "open gave up after $took ms"

session_ctl teardown BrisvelWatch control $STOP wait $STOPPED 5000 use Ondrimar control $STOP wait $STOPPED 5000
session_finish
