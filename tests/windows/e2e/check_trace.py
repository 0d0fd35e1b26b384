#!/usr/bin/env python3
"""Checks an I/O trace that tavlib.dll wrote under wine (docs/TRACE.md).

    check_trace.py --width x86_64|i686 --calls NAME,NAME... FILE

Every line must be one JSON object; each process's records are numbered
from 0 and start with the start record of the DLL's width; every call named
was recorded; and a block of the test driver's data (DATA? N, the pattern of
TAVTEST_DATA_BYTE in tavtest_control.h) longer than the data limit must
show its first bytes and the SHA-256 of the rest.  Prints one line per check
and "N passed, M failed"; exits 1 when a check failed.
"""

import argparse
import base64
import hashlib
import json
import sys

from checks import Checks


def data_bytes(count):
    return bytes((i * 7 + 3) % 251 for i in range(count))


def shown(block):
    return block["text"].encode("latin-1") if "text" in block else base64.b64decode(block["base64"])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--width", required=True, choices=("x86_64", "i686"))
    parser.add_argument("--calls", required=True)
    parser.add_argument("file")
    args = parser.parse_args()
    checks = Checks()
    check = checks.check

    try:
        with open(args.file, "rb") as trace:
            data = trace.read()
    except OSError as error:
        data = b""
        check(False, "the trace %s can be read (%s)" % (args.file, error))
    records, bad = [], []
    for number, line in enumerate(data.split(b"\n")[:-1], 1):
        try:
            records.append(json.loads(line.decode("utf-8")))
        except ValueError:
            bad.append(number)
    check(data.endswith(b"\n") and records and not bad,
          "%d lines, each one JSON object (not: %s)" % (len(records), bad[:5]))

    numbered = True
    starts = []
    per_process = {}
    for record in records:
        seq = per_process.get(record.get("pid"), 0)
        numbered = numbered and record.get("v") == 1 and record.get("seq") == seq
        if seq == 0:
            starts.append(record)
        per_process[record.get("pid")] = seq + 1
    check(numbered, "the records of each of %d processes are numbered from 0" % len(per_process))
    check(starts and all(r.get("call") == "start" and r.get("platform") == "windows-" + args.width
                         for r in starts),
          "each process starts with a start record of windows-%s" % args.width)

    seen = {r.get("call") for r in records}
    missing = [name for name in args.calls.split(",") if name not in seen]
    check(not missing, "calls recorded: %s (missing: %s)" % (args.calls, missing))

    digests = 0
    for record in records:
        block = record.get("data") or record.get("response")
        if not block or "rest_sha256" not in block:
            continue
        pattern = data_bytes(block["len"])
        if shown(block) != pattern[:block["kept"]]:
            continue
        check(block["rest_sha256"] == hashlib.sha256(pattern[block["kept"]:]).hexdigest(),
              "%s of %d bytes of data: %d kept, the SHA-256 of the rest"
              % (record["call"], block["len"], block["kept"]))
        digests += 1
    check(digests > 0, "a block of the driver's data beyond the limit was recorded")

    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
