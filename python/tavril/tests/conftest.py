"""Test session set-up: a private runtime directory, the simulator serving
the instruments of instruments.yaml, and the built library.

Paths come from the environment (CTest passes them):
  TAVLIB_LIBRARY  the library   (default: build/release/src/libtavlib.so)
  TAVRIL_SIM      the simulator (default: build/release/simulator/tavril-sim)
A missing file ends the session with an error: these tests never skip.
"""

import os
import shutil
import sys
import tempfile
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
PACKAGE_ROOT = HERE.parent
REPO = PACKAGE_ROOT.parent.parent
DEFINITIONS = HERE / "instruments.yaml"

# The private runtime directory must be in place before the library is
# loaded and before any device is looked up: every slot and device of this
# session lives in it, apart from every other suite on the machine.
RUNTIME_DIR = tempfile.mkdtemp(prefix="tavril-pytest-")
os.environ["TAVRIL_RUNTIME_DIR"] = RUNTIME_DIR

sys.path.insert(0, str(PACKAGE_ROOT))
sys.path.insert(0, str(REPO / "python"))
import sim_process  # noqa: E402
import tavril  # noqa: E402  (after the runtime directory is set)


def _tool(variable, default):
    path = Path(os.environ.get(variable) or REPO / default)
    if not path.is_file():
        raise pytest.UsageError(
            "%s not found: build it (cmake --preset release && cmake --build --preset release) "
            "or set %s" % (path, variable))
    return path


def pytest_sessionfinish(session, exitstatus):
    # A run that collected nothing tested nothing: report it as a failure
    # instead of pytest's "no tests" exit status.
    if exitstatus == pytest.ExitCode.NO_TESTS_COLLECTED:
        session.exitstatus = pytest.ExitCode.TESTS_FAILED
    shutil.rmtree(RUNTIME_DIR, ignore_errors=True)


@pytest.fixture(scope="session")
def library_path():
    return _tool("TAVLIB_LIBRARY", "build/release/src/libtavlib.so")


@pytest.fixture(scope="session")
def simulator():
    """tavril-sim serving instruments.yaml in the session's runtime directory:
    slot 0 the instrument "bench", slot 1 "stranger", slots 2 and 3 empty."""
    sim = _tool("TAVRIL_SIM", "build/release/simulator/tavril-sim")
    log_path = Path(RUNTIME_DIR) / "simulator.log"
    process = sim_process.start(
        sim, ["--definitions", DEFINITIONS, "--runtime-dir", RUNTIME_DIR], log_path)
    try:
        yield process
    finally:
        status = sim_process.stop(process)
    # The simulator ends cleanly on SIGTERM; anything else (a sanitizer
    # report, a crash) is a fault the session must show.
    assert status == 0, "tavril-sim ended with %d:\n%s" % (
        status, log_path.read_text(errors="replace"))


@pytest.fixture(scope="session")
def lib(library_path, simulator):
    """The library under test, as the module's default."""
    return tavril.load(library_path)


@pytest.fixture
def bench(lib):
    """The instrument of slot 0, closed after the test."""
    with tavril.Instrument(0) as instrument:
        yield instrument
