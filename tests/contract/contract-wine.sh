#!/usr/bin/env bash
# The contract suite's Wine session: one prefix and one persistent session
# for a whole ctest run, under the build tree (never ~/.wine).
#
#   contract-wine.sh start DIR          makes the prefix DIR/prefix and starts
#                                       the session (the fixture's setup)
#   contract-wine.sh run DIR EXE ARG... runs EXE under Wine in that session
#                                       (the suite's crosscompiling emulator)
#   contract-wine.sh end DIR            ends the session and removes DIR
#                                       (the fixture's cleanup)
#
# Every command sets the same environment: Wine finds its server through the
# prefix and TMPDIR, so a run with any other would start a second session.
#
# The session's first process, wineboot, hands its standard error to
# services.exe and to every service; it goes to DIR/session.err, never to a
# pipe, which would keep ctest waiting until the session ended. The session
# ends itself after CONTRACT_WINE_DEADLINE seconds (default 1800) should the
# end command never come, for instance when ctest is killed.
set -euo pipefail

usage() {
    echo "usage: $0 start|end DIR | run DIR EXE [ARG...]" >&2
    exit 2
}

[ $# -ge 2 ] || usage
command=$1
dir=$2
shift 2
case $dir in
/*) ;;
*) echo "$0: DIR must be absolute: $dir" >&2; exit 2 ;;
esac

export WINEPREFIX="$dir/prefix"
export TMPDIR="$dir/tmp"
# 32-bit executables in a 64-bit prefix, as on 64-bit Windows.
export WINEARCH=win64
# No Mono or Gecko installers, no desktop menu entries in $HOME.
export WINEDLLOVERRIDES='mscoree,mshtml,winemenubuilder.exe='
export WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY

# Ends the session of DIR, if one runs, and its deadline watcher.
end_session() {
    if [ -f "$dir/watcher.pid" ]; then
        kill -TERM "$(cat "$dir/watcher.pid")" 2>/dev/null || true
        rm -f "$dir/watcher.pid"
    fi
    if [ -d "$WINEPREFIX" ] && [ -d "$TMPDIR" ]; then
        wineserver -k >/dev/null 2>&1 || true
        timeout 30 wineserver -w >/dev/null 2>&1 || true
    fi
}

case $command in
start)
    [ $# -eq 0 ] || usage
    # A run that was killed may have left its session and prefix.
    end_session
    rm -rf "$dir"
    mkdir -p "$WINEPREFIX" "$TMPDIR"
    start=$(date +%s%N)
    wineserver -p </dev/null >/dev/null 2>>"$dir/session.err"
    if ! timeout 120 wine wineboot </dev/null >/dev/null 2>>"$dir/session.err"; then
        cat "$dir/session.err" >&2
        echo "$0: wineboot failed" >&2
        end_session
        exit 1
    fi
    deadline=${CONTRACT_WINE_DEADLINE:-1800}
    (
        trap 'kill "$sleeper" 2>/dev/null; exit 0' TERM
        sleep "$deadline" &
        sleeper=$!
        wait "$sleeper"
        wineserver -k
    ) </dev/null >/dev/null 2>&1 &
    echo $! >"$dir/watcher.pid"
    end=$(date +%s%N)
    echo "Wine session for the contract suite ready in $(((end - start) / 1000000)) ms ($dir)"
    ;;
run)
    [ $# -ge 1 ] || usage
    if [ ! -d "$WINEPREFIX" ]; then
        echo "$0: no Wine session in $dir (the session.start test did not run)" >&2
        exit 1
    fi
    exec wine "$@"
    ;;
end)
    [ $# -eq 0 ] || usage
    end_session
    rm -rf "$dir"
    ;;
*)
    usage
    ;;
esac
