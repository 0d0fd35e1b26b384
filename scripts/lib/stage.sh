# Helpers shared by the Windows stage scripts; sourced, not run.
# Sourcing starts the stage: its clock (`stage_start`) and its counts
# (`passed`, `failed`).
stage_start=$(date +%s%N)
passed=0
failed=0

elapsed() { # milliseconds since $1 (a date +%s%N value), as seconds
    local ms=$((($(date +%s%N) - $1) / 1000000))
    printf '%d.%03ds' $((ms / 1000)) $((ms % 1000))
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

source "$(dirname "${BASH_SOURCE[0]}")/packages.sh"

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
    "$wineserver" -k 2>/dev/null
    rm -rf "$WINEPREFIX"
}
