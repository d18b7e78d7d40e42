#!/usr/bin/env python3
"""Writes the committed seed inputs for the fuzz harnesses (run from anywhere).

The discovery seeds follow the record layout read by discovery_fuzzer.cpp:
op byte, then for a control datagram a sender-mode byte (0: 4 address bytes
+ 2 port bytes follow, 1: 127.0.0.1:4242, 2: pooled 10.0.0.x, 3: 127.0.0.1 +
2 port bytes), a 2-byte little-endian length and the datagram; for a sweep a
slot index and a 4-byte clock offset; for video a 2-byte length and payload.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def header(fill=0):
    return bytes([0x42]) + bytes([fill]) * 11


def control(datagram, mode=3, port=40000, address=None):
    record = bytes([0, mode])
    if mode == 0:
        record += struct.pack(">I", address) + struct.pack("<H", port)
    elif mode == 3:
        record += struct.pack("<H", port)
    return record + struct.pack("<H", len(datagram)) + datagram


def sweep(slot, offset):
    return bytes([2, slot]) + struct.pack("<i", offset)


def video(payload):
    return bytes([3]) + struct.pack("<H", len(payload)) + payload


def write(folder, name, data):
    path = os.path.join(HERE, "seeds", folder, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def discovery_seeds():
    register = header()
    data_only = header() + bytes([0, 1])
    remove = header() + bytes([1])
    write("discovery", "register-bare-header", control(register))
    write("discovery", "register-data-only-then-refresh-full", control(data_only) + control(header() + bytes([0, 0])))
    write("discovery", "register-then-remove", control(register) + control(remove) + control(remove))
    write("discovery", "own-loopback-address", control(register, mode=1) + control(remove, mode=1))
    write("discovery", "short-with-magic", b"".join(control(bytes([0x42] * n)) for n in range(0, 12)))
    write("discovery", "wrong-magic", control(bytes([0x41]) + bytes(13)))
    write("discovery", "unknown-command", control(header() + bytes([7, 1])))
    eleven = b"".join(control(register, mode=0, address=0x0A000001 + i, port=5000 + i) for i in range(11))
    write("discovery", "eleven-viewers-then-sweep", eleven + sweep(0, 2000) + sweep(3, 2001))
    write("discovery", "sweep-across-wrap", control(register) + sweep(0, -2147483648) + sweep(0, 2147483647))
    write("discovery", "port-zero", control(register, port=0) + video(b"x" * 16) + sweep(0, 1))
    write("discovery", "video-to-mixed", control(register, port=1) + control(data_only, port=2) + video(bytes(range(256))))
    write("discovery", "long-control", control(header() + bytes(2000)))
    relay_video = bytes([0x42, 1]) + bytes(10) + bytes([0, 0, 0, 1])
    write("discovery", "relay-video-from-4242",
          control(relay_video, mode=0, address=0x0A090002, port=4242) + control(relay_video, port=4243) +
          control(header() + bytes([0]), mode=0, address=0x0A090002, port=4242))


def tree(interfaces, unreadable=False):
    """interfaces: a list of interfaces, each a list of (number, [(address, attributes), ...]) settings."""
    data = bytes([1 if unreadable else 0, len(interfaces)])
    for settings in interfaces:
        data += bytes([len(settings)])
        for number, endpoints in settings:
            data += bytes([number, len(endpoints)])
            for address, attributes in endpoints:
                data += bytes([address, attributes])
    return data


def descriptor_seeds():
    BULK, INTERRUPT, ISOCHRONOUS, CONTROL = 2, 3, 1, 0
    write("descriptor", "phone", tree([[(0, [(0x81, BULK), (0x02, BULK), (0x83, INTERRUPT)])]]))
    write("descriptor", "accessory", tree([[(0, [(0x81, BULK), (0x01, BULK)])]]))
    write("descriptor", "bulk-in-first-then-two-interfaces",
          tree([[(0, [(0x81, BULK)])], [(1, [(0x05, BULK)])], [(2, [(0x06, BULK)])]]))
    write("descriptor", "out-only-in-an-alternate-setting",
          tree([[(0, [(0x81, INTERRUPT)]), (0, [(0x03, BULK), (0x84, ISOCHRONOUS)])]]))
    write("descriptor", "same-address-in-an-earlier-setting",
          tree([[(0, [(0x01, ISOCHRONOUS)]), (0, [(0x81, BULK), (0x01, BULK)])]]))
    write("descriptor", "no-bulk-out", tree([[(0, [(0x81, BULK), (0x02, INTERRUPT), (0x00, CONTROL)])]]))
    write("descriptor", "no-interfaces", tree([]))
    write("descriptor", "no-settings", tree([[], [(1, [(0x01, BULK)])]]))
    write("descriptor", "unreadable", tree([[(0, [(0x01, BULK)])]], unreadable=True))
    write("descriptor", "attribute-high-bits", tree([[(0, [(0x7F, 0xFE), (0xFF, 0xFF)])]]))
    write("descriptor", "many", tree([[(i, [(j, j % 4) for j in range(32)]) for i in range(8)] for _ in range(4)]))


if __name__ == "__main__":
    discovery_seeds()
    descriptor_seeds()
