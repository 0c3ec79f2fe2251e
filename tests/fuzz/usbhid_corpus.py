"""Writes the seed corpus of usbhid_fuzz: small devices of each family
described in the byte order in which the fuzz target hands out its answers
(see the comment at the top of usbhid_fuzz.cpp), a few poll ticks and
commands.

    /usr/bin/python3 tests/fuzz/usbhid_corpus.py tests/fuzz/corpus/usbhid_fuzz
"""
import os
import struct
import sys

PAGES = {0x84: 0, 0x85: 1, 0x86: 2, 0xFFFF: 3}


def walk(reports, values):
    """reports: {type: [(report id, [[(page, usage), ...] per field])]}."""
    out = bytearray()
    for t in (1, 2, 3):
        for rid, fields in reports.get(t, []):
            out += bytes([rid, len(fields)])
            for usages in fields:
                out.append(len(usages))
                for page, usage in usages:
                    out += bytes([1, PAGES[page], usage])
                    if values is not None:
                        out += struct.pack(">i", values.get((rid, page, usage), 0))
        out.append(0)  # no further report of this type
    return out


def ticks(n, value=0):
    out = bytearray()
    for _ in range(n):
        out.append(0)  # a poll tick
        for _ in range(5):
            out += bytes([1, 1, 1, 1]) + struct.pack(">i", value)
    return out


def command(bit, a, b=0):
    return bytes([0xF0, bit]) + struct.pack(">hh", a, b) + struct.pack(">i", 0) + bytes([1]) + struct.pack(">i", 0)


def device(first, reports, values, tail):
    return bytes([first]) + walk(reports, None) + walk(reports, values) + tail


SEEDS = {
    "family2": device(2, {3: [(49, [[(0x84, 0x30)]]), (50, [[(0x85, 0xD0), (0x85, 0x45), (0x85, 0x42)]]),
                              (26, [[(0x84, 0x36)]]), (105, [[(0xFFFF, 0x98)]]), (16, [[(0x84, 0x58)]])]},
                      {(49, 0x84, 0x30): 2300, (26, 0x84, 0x36): 298},
                      ticks(3, 1) + command(1, 3, 1) + command(7, 0) + ticks(2, 0xFFFF)),
    "family1": device(0x80, {1: [(35, [[(0x85, 0x42), (0x85, 0x44), (0x85, 0x45)]])],
                             3: [(34, [[(0x86, 0x21)]]), (13, [[(0x86, 0x75)]]), (99, [[(0x86, 0x87)]]),
                                 (33, [[(0x85, 0x39)]])]},
                      {(33, 0x85, 0x39): 20},
                      ticks(4, 1) + command(4, 170, 280) + command(42, 1)),
    "family5_vendor": device(3, {3: [(108, [[(0xFFFF, 0x7D)]]), (103, [[(0xFFFF, 0x95)]]),
                                     (15, [[(0xFFFF, 0x7C)]])]},
                             {(108, 0xFFFF, 0x7D): 0x4001},
                             ticks(2, 0x1234) + bytes([0xF8, 0, 1]) + struct.pack(">i", 6)),
    "family4_vendor": device(1, {2: [(60, [[(0xFFFF, 0x98)]])], 3: [(108, [[(0xFFFF, 0x7D)]]),
                                                                    (138, [[(0xFFFF, 0x95)]])]},
                             {(108, 0xFFFF, 0x7D): 0xA100}, ticks(2, 1) + command(39, 2)),
}

if __name__ == "__main__":
    os.makedirs(sys.argv[1], exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(sys.argv[1], name), "wb") as f:
            f.write(data)
