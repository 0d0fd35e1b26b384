#!/usr/bin/env bash
# The Windows end-to-end stage: tavlib.dll against a kernel-mode test driver
# under wine, for both widths: the x86_64 DLL and driver in a 64-bit prefix,
# the i686 DLL and driver in a 32-bit prefix (as on 32-bit Windows).
#
# Installs what it needs.  For each width it builds the DLL and
# tavril-gateway.exe (preset mingw-<width>), the test driver tavtest.sys, its
# installer, the test program twice (linked against the import library, and
# calling through LoadLibrary/GetProcAddress) and the twin suite's session
# program; on the Linux side, the session program against the native release
# tree's library, whose tavctl and tavril-sim the twin check uses (built
# there when missing).  Then, width by width, it creates a fresh prefix,
# installs the driver on one root-enumerated device, runs both test programs
# and tavril-gateway.exe on a free TCP port (queried with pyvisa-py from the
# Linux side; the first test program and the gateway with the DLL's I/O
# trace on, each trace checked), runs a short traced session whose trace
# `tavctl twin` turns into a simulator of the instrument, against which the
# Linux library must get every answer as traced, adds a second device and
# runs the enumeration checks, removes both and checks that nothing is found
# any more, and tears the prefix down.  The 64-bit prefix also runs the two widths side
# by side on one device: each program gets the DLL of its own width, and each
# width has its own four slots.
#
# After the package check everything runs in a network namespace of its own
# (as root), so that the gateway's portmapper gets port 111 even where the
# machine runs rpcbind there.
#
# Usage: scripts/windows-e2e.sh [WIDTH]   WIDTH: x86_64 or i686; both when not
#        given, one after the other
# Closes with "windows-e2e-WIDTH: N passed, M failed, K skipped (T s)"; exits
# non-zero when any check or step failed.  The i686 width does not run (and
# says why) without wine32 or on a kernel that does not run 32-bit programs.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

if (($# == 0)); then
    status=0
    "$0" x86_64 || status=1
    "$0" i686 || status=1
    exit $status
fi
width=$1
case $width in
    x86_64 | i686) ;;
    *) echo "windows-e2e: no width $width (x86_64, i686)" >&2; exit 2 ;;
esac

source "$root/scripts/lib/stage.sh"
stage_begin "windows-e2e-$width"
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}

# ---- packages ------------------------------------------------------------
t=$(date +%s%N)
if ! why=$(stage_packages demo windows network); then
    stage_not_run "$why"
fi
if [[ $width == i686 ]]; then
    if ! kernel_runs_i686; then
        # wine32's loader is itself a 32-bit x86 program.
        stage_not_run "this kernel does not run 32-bit x86 programs (IA-32 emulation off)"
    fi
    if ! why=$(stage_packages windows-i686); then
        stage_not_run "$why"
    fi
fi
echo "== packages ready ($(elapsed "$t"))"

# The rest in a network namespace of its own, with only loopback: wine's
# sockets are made by its wineserver, so the prefix's server, the gateway
# and its client all run there, and the gateway's portmapper gets port 111
# whatever the machine runs on it (rpcbind, for one).  As root; elsewhere
# in the machine's own, where port 111 must be free.
if [[ -z ${TAVLIB_E2E_NETNS:-} ]]; then
    if (($(id -u) == 0)) && unshare --net true 2>/dev/null; then
        export TAVLIB_E2E_NETNS=own TAVLIB_STAGE_START=$stage_start
        exec unshare --net bash -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
    fi
    export TAVLIB_E2E_NETNS=machine
    stage_remark "in the machine's network namespace (no namespace of its own): port 111 must be free"
fi

# ---- builds --------------------------------------------------------------
out=build/windows-e2e
rm -rf "${out:?}/$width"
mkdir -p "$out"
driver=tests/windows/driver
warnings=(-Wall -Wextra -Wpedantic -Wshadow -Werror)

