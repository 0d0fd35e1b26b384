"""A VISA client written elsewhere against the simulator's TCP port.

pyvisa with the pyvisa-py backend opens TCPIP::127.0.0.1::<port>::SOCKET on
a tavril-sim serving simulator/definitions/sample.yaml, and must get the
same answers as Scmd_Tavril gets through the library (called through the
Python module tavril) from the same instrument.

Paths come from the environment (CTest passes them):
  TAVLIB_LIBRARY  the library
  TAVRIL_SIM      the simulator
  PYTHONPATH      must reach python/tavril (the module tavril)
A missing file is an error, not a skip.
"""

import os
import re
import shutil
import sys
import tempfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
SAMPLE = REPO / "simulator" / "definitions" / "sample.yaml"
TCP_LINE = re.compile(r"^tavril-sim: tcp 127\.0\.0\.1:(\d+) device=1$", re.MULTILINE)
IDENTITY = "VESPARO,ZQ907,SN000001,2.4.1"

# Every slot and device of this session lives in a runtime directory of its
# own, set before the library is loaded (it binds the directory then).
RUNTIME_DIR = tempfile.mkdtemp(prefix="tavril-visa-")
os.environ["TAVRIL_RUNTIME_DIR"] = RUNTIME_DIR

sys.path.insert(0, str(REPO / "python"))
import pyvisa  # noqa: E402
import sim_process  # noqa: E402
import tavril  # noqa: E402


def _path(variable):
    value = os.environ.get(variable)
    if not value or not Path(value).is_file():
        raise pytest.UsageError("%s must name an existing file (got %r)" % (variable, value))
    return Path(value)


@pytest.fixture(scope="module")
def port():
    """tavril-sim with the sample instrument as device 1 (slot 0), also on a
    free TCP port; yields the port."""
    log_path = Path(RUNTIME_DIR) / "simulator.log"
    process = sim_process.start(
        _path("TAVRIL_SIM"),
        ["--definitions", SAMPLE, "--runtime-dir", RUNTIME_DIR, "--tcp", "0"], log_path)
    try:
        match = TCP_LINE.search(log_path.read_text(errors="replace"))
        assert match, "no TCP address in the start-up output"
        yield int(match.group(1))
    finally:
        try:
            status = sim_process.stop(process)
        finally:
            log_text = log_path.read_text(errors="replace")
            shutil.rmtree(RUNTIME_DIR, ignore_errors=True)
    # Anything but a clean end on SIGTERM (a sanitizer report, a crash) fails.
    assert status == 0, "tavril-sim ended with %d:\n%s" % (status, log_text)


@pytest.fixture(scope="module")
def visa(port):
    """The instrument through pyvisa-py's raw socket session."""
    manager = pyvisa.ResourceManager("@py")
    session = manager.open_resource("TCPIP::127.0.0.1::%d::SOCKET" % port,
                                    read_termination="\n", write_termination="\n",
                                    timeout=10000)
    yield session
    session.close()
    manager.close()


@pytest.fixture(scope="module")
def library(port):
    """The same instrument through the library, slot 0."""
    tavril.load(_path("TAVLIB_LIBRARY"))
    with tavril.Instrument(0) as instrument:
        yield instrument


def answer_code(text):
    """The answer code a response names ("... ANS40" -> 40), else 0."""
    match = re.search(r"ANS(\d+)", text)
    return int(match.group(1)) if match else 0


def test_identity(visa, library):
    assert visa.query("*IDN?") == IDENTITY
    assert library.query("*IDN?") == (IDENTITY, 0)
    # Open_Tavril's own "*IDN?" named the instrument with the same fields.
    assert ",".join(["VESPARO", *library.identity]) == IDENTITY


@pytest.mark.parametrize("command, response, code", [
    ("CONF:RANGE 1000", "RANGE REFUSED ANS40", 40),
    ("MEAS:VOLT?", "+1.23450E+00", 0),
    ("MEAS:CURR?", "+4.20000E-03", 0),  # answered after a delay
    ("NO:SUCH:COMMAND", "ERROR unknown command ANS90", 90),
])
def test_dialogue_same_answer_both_ways(visa, library, command, response, code):
    through_visa = visa.query(command)
    through_library = library.query(command)
    assert through_visa == through_library.response == response
    assert answer_code(through_visa) == through_library.code == code


def test_response_of_several_lines(visa, library):
    # One message of two lines: LF-ended lines over TCP, CR LF through the
    # library; the library's text mode returns it whole.
    assert visa.query("SELFTEST?") == "SELFTEST ANS40"
    assert visa.read() == "CHANNEL 2 ANS20"
    text = library.query("SELFTEST?", mode=tavril.Mode.TEXT)
    assert text.response.splitlines() == ["SELFTEST ANS40", "CHANNEL 2 ANS20"]
    assert text.code == 20


def test_alternating_clients_keep_their_answers(visa, library):
    # Each side reads its answer before the other asks: the shared output
    # queue hands every answer to the side that asked.
    for _ in range(10):
        assert visa.query("CONF:RANGE 1000") == "RANGE REFUSED ANS40"
        assert library.query("MEAS:VOLT?") == ("+1.23450E+00", 0)
        assert visa.query("*IDN?") == IDENTITY
