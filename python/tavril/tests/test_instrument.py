"""Opening, identity, closing and the errors of Open_Tavril and Close_Tavril."""

import ctypes
import gc
import pickle

import pytest

import tavril

BENCH_IDENTITY = tavril.Identity("ZQ907", "PY-000451", "2.4.1")


def open_error(slot, **kwargs):
    with pytest.raises(tavril.TavrilError) as caught:
        tavril.Instrument(slot, **kwargs)
    return caught.value


def test_open_reports_the_identity(bench):
    assert bench.identity == BENCH_IDENTITY
    assert bench.identity.serial_number == "PY-000451"
    assert not bench.closed
    assert bench.handle not in (None, tavril.INVALID_HANDLE)


def test_confirm_identity_asks_again(bench):
    bench.identity = None
    assert bench.confirm_identity() == BENCH_IDENTITY
    assert bench.identity == BENCH_IDENTITY


@pytest.mark.parametrize(
    "slot, result, result_name, error_code, error_name",
    [
        (2, -1, "TAVRIL_OPEN_FAILED", 259, "ERROR_NO_MORE_ITEMS"),  # no device there
        (3, -1, "TAVRIL_OPEN_FAILED", 259, "ERROR_NO_MORE_ITEMS"),
        (4, -3, "TAVRIL_OPEN_BAD_SLOT", 0, "ERROR_SUCCESS"),
        (0xFFFFFFFF, -3, "TAVRIL_OPEN_BAD_SLOT", 0, "ERROR_SUCCESS"),
        (1, -2, "TAVRIL_OPEN_NOT_IDENTIFIED", 1460, "ERROR_TIMEOUT"),  # not the instrument
    ],
)
def test_open_failures(lib, slot, result, result_name, error_code, error_name):
    error = open_error(slot)
    assert (error.function, error.result, error.result_name) == ("Open_Tavril", result, result_name)
    assert (error.error_code, error.error_name) == (error_code, error_name)
    assert error.error_text
    message = str(error)
    assert "Open_Tavril returned %d (%s)" % (result, result_name) in message
    if error_code:
        assert "error %d (%s: %s)" % (error_code, error_name, error.error_text) in message


def test_error_survives_pickling(lib):
    error = open_error(2)
    copy = pickle.loads(pickle.dumps(error))
    assert (copy.function, copy.result, copy.error_code) == ("Open_Tavril", -1, 259)
    assert str(copy) == str(error)


def test_unidentified_device_is_closed_again_unless_allowed(lib):
    # Each refused open released its handle and slot: the next open gets
    # as far as identification again instead of finding the slot claimed.
    for _ in range(2):
        assert open_error(1).result == -2
    with tavril.Instrument(1, allow_unidentified=True) as stranger:
        assert stranger.identity is None
        assert not stranger.closed
        assert open_error(1).result_name == "TAVRIL_OPEN_FAILED"
    assert open_error(1).result == -2


def test_claimed_slot_refuses_a_second_open_until_closed(lib):
    first = tavril.Instrument(0)
    error = open_error(0)
    assert (error.result, error.error_code) == (-1, 0)
    first.close()
    with tavril.Instrument(0) as second:
        assert second.identity == BENCH_IDENTITY


def test_close_is_idempotent_and_ends_every_operation(lib):
    instrument = tavril.Instrument(0)
    instrument.close()
    instrument.close()
    assert instrument.closed
    operations = [
        lambda: instrument.write("VOLT?"),
        lambda: instrument.read(),
        lambda: instrument.query("VOLT?"),
        lambda: instrument.confirm_identity(),
        lambda: instrument.handle,
    ]
    for operation in operations:
        with pytest.raises(ValueError, match="closed instrument"):
            operation()
    assert "closed" in repr(instrument)


def test_context_manager_closes_when_the_body_raises(lib):
    with pytest.raises(KeyError):
        with tavril.Instrument(0) as instrument:
            raise KeyError("body failed")
    assert instrument.closed
    with tavril.Instrument(0):
        pass


def test_forgotten_instrument_warns_and_frees_its_slot(lib):
    instrument = tavril.Instrument(0)
    with pytest.warns(ResourceWarning, match="unclosed"):
        del instrument
        gc.collect()
    with tavril.Instrument(0):
        pass


def test_failed_close_raises_and_still_counts_as_closed(lib):
    instrument = tavril.Instrument(0)
    # Close the handle behind the object's back: its own close then fails.
    code = ctypes.c_uint32(0)
    assert lib.Close_Tavril(instrument.handle, ctypes.byref(code)) == 0
    with pytest.raises(tavril.TavrilError) as caught:
        instrument.close()
    error = caught.value
    assert (error.function, error.result_name) == ("Close_Tavril", "TAVRIL_CLOSE_FAILED")
    assert (error.error_code, error.error_name) == (6, "ERROR_INVALID_HANDLE")
    assert instrument.closed
    instrument.close()  # nothing left to close: no second failure
