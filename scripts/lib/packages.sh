# The Debian 12 packages tavlib needs, by purpose, and their installation;
# sourced, not run.
#
# Each set names what it is for and what does not run without it.  The demo
# installs its set only; the test command installs every set.  A name may
# carry an architecture (wine32:i386): dpkg learns that architecture first.

# The sets, in the order the test command installs them.
package_sets=(demo linux tsan i686 fuzz windows windows-i686 network bench)

# What each set is for: the packages, then (after "--") what will not run
# without them.
set_packages() {
    case $1 in
        # The Linux library, the simulator, tavctl and the demo program (the
        # release tree configures without its test suites here; the gateway,
        # which configures in the same tree, needs asio and CLI11; tavctl's
        # trace reader, nlohmann-json).
        demo) echo cmake ninja-build ccache g++ pkg-config libyaml-cpp-dev libcli11-dev \
                   libreadline-dev libasio-dev nlohmann-json3-dev ;;
        # The suites of the release and ASan+UBSan builds: GoogleTest, pytest
        # and pyvisa-py for the Python suites, libtirpc (the gateway's rpcbind
        # registration) and rpcgen (the VXI-11 suite's reference clients), Avahi
        # for the gateway's announcements, nlohmann-json for the unit suite's
        # reading of trace records (headers only, for both widths).
        linux) echo libgtest-dev python3 python3-pytest python3-pyvisa python3-pyvisa-py \
                    libtirpc-dev rpcsvc-proto libavahi-client-dev nlohmann-json3-dev ;;
        # The ThreadSanitizer runtime.
        tsan) echo libtsan2 ;;
        # gcc -m32 and its 32-bit runtimes, GoogleTest's sources for that
        # width, and qemu-i386-static for the enumeration suite.
        i686) echo g++-multilib googletest qemu-user-static ;;
        # clang and its libFuzzer runtime.
        fuzz) echo clang-14 libclang-rt-14-dev ;;
        # MinGW-w64 for both widths (the gateway's asio and CLI11 come from
        # the demo set), wine64, which runs the 64-bit DLL, and pytest for
        # the end-to-end stage's twin check (it starts the simulator through
        # the suites' harness).
        windows) echo g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64 \
                      mingw-w64-i686-dev mingw-w64-x86-64-dev wine64 python3 python3-pytest ;;
        # wine32, which runs the 32-bit DLL in a 32-bit prefix.
        windows-i686) echo wine32:i386 ;;
        # What the VXI-11 client suites and the Windows gateway check run:
        # rpcbind, D-Bus and avahi-daemon in a network namespace
        # (scripts/vxi11-netns.sh, iproute2), lxi-tools and pyvisa-py as the
        # clients, avahi-utils' avahi-browse beside them.  netbase: the
        # "sunrpc" service name, without which rpcbind and rpcinfo find no
        # port (a minimal root has no /etc/services).
        network) echo rpcbind dbus avahi-daemon avahi-utils lxi-tools iproute2 netbase python3-pyvisa \
                      python3-pyvisa-py ;;
        # The benchmarks' cross-checks (bench/README.md): strace -c for the
        # system calls, valgrind's callgrind for instruction counts that do
        # not depend on the machine's load, perf for profiles.  The
        # benchmarks themselves count system calls without them.
        bench) echo strace valgrind linux-perf ;;
        *) echo "set_packages: no set $1" >&2; return 1 ;;
    esac
}

# What does not run when a package of the set cannot be installed.
set_consequence() {
    case $1 in
        demo) echo "nothing builds" ;;
        linux) echo "the release and asan stages fail" ;;
        tsan) echo "the tsan stage does not run" ;;
        i686) echo "the i686 stage does not run" ;;
        fuzz) echo "the fuzz stage does not run" ;;
        windows) echo "the windows stages do not run" ;;
        windows-i686) echo "the i686 DLL is not run under wine (windows i686 and windows-e2e i686 not run)" ;;
        network) echo "the VXI-11 client suites and the Windows gateway checks fail" ;;
        bench) echo "the benchmark README's cross-checks (strace, callgrind, perf) cannot be run" ;;
    esac
}

# Where the installer notes each package it could not install, one line
# "PACKAGE<TAB>WHY", for the stages to read (package_unavailable).
setup_state_file() { echo "${TAVLIB_SETUP_STATE:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/build/setup/unavailable}"; }

# True (and prints why) when the last installation could not install the
# package named.
package_unavailable() {
    local file
    file=$(setup_state_file)
    [[ -f $file ]] || return 1
    awk -F '\t' -v p="$1" '$1 == p { print $2; found = 1 } END { exit !found }' "$file"
}

