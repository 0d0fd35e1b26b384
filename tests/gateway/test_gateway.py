"""tavril-gateway against the simulator, as a VISA client sees it.

pyvisa with its pure-Python backend pyvisa-py opens
TCPIP::127.0.0.1::<port>::SOCKET on a tavril-gateway that serves slot 0 of
a tavril-sim running simulator/definitions/sample.yaml.  Answers must be
those that Scmd_Tavril gives on the same instrument (read through the
Python module tavril before the gateway claims the slot).  Raw sockets play
the clients that misbehave.  harness.py says which paths come from the
environment.
"""

import re
import shutil
import subprocess
import time
from pathlib import Path

import pytest

from harness import (IDENTITY, RUNTIME_DIR, Gateway, Simulator, busy_line, open_visa, path_of,
                     pattern, raw_client, read_to_end)

import pyvisa  # noqa: E402
import tavril  # noqa: E402

MAX_LINE = 1024 * 1024
READ_TIMEOUT = 2  # the gateway's, seconds
BUSY = busy_line(0)


def start_gateway(*args):
    return Gateway(*args, ready=False)


@pytest.fixture(scope="module")
def sim():
    simulator = Simulator()
    yield simulator
    status = simulator.stop()
    log = simulator.log()
    shutil.rmtree(RUNTIME_DIR, ignore_errors=True)
    assert status == 0, "tavril-sim ended with %d:\n%s" % (status, log)


# Commands whose answers are compared; TRACE? is the 100,000-byte response.
COMMANDS = ["*IDN?", "MEAS:VOLT?", "MEAS:CURR?", "SELFTEST?", "NO:SUCH:QUERY?", "TRACE?"]


@pytest.fixture(scope="module")
def library_answers(sim):
    """What Scmd_Tavril answers to each of COMMANDS (whole text, code), and
    what it does with *RST, which gets no answer."""
    tavril.load(path_of("TAVLIB_LIBRARY"))
    answers = {}
    with tavril.Instrument(0) as instrument:
        for command in COMMANDS:
            answers[command] = instrument.query(command, max_bytes=200000, mode=tavril.Mode.TEXT)
        with pytest.raises(tavril.TavrilError) as silent:
            instrument.query("*RST", timeout=1)
        answers["*RST"] = silent.value.result_name
    return answers


@pytest.fixture(scope="module")
def gateway(sim, library_answers):
    """The gateway on slot 0, a free port, peers 127.0.0.1 and 127.0.0.3
    only; yields (program, port).  The slot is free again afterwards."""
    program = start_gateway("--port", "0", "--write-timeout", "2", "--read-timeout",
                            str(READ_TIMEOUT), "--allow", "127.0.0.1/32", "--allow", "127.0.0.3",
                            "--reopen-tries", "60")
    port = int(program.wait_log(r"^tavril-gateway: slot 0: listening on 127\.0\.0\.1:(\d+)")[1])
    program.wait_log(r"^tavril-gateway: ready$")
    yield program, port
    status = program.stop()
    assert status == 0, "tavril-gateway ended with %d:\n%s" % (status, program.log())


@pytest.fixture
def visa(gateway):
    manager, session = open_visa(gateway[1])
    yield session
    session.close()
    manager.close()


def through_gateway(session, command, expected):
    """The bytes the gateway answers to `command`: as many as expected."""
    session.write(command)
    return session.read_bytes(len(expected))


class TestSameAnswersAsTheLibrary:
    @pytest.fixture(scope="class")
    def session(self, gateway):
        manager, session = open_visa(gateway[1])
        yield session
        session.close()
        manager.close()

    @pytest.mark.parametrize("command", COMMANDS)
    def test_query(self, session, library_answers, command):
        text, code = library_answers[command]
        # The response with its CR LF line end turned into one LF; the lines
        # inside stay as the instrument sent them.
        assert text.endswith("\r\n")
        expected = text[:-2].encode() + b"\n"
        assert through_gateway(session, command, expected) == expected
        if command == "*IDN?":
            assert expected == IDENTITY.encode() % 1 + b"\n"
        if command == "TRACE?":
            assert len(text) == 100000
        if code:
            assert ("ANS%d" % code).encode() in expected

    def test_command_without_answer(self, session, library_answers):
        # The library's read times out; the gateway answers nothing, and the
        # next query gets its own answer.
        assert library_answers["*RST"] == "TAVRIL_SCMD_READ_TIMEOUT"
        session.write("*RST")
        assert session.query("*IDN?") == IDENTITY % 1


