#!/usr/bin/env bash
# The i686 stage: builds the library, its client suites (unit, Linux
# backend, integration and processes) and the stress program for 32-bit x86
# Linux (preset linux-i686, gcc -m32) and runs them, with the stress
# program's short modes, as native 32-bit programs: the x86_64 kernel runs
# them directly.  qemu-i386-static runs one suite again, the device
# enumeration, which sees 64-bit directory positions there
# (tests/platform_linux/CMakeLists.txt says why).  The simulator and the
# 64-bit probe of the cross-width slot test come from the native release
# build, built first.
#
# Usage: scripts/i686-tests.sh [ctest arguments...]   e.g. -R unit.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
start=$(date +%s)

scripts/setup-deps.sh

echo "== native release: tavril-sim and tavlib_probe"
cmake --preset release >/dev/null
cmake --build --preset release --target tavril-sim tavlib_probe

source "$root/scripts/lib/packages.sh"
emulator=()
if kernel_runs_i686; then
    unset TAVLIB_TEST_EMULATOR
else
    # This kernel does not run 32-bit programs: the suites, and the programs
    # of this build that they start, run under user-mode emulation instead.
    echo "== this kernel does not run 32-bit x86 programs (IA-32 emulation off): the i686 suites run under qemu-i386-static"
    emulator=(-DTAVLIB_I686_EMULATOR="$(command -v qemu-i386-static)")
    export TAVLIB_TEST_EMULATOR
    TAVLIB_TEST_EMULATOR=$(command -v qemu-i386-static)
fi

echo "== linux-i686"
if ((${#emulator[@]})); then
    cmake --preset linux-i686 "${emulator[@]}" >/dev/null
else
    cmake --preset linux-i686 -UTAVLIB_I686_EMULATOR >/dev/null
fi
cmake --build --preset linux-i686
status=0
ctest --preset linux-i686 -j2 "$@" || status=$?
echo "== i686 stage took $(($(date +%s) - start)) s"
exit "$status"
