#!/usr/bin/env bash
# The main job: builds tavlib (Release), starts the simulated instrument from
# the sample definitions, and lets the demo program open it, identify it and
# run a few transactions.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

scripts/setup-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target tavril-sim tavlib_demo tavctl >/dev/null

runtime=$(mktemp -d)
export TAVRIL_RUNTIME_DIR=$runtime
sim_log=$runtime/simulator.log
build/release/simulator/tavril-sim --definitions simulator/definitions/sample.yaml >"$sim_log" 2>&1 &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null; wait $sim_pid 2>/dev/null; rm -rf "$runtime"' EXIT

for _ in $(seq 100); do
  grep -q 'ready$' "$sim_log" && break
  sleep 0.1
done
echo "== Simulated instrument"
sed 's/^/   /' "$sim_log"
echo "== tavctl list"
build/release/tools/tavctl/tavctl list
echo "== demo (the C example from the README)"
build/release/examples/demo "$@"
