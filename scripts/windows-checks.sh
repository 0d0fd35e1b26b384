#!/usr/bin/env bash
# The Windows stage: builds tavlib.dll for 32-bit and 64-bit Windows with
# MinGW-w64, checks both images (for the 32-bit DLL also its disassembly:
# each export's return pops its own arguments), and runs the DLL test
# program of each width under wine: the 64-bit one in a 64-bit prefix, the
# 32-bit one in a 32-bit prefix (wine32), as on 32-bit Windows.
#
# Usage: scripts/windows-checks.sh [WIDTH]   WIDTH: x86_64 or i686; both when
#        not given, one after the other
# Closes with "windows-WIDTH: N passed, M failed, K skipped (T s)", the sum of
# every check below; exits non-zero when any check or step failed.  Without
# wine32 (a package that could not be installed) or on a kernel that does
# not run 32-bit programs, the i686 DLL's image is checked but the DLL is
# not run: one skipped check, and the row says why.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

if (($# == 0)); then
    status=0
    "$0" x86_64 || status=1
    "$0" i686 || status=1
    exit $status
fi
arch=$1
case $arch in
    x86_64 | i686) ;;
    *) echo "windows-checks: no width $arch (x86_64, i686)" >&2; exit 2 ;;
esac

source "$root/scripts/lib/stage.sh"
stage_begin "windows-$arch"
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}

# ---- packages ------------------------------------------------------------
t=$(date +%s%N)
if ! why=$(stage_packages demo windows); then
    stage_not_run "$why"
fi
no_wine=""
if [[ $arch == i686 ]]; then
    if ! kernel_runs_i686; then
        # wine32's loader is itself a 32-bit x86 program.
        no_wine="this kernel does not run 32-bit x86 programs (IA-32 emulation off)"
    else
        no_wine=$(stage_packages windows-i686)
    fi
fi
echo "== packages ready ($(elapsed "$t"))"

# ---- build ---------------------------------------------------------------
mkdir -p build
preset=mingw-$arch
dir="build/$preset"
t=$(date +%s%N)
log="build/$preset.log"
if cmake --preset "$preset" --fresh >"$log" 2>&1 && cmake --build --preset "$preset" >>"$log" 2>&1; then
    echo "== built $preset ($(elapsed "$t"))"
else
    tail -n 40 "$log"
    step_failed "build of preset $preset (log: $log)"
    stage_end
fi

# ---- images --------------------------------------------------------------
t=$(date +%s%N)
echo "== image of $dir/src/tavlib.dll"
"$arch-w64-mingw32-objdump" -h "$dir/src/tavlib.dll" | grep -A1 -F '.MY_DATA'
"$arch-w64-mingw32-objdump" -p "$dir/src/tavlib.dll" |
    sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p; /DLL Name:/p'
count python3 tests/windows/check_pe.py "$dir/src/tavlib.dll" --arch "$arch" \
    --allow-import KERNEL32.dll --allow-import SETUPAPI.dll \
    --allow-import ADVAPI32.dll --allow-import msvcrt.dll
count python3 tests/windows/check_pe.py "$dir/tests/windows/tavlib_dll_test.exe" \
    --arch "$arch" --client
# stdcall: each 32-bit export pops exactly its own arguments.
if [[ $arch == i686 ]]; then
    count python3 tests/windows/check_stdcall_returns.py "$arch-w64-mingw32-objdump" \
        "$dir/src/tavlib.dll"
fi
echo "== images checked ($(elapsed "$t"))"

# ---- the test program under wine ----------------------------------------
if [[ -n $no_wine ]]; then
    echo "== the i686 DLL is not run under wine: $no_wine; its image was checked above"
    skipped=$((skipped + 1))
    stage_remark "the DLL not run under wine: $no_wine"
    stage_end
fi
setup_wine_prefix tavlib-wine "$arch"

t=$(date +%s%N)
"$wineserver" -p
if "$wine" wineboot --init >"$WINEPREFIX/wineboot.log" 2>&1; then
    echo "== $WINEARCH prefix created ($(elapsed "$t"))"
else
    cat "$WINEPREFIX/wineboot.log"
    step_failed "wineboot --init ($arch)"
fi

# The stand-in device: wine opens the interface's device path
# \\?\root#tavril#0000#{...} through the prefix's dosdevices folder.
stand_in="$WINEPREFIX/stand-in-device"
: >"$stand_in"
ln -s "$stand_in" \
    "$WINEPREFIX/dosdevices/root#tavril#0000#{016a5b0d-4331-4c56-8825-6ec4c870d3cb}"

test_exe="build/mingw-$arch/tests/windows/tavlib_dll_test.exe"
# Twice: the first run ends with slot 0 claimed by a process that never
# closed it; once every process has unloaded the DLL, the second run
# must find the table back at its initial content.
for run in 1 2; do
    t=$(date +%s%N)
    echo "== $test_exe in the $WINEARCH prefix, run $run"
    count "$wine" "$test_exe" --stand-in-device
    echo "== run $run took $(elapsed "$t")"
done

t=$(date +%s%N)
cleanup_wine_prefix
echo "== wineserver stopped, prefix removed ($(elapsed "$t"))"
stage_end
