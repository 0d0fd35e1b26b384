"""The Pythonic layer: one Instrument object per open device handle."""

import ctypes
import enum
import threading
import warnings
from ctypes import byref, c_char, c_size_t, c_uint32, c_void_p
from typing import NamedTuple

from . import _library
from ._codes import TavrilError
from ._library import INVALID_HANDLE, InstrumentIdentity

# Time-outs in whole seconds; each bounds one transfer of at most 64 KiB.
DEFAULT_TIMEOUT = 10
DEFAULT_MAX_BYTES = 4096

# Text is 8-bit: latin-1 maps every byte to one character and back.
ENCODING = "latin-1"


class Mode(enum.IntEnum):
    TEXT = _library.MODE_TEXT  # the whole response as text
    LINE = _library.MODE_LINE  # its first line, without CR LF
    RAW = _library.MODE_RAW  # exactly the bytes received (bytes, not str)


class Identity(NamedTuple):
    model: str
    serial_number: str
    firmware_version: str

    @classmethod
    def from_c(cls, record):
        return cls(
            record.model.decode(ENCODING),
            record.serialNumber.decode(ENCODING),
            record.firmwareVersion.decode(ENCODING),
        )


class Answer(NamedTuple):
    """What query() returns: the response and the instrument's answer code
    (0 when the response carried none; 20, 40, 41, 60, 80, 90 or 100)."""

    response: str
    code: int


def _uint32(name, value):
    value = int(value)
    if not 0 <= value <= 0xFFFFFFFF:
        raise ValueError("%s must fit an unsigned 32-bit word, not %d" % (name, value))
    return value


# The interpreter's raw allocator (malloc underneath), as function objects
# of our own: the prototypes given here touch no one else's ctypes.pythonapi.
_raw_malloc = ctypes.PYFUNCTYPE(c_void_p, c_size_t)(("PyMem_RawMalloc", ctypes.pythonapi))
_raw_free = ctypes.PYFUNCTYPE(None, c_void_p)(("PyMem_RawFree", ctypes.pythonapi))


class _ResponseMemory:
    """`size` bytes for the library to deliver a response into, as a ctypes
    char array while the `with` block lasts, then freed.

    The memory is not initialised: a large maximum costs only address space,
    and the pages that the response reaches are the only ones touched (the
    library writes what arrived and, in the text modes, the NUL behind it).
    Take copies of what arrived before the block ends."""

    def __init__(self, size):
        array_type = c_char * size  # first: a size no array can have fails here
        self._address = _raw_malloc(size)
        if not self._address:
            raise MemoryError("cannot reserve %d bytes for a response" % size)
        self._array = array_type.from_address(self._address)

    def __enter__(self):
        return self._array

    def __exit__(self, *exc_info):
        self._array = None
        _raw_free(self._address)
        self._address = None


def _command_bytes(text):
    data = text if isinstance(text, bytes) else str(text).encode(ENCODING)
    if b"\0" in data:
        raise ValueError("command text must not contain NUL characters")
    return data


