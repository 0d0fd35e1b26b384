"""Every answer reaches the client of its own line, from its own instrument.

Raw sockets play the clients: they see the bytes exactly as the gateway
sends them.  The instrument is the sample of simulator/definitions/: some of
its commands without "?" answer (CONF:RANGE 1000, unknown commands), *RST
answers nothing, SYST:ERR? answers with two messages.
"""

import os
import re
import shutil
import socket
import subprocess
import tempfile

import pytest

from harness import (IDENTITY, RUNTIME_DIR, Gateway, Simulator, busy_line, exchange,
                     nothing_more, pattern, raw_client, read_to_end, receive)

ID1 = (IDENTITY % 1).encode() + b"\n"
# Tests that start a gateway of their own serve slot 1, device 2: the
# module's gateway holds slot 0 meanwhile.
ID2 = (IDENTITY % 2).encode() + b"\n"
ERROR = b"ERROR unknown command ANS90\n"


@pytest.fixture(scope="module")
def sim():
    simulator = Simulator()
    assert simulator.add() == 2
    yield simulator
    status = simulator.stop()
    shutil.rmtree(RUNTIME_DIR, ignore_errors=True)
    assert status == 0, simulator.log()


# Both ways of telling where an answer ends: the identity query after each
# line, and a second of quiet.
@pytest.fixture(scope="module", params=["idn", "1"])
def gateway(sim, request):
    program = Gateway("--port", "0", "--read-timeout", "3", "--answer-end", request.param)
    yield program
    program.finish()


# What a client sends at once, and every byte it must get back, in order.
SESSIONS = [
    ([b"CONF:RANGE 1000", b"*IDN?"], b"RANGE REFUSED ANS40\n" + ID1),
    ([b"*RST", b"MEAS:VOLT?"], b"+1.23450E+00\n"),
    ([b"NO:SUCH:COMMAND", b"MEAS:CURR?"], ERROR + b"+4.20000E-03\n"),
    ([b"SYST:ERR?", b"*IDN?"], b'0,"No error"\nEND\n' + ID1),
    ([b"SELFTEST?", b"*IDN?", b"*IDN?"], b"SELFTEST ANS40\r\nCHANNEL 2 ANS20\n" + ID1 + ID1),
    # Fills its 64 KiB transfer exactly: the next line's answer follows.
    ([b"DATA? 65536", b"MEAS:VOLT?"], pattern(65534) + b"\n+1.23450E+00\n"),
    ([b"*RST", b"*RST"], b""),
]


@pytest.mark.parametrize("lines, expected", SESSIONS,
                         ids=[b"+".join(lines).decode() for lines, _ in SESSIONS])
def test_every_answer_follows_its_line(gateway, lines, expected):
    with raw_client(gateway.port) as client:
        client.sendall(b"".join(line + b"\n" for line in lines))
        assert receive(client, len(expected)) == expected
        # Nothing of these lines is left for the next one.
        client.sendall(b"MEAS:VOLT?\n")
        assert receive(client, 13) == b"+1.23450E+00\n"
        # Nothing comes between them and the next line's answer either.
        client.sendall(b"*IDN?\n")
        assert receive(client, len(ID1)) == ID1


def test_output_waiting_before_a_client_is_not_its_answer(sim, gateway):
    # An unsolicited message, and a long identity read at every idle check.
    long_identity = "VESPARO,ZQ907,SN000001,2.4.1-build-20261209-0123456789"
    sim.control("identity 1 " + long_identity)
    try:
        # The previous client's last answer has ended.
        sim.control("wait 1 reads-pending<=0 timeout=10000")
        # Pushed just after an idle check's recovery, all of it waits for the
        # next check.  Pushed while a check reads its answer, some of it would
        # be dropped by that check's recovery, which cannot count it.
        recovered = sim.count(1, "recoveries")
        sim.control("wait 1 recoveries>=%d timeout=10000" % (recovered + 1))
        before = sim.requests(1)
        logged = len(gateway.log())
        sim.control("push 1 OVERRANGE 12")
        for n in range(100):
            sim.control("push 1 LINE%03d" % n)
        # Last, the instrument's own identity, as a *IDN? nobody read leaves
        # it: taken for the answer to the idle check's query, it must not
        # leave the real answer behind.
        sim.control("push 1 " + long_identity)
        # Two idle checks of the port, 5 s apart.
        sim.control("wait 1 requests>=%d timeout=20000" % (before + 4))
        expected = long_identity.encode() + b"\n+1.23450E+00\n"
        assert exchange(gateway.port, b"*IDN?\nMEAS:VOLT?\n", len(expected)) == expected
        dropped = re.findall(r"dropped (\d+) bytes in (\d+) messages nobody asked for",
                             gateway.log()[logged:])
        assert [sum(int(d[i]) for d in dropped) for i in (0, 1)] == [14 + 100 * 9, 101]
    finally:
        sim.control("identity 1 " + IDENTITY % 1)


