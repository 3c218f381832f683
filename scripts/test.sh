#!/usr/bin/env bash
# Builds every preset and runs every test: the unit tests natively (plain,
# AddressSanitizer + UndefinedBehaviorSanitizer, ThreadSanitizer), the fuzz
# targets for a bounded time each (clang, libFuzzer), and the Windows build
# with its end-to-end scenarios under Wine.
#
# All tests run in one ctest invocation over the build trees, so the output
# ends with a single summary line covering every test. Build and configure
# output goes to build/logs/ and is shown only when a step fails.
# The soak run under Wine (ctest label soak, about 10 minutes) is left out
# unless --soak is given; it then runs after everything else, in a ctest run
# of its own, with its figures shown.
# Exits non-zero when anything fails.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

soak=0
for arg in "$@"; do
    case "$arg" in
    --soak) soak=1 ;;
    *)
        echo "usage: scripts/test.sh [--soak]" >&2
        exit 2
        ;;
    esac
done

scripts/deps.sh

presets=(linux linux-asan linux-tsan linux-fuzz windows-x86)
logs="$root/build/logs"
all="$root/build/all"
mkdir -p "$logs" "$all"

# step NAME LOG COMMAND...: runs a step quietly; on failure shows its log.
step() {
    local name=$1 log=$2
    shift 2
    if ! "$@" >"$log" 2>&1; then
        tail -n 200 "$log" >&2
        echo "test.sh: $name failed (full log: $log)" >&2
        exit 1
    fi
}

binary_dirs=()
for preset in "${presets[@]}"; do
    start=$SECONDS
    step "configure $preset" "$logs/$preset.configure.log" cmake --preset "$preset"
    dir=$(sed -n 's/^-- Build files have been written to: //p' "$logs/$preset.configure.log" | tail -n 1)
    if [ -z "$dir" ] || [ ! -f "$dir/CMakeCache.txt" ]; then
        echo "test.sh: cannot tell the build directory of preset $preset" >&2
        exit 1
    fi
    step "build $preset" "$logs/$preset.build.log" cmake --build --preset "$preset" -j2
    if [ ! -f "$dir/CTestTestfile.cmake" ]; then
        echo "test.sh: preset $preset registered no tests ($dir)" >&2
        exit 1
    fi
    binary_dirs+=("$dir")
    echo "built $preset in $((SECONDS - start)) s"
done

{
    echo "# Every preset's tests, for one ctest run (written by scripts/test.sh)."
    printf 'subdirs('
    printf '"%s" ' "${binary_dirs[@]}"
    printf ')\n'
} >"$all/CTestTestfile.cmake"

# The one run below bypasses the test presets, so it takes on their
# settings: sanitizer reports fail the test that triggers them (each option
# set only affects binaries built with that sanitizer), and no test may run
# longer than the presets allow.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# ctest prints its "N% tests passed, ..." line before the timing and the
# list of failures; hold it back and print it last.
set +e
ctest --test-dir "$all" --output-on-failure --no-tests=error --no-label-summary --timeout 600 -j2 \
    -LE soak 2>&1 |
    awk '/^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+$/ { summary = $0; next }
         { print; fflush() }
         END { if (summary != "") print summary }'
status=$?
if [ "$soak" -eq 1 ]; then
    # Verbose, for the soak's report (cycles, slowest restart, handles and
    # memory).
    ctest --test-dir "$all" --verbose --no-tests=error --no-label-summary -L soak 2>&1
    soak_status=$?
    [ "$soak_status" -eq 0 ] || status=$soak_status
fi
set -e
exit "$status"
