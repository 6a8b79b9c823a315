#!/usr/bin/env python3
"""Writes demoprog.srec: a small firmware image with a free area for the checksum info table."""
import struct

SEGMENTS = []

def lcg_bytes(count, seed):
    out = bytearray()
    state = seed
    for _ in range(count):
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        out.append((state >> 16) & 0xFF)
    return bytes(out)

def record(kind, address, data=b""):
    size = {"0": 2, "3": 4, "5": 2, "7": 4}[kind]
    body = bytes([size + len(data) + 1]) + address.to_bytes(size, "big") + data
    return "S" + kind + (body + bytes([~sum(body) & 0xFF])).hex().upper() + "\n"

# Vector table: initial stack pointer, then handler addresses in the code segment.
vectors = struct.pack("<I", 0x20005000) + b"".join(
    struct.pack("<I", 0x08000201 + 4 * i) for i in range(97))
SEGMENTS.append((0x08000000, vectors))
SEGMENTS.append((0x08000200, lcg_bytes(0x1C00, 7)))
strings = b"demoprog v1.0\0checksum ok\0checksum failed\0".ljust(0x300, b"\0")
SEGMENTS.append((0x08002000, strings))
# The free area the table goes into: erased flash, excluded from the checksums with -x.
SEGMENTS.append((0x0800C000, b"\xFF" * 0x100))

lines = [record("0", 0, b"demoprog.srec")]
count = 0
for base, data in SEGMENTS:
    for offset in range(0, len(data), 32):
        lines.append(record("3", base + offset, data[offset:offset + 32]))
        count += 1
lines.append(record("5", count))
lines.append(record("7", 0x08000201))
with open("demoprog.srec", "w", newline="\n") as out:
    out.writelines(lines)