@pytest.mark.parametrize("lines", [
    [b"LINE%03d" % n for n in range(100)],     # answered commands, never read
    [b"DATA? 1000000"] + [b"MEAS:CURR?"] * 3,  # long and delayed answers
])
def test_client_leaving_leaves_nothing_stale(gateway, lines):
    with raw_client(gateway.port) as client:
        client.sendall(b"".join(line + b"\n" for line in lines))
    assert exchange(gateway.port, b"*IDN?\n", len(ID1)) == ID1


def test_echo_of_the_identity_is_an_answer_not_its_end(sim):
    # An instrument that echoes: a line that is the identity comes back as
    # the identity, which must not end the answers early.  Its output from
    # an earlier session waits too.
    device = sim.add("stale-output")
    identity = b"VESPARO,ZQ907,SN%06d,1.0.0" % device
    program = Gateway("--slot", "2", "--port", "0")
    try:
        lines = [identity, b"PING?", b"*idn?", b"*IDN?", b"PONG"]
        expected = b"".join(line + b"\n" for line in lines[:3]) + identity + b"\nPONG\n"
        assert exchange(program.port, b"".join(line + b"\n" for line in lines),
                        len(expected)) == expected
    finally:
        program.finish()
        sim.control("remove %d" % device)


def test_half_closed_owner_keeps_the_port_until_answered(gateway):
    owner = raw_client(gateway.port)
    owner.sendall(b"*IDN?\nMEAS:CURR?\nMEAS:CURR?\nMEAS:VOLT?\n")
    owner.shutdown(socket.SHUT_WR)
    second = raw_client(gateway.port)
    second.sendall(b"*IDN?\n")
    expected = ID1 + b"+4.20000E-03\n" * 2 + b"+1.23450E+00\n"
    assert read_to_end(owner) == expected
    assert receive(second, len(ID1)) == ID1
    owner.close()
    second.close()


def test_half_closed_owner_gets_a_long_last_answer_whole(gateway):
    # The connection closes only once the last message has been written out,
    # however long that takes.
    owner = raw_client(gateway.port)
    owner.sendall(b"DATA? 4000000\n")
    owner.shutdown(socket.SHUT_WR)
    assert read_to_end(owner) == pattern(3999998) + b"\n"
    owner.close()


def test_turned_away_client_during_a_long_query(sim):
    # The owner's query takes longer than a turned-away client is given to
    # close; the gateway's clean-up of that client must run safely after.
    program = Gateway("--slot", "1", "--port", "0", "--read-timeout", "5")
    try:
        owner = raw_client(program.port)
        owner.sendall(b"*IDN?\n")
        assert receive(owner, len(ID2)) == ID2
        second = raw_client(program.port)
        assert receive(second, 10) == busy_line(1)[:10]
        sim.control("fault 2 delay 3000 on=read times=1")
        before = sim.requests(2)
        owner.sendall(b"MEAS:VOLT?\n")
        # The turned-away client goes while the owner's answer is on its
        # way: the line written, the read of its answer sent.
        sim.control("wait 2 requests>=%d" % (before + 2))
        second.close()
        assert receive(owner, 13) == b"+1.23450E+00\n"
        owner.sendall(b"*IDN?\n")
        assert receive(owner, len(ID2)) == ID2
        owner.close()
    finally:
        sim.control("clear 2 all")
        program.finish()


@pytest.mark.parametrize("bind, allow, served", [
    ("::", "::ffff:127.0.0.1", True),
    ("::", "127.0.0.1", True),
    ("::", "::ffff:127.0.0.0/120", True),
    ("::", "::ffff:10.0.0.1", False),
    ("127.0.0.1", "::ffff:127.0.0.1", True),
])
def test_allow_matches_ipv4_peers_in_either_form(sim, bind, allow, served):
    program = Gateway("--slot", "1", "--bind", bind, "--port", "0", "--allow", allow)
    try:
        with raw_client(program.port) as client:
            client.sendall(b"*IDN?\n")
            assert (receive(client, len(ID2)) if served else read_to_end(client)) == \
                (ID2 if served else b"")
        # The log shows the peer in the form that the rule takes.
        program.wait_log(r"(client|refused) 127\.0\.0\.1:\d+")
        assert "::ffff:" not in program.log()
    finally:
        program.finish()


@pytest.mark.parametrize("limit, size, passed", [
    (None, 64 * 1024 * 1024, True),
    (64 * 1024 * 1024 - 1, 64 * 1024 * 1024, False),
    (1000, 1000, True),
    (1000, 1001, False),
])
def test_response_limit(sim, limit, size, passed):
    # The simulator's sized responses end at 64 MiB: the default limit.
    args = [] if limit is None else ["--max-response", str(limit)]
    program = Gateway("--slot", "1", "--port", "0", *args)
    try:
        with raw_client(program.port) as client:
            client.sendall(b"DATA? %d\nMEAS:VOLT?\n" % size)
            answer = (pattern(size - 2) + b"\n" if passed else b"") + b"+1.23450E+00\n"
            assert receive(client, len(answer)) == answer
        if not passed:
            program.wait_log(r'"DATA\? %d": response longer than %d bytes; dropped'
                             % (size, limit))
    finally:
        program.finish()


