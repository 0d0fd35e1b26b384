#!/usr/bin/env python3
"""Checks, from the disassembly of the 32-bit tavlib.dll, that each exported
stdcall function pops exactly its own arguments: every return instruction
in the function's body (its out-of-line ".cold" parts included) must be
"ret $N" with N the argument size a caller built against tavlib.h pushed.

Usage: check_stdcall_returns.py OBJDUMP DLL
  OBJDUMP  the MinGW objdump for the DLL (i686-w64-mingw32-objdump)
The DLL needs its symbol table (the build's own DLL, not a stripped copy).
Prints one line per export and a closing "N passed, M failed" line; exits 1
if any check failed.
"""
import re
import subprocess
import sys

# Argument bytes of each export: 4 per argument (handles and pointers are
# 32-bit, every other argument a 32-bit integer).
ARGUMENT_BYTES = {
    "Open_Tavril": 16,
    "Close_Tavril": 8,
    "Write_Tavril": 20,
    "Read_Tavril": 28,
    "Scmd_Tavril": 32,
    "Conf_Tavril": 12,
}

LABEL = re.compile(r"^[0-9a-f]+ <(?P<name>[^>]+)>:$")
RET = re.compile(r"\t(?:(?:repz|rep|bnd) )?ret[lw]?(?:\s+\$(?P<pop>0x[0-9a-f]+))?\s*$")


def export_of(label):
    """The export whose body `label` belongs to, or None: _Name@N and its
    _Name@N.cold parts (the decoration is not trusted for the size)."""
    match = re.fullmatch(r"_?(?P<name>\w+?)(?:@\d+)?(?:\..+)?", label)
    if match and match.group("name") in ARGUMENT_BYTES:
        return match.group("name")
    return None


def returns_by_export(disassembly):
    """{export: [(address, bytes popped), ...]} over every labelled body."""
    found = {name: [] for name in ARGUMENT_BYTES}
    seen = set()
    current = None
    for line in disassembly.splitlines():
        label = LABEL.match(line)
        if label:
            current = export_of(label.group("name"))
            if current:
                seen.add(current)
            continue
        ret = RET.search(line)
        if ret and current:
            pop = int(ret.group("pop"), 16) if ret.group("pop") else 0
            found[current].append((line.split(":", 1)[0].strip(), pop))
    return found, seen


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    objdump, dll = sys.argv[1:]
    disassembly = subprocess.run([objdump, "-d", dll], check=True, capture_output=True,
                                 text=True).stdout
    found, seen = returns_by_export(disassembly)
    passed = failed = 0
    for name, expected in ARGUMENT_BYTES.items():
        rets = found[name]
        wrong = [(address, pop) for address, pop in rets if pop != expected]
        if name not in seen:
            verdict = "FAILED: no such function in the symbol table"
        elif not rets:
            verdict = "FAILED: no return instruction found"
        elif wrong:
            verdict = "FAILED: " + ", ".join(f"ret ${pop:#x} at {address}"
                                             for address, pop in wrong)
        else:
            verdict = "ok"
        print(f"{name}: {len(rets)} ret, expected ret ${expected:#x} ({expected} bytes): {verdict}")
        if verdict == "ok":
            passed += 1
        else:
            failed += 1
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
