"""tavril: drive the instrument through the tavlib library from Python.

Pure Python over ctypes.  Two layers:

* tavril.lib is the loaded library with its six functions declared
  (tavril.lib.Open_Tavril ... Conf_Tavril), for calls exactly as in C.
* tavril.Instrument opens a slot and offers write, read, query,
  confirm_identity and close; failures raise tavril.TavrilError.

The library is found through tavril.load(path), else $TAVLIB_LIBRARY, else
the platform's loader (libtavlib.so on Linux, tavlib.dll on Windows).
"""

from ._codes import ANSWER_CODES, RESULT_NAMES, TavrilError, error_name, error_text, result_name
from ._instrument import (
    DEFAULT_MAX_BYTES,
    DEFAULT_TIMEOUT,
    Answer,
    Identity,
    Instrument,
    Mode,
)
from ._library import (
    INVALID_HANDLE,
    SLOT_COUNT,
    InstrumentIdentity,
    load,
    load_library,
)

__version__ = "1.0.0"

__all__ = [
    "ANSWER_CODES",
    "Answer",
    "DEFAULT_MAX_BYTES",
    "DEFAULT_TIMEOUT",
    "INVALID_HANDLE",
    "Identity",
    "Instrument",
    "InstrumentIdentity",
    "Mode",
    "RESULT_NAMES",
    "SLOT_COUNT",
    "TavrilError",
    "error_name",
    "error_text",
    "lib",
    "load",
    "load_library",
    "result_name",
]


def __getattr__(name):
    # tavril.lib: the default library, loaded on first use so that a program
    # can set TAVLIB_LIBRARY (or TAVRIL_RUNTIME_DIR) after importing tavril.
    if name == "lib":
        from ._library import default_library

        return default_library()
    raise AttributeError("module 'tavril' has no attribute %r" % name)
