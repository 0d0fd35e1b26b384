"""The raw layer: the six functions called as from C, and finding the library."""

import ctypes
import os
import subprocess
import sys
from ctypes import byref, c_uint32, c_void_p

import pytest

import tavril
from tavril import _library


def test_raw_functions_round_trip(lib):
    handle = c_void_p(tavril.INVALID_HANDLE)
    identity = tavril.InstrumentIdentity()
    error = c_uint32(12345)
    assert lib.Open_Tavril(0, byref(handle), byref(identity), byref(error)) == 0
    try:
        assert error.value == 0
        assert (identity.model, identity.serialNumber, identity.firmwareVersion) == (
            b"ZQ907", b"PY-000451", b"2.4.1")

        response = ctypes.create_string_buffer(65)
        assert lib.Scmd_Tavril(handle, b"OUTP ON", 64, 1, 5, 5, response, byref(error)) == 41
        assert response.value == b"ERR ANS41 output interlock open"

        written = c_uint32(0)
        assert lib.Write_Tavril(handle, b"BLOB?", 5, byref(written), byref(error)) == 0
        assert written.value == 7
        buffer = ctypes.create_string_buffer(32)
        count = c_uint32(0)
        assert lib.Read_Tavril(handle, 32, 2, 5, buffer, byref(count), byref(error)) == 0
        assert buffer.raw[:count.value] == b"AB\x00\x7fCD\r\n"

        again = tavril.InstrumentIdentity()
        assert lib.Conf_Tavril(handle, byref(again), byref(error)) == 0
        assert bytes(again) == bytes(identity)
    finally:
        assert lib.Close_Tavril(handle, byref(error)) == 0


def test_raw_functions_on_the_invalid_handle(lib):
    error = c_uint32(77)
    assert lib.Close_Tavril(tavril.INVALID_HANDLE, byref(error)) == -1
    assert error.value == 0
    # Conf_Tavril leaves errorCode and identity alone for the invalid handle.
    identity = tavril.InstrumentIdentity()
    error.value = 77
    assert lib.Conf_Tavril(tavril.INVALID_HANDLE, byref(identity), byref(error)) == -1
    assert error.value == 77
    assert bytes(identity) == bytes(60)


def run_python(code, **env):
    environment = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(tavril.__file__)))
    environment.update(env)
    return subprocess.run([sys.executable, "-c", code], env=environment,
                          capture_output=True, text=True, timeout=60)


def test_library_found_through_the_environment(library_path):
    done = run_python(
        "import tavril\n"
        "try:\n"
        "    tavril.Instrument(4)\n"
        "except tavril.TavrilError as e:\n"
        "    print(e.result_name)\n",
        TAVLIB_LIBRARY=str(library_path))
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "TAVRIL_OPEN_BAD_SLOT"


def test_missing_library_names_the_way_to_give_it(tmp_path, monkeypatch):
    with pytest.raises(OSError):
        tavril.load_library(tmp_path / "libtavlib.so")
    # Nothing given and nothing the loader knows: the message says how to
    # point at the library.
    monkeypatch.delenv("TAVLIB_LIBRARY", raising=False)
    monkeypatch.setattr(_library, "DEFAULT_NAMES", ("libtavlib-not-installed.so",))
    with pytest.raises(OSError, match="TAVLIB_LIBRARY"):
        tavril.load_library()
