#!/usr/bin/env bash
# ThreadSanitizer stage: builds the tsan preset (GCC's -fsanitize=thread)
# and runs the unit, Linux backend, integration and process suites and the
# short modes of tavlib-stress under it.  A race report ends the test that
# shows it with a failure (TSAN_OPTIONS in the preset: halt_on_error=1).
# Our code has no suppressions.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

start=$(date +%s)
cmake --preset tsan >/dev/null
# Only what the suites run: the simulator comes with the integration tests.
cmake --build --preset tsan --target \
    tavlib_unit_tests tavlib_platform_linux_tests tavlib_integration_tests \
    tavlib_process_tests tavlib-stress
ctest --preset tsan -j2
echo "== tsan: built and tested in $(( $(date +%s) - start )) s"
