#!/usr/bin/env python3
"""Fails unless every PE file named on the command line is hardened.

Each must set HIGH_ENTROPY_VA, DYNAMIC_BASE and NX_COMPAT in the DllCharacteristics of its
optional header, link the stack protector's handler in (its symbol __stack_chk_fail defined
in the COFF symbol table, or, in a stripped file, libssp's message text) and not import it
from libssp's DLL. Prints one line per file and missing property.

    check_hardening.py FILE...
"""
import struct
import sys

REQUIRED_FLAGS = (("HIGH_ENTROPY_VA", 0x20), ("DYNAMIC_BASE", 0x40), ("NX_COMPAT", 0x100))
HANDLER_SYMBOL = b"__stack_chk_fail"
HANDLER_TEXT = b"stack smashing detected"
SSP_DLL = b"libssp-0.dll"


def pe_header(data):
    """The file offset of the PE signature; raises ValueError for a file that is no PE file."""
    if data[:2] != b"MZ":
        raise ValueError("no MZ header")
    offset = struct.unpack_from("<I", data, 0x3C)[0]
    if data[offset:offset + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    return offset


def dll_characteristics(data, pe):
    optional = pe + 24  # after the signature and the 20-byte COFF header
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic not in (0x10B, 0x20B):
        raise ValueError("unknown optional header magic 0x%x" % magic)
    return struct.unpack_from("<H", data, optional + 70)[0]


def defines_symbol(data, pe, wanted):
    """Whether the COFF symbol table defines |wanted| (in a section, not as an import)."""
    table, count = struct.unpack_from("<II", data, pe + 12)
    if table == 0:
        return False
    strings = table + 18 * count
    index = 0
    while index < count:
        record = table + 18 * index
        short_name = data[record:record + 8]
        # SectionNumber, then Type and StorageClass skipped, then NumberOfAuxSymbols.
        section, aux = struct.unpack_from("<hxxxB", data, record + 12)
        if short_name[:4] == b"\0\0\0\0":
            start = strings + struct.unpack_from("<I", short_name, 4)[0]
            name = data[start:data.index(b"\0", start)]
        else:
            name = short_name.rstrip(b"\0")
        if name == wanted and section > 0:
            return True
        index += 1 + aux
    return False


def problems(data):
    pe = pe_header(data)
    flags = dll_characteristics(data, pe)
    found = ["DllCharacteristics 0x%04x lacks %s (0x%x)" % (flags, name, bit)
             for name, bit in REQUIRED_FLAGS if not flags & bit]
    if not (defines_symbol(data, pe, HANDLER_SYMBOL) or HANDLER_TEXT in data):
        found.append("no stack protector handler linked in (%s or '%s')"
                     % (HANDLER_SYMBOL.decode(), HANDLER_TEXT.decode()))
    if SSP_DLL in data.lower():
        found.append("imports %s: libssp is not linked statically" % SSP_DLL.decode())
    return found


def main(paths):
    if not paths:
        print(__doc__)
        return 2
    failed = False
    for path in paths:
        try:
            with open(path, "rb") as file:
                found = problems(file.read())
        except (OSError, ValueError, struct.error) as error:
            found = ["unreadable as a PE file: %s" % error]
        for problem in found:
            print("%s: %s" % (path, problem))
        if not found:
            print("%s: hardened" % path)
        failed = failed or bool(found)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
