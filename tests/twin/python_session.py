"""A session with the sample instrument through the Python module, as a
script runs one: each call and what it gave back, one line each on stdout
(repr of the answer, or of the failure), for a byte-for-byte comparison of a
session against the instrument and one against its twin.

    python3 python_session.py      (TAVLIB_LIBRARY names the library)
"""

import tavril


def main():
    with tavril.Instrument(0) as inst:
        print("open", inst.identity)
        for command in ["MEAS:VOLT?", "MEAS:CURR?", "SWEEP:NEXT?", "BOGUS?", "MEAS:VOLT?", "MEAS:CURR?"]:
            print("query", command, inst.query(command))
        print("query SELFTEST? text", inst.query("SELFTEST?", mode=tavril.Mode.TEXT))
        inst.write("SYST:ERR?")
        print("read", repr(inst.read()), repr(inst.read()))
        inst.write("CURVE?")
        print("read raw", inst.read(4096, tavril.Mode.RAW))
        inst.write("*RST")
        try:
            inst.read(timeout=1)
        except tavril.TavrilError as failure:
            print("read after *RST", failure.function, failure.result, failure.error_code)


if __name__ == "__main__":
    main()
