#!/usr/bin/env bash
# The main job: builds tavlib (Release), starts the simulated instrument from
# the sample definitions, and lets the demo program open it, identify it and
# run a few transactions.  Installs only what these need (package set
# "demo" of scripts/lib/packages.sh); the release tree is configured
# without its test suites, which the test command's release stage adds.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$top}

scripts/setup-deps.sh demo
mkdir -p build
log=build/demo.build.log
# The build's output only when it fails (the gateway's optional parts warn
# about missing libraries the demo does not need).
if ! { cmake --preset release -DTAVLIB_BUILD_TESTS=OFF &&
    cmake --build --preset release --target tavril-sim tavlib_demo tavctl; } >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "demo: the build failed (log: $log)" >&2
  exit 1
fi

runtime=$(mktemp -d)
export TAVRIL_RUNTIME_DIR=$runtime
sim_log=$runtime/simulator.log
build/release/simulator/tavril-sim --definitions simulator/definitions/sample.yaml >"$sim_log" 2>&1 &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null; wait $sim_pid 2>/dev/null; rm -rf "$runtime"' EXIT

# The simulator's ready line (simulator/ready_line.h), or its end.
until grep -qx 'tavril-sim: ready' "$sim_log"; do
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    cat "$sim_log" >&2
    echo "demo: the simulator did not start" >&2
    exit 1
  fi
  sleep 0.05
done
echo "== Simulated instrument"
sed 's/^/   /' "$sim_log"
echo "== tavctl list"
build/release/tools/tavctl/tavctl list
echo "== demo (the C example from the README)"
build/release/examples/demo "$@"
