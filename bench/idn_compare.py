#!/usr/bin/env python3
"""*IDN? transactions per second three ways, on one simulated instrument.

    bench/idn_compare.py [--build DIR] [--seconds S] [--rounds N]
                         [--library PATH] [--simulator PATH] [--idn-bench PATH]

Starts one tavril-sim with one device of the built-in instrument, served
also on a free TCP port (--tcp 0), in a private runtime directory, and
measures on this machine, in the same run:

  library        Scmd_Tavril in a loop (the C++ program tavlib_idn_bench)
  Python module  tavril's Instrument.query (bench/python_idn.py --slot 0)
  pyvisa         pyvisa with the pyvisa-py backend over the TCP port
                 (TCPIP::127.0.0.1::<port>::SOCKET), query("*IDN?")

and, for reference, a bare Python socket on the same port (send the line,
receive the answer: what the network port costs without VISA).

Each round runs the three one after the other (so that drift in the
machine's load hits all alike); the table gives the median of the rounds
and the ratios library / other.  The library and the module take slot 0 in
turn, each in its own process.  Paths default to the build folder (--build,
default build/release); $TAVLIB_LIBRARY and $TAVRIL_SIM are honoured too.

pyvisa comes from Debian's python3-pyvisa and python3-pyvisa-py, which
install into /usr/bin/python3: when the running interpreter lacks them, the
script runs itself again with that one.
"""

import argparse
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SYSTEM_PYTHON = "/usr/bin/python3"


def ensure_pyvisa():
    try:
        import pyvisa  # noqa: F401
        import pyvisa_py  # noqa: F401
    except ImportError:
        if Path(SYSTEM_PYTHON).is_file() and os.path.realpath(sys.executable) != os.path.realpath(SYSTEM_PYTHON):
            os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON] + sys.argv)
        sys.exit("idn_compare: pyvisa and pyvisa-py are needed "
                 "(Debian: apt-get install python3-pyvisa python3-pyvisa-py)")


ensure_pyvisa()
import pyvisa  # noqa: E402

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(REPO / "python"))
import sim_process  # noqa: E402
TCP_LINE = re.compile(r"^tavril-sim: tcp (127\.0\.0\.1):(\d+) device=1$", re.MULTILINE)
EXPECTED = "VESPARO,ZQ907"
TARGET_RATIO = 5.0


