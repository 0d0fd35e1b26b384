#!/usr/bin/env bash
# ThreadSanitizer stage: builds the tsan preset (GCC's -fsanitize=thread)
# and runs the unit, Linux backend, integration and process suites, the
# gateway's core suite and the short modes of tavlib-stress under it (the
# fault soak at its full CTest size, 60 s, and the gateway's clients, raw
# and VXI-11, against a gateway built with the sanitizer).  A race report ends the test that shows it with a failure
# (TSAN_OPTIONS in the preset: halt_on_error=1).  Our code has no
# suppressions.  Closes with "tsan: N passed, M failed, K skipped (T s)".
#
#   scripts/tsan-tests.sh [ctest argument...]
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source "$root/scripts/lib/stage.sh"
stage_begin tsan
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}

if ! why=$(stage_packages demo linux tsan); then
    stage_not_run "$why"
fi
log=build/tsan.build.log
mkdir -p build
# Only what the suites run: the simulator comes with the integration tests.
# The gateway runs its network on several threads.
if ! cmake --preset tsan --fresh >"$log" 2>&1 ||
    ! cmake --build --preset tsan --target tavlib_unit_tests tavlib_platform_linux_tests \
        tavlib_integration_tests tavlib_process_tests tavlib-stress tavril-gateway \
        tavril_gateway_core_tests >>"$log" 2>&1; then
    tail -n 40 "$log"
    step_failed "configure or build of preset tsan (log: $log)"
    stage_end
fi
echo "== tsan built ($(elapsed "$stage_start"))"
ctest_counts --preset tsan -j2 "$@"
stage_end
