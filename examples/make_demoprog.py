#!/usr/bin/env python3
"""Writes two small firmware images for the demo.

demoprog.srec leaves the flash at 0800C000 unprogrammed, so the checksum info table can be
added there as it is. demoprog_placeholder.srec is the same image with a 256-byte placeholder
of erased flash at 0800C000, the way a linker script reserves room for the table; that range
has to be left out of the checksums with -x0800C000:0800C0FF.
"""
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
PLACEHOLDER = (0x0800C000, b"\xFF" * 0x100)

def write_image(name, segments):
    lines = [record("0", 0, name.encode())]
    count = 0
    for base, data in segments:
        for offset in range(0, len(data), 32):
            lines.append(record("3", base + offset, data[offset:offset + 32]))
            count += 1
    lines.append(record("5", count))
    lines.append(record("7", 0x08000201))
    with open(name, "w", newline="\n") as out:
        out.writelines(lines)

write_image("demoprog.srec", SEGMENTS)
write_image("demoprog_placeholder.srec", SEGMENTS + [PLACEHOLDER])
