"""The module's table of result names and Win32 codes is the C++ tools' table.

TAVLIB_CODES_TABLE names the program that prints the C++ table (CTest passes
it); so neither copy can drift from the other.
"""

import os
import subprocess

import pytest

from tavril import _codes


def cpp_table():
    program = os.environ.get("TAVLIB_CODES_TABLE")
    if not program or not os.path.isfile(program):
        pytest.fail("TAVLIB_CODES_TABLE must name the table program (got %r)" % program)
    results, errors = {}, {}
    for line in subprocess.run([program], check=True, capture_output=True, text=True,
                               timeout=60).stdout.splitlines():
        kind, rest = line.split(" ", 1)
        if kind == "result":
            function, value, name = rest.split(" ")
            results.setdefault(function, {})[int(value)] = name
        else:
            code, name, text = rest.split(" ", 2)
            errors[int(code)] = (name, text)
    return results, errors


def test_same_tables_as_the_cpp_tools():
    results, errors = cpp_table()
    assert _codes.RESULT_NAMES == results
    assert _codes._WIN32_ERRORS == errors
