"""The library's I/O trace (docs/TRACE.md) as programs write it against the
simulator: a C program, the Python module, tavctl and the gateway run with
TAVRIL_TRACE set, and every line of what they leave must be one JSON object
(Python's json) holding the calls they made.

Paths come from the environment (CTest passes them): TAVLIB_LIBRARY,
TAVRIL_SIM, TAVRIL_DEMO, TAVRIL_TAVCTL, TAVRIL_GATEWAY.
"""

import base64
import hashlib
import json
import os
import re
import socket
import stat
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
REPO = HERE.parent.parent
sys.path.insert(0, str(REPO / "python"))
import sim_process  # noqa: E402

RUNTIME_DIR = tempfile.mkdtemp(prefix="tavril-trace-")
COMMON = ("v", "seq", "time", "mono_us", "pid", "tid", "call")
CALL_MEMBERS = ("dur_us", "slot", "handle", "result", "error")
IDENTITY_LINE = "VESPARO,ZQ907,SN000001,2.4.1"


def tool(variable):
    path = os.environ.get(variable)
    if not path or not Path(path).is_file():
        raise pytest.UsageError("%s does not name a file (%r); run this suite through CTest"
                                % (variable, path))
    return path


def environment(trace, **more):
    env = dict(os.environ, TAVRIL_RUNTIME_DIR=RUNTIME_DIR, TAVRIL_TRACE=str(trace))
    env["PYTHONPATH"] = str(REPO / "python" / "tavril")
    env.update({name: str(value) for name, value in more.items()})
    return env


def records(path):
    """The records of a trace file, each line checked to be one whole JSON
    object with the members every record has, numbered from 0 in its
    process, starting with the start record."""
    data = Path(path).read_bytes()
    assert data.endswith(b"\n"), "%s ends in the middle of a line" % path
    result = [json.loads(line) for line in data.decode("utf-8").split("\n")[:-1]]
    per_process = {}
    for record in result:
        assert all(name in record for name in COMMON), record
        assert record["v"] == 1
        if record["call"] not in ("start", "end"):
            assert all(name in record for name in CALL_MEMBERS), record
        expected = per_process.get(record["pid"], 0)
        assert record["seq"] == expected, (path, record)
        if expected == 0:
            assert record["call"] == "start", record
        per_process[record["pid"]] = expected + 1
    return result


def calls(trace):
    return [r["call"] for r in trace]


@pytest.fixture(scope="module", autouse=True)
def simulator():
    log_path = Path(RUNTIME_DIR) / "simulator.log"
    process = sim_process.start(
        tool("TAVRIL_SIM"),
        ["--definitions", REPO / "simulator/definitions/sample.yaml", "--runtime-dir", RUNTIME_DIR],
        log_path)
    try:
        yield process
    finally:
        status = sim_process.stop(process)
    assert status == 0, log_path.read_text(errors="replace")


