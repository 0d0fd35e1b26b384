"""write, read and query against the "bench" instrument of instruments.yaml."""

import pytest

import tavril
from tavril import Mode

# The simulator's sized responses: N - 2 pattern bytes, then CR LF.
PATTERN = b"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxy"


def data_pattern(size):
    return bytes(PATTERN[i % len(PATTERN)] for i in range(size - 2)) + b"\r\n"


@pytest.mark.parametrize(
    "command, mode, response, code",
    [
        ("VOLT?", Mode.LINE, "+12.500", 0),
        ("VOLT?", Mode.TEXT, "+12.500\r\n", 0),
        ("OUTP ON", Mode.LINE, "ERR ANS41 output interlock open", 41),
        ("CAL:RUN", Mode.LINE, "CAL DONE ANS0", 0),
        # The answer code sits on the third line: only Mode.TEXT sees it.
        ("STAT?", Mode.LINE, "STATE IDLE", 0),
        ("STAT?", Mode.TEXT, "STATE IDLE\r\nTEMP 24.5\r\nANS90\r\n", 90),
        ("*IDN?", Mode.LINE, "VESPARO,ZQ907,PY-000451,2.4.1", 0),
        ("ECHO ME", Mode.LINE, "ECHO ME", 0),  # unknown commands come back
    ],
)
def test_query(bench, command, mode, response, code):
    answer = bench.query(command, mode=mode)
    assert answer == (response, code)
    assert (answer.response, answer.code) == (response, code)


def test_query_cuts_the_response_at_max_bytes(bench):
    assert bench.query("VOLT?", max_bytes=3, mode=Mode.TEXT).response == "+12"
    bench.read(timeout=1)  # the rest of that response


@pytest.mark.parametrize(
    "command, mode, expected",
    [
        ("BLOB?", Mode.RAW, b"AB\x00\x7fCD\r\n"),  # every byte, NUL included
        ("BLOB?", Mode.TEXT, "AB"),  # text ends at the NUL
        ("STAT?", Mode.LINE, "STATE IDLE"),
        ("STAT?", Mode.TEXT, "STATE IDLE\r\nTEMP 24.5\r\nANS90\r\n"),
        ("VOLT?", Mode.RAW, b"+12.500\r\n"),
    ],
)
def test_write_then_read(bench, command, mode, expected):
    assert bench.write(command) == len(command) + 2  # CR LF appended
    data = bench.read(64, mode)
    assert type(data) is type(expected)
    assert data == expected


def test_write_sends_text_holding_cr_lf_unchanged(bench):
    assert bench.write(b"VOLT?\r\n") == 7
    assert bench.read() == "+12.500"


def test_raw_read_beyond_one_transfer(bench):
    # 70,000 bytes arrive in two transfers (64 KiB and the rest).
    size = 70000
    bench.write("DATA? %d" % size)
    assert bench.read(size, Mode.RAW) == data_pattern(size)


# Far more than the process holds: memory sized by it would show at once.
LARGE_MAX = 256 * 2**20


def status_bytes(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no %s in /proc/self/status" % field)


def peak_rise(call):
    """Runs call(); returns how far the process's peak resident set rose above
    the resident set it had before."""
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # the peak (VmHWM) starts again from the resident set
    before = status_bytes("VmRSS")
    call()
    return status_bytes("VmHWM") - before


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda i: i.write("DATA? 30") and i.read(LARGE_MAX, Mode.RAW), data_pattern(30)),
        (lambda i: i.write("DATA? 30") and i.read(LARGE_MAX, Mode.LINE),
         data_pattern(30)[:-2].decode()),
        (lambda i: i.write("DATA? 30") and i.read(LARGE_MAX, Mode.TEXT), data_pattern(30).decode()),
        (lambda i: i.query("DATA? 30", LARGE_MAX, Mode.LINE).response,
         data_pattern(30)[:-2].decode()),
        (lambda i: i.query("DATA? 30", LARGE_MAX, Mode.TEXT).response, data_pattern(30).decode()),
    ],
    ids=["read-raw", "read-line", "read-text", "query-line", "query-text"],
)
def test_memory_follows_the_answer_not_max_bytes(bench, call, expected):
    received = []
    rise = peak_rise(lambda: received.append(call(bench)))
    assert received == [expected]
    # A buffer of the maximum, once touched, is all of LARGE_MAX.  The bound
    # leaves room for AddressSanitizer, which writes the shadow of each block
    # it frees (an eighth of the block) when the library is a sanitizer build.
    assert rise < LARGE_MAX // 4, "a 30-byte answer raised the peak RSS by %d MiB" % (rise >> 20)


@pytest.mark.parametrize(
    "call, function, result_name",
    [
        (lambda i: i.write("VOLT?", timeout=0), "Write_Tavril", "TAVRIL_WRITE_BAD_ARGUMENT"),
        (lambda i: i.write("VOLT?", timeout=61), "Write_Tavril", "TAVRIL_WRITE_BAD_ARGUMENT"),
        (lambda i: i.read(16, 3), "Read_Tavril", "TAVRIL_READ_BAD_ARGUMENT"),
        (lambda i: i.read(16, -1), "Read_Tavril", "TAVRIL_READ_BAD_ARGUMENT"),
        (lambda i: i.read(16, Mode.LINE, timeout=0), "Read_Tavril", "TAVRIL_READ_BAD_ARGUMENT"),
        (lambda i: i.read(16, Mode.LINE, timeout=3_600_001), "Read_Tavril",
         "TAVRIL_READ_BAD_ARGUMENT"),
        (lambda i: i.query("VOLT?", mode=Mode.RAW), "Scmd_Tavril", "TAVRIL_SCMD_BAD_ARGUMENT"),
        (lambda i: i.query("VOLT?", timeout=61), "Scmd_Tavril", "TAVRIL_SCMD_BAD_ARGUMENT"),
        (lambda i: i.query("VOLT?", read_timeout=0), "Scmd_Tavril", "TAVRIL_SCMD_BAD_ARGUMENT"),
    ],
)
def test_bad_arguments(bench, call, function, result_name):
    with pytest.raises(tavril.TavrilError) as caught:
        call(bench)
    error = caught.value
    assert (error.function, error.result_name, error.error_code) == (function, result_name, 0)
    # Nothing was sent: the instrument still answers the next command first.
    assert bench.query("VOLT?") == ("+12.500", 0)


@pytest.mark.parametrize(
    "call",
    [
        lambda i: i.write("VOLT?", timeout=-1),
        lambda i: i.read(-1),
        lambda i: i.query("VOLT?", max_bytes=2**32),
        lambda i: i.write("VO\0LT?"),
        lambda i: i.query(b"\0"),
    ],
)
def test_values_c_cannot_carry_are_refused_before_the_call(bench, call):
    with pytest.raises(ValueError):
        call(bench)


def test_read_time_out(bench):
    # SLEEPY? is never answered: the read's one-second time-out ends it.
    with pytest.raises(tavril.TavrilError) as caught:
        bench.query("SLEEPY?", timeout=1)
    error = caught.value
    assert (error.result, error.result_name, error.error_code) == (-5, "TAVRIL_SCMD_READ_TIMEOUT", 0)
    assert "error code 0" in str(error)
    assert bench.query("VOLT?") == ("+12.500", 0)