# Builds everything of width $1 into $out/$1/; a failure is one failed step.
build_width() {
    local width=$1 t0 cc=$1-w64-mingw32-gcc-posix dir=$out/$1 entry=DriverEntry
    local log=build/windows-e2e-$1-build.log
    t0=$(date +%s%N)
    mkdir -p "$dir"
    if ! { cmake --preset "mingw-$width" --fresh && cmake --build --preset "mingw-$width"; } >"$log" 2>&1; then
        tail -n 40 "$log"
        step_failed "build of preset mingw-$width (log: $log)"
        return 1
    fi
    # A 32-bit driver's entry point is a stdcall function: its symbol carries
    # the size of its arguments.
    [[ $width == i686 ]] && entry=_DriverEntry@8
    # The driver: a native image that imports only ntoskrnl.exe and hal.dll
    # (the 32-bit spin lock functions live there).  No stack protector or
    # stack probes: neither runtime exists in the kernel.
    if ! "$cc" -std=gnu11 -O2 -Wall -Wextra -Werror -I"/usr/$width-w64-mingw32/include/ddk" \
        -fno-stack-protector -mno-stack-arg-probe -fno-builtin -shared -nostdlib \
        -Wl,--subsystem,native -Wl,--entry,"$entry" -o "$dir/tavtest.sys" \
        "$driver/tavtest.c" -lntoskrnl -lhal >>"$log" 2>&1 ||
        ! "$cc" -std=c11 -O2 "${warnings[@]}" -o "$dir/tavtest_install.exe" \
            "$driver/tavtest_install.c" -lsetupapi -lnewdev >>"$log" 2>&1 ||
        ! "$cc" -std=c11 -O2 "${warnings[@]}" -Iinclude -I"$driver" -o "$dir/e2e_test.exe" \
            tests/windows/e2e/e2e_test.c "build/mingw-$width/src/libtavlib.dll.a" -lsetupapi \
            >>"$log" 2>&1 ||
        ! "$cc" -std=c11 -O2 "${warnings[@]}" -DE2E_LOAD_LIBRARY -Iinclude -I"$driver" \
            -o "$dir/e2e_test_loadlibrary.exe" tests/windows/e2e/e2e_test.c -lsetupapi \
            >>"$log" 2>&1 ||
        ! "$cc" -std=c11 -O2 "${warnings[@]}" -Iinclude -o "$dir/twin_session.exe" \
            tests/twin/session.c "build/mingw-$width/src/libtavlib.dll.a" >>"$log" 2>&1; then
        tail -n 40 "$log"
        step_failed "build of the $width driver and test programs (log: $log)"
        return 1
    fi
    cp "$driver/tavtest.inf" "build/mingw-$width/src/tavlib.dll" \
        "build/mingw-$width/tools/gateway/tavril-gateway.exe" "$dir/"
    echo "== built $width: tavlib.dll, tavril-gateway.exe, tavtest.sys, tavtest_install.exe," \
        "e2e_test.exe, e2e_test_loadlibrary.exe, twin_session.exe ($(elapsed "$t0"))"
}

build_width "$width" || stage_end

# The Linux side of the twin check: tavctl, tavril-sim and libtavlib.so of
# the native release tree (the test command runs this stage after the
# release stage has built it; built here when missing), and the session
# program built against that library.
native=build/release
linux_session=$out/$width/linux/twin_session
no_twin=""
t=$(date +%s%N)
log=build/windows-e2e-$width-native.log
: >"$log"
if [[ ! -x $native/tools/tavctl/tavctl || ! -x $native/simulator/tavril-sim ||
      ! -e $native/src/libtavlib.so ]] &&
    ! { cmake --preset release && cmake --build --preset release --target tavctl tavril-sim tavlib; } \
        >>"$log" 2>&1; then
    no_twin="no native tavctl, tavril-sim and libtavlib.so"
elif ! { mkdir -p "${linux_session%/*}" &&
         gcc -std=c11 -O2 "${warnings[@]}" -Iinclude -o "$linux_session" tests/twin/session.c \
             -L"$native/src" -ltavlib -Wl,-rpath,"$root/$native/src"; } >>"$log" 2>&1; then
    no_twin="no Linux twin_session"
fi
if [[ -n $no_twin ]]; then
    tail -n 40 "$log"
    step_failed "$no_twin (log: $log)"
else
    echo "== native tavctl, tavril-sim, libtavlib.so and twin_session ready ($(elapsed "$t"))"
fi
# The 64-bit prefix also runs the 32-bit programs, through wine32.
no_side_by_side=""
if [[ $width == x86_64 ]]; then
    if ! kernel_runs_i686; then
        no_side_by_side="this kernel does not run 32-bit x86 programs (IA-32 emulation off)"
    elif ! no_side_by_side=$(stage_packages windows-i686); then
        :
    elif ! build_width i686; then
        no_side_by_side="no i686 build"
    fi
fi

# ---- runs ----------------------------------------------------------------

# Every wine program gets a bound: a driver that hangs must not hang CI.
run() { timeout 300 "$wine" "$@"; }

# A fresh prefix for width $1 with its session restarted once.  Right after
# the prefix is made, wine can run two service managers side by side; a
# service created through one is then unknown to the other, and the
# driver's service never starts.  A fresh session has one.
start_prefix() {
    local t0
    t0=$(date +%s%N)
    setup_wine_prefix tavlib-e2e "$1"
    "$wineserver" -p
    if ! run wineboot --init >"$WINEPREFIX/wineboot.log" 2>&1; then
        cat "$WINEPREFIX/wineboot.log"
        step_failed "wineboot --init ($1)"
        return 1
    fi
    "$wineserver" -k 2>/dev/null
    "$wineserver" -p
    run wineboot >>"$WINEPREFIX/wineboot.log" 2>&1
    echo "== $WINEARCH prefix created ($(elapsed "$t0"))"
}

# Installs (or removes) devices; a failure is one failed step.
devices() {
    local t0
    t0=$(date +%s%N)
    echo "== tavtest_install $*"
    if run "$dir/tavtest_install.exe" "$@" 2>&1 | tr -d '\r'; then
        echo "== done ($(elapsed "$t0"))"
        return 0
    fi
    step_failed "tavtest_install $*"
    return 1
}

