#!/usr/bin/env bash
# The Windows end-to-end stage: tavlib.dll (x86_64) against a kernel-mode
# test driver, under wine64.
#
# Installs what it needs, builds the x86_64 DLL (preset mingw-x86_64), the
# test driver tavtest.sys, its installer and the test program, creates a
# fresh wine prefix, installs the driver on one root-enumerated device, runs
# the test program, adds a second device and runs the enumeration checks,
# removes both and checks that nothing is found any more, then tears the
# prefix down.  With one device it also runs tavril-gateway.exe on a free
# TCP port and queries it with pyvisa-py from the Linux side.
#
# Usage: scripts/windows-e2e.sh        (as root when packages are missing)
# Closes with "windows-e2e: N passed, M failed", the sum of every run below;
# exits non-zero when any check or step failed.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

stage_start=$(date +%s%N)
passed=0
failed=0

source "$root/scripts/lib/stage.sh"

finish() {
    echo "== Windows end-to-end stage took $(elapsed "$stage_start")"
    echo "windows-e2e: $passed passed, $failed failed"
    ((failed == 0 && passed > 0))
    exit
}

# ---- packages ------------------------------------------------------------
t=$(date +%s%N)
packages=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev wine64 cmake
          libasio-dev libcli11-dev python3 python3-pyvisa python3-pyvisa-py)
if ! install_missing "${packages[@]}"; then
    step_failed "installing ${packages[*]}"
    finish
fi
echo "== packages ready ($(elapsed "$t"))"

# ---- builds --------------------------------------------------------------
t=$(date +%s%N)
mkdir -p build
log=build/windows-e2e-build.log
if ! { cmake --preset mingw-x86_64 && cmake --build --preset mingw-x86_64; } >"$log" 2>&1; then
    tail -n 40 "$log"
    step_failed "build of preset mingw-x86_64 (log: $log)"
    finish
fi
echo "== built tavlib.dll ($(elapsed "$t"))"

t=$(date +%s%N)
out=build/windows-e2e
rm -rf "$out"
mkdir -p "$out"
cc=x86_64-w64-mingw32-gcc-posix
driver=tests/windows/driver
warnings=(-Wall -Wextra -Wpedantic -Wshadow -Werror)
# The driver: a native image that imports only ntoskrnl.exe.  No stack
# protector or stack probes: neither runtime exists in the kernel.
if ! "$cc" -std=gnu11 -O2 -Wall -Wextra -Werror -I/usr/x86_64-w64-mingw32/include/ddk \
    -fno-stack-protector -mno-stack-arg-probe -fno-builtin -shared -nostdlib \
    -Wl,--subsystem,native -Wl,--entry,DriverEntry -o "$out/tavtest.sys" \
    "$driver/tavtest.c" -lntoskrnl >>"$log" 2>&1 ||
    ! "$cc" -std=c11 -O2 "${warnings[@]}" -o "$out/tavtest_install.exe" \
        "$driver/tavtest_install.c" -lsetupapi -lnewdev >>"$log" 2>&1 ||
    ! "$cc" -std=c11 -O2 "${warnings[@]}" -Iinclude -I"$driver" -o "$out/e2e_test.exe" \
        tests/windows/e2e/e2e_test.c build/mingw-x86_64/src/libtavlib.dll.a -lsetupapi \
        >>"$log" 2>&1; then
    tail -n 40 "$log"
    step_failed "build of the driver and the test programs (log: $log)"
    finish
fi
cp "$driver/tavtest.inf" build/mingw-x86_64/src/tavlib.dll \
    build/mingw-x86_64/tools/gateway/tavril-gateway.exe "$out/"
echo "== built tavtest.sys, tavtest_install.exe, e2e_test.exe ($(elapsed "$t"))"

# ---- wine ----------------------------------------------------------------
setup_wine_prefix tavlib-e2e

# Every wine program gets a bound: a driver that hangs must not hang CI.
run() { timeout 300 "$wine" "$@"; }

t=$(date +%s%N)
"$wineserver" -p
if ! run wineboot --init >"$WINEPREFIX/wineboot.log" 2>&1; then
    cat "$WINEPREFIX/wineboot.log"
    step_failed "wineboot --init"
    finish
fi
# Right after the prefix is made, wine can run two service managers side by
# side; a service created through one is then unknown to the other, and the
# driver's service never starts.  A fresh session has one.
"$wineserver" -k 2>/dev/null
"$wineserver" -p
run wineboot >>"$WINEPREFIX/wineboot.log" 2>&1
echo "== wine prefix created ($(elapsed "$t"))"

# Installs (or removes) devices; a failure is one failed step.
devices() {
    local t0
    t0=$(date +%s%N)
    echo "== tavtest_install $*"
    if run "$out/tavtest_install.exe" "$@" 2>&1 | tr -d '\r'; then
        echo "== done ($(elapsed "$t0"))"
        return 0
    fi
    step_failed "tavtest_install $*"
    return 1
}

tests() {
    local t0
    t0=$(date +%s%N)
    echo "== e2e_test --devices $1"
    count run "$out/e2e_test.exe" --devices "$1"
    echo "== run took $(elapsed "$t0")"
}

# The whole chain of a Windows bench PC: tavril-gateway.exe serves slot 0
# through tavlib.dll on a free TCP port; a VISA client on the Linux side
# (pyvisa-py) queries it.
gateway() {
    local t0 port log pid waited=0
    t0=$(date +%s%N)
    log="$WINEPREFIX/gateway.log"
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    echo "== tavril-gateway --slot 0 --port $port --read-timeout 1"
    # Not through run(): $! must be timeout's own process, which passes the
    # final SIGTERM on to wine.
    timeout 300 "$wine" "$out/tavril-gateway.exe" --slot 0 --port "$port" --read-timeout 1 \
        >"$log" 2>&1 &
    pid=$!
    until grep -q 'tavril-gateway: ready' "$log"; do
        if ! kill -0 "$pid" 2>/dev/null || ((waited >= 600)); then
            tr -d '\r' <"$log"
            step_failed "tavril-gateway.exe did not start"
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
    echo "== gateway run took $(elapsed "$t0")"
}

devices install 1 && { tests 1; gateway; }
devices install 2 && tests 2
devices remove && tests 0

t=$(date +%s%N)
"$wineserver" -k 2>/dev/null
echo "== wineserver stopped ($(elapsed "$t"))"
finish
