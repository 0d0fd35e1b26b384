#!/usr/bin/env python3
"""Checks the image of tavlib.dll: the shared slot-table section, the export
table and the imported DLLs; or, with --client, that a program built against
the import library imports the six functions from tavlib.dll by their plain
names.

Reads the PE headers directly (no objdump) so that the raw section
characteristics and the section's initial bytes can be compared exactly.

Usage: check_pe.py DLL --arch {i686,x86_64} [--allow-import NAME ...]
       check_pe.py EXE --arch {i686,x86_64} --client
Prints one line per check and a closing "N passed, M failed" line; exits 1
if any check failed or the file is not a readable PE image.
"""
import argparse
import struct
import sys

EXPECTED_EXPORTS = sorted([
    "Close_Tavril", "Conf_Tavril", "Open_Tavril",
    "Read_Tavril", "Scmd_Tavril", "Write_Tavril",
])
DEFAULT_ALLOWED_IMPORTS = ["kernel32.dll", "setupapi.dll", "msvcrt.dll",
                           "advapi32.dll", "ntdll.dll", "user32.dll"]
SLOT_SECTION = ".MY_DATA"
# IMAGE_SCN_CNT_INITIALIZED_DATA | MEM_SHARED | MEM_READ | MEM_WRITE
SLOT_SECTION_FLAGS = 0xD0000040
SLOT_COUNT = 4
MACHINES = {"i686": (0x014C, 0x10B, 4), "x86_64": (0x8664, 0x20B, 8)}


class PeError(Exception):
    pass


