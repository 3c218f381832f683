#!/usr/bin/env bash
# Prints the benchmark's table, as bench/README.md holds it, from the raw
# figures bench/run.sh wrote: the run's date and machine, each figure, and a
# verdict for each figure that has a goal. Derived figures (shares of the
# Wine server, ratios to the floor, sums) are computed here, never stored.
#
# usage: bench/report.sh [FIGURES]   (default: build/bench/figures.txt)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
figures=${1:-$root/build/bench/figures.txt}
[ -f "$figures" ] || { echo "report.sh: no figures in $figures (run bench/run.sh)" >&2 && exit 1; }
# shellcheck disable=SC1090  # written by bench/run.sh
source "$figures"

# calc EXPRESSION: awk's arithmetic over the figures passed by name.
calc() {
    awk -v wd="$wd_rate" \
        -v wd_ws="$wd_ws_rate" -v ref="$ref_rate" -v ref_ws="$ref_ws_rate" -v mon="$mon_rate" \
        -v mon_ws="$mon_ws_rate" -v paused="$paused_rate" -v paused_ws="$paused_ws_rate" \
        -v base_first="$base_first" -v base_last="$base_last" "BEGIN { base = (base_first + base_last) / 2; $1 }"
}
seconds() { awk -v v="$1" 'BEGIN { printf "%.3f", v / 1000 }'; }
verdict() { if [ "$1" -eq 1 ]; then printf '**met**'; else printf '**missed**'; fi; }
# spread PREFIX: "MIN / MEDIAN / P95 / MAX s" of the figures PREFIX_min...
spread() {
    local min=${1}_min median=${1}_median p95=${1}_p95 max=${1}_max
    printf '%s / %s / %s / %s s' "$(seconds "${!min}")" "$(seconds "${!median}")" \
        "$(seconds "${!p95}")" "$(seconds "${!max}")"
}
# vanished TIMES...: how the unreported ends went, in ms ("-": not running
# again in time).
vanished() {
    local lost=0 time back=()
    for time in "$@"; do
        if [ "$time" = - ]; then lost=$((lost + 1)); else back+=("$(seconds "$time")"); fi
    done
    if [ "$lost" -ne 0 ]; then
        printf 'not running again within %s s in %d of %d' "$(seconds "$VANISH_WAIT_MS")" "$lost" "$#"
        [ "${#back[@]}" -eq 0 ] || printf '; '
    fi
    [ "${#back[@]}" -eq 0 ] || printf 'running again after %s s' "${back[*]}"
}
# over_bare MEDIAN: the median less the bare start, in s.
over_bare() { seconds $(($1 - bare_median)); }
# The floor counts as no less than 0.0001 s/min (6 ms an hour): below that
# the baseline's own jitter decides it.
ratio_ok=$(calc 'w = wd + wd_ws - base; f = ref + ref_ws - base; if (f < 0.0001) f = 0.0001; print (w <= 5 * f) ? 1 : 0')
ratio=$(calc 'w = wd + wd_ws - base; f = ref + ref_ws - base; note = ""
    if (f < 0.0001) { f = 0.0001; note = " (floor taken as 0.0001 s/min)" }
    printf "%.0fx%s", w / f, note')
floor=$(calc 'f = ref + ref_ws - base; if (f < 0) printf "0.000 s/min (%.3f, within the baseline'"'"'s jitter)", f; else printf "%.3f s/min", f')

# Figures of runs before the x64 build joined are of the x86 one.
printf '%s, the %s `brisvel.exe`, Wine %s, %s cores (`nproc`), %s, load average %s at the start, %s at the end:\n\n' \
    "$date" "${arch:-x86}" "$wine" "$cores" "$machine" "${load_start%% *}" "${load_end%% *}"
printf '| figure | measured | goal |\n| ------ | -------- | ---- |\n'
row() { printf '| %s | %s | %s |\n' "$1" "$2" "${3:-}"; }
row '`brisvel.exe` measured' "${arch:-x86}"
row "restart after a stop request, $RESTART_CYCLES: min / median / p95 / max" "$(spread notice_stop)"
row "(the same, poll alone)" "$(spread poll_stop)"
row "restart after a crash shown as stopped (1067), $RESTART_CYCLES: min / median / p95 / max" \
    "$(spread notice_crash)"
row "(the same, poll alone)" "$(spread poll_crash)"
row "restart after the process ended unreported, $VANISH_CYCLES" "$(vanished $notice_vanished)"
row "(the same, poll alone)" "$(vanished $poll_vanished)"
if [ -n "${hang_unhealthy_median:-}" ]; then
    # hangs PREFIX: "MEDIAN s (MIN-MAX s)" of the figures PREFIX_...
    hangs() {
        local min=${1}_min median=${1}_median max=${1}_max
        printf '%s s (%s-%s s)' "$(seconds "${!median}")" "$(seconds "${!min}")" "$(seconds "${!max}")"
    }
    row "hang restart, UnhealthySeconds 5: the flag \"0\" to running again, $HANG_CYCLES: median (min-max)" \
        "$(hangs hang_unhealthy)" "<= 6.500 s: $(verdict $((hang_unhealthy_max <= 6500 ? 1 : 0)))"
    row "hang restart, HeartbeatSeconds 5: the heartbeat frozen to running again, $HANG_CYCLES" \
        "$(hangs hang_heartbeat)" "<= 6.500 s: $(verdict $((hang_heartbeat_max <= 6500 ? 1 : 0)))"
    row "hang, a stop ignored, StopSeconds 5: the flag \"0\" to its process ended, $HANG_CYCLES" \
        "$(hangs hang_ended)" "<= 11.500 s: $(verdict $((hang_ended_max <= 11500 ? 1 : 0)))"
fi
row "stand-in bare start, $BARE_STARTS starts: median (min-max)" \
    "$(seconds "$bare_median") s ($(seconds "$bare_min")-$(seconds "$bare_max") s)"
row "restart after a stop request, median minus bare start: with the notice / poll alone" \
    "$(over_bare "$notice_stop_median") / $(over_bare "$poll_stop_median") s" \
    "<= 0.150 s: $(verdict $((notice_stop_median - bare_median <= 150 ? 1 : 0)))"
row "restart after a crash, median minus bare start: with the notice / poll alone" \
    "$(over_bare "$notice_crash_median") / $(over_bare "$poll_crash_median") s" \
    "<= 0.150 s: $(verdict $((notice_crash_median - bare_median <= 150 ? 1 : 0)))"
row "idle CPU, watchdog process" "$(calc 'printf "%.3f", wd') s/min"
row "idle CPU, its Wine server share" "$(calc 'printf "%.3f", wd_ws - base') s/min"
row "idle CPU, watchdog total" \
    "$(calc 'w = wd + wd_ws - base; printf "%.3f s/min (%.1f %% of one core)", w, w / 60 * 100')"
row "idle CPU, floor (helper idle + its share)" "$floor"
row "idle CPU, watchdog / floor" "$ratio" "<= 5x: $(verdict "$ratio_ok")"
row "(Wine server baseline, stand-in alone: first / last)" \
    "$(calc 'printf "%.3f / %.3f", base_first, base_last') s/min"
row "(watchdog's threads: blocking switches per second)" "${thread_switches// /, }"
row "(watchdog paused, polling every 50 ms: total)" "$(calc 'printf "%.3f", paused + paused_ws - base') s/min"
row "(monitor thread alone, monitoronly.exe: total)" "$(calc 'printf "%.3f", mon + mon_ws - base') s/min"
row "one check, healthy flag: median (p95), $CHECKS checks" \
    "$check_median us ($check_p95 us)" "< 50 us: $(verdict "$(awk -v v="$check_median" 'BEGIN { print (v < 50) ? 1 : 0 }')")"
row "(steps: open / map / query / read / compare / unmap / close, medians)" "$check_steps us"
row "(one Wine server request, median)" "$roundtrip us"
row "check + service lookup, bad flag: median (p95), $LOOKUPS" \
    "$lookup_median us ($lookup_p95 us)"
row '`brisvel.exe` size' "$exe_size bytes" \
    "< 1 MB: $(verdict $((exe_size < 1048576 ? 1 : 0)))"
row "watchdog handles: 1 min / $((FOOTPRINT_LAST_S / 60)) min" "$handles_first / $handles_last" \
    "flat: $(verdict $((handles_last <= handles_first ? 1 : 0)))"
row "watchdog VmRSS: 1 min / $((FOOTPRINT_LAST_S / 60)) min" \
    "$rss_first kB / $rss_last kB" \
    "flat: $(verdict $((rss_last <= rss_first + 64 ? 1 : 0)))"
printf '\nIdle windows of %s s. "flat" allows VmRSS 64 kB (16 pages) of settling.\n' "$IDLE_S"
