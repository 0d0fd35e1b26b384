#!/usr/bin/env python3
"""A VISA client on the Linux side of tavril-gateway.exe running under wine.

    gateway_client.py --port P

The gateway serves slot 0, the first device of tavtest.sys, through
tavlib.dll.  pyvisa with pyvisa-py opens TCPIP::127.0.0.1::P::SOCKET and
checks what the driver's instrument model answers (tests/windows/e2e/
README.md).  Prints one line per check and "N passed, M failed"; exits 1
when a check failed.
"""

import argparse
import socket
import sys

import pyvisa

from checks import Checks

IDENTITY = "VESPARO,ZQ907,TAV0000,2.7.1"
BUSY = b"ERROR: tavril-gateway: slot 0 is in use by another client; connection closed\n"


def data_bytes(count):
    """The driver's answer to DATA? count (TAVTEST_DATA_BYTE in tavtest_control.h)."""
    return bytes((i * 7 + 3) % 251 for i in range(count))


def as_sent(response):
    """What the gateway sends for a response: its final line end made one LF."""
    if response.endswith(b"\r\n"):
        response = response[:-2]
    elif response.endswith(b"\n"):
        response = response[:-1]
    return response + b"\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    args = parser.parse_args()
    checks = Checks()
    check = checks.check

    manager = pyvisa.ResourceManager("@py")
    session = manager.open_resource("TCPIP::127.0.0.1::%d::SOCKET" % args.port,
                                    read_termination="\n", write_termination="\n",
                                    timeout=20000)
    try:
        rows = [
            ("*IDN?", as_sent(IDENTITY.encode() + b"\r\n"), "the identity"),
            ("ECHO? RANGE REFUSED ANS40", b"RANGE REFUSED ANS40\n", "an answer-code line"),
            ("ECHO? A|B", b"A\r\nB\n", "a response of two lines"),
            ("DATA? 100000", as_sent(data_bytes(100000)), "100,000 bytes of binary data"),
            ("DATA? 65536", as_sent(data_bytes(65536)),
             "65,536 bytes (exactly one transfer): whole, ended by the identity after it"),
            ("NO:SUCH:COMMAND\n*IDN?", as_sent(IDENTITY.encode() + b"\r\n"),
             "a command the driver does not answer, then the identity"),
        ]
        for command, expected, what in rows:
            try:
                session.write(command)
                got = session.read_bytes(len(expected))
            except pyvisa.errors.VisaIOError as error:
                got = repr(error).encode()
            check(got == expected, "%s: %s (%d bytes)" % (command, what, len(got)))

        with socket.create_connection(("127.0.0.1", args.port), timeout=20) as second:
            turned_away = b""
            while True:
                try:
                    chunk = second.recv(4096)
                except ConnectionResetError:
                    break
                if not chunk:
                    break
                turned_away += chunk
        check(turned_away == BUSY, "a second client gets the busy line and is closed")
        try:
            got = session.query("*IDN?")
        except pyvisa.errors.VisaIOError as error:
            got = repr(error)
        check(got == IDENTITY, "the owner is served after that")
    finally:
        session.close()

    # The same instrument as VXI-11 device inst0, found through the
    # gateway's own portmapper on port 111 (Windows has no rpcbind).
    try:
        instr = manager.open_resource("TCPIP::127.0.0.1::INSTR", read_termination="\n",
                                      write_termination="\n", timeout=20000)
        check(instr.query("*IDN?") == IDENTITY + "\r", "VXI-11: the identity")
        instr.write("DATA? 100000")
        # Binary data holds LF bytes: read to the end of the message, not to an LF.
        instr.read_termination = None
        check(instr.read_raw() == data_bytes(100000), "VXI-11: 100,000 bytes of binary data")
        instr.read_termination = "\n"
        check(instr.read_stb() == 0, "VXI-11: the status byte")
        other = manager.open_resource("TCPIP::127.0.0.1::INSTR", timeout=2000)
        instr.lock_excl()
        try:
            other.query("*IDN?")
            check(False, "VXI-11: a second session is kept out while the first holds the lock")
        except pyvisa.errors.VisaIOError:
            check(True, "VXI-11: a second session is kept out while the first holds the lock")
        instr.unlock()
        check(other.query("*IDN?").strip() == IDENTITY, "VXI-11: ... and served after unlock")
        other.close()
        instr.close()
    except Exception as error:  # a failed check, whatever pyvisa raised
        check(False, "VXI-11: %r" % error)
    manager.close()

    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
