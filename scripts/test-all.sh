#!/usr/bin/env bash
# The test command: installs what every stage needs, builds and runs every
# suite in every build, and ends with a table of the stages.
#
#   scripts/test-all.sh
#
# The stages (each a script of its own, runnable alone; README.md says what
# each covers and how long it takes):
#   release      scripts/linux-tests.sh release   every suite, Release build
#   asan         scripts/linux-tests.sh asan      every suite, ASan+UBSan build
#   debug        scripts/linux-tests.sh debug     the Debug build's programs, its unit suites
#   tsan         scripts/tsan-tests.sh            the library's suites and the stress
#                                                 program's short modes, ThreadSanitizer
#   i686         scripts/i686-tests.sh            the same as 32-bit programs
#   fuzz         scripts/fuzz-all.sh 30           each libFuzzer target for 30 s
#   windows-W    scripts/windows-checks.sh W      the DLL's image, its test program under wine
#   windows-e2e-W scripts/windows-e2e.sh W        the DLL against a kernel-mode test driver
# (W: x86_64 and i686).  They run in two lanes side by side, one the
# release and asan builds (the asan build beside the release suites), the
# other, once the first lane's packages are in, the set-up of the remaining
# packages, the Windows, fuzz, i686, tsan and debug stages, so that one
# lane's builds use the core the other's waiting tests leave idle.  Every
# stage runs, whatever an earlier one did.  Each stage's output goes to
# build/stages/STAGE.log; the terminal shows when each starts and ends.
#
# Exits non-zero when any stage failed, or ended without saying how it did.
# A stage the machine cannot run (a kernel that refuses 32-bit programs, a
# package that could not be installed) reads "not run: WHY" and does not
# make the command fail.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}
stages_dir=build/stages
mkdir -p "$stages_dir"
rm -f "$stages_dir"/*.result "$stages_dir"/*.log "$stages_dir"/*.built
start=$(date +%s)

order=(setup-linux setup-rest release asan debug tsan i686 fuzz windows-x86_64 windows-i686
       windows-e2e-x86_64 windows-e2e-i686)

say() { printf '[%s] %s\n' "$(date -u +%H:%M:%S)" "$*"; }

# Runs stage NAME (COMMAND...) with its output in build/stages/NAME.log.
stage() {
    local name=$1 rc t0
    shift
    t0=$(date +%s)
    say "$name: started"
    "$@" >"$stages_dir/$name.log" 2>&1
    rc=$?
    if [[ ! -f $stages_dir/$name.result ]]; then
        printf 'failed\t0\t1\t0\t%d\tended without a result (exit code %d)\n' \
            $(($(date +%s) - t0)) "$rc" >"$stages_dir/$name.result"
    fi
    say "$name: $(cut -f1 "$stages_dir/$name.result") ($(($(date +%s) - t0)) s)"
}

# The installation of package sets as a row: passed counts the packages
# present afterwards, failed those that could not be installed (which
# makes their stages "not run", not this row a failure).
setup_stage() { # NAME SET...
    local name=$1 t0 present=0 absent=0 set package notes=""
    shift
    t0=$(date +%s)
    scripts/setup-deps.sh "$@"
    source scripts/lib/packages.sh
    for set in "$@"; do
        for package in $(set_packages "$set"); do
            if installed "$package"; then
                present=$((present + 1))
            else
                absent=$((absent + 1))
                notes+="${notes:+; }$(package_unavailable "$package" || echo "$package is not installed")"
            fi
        done
    done
    printf 'passed\t%d\t0\t%d\t%d\t%s\n' "$present" "$absent" $(($(date +%s) - t0)) "$notes" \
        >"$stages_dir/$name.result"
}

# Until one of the files of build/stages named is there.
wait_for() {
    local name
    for (( ; ; )); do
        for name; do [[ -e $stages_dir/$name ]] && return; done
        sleep 2
    done
}
# Until STAGE's tree is built (or the stage has ended without it).
wait_built() { wait_for "$1.built" "$1.result"; }

# The release build first (the i686 and Windows end-to-end stages use its
# simulator), then the sanitizer build, which starts as soon as the release
# tree is built: the release suites, which mostly wait on processes and
# sockets, run beside it.
lane_linux() {
    stage setup-linux setup_stage setup-linux demo linux network
    stage release scripts/linux-tests.sh release &
    local release_pid=$!
    wait_built release
    stage asan scripts/linux-tests.sh asan
    wait "$release_pid"
}

lane_other() {
    # The packages of the release build first, so that it starts at once.
    wait_for setup-linux.result
    stage setup-rest setup_stage setup-rest tsan i686 fuzz windows windows-i686 bench
    stage windows-x86_64 scripts/windows-checks.sh x86_64
    stage windows-i686 scripts/windows-checks.sh i686
    stage fuzz scripts/fuzz-all.sh 30
    # The Windows end-to-end stages' twin check and the i686 stage's tests
    # start the release build's simulator (and tavctl): that build must be
    # done (two builds in one tree at a time would clash).
    wait_built release
    stage windows-e2e-x86_64 scripts/windows-e2e.sh x86_64
    stage windows-e2e-i686 scripts/windows-e2e.sh i686
    stage i686 scripts/i686-tests.sh
    stage tsan scripts/tsan-tests.sh
    # The Debug build must build and pass too; its suites would repeat the
    # release build's (the code holds no assertions), so it builds every
    # program and the unit suites only, and runs them.  Here, as the
    # sanitizer build and its suites take the other lane longest.
    stage debug scripts/linux-tests.sh debug --suites unit
}

# The two lanes install packages with one apt at a time (the lock in
# scripts/lib/packages.sh).
lane_linux &
linux_pid=$!
lane_other &
other_pid=$!
wait "$linux_pid" "$other_pid"
total=$(($(date +%s) - start))

clock() { printf '%d:%02d' $(($1 / 60)) $(($1 % 60)); }
status=0
echo
printf '%-20s %7s %7s %8s %7s  %s\n' stage passed failed skipped time result
for name in "${order[@]}"; do
    IFS=$'\t' read -r state p f s seconds note <"$stages_dir/$name.result"
    case $state in
        passed) shown=passed ;;
        not-run) shown="not run: $note"; note="" ;;
        *) shown=FAILED; status=1 ;;
    esac
    printf '%-20s %7s %7s %8s %7s  %s\n' "$name" "$p" "$f" "$s" "$(clock "$seconds")" \
        "$shown${note:+ ($note)}"
done
echo "test-all: $(clock "$total") in all; logs in $stages_dir/"
for name in "${order[@]}"; do
    if [[ $(cut -f1 "$stages_dir/$name.result") == failed ]]; then
        echo "== $name failed: $stages_dir/$name.log"
        grep -E '^(FAILED|[0-9]+% tests passed|The following tests FAILED|[[:space:]]+[0-9]+ - )' \
            "$stages_dir/$name.log" | head -n 20 | sed 's/^/   /'
    fi
done
exit "$status"
