"""What the gateway suites share: the programs they start and the clients
they play.

Paths come from the environment (CTest passes them):
  TAVLIB_LIBRARY  the library
  TAVRIL_SIM      the simulator
  TAVRIL_GATEWAY  the gateway
  PYTHONPATH      must reach python/tavril (the module tavril)

Importing this module gives the process a runtime directory of its own
(TAVRIL_RUNTIME_DIR), before the library is loaded: the library binds the
directory then.
"""

import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
SAMPLE = REPO / "simulator" / "definitions" / "sample.yaml"
IDENTITY = "VESPARO,ZQ907,SN%06d,2.4.1"
# Generous: the programs may be sanitizer builds on a busy machine.
START_TIMEOUT = 30.0
PATTERN = b"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxy"

RUNTIME_DIR = tempfile.mkdtemp(prefix="tavril-gateway-")
os.environ["TAVRIL_RUNTIME_DIR"] = RUNTIME_DIR


# Suites that must run in a network namespace of their own with only
# loopback (scripts/vxi11-netns.sh): broadcasts, port 111 and mDNS stay there.
ONLY_IN_A_NAMESPACE = pytest.mark.skipif(
    sorted(os.listdir("/sys/class/net")) != ["lo"],
    reason="needs a network namespace with only loopback (scripts/vxi11-netns.sh)")


def simulator_fixture(devices=1):
    """A module fixture: the sample instrument in `devices` devices (slot n
    holds SN00000n+1), stopped and checked at the end."""
    @pytest.fixture(scope="module")
    def sim():
        simulator = Simulator()
        for _ in range(devices - 1):
            simulator.add()
        yield simulator
        status = simulator.stop()
        shutil.rmtree(RUNTIME_DIR, ignore_errors=True)
        assert status == 0, simulator.log()
    return sim


def busy_line(slot):
    return b"ERROR: tavril-gateway: slot %d is in use by another client; connection closed\n" % slot


def pattern(count):
    """The first `count` bytes of the simulator's sized responses."""
    whole, rest = divmod(count, len(PATTERN))
    return PATTERN * whole + PATTERN[:rest]


def path_of(variable):
    value = os.environ.get(variable)
    if not value or not Path(value).is_file():
        raise pytest.UsageError("%s must name an existing file (got %r)" % (variable, value))
    return str(value)


class Program:
    """A child process whose output goes to a log file."""

    def __init__(self, name, args, env=None):
        self.log_path = Path(RUNTIME_DIR) / (name + ".log")
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=log,
                                            stderr=subprocess.STDOUT,
                                            env=None if env is None else {**os.environ, **env})

    def log(self):
        return self.log_path.read_text(errors="replace")

    def wait_log(self, pattern, timeout=START_TIMEOUT, count=1):
        """The `count`-th match of `pattern` in the log, waiting for it."""
        deadline = time.monotonic() + timeout
        while True:
            matches = list(re.finditer(pattern, self.log(), re.MULTILINE))
            if len(matches) >= count:
                return matches[count - 1]
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise AssertionError("no %r in the log (exit status %s):\n%s"
                                     % (pattern, self.process.poll(), self.log()))
            time.sleep(0.02)

    def stop(self):
        """SIGTERM; the exit status."""
        self.process.terminate()
        try:
            return self.process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise


class Simulator(Program):
    """tavril-sim with the sample instrument (or the instruments of the
    definitions file given), in `runtime_dir`."""

    def __init__(self, runtime_dir=RUNTIME_DIR, name="simulator", definitions=SAMPLE):
        self.runtime_dir = runtime_dir
        self.control_path = str(Path(runtime_dir) / "control.sock")
        super().__init__(name, [path_of("TAVRIL_SIM"), "--definitions", str(definitions),
                                "--runtime-dir", runtime_dir, "--control", self.control_path])
        self.wait_log(r"^tavril-sim: ready$")
        self.device = 1  # the device slot 0 opens

    def control(self, command):
        """Runs one control command; its reply, which must be "ok ..."."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as channel:
            channel.settimeout(60)
            channel.connect(self.control_path)
            channel.sendall(command.encode() + b"\n")
            reply = b""
            while not re.search(rb"^(ok|error)[^\n]*\n", reply, re.MULTILINE):
                chunk = channel.recv(4096)
                assert chunk, "control channel closed after %r" % reply
                reply += chunk
        assert re.search(rb"^ok", reply, re.MULTILINE), (command, reply)
        return reply.decode()

    def add(self, instrument="zq907"):
        """Adds a device; its number."""
        return int(re.search(r"ok id=(\d+)", self.control("add " + instrument))[1])

    def count(self, device, key):
        """The count `key` of the device's summary (requests, recoveries...)."""
        return int(re.search(r"\b%s=(\d+)" % key, self.control("stats %d" % device))[1])

    def requests(self, device):
        """How many requests the device has taken so far."""
        return self.count(device, "requests")


class Gateway(Program):
    """tavril-gateway with `args`; waits until it is ready.  `ports` maps
    each slot to the TCP port it was given."""

    def __init__(self, *args, env=None, ready=True):
        super().__init__("gateway-%d" % time.monotonic_ns(), [path_of("TAVRIL_GATEWAY"), *args],
                         env=env)
        self.ports = {}
        if ready:
            self.wait_log(r"^tavril-gateway: ready$")
            for slot, port in re.findall(r"^tavril-gateway: slot (\d): listening on .*:(\d+),",
                                         self.log(), re.MULTILINE):
                self.ports[int(slot)] = int(port)

    @property
    def port(self):
        return self.ports[min(self.ports)]

    def finish(self):
        status = self.stop()
        assert status == 0, "tavril-gateway ended with %d:\n%s" % (status, self.log())


def open_visa(port, timeout_ms=10000):
    import pyvisa
    manager = pyvisa.ResourceManager("@py")
    session = manager.open_resource("TCPIP::127.0.0.1::%d::SOCKET" % port,
                                    read_termination="\n", write_termination="\n",
                                    timeout=timeout_ms)
    return manager, session


def raw_client(port, source="127.0.0.1", family=socket.AF_INET, host="127.0.0.1"):
    client = socket.socket(family, socket.SOCK_STREAM)
    client.settimeout(30)
    client.bind((source, 0))
    client.connect((host, port))
    return client


def read_to_end(client):
    """Everything the gateway sends until it closes the connection."""
    data = b""
    while True:
        try:
            chunk = client.recv(65536)
        except ConnectionResetError:
            return data
        if not chunk:
            return data
        data += chunk


def receive(client, count):
    """Exactly `count` bytes, or what came before the connection ended."""
    data = b""
    while len(data) < count:
        chunk = client.recv(min(count - len(data), 1 << 20))
        if not chunk:
            break
        data += chunk
    return data


def nothing_more(client):
    """True when nothing has arrived on `client` (or it was closed): asked
    once the event that would have brought something has happened."""
    timeout = client.gettimeout()
    client.settimeout(0)
    try:
        return client.recv(1) == b""
    except BlockingIOError:
        return True
    finally:
        client.settimeout(timeout)


def exchange(port, text, expected_length):
    """Sends `text` on a new connection; what comes back, `expected_length`
    bytes at most."""
    with raw_client(port) as client:
        client.sendall(text)
        return receive(client, expected_length)
