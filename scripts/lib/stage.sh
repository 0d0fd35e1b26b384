# What every stage script of the test command shares; sourced, not run.
#
# A stage counts its checks (`passed`, `failed`, `skipped`), and ends with
# `stage_end`, which prints "STAGE: N passed, M failed, K skipped (T s)" and
# writes the stage's row for the summary of scripts/test-all.sh into
# build/stages/STAGE.result:
#   STATUS<TAB>PASSED<TAB>FAILED<TAB>SKIPPED<TAB>SECONDS<TAB>NOTE
# STATUS is "passed", "failed", or "not-run" (the machine cannot run it: a
# kernel that refuses 32-bit programs, a package that could not be
# installed); `stage_not_run WHY` ends a stage so.
#
# Sourcing starts the stage's clock; `stage_begin NAME` names it.
stage_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
stage_start=$(date +%s%N)
stage_name=""
stage_note=""
passed=0
failed=0
skipped=0

source "$(dirname "${BASH_SOURCE[0]}")/packages.sh"

# A stage that runs itself again (in a namespace, say) passes its clock on
# in TAVLIB_STAGE_START.
stage_begin() {
    stage_name=$1
    stage_start=${TAVLIB_STAGE_START:-$(date +%s%N)}
    unset TAVLIB_STAGE_START
    mkdir -p "$stage_root/build/stages"
    rm -f "$stage_root/build/stages/$stage_name.result"
}

elapsed() { # milliseconds since $1 (a date +%s%N value), as seconds
    local ms=$((($(date +%s%N) - $1) / 1000000))
    printf '%d.%03ds' $((ms / 1000)) $((ms % 1000))
}

# Adds a remark to the stage's row.
stage_remark() { stage_note=${stage_note:+$stage_note; }$*; }

stage_write() { # STATUS
    local seconds=$((($(date +%s%N) - stage_start) / 1000000000))
    [[ -n $stage_name ]] || return 0
    printf '%s\t%d\t%d\t%d\t%d\t%s\n' "$1" "$passed" "$failed" "$skipped" "$seconds" "$stage_note" \
        >"$stage_root/build/stages/$stage_name.result"
}

# Ends the stage: passed when nothing failed and something passed.
stage_end() {
    local status=passed
    ((failed == 0 && passed > 0)) || status=failed
    stage_write "$status"
    echo "$stage_name: $passed passed, $failed failed, $skipped skipped ($(elapsed "$stage_start"))${stage_note:+ ($stage_note)}"
    [[ $status == passed ]]
    exit
}

# Ends a stage the machine cannot run, with the reason.
stage_not_run() {
    stage_note=$*
    stage_write not-run
    echo "$stage_name: not run: $*"
    exit 0
}

# Installs the package sets the stage needs (nothing when they are there).
# Returns 1, and prints which package could not be installed, when one of
# them could not.
stage_packages() {
    local set package why
    install_sets "$@" >&2
    for set in "$@"; do
        for package in $(set_packages "$set"); do
            if why=$(package_unavailable "$package"); then
                # The whole reason in the log; the row names the package.
                echo "$why" >&2
                echo "$package could not be installed (scripts/setup-deps.sh $set says why)"
                return 1
            fi
        done
    done
}

step_failed() {
    echo "FAILED $*"
    failed=$((failed + 1))
}

# Runs a program and adds the counts of its closing "N passed, M failed"
# line; one that ends without it counts as one failure.
count() {
    local out rc line
    # Programs under wine end their lines with CR LF.
    out=$("$@" 2>&1 | tr -d '\r')
    rc=$?
    printf '%s\n' "$out"
    line=$(printf '%s\n' "$out" | grep -E '^[0-9]+ passed, [0-9]+ failed$' | tail -n 1)
    if [[ -z $line ]]; then
        step_failed "$* ended without a result line (exit code $rc)"
        return
    fi
    local p f
    read -r p _ f _ <<<"${line//,/}"
    passed=$((passed + p))
    failed=$((failed + f))
    if ((rc != 0 && f == 0)); then
        step_failed "$* exited with $rc"
    fi
}

# Runs CTest with the arguments given and adds its counts: every test that
# passed, failed (a time-out too) or was skipped (exit code 77, or a
# disabled test).  Returns CTest's status.
ctest_counts() {
    local junit rc
    junit=$(mktemp "${TMPDIR:-/tmp}/ctest-junit.XXXXXX")
    ctest --output-junit "$junit" "$@"
    rc=$?
    local p f s
    read -r p f s < <(python3 - "$junit" <<'EOF'
import sys, xml.etree.ElementTree as ET
try:
    cases = ET.parse(sys.argv[1]).getroot().iter("testcase")
except Exception:
    print(0, 0, 0)
    sys.exit()
counts = {"run": 0, "fail": 0, "skip": 0}
for case in cases:
    status = case.get("status", "run")
    if case.find("skipped") is not None or status in ("notrun", "disabled"):
        counts["skip"] += 1
    elif case.find("failure") is not None or status == "fail":
        counts["fail"] += 1
    else:
        counts["run"] += 1
print(counts["run"], counts["fail"], counts["skip"])
EOF
    )
    rm -f "$junit"
    passed=$((passed + ${p:-0}))
    failed=$((failed + ${f:-0}))
    skipped=$((skipped + ${s:-0}))
    # CTest failing with no test failed (a configure or discovery error):
    # one failure.
    if ((rc != 0 && ${f:-0} == 0)); then
        step_failed "ctest $* exited with $rc"
    fi
    return "$rc"
}

# Runs one check outside CTest (a program with its own arguments) and counts
# it as one passed or failed test.
check_run() { # NAME COMMAND...
    local name=$1 t0 rc
    shift
    t0=$(date +%s%N)
    echo "== $name: $*"
    "$@"
    rc=$?
    if ((rc == 0)); then
        passed=$((passed + 1))
        echo "== $name passed ($(elapsed "$t0"))"
    else
        step_failed "$name (exit code $rc, $(elapsed "$t0"))"
    fi
    return "$rc"
}

# Creates a fresh wine prefix named after $1 for Windows programs of width
# $2 (x86_64: a 64-bit prefix, whose programs may be 32-bit too; i686: a
# 32-bit prefix, as 32-bit Windows), sets `wine` and `wineserver`, and
# removes the prefix (stopping its server) when the script exits.
setup_wine_prefix() {
    case $2 in
        x86_64) wine=/usr/lib/wine/wine64 WINEARCH=win64 ;;
        i686) wine=/usr/lib/wine/wine WINEARCH=win32 ;;
        *) echo "setup_wine_prefix: no width $2" >&2; return 1 ;;
    esac
    wineserver=/usr/lib/wine/wineserver
    WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/$1-$2.XXXXXX")
    export WINEPREFIX WINEARCH WINEDEBUG=-all DISPLAY=
    # No Mono or Gecko: nothing here needs them, and wineboot would
    # otherwise look for their installers.
    export WINEDLLOVERRIDES="mscoree,mshtml="
    trap cleanup_wine_prefix EXIT
}

cleanup_wine_prefix() {
    [[ -n ${WINEPREFIX:-} && -d $WINEPREFIX ]] || return 0
    "$wineserver" -k 2>/dev/null
    rm -rf "$WINEPREFIX"
}
