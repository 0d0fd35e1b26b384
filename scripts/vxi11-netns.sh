#!/usr/bin/env bash
# Runs a command (as root) in network, mount and process namespaces of its
# own: only loopback, a private /run, and rpcbind, the D-Bus system bus and
# the Avahi daemon started there (scripts/vxi11-services.sh).  Broadcasts
# and mDNS stay on this loopback; everything started in it ends with the
# command.
#
#   scripts/vxi11-netns.sh COMMAND [ARG...]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if (($# == 0)); then
    echo "usage: scripts/vxi11-netns.sh COMMAND [ARG...]" >&2
    exit 2
fi
# Exit status 77 (a skip, to CTest) when it cannot make the namespaces.
if (($(id -u) != 0)); then
    echo "vxi11-netns: needs root (network namespaces); skipped" >&2
    exit 77
fi
if ! unshare --net --mount true 2>/dev/null; then
    echo "vxi11-netns: cannot make namespaces here; skipped" >&2
    exit 77
fi
exec unshare --net --mount --pid --fork --mount-proc --propagation private bash -c '
    set -uo pipefail
    mount -t tmpfs tmpfs /run
    mount -t sysfs sysfs /sys
    ip link set lo up
    "$0/scripts/vxi11-services.sh" start >&2 || echo "vxi11-netns: a service did not start" >&2
    "${@}"
    rc=$?
    "$0/scripts/vxi11-services.sh" stop >&2
    exit $rc
' "$root" "$@"
