#!/usr/bin/env bash
# The fuzz stage of the test command: builds the libFuzzer targets and runs
# each for a bounded time (scripts/fuzz.sh), two at a time (one per core).
#
#   scripts/fuzz-all.sh [SECONDS [JOBS]]   seconds per target (default 30),
#                                          targets at a time (default 2)
#
# Prints one line per target (executions, exec/s, coverage, ok or FAILED)
# and closes with "fuzz: N passed, N failed, 0 skipped (T s)"; exits
# non-zero when any target found a crash, leak, time-out or failed
# invariant, or did not build.  Installs what it needs (package set fuzz).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source "$root/scripts/lib/stage.sh"
seconds=${1:-30}
jobs=${2:-2}
if ! [[ $seconds =~ ^[0-9]+$ && $jobs =~ ^[0-9]+$ ]] || ((seconds == 0 || jobs == 0)); then
    echo "usage: scripts/fuzz-all.sh [SECONDS [JOBS]]" >&2
    exit 2
fi
stage_begin fuzz
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}

if ! why=$(stage_packages fuzz); then
    stage_not_run "$why"
fi
mkdir -p build
if ! cmake --preset fuzz --fresh >build/fuzz.configure.log 2>&1 ||
    ! cmake --build --preset fuzz >build/fuzz.build.log 2>&1; then
    cat build/fuzz.configure.log build/fuzz.build.log 2>/dev/null | tail -n 30
    step_failed "setting up or building the fuzz targets"
    stage_end
fi
echo "== fuzz targets built ($(elapsed "$stage_start"))"

# Each target's closing line goes to its own file; they are printed in
# the targets' order when all have ended.
out=$(mktemp -d)
export TAVLIB_FUZZ_BUILT=1
targets=($(sed -n 's/^set(TAVLIB_FUZZ_TARGETS \(.*\))$/\1/p' fuzz/CMakeLists.txt))
running=0
for target in "${targets[@]}"; do
    if ((running >= jobs)); then
        wait -n
        running=$((running - 1))
    fi
    { scripts/fuzz.sh "$target" "$seconds" >"$out/$target" 2>&1; echo $? >"$out/$target.rc"; } &
    running=$((running + 1))
done
wait
for target in "${targets[@]}"; do
    cat "$out/$target"
    if [[ $(cat "$out/$target.rc" 2>/dev/null) == 0 ]]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
    fi
done
rm -rf "$out"
stage_end
