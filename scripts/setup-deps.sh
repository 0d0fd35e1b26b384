#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing tavlib on Linux
# needs.  Idempotent: does nothing when everything is present.
#   setup-deps.sh [extra-package...]
set -euo pipefail

packages=(
  cmake make g++ gcc pkg-config python3 python3-pytest
  libgtest-dev libgmock-dev libbenchmark-dev
  libyaml-cpp-dev libcli11-dev libreadline-dev libasio-dev
  python3-pyvisa python3-pyvisa-py
  g++-multilib qemu-user-static googletest
  clang-14 libclang-rt-14-dev  # the fuzz preset: clang and its libFuzzer runtime
  libtsan2  # the ThreadSanitizer runtime of the tsan preset
  # The gateway's VXI-11: rpcbind registration and the tests' RPC clients,
  # mDNS announcements, and the services and clients its tests run.
  libtirpc-dev rpcsvc-proto rpcbind libavahi-client-dev avahi-daemon avahi-utils dbus lxi-tools
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
echo "Installing: ${missing[*]}"
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