# Runs test program $1 in $dir with the rest as its arguments.
tests() {
    local t0 program=$1
    shift
    t0=$(date +%s%N)
    echo "== ${dir##*/} $program $*"
    count run "$dir/$program.exe" "$@"
    echo "== run took $(elapsed "$t0")"
}

# The path of $1 as Windows programs see it (wine maps / to drive Z:).
windows_path() {
    local path
    path=$(realpath "$1")
    printf 'Z:%s' "${path//\//\\}"
}

# The whole chain of a Windows bench PC: tavril-gateway.exe serves slot 0
# through tavlib.dll on a free TCP port; a VISA client on the Linux side
# (pyvisa-py) queries it, as a raw socket and as VXI-11 device inst0 through
# the gateway's own portmapper on port 111.
gateway() {
    local t0 port log pid waited=0
    t0=$(date +%s%N)
    log="$WINEPREFIX/gateway.log"
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    echo "== $width tavril-gateway --slot 0 --port $port --read-timeout 1"
    # The log exists before the wait below looks into it: the background
    # shell opens it only once it runs.
    : >"$log"
    # Not through run(): $! must be timeout's own process, which passes the
    # final SIGTERM on to wine.
    # With the DLL's I/O trace (docs/TRACE.md) on, checked after the run.
    TAVRIL_TRACE=$(windows_path "$dir")\\gateway-trace.jsonl \
        timeout 300 "$wine" "$dir/tavril-gateway.exe" --slot 0 --port "$port" --read-timeout 1 \
        >"$log" 2>&1 &
    pid=$!
    # Its ready line, or its end; at most 60 s.
    until grep -q 'tavril-gateway: ready' "$log"; do
        if ! kill -0 "$pid" 2>/dev/null || ((waited >= 600)); then
            tr -d '\r' <"$log"
            step_failed "tavril-gateway.exe ($width) did not start"
            kill "$pid" 2>/dev/null
            wait "$pid" 2>/dev/null
            return
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
    # Debian's pyvisa packages install into the system interpreter.
    count /usr/bin/python3 tests/windows/e2e/gateway_client.py --port "$port"
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    echo "   gateway log:"
    tr -d '\r' <"$log" | sed 's/^/   | /'
    # The gateway is ended from outside, without its closes.
    echo "== the gateway's I/O trace"
    count python3 tests/windows/e2e/check_trace.py --width "$width" \
        --calls Open_Tavril,Write_Tavril,Read_Tavril "$dir/gateway-trace.jsonl"
    echo "== gateway run took $(elapsed "$t0")"
}

# The twin of the driver's instrument, made on Linux of a trace the DLL wrote
# here, and the same session replayed against it through the Linux library
# (tests/windows/e2e/check_twin.py).
twin() {
    local t0
    if [[ -n $no_twin ]]; then
        echo "== the twin of a session traced under wine: not run, $no_twin"
        return
    fi
    t0=$(date +%s%N)
    echo "== the twin of a session traced under wine, replayed on Linux"
    count /usr/bin/python3 tests/windows/e2e/check_twin.py --wine "$wine" \
        --windows-session "$dir/twin_session.exe" --linux-session "$linux_session" \
        --tavctl "$native/tools/tavctl/tavctl" --simulator "$native/simulator/tavril-sim" \
        --folder "$dir"
    echo "== twin check took $(elapsed "$t0")"
}

# The 64-bit prefix runs 32-bit programs too, as 64-bit Windows does: each
# width's program, beside the other's, on the one device.
side_by_side() {
    if [[ -n $no_side_by_side ]]; then
        echo "== the two widths side by side: not run, $no_side_by_side"
        skipped=$((skipped + 1))
        stage_remark "the two widths side by side not run: $no_side_by_side"
        return
    fi
    tests e2e_test --beside "$(windows_path "$out/i686/e2e_test.exe")"
    local self=$dir
    dir=$out/i686
    tests e2e_test --beside "$(windows_path "$out/x86_64/e2e_test.exe")"
    dir=$self
}

# Every check of the width, in a prefix of its own.
dir=$out/$width
if start_prefix "$width"; then
    if devices install 1; then
        # With the DLL's I/O trace on, in one file for the program and the
        # children it starts.
        export TAVRIL_TRACE
        TAVRIL_TRACE=$(windows_path "$dir")\\e2e-trace.jsonl
        tests e2e_test --devices 1
        unset TAVRIL_TRACE
        echo "== the I/O trace of e2e_test --devices 1"
        count python3 tests/windows/e2e/check_trace.py --width "$width" \
            --calls Open_Tavril,Close_Tavril,Write_Tavril,Read_Tavril,Scmd_Tavril,Conf_Tavril \
            "$dir/e2e-trace.jsonl"
        tests e2e_test_loadlibrary --devices 1
        gateway
        twin
        [[ $width == x86_64 ]] && side_by_side
    fi
    devices install 2 && tests e2e_test --devices 2
    devices remove && tests e2e_test --devices 0
fi
cleanup_wine_prefix
stage_end
