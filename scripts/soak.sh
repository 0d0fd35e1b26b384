#!/usr/bin/env bash
# The stress program at full size against the simulator (Release build):
#   claims  8 processes, 10,000 opens of one slot
#   threads 8 threads on 4 handles, 100,000 transactions
#   soak    random calls under random faults for SOAK_SECONDS (default 1800)
#   gateway random clients of tavril-gateway for as long, while the simulator misbehaves
# Prints every figure; exits non-zero when any run saw a violation.
#   scripts/soak.sh [SOAK_SECONDS [SEED]]
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
seconds=${1:-${SOAK_SECONDS:-1800}}
seed=${2:-0}

cmake --preset release >/dev/null &&
    cmake --build --preset release --target tavlib-stress || exit 2
stress=build/release/tools/stress/tavlib-stress

failed=0
run() {
    echo "== tavlib-stress $*"
    local begin=$(date +%s)
    "$stress" "$@"
    local rc=$?
    echo "== exit code $rc after $(( $(date +%s) - begin )) s"
    ((rc == 0)) || failed=$((failed + 1))
}
run claims --processes 8 --opens 10000
run threads --threads 8 --handles 4 --transactions 100000
run soak --seconds "$seconds" --seed "$seed"
run gateway --seconds "$seconds" --seed "$seed"
echo "== soak.sh: $failed of 4 runs failed"
((failed == 0))
