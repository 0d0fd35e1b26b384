#!/usr/bin/env bash
# Builds and runs every test: Release, Debug and ASan+UBSan builds on Linux,
# the ThreadSanitizer build, the 32-bit build (native -m32), the fuzz targets for a bounded time,
# then the Windows stages (cross-built DLLs, image checks, the DLLs under wine: x86_64 in a
# 64-bit prefix, i686 in a 32-bit one).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

scripts/setup-deps.sh
start=$(date +%s)
for preset in release debug asan; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  # The stress program's short modes, and the gateway's suites that run
  # real clients against it (tens of seconds each), go in the release and
  # sanitizer builds.
  if [ "$preset" = debug ]; then
    ctest --preset "$preset" -j2 -E '^(stress[.]|gateway[.]exact$|gateway[.]vxi11[.]clients$)'
  else
    ctest --preset "$preset" -j2
  fi
done
echo "== Linux builds and tests took $(( $(date +%s) - start )) s"

echo "== tsan: ThreadSanitizer build of the library's suites and the stress program's short modes"
scripts/tsan-tests.sh

echo "== linux-i686: the library's suites and the stress program's short modes as native 32-bit code"
scripts/i686-tests.sh

echo "== fuzz: each libFuzzer target for 30 s"
scripts/fuzz-all.sh 30

echo "== windows: DLL images and device-less checks"
scripts/windows-checks.sh
echo "== windows: end to end against a kernel-mode test driver under wine, x86_64 (wine64) and i686 (wine32)"
scripts/windows-e2e.sh
