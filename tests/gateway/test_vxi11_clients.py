"""tavril-gateway's VXI-11 device, portmapper and mDNS announcements as real
clients see them: pyvisa with pyvisa-py (TCPIP::127.0.0.1::INSTR) and
lxi-tools, against the simulator's sample instrument.

Runs in a network namespace of its own with only loopback, where rpcbind,
the D-Bus system bus and the Avahi daemon run (scripts/vxi11-netns.sh, as
root): broadcasts and mDNS stay there.  harness.py says which paths come
from the environment.
"""

import os
import re
import shutil
import subprocess

import pytest
import pyvisa
from pyvisa import constants

from harness import (IDENTITY, RUNTIME_DIR, Gateway, Simulator, busy_line, path_of, pattern,
                     raw_client, read_to_end, receive)

ID1 = IDENTITY % 1
RESOURCE = "TCPIP::127.0.0.1::INSTR"

pytestmark = pytest.mark.skipif(
    sorted(os.listdir("/sys/class/net")) != ["lo"],
    reason="needs a network namespace with only loopback (scripts/vxi11-netns.sh)")


@pytest.fixture(scope="module")
def sim():
    simulator = Simulator()
    yield simulator
    status = simulator.stop()
    shutil.rmtree(RUNTIME_DIR, ignore_errors=True)
    assert status == 0, simulator.log()


@pytest.fixture(scope="module")
def gateway(sim):
    program = Gateway("--port", "0")
    yield program
    program.finish()


@pytest.fixture
def rm(gateway):
    manager = pyvisa.ResourceManager("@py")
    yield manager
    manager.close()


def open_instr(rm, timeout=5000):
    instr = rm.open_resource(RESOURCE, read_termination="\n", write_termination="\n")
    instr.timeout = timeout
    return instr


def run(*args, timeout=30):
    done = subprocess.run(args, capture_output=True, text=True, timeout=timeout)
    print("$ %s\n%s%s" % (" ".join(args), done.stdout, done.stderr))
    return done


def test_own_portmapper_without_rpcbind(sim):
    """In a nested namespace where no rpcbind runs, the gateway answers on
    port 111 itself (auto), and the same clients find it; own mode where
    rpcbind holds the port fails clearly.  First: slot 0 is free then."""
    taken = subprocess.run([path_of("TAVRIL_GATEWAY"), "--port", "0", "--portmap", "own"],
                           capture_output=True, text=True, timeout=30)
    assert taken.returncode == 1
    assert "cannot answer on port 111" in taken.stdout
    script = r"""
set -e
ip link set lo up
"$GATEWAY" --port 0 --mdns off > "$LOG" &
for i in $(seq 100); do grep -q ready "$LOG" && break; sleep 0.1; done
cat "$LOG"
lxi scpi -a 127.0.0.1 '*IDN?'
lxi discover
/usr/bin/python3 -c 'import pyvisa; print(pyvisa.ResourceManager("@py").open_resource("TCPIP::127.0.0.1::INSTR", timeout=5000).query("*IDN?").strip())'
kill %1
wait
"""
    done = subprocess.run(["unshare", "--net", "bash", "-c", script], capture_output=True,
                          text=True, timeout=90,
                          env={**os.environ, "GATEWAY": path_of("TAVRIL_GATEWAY"),
                               "LOG": os.path.join(RUNTIME_DIR, "own-portmapper.log")})
    print(done.stdout, done.stderr)
    assert done.returncode == 0
    assert "portmapper: own" in done.stdout
    # lxi scpi, lxi discover and pyvisa each print the identity.
    assert done.stdout.count(ID1) == 3


def test_registered_with_rpcbind(gateway):
    log = gateway.log()
    core = int(re.search(r"vxi11: core channel on port (\d+), .* portmapper: rpcbind", log)[1])
    listed = run("rpcinfo", "-p", "127.0.0.1").stdout
    assert re.search(r"^\s*395183\s+1\s+tcp\s+%d\b" % core, listed, re.M), listed


def test_identity_answer_code_and_trace(rm):
    instr = open_instr(rm)
    assert instr.query("*IDN?") == ID1 + "\r"
    assert instr.query("CONF:RANGE 1000") == "RANGE REFUSED ANS40\r"
    instr.write("TRACE?")
    assert instr.read_raw() == pattern(99998) + b"\r\n"
    # A message over 1,024 bytes goes without END; its answer still comes.
    assert instr.query("X" * 2000) == "ERROR unknown command ANS90\r"
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
    assert instr.query("*IDN?") == ID1 + "\r"
    instr.close()


def test_status_byte_and_time_out(rm):
    instr = open_instr(rm, timeout=1000)
    assert instr.read_stb() == 0
    instr.write("*RST")  # answers nothing
    with pytest.raises(pyvisa.VisaIOError) as failed:
        instr.read()
    assert failed.value.error_code == constants.StatusCode.error_timeout
    assert instr.query("MEAS:VOLT?") == "+1.23450E+00\r"
    instr.close()


def test_lock_keeps_a_second_session_out(rm):
    first = open_instr(rm)
    second = open_instr(rm)
    first.lock_excl()
    with pytest.raises(pyvisa.VisaIOError):
        second.query("*IDN?")
    assert first.query("*IDN?") == ID1 + "\r"
    first.unlock()
    assert second.query("*IDN?") == ID1 + "\r"
    first.close()
    second.close()


def test_one_protocol_at_a_time(rm, gateway):
    # A VXI-11 session keeps raw-socket clients out...
    instr = open_instr(rm)
    assert instr.query("*IDN?") == ID1 + "\r"
    with raw_client(gateway.port) as client:
        assert read_to_end(client) == busy_line(0)
    instr.close()
    # ...and a raw-socket client keeps VXI-11 out, until it leaves.
    with raw_client(gateway.port) as client:
        client.sendall(b"*IDN?\n")
        assert receive(client, len(ID1) + 1) == ID1.encode() + b"\n"
        # pyvisa-py reports create_link's error 11 (locked) so.
        with pytest.raises(Exception, match="error creating link: 11"):
            open_instr(rm)
    instr = open_instr(rm)
    assert instr.query("*IDN?") == ID1 + "\r"
    instr.close()


def test_lxi_scpi(gateway):
    done = run("lxi", "scpi", "-a", "127.0.0.1", "*IDN?")
    assert done.returncode == 0
    assert done.stdout.strip() == ID1


def test_lxi_discover_by_broadcast(gateway):
    done = run("lxi", "discover")
    assert 'Found "%s" on address 127.0.0.1' % ID1 in done.stdout


def test_lxi_discover_by_mdns(gateway):
    done = run("lxi", "discover", "-m")
    assert 'Found "ZQ907 SN000001 slot 0" on address 127.0.0.1' in done.stdout
    assert "vxi-11 service on port 111" in done.stdout
