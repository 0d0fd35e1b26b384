#!/usr/bin/env python3
"""*IDN? per second through each path to one instrument, in one run: the
library, the gateway's raw socket, the gateway's VXI-11 device with
pyvisa-py, and lxi-tools' own benchmark over VXI-11.

    bench/vxi11_idn.py [--build DIR] [--seconds S] [--rounds N] [--count N]
                       [--library PATH] [--simulator PATH] [--idn-bench PATH]
                       [--gateway PATH]

Starts one tavril-sim with two devices of the built-in instrument in a
private runtime directory, and tavril-gateway serving slot 0 (device 1) on
a free raw-socket port and as VXI-11 device inst0 (lxi addresses inst0),
found through the portmapper on port 111 (rpcbind when one runs, else the
gateway's own: run as root).  Each round measures, one after the other:

  library   Scmd_Tavril("*IDN?") in a C++ loop on slot 1 (tavlib_idn_bench)
  raw       pyvisa-py, TCPIP::127.0.0.1::<port>::SOCKET, query("*IDN?")
  vxi11     pyvisa-py, TCPIP::127.0.0.1::INSTR, query("*IDN?")
  lxi       lxi benchmark -a 127.0.0.1 -c COUNT (default 2000)

The table gives the medians
of the rounds; what VXI-11 adds to a query is set against a library
transaction's own time (target: at most 1.5 transactions).
"""

import argparse
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import idn_compare  # noqa: E402  (runs itself with the system Python when pyvisa lacks)
import gateway_idn  # noqa: E402

TARGET = 1.5


def vxi11_requests_per_query(sim, queries=1000):
    """Driver requests that one VXI-11 query costs, counted by the simulator
    over `queries` queries (a library transaction, Scmd_Tavril, is two: one
    WRITE, one READ)."""
    manager = idn_compare.pyvisa.ResourceManager("@py")
    session = manager.open_resource("TCPIP::127.0.0.1::INSTR", read_termination="\n",
                                    write_termination="\n", timeout=10000)
    try:
        session.query("*IDN?")
        before = sim.requests(1)
        for _ in range(queries):
            if idn_compare.EXPECTED not in session.query("*IDN?"):
                raise RuntimeError("VXI-11: a wrong answer to *IDN?")
        return (sim.requests(1) - before) / queries
    finally:
        session.close()
        manager.close()


def vxi11_rate(seconds, warmup):
    manager = idn_compare.pyvisa.ResourceManager("@py")
    session = manager.open_resource("TCPIP::127.0.0.1::INSTR", read_termination="\n",
                                    write_termination="\n", timeout=10000)
    try:
        for _ in range(warmup):
            if idn_compare.EXPECTED not in session.query("*IDN?"):
                raise RuntimeError("VXI-11: a wrong answer to *IDN?")
        count = 0
        start = time.perf_counter()
        while True:
            for _ in range(100):
                if idn_compare.EXPECTED not in session.query("*IDN?"):
                    raise RuntimeError("VXI-11: a wrong answer to *IDN?")
            count += 100
            now = time.perf_counter()
            if now >= start + seconds:
                return count / (now - start), count
    finally:
        session.close()
        manager.close()


def context_switches(pid):
    """Context switches of every thread of a process so far, voluntary and
    not (each is a wait for, or a loss of, a core)."""
    total = 0
    for path in Path("/proc/%d/task" % pid).glob("*/status"):
        try:
            for line in path.read_text().splitlines():
                if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                    total += int(line.split()[1])
        except OSError:
            pass  # a thread that ended meanwhile
    return total


def lxi_costs(count, pid):
    """The gateway's CPU time and context switches per query of one lxi
    benchmark run: counts that do not depend on how busy the machine is as
    much as times do."""
    cpu, switches = gateway_idn.cpu_seconds(pid), context_switches(pid)
    lxi_rate(count)
    return ((gateway_idn.cpu_seconds(pid) - cpu) * 1e6 / count,
            (context_switches(pid) - switches) / count)


