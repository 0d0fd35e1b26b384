#!/usr/bin/env python3
"""The twin of the test driver's instrument, made of a trace that tavlib.dll
wrote under wine, replayed through the Linux library.

    check_twin.py --wine WINE --windows-session EXE --linux-session PROGRAM
                  --tavctl TAVCTL --simulator TAVRIL_SIM --folder DIR

The session program (tests/twin/session.c, built for Windows and for Linux)
runs SESSION below against slot 0 under wine, with the DLL's I/O trace on;
`tavctl twin` turns the trace into a definitions file; a fresh Linux
simulator runs it, and the Linux build of the program runs the same session
against it, traced too.  Every call must give the same result, error code
and bytes as the Windows trace recorded, and the program the same output.
Prints one line per check and "N passed, M failed"; exits 1 when a check
failed.  The wine prefix (WINEPREFIX, WINEARCH) comes from the environment.
"""

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

from checks import Checks

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "twin"))

# The session: identity (the open and Conf_Tavril), a query, an answer of
# two lines with two answer codes, a setting without an answer (its read
# times out) and the query it changes (answered in turn), binary data in one
# transfer and in two.
SESSION = [
    "scmd", "1", "ECHO? +1.23450E+00",
    "scmd", "0", "ECHO? SELFTEST ANS40|CHANNEL 2 ANS20",
    "scmd", "1", "LEVEL?",
    "write", "LEVEL 5",
    "read", "256", "1", "1",
    "scmd", "1", "LEVEL?",
    "write", "DATA? 300",
    "read", "4096", "2", "5",
    "write", "DATA? 100000",
    "read", "300000", "2", "5",
    "conf",
]
# Keeps every block whole: a block kept in part cannot be replayed.
WHOLE_DATA = "1000000"
# What differs between two runs of one session: when, how long, by whom.
UNCOMPARED = {"seq", "time", "mono_us", "pid", "tid", "dur_us", "handle"}


def windows_path(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def calls(path):
    """The records of the calls in a trace, without their start record."""
    with open(path, encoding="utf-8") as trace:
        records = [json.loads(line) for line in trace]
    return [r for r in records if r.get("call") != "start"]


def what(record):
    argument = record.get("command") or record.get("text")
    return "%s%s" % (record.get("call"), " " + argument["text"] if argument and "text" in argument else "")


def main():
    parser = argparse.ArgumentParser()
    for option in ("--wine", "--windows-session", "--linux-session", "--tavctl", "--simulator", "--folder"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    os.environ["TAVCTL"] = args.tavctl
    os.environ["TAVRIL_SIM"] = args.simulator
    # Gives this process, and the Linux programs it starts, a runtime
    # directory of their own.
    from replay import against, make_twin, run

    folder = Path(args.folder)
    windows_trace, twin, linux_trace = folder / "twin-windows.jsonl", folder / "twin.yaml", folder / "twin-linux.jsonl"
    for path in (windows_trace, twin, linux_trace):
        path.unlink(missing_ok=True)
    checks = Checks()
    check = checks.check

    def step(text, action):
        try:
            value = action()
        except (AssertionError, OSError, ValueError, subprocess.SubprocessError) as failure:
            check(False, "%s: %s" % (text, failure))
            return None
        check(True, text)
        return value

    windows = step("the session under wine, traced (%s)" % windows_trace, lambda: run(
        ["timeout", "300", args.wine, args.windows_session, "0", *SESSION],
        {"TAVRIL_TRACE": windows_path(windows_trace), "TAVRIL_TRACE_DATA": WHOLE_DATA}, timeout=330))
    summary = windows is not None and step("tavctl twin of its trace, accepted by the simulator",
                                           lambda: make_twin([windows_trace], twin))
    if summary:
        print("       " + summary.strip())
    linux = summary and step("the same session through the Linux library against a simulator of the twin",
                             lambda: against(twin, "twin", lambda: run(
                                 [args.linux_session, "0", *SESSION],
                                 {"TAVRIL_TRACE": str(linux_trace), "TAVRIL_TRACE_DATA": WHOLE_DATA})))
    if linux:
        recorded, replayed = calls(windows_trace), calls(linux_trace)
        check(recorded and len(recorded) == len(replayed),
              "as many calls replayed as recorded (%d, %d)" % (len(replayed), len(recorded)))
        for before, after in zip(recorded, replayed):
            differing = sorted(key for key in (set(before) | set(after)) - UNCOMPARED
                               if before.get(key) != after.get(key))
            check(not differing, "%s: result %s, error %s, every answer byte the same as recorded%s"
                  % (what(before), before.get("result"), before.get("error"),
                     "".join("; %s recorded %.80s, replayed %.80s" % (key, before.get(key), after.get(key))
                             for key in differing)))
        windows_lines = windows.replace("\r", "").splitlines()
        check(windows_lines == linux.splitlines(),
              "the program's %d lines of calls and answers the same on Linux as under wine"
              % len(windows_lines))

    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
