"""The gateway's VXI-11 channels, portmapper and mDNS announcements as real
clients see them: pyvisa with pyvisa-py (TCPIP::127.0.0.1::INSTR) and
lxi-tools, against vxi11-test-server and its fake instrument
(tests/gateway/vxi11/fake_device.h).

Runs in a network namespace of its own with only loopback, where rpcbind,
the D-Bus system bus and the Avahi daemon run (scripts/vxi11-netns.sh, as
root): broadcasts and mDNS stay there.  VXI11_TEST_SERVER names the server.
"""

import os
import re
import subprocess
import time
from pathlib import Path

import pytest
import pyvisa
from pyvisa import constants

IDENTITY = "TAVRIL,FAKE1,SN000042,0.1"
PATTERN = b"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
TRACE = (PATTERN * (99999 // len(PATTERN) + 1))[:99999] + b"\n"
RESOURCE = "TCPIP::127.0.0.1::INSTR"


def only_loopback():
    return sorted(os.listdir("/sys/class/net")) == ["lo"]


pytestmark = pytest.mark.skipif(
    not only_loopback(), reason="needs a network namespace with only loopback (scripts/vxi11-netns.sh)")


def server_path():
    path = os.environ.get("VXI11_TEST_SERVER", "")
    if not Path(path).is_file():
        raise pytest.UsageError("VXI11_TEST_SERVER must name vxi11-test-server (got %r)" % path)
    return path


class Server:
    def __init__(self, *args):
        self.process = subprocess.Popen([server_path(), *args], stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True)
        self.lines = []
        for line in self.process.stdout:
            self.lines.append(line.rstrip("\n"))
            if line.endswith("ready\n"):
                break
        else:
            raise AssertionError("the server did not start: %s" % self.lines)

    def stop(self):
        self.process.terminate()
        rest, _ = self.process.communicate(timeout=10)
        self.lines += rest.splitlines()
        return self.process.returncode


@pytest.fixture(scope="module")
def server():
    running = Server("--portmap", "auto", "--advertise")
    yield running
    assert running.stop() == 0, "\n".join(running.lines)


@pytest.fixture
def rm(server):
    manager = pyvisa.ResourceManager("@py")
    yield manager
    manager.close()


def open_instr(rm):
    instr = rm.open_resource(RESOURCE, read_termination="\n", write_termination="\n")
    instr.timeout = 5000
    return instr


def run(*args, timeout=30):
    done = subprocess.run(args, capture_output=True, text=True, timeout=timeout)
    print("$ %s\n%s%s" % (" ".join(args), done.stdout, done.stderr))
    return done


def test_registered_with_rpcbind(server):
    assert "vxi11-test-server: portmapper: rpcbind" in server.lines
    core = int(re.search(r"core channel on port (\d+)", "\n".join(server.lines)).group(1))
    listed = run("rpcinfo", "-p", "127.0.0.1").stdout
    assert re.search(r"^\s*395183\s+1\s+tcp\s+%d\b" % core, listed, re.M), listed


def test_identity_answer_code_and_trace(rm):
    instr = open_instr(rm)
    assert instr.query("*IDN?") == IDENTITY
    assert instr.query("CONF:RANGE 1000") == "OK ANS40"
    instr.write("TRACE?")
    assert instr.read_raw() == TRACE
    # A message over 1,024 bytes goes without END; its answer still comes.
    assert instr.query("X" * 2000 + "\n*IDN?") == IDENTITY
    instr.close()


def test_clear_leaves_nothing_stale(rm):
    instr = open_instr(rm)
    instr.write("*IDN?")
    instr.write("TRACE?")
    instr.clear()
    instr.timeout = 1000
    with pytest.raises(pyvisa.VisaIOError) as failed:
        instr.read()
    assert failed.value.error_code == constants.StatusCode.error_timeout
    instr.timeout = 5000
    assert instr.query("*IDN?") == IDENTITY
    instr.close()


def test_status_byte(rm):
    instr = open_instr(rm)
    assert instr.read_stb() == 0
    instr.write("*IDN?")
    assert instr.read_stb() == 0x10  # output waits
    assert instr.read() == IDENTITY
    assert instr.read_stb() == 0
    instr.close()


def test_lock_keeps_a_second_session_out(rm):
    first = open_instr(rm)
    second = open_instr(rm)
    first.lock_excl()
    with pytest.raises(pyvisa.VisaIOError):
        second.query("*IDN?")
    assert first.query("*IDN?") == IDENTITY
    first.unlock()
    assert second.query("*IDN?") == IDENTITY
    first.close()
    second.close()


def test_time_out(rm):
    instr = open_instr(rm)
    instr.timeout = 1000
    instr.write("SLOW?")
    started = time.monotonic()
    with pytest.raises(pyvisa.VisaIOError) as failed:
        instr.read()
    assert failed.value.error_code == constants.StatusCode.error_timeout
    assert 0.9 <= time.monotonic() - started < 3
    instr.timeout = 5000
    assert instr.query("*IDN?") == IDENTITY
    instr.close()


def test_lxi_scpi(server):
    done = run("lxi", "scpi", "-a", "127.0.0.1", "*IDN?")
    assert done.returncode == 0
    assert done.stdout.strip() == IDENTITY


def test_lxi_discover_by_broadcast(server):
    done = run("lxi", "discover")
    assert 'Found "%s" on address 127.0.0.1' % IDENTITY in done.stdout


def test_lxi_discover_by_mdns(server):
    done = run("lxi", "discover", "-m")
    assert 'Found "FAKE1 SN000042 slot 0" on address 127.0.0.1' in done.stdout
    assert "vxi-11 service on port 111" in done.stdout


def test_own_portmapper_without_rpcbind(server):
    """In a nested namespace where no rpcbind runs, the server answers on port
    111 itself (auto, and own), and the same clients find it; own mode
    where rpcbind holds the port fails clearly."""
    taken = subprocess.run([server_path(), "--portmap", "own"], capture_output=True, text=True, timeout=10)
    assert taken.returncode == 1
    assert "cannot answer on port 111" in taken.stdout
    script = r"""
set -e
ip link set lo up
"$SERVER" --portmap auto > /tmp/own-portmapper.log &
for i in $(seq 50); do grep -q ready /tmp/own-portmapper.log && break; sleep 0.1; done
cat /tmp/own-portmapper.log
lxi scpi -a 127.0.0.1 '*IDN?'
lxi discover
/usr/bin/python3 -c 'import pyvisa; print(pyvisa.ResourceManager("@py").open_resource("TCPIP::127.0.0.1::INSTR").query("*IDN?").strip())'
kill %1
wait
"""
    done = subprocess.run(["unshare", "--net", "bash", "-c", script], capture_output=True, text=True,
                          timeout=60, env={**os.environ, "SERVER": server_path()})
    print(done.stdout, done.stderr)
    assert done.returncode == 0
    assert "portmapper: own" in done.stdout
    assert done.stdout.count(IDENTITY) == 3
