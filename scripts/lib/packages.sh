# Installs the Debian packages named that are missing; sourced, not run.
# A name may carry an architecture (wine32:i386): dpkg learns that
# architecture first when it does not know it yet.  No recommended packages
# (wine without desktop integration, for one).  As root, or through sudo.
# Fails when the installation fails.
install_missing() {
    local missing=() package arch sudo_cmd=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    ((${#missing[@]})) || return 0
    [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
    for package in "${missing[@]}"; do
        [[ $package == *:* ]] || continue
        arch=${package##*:}
        [[ $arch == "$(dpkg --print-architecture)" ]] && continue
        dpkg --print-foreign-architectures | grep -qx "$arch" && continue
        echo "== dpkg --add-architecture $arch"
        "${sudo_cmd[@]}" dpkg --add-architecture "$arch" || return
    done
    echo "== installing ${missing[*]}"
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
        "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
            --no-install-recommends "${missing[@]}" >/dev/null
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