def test_idle_owner_is_disconnected(sim):
    program = Gateway("--slot", "1", "--port", "0", "--idle-limit", "1")
    try:
        with raw_client(program.port) as client:
            client.sendall(b"*IDN?\n")
            assert receive(client, len(ID2)) == ID2
            assert read_to_end(client) == b""
        program.wait_log(r"client 127\.0\.0\.1:\d+ idle for 1 s: disconnected")
        assert exchange(program.port, b"*IDN?\n", len(ID2)) == ID2
    finally:
        program.finish()


def run(*command):
    subprocess.run(command, check=True, capture_output=True, timeout=30)


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("ip"),
                    reason="needs root and iproute2 for a network namespace")
def test_vanished_owner_is_noticed_by_keepalive(sim):
    # The owner sits in a network namespace of its own behind a veth pair;
    # deleting the pair makes it vanish without FIN or RST, like a pulled
    # cable.
    namespace = "tavgw%d" % os.getpid()
    run("ip", "netns", "add", namespace)
    program = None
    try:
        run("ip", "link", "add", namespace + "a", "type", "veth", "peer", "name", namespace + "b")
        run("ip", "link", "set", namespace + "b", "netns", namespace)
        run("ip", "addr", "add", "10.231.0.1/30", "dev", namespace + "a")
        run("ip", "link", "set", namespace + "a", "up")
        run("ip", "-n", namespace, "addr", "add", "10.231.0.2/30", "dev", namespace + "b")
        run("ip", "-n", namespace, "link", "set", namespace + "b", "up")
        program = Gateway("--slot", "1", "--bind", "10.231.0.1", "--port", "0", "--keepalive", "1",
                          "--idle-limit", "0")
        owner = subprocess.Popen(
            ["ip", "netns", "exec", namespace, "python3", "-c",
             "import socket, sys, time\n"
             "s = socket.create_connection(('10.231.0.1', %d))\n"
             "s.sendall(b'*IDN?\\n'); sys.stdout.write(s.recv(100).decode()); sys.stdout.flush()\n"
             "time.sleep(60)\n" % program.port],
            stdout=subprocess.PIPE, text=True)
        try:
            assert owner.stdout.readline() == ID2.decode()
            run("ip", "link", "del", namespace + "a")
            program.wait_log(r"client 10\.231\.0\.2:\d+ connection lost", timeout=20)
        finally:
            owner.kill()
            owner.wait()
    finally:
        subprocess.run(["ip", "link", "del", namespace + "a"], capture_output=True)
        subprocess.run(["ip", "netns", "del", namespace], capture_output=True)
        if program is not None:
            program.finish()


def test_port_serves_only_its_own_instrument():
    # Two ports on two instruments; the first one's instrument goes away,
    # and its slot then names the second's.  A simulator of its own: the
    # devices change.
    runtime = tempfile.mkdtemp(prefix="tavril-gateway-two-")
    simulator = Simulator(runtime, name="simulator-two")
    program = None
    try:
        second = simulator.add()
        env = {"TAVRIL_RUNTIME_DIR": runtime}
        program = Gateway("--slot", "0", "--port", "0", "--slot", "1", "--port", "0",
                          "--reopen-tries", "60", env=env)
        id2 = (IDENTITY % second).encode() + b"\n"
        port0, port1 = program.ports[0], program.ports[1]
        simulator.control("remove 1")
        program.wait_log(r"slot 0 port %d: slot 0 now holds ZQ907 serial SN%06d, not ZQ907 serial "
                         r"SN000001: closed; waiting for SN000001" % (port0, second))
        # Port 0 answers nothing; port 1 goes on answering for its own.
        with raw_client(port0) as client0, raw_client(port1) as client1:
            client0.sendall(b"*IDN?\n")
            client1.sendall(b"*IDN?\n*IDN?\n")
            assert receive(client1, 2 * len(id2)) == 2 * id2
            program.wait_log(r'slot 0 port %d: no instrument: "\*IDN\?" dropped' % port0)
            assert nothing_more(client0)
        # Its own instrument comes back, alone at slot 0.
        third = simulator.add()
        simulator.control("identity %d %s" % (third, IDENTITY % 1))
        simulator.control("remove %d" % second)
        program.wait_log(r"slot 0 port %d: slot reopened" % port0)
        assert exchange(port0, b"*IDN?\n", len(ID1)) == ID1
    finally:
        if program is not None:
            program.finish()
        simulator.stop()
        shutil.rmtree(runtime, ignore_errors=True)