def test_response_filling_its_last_transfer(gateway):
    # DATA? 65536 fills one 64 KiB transfer exactly: only the read time-out
    # after it shows that nothing follows; the response is then sent whole.
    pattern = b"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxy"
    expected = bytes(pattern[i % len(pattern)] for i in range(65534)) + b"\n"
    manager, session = open_visa(gateway[1], timeout_ms=(READ_TIMEOUT + 10) * 1000)
    try:
        session.write("DATA? 65536")
        assert session.read_bytes(len(expected)) == expected
        assert session.query("*IDN?") == IDENTITY % 1
    finally:
        session.close()
        manager.close()


def test_second_client_is_turned_away(gateway, visa):
    program, port = gateway
    assert visa.query("*IDN?") == IDENTITY % 1
    second = raw_client(port)
    assert read_to_end(second) == BUSY
    second.close()
    program.wait_log(r"refused 127\.0\.0\.1:\d+: the port is in use by another client")
    # The owner goes on undisturbed.
    assert visa.query("MEAS:VOLT?") == "+1.23450E+00"


def test_port_is_free_once_the_owner_left(gateway):
    for _ in range(2):
        manager, session = open_visa(gateway[1])
        assert session.query("*IDN?") == IDENTITY % 1
        session.close()
        manager.close()


@pytest.mark.parametrize("command, bytes_taken", [
    ("TRACE?", 0),          # gone before the answer came
    ("TRACE?", 1000),       # gone after part of it
    ("MEAS:CURR?", 0),      # gone while the instrument still delays it
    ("SYST:ERR?", 0),       # an answer of two messages, the second never asked for
])
def test_client_leaving_mid_response_leaves_nothing_stale(gateway, command, bytes_taken):
    client = raw_client(gateway[1])
    client.sendall(command.encode() + b"\n")
    taken = b""
    while len(taken) < bytes_taken:
        taken += client.recv(bytes_taken - len(taken))
    client.close()
    manager, session = open_visa(gateway[1])
    try:
        assert session.query("*IDN?") == IDENTITY % 1
        assert session.query("MEAS:VOLT?") == "+1.23450E+00"
    finally:
        session.close()
        manager.close()


@pytest.mark.parametrize("fault, logged", [
    ("no-idn", r"Read_Tavril result -3 \(time-out\), Win32 code 0"),
    ("delay 4000 on=read times=1", r"Read_Tavril result -3 \(time-out\), Win32 code 0"),
    ("error 31 on=read times=1", r"Read_Tavril result -1 \(failed\), Win32 code 31"),
    ("error 1117 on=write times=1", r"Write_Tavril result -1 \(failed\), Win32 code 1117"),
])
def test_failed_transaction_answers_nothing(sim, gateway, fault, logged):
    program, port = gateway
    manager, session = open_visa(port, timeout_ms=(READ_TIMEOUT + 2) * 1000)
    try:
        # Answered once the previous client's clean-up is over: the fault
        # then meets this query's transfers.
        assert session.query("*IDN?") == IDENTITY % sim.device
        sim.control("fault %d %s" % (sim.device, fault))
        with pytest.raises(pyvisa.errors.VisaIOError) as timeout:
            session.query("*IDN?")
        assert timeout.value.error_code == pyvisa.constants.StatusCode.error_timeout
        program.wait_log(r'"\*IDN\?": ' + logged + "; no answer sent")
        sim.control("clear %d all" % sim.device)
        assert session.query("*IDN?") == IDENTITY % sim.device
    finally:
        sim.control("clear %d all" % sim.device)
        session.close()
        manager.close()


@pytest.mark.parametrize("source, served", [
    ("127.0.0.1", True),    # --allow 127.0.0.1/32
    ("127.0.0.2", False),
    ("127.0.0.3", True),    # --allow 127.0.0.3
])
def test_allow_list(gateway, source, served):
    program, port = gateway
    client = raw_client(port, source)
    try:
        client.sendall(b"*IDN?\n")
        answer = client.recv(4096) if served else read_to_end(client)
    finally:
        client.close()
    if served:
        assert answer == IDENTITY.encode() % 1 + b"\n"
    else:
        assert answer == b""
        program.wait_log(r"refused %s:\d+: not in the --allow list" % re.escape(source))


@pytest.mark.parametrize("length, refused", [(MAX_LINE, False), (MAX_LINE + 1, True)])
def test_line_length_limit(gateway, length, refused):
    program, port = gateway
    line = b"X" * (length - 1) + b"?"
    client = raw_client(port)
    try:
        try:
            client.sendall(line + b"\r\n")
        except (BrokenPipeError, ConnectionResetError):
            assert refused
        answer = read_to_end(client) if refused else client.recv(4096)
    finally:
        client.close()
    if refused:
        assert answer == b""
        program.wait_log(r"sent a line longer than %d bytes: refused, disconnected" % MAX_LINE)
    else:
        assert answer == b"ERROR unknown command ANS90\n"
    # Nothing else is lost: the next client is served.
    manager, session = open_visa(port)
    try:
        assert session.query("*IDN?") == IDENTITY % 1
    finally:
        session.close()
        manager.close()


