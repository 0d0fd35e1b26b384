#!/usr/bin/env bash
# A Linux stage of the test command: configures and builds one preset
# (release, asan or debug) and runs every suite of it under CTest, then
# prints "PRESET: N passed, M failed, K skipped (T s)".
#
#   scripts/linux-tests.sh PRESET [--suites LIST] [ctest argument...]
#
# e.g. release -R '^unit[.]'.  --suites builds only the suites of LIST (a
# CMake list: unit;gateway), and every program; the default is all of them.
#
# The long volume runs of tavlib-stress (the 60 s fault soak, the 30 s
# gateway clients) run at their CTest sizes in the asan build, which catches
# the most; the release build runs the same two modes shorter (15 s and
# 10 s), outside CTest, as one test each.  Installs what it needs
# (package sets demo, linux and network).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source "$root/scripts/lib/stage.sh"

preset=${1:?usage: scripts/linux-tests.sh release|asan|debug [--suites LIST] [ctest argument...]}
shift
configure=()
if [[ ${1-} == --suites ]]; then
    configure=("-DTAVLIB_TEST_SUITES=${2:?--suites needs a list}")
    shift 2
fi
case $preset in
    release | asan | debug) ;;
    *) echo "linux-tests: no Linux preset $preset (release, asan, debug)" >&2; exit 2 ;;
esac
stage_begin "$preset"
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}

if ! why=$(stage_packages demo linux network); then
    # A missing suite package fails its suites; the build itself still runs.
    stage_remark "$why"
fi

log=build/$preset.build.log
t=$(date +%s%N)
# --fresh: a cache written before a package was installed (the demo's, say)
# must not keep what it could not find.
if ! cmake --preset "$preset" --fresh "${configure[@]}" >"$log" 2>&1 || ! cmake --build --preset "$preset" >>"$log" 2>&1; then
    tail -n 40 "$log"
    step_failed "configure or build of preset $preset (log: $log)"
    stage_end
fi
echo "== $preset built ($(elapsed "$t"))"
# For the test command: the i686 stage may use this tree's simulator now.
touch "build/stages/$preset.built"

t=$(date +%s%N)
stress=build/$preset/tools/stress/tavlib-stress
if [[ $preset == asan ]]; then
    ctest_counts --preset "$preset" -j2 "$@"
else
    ctest_counts --preset "$preset" -j2 -E '^stress[.](soak|gateway)$' "$@"
    if (($# == 0)) && ((${#configure[@]} == 0)); then
        check_run stress.soak.short "$stress" soak --seconds 15
        check_run stress.gateway.short "$stress" gateway --seconds 10
    fi
fi
echo "== $preset suites ran ($(elapsed "$t"))"
stage_end
