#!/usr/bin/env bash
# Builds both presets and runs every test in one ctest run: the pure
# pieces' tables natively under AddressSanitizer and UndefinedBehaviorSanitizer
# (linux), and brisvel.exe's resources and Wine scenarios (windows-x86).
# Build output goes to build/logs/ and is shown only when a step fails. The
# output ends with ctest's summary line, and after a failure with the folders
# in build/wine-failures/ where the failed scenarios left their evidence.
#
# usage: scripts/test.sh [--soak]   (--soak: the 200-cycle liveness soak too,
#                                    about 12 minutes more)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
case "${1:-}" in
"") labels=(-LE soak) ;;
--soak) labels=() ;;
*) echo "usage: scripts/test.sh [--soak]" >&2 && exit 2 ;;
esac

scripts/deps.sh
mkdir -p build/logs build/all
for preset in linux windows-x86; do
    log=build/logs/$preset.log
    if ! { cmake --preset "$preset" && cmake --build --preset "$preset"; } >"$log" 2>&1; then
        tail -n 100 "$log" >&2
        echo "test.sh: building $preset failed (full log: $log)" >&2
        exit 1
    fi
done
printf 'subdirs("%s" "%s")\n' "$root/build/linux" "$root/build/windows-x86" >build/all/CTestTestfile.cmake

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
rm -rf build/wine-failures
# ctest prints its "N% tests passed" line before the timings: print it last.
status=0
ctest --test-dir build/all --output-on-failure --no-tests=error -j3 "${labels[@]}" 2>&1 |
    awk '/^[0-9]+% tests passed/ { summary = $0; next } { print; fflush() }
         END { if (summary != "") print summary }' || status=$?
if [ "$status" -ne 0 ] && [ -d build/wine-failures ]; then
    echo "Evidence of the failed scenarios:"
    find "$root/build/wine-failures" -mindepth 1 -maxdepth 1 -type d | sort | sed 's/^/  /'
fi
exit "$status"