# Forgets the refusals of the packages of the sets named, so that the next
# installation tries them again.
forget_refusals() {
    local state set
    state=$(setup_state_file)
    [[ -f $state ]] || return 0
    awk -F '\t' 'NR == FNR { want[$1]; next } !($1 in want)' \
        <(for set in "$@"; do set_packages "$set" | tr ' ' '\n'; done) "$state" >"$state.new" &&
        mv "$state.new" "$state"
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# The reason apt gives for not installing $1, in one line.
apt_refusal() {
    local out
    out=$(apt_run install -s --no-install-recommends "$1" 2>&1)
    (($? == 0)) && ! grep -q '^E: ' <<<"$out" && return 1
    local why
    why=$(grep -m1 -E '^E: (Unable to locate|Package .* has no installation candidate|Version)' <<<"$out")
    [[ -n $why ]] || why=$(grep -m1 -E '^ [^ ].* : (Depends|PreDepends):' <<<"$out" | sed 's/^ *//; s/  */ /g')
    [[ -n $why ]] && why="unmet dependency: $why"
    [[ -n $why ]] || why=$(grep -m1 '^E: ' <<<"$out")
    echo "${why#E: }"
}

# Installs the missing packages of the sets named.  A failed index update
# does not stop it (the indexes that were fetched may hold everything
# needed).  A package that still cannot be installed is written to the
# state file and reported in one line: which, why and what will not run.
# Returns 1 when a package of the sets could not be installed.
install_sets() {
    local set package missing=() state
    local -A set_of=()
    state=$(setup_state_file)
    mkdir -p "$(dirname "$state")"
    for set in "$@"; do
        for package in $(set_packages "$set"); do
            [[ -n ${set_of[$package]:-} ]] && continue
            set_of[$package]=$set
            installed "$package" || missing+=("$package")
        done
    done
    # A package refused within the last hour is not tried again (each stage
    # of the test command asks for its sets); forget_refusals clears them.
    find "$state" -mmin +60 -delete 2>/dev/null
    local wanted=()
    for package in "${missing[@]}"; do
        package_unavailable "$package" >/dev/null || wanted+=("$package")
    done
    missing=("${wanted[@]}")
    ((${#missing[@]})) || return 0
    # One installation at a time (the test command's two lanes may both
    # ask); what the other installed meanwhile is not asked for again.
    (
        flock 9
        local still=()
        for package in "${missing[@]}"; do
            installed "$package" || still+=("$package")
        done
        ((${#still[@]})) || exit 0
        apt_install "${still[@]}"
    ) 9>>"$(dirname "$state")/apt.lock"
}

# apt-get, as root or through sudo, waiting for another apt to finish.
apt_run() {
    local sudo_cmd=()
    [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" env LC_ALL=C DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"
}

# Installs the packages named (for install_sets, which sets `set_of` and
# `state`).
apt_install() {
    local package arch missing=("$@") update_error="" status=0 log why rc
    for package in "${missing[@]}"; do
        [[ $package == *:* ]] || continue
        arch=${package##*:}
        [[ $arch == "$(dpkg --print-architecture)" ]] && continue
        dpkg --print-foreign-architectures | grep -qx "$arch" && continue
        echo "setup: dpkg --add-architecture $arch"
        if (($(id -u) == 0)); then dpkg --add-architecture "$arch"; else sudo dpkg --add-architecture "$arch"; fi ||
            status=1
    done
    echo "setup: installing ${missing[*]}"
    log=$(mktemp)
    apt_run update -qq >"$log" 2>&1
    rc=$?
    if ((rc != 0)); then
        update_error=$(grep -m1 -E '^(E|W): ' "$log" | sed 's/^[EW]: //; s/ *\[IP: [^]]*\]//')
        echo "setup: apt-get update failed (${update_error:-exit code $rc}); installing from the indexes that were fetched"
    fi
    if apt_run install -y -qq --no-install-recommends "${missing[@]}" >"$log" 2>&1; then
        rm -f "$log"
        return "$status"
    fi
    # Something cannot be installed: find which, install the rest.
    local installable=()
    for package in "${missing[@]}"; do
        if why=$(apt_refusal "$package"); then
            [[ -n $update_error ]] && why+="; the index update had failed: $update_error"
            echo "setup: $package (set ${set_of[$package]}) cannot be installed: $why; $(set_consequence "${set_of[$package]}")"
            printf '%s\t%s\n' "$package" "$package cannot be installed: $why" >>"$state"
            status=1
        else
            installable+=("$package")
        fi
    done
    if ((${#installable[@]})) && ! apt_run install -y -qq --no-install-recommends "${installable[@]}" >"$log" 2>&1; then
        why=$(grep -m1 '^E: ' "$log")
        for package in "${installable[@]}"; do
            installed "$package" && continue
            echo "setup: $package (set ${set_of[$package]}) was not installed: ${why:-apt-get install failed}; $(set_consequence "${set_of[$package]}")"
            printf '%s\t%s\n' "$package" "$package was not installed: ${why:-apt-get install failed}" >>"$state"
        done
        status=1
    fi
    rm -f "$log"
    return "$status"
}

# True when the kernel runs 32-bit x86 programs (IA-32 emulation): builds a
# tiny -m32 program and runs it.  Some kernels are built with the emulation
# but boot with it off (ia32_emulation=false, or a hypervisor's default);
# their exec of an i686 program fails with "Exec format error".
# The answer is found once per script.
kernel_runs_i686() {
    if [[ -z ${kernel_runs_i686_answer:-} ]]; then
        local dir
        dir=$(mktemp -d)
        printf 'int main(void) { return 0; }\n' >"$dir/probe.c"
        kernel_runs_i686_answer=no
        gcc -m32 -static -o "$dir/probe" "$dir/probe.c" 2>/dev/null && "$dir/probe" 2>/dev/null &&
            kernel_runs_i686_answer=yes
        rm -rf "$dir"
    fi
    [[ $kernel_runs_i686_answer == yes ]]
}
