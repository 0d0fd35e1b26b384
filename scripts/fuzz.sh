#!/usr/bin/env bash
# Runs one libFuzzer target of fuzz/ for as long as asked, building it first
# (cmake preset "fuzz": clang-14, ASan + UBSan).
#
#   scripts/fuzz.sh                          lists the targets
#   scripts/fuzz.sh TARGET SECONDS [OPTION...] runs TARGET; OPTIONs go to libFuzzer
#                                            (-fork=2 runs two workers)
#
# The run starts from the committed seeds (fuzz/corpus/TARGET) and the corpus
# of earlier runs (build/fuzz/corpus/TARGET, where new inputs go).  A crash,
# leak, time-out or failed invariant leaves its input in
# build/fuzz/artifacts/TARGET/; the full log is build/fuzz/logs/TARGET.log.
# Closes with one line:
#   fuzz TARGET: N executions in S s, N exec/s, cov N, ft N, corpus N: ok|FAILED (...)
# and exits non-zero when the run found something.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
build=build/fuzz

targets() { sed -n 's/^set(TAVLIB_FUZZ_TARGETS \(.*\))$/\1/p' fuzz/CMakeLists.txt; }

if (($# == 0)); then
    echo "fuzz targets (scripts/fuzz.sh TARGET SECONDS):"
    for t in $(targets); do
        printf '  %-16s %s\n' "$t" "$(sed -n '1s|^// Fuzz target: ||p' "fuzz/$t.cpp")"
    done
    exit 0
fi
if (($# < 2)) || ! [[ $2 =~ ^[0-9]+$ ]] || (($2 == 0)); then
    echo "usage: scripts/fuzz.sh [TARGET SECONDS [libFuzzer option...]]" >&2
    exit 2
fi
target=$1
seconds=$2
shift 2
if ! targets | tr ' ' '\n' | grep -qx -- "$target"; then
    echo "fuzz: no target '$target' (targets: $(targets))" >&2
    exit 2
fi
if ! command -v clang++-14 >/dev/null; then
    echo "fuzz: clang++-14 is missing; run scripts/setup-deps.sh fuzz" >&2
    exit 2
fi

# scripts/fuzz-all.sh builds every target first and then runs several at
# once (TAVLIB_FUZZ_BUILT=1): two builds in one tree at a time would clash.
if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake --preset fuzz >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 2; }
fi
if [[ -z ${TAVLIB_FUZZ_BUILT:-} ]] &&
    ! cmake --build --preset fuzz --target "fuzz_$target" >"$build.build.log" 2>&1; then
    cat "$build.build.log"
    echo "fuzz $target: build FAILED"
    exit 2
fi

corpus=$build/corpus/$target
artifacts=$build/artifacts/$target
log=$build/logs/$target.log
mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"

# Leaks are finds; a sanitizer report ends the run with the input saved.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
start=$(date +%s)
"$build/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 -max_len=4096 \
    -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$artifacts/" "$@" \
    "$corpus" "fuzz/corpus/$target" >"$log" 2>&1
rc=$?
took=$(($(date +%s) - start))

stat() { sed -n "s/^stat::$1: *\([0-9]*\).*/\1/p" "$log" | tail -n 1; }
status=$(grep -E '^#[0-9]+.*cov: [0-9]+' "$log" | tail -n 1)
field() { sed -n "s/.* $1: \([0-9]*\).*/\1/p" <<<"$status"; }
executions=$(stat number_of_executed_units)
rate=$(stat average_exec_per_sec)
# With -fork=N the parent prints no final stats; its status line counts the
# executions of all its jobs.
if [[ -z $executions ]]; then
    executions=$(sed -n 's/^#\([0-9]*\):.*/\1/p' <<<"$status")
    if [[ -n $executions ]] && ((took > 0)); then rate=$((executions / took)); fi
fi
result=ok
if ((rc != 0)); then
    # The sanitizer's or libFuzzer's one-line summary, and the saved input.
    why=$(grep -E '^(SUMMARY: |==[0-9]+== ?ERROR: libFuzzer|.*invariant failed)' "$log" | head -n 1)
    saved=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n 1)
    result="FAILED (exit $rc: ${why:-see $log}${saved:+; input $saved})"
fi
echo "fuzz $target: ${executions:-?} executions in $took s, ${rate:-?} exec/s," \
     "cov $(field cov), ft $(field ft), corpus $(sed -n 's/.* corp: \([0-9]*\).*/\1/p' <<<"$status"): $result"
exit $((rc != 0))
