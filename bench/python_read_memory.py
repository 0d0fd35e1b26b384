#!/usr/bin/env python3
"""What a large max_bytes costs Instrument.read and Instrument.query when the
answer is small: peak resident memory and time per call.

    bench/python_read_memory.py [--library PATH] [--simulator PATH]
                                [--peak-max-mib N] [--time-max-mib N] [--calls N]

Starts its own simulator (one built-in instrument, private runtime
directory) and, for read in the three modes and query in the two it takes,
asks for the simulator's 30-byte answer "DATA? 30":

  peak RSS rise   one call with max_bytes = --peak-max-mib MiB (default 512):
                  the process's peak resident set (VmHWM, reset through
                  /proc/self/clear_refs before the call) less its resident
                  set just before it;
  ms per call     the median of --calls calls (default 20) with max_bytes =
                  --time-max-mib MiB (default 64).

Linux only (it reads /proc/self).  Prints one table on standard output.
"""

import argparse
import statistics
import sys
import time
from pathlib import Path

from python_idn import PrivateSimulator, default_path

ANSWER = b"0123456789ABCDEFGHIJKLMNOPQR\r\n"  # the simulator's 30-byte "DATA? 30"
MIB = 1 << 20


def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError("no %s in /proc/self/status" % field)


def reset_peak():
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # resets VmHWM to the current resident set


def cases(tavril):
    """(name, call(instrument, max_bytes) -> what the module returned, expected)"""
    mode = tavril.Mode
    line = ANSWER[:-2].decode("latin-1")

    def read(m):
        return lambda inst, size: (inst.write("DATA? 30"), inst.read(size, m))[1]

    def query(m):
        return lambda inst, size: inst.query("DATA? 30", max_bytes=size, mode=m).response

    return [
        ("read   Mode.RAW ", read(mode.RAW), ANSWER),
        ("read   Mode.LINE", read(mode.LINE), line),
        ("read   Mode.TEXT", read(mode.TEXT), ANSWER.decode("latin-1")),
        ("query  Mode.LINE", query(mode.LINE), line),
        ("query  Mode.TEXT", query(mode.TEXT), ANSWER.decode("latin-1")),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--library", type=Path, default=default_path(
        "TAVLIB_LIBRARY", "build/release/src/libtavlib.so"))
    parser.add_argument("--simulator", type=Path, default=default_path(
        "TAVRIL_SIM", "build/release/simulator/tavril-sim"))
    parser.add_argument("--peak-max-mib", type=int, default=512)
    parser.add_argument("--time-max-mib", type=int, default=64)
    parser.add_argument("--calls", type=int, default=20)
    args = parser.parse_args()
    if args.simulator is None:
        parser.error("no simulator: build the release preset or set TAVRIL_SIM")

    import tavril

    rows = []
    with PrivateSimulator(args.simulator):
        library = tavril.load(args.library)
        with tavril.Instrument(0, library=library) as inst:
            for name, call, expected in cases(tavril):
                if call(inst, args.time_max_mib * MIB) != expected:  # also a warm-up
                    raise RuntimeError("%s: not the 30-byte answer" % name)
                times = []
                for _ in range(args.calls):
                    start = time.perf_counter()
                    call(inst, args.time_max_mib * MIB)
                    times.append(time.perf_counter() - start)
                reset_peak()
                before = status_kib("VmRSS")
                if call(inst, args.peak_max_mib * MIB) != expected:
                    raise RuntimeError("%s: not the 30-byte answer" % name)
                rise = status_kib("VmHWM") - before
                rows.append((name, rise / 1024, 1e3 * statistics.median(times)))

    print("30-byte answer; peak RSS rise of one call at max_bytes %d MiB, median ms per call "
          "(%d calls) at %d MiB" % (args.peak_max_mib, args.calls, args.time_max_mib))
    print("%-18s %18s %14s" % ("call", "peak RSS rise MiB", "ms per call"))
    for name, rise, ms in rows:
        print("%-18s %18.1f %14.2f" % (name, rise, ms))


if __name__ == "__main__":
    sys.exit(main())
