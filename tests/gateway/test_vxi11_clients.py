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
import signal
import socket
import subprocess
import threading
import time

import pytest
import pyvisa
from pyvisa import constants
from pyvisa_py.protocols import rpc, vxi11

from harness import (IDENTITY, ONLY_IN_A_NAMESPACE, RUNTIME_DIR, Gateway, busy_line, path_of, pattern,
                     raw_client, read_to_end, receive, simulator_fixture)

ID1 = IDENTITY % 1
RESOURCE = "TCPIP::127.0.0.1::INSTR"

pytestmark = ONLY_IN_A_NAMESPACE


sim = simulator_fixture(1)


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


def test_a_last_line_sent_as_links_are_asked_for_is_answered(gateway):
    # Raw-socket clients that send a line and end their sending side at
    # once, while VXI-11 clients ask for links without pause: each time the
    # gateway looks whether the owner has left, its last line may have been
    # taken from the connection but not yet run, and the owner must not be
    # taken for gone (which left hundreds of lines a run unanswered).
    port = core_port(gateway)
    stop = threading.Event()
    made = []

    def ask_for_links():
        client = CoreAt(port)
        while not stop.is_set():
            error, link, _, _ = client.create_link(1, False, 0, "inst0")
            if error == 0:
                made.append(link)
                client.destroy_link(link)
        client.close()

    askers = [threading.Thread(target=ask_for_links) for _ in range(3)]
    for asker in askers:
        asker.start()
    answered, unanswered = 0, 0
    end = time.monotonic() + 5
    try:
        while time.monotonic() < end:
            with raw_client(gateway.port) as client:
                client.sendall(b"*IDN?\n")
                client.shutdown(socket.SHUT_WR)
                got = read_to_end(client)
            if got == (ID1 + "\n").encode():
                answered += 1
            elif got != busy_line(0):  # a link held the instrument
                unanswered += 1
    finally:
        stop.set()
        for asker in askers:
            asker.join()
    print("%d lines answered, %d links made" % (answered, len(made)))
    assert unanswered == 0, "%d of %d lines unanswered" % (unanswered, answered + unanswered)
    assert answered > 100 and made


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


class CoreAt(vxi11.CoreClient):
    """A VXI-11 core channel client of a given port, found without the
    portmapper."""

    def __init__(self, port):
        self.packer = vxi11.Vxi11Packer()
        self.unpacker = vxi11.Vxi11Unpacker("")
        rpc.RawTCPClient.__init__(self, "127.0.0.1", vxi11.DEVICE_CORE_PROG, vxi11.DEVICE_CORE_VERS, port)


def core_port(gateway):
    return int(gateway.wait_log(r"vxi11: core channel on port (\d+)")[1])


LEFT_BEHIND = [
    ("a query read to its termination character", lambda instr: instr.query("SELFTEST?")),
    ("a query never read", lambda instr: instr.write("SELFTEST?")),
    ("a long answer read in part", lambda instr: (instr.write("TRACE?"), instr.read_bytes(1000))),
]


@pytest.mark.parametrize("leave", [leave for _, leave in LEFT_BEHIND], ids=[name for name, _ in LEFT_BEHIND])
def test_what_a_session_leaves_reaches_no_other(rm, leave):
    first = open_instr(rm)
    leave(first)
    first.close()
    second = open_instr(rm)
    assert second.query("*IDN?") == ID1 + "\r"
    second.close()


def test_what_the_gateway_sends_itself_answers_nobody(rm):
    instr = open_instr(rm)
    # The sample instrument refuses *TRG: an error, and its answer is dropped.
    with pytest.raises(pyvisa.VisaIOError):
        instr.assert_trigger()
    # Doubled line ends send no empty command line.
    instr.write_raw(b"*RST\n\n")
    assert instr.query("*IDN?") == ID1 + "\r"
    # Two sessions that write in turn each read their own answer.
    other = open_instr(rm)
    instr.write("MEAS:VOLT?")
    other.write("*IDN?")
    assert other.read() == ID1 + "\r"
    assert instr.read() == "+1.23450E+00\r"
    other.close()
    instr.close()


def test_a_waiting_read_holds_up_nobody(rm, sim, gateway):
    waiting = open_instr(rm, timeout=4000)
    waiting.write("*RST")  # answers nothing: the read waits out its 4 s
    failed = []
    reader = threading.Thread(target=lambda: failed.append(pytest.raises(pyvisa.VisaIOError, waiting.read)))
    reader.start()
    sim.control("wait %d reads-pending>=1" % sim.device)
    started = time.monotonic()
    other = open_instr(rm)
    assert other.read_stb() == 0
    other.lock_excl()
    other.unlock()
    # 64 connections that send nothing do not lock a new client out.
    idle = [socket.create_connection(("127.0.0.1", core_port(gateway))) for _ in range(64)]
    third = open_instr(rm)
    assert time.monotonic() - started < 2.0
    assert reader.is_alive()  # none of it waited for the read
    reader.join()
    assert failed and failed[0].value.error_code == constants.StatusCode.error_timeout
    for connection in idle:
        connection.close()
    assert third.query("*IDN?") == ID1 + "\r"
    for instr in (waiting, other, third):
        instr.close()


# A waiting read is interrupted; a write the instrument holds cannot be, and
# the gateway ends without it, within its bound all the same.
@pytest.mark.parametrize("signal_, held", [(signal.SIGTERM, "read"), (signal.SIGHUP, "read"),
                                           (signal.SIGQUIT, "read"), (signal.SIGTERM, "write")],
                         ids=lambda v: getattr(v, "name", v))
def test_a_signal_ends_it_at_once_while_a_call_waits(sim, signal_, held):
    if not hasattr(sim, "second"):
        sim.second = sim.add()  # at slot 1
    program = Gateway("--slot", "1", "--port", "0", "--portmap", "off", "--mdns", "off")
    try:
        client = CoreAt(core_port(program))
        error, link, _, _ = client.create_link(1, False, 0, "inst1")
        assert error == 0
        assert client.device_write(link, 1000, 0, 8, b"*RST\n")[0] == 0
        # A call with an io_timeout of 20 s: a read that gets nothing, or a
        # write the instrument takes 20 s to complete.
        before = sim.requests(sim.second)
        if held == "read":
            call = lambda: client.device_read(link, 100, 20000, 0, 0, 0)
        else:
            sim.control("fault %d delay 20000 on=write times=1" % sim.second)
            call = lambda: client.device_write(link, 20000, 0, 8, b"*RST\n")
        threading.Thread(target=call, daemon=True).start()
        sim.control("wait %d requests>=%d" % (sim.second, before + 1))
        started = time.monotonic()
        program.process.send_signal(signal_)
        assert program.process.wait(timeout=10) == 0, program.log()
        assert time.monotonic() - started < 2.5
        assert "tavril-gateway: stopped" in program.log()
        assert ("still runs; not waiting for it" in program.log()) == (held == "write")
    finally:
        sim.control("clear %d all" % sim.second)
        if program.process.poll() is None:
            program.finish()


def test_idle_limit_closes_a_vxi11_connection(sim):
    if not hasattr(sim, "second"):
        sim.second = sim.add()  # at slot 1
    program = Gateway("--slot", "1", "--port", "0", "--portmap", "off", "--mdns", "off", "--idle-limit", "2")
    try:
        with socket.create_connection(("127.0.0.1", core_port(program)), timeout=10) as idle:
            program.wait_log(r"core channel: client 127\.0\.0\.1:\d+ idle for 2 s: disconnected", timeout=10)
            assert idle.recv(1) == b""
    finally:
        program.finish()
