#!/usr/bin/env python3
"""Adds a checksum info table to a firmware image through libtrellan, from
Python's standard library alone: the library calls Velmark makes, in its order.

Usage: mark_with_ctypes.py LIBRARY INPUT OUTPUT TABLE_ADDRESS [EXCLUDE_FIRST EXCLUDE_LAST]
  e.g. mark_with_ctypes.py libtrellan.so.1 demoprog_placeholder.srec marked.srec \\
           0800C000 0800C000 0800C0FF
Addresses are hexadecimal; the excluded range (both ends included) stays in
the image but out of the checksums, as Velmark's -x. Like Velmark, it refuses
a table over bytes that the table checksums; unlike Velmark, it does not make
sure that the firmware-side checker reads the table with one count only.
"""
import ctypes
import struct
import sys

TABLE_MAGIC = 0x23AA5537
FILE_FORMAT_SREC = 0


def LoadLibrary(path):
    trl = ctypes.CDLL(path)
    u32, u32p = ctypes.c_uint32, ctypes.POINTER(ctypes.c_uint32)
    signatures = {
        "TrlStatusText": (ctypes.c_char_p, [u32]),
        "TrlFirmwareInit": (u32, [u32]),
        "TrlFirmwareTerminate": (u32, []),
        "TrlFirmwareLoadFromFile": (u32, [ctypes.c_char_p, u32]),
        "TrlFirmwareRemoveData": (u32, [u32, u32]),
        "TrlFirmwareClearData": (u32, []),
        "TrlFirmwareGetSegmentCount": (u32, []),
        "TrlFirmwareGetSegment": (ctypes.c_void_p, [u32, u32p, u32p]),
        "TrlFirmwareAddData": (u32, [u32, u32, ctypes.c_char_p]),
        "TrlFirmwareSaveToFile": (u32, [ctypes.c_char_p]),
        "TrlUtilCrc16Calculate": (ctypes.c_uint16, [ctypes.c_char_p, u32]),
    }
    for name, (result, arguments) in signatures.items():
        function = getattr(trl, name)
        function.restype, function.argtypes = result, arguments
    return trl


def Check(trl, status, what):
    if status != 0:
        raise RuntimeError(f"{what}: {trl.TrlStatusText(status).decode()}")


def BuildTable(trl, tableAddress):
    """One entry (address, length, CRC) per segment, under the header (magic, count, list CRC)."""
    entries = b""
    segmentCount = trl.TrlFirmwareGetSegmentCount()
    tableEnd = tableAddress + 10 + 10 * segmentCount
    for index in range(segmentCount):
        address, length = ctypes.c_uint32(), ctypes.c_uint32()
        data = trl.TrlFirmwareGetSegment(index, ctypes.byref(address), ctypes.byref(length))
        # A table over checksummed bytes would change them and never check.
        if address.value < tableEnd and tableAddress < address.value + length.value:
            raise RuntimeError("the table would cover bytes it checksums")
        crc = trl.TrlUtilCrc16Calculate(ctypes.string_at(data, length.value), length.value)
        entries += struct.pack("<IIH", address.value, length.value, crc)
    count = len(entries) // 10
    listCrc = trl.TrlUtilCrc16Calculate(entries, len(entries))
    return struct.pack("<IB3xH", TABLE_MAGIC, count & 0xFF, listCrc) + entries


def MarkImage(trl, inputFile, outputFile, tableAddress, excluded):
    Check(trl, trl.TrlFirmwareInit(FILE_FORMAT_SREC), "init")
    try:
        Check(trl, trl.TrlFirmwareLoadFromFile(inputFile.encode(), 0), inputFile)
        if excluded:
            first, last = excluded
            Check(trl, trl.TrlFirmwareRemoveData(first, last - first + 1), "exclude")
        table = BuildTable(trl, tableAddress)
        # The excluded bytes come back with the image as it was loaded.
        Check(trl, trl.TrlFirmwareClearData(), "clear")
        Check(trl, trl.TrlFirmwareLoadFromFile(inputFile.encode(), 0), inputFile)
        Check(trl, trl.TrlFirmwareAddData(tableAddress, len(table), table), "add table")
        Check(trl, trl.TrlFirmwareSaveToFile(outputFile.encode()), outputFile)
    finally:
        trl.TrlFirmwareTerminate()


def main(arguments):
    if len(arguments) not in (4, 6):
        sys.exit(__doc__)
    library, inputFile, outputFile = arguments[:3]
    addresses = [int(text, 16) for text in arguments[3:]]
    excluded = tuple(addresses[1:]) if len(addresses) == 3 else None
    try:
        MarkImage(LoadLibrary(library), inputFile, outputFile, addresses[0], excluded)
    except RuntimeError as error:
        sys.exit(f"mark_with_ctypes.py: {error}")


if __name__ == "__main__":
    main(sys.argv[1:])