class Simulator:
    """tavril-sim with one built-in device, also on a free TCP port, in a
    fresh runtime directory."""

    def __init__(self, executable, devices=1):
        self.executable = executable
        self.devices = devices
        self.runtime = None
        self.process = None
        self.port = None

    def __enter__(self):
        self.runtime = tempfile.mkdtemp(prefix="tavril-idn-")
        self.log_path = Path(self.runtime) / "simulator.log"
        # No event log: millions of requests would only fill memory.
        try:
            self.process = sim_process.start(
                self.executable,
                ["--devices", self.devices, "--runtime-dir", self.runtime, "--tcp", "0",
                 "--stats-limit", "0", "--control", self.control_path()], self.log_path)
        except sim_process.SimulatorError:
            self.__exit__(None, None, None)
            raise
        self.port = int(TCP_LINE.search(self.log_path.read_text(errors="replace")).group(2))
        return self

    def control_path(self):
        return str(Path(self.runtime) / "control.sock")

    def requests(self, device):
        """The driver requests device `device` has taken so far."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as control:
            control.connect(self.control_path())
            control.sendall(b"stats %d\n" % device)
            reply = b""
            while not re.search(rb"^(ok|error)[^\n]*\n", reply, re.M):
                chunk = control.recv(65536)
                if not chunk:
                    break
                reply += chunk
        match = re.search(rb" requests=(\d+)", reply)
        if not match:
            raise RuntimeError("tavril-sim: no request count in %r" % reply)
        return int(match.group(1))

    def __exit__(self, *exc_info):
        if self.process is not None:
            stop_process(self.process)
        shutil.rmtree(self.runtime, ignore_errors=True)


def stop_process(process):
    """Ends a program the benchmark started: SIGTERM, and SIGKILL after 15 s."""
    process.terminate()
    try:
        process.wait(timeout=15)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def run_figure(command, runtime):
    """Runs a benchmark program that prints one figure; returns it."""
    env = dict(os.environ, TAVRIL_RUNTIME_DIR=runtime)
    done = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, timeout=600)
    if done.returncode != 0:
        raise RuntimeError("%s failed (%d):\n%s" % (command[0], done.returncode, done.stderr))
    return float(done.stdout.strip())


def pyvisa_rate(port, seconds, warmup):
    manager = pyvisa.ResourceManager("@py")
    session = manager.open_resource("TCPIP::127.0.0.1::%d::SOCKET" % port,
                                    read_termination="\n", write_termination="\n",
                                    timeout=10000)
    try:
        for _ in range(warmup):
            if EXPECTED not in session.query("*IDN?"):
                raise RuntimeError("pyvisa: the answer to *IDN? does not name %s" % EXPECTED)
        count = 0
        start = time.perf_counter()
        deadline = start + seconds
        while True:
            for _ in range(100):
                if EXPECTED not in session.query("*IDN?"):
                    raise RuntimeError("pyvisa: an answer to *IDN? does not name %s" % EXPECTED)
            count += 100
            now = time.perf_counter()
            if now >= deadline:
                return count / (now - start)
    finally:
        session.close()
        manager.close()


def socket_rate(port, seconds, warmup):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        pending = b""

        def query():
            nonlocal pending
            sock.sendall(b"*IDN?\n")
            while b"\n" not in pending:
                data = sock.recv(4096)
                if not data:
                    raise RuntimeError("socket: the simulator closed the connection")
                pending += data
            line, _, pending = pending.partition(b"\n")
            if EXPECTED.encode() not in line:
                raise RuntimeError("socket: an answer to *IDN? does not name %s" % EXPECTED)

        for _ in range(warmup):
            query()
        count = 0
        start = time.perf_counter()
        deadline = start + seconds
        while True:
            for _ in range(100):
                query()
            count += 100
            now = time.perf_counter()
            if now >= deadline:
                return count / (now - start)


def tool(given, variable, relative, build):
    if given is not None:
        path = Path(given)
    elif os.environ.get(variable):
        path = Path(os.environ[variable])
    else:
        path = build / relative
    if not path.is_file():
        sys.exit("idn_compare: %s not found; build it (cmake --preset release && "
                 "cmake --build --preset release) or give its path" % path)
    return path


def add_common_arguments(parser):
    """The options every *IDN? benchmark takes: where the programs are, how long to measure."""
    parser.add_argument("--build", type=Path, default=REPO / "build" / "release",
                        help="build folder with the programs (default build/release)")
    parser.add_argument("--library", help="libtavlib.so (default: $TAVLIB_LIBRARY, else in --build)")
    parser.add_argument("--simulator", help="tavril-sim (default: $TAVRIL_SIM, else in --build)")
    parser.add_argument("--idn-bench", help="tavlib_idn_bench (default: in --build)")
    parser.add_argument("--seconds", type=float, default=2.0, help="measuring time of each figure")
    parser.add_argument("--rounds", type=int, default=3, help="rounds; the table shows medians")
    parser.add_argument("--warmup", type=int, default=200, help="queries before each measurement")


def parse_arguments(parser):
    args = parser.parse_args()
    if args.rounds < 1 or args.seconds <= 0:
        parser.error("--rounds must be at least 1 and --seconds above 0")
    return args


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_common_arguments(parser)
    args = parse_arguments(parser)

    library = tool(args.library, "TAVLIB_LIBRARY", "src/libtavlib.so", args.build)
    simulator = tool(args.simulator, "TAVRIL_SIM", "simulator/tavril-sim", args.build)
    idn_bench = tool(args.idn_bench, "", "bench/tavlib_idn_bench", args.build)
    common = ["--seconds", str(args.seconds), "--warmup", str(args.warmup)]

    rates = {"library": [], "module": [], "pyvisa": [], "socket": []}
    with Simulator(simulator) as sim:
        for round_number in range(1, args.rounds + 1):
            rates["library"].append(run_figure([str(idn_bench), "--slot", "0"] + common, sim.runtime))
            rates["module"].append(run_figure(
                [sys.executable, str(HERE / "python_idn.py"), "--slot", "0",
                 "--library", str(library)] + common, sim.runtime))
            rates["pyvisa"].append(pyvisa_rate(sim.port, args.seconds, args.warmup))
            rates["socket"].append(socket_rate(sim.port, args.seconds, args.warmup))
            print("round %d/%d: library %.0f, module %.0f, pyvisa %.0f, socket %.0f transactions/s"
                  % (round_number, args.rounds, rates["library"][-1], rates["module"][-1],
                     rates["pyvisa"][-1], rates["socket"][-1]), file=sys.stderr)
        port = sim.port

    median = {name: statistics.median(values) for name, values in rates.items()}
    rows = [
        ("library (Scmd_Tavril, C++)", median["library"]),
        ("Python module tavril (Instrument.query)", median["module"]),
        ("pyvisa + pyvisa-py (TCP SOCKET, query)", median["pyvisa"]),
        ("reference: bare Python socket on TCP", median["socket"]),
    ]
    print("*IDN? transactions per second: one tavril-sim, device 1 through the library,")
    print("the same instrument on TCP 127.0.0.1:%d; median of %d round(s) of %.1f s each"
          % (port, args.rounds, args.seconds))
    print()
    print("%-42s %12s %10s %16s" % ("path", "per second", "us each", "library / this"))
    for name, rate in rows:
        print("%-42s %12.0f %10.1f %15.2fx" % (name, rate, 1e6 / rate, median["library"] / rate))
    ratio = median["library"] / median["pyvisa"]
    print()
    print("target library >= %.0fx pyvisa-py: %s (%.1fx)"
          % (TARGET_RATIO, "met" if ratio >= TARGET_RATIO else "NOT met", ratio))


if __name__ == "__main__":
    main()
