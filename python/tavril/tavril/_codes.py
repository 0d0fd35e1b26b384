"""Result values of the six functions and the Win32 error codes they report."""

import sys

# Each function has its own table of results; the names are those of the
# C header.  Scmd_Tavril's positive results are the instrument's answer
# codes, not failures.
RESULT_NAMES = {
    "Open_Tavril": {
        0: "TAVRIL_OPEN_OK",
        -1: "TAVRIL_OPEN_FAILED",
        -2: "TAVRIL_OPEN_NOT_IDENTIFIED",
        -3: "TAVRIL_OPEN_BAD_SLOT",
    },
    "Close_Tavril": {
        0: "TAVRIL_CLOSE_OK",
        -1: "TAVRIL_CLOSE_FAILED",
    },
    "Write_Tavril": {
        0: "TAVRIL_WRITE_OK",
        -1: "TAVRIL_WRITE_FAILED",
        -2: "TAVRIL_WRITE_BAD_ARGUMENT",
        -3: "TAVRIL_WRITE_TIMEOUT",
    },
    "Read_Tavril": {
        0: "TAVRIL_READ_OK",
        -1: "TAVRIL_READ_FAILED",
        -2: "TAVRIL_READ_BAD_ARGUMENT",
        -3: "TAVRIL_READ_TIMEOUT",
    },
    "Scmd_Tavril": {
        0: "TAVRIL_SCMD_OK",
        -1: "TAVRIL_SCMD_WRITE_FAILED",
        -2: "TAVRIL_SCMD_READ_FAILED",
        -3: "TAVRIL_SCMD_BAD_ARGUMENT",
        -4: "TAVRIL_SCMD_WRITE_TIMEOUT",
        -5: "TAVRIL_SCMD_READ_TIMEOUT",
    },
    "Conf_Tavril": {
        0: "TAVRIL_CONF_OK",
        -1: "TAVRIL_CONF_FAILED",
    },
}

# The answer codes Scmd_Tavril can return besides 0.
ANSWER_CODES = (20, 40, 41, 60, 80, 90, 100)


def result_name(function, result):
    """The header's name of `result` for `function`, e.g. "TAVRIL_OPEN_FAILED"."""
    name = RESULT_NAMES.get(function, {}).get(result)
    if name is not None:
        return name
    if function == "Scmd_Tavril" and result in ANSWER_CODES:
        return "ANS%d" % result
    return "unknown result %d" % result


# Every Win32 code the library reports on Linux, with the system's text, so
# that messages read the same as on Windows.
_WIN32_ERRORS = {
    0: ("ERROR_SUCCESS", "The operation completed successfully."),
    1: ("ERROR_INVALID_FUNCTION", "Incorrect function."),
    2: ("ERROR_FILE_NOT_FOUND", "The system cannot find the file specified."),
    3: ("ERROR_PATH_NOT_FOUND", "The system cannot find the path specified."),
    4: ("ERROR_TOO_MANY_OPEN_FILES", "The system cannot open the file."),
    5: ("ERROR_ACCESS_DENIED", "Access is denied."),
    6: ("ERROR_INVALID_HANDLE", "The handle is invalid."),
    8: ("ERROR_NOT_ENOUGH_MEMORY",
         "Not enough memory resources are available to process this command."),
    13: ("ERROR_INVALID_DATA", "The data is invalid."),
    14: ("ERROR_OUTOFMEMORY",
         "Not enough memory resources are available to complete this operation."),
    21: ("ERROR_NOT_READY", "The device is not ready."),
    31: ("ERROR_GEN_FAILURE", "A device attached to the system is not functioning."),
    32: ("ERROR_SHARING_VIOLATION",
         "The process cannot access the file because it is being used by another process."),
    87: ("ERROR_INVALID_PARAMETER", "The parameter is incorrect."),
    109: ("ERROR_BROKEN_PIPE", "The pipe has been ended."),
    112: ("ERROR_DISK_FULL", "There is not enough space on the disk."),
    120: ("ERROR_CALL_NOT_IMPLEMENTED", "This function is not supported on this system."),
    122: ("ERROR_INSUFFICIENT_BUFFER", "The data area passed to a system call is too small."),
    206: ("ERROR_FILENAME_EXCED_RANGE", "The filename or extension is too long."),
    232: ("ERROR_NO_DATA", "The pipe is being closed."),
    259: ("ERROR_NO_MORE_ITEMS", "No more data is available."),
    534: ("ERROR_ARITHMETIC_OVERFLOW", "Arithmetic result exceeded 32 bits."),
    995: ("ERROR_OPERATION_ABORTED",
         "The I/O operation has been aborted because of either a thread exit or an application "
         "request."),
    996: ("ERROR_IO_INCOMPLETE", "Overlapped I/O event is not in a signaled state."),
    997: ("ERROR_IO_PENDING", "Overlapped I/O operation is in progress."),
    998: ("ERROR_NOACCESS", "Invalid access to memory location."),
    1117: ("ERROR_IO_DEVICE", "The request could not be performed because of an I/O device error."),
    1167: ("ERROR_DEVICE_NOT_CONNECTED", "The device is not connected."),
    1168: ("ERROR_NOT_FOUND", "Element not found."),
    1450: ("ERROR_NO_SYSTEM_RESOURCES",
         "Insufficient system resources exist to complete the requested service."),
    1460: ("ERROR_TIMEOUT", "This operation returned because the timeout period expired."),
    1784: ("ERROR_INVALID_USER_BUFFER",
           "The supplied user buffer is not valid for the requested operation."),
}


def error_name(code):
    """The Win32 name of an error code ("ERROR_NO_MORE_ITEMS"), or "" if unknown."""
    entry = _WIN32_ERRORS.get(code)
    return entry[0] if entry else ""


def error_text(code):
    """The system's message for a Win32 error code."""
    if sys.platform == "win32":
        import ctypes

        text = ctypes.FormatError(code).strip()
        if text:
            return text
    entry = _WIN32_ERRORS.get(code)
    return entry[1] if entry else "Win32 error %d" % code


class TavrilError(Exception):
    """A function of the library returned a failure.

    Attributes:
      function     the C function's name, e.g. "Open_Tavril"
      result       its result value, e.g. -1
      result_name  the header's name of that value, e.g. "TAVRIL_OPEN_FAILED"
      error_code   the Win32 error code it reported (0: none)
      error_name   the code's Win32 name, e.g. "ERROR_NO_MORE_ITEMS"
      error_text   the system's message for the code
      transferred  bytes moved before the failure (Write_Tavril and
                   Read_Tavril), else None
    """

    def __init__(self, function, result, error_code, transferred=None):
        self.function = function
        self.result = result
        self.result_name = result_name(function, result)
        self.error_code = error_code
        self.error_name = error_name(error_code)
        self.error_text = error_text(error_code)
        self.transferred = transferred
        super().__init__(str(self))

    def __str__(self):
        text = "%s returned %d (%s)" % (self.function, self.result, self.result_name)
        if self.error_code:
            name = self.error_name + ": " if self.error_name else ""
            text += ", error %d (%s%s)" % (self.error_code, name, self.error_text)
        else:
            text += ", error code 0"
        return text

    def __reduce__(self):
        return (type(self), (self.function, self.result, self.error_code, self.transferred))
