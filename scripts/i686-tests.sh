#!/usr/bin/env bash
# The i686 stage: builds the library, its client suites (unit, Linux
# backend, integration and processes) and the stress program for 32-bit x86
# Linux (preset linux-i686, gcc -m32) and runs them, with the stress
# program's short modes, as native 32-bit programs: the x86_64 kernel runs
# them directly.  qemu-i386-static runs one suite again, the device
# enumeration, which sees 64-bit directory positions there
# (tests/platform_linux/CMakeLists.txt says why).  The simulator and the
# 64-bit probe of the cross-width slot test come from the native release
# build (built here when missing).  The fault soak runs for 15 s here,
# outside CTest (its 60 s run is the sanitizer builds'); the others at
# their CTest sizes.  Closes with "i686: N passed, M failed, K skipped (T s)".
#
# Usage: scripts/i686-tests.sh [ctest arguments...]   e.g. -R unit.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source "$root/scripts/lib/stage.sh"
stage_begin i686
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}

if ! why=$(stage_packages demo linux i686); then
    stage_not_run "$why"
fi
mkdir -p build
log=build/i686.build.log

# The native release tree is the release stage's; the test command runs
# this stage after that one has built it, so the two never build it at once.
if [[ ! -x build/release/simulator/tavril-sim || ! -x build/release/tests/integration/tavlib_probe ]]; then
    echo "== native release: tavril-sim and tavlib_probe"
    if ! { cmake --preset release && cmake --build --preset release --target tavril-sim tavlib_probe; } \
        >"$log" 2>&1; then
        tail -n 40 "$log"
        step_failed "the native simulator and probe (log: $log)"
        stage_end
    fi
fi

emulator=()
if kernel_runs_i686; then
    unset TAVLIB_TEST_EMULATOR
else
    # This kernel does not run 32-bit programs: the suites, and the programs
    # of this build that they start, run under user-mode emulation instead.
    echo "== this kernel does not run 32-bit x86 programs (IA-32 emulation off): the i686 suites run under qemu-i386-static"
    stage_remark "under qemu-i386-static: this kernel does not run 32-bit programs"
    emulator=(-DTAVLIB_I686_EMULATOR="$(command -v qemu-i386-static)")
    export TAVLIB_TEST_EMULATOR
    TAVLIB_TEST_EMULATOR=$(command -v qemu-i386-static)
fi

echo "== linux-i686"
if ((${#emulator[@]})); then
    configure=(cmake --preset linux-i686 --fresh "${emulator[@]}")
else
    configure=(cmake --preset linux-i686 --fresh)
fi
if ! "${configure[@]}" >>"$log" 2>&1 || ! cmake --build --preset linux-i686 >>"$log" 2>&1; then
    tail -n 40 "$log"
    step_failed "configure or build of preset linux-i686 (log: $log)"
    stage_end
fi
echo "== linux-i686 built ($(elapsed "$stage_start"))"
ctest_counts --preset linux-i686 -j2 -E '^stress[.]soak$' "$@"
if (($# == 0)); then
    check_run stress.soak.short ${TAVLIB_TEST_EMULATOR:+"$TAVLIB_TEST_EMULATOR"} \
        build/linux-i686/tools/stress/tavlib-stress soak --seconds 15
fi
stage_end
