#!/usr/bin/env bash
# Starts or stops, by hand and as root, what the VXI-11 client tests need
# beside the gateway: rpcbind (the portmapper on port 111), the D-Bus
# system bus and the Avahi daemon (mDNS), announcing on loopback only.
# Idempotent: a daemon that already runs is left alone, and stop ends only
# what start started (their process ids are kept in $TAVRIL_SERVICES_DIR,
# default /run/tavril-vxi11).
#
#   scripts/vxi11-services.sh start|stop|status
#
# The commands it runs (Debian packages rpcbind, dbus, avahi-daemon):
#   rpcbind -f -w                       (in the background; -w: warm start)
#   dbus-daemon --system --fork --print-pid
#   avahi-daemon -D -f $TAVRIL_SERVICES_DIR/avahi-daemon.conf   (allow-interfaces=lo)
# Run them on the machine's own network namespace only when mDNS and
# broadcasts may reach its networks; scripts/vxi11-netns.sh runs a command
# in a namespace of its own, with only loopback, with these started.
set -uo pipefail

state=${TAVRIL_SERVICES_DIR:-/run/tavril-vxi11}
action=${1:-}

rpcbind_up() { rpcinfo -p 127.0.0.1 >/dev/null 2>&1; }
dbus_up() {
    [[ -S /run/dbus/system_bus_socket ]] &&
        dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus.GetId \
            >/dev/null 2>&1
}
avahi_up() { avahi-daemon --check 2>/dev/null; }

wait_for() {  # wait_for CHECK SECONDS
    local tries=$(($2 * 10))
    while ((tries-- > 0)); do
        "$1" && return 0
        sleep 0.1
    done
    return 1
}

start() {
    if (($(id -u) != 0)); then
        echo "vxi11-services: start needs root" >&2
        return 1
    fi
    mkdir -p "$state"
    local failed=0
    if rpcbind_up; then
        echo "rpcbind: already running"
    else
        mkdir -p /run/rpcbind
        rpcbind -f -w </dev/null >"$state/rpcbind.log" 2>&1 &
        echo $! >"$state/rpcbind.pid"
        if wait_for rpcbind_up 10; then echo "rpcbind: started"; else echo "rpcbind: did not start"; failed=1; fi
    fi
    if dbus_up; then
        echo "dbus: already running"
    else
        mkdir -p /run/dbus
        rm -f /run/dbus/pid /run/dbus/system_bus_socket
        if dbus-daemon --system --fork --print-pid >"$state/dbus.pid" 2>"$state/dbus.log" &&
            wait_for dbus_up 10; then
            echo "dbus: started"
        else
            echo "dbus: did not start ($(tail -n 1 "$state/dbus.log"))"
            failed=1
        fi
    fi
    if avahi_up; then
        echo "avahi-daemon: already running"
    elif ((failed == 0)); then
        cat >"$state/avahi-daemon.conf" <<'CONF'
[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
CONF
        if avahi-daemon -D -f "$state/avahi-daemon.conf" 2>"$state/avahi.log" && wait_for avahi_up 10; then
            cat /run/avahi-daemon/pid >"$state/avahi.pid" 2>/dev/null
            echo "avahi-daemon: started (loopback only)"
        else
            echo "avahi-daemon: did not start ($(tail -n 1 "$state/avahi.log"))"
            failed=1
        fi
    fi
    return $failed
}

stop() {
    local name pid
    for name in avahi dbus rpcbind; do
        [[ -f $state/$name.pid ]] || continue
        pid=$(head -n 1 "$state/$name.pid")
        if [[ $pid =~ ^[0-9]+$ ]] && kill "$pid" 2>/dev/null; then
            echo "$name: stopped (pid $pid)"
        fi
        rm -f "$state/$name.pid"
    done
}

status() {
    rpcbind_up && echo "rpcbind: running" || echo "rpcbind: not running"
    dbus_up && echo "dbus: running" || echo "dbus: not running"
    avahi_up && echo "avahi-daemon: running" || echo "avahi-daemon: not running"
}

case $action in
start) start ;;
stop) stop ;;
status) status ;;
*)
    echo "usage: scripts/vxi11-services.sh start|stop|status" >&2
    exit 2
    ;;
esac