@pytest.mark.parametrize("args, message", [
    (["--slot", "4"], r"--slot: Value 4 not in range"),
    (["--slot", "0", "--slot", "0", "--port", "1"], r"slot 0 is given twice"),
    (["--slot", "0", "--port", "7000", "--slot", "1", "--port", "7000"], r"port 7000 is given twice"),
    (["--port", "7000", "--slot", "1"], r"--port before the first --slot"),
    (["--allow", "10.0.0.0/33"], r"not an address range: 10\.0\.0\.0/33"),
    (["--write-timeout", "61"], r"--write-timeout: Value 61 not in range"),
    (["--bind", "localhost"], r"--bind localhost: not an address"),
])
def test_command_line_refused(args, message):
    done = subprocess.run([path_of("TAVRIL_GATEWAY"), *args], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 2
    assert re.search(message, done.stdout + done.stderr), done.stdout + done.stderr


@pytest.mark.parametrize("args, timeouts", [
    # Options after a --slot are its own; before the first, every port's.
    (["--slot", "2", "--port", "0", "--read-timeout", "7", "--slot", "3", "--port", "0"],
     {2: (5, 7), 3: (5, 10)}),
    (["--read-timeout", "9", "--write-timeout", "3", "--slot", "2", "--port", "0", "--slot", "3",
      "--write-timeout", "4", "--port", "0"], {2: (3, 9), 3: (4, 9)}),
])
def test_time_outs_per_port(sim, args, timeouts):
    # Slots 2 and 3 have no instrument: the gateway shows its ports, tries
    # once to open each, and ends.
    program = start_gateway(*args, "--reopen-tries", "1")
    for slot in timeouts:
        program.wait_log(r"slot %d: listening" % slot)
    assert program.process.wait(timeout=30) == 1
    shown = {int(slot): (int(write), int(read)) for slot, write, read in re.findall(
        r"slot (\d): listening on [^,]+, write time-out (\d+) s, read time-out (\d+) s",
        program.log())}
    assert shown == timeouts


def test_gives_up_reopening_after_its_bound(sim):
    # Slot 3 has no instrument: two attempts a second apart, then the port
    # closes and, with no port left, the gateway ends with 1.
    program = start_gateway("--slot", "3", "--port", "0", "--reopen-tries", "2")
    port = int(program.wait_log(r"slot 3: listening on 127\.0\.0\.1:(\d+)")[1])
    program.wait_log(r"slot 3 port %d: cannot open the slot: Open_Tavril result -1 .*, "
                     r"Win32 code 259" % port)
    assert program.process.wait(timeout=30) == 1
    assert "slot 3 port %d: gave up after 2 attempts to reopen the slot; port closed" % port \
        in program.log()
    with pytest.raises(ConnectionRefusedError):
        raw_client(port)


# Last: the device slot 0 opens changes.
@pytest.mark.parametrize("client_connected", [True, False])
def test_instrument_removed_and_added_again(sim, gateway, client_connected):
    program, port = gateway
    gone = (r"slot 0 port %d: instrument gone \((Write|Read)_Tavril result -1 \(failed\), Win32 "
            r"code \d+\); closing the slot and reopening it" % port)
    reopened = r"slot 0 port %d: slot reopened \(attempt \d+\)" % port
    before = len(re.findall(gone, program.log()))
    reopened_before = len(re.findall(reopened, program.log()))
    session = manager = None
    try:
        if client_connected:
            manager, session = open_visa(port, timeout_ms=(READ_TIMEOUT + 2) * 1000)
            assert session.query("*IDN?") == IDENTITY % sim.device
        sim.control("remove %d" % sim.device)
        if client_connected:
            # Not answered while the instrument is away: the failure shows
            # it gone, and later lines are dropped.
            for _ in range(2):
                with pytest.raises(pyvisa.errors.VisaIOError):
                    session.query("*IDN?")
            program.wait_log(r'no instrument: "\*IDN\?" dropped')
        # Without a client, the port's own check shows it within seconds.
        deadline = time.monotonic() + 30
        while len(re.findall(gone, program.log())) == before:
            assert time.monotonic() < deadline, program.log()
            time.sleep(0.05)
        # The port serves the instrument it started with: the one that
        # comes back names itself so.
        sim.device = sim.add()
        sim.control("identity %d %s" % (sim.device, IDENTITY % 1))
        deadline = time.monotonic() + 30
        while len(re.findall(reopened, program.log())) == reopened_before:
            assert time.monotonic() < deadline, program.log()
            time.sleep(0.05)
        if not client_connected:
            manager, session = open_visa(port)
        assert session.query("*IDN?") == IDENTITY % 1
    finally:
        if session is not None:
            session.close()
            manager.close()
