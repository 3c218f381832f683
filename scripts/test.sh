#!/usr/bin/env bash
# Checks the harness itself (tests/harness/selfcheck.sh), then builds every
# preset and runs every test in one ctest run: the pure
# pieces' tables natively under AddressSanitizer and UndefinedBehaviorSanitizer
# (linux), and for each architecture (windows-x86, windows-x64) brisvel.exe's
# resources and its Wine scenarios, and the release.
#
# Both architectures are built on every host, and their static checks run on
# every host. The x64 scenarios run everywhere; the x86 ones only where the
# host executes 32-bit code (tools/wine.sh tells), and are reported as
# skipped, with the reason, where it does not. The run fails unless every
# scenario of each architecture that should run did run and passed.
#
# Build output goes to build/logs/ and is shown only when a step fails. The
# output ends with ctest's summary line and a line naming the architectures
# whose scenarios ran, and after a failure with the folders in
# build/wine-failures/ where the failed scenarios left their evidence.
#
# usage: scripts/test.sh [--soak]   (--soak: the 200-cycle liveness soak too,
#                                    about 12 minutes more per architecture)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
case "${1:-}" in
"") excluded=soak soak_filter=(-LE '^soak$') ;;
--soak) excluded='' soak_filter=() ;;
*) echo "usage: scripts/test.sh [--soak]" >&2 && exit 2 ;;
esac

scripts/deps.sh
# First, that the harness can fail at all: a run whose checks cannot fail
# proves nothing, however green.
if ! tests/harness/selfcheck.sh; then
    echo "test.sh: the harness self-check failed: no test result could be trusted" >&2
    exit 1
fi
# shellcheck source=../tools/wine.sh
source tools/wine.sh
archs=(x64)
skipped=''
if session_host_runs_x86; then
    archs+=(x86)
else
    excluded+=${excluded:+|}wine-x86
    skipped=' (x86 skipped: this host cannot execute 32-bit code)'
fi

presets=(linux windows-x64 windows-x86)
mkdir -p build/logs build/all
for preset in "${presets[@]}"; do
    log=build/logs/$preset.log
    if ! { cmake --preset "$preset" && cmake --build --preset "$preset"; } >"$log" 2>&1; then
        tail -n 100 "$log" >&2
        echo "test.sh: building $preset failed (full log: $log)" >&2
        exit 1
    fi
done
printf 'subdirs(%s)\n' "$(printf '"%s" ' "${presets[@]/#/$root/build/}")" >build/all/CTestTestfile.cmake

labels=()
[ -z "$excluded" ] || labels=(-LE "^($excluded)\$")
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
rm -rf build/wine-failures
# ctest prints its "N% tests passed" line before the timings: print it last.
status=0
ctest --test-dir build/all --output-on-failure --no-tests=error -j6 "${labels[@]}" 2>&1 |
    tee build/logs/ctest.log |
    awk '/^[0-9]+% tests passed/ { summary = $0; next } { print; fflush() }
         END { if (summary != "") print summary }' || status=$?

# Every scenario of each architecture that should run, ran and passed: a
# label left out by mistake, or a tree that registered none, fails the run.
ran=''
for arch in "${archs[@]}"; do
    want=$(ctest --test-dir "build/windows-$arch" -N -L "^wine-$arch\$" "${soak_filter[@]}" |
        sed -n 's/^Total Tests: //p')
    passed=$(grep -cE "Test +#[0-9]+: wine\.$arch\.[^ ]+ \.+ +Passed" build/logs/ctest.log || true)
    ran+="${ran:+, }$arch $passed/${want:-0} passed"
    if [ "${want:-0}" -eq 0 ] || [ "$passed" -ne "$want" ]; then
        echo "test.sh: $passed of ${want:-0} $arch scenarios ran and passed" >&2
        [ "$status" -ne 0 ] || status=1
    fi
done
echo "scenarios: $ran$skipped"
if [ "$status" -ne 0 ] && [ -d build/wine-failures ]; then
    echo "Evidence of the failed scenarios:"
    find "$root/build/wine-failures" -mindepth 1 -maxdepth 1 -type d | sort | sed 's/^/  /'
fi
exit "$status"
