#!/usr/bin/env bash
# Builds tavlib.dll for 32-bit and 64-bit Windows (CMake presets mingw-i686
# and mingw-x86_64) and collects what a Windows user downloads:
#
#   dist/windows/i686/     tavlib.dll  tavlib.dll.debug  libtavlib.dll.a  tavlib.lib
#                          tavlib.def  tavlib.h
#   dist/windows/x86_64/   (the same for 64-bit Windows)
#   dist/windows/README.txt, dist/windows/SHA256SUMS
#
# tavlib.dll, libtavlib.dll.a, tavlib.def and tavlib.h come from the build's
# install rules; tavlib.lib is an import library written by the MinGW
# dlltool from the .def, for linkers that look for NAME.lib.  The DLL is
# shipped stripped: its debug sections go to tavlib.dll.debug beside it,
# which the DLL names in its .gnu_debuglink section, and the script fails if
# a .debug_* section is left in the DLL.  Before it
# finishes the script links a small client against each tavlib.lib and
# libtavlib.dll.a and checks that the client imports the six functions from
# tavlib.dll by their plain names.
#
# Usage: scripts/windows-release.sh [--build-root DIR] [--out DIR]
#   --build-root DIR  build in DIR/mingw-<arch> (default: the presets' own
#                     folders, build/mingw-<arch>)
#   --out DIR         collect into DIR (default: dist/windows); emptied first
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

build_root=""
out="dist/windows"
while (($#)); do
    case $1 in
        --build-root) build_root=${2:?--build-root needs a folder}; shift 2 ;;
        --out) out=${2:?--out needs a folder}; shift 2 ;;
        -h | --help) sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"; exit 0 ;;
        *) echo "windows-release: unknown argument $1 (see --help)" >&2; exit 2 ;;
    esac
done

for tool in cmake python3 i686-w64-mingw32-dlltool x86_64-w64-mingw32-dlltool \
    i686-w64-mingw32-objcopy x86_64-w64-mingw32-objcopy \
    i686-w64-mingw32-gcc-posix x86_64-w64-mingw32-gcc-posix sha256sum; do
    command -v "$tool" >/dev/null || {
        echo "windows-release: $tool not found (Debian: g++-mingw-w64-i686-posix," \
            "g++-mingw-w64-x86-64-posix, binutils-mingw-w64, cmake)" >&2
        exit 1
    }
done

