#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing tavlib needs:
# the Linux builds, and the Windows stages' cross compilers and wine (wine64
# and, with the i386 architecture added, wine32).  Idempotent: does nothing
# when everything is present.
#   setup-deps.sh [extra-package...]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib/packages.sh"

packages=(
  cmake make g++ gcc pkg-config python3 python3-pytest
  libgtest-dev libgmock-dev libbenchmark-dev
  libyaml-cpp-dev libcli11-dev libreadline-dev libasio-dev
  python3-pyvisa python3-pyvisa-py
  g++-multilib googletest  # the linux-i686 preset: gcc -m32 and its 32-bit runtimes
  qemu-user-static  # the linux-i686 build's enumeration suite under emulation
  clang-14 libclang-rt-14-dev  # the fuzz preset: clang and its libFuzzer runtime
  libtsan2  # the ThreadSanitizer runtime of the tsan preset
  # The Windows stages: MinGW-w64 for both widths, wine for both widths.
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64
  mingw-w64-i686-dev mingw-w64-x86-64-dev wine64 wine32:i386
  # The gateway's VXI-11: rpcbind registration and the tests' RPC clients,
  # mDNS announcements, and the services and clients its tests run.
  libtirpc-dev rpcsvc-proto rpcbind libavahi-client-dev avahi-daemon avahi-utils dbus lxi-tools
  "$@"
)
install_missing "${packages[@]}"
