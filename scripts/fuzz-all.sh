#!/usr/bin/env bash
# The fuzz stage of the test command: builds the libFuzzer targets and runs
# each for a bounded time (scripts/fuzz.sh), one after the other.
#
#   scripts/fuzz-all.sh [SECONDS]     seconds per target, default 30
#
# Prints one line per target (executions, exec/s, coverage, ok or FAILED)
# and closes with "fuzz: N passed, N failed"; exits non-zero when any target
# found a crash, leak, time-out or failed invariant, or did not build.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
seconds=${1:-30}
if ! [[ $seconds =~ ^[0-9]+$ ]] || ((seconds == 0)); then
    echo "usage: scripts/fuzz-all.sh [SECONDS]" >&2
    exit 2
fi

passed=0
failed=0
if ! scripts/setup-deps.sh >/dev/null || ! cmake --preset fuzz >build/fuzz.configure.log 2>&1 ||
    ! cmake --build --preset fuzz >build/fuzz.build.log 2>&1; then
    cat build/fuzz.configure.log build/fuzz.build.log 2>/dev/null | tail -n 30
    echo "FAILED setting up or building the fuzz targets"
    echo "fuzz: 0 passed, 1 failed"
    exit 1
fi
for target in $(sed -n 's/^set(TAVLIB_FUZZ_TARGETS \(.*\))$/\1/p' fuzz/CMakeLists.txt); do
    if scripts/fuzz.sh "$target" "$seconds"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
    fi
done
echo "fuzz: $passed passed, $failed failed"
((failed == 0))
