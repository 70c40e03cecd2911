#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def string(text, order="<"):
    units = [ord(c) for c in text] + [0]
    body = struct.pack(order + "III", len(units), 0, len(units))
    body += b"".join(struct.pack(order + "H", u) for u in units)
    return body


def pad(buffer):
    return buffer + b"\0" * (-len(buffer) % 4)


def command(order, name, argument):
    stub = struct.pack(order + "ii", 17, -3) + string(name, order)
    return pad(stub) + string(argument, order)


def device_short(order, null_out, name):
    # Expanded form: dwRequest, conformance, fill seed, then pointer, long, strings.
    head = struct.pack(order + "iI", 11, 32768) + b"\x0c"
    tail = struct.pack(order + "I", 0 if null_out else 0x20000)
    if not null_out:
        tail += struct.pack(order + "i", 64)
    # The expanded stub is 4 + 4 + 32768 + 4 + 4 + 32768 bytes before the tail: aligned.
    tail += pad(string(name, order)) + string("", order)
    return head + tail


def description(flags, request, cb_in, cb_out, name, reserved, seeds=(0x0C, 0x5A), edits=()):
    # Structured form: flags, three longs, (length, contents) of both strings,
    # the two array fill seeds, then (selector, value) edits.
    body = struct.pack("<iii", request, cb_in, cb_out) + bytes(name + reserved + seeds)
    return flags, body + b"".join(bytes(edit) for edit in edits)


def write(target, name, flag, payload):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(bytes([flag]) + payload)


def main():
    write("command_request", "little", 0, command("<", "Office", "arg"))
    write("command_request", "big", 1, command(">", "\\\\host\\P", ""))
    write("device_request", "little", 2, device_short("<", False, "Office"))
    write("device_request", "big-null", 3, device_short(">", True, "P"))
    structured = {
        "config-little": description(0, 2, 1, 32, (6, 0x10), (0, 0)),
        "mapped-big-null": description(7, 11, 0, 0, (1, 0x20), (3, 0x30)),
        "full-arrays": description(1, 12, 32768, 32768, (12, 0x90), (2, 0x01)),
        "over-input": description(0, 5, 32769, -1, (255, 0x7F), (0, 0)),
        # Edits: pInData's conformance 32767, a cut at pOutData, a name
        # terminator 0x0041.
        "edited": description(2, 9, 4, 8, (4, 0x11), (1, 0x02),
                              edits=((0x00, 0xFF), (0x1D, 6), (0x38, 0x41))),
    }
    for name, (flags, body) in structured.items():
        write("device_request_structured", name, flags, body)
    write("payload_blocks", "command", 0,
          struct.pack("<iiII", 1, 2, 16, 22) + "P1\0ab\0".encode("utf-16-le"))
    write("payload_blocks", "request", 0,
          struct.pack("<iIIIII", 9, 30, 3, 33, 10, 24) + "P1\0".encode("utf-16-le") + b"abc" + b"\0" * 10)
    response = struct.pack("<I", 32768) + b"\1" * 32768 + struct.pack("<I", 32768) + b"\2" * 32768
    write("client_responses", "device", 4, response + struct.pack("<IIB", 0x20000, 32, 1))
    write("client_responses", "mapped", 6, response + struct.pack("<IIi", 0x20000, 8, 31))
    # Request index, selector, then [name index][16-bit length][bytes].
    def values(*items):
        return b"".join(bytes([n]) + struct.pack("<H", len(d)) + d for n, d in items)
    dword = struct.pack("<I", 7)
    write("reply_assembly", "config", 0, b"\0" + values((0, dword), (1, dword), (2, dword)))
    write("reply_assembly", "bins", 0x81, b"\0" + values((7, struct.pack("<I", 90))))
    write("reply_assembly", "flash-large", 4, b"\0" + values(
        (15, dword), (16, struct.pack("<I", 1000)), (17, b"\x5a" * 1000)))
    write("reply_assembly", "service", 4, b"\x0c" + values((18, bytes(range(18)))))


if __name__ == "__main__":
    main()
