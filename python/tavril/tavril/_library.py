"""Loading the library and declaring its six functions for ctypes."""

import ctypes
import os
import sys
import threading
from ctypes import POINTER, c_char, c_char_p, c_int32, c_uint32, c_void_p

IDENTITY_FIELD_SIZE = 20
SLOT_COUNT = 4
# The invalid handle: all bits set, as the handle's ctypes value.
INVALID_HANDLE = c_void_p(-1).value

# The three read modes of Read_Tavril (Scmd_Tavril takes the first two).
MODE_TEXT = 0
MODE_LINE = 1
MODE_RAW = 2


class InstrumentIdentity(ctypes.Structure):
    """The C record: three NUL-terminated 20-byte text fields at 0, 20, 40."""

    _fields_ = [
        ("model", c_char * IDENTITY_FIELD_SIZE),
        ("serialNumber", c_char * IDENTITY_FIELD_SIZE),
        ("firmwareVersion", c_char * IDENTITY_FIELD_SIZE),
    ]


assert ctypes.sizeof(InstrumentIdentity) == 60
assert InstrumentIdentity.serialNumber.offset == 20
assert InstrumentIdentity.firmwareVersion.offset == 40

_PUINT32 = POINTER(c_uint32)

# name: (argument types, in the order of the C prototypes)
PROTOTYPES = {
    # (slot, handle, identity, errorCode)
    "Open_Tavril": [c_uint32, POINTER(c_void_p), POINTER(InstrumentIdentity), _PUINT32],
    # (handle, errorCode)
    "Close_Tavril": [c_void_p, _PUINT32],
    # (handle, text, timeoutSeconds, bytesWritten, errorCode)
    "Write_Tavril": [c_void_p, c_char_p, c_uint32, _PUINT32, _PUINT32],
    # (handle, maxBytes, mode, timeoutSeconds, buffer, bytesRead, errorCode)
    "Read_Tavril": [c_void_p, c_uint32, c_int32, c_uint32, POINTER(c_char), _PUINT32, _PUINT32],
    # (handle, command, maxBytes, mode, writeTimeoutSeconds,
    #  readTimeoutSeconds, response, errorCode)
    "Scmd_Tavril": [c_void_p, c_char_p, c_uint32, c_int32, c_uint32, c_uint32,
                    POINTER(c_char), _PUINT32],
    # (handle, identity, errorCode)
    "Conf_Tavril": [c_void_p, POINTER(InstrumentIdentity), _PUINT32],
}

if sys.platform == "win32":
    # stdcall exports on 32-bit Windows; on 64-bit WinDLL is the one convention.
    _Loader = ctypes.WinDLL
    DEFAULT_NAMES = ("tavlib.dll",)
elif sys.platform == "darwin":
    _Loader = ctypes.CDLL
    DEFAULT_NAMES = ("libtavlib.dylib",)
else:
    _Loader = ctypes.CDLL
    # The development link first, then the run-time name that an installed
    # library always has.
    DEFAULT_NAMES = ("libtavlib.so", "libtavlib.so.1")

ENV_LIBRARY = "TAVLIB_LIBRARY"


def declare(library):
    """Sets the argument and result types of the six functions on a loaded
    ctypes library; returns it."""
    for name, argtypes in PROTOTYPES.items():
        function = getattr(library, name)
        function.argtypes = argtypes
        function.restype = c_int32
    return library


def load_library(path=None):
    """Loads the library and declares its functions.

    `path` names the file; without it, $TAVLIB_LIBRARY, and without that the
    platform's loader is asked for libtavlib.so (Linux) or tavlib.dll
    (Windows).  Returns the ctypes library object; its attributes
    Open_Tavril ... Conf_Tavril are the raw functions.
    """
    if path is None:
        path = os.environ.get(ENV_LIBRARY) or None
    if path is not None:
        return declare(_Loader(os.fspath(path)))
    failures = []
    for name in DEFAULT_NAMES:
        try:
            return declare(_Loader(name))
        except OSError as error:
            failures.append(str(error))
    raise OSError(
        "tavril: cannot load the tavlib library (tried %s); pass its path to "
        "tavril.load() or set %s. %s" % (", ".join(DEFAULT_NAMES), ENV_LIBRARY, "; ".join(failures))
    )


_lock = threading.Lock()
_default = None


def load(path=None):
    """Loads the library (see load_library) and makes it the module's default,
    the one `tavril.lib` names and Instrument uses.  Returns it."""
    global _default
    library = load_library(path)
    with _lock:
        _default = library
    return library


def default_library():
    """The default library, loaded on first use."""
    global _default
    with _lock:
        if _default is None:
            _default = load_library()
        return _default
