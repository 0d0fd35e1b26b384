#!/usr/bin/env python3
"""Queries per second with pyvisa-py through tavril-gateway, against pyvisa-py
on the simulator's own TCP port, in one run.

    bench/gateway_idn.py [--build DIR] [--seconds S] [--rounds N]
                         [--library PATH] [--simulator PATH] [--idn-bench PATH]
                         [--gateway PATH] [--query TEXT] [--against PATH]

Starts one tavril-sim with devices of the built-in instrument in a private
runtime directory, device 1 also on a free TCP port (--tcp 0), and
tavril-gateway serving slot 1 (device 2) on a free port.  Each round
measures, one after the other:

  library   Scmd_Tavril("*IDN?") in a C++ loop on slot 0 (tavlib_idn_bench)
  direct    pyvisa + pyvisa-py on the simulator's TCP port, query(QUERY)
  gateway   pyvisa + pyvisa-py on the gateway's port, query(QUERY)
  against   the same on a second gateway program (--against, slot 2, device
            3): another build, measured in the same rounds

QUERY is *IDN? unless --query says otherwise; the built-in instrument echoes
any other line, and every answer is checked.  What the gateway adds to a
query is gateway - direct; the table sets that against a library
transaction's own time (target: at most 1.5 times).  Medians of the rounds.
"""

import argparse
import glob
import os
import re
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import idn_compare  # noqa: E402  (runs itself with the system Python when pyvisa lacks)

TARGET = 1.5


class Gateway:
    def __init__(self, executable, runtime, slot):
        self.slot = slot
        self.log_path = Path(runtime) / "gateway.log"
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(
                [str(executable), "--slot", str(slot), "--port", "0"],
                env=dict(os.environ, TAVRIL_RUNTIME_DIR=runtime),
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 30
        while "tavril-gateway: ready" not in self.log_path.read_text(errors="replace"):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("tavril-gateway did not start:\n" +
                                   self.log_path.read_text(errors="replace"))
            time.sleep(0.02)
        self.port = int(re.search(r"slot %d: listening on 127\.0\.0\.1:(\d+)" % slot,
                                  self.log_path.read_text(errors="replace")).group(1))

    def stop(self):
        idn_compare.stop_process(self.process)


def cpu_seconds(pid):
    """CPU time of every thread of a process so far (Linux schedstat, ns)."""
    total = 0
    for path in glob.glob("/proc/%d/task/*/schedstat" % pid):
        try:
            with open(path) as stat:
                total += int(stat.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass
    return total / 1e9


def children_cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def answered(query, answer):
    """The identity names the instrument; the built-in instrument echoes
    every other line."""
    return idn_compare.EXPECTED in answer if query == "*IDN?" else answer == query


def pyvisa_measure(port, seconds, warmup, pid, query):
    """Queries per second through pyvisa on `port`, and the CPU seconds
    process `pid` spent per query meanwhile (after the warm-up)."""
    manager = idn_compare.pyvisa.ResourceManager("@py")
    session = manager.open_resource("TCPIP::127.0.0.1::%d::SOCKET" % port,
                                    read_termination="\n", write_termination="\n",
                                    timeout=10000)
    try:
        for _ in range(warmup):
            if not answered(query, session.query(query)):
                raise RuntimeError("a wrong answer to %s" % query)
        cpu = cpu_seconds(pid)
        count = 0
        start = time.perf_counter()
        while True:
            for _ in range(100):
                if not answered(query, session.query(query)):
                    raise RuntimeError("a wrong answer to %s" % query)
            count += 100
            now = time.perf_counter()
            if now >= start + seconds:
                return count / (now - start), (cpu_seconds(pid) - cpu) / count
    finally:
        session.close()
        manager.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    idn_compare.add_common_arguments(parser)
    parser.add_argument("--gateway", help="tavril-gateway (default: in --build)")
    parser.add_argument("--query", default="*IDN?", help="the query (default *IDN?)")
    parser.add_argument("--against", help="a second tavril-gateway to measure in the same rounds")
    args = idn_compare.parse_arguments(parser)

    simulator = idn_compare.tool(args.simulator, "TAVRIL_SIM", "simulator/tavril-sim", args.build)
    idn_bench = idn_compare.tool(args.idn_bench, "", "bench/tavlib_idn_bench", args.build)
    gateway_path = idn_compare.tool(args.gateway, "", "tools/gateway/tavril-gateway", args.build)
    common = ["--seconds", str(args.seconds), "--warmup", str(args.warmup)]

    rates = {"library": [], "direct": [], "gateway": []}
    cpu = {"library": [], "gateway": [], "against": []}
    if args.against:
        rates["against"] = []
    with idn_compare.Simulator(simulator, devices=3 if args.against else 2) as sim:
        gateways = {"gateway": Gateway(gateway_path, sim.runtime, slot=1)}
        try:
            if args.against:
                gateways["against"] = Gateway(args.against, sim.runtime, slot=2)
            for round_number in range(1, args.rounds + 1):
                before = children_cpu_seconds()
                rates["library"].append(idn_compare.run_figure(
                    [str(idn_bench), "--slot", "0"] + common, sim.runtime))
                # Its warm-up and set-up count too: a slight overestimate.
                transactions = rates["library"][-1] * args.seconds + args.warmup
                cpu["library"].append((children_cpu_seconds() - before) / transactions)
                rates["direct"].append(pyvisa_measure(sim.port, args.seconds, args.warmup,
                                                      sim.process.pid, args.query)[0])
                for name, gateway in gateways.items():
                    rate, gateway_cpu = pyvisa_measure(gateway.port, args.seconds, args.warmup,
                                                       gateway.process.pid, args.query)
                    rates[name].append(rate)
                    cpu[name].append(gateway_cpu)
                print("round %d/%d: " % (round_number, args.rounds) +
                      ", ".join("%s %.0f" % (name, values[-1]) for name, values in rates.items()) +
                      " queries/s", file=sys.stderr)
        finally:
            for gateway in gateways.values():
                gateway.stop()

    us = {name: 1e6 / statistics.median(values) for name, values in rates.items()}
    added = us["gateway"] - us["direct"]
    print("%s per second: one tavril-sim (%d devices); median of %d round(s) of %.1f s each"
          % (args.query, 3 if args.against else 2, args.rounds, args.seconds))
    print()
    print("%-48s %12s %10s" % ("path", "per second", "us each"))
    labels = [("library", "library transaction (Scmd_Tavril *IDN?, slot 0)"),
              ("direct", "pyvisa-py on the simulator's TCP port"),
              ("gateway", "pyvisa-py through tavril-gateway (slot 1)"),
              ("against", "pyvisa-py through --against (slot 2)")]
    for name, label in labels:
        if name in us:
            print("%-48s %12.0f %10.1f" % (label, 1e6 / us[name], us[name]))
    print()
    ratio = added / us["library"]
    print("added by the gateway: %.1f us per query = %.2fx a library transaction; "
          "target <= %.1fx: %s" % (added, ratio, TARGET, "met" if ratio <= TARGET else "NOT met"))
    library_cpu = statistics.median(cpu["library"]) * 1e6
    gateway_cpu = statistics.median(cpu["gateway"]) * 1e6
    print("CPU time per query (waiting excluded): gateway process %.1f us, library benchmark "
          "process %.1f us per transaction = %.2fx" % (gateway_cpu, library_cpu,
                                                      gateway_cpu / library_cpu))
    if args.against:
        print("CPU time per query of --against: %.1f us"
              % (statistics.median(cpu["against"]) * 1e6))


if __name__ == "__main__":
    main()