version=$(sed -n 's/^project(tavlib VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
work=$(mktemp -d "${TMPDIR:-/tmp}/tavlib-release.XXXXXX")
trap 'rm -rf "$work"' EXIT

rm -rf "$out"
mkdir -p "$out"

# The six exports, as a client's import table must name them.
exports=(Open_Tavril Close_Tavril Write_Tavril Read_Tavril Scmd_Tavril Conf_Tavril)

# A client that references every function; linking it shows that an import
# library resolves the calls (on 32-bit: the decorated stdcall names).
cat >"$work/client.c" <<'EOF'
#include <tavlib.h>
int main(void) {
    TavrilHandle handle = TAVRIL_INVALID_HANDLE;
    InstrumentIdentity identity;
    char buffer[8];
    uint32_t count = 0, error = 0;
    int32_t r = Open_Tavril(TAVRIL_SLOT_COUNT, &handle, &identity, &error);
    r |= Write_Tavril(handle, "*IDN?", 1, &count, &error);
    r |= Read_Tavril(handle, 4, TAVRIL_MODE_LINE, 1, buffer, &count, &error);
    r |= Scmd_Tavril(handle, "*IDN?", 4, TAVRIL_MODE_LINE, 1, 1, buffer, &error);
    r |= Conf_Tavril(handle, &identity, &error);
    r |= Close_Tavril(handle, &error);
    return r == 0;
}
EOF

check_client() { # arch import-library
    local arch=$1 library=$2 exe imports name
    exe="$work/client-$arch-$(basename "$library").exe"
    "$arch-w64-mingw32-gcc-posix" -Wall -Wextra -Werror -I "$out/$arch" "$work/client.c" \
        "$library" -o "$exe"
    imports=$("$arch-w64-mingw32-objdump" -p "$exe" | sed -n '/DLL Name: tavlib.dll/,/^$/p')
    for name in "${exports[@]}"; do
        if ! grep -Eq "[[:space:]]$name\$" <<<"$imports"; then
            echo "windows-release: a client linked with $library does not import $name" \
                "from tavlib.dll:" >&2
            printf '%s\n' "$imports" >&2
            exit 1
        fi
    done
    echo "   client linked with $(basename "$library") imports the six functions from tavlib.dll"
}

for arch in i686 x86_64; do
    preset="mingw-$arch"
    if [[ -n $build_root ]]; then
        build="$build_root/$preset"
        cmake --preset "$preset" -B "$build" >"$work/$preset.log" 2>&1 ||
            { cat "$work/$preset.log"; exit 1; }
    else
        build="build/$preset"
        cmake --preset "$preset" >"$work/$preset.log" 2>&1 || { cat "$work/$preset.log"; exit 1; }
    fi
    echo "== $preset: building tavlib.dll in $build"
    cmake --build "$build" --target tavlib -j2 >>"$work/$preset.log" 2>&1 ||
        { tail -n 40 "$work/$preset.log"; exit 1; }

    stage="$work/stage-$arch"
    for component in runtime development; do
        cmake --install "$build" --prefix "$stage" --component "$component" >>"$work/$preset.log"
    done
    dest="$out/$arch"
    mkdir -p "$dest"
    cp "$stage/bin/tavlib.dll" "$stage/lib/libtavlib.dll.a" "$stage/lib/tavlib.def" \
        "$stage/include/tavlib.h" "$dest/"

    # Debug information beside the DLL, not in it.
    before=$(stat -c %s "$dest/tavlib.dll")
    "$arch-w64-mingw32-objcopy" --only-keep-debug "$dest/tavlib.dll" "$dest/tavlib.dll.debug"
    "$arch-w64-mingw32-objcopy" --strip-debug --strip-unneeded \
        --add-gnu-debuglink="$dest/tavlib.dll.debug" "$dest/tavlib.dll"
    sections=$("$arch-w64-mingw32-objdump" -h "$dest/tavlib.dll")
    if grep -q '[[:space:]]\.debug_' <<<"$sections"; then
        echo "windows-release: $dest/tavlib.dll still has debug sections:" >&2
        grep '[[:space:]]\.debug_' <<<"$sections" >&2
        exit 1
    fi
    if ! grep -q '[[:space:]]\.gnu_debuglink[[:space:]]' <<<"$sections"; then
        echo "windows-release: $dest/tavlib.dll does not name its debug file" >&2
        exit 1
    fi
    # The stripped image keeps its shared section, exports and imports.
    python3 tests/windows/check_pe.py "$dest/tavlib.dll" --arch "$arch" \
        --allow-import KERNEL32.dll --allow-import SETUPAPI.dll \
        --allow-import ADVAPI32.dll --allow-import msvcrt.dll >"$work/check-$arch.log" ||
        { cat "$work/check-$arch.log" >&2; exit 1; }
    echo "   tavlib.dll stripped: $before -> $(stat -c %s "$dest/tavlib.dll") bytes," \
        "tavlib.dll.debug $(stat -c %s "$dest/tavlib.dll.debug") bytes"

    # The .lib: from the .def, as the build makes the 32-bit import library.
    # --kill-at maps the decorated names callers use (_Open_Tavril@16) onto
    # the plain names the DLL exports; the 64-bit .def has no decoration.
    "$arch-w64-mingw32-dlltool" --kill-at --def "$dest/tavlib.def" --dllname tavlib.dll \
        --output-lib "$dest/tavlib.lib"

    case $arch in
        i686) format=pei-i386 ;;
        x86_64) format=pei-x86-64 ;;
    esac
    if ! "$arch-w64-mingw32-objdump" -f "$dest/tavlib.dll" | grep -q "file format $format"; then
        echo "windows-release: $dest/tavlib.dll is not a $format image" >&2
        exit 1
    fi
    check_client "$arch" "$dest/tavlib.lib"
    check_client "$arch" "$dest/libtavlib.dll.a"
done

cat >"$out/README.txt" <<EOF
tavlib $version for Windows
=======================

Device access for the VESPARO ZQ907 programmable instrument: six C functions
declared in tavlib.h.  One folder per architecture:

  i686/     32-bit Windows.  The functions are __stdcall with undecorated
            export names (Open_Tavril, ...); tavlib.h declares them so.
  x86_64/   64-bit Windows.

In each folder:

  tavlib.dll       the library; put it next to your program or on PATH.
                   It needs only system DLLs.
  tavlib.dll.debug its debug information (DWARF), for gdb: keep it beside
                   tavlib.dll when debugging; not needed otherwise.
  tavlib.h         the header: functions, result values, InstrumentIdentity.
  tavlib.lib       import library for linkers that take NAME.lib
                   (link.exe: add tavlib.lib to the linker inputs).
  libtavlib.dll.a  import library for MinGW-w64 (gcc ... -L<folder> -ltavlib).
  tavlib.def       the export list the DLL was linked with (on i686 each
                   name carries its stdcall argument size, @N).

Python: the tavril module loads tavlib.dll with the stdcall convention;
give it the path with tavril.load(r"C:\\path\\to\\tavlib.dll") or the
environment variable TAVLIB_LIBRARY.  Use the DLL that matches the
interpreter (32-bit Python: i686, 64-bit Python: x86_64).
EOF

(cd "$out" && find . -type f ! -name SHA256SUMS -printf '%P\n' | sort | xargs sha256sum >SHA256SUMS)
echo "== collected in $out:"
(cd "$out" && find . -type f -printf '   %-26P %s bytes\n' | sort)