class Instrument:
    """An open connection to the instrument of one device slot (0 to 3).

    Opening claims the slot for every process on the machine until close();
    use it as a context manager so the slot is freed on every path:

        with tavril.Instrument(0) as inst:
            print(inst.identity.model)
            print(inst.query("*IDN?").response)

    Failures of the library raise TavrilError.  `handle` is the raw device
    handle, for calls through tavril.lib.
    """

    def __init__(self, slot, *, library=None, allow_unidentified=False):
        """Opens `slot` with Open_Tavril.

        When the device opens but does not identify as the instrument
        (TAVRIL_OPEN_NOT_IDENTIFIED), the handle is closed again and
        TavrilError raised; with allow_unidentified=True the instrument stays
        open instead and `identity` is None.
        """
        self._closed = True  # until the handle is ours
        self._lock = threading.Lock()
        self.library = library if library is not None else _library.default_library()
        self.slot = _uint32("slot", slot)
        handle = c_void_p(INVALID_HANDLE)
        record = InstrumentIdentity()
        error = c_uint32(0)
        result = self.library.Open_Tavril(self.slot, byref(handle), byref(record), byref(error))
        if result not in (0, -2):
            raise TavrilError("Open_Tavril", result, error.value)
        self._handle = handle
        self._closed = False
        if result == 0:
            self.identity = Identity.from_c(record)
        else:
            self.identity = None
            if not allow_unidentified:
                failure = TavrilError("Open_Tavril", result, error.value)
                try:
                    self.close()
                finally:
                    raise failure

    # -- life ---------------------------------------------------------------
    @property
    def closed(self):
        return self._closed

    @property
    def handle(self):
        """The raw device handle (an int) while open."""
        self._check_open()
        return self._handle.value

    def close(self):
        """Closes the handle and frees the slot.  Closing a closed instrument
        does nothing.  Raises TavrilError if Close_Tavril fails; the handle
        counts as closed either way."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            error = c_uint32(0)
            result = self.library.Close_Tavril(self._handle, byref(error))
        if result != 0:
            raise TavrilError("Close_Tavril", result, error.value)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def __del__(self):
        if getattr(self, "_closed", True):
            return
        warnings.warn("unclosed %r" % self, ResourceWarning, source=self)
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self):
        state = "closed" if self._closed else "handle=%#x" % self._handle.value
        return "<tavril.Instrument slot=%d %s>" % (self.slot, state)

    def _check_open(self):
        if self._closed:
            raise ValueError("operation on a closed instrument")

    # -- transfers ----------------------------------------------------------
    def write(self, text, timeout=DEFAULT_TIMEOUT):
        """Sends one command line (CR LF is appended unless the text holds
        one).  `text` is str or bytes.  Returns the bytes the device took."""
        self._check_open()
        data = _command_bytes(text)
        written = c_uint32(0)
        error = c_uint32(0)
        result = self.library.Write_Tavril(
            self._handle, data, _uint32("timeout", timeout), byref(written), byref(error))
        if result != 0:
            raise TavrilError("Write_Tavril", result, error.value, written.value)
        return written.value

    def read(self, max_bytes=DEFAULT_MAX_BYTES, mode=Mode.LINE, timeout=DEFAULT_TIMEOUT):
        """Receives one response of at most `max_bytes` bytes.

        Mode.LINE gives its first line without CR LF and Mode.TEXT the whole
        text (both as str, up to the first NUL); Mode.RAW gives exactly the
        bytes received.
        """
        self._check_open()
        max_bytes = _uint32("max_bytes", max_bytes)
        mode = int(mode)
        timeout = _uint32("timeout", timeout)
        count = c_uint32(0)
        error = c_uint32(0)
        with _ResponseMemory(max_bytes + 1) as buffer:
            result = self.library.Read_Tavril(
                self._handle, max_bytes, mode, timeout, buffer, byref(count), byref(error))
            if result != 0:
                raise TavrilError("Read_Tavril", result, error.value, count.value)
            # Copies of what arrived only: the bytes received, or the text up
            # to its NUL.
            if mode == Mode.RAW:
                return buffer[:count.value]
            return buffer.value.decode(ENCODING)

    def query(self, command, max_bytes=DEFAULT_MAX_BYTES, mode=Mode.LINE,
              timeout=DEFAULT_TIMEOUT, read_timeout=None):
        """Runs one command/response transaction (Scmd_Tavril).

        Returns Answer(response, code): the response text (first line in
        Mode.LINE, the whole text in Mode.TEXT) and the answer code found in
        it.  An answer code is not an error.  `timeout` bounds the write and,
        unless `read_timeout` is given, the read.
        """
        self._check_open()
        data = _command_bytes(command)
        max_bytes = _uint32("max_bytes", max_bytes)
        write_timeout = _uint32("timeout", timeout)
        read_timeout = write_timeout if read_timeout is None else _uint32("read_timeout", read_timeout)
        error = c_uint32(0)
        with _ResponseMemory(max_bytes + 1) as buffer:
            result = self.library.Scmd_Tavril(
                self._handle, data, max_bytes, int(mode), write_timeout, read_timeout, buffer,
                byref(error))
            if result < 0:
                raise TavrilError("Scmd_Tavril", result, error.value)
            return Answer(buffer.value.decode(ENCODING), result)

    def confirm_identity(self):
        """Asks the instrument for its identity again (Conf_Tavril); updates
        and returns `identity`."""
        self._check_open()
        record = InstrumentIdentity()
        error = c_uint32(0)
        result = self.library.Conf_Tavril(self._handle, byref(record), byref(error))
        if result != 0:
            raise TavrilError("Conf_Tavril", result, error.value)
        self.identity = Identity.from_c(record)
        return self.identity