def test_a_c_program_leaves_one_record_per_call(tmp_path):
    demo = subprocess.Popen([tool("TAVRIL_DEMO")], env=environment(tmp_path / "t-%p.jsonl"),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = demo.communicate(timeout=60)
    assert demo.returncode == 0, out + err
    path = tmp_path / ("t-%d.jsonl" % demo.pid)
    assert [p.name for p in tmp_path.iterdir()] == [path.name]
    assert stat.S_IMODE(path.stat().st_mode) == 0o600
    trace = records(path)
    assert calls(trace) == ["start", "Open_Tavril"] + ["Scmd_Tavril"] * 4 + ["Close_Tavril"]
    assert {r["pid"] for r in trace} == {demo.pid}
    start, opened, *scmds, closed = trace
    assert start["platform"] in ("linux-x86_64", "linux-i686")
    assert (start["data_limit"], start["max_bytes"]) == (4096, 268435456)
    assert opened["identity"] == {"model": "ZQ907", "serialNumber": "SN000001",
                                  "firmwareVersion": "2.4.1"}
    assert opened["idn"] == {"len": len(IDENTITY_LINE), "text": IDENTITY_LINE}
    assert {r["slot"] for r in trace[1:]} == {0}
    assert {r["handle"] for r in trace[1:]} == {opened["handle"]}
    assert [(r["command"]["text"], r["result"], r["response"]["text"]) for r in scmds] == [
        ("*IDN?", 0, IDENTITY_LINE), ("MEAS:VOLT?", 0, "+1.23450E+00"),
        ("MEAS:CURR?", 0, "+4.20000E-03"), ("CONF:RANGE 1000", 40, "RANGE REFUSED ANS40")]
    assert scmds[2]["dur_us"] >= 150000  # the instrument's delay of 150 ms
    mono = [r["mono_us"] for r in trace]
    assert mono == sorted(mono) and mono[0] == 0
    assert closed["result"] == 0 and closed["error"] == 0


def test_a_pid_pattern_gives_each_process_its_own_file(tmp_path):
    demos = [subprocess.Popen([tool("TAVRIL_DEMO")], env=environment(tmp_path / "t-%p.jsonl"),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
             for _ in range(3)]
    for demo in demos:
        demo.wait(timeout=60)  # some find the slot claimed by another: their Open fails
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        "t-%d.jsonl" % demo.pid for demo in demos)
    for demo in demos:
        trace = records(tmp_path / ("t-%d.jsonl" % demo.pid))
        assert {r["pid"] for r in trace} == {demo.pid}
        assert calls(trace)[:2] == ["start", "Open_Tavril"]


# Many calls that need no instrument, as fast as they come.
BUSY_CALLER = """
import ctypes, tavril
lib = tavril.lib
error = ctypes.c_uint32()
identity = tavril.InstrumentIdentity()
for _ in range(300):
    lib.Close_Tavril(tavril.INVALID_HANDLE, ctypes.byref(error))
    lib.Conf_Tavril(tavril.INVALID_HANDLE, ctypes.byref(identity), ctypes.byref(error))
"""


def test_processes_sharing_one_file_append_whole_records(tmp_path):
    path = tmp_path / "shared.jsonl"
    callers = [subprocess.Popen([sys.executable, "-c", BUSY_CALLER], env=environment(path))
               for _ in range(4)]
    for caller in callers:
        assert caller.wait(timeout=120) == 0
    trace = records(path)  # every line whole; each process numbered 0, 1, 2, ...
    assert len(trace) == 4 * (1 + 600)
    assert sorted({r["pid"] for r in trace}) == sorted(c.pid for c in callers)


# Forks while other threads write records: a child whose copy of the trace
# was taken mid-record must still trace its own calls and end.
FORKING_CALLER = """
import ctypes, os, sys, threading, time, tavril
lib = tavril.lib
done = False
def busy():
    error = ctypes.c_uint32()
    while not done:
        lib.Close_Tavril(tavril.INVALID_HANDLE, ctypes.byref(error))
threads = [threading.Thread(target=busy) for _ in range(3)]
for thread in threads:
    thread.start()
hung = 0
for _ in range(FORKS):
    child = os.fork()
    if child == 0:
        lib.Close_Tavril(tavril.INVALID_HANDLE, ctypes.byref(ctypes.c_uint32()))
        os._exit(0)
    deadline = time.monotonic() + 5
    while os.waitpid(child, os.WNOHANG) == (0, 0):
        if time.monotonic() > deadline:
            os.kill(child, 9)
            os.waitpid(child, 0)
            hung += 1
            break
        time.sleep(0.001)
done = True
for thread in threads:
    thread.join()
print(hung)
"""


def test_a_child_forked_while_records_are_written_traces_its_own_calls(tmp_path):
    forks = 150
    caller = subprocess.Popen([sys.executable, "-c", FORKING_CALLER.replace("FORKS", str(forks))],
                              env=environment(tmp_path / "t-%p.jsonl"), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    out, err = caller.communicate(timeout=600)
    assert caller.returncode == 0, err
    assert out.split() == ["0"], "children that hung: " + out
    children = [p for p in tmp_path.iterdir() if p.name != "t-%d.jsonl" % caller.pid]
    assert len(children) == forks
    for child in children:
        assert calls(records(child)) == ["start", "Close_Tavril"], child


# A session through the module; prints the raw response it read.
MODULE_SESSION = """
import base64, tavril
from tavril import Mode
with tavril.Instrument(0) as inst:
    inst.query("MEAS:VOLT?")
    inst.write("TRACE?")
    data = inst.read(100000, Mode.RAW, timeout=30)
    inst.confirm_identity()
    try:
        inst.read(100, Mode.LINE, timeout=1)
    except tavril.TavrilError as failure:
        assert failure.result == -3, failure
print(base64.b64encode(data).decode())
"""


def test_the_python_module_traces_data_beyond_the_limit_by_its_digest(tmp_path):
    path = tmp_path / "module.jsonl"
    session = subprocess.run([sys.executable, "-c", MODULE_SESSION], capture_output=True,
                             text=True, timeout=120,
                             env=environment(path, TAVRIL_TRACE_DATA=1000))
    assert session.returncode == 0, session.stdout + session.stderr
    data = base64.b64decode(session.stdout)
    assert len(data) == 100000
    trace = records(path)
    assert calls(trace) == ["start", "Open_Tavril", "Scmd_Tavril", "Write_Tavril", "Read_Tavril",
                            "Conf_Tavril", "Read_Tavril", "Close_Tavril"]
    _, _, scmd, write, read, conf, timed_out, _ = trace
    assert trace[0]["data_limit"] == 1000
    assert scmd["response"] == {"len": 12, "text": "+1.23450E+00"}
    assert (write["text"], write["bytesWritten"], write["result"]) == (
        {"len": 6, "text": "TRACE?"}, 8, 0)
    assert (read["mode"], read["maxBytes"], read["bytesRead"], read["result"]) == (
        2, 100000, 100000, 0)
    block = read["data"]
    assert (block["len"], block["kept"]) == (100000, 1000)
    shown = block["text"].encode("latin-1") if "text" in block else base64.b64decode(block["base64"])
    assert shown == data[:1000]
    assert block["rest_sha256"] == hashlib.sha256(data[1000:]).hexdigest()
    assert conf["idn"]["text"] == IDENTITY_LINE and conf["identity"]["serialNumber"] == "SN000001"
    assert (timed_out["result"], timed_out["timeout"], "data" in timed_out) == (-3, 1, False)
    assert timed_out["dur_us"] >= 1000000


def test_tavctl_calls_are_traced(tmp_path):
    path = tmp_path / "tavctl.jsonl"
    run = subprocess.run([tool("TAVRIL_TAVCTL"), "query", "0", "MEAS:VOLT?"], capture_output=True,
                         text=True, timeout=60, env=environment(path))
    assert run.returncode == 0, run.stdout + run.stderr
    trace = records(path)
    assert calls(trace) == ["start", "Open_Tavril", "Scmd_Tavril", "Close_Tavril"]
    assert trace[2]["command"]["text"] == "MEAS:VOLT?"
    assert trace[2]["mode"] == 0  # tavctl's default: the whole text, its CR LF too
    assert trace[2]["response"]["text"] == run.stdout.strip() + "\r\n"


def test_the_gateways_calls_for_a_network_client_are_traced(tmp_path):
    path = tmp_path / "gateway.jsonl"
    log_path = tmp_path / "gateway.log"
    with open(log_path, "wb") as log:
        gateway = subprocess.Popen(
            [tool("TAVRIL_GATEWAY"), "--slot", "0", "--port", "0", "--vxi11", "off",
             "--mdns", "off"], env=environment(path), stdin=subprocess.DEVNULL, stdout=log,
            stderr=subprocess.STDOUT)
    try:
        deadline = time.monotonic() + 30
        while not re.search(r"^tavril-gateway: ready$", log_path.read_text(), re.MULTILINE):
            assert gateway.poll() is None and time.monotonic() < deadline, log_path.read_text()
            time.sleep(0.05)
        port = int(re.search(r"^tavril-gateway: slot 0: listening on .*:(\d+),",
                             log_path.read_text(), re.MULTILINE)[1])
        with socket.create_connection(("127.0.0.1", port), timeout=30) as client:
            client.sendall(b"MEAS:VOLT?\n")
            answer = b""
            while not answer.endswith(b"\n"):
                chunk = client.recv(4096)
                assert chunk, answer
                answer += chunk
        assert answer == b"+1.23450E+00\n"
    finally:
        gateway.terminate()
        assert gateway.wait(timeout=30) == 0, log_path.read_text()
    trace = records(path)
    assert calls(trace)[:2] == ["start", "Open_Tavril"] and trace[1]["result"] == 0
    assert calls(trace)[-1] == "Close_Tavril"
    written = [r["text"]["text"] for r in trace if r["call"] == "Write_Tavril"]
    read = [r["data"].get("text", "") for r in trace if r["call"] == "Read_Tavril" and "data" in r]
    assert any("MEAS:VOLT?" in text for text in written), written
    assert any("+1.23450E+00" in text for text in read), read


def test_a_file_that_cannot_be_opened_changes_nothing_but_one_line_on_stderr(tmp_path):
    untraced = subprocess.run([tool("TAVRIL_DEMO")], capture_output=True, text=True, timeout=60,
                              env=environment(""))
    path = tmp_path / "missing" / "t.jsonl"
    traced = subprocess.run([tool("TAVRIL_DEMO")], capture_output=True, text=True, timeout=60,
                            env=environment(path))
    assert (traced.returncode, traced.stdout) == (untraced.returncode, untraced.stdout)
    assert untraced.stderr == ""
    assert re.fullmatch(r"tavlib: trace %s: cannot open the file \(error 2\); tracing stopped\n"
                        % re.escape(str(path)), traced.stderr), traced.stderr
    assert not path.parent.exists()