class PeImage:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise PeError("no MZ header")
        pe = self.u32(0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        (self.machine, nsections, _, _, _, opt_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        self.magic = self.u16(opt)
        if self.magic == 0x10B:
            dirs = opt + 96
        elif self.magic == 0x20B:
            dirs = opt + 112
        else:
            raise PeError("unknown optional header magic 0x%x" % self.magic)
        ndirs = self.u32(dirs - 4)
        self.directories = [struct.unpack_from("<II", data, dirs + 8 * i)
                            for i in range(ndirs)]
        self.sections = []
        table = opt + opt_size
        for i in range(nsections):
            raw = struct.unpack_from("<8sIIIIIIHHI", data, table + 40 * i)
            self.sections.append({
                "name": raw[0].rstrip(b"\0").decode("latin-1"),
                "vsize": raw[1], "rva": raw[2], "rawsize": raw[3],
                "rawptr": raw[4], "flags": raw[9],
            })

    def u16(self, off):
        return struct.unpack_from("<H", self.data, off)[0]

    def u32(self, off):
        return struct.unpack_from("<I", self.data, off)[0]

    def section(self, name):
        found = [s for s in self.sections if s["name"] == name]
        return found

    def offset(self, rva):
        for s in self.sections:
            if s["rva"] <= rva < s["rva"] + max(s["vsize"], s["rawsize"]):
                return s["rawptr"] + rva - s["rva"]
        raise PeError("RVA 0x%x is in no section" % rva)

    def cstr(self, rva):
        off = self.offset(rva)
        end = self.data.index(b"\0", off)
        return self.data[off:end].decode("latin-1")

    def directory(self, index):
        if index >= len(self.directories):
            return (0, 0)
        return self.directories[index]

    def exports(self):
        """(names, number of exported functions)."""
        rva, size = self.directory(0)
        if rva == 0 or size == 0:
            return [], 0
        off = self.offset(rva)
        nfuncs, nnames, _, names_rva = struct.unpack_from("<IIII", self.data, off + 20)
        names = [self.cstr(self.u32(self.offset(names_rva) + 4 * i)) for i in range(nnames)]
        return names, nfuncs

    def imports(self):
        names = []
        rva, _ = self.directory(1)
        if rva:
            off = self.offset(rva)
            while True:
                desc = struct.unpack_from("<IIIII", self.data, off)
                if desc == (0, 0, 0, 0, 0):
                    break
                names.append(self.cstr(desc[3]))
                off += 20
        rva, _ = self.directory(13)  # delay-load imports
        if rva:
            off = self.offset(rva)
            while True:
                desc = struct.unpack_from("<8I", self.data, off)
                if not any(desc):
                    break
                names.append(self.cstr(desc[1]) + " (delay-load)")
                off += 32
        return names


def imported_functions(image, dll):
    """Names (or '#ordinal') that the image imports from `dll`."""
    rva, _ = image.directory(1)
    if not rva:
        return []
    wide = image.magic == 0x20B
    entry_size = 8 if wide else 4
    ordinal_flag = 1 << (63 if wide else 31)
    off = image.offset(rva)
    while True:
        desc = struct.unpack_from("<IIIII", image.data, off)
        if desc == (0, 0, 0, 0, 0):
            return []
        if image.cstr(desc[3]).lower() == dll.lower():
            break
        off += 20
    functions = []
    thunk = image.offset(desc[0] or desc[4])
    while True:
        value = struct.unpack_from("<Q" if wide else "<I", image.data, thunk)[0]
        if value == 0:
            return functions
        if value & ordinal_flag:
            functions.append("#%d" % (value & 0xFFFF))
        else:
            functions.append(image.cstr((value & 0x7FFFFFFF) + 2))
        thunk += entry_size


class Report:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, ok, text):
        print(("ok     " if ok else "FAILED ") + text)
        if ok:
            self.passed += 1
        else:
            self.failed += 1


def check_image(image, arch, allowed, report):
    machine, magic, ptr = MACHINES[arch]
    report.check(image.machine == machine and image.magic == magic,
                 "machine 0x%04x, optional header 0x%03x (%s expected)"
                 % (image.machine, image.magic, arch))
    report.check(bool(image.characteristics & 0x2000),
                 "image characteristics 0x%04x mark a DLL" % image.characteristics)

    found = image.section(SLOT_SECTION)
    report.check(len(found) == 1, "section %s present %d time(s)" % (SLOT_SECTION, len(found)))
    if len(found) == 1:
        sec = found[0]
        size = SLOT_COUNT * 4 + SLOT_COUNT * ptr
        report.check(sec["vsize"] == size,
                     "section %s size %d (expected %d: 4 owner ids, 4 handles of %d bytes)"
                     % (SLOT_SECTION, sec["vsize"], size, ptr))
        report.check(sec["flags"] == SLOT_SECTION_FLAGS,
                     "section %s flags 0x%08X (expected 0x%08X: initialised data, shared, read, write)"
                     % (SLOT_SECTION, sec["flags"], SLOT_SECTION_FLAGS))
        stored = min(sec["vsize"], sec["rawsize"])
        content = image.data[sec["rawptr"]:sec["rawptr"] + stored]
        content += b"\0" * (sec["vsize"] - stored)
        expected = b"\0" * (SLOT_COUNT * 4) + b"\xff" * (SLOT_COUNT * ptr)
        report.check(content == expected,
                     "section %s initial content %s" % (SLOT_SECTION, content.hex()))

    names, nfuncs = image.exports()
    report.check(sorted(names) == EXPECTED_EXPORTS and nfuncs == len(EXPECTED_EXPORTS),
                 "exports (%d functions, %d names): %s" % (nfuncs, len(names), " ".join(names)))

    imports = image.imports()
    allowed_lower = {a.lower() for a in allowed}
    bad = [n for n in imports if n.lower() not in allowed_lower]
    report.check(not bad and imports != [],
                 "imports: %s%s" % (" ".join(imports),
                                    "" if not bad else "  (not allowed: %s)" % " ".join(bad)))


def check_client(image, arch, report):
    machine, magic, _ = MACHINES[arch]
    report.check(image.machine == machine and image.magic == magic,
                 "machine 0x%04x, optional header 0x%03x (%s expected)"
                 % (image.machine, image.magic, arch))
    functions = imported_functions(image, "tavlib.dll")
    report.check(sorted(functions) == EXPECTED_EXPORTS,
                 "imports from tavlib.dll: %s" % " ".join(functions))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dll")
    parser.add_argument("--arch", choices=sorted(MACHINES), required=True)
    parser.add_argument("--allow-import", action="append", default=None,
                        help="an allowed imported DLL (repeatable); replaces the default list")
    parser.add_argument("--client", action="store_true",
                        help="check a program that imports the six functions instead")
    args = parser.parse_args()
    allowed = args.allow_import or DEFAULT_ALLOWED_IMPORTS
    report = Report()
    print("%s (%s)" % (args.dll, args.arch))
    try:
        with open(args.dll, "rb") as f:
            image = PeImage(f.read())
        if args.client:
            check_client(image, args.arch, report)
        else:
            check_image(image, args.arch, allowed, report)
    except (OSError, PeError, struct.error, ValueError) as err:
        report.check(False, "cannot read %s: %s" % (args.dll, err))
    print("%d passed, %d failed" % (report.passed, report.failed))
    return 0 if report.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
