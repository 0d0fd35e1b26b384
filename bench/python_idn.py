#!/usr/bin/env python3
"""Transactions per second of "*IDN?" through the Python module tavril.

Prints one figure on standard output: the transactions per second (one
decimal), so that other scripts can take it as it is.  What was measured
goes to standard error.

    bench/python_idn.py [--library PATH] [--simulator PATH | --slot N]
                        [--seconds S] [--layer instrument|raw]

With --simulator (the default when $TAVRIL_SIM is set or the release build's
tavril-sim exists and no --slot is given), the benchmark starts its own
simulator with one built-in instrument in a private runtime directory and
stops it at the end.  With --slot it uses the instrument already served at
that slot in the current runtime directory ($TAVRIL_RUNTIME_DIR).

--layer instrument (default) measures Instrument.query(), what a program
written against the module gets; --layer raw calls tavril.lib.Scmd_Tavril
with prepared buffers, the cost of ctypes alone.
"""

import argparse
import ctypes
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "python" / "tavril"))
sys.path.insert(0, str(REPO / "python"))
import sim_process  # noqa: E402

EXPECTED = "VESPARO,ZQ907"


def default_path(variable, relative):
    value = os.environ.get(variable)
    if value:
        return Path(value)
    candidate = REPO / relative
    return candidate if candidate.is_file() else None


class PrivateSimulator:
    """tavril-sim with one built-in instrument in a fresh runtime directory;
    sets TAVRIL_RUNTIME_DIR for this process (before the library loads)."""

    def __init__(self, executable):
        self.executable = executable
        self.runtime = None
        self.process = None

    def __enter__(self):
        self.runtime = tempfile.mkdtemp(prefix="tavril-bench-")
        os.environ["TAVRIL_RUNTIME_DIR"] = self.runtime
        log_path = Path(self.runtime) / "simulator.log"
        try:
            self.process = sim_process.start(
                self.executable, ["--devices", "1", "--runtime-dir", self.runtime], log_path)
        except sim_process.SimulatorError:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc_info):
        if self.process is not None:
            sim_process.stop(self.process)
        shutil.rmtree(self.runtime, ignore_errors=True)


def transaction_runner(instrument, layer):
    """A function running one "*IDN?" transaction and returning its response."""
    if layer == "instrument":
        return lambda: instrument.query("*IDN?").response
    lib = instrument.library
    scmd = lib.Scmd_Tavril
    handle = ctypes.c_void_p(instrument.handle)
    response = ctypes.create_string_buffer(257)
    error = ctypes.c_uint32(0)
    error_ref = ctypes.byref(error)

    def raw():
        result = scmd(handle, b"*IDN?", 256, 1, 10, 10, response, error_ref)
        if result != 0:
            raise RuntimeError("Scmd_Tavril returned %d, error %d" % (result, error.value))
        return response.value.decode("latin-1")

    return raw


def measure(run, seconds, warmup):
    for _ in range(warmup):
        if EXPECTED not in run():
            raise RuntimeError("the instrument did not answer *IDN? with %s" % EXPECTED)
    count = 0
    start = time.perf_counter()
    deadline = start + seconds
    while True:
        for _ in range(100):
            if EXPECTED not in run():
                raise RuntimeError("a response to *IDN? did not name %s" % EXPECTED)
        count += 100
        now = time.perf_counter()
        if now >= deadline:
            return count, now - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--library", type=Path, default=default_path(
        "TAVLIB_LIBRARY", "build/release/src/libtavlib.so"),
        help="the library (default: $TAVLIB_LIBRARY, else build/release/src/libtavlib.so)")
    parser.add_argument("--simulator", type=Path, default=None,
                        help="start this tavril-sim privately (default: $TAVRIL_SIM, else "
                             "build/release/simulator/tavril-sim)")
    parser.add_argument("--slot", type=int, default=None,
                        help="use the instrument already served at this slot instead")
    parser.add_argument("--seconds", type=float, default=2.0, help="measuring time (default 2)")
    parser.add_argument("--warmup", type=int, default=200, help="transactions before measuring")
    parser.add_argument("--layer", choices=("instrument", "raw"), default="instrument")
    args = parser.parse_args()

    if args.slot is not None and args.simulator is not None:
        parser.error("--slot and --simulator exclude each other")
    simulator = None
    if args.slot is None:
        simulator = args.simulator or default_path("TAVRIL_SIM", "build/release/simulator/tavril-sim")
        if simulator is None:
            parser.error("no simulator: build the release preset, set TAVRIL_SIM or give --slot")

    import tavril

    def run_on(slot):
        library = tavril.load(args.library)  # None: $TAVLIB_LIBRARY or the loader's search
        with tavril.Instrument(slot, library=library) as instrument:
            count, elapsed = measure(transaction_runner(instrument, args.layer),
                                     args.seconds, args.warmup)
        return count, elapsed

    if simulator is not None:
        with PrivateSimulator(simulator):
            count, elapsed = run_on(0)
    else:
        count, elapsed = run_on(args.slot)

    rate = count / elapsed
    print("python_idn: %d transactions of *IDN? in %.2f s through tavril (%s layer), "
          "%.1f us each" % (count, elapsed, args.layer, 1e6 * elapsed / count), file=sys.stderr)
    print("%.1f" % rate)


if __name__ == "__main__":
    main()
