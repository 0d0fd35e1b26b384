"""Starting and stopping tavril-sim from Python: the one copy that the
Python suites and the benchmark scripts share.

    process = sim_process.start(executable, ["--runtime-dir", d], log_path)
    ...
    status = sim_process.stop(process)

start() returns once the simulator has printed its ready line (the text of
simulator/ready_line.h), so its devices can be used; it raises
SimulatorError, with what the simulator printed, when the program ends or
does not get ready in time.  Not part of the tavril module: tests and
benchmarks put this folder (python/) on sys.path.
"""

import subprocess
import time
from pathlib import Path

READY_LINE = "tavril-sim: ready"
# Generous: the simulator may be a sanitizer build on a busy machine.
START_TIMEOUT = 30.0
STOP_TIMEOUT = 15.0


class SimulatorError(RuntimeError):
    pass


def start(executable, args, log_path, timeout=START_TIMEOUT):
    """Runs `executable` with `args`, its output in the file `log_path`, and
    waits for the ready line."""
    log_path = Path(log_path)
    with open(log_path, "wb") as log:
        process = subprocess.Popen([str(executable)] + [str(a) for a in args],
                                   stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + timeout
    while READY_LINE not in log_path.read_text(errors="replace").splitlines():
        if process.poll() is not None or time.monotonic() > deadline:
            status = process.poll()
            if status is None:
                stop(process)
            raise SimulatorError("tavril-sim did not start (exit status %s):\n%s"
                                 % (status, log_path.read_text(errors="replace")))
        time.sleep(0.02)
    return process


def stop(process, timeout=STOP_TIMEOUT):
    """Ends the simulator with SIGTERM and returns its exit status (0 for a
    clean end); kills it and raises subprocess.TimeoutExpired when it does
    not end within `timeout` seconds."""
    process.terminate()
    try:
        return process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        raise