def lxi_rate(count):
    done = subprocess.run(["lxi", "benchmark", "-a", "127.0.0.1", "-c", str(count)],
                          capture_output=True, text=True, timeout=600)
    match = re.search(r"([0-9.]+) requests/second", done.stdout)
    if done.returncode != 0 or not match:
        raise RuntimeError("lxi benchmark failed:\n%s%s" % (done.stdout, done.stderr))
    return float(match.group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    idn_compare.add_common_arguments(parser)
    parser.add_argument("--gateway", help="tavril-gateway (default: in --build)")
    parser.add_argument("--count", type=int, default=2000, help="lxi benchmark's requests")
    args = idn_compare.parse_arguments(parser)

    simulator = idn_compare.tool(args.simulator, "TAVRIL_SIM", "simulator/tavril-sim", args.build)
    idn_bench = idn_compare.tool(args.idn_bench, "", "bench/tavlib_idn_bench", args.build)
    gateway_path = idn_compare.tool(args.gateway, "", "tools/gateway/tavril-gateway", args.build)
    common = ["--seconds", str(args.seconds), "--warmup", str(args.warmup)]

    rates = {"library": [], "raw": [], "vxi11": [], "lxi": []}
    costs = []
    with idn_compare.Simulator(simulator, devices=2) as sim:
        gateway = gateway_idn.Gateway(gateway_path, sim.runtime, slot=0)
        try:
            log = gateway.log_path.read_text()
            if "portmapper: off" in log or "no portmapper" in log:
                raise RuntimeError("no portmapper on port 111 (run as root):\n" + log)
            for round_number in range(1, args.rounds + 1):
                rates["library"].append(idn_compare.run_figure(
                    [str(idn_bench), "--slot", "1"] + common, sim.runtime))
                rates["raw"].append(gateway_idn.pyvisa_measure(
                    gateway.port, args.seconds, args.warmup, gateway.process.pid, "*IDN?")[0])
                rates["vxi11"].append(vxi11_rate(args.seconds, args.warmup)[0])
                rates["lxi"].append(lxi_rate(args.count))
                print("round %d/%d: " % (round_number, args.rounds) +
                      ", ".join("%s %.0f" % (name, values[-1]) for name, values in rates.items()) +
                      " queries/s", file=sys.stderr)
            for _ in range(args.rounds):
                costs.append(lxi_costs(args.count, gateway.process.pid))
            perQuery = vxi11_requests_per_query(sim)
        finally:
            gateway.stop()

    us = {name: 1e6 / statistics.median(values) for name, values in rates.items()}
    print("*IDN? per second: one tavril-sim (2 devices), the gateway on slot 0; median of %d "
          "round(s) of %.1f s each (lxi: %d requests)" % (args.rounds, args.seconds, args.count))
    print()
    print("%-52s %12s %10s" % ("path", "per second", "us each"))
    for name, label in [("library", "library transaction (Scmd_Tavril, C++, slot 1)"),
                        ("raw", "pyvisa-py, gateway raw socket (TCPIP::...::SOCKET)"),
                        ("vxi11", "pyvisa-py, gateway VXI-11 (TCPIP::127.0.0.1::INSTR)"),
                        ("lxi", "lxi benchmark -a 127.0.0.1 (VXI-11)")]:
        print("%-52s %12.0f %10.1f" % (label, 1e6 / us[name], us[name]))
    print()
    added = us["vxi11"] - us["library"]
    ratio = added / us["library"]
    print("added by VXI-11 with pyvisa-py: %.1f us per query = %.2f library transactions; "
          "target <= %.1f: %s" % (added, ratio, TARGET, "met" if ratio <= TARGET else "NOT met"))
    added = us["lxi"] - us["library"]
    print("added by VXI-11 with lxi: %.1f us per query = %.2f library transactions"
          % (added, added / us["library"]))
    print("the gateway per lxi query (medians of %d runs of %d): %.1f us of CPU, %.2f context switches"
          % (len(costs), args.count, statistics.median(c[0] for c in costs),
             statistics.median(c[1] for c in costs)))
    print("driver requests per VXI-11 query (counted by the simulator over 1000 queries): %.3f; "
          "a library transaction makes 2" % perQuery)


if __name__ == "__main__":
    main()
