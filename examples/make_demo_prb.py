#!/usr/bin/env python3
"""Writes demo.prb: a 4 KiB ring of real-looking Ethernet frames, some crossing the ring's end."""
import struct

RING_SIZE = 4096
HOST_MAC = bytes.fromhex("020000000001")
PEER_MAC = bytes.fromhex("020000000002")
BROADCAST = b"\xff" * 6
HOST_IP = bytes([192, 168, 7, 10])
PEER_IP = bytes([192, 168, 7, 1])

def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF

def ethernet(dst, src, kind, payload):
    frame = dst + src + struct.pack("!H", kind) + payload
    return frame.ljust(60, b"\0")

def arp(op, sender_mac, sender_ip, target_mac, target_ip):
    body = struct.pack("!HHBBH", 1, 0x0800, 6, 4, op) + sender_mac + sender_ip + target_mac + target_ip
    return ethernet(BROADCAST if op == 1 else target_mac, sender_mac, 0x0806, body)

def ipv4(src, dst, protocol, payload, ident):
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), ident, 0x4000, 64, protocol, 0, src, dst)
    header = header[:10] + struct.pack("!H", checksum(header)) + header[12:]
    return header + payload

def pseudo(src, dst, protocol, length):
    return src + dst + struct.pack("!BBH", 0, protocol, length)

def udp(src, dst, sport, dport, data, ident):
    segment = struct.pack("!HHHH", sport, dport, 8 + len(data), 0) + data
    value = checksum(pseudo(src, dst, 17, len(segment)) + segment)
    segment = segment[:6] + struct.pack("!H", value) + segment[8:]
    return ipv4(src, dst, 17, segment, ident)

def tcp(src, dst, sport, dport, seq, ack, flags, data, ident):
    segment = struct.pack("!HHIIBBHHH", sport, dport, seq, ack, 5 << 4, flags, 8192, 0, 0) + data
    value = checksum(pseudo(src, dst, 6, len(segment)) + segment)
    segment = segment[:16] + struct.pack("!H", value) + segment[18:]
    return ipv4(src, dst, 6, segment, ident)

def host_to_peer(packet):
    return ethernet(PEER_MAC, HOST_MAC, 0x0800, packet)

def peer_to_host(packet):
    return ethernet(HOST_MAC, PEER_MAC, 0x0800, packet)

frames = [
    (0, arp(1, HOST_MAC, HOST_IP, b"\0" * 6, PEER_IP)),
    (2, arp(2, PEER_MAC, PEER_IP, HOST_MAC, HOST_IP)),
    (5, host_to_peer(udp(HOST_IP, PEER_IP, 50000, 53,
                         bytes.fromhex("1a2b01000001000000000000") + b"\x06device\x05local\x00\x00\x01\x00\x01", 1))),
    (1020, host_to_peer(tcp(HOST_IP, PEER_IP, 40000, 80, 1000, 0, 0x02, b"", 2))),
    (1021, peer_to_host(tcp(PEER_IP, HOST_IP, 80, 40000, 5000, 1001, 0x12, b"", 3))),
    (1022, host_to_peer(tcp(HOST_IP, PEER_IP, 40000, 80, 1001, 5001, 0x10, b"", 4))),
    (1023, host_to_peer(tcp(HOST_IP, PEER_IP, 40000, 80, 1001, 5001, 0x18,
                            b"GET /status HTTP/1.1\r\nHost: 192.168.7.1\r\n\r\n", 5))),
    (1100, peer_to_host(tcp(PEER_IP, HOST_IP, 80, 40000, 5001, 1044, 0x18,
                            b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", 6))),
    (61250, host_to_peer(udp(HOST_IP, PEER_IP, 514, 514, b"<14>demo: link up, ring buffer dump test", 7))),
]

ring = bytearray(RING_SIZE)
start = RING_SIZE - 300  # so that records cross the ring's end
position = start
for offset, frame in frames:
    length = len(frame) + 5
    record = struct.pack("<HBI", length, 0, offset) + frame
    for index, byte in enumerate(record):
        ring[(position + index) % RING_SIZE] = byte
    position += len(record)
with open("demo.prb", "wb") as out:
    out.write(struct.pack("<HH", start, position) + ring)
