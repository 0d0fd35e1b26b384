"""What a replay against a twin takes, shared by the twin suite
(test_twin.py) and the Windows end-to-end stage's check of traces the DLL
wrote (tests/windows/e2e/check_twin.py): the twin made of traces by tavctl
and accepted by the simulator, and a fresh simulator of a definitions file
for a session to run against.

Paths from the environment: TAVCTL (tavctl), TAVRIL_SIM (the simulator).
Importing this module imports tests/gateway/harness.py, which gives the
process its runtime directory.
"""

import os
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "gateway"))
from harness import Simulator, path_of  # noqa: E402


def run(args, env, timeout=120):
    """Runs a program to its end, which must be a success; its output."""
    done = subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=timeout,
                          env={**os.environ, **env})
    assert done.returncode == 0, "%s -> %d\n%s%s" % (args, done.returncode, done.stdout, done.stderr)
    return done.stdout


def make_twin(files, path):
    """tavctl twin of the traces into `path`, which the simulator must
    accept; tavctl's summary line."""
    summary = run([path_of("TAVCTL"), "twin", *files, "-o", path], {})
    run([path_of("TAVRIL_SIM"), "--check", "--definitions", path], {})
    return summary


def against(definitions, name, session):
    """What session() returns, run against a fresh simulator of
    `definitions` (its log named after `name`), which must then end
    cleanly."""
    simulator = Simulator(definitions=definitions, name="simulator-" + name)
    try:
        return session()
    finally:
        assert simulator.stop() == 0, simulator.log()
