"""Opnums 2 and 3 on the wire with a language monitor answering: requests
encoded by the independent peer, responses checked for the exact output
array, output size and result."""
import struct

from devicerpc.ndr import device_stub
from devicerpc.response import decode_device_response
from devicerpc.transport import Connection
from harness.printers import BINS, LAB_NAME, bin_records, config_record, lab_monitor
from harness.reference import pattern

OPNUM_DEVICE_REQUEST, OPNUM_DEVICE_REQUEST_MAPPED = 2, 3
DREP_LITTLE_ENDIAN, DREP_BIG_ENDIAN = 0x10, 0x00
PTYPE_RESPONSE = 2
MAPPED_UNKNOWN_CODE = 50  # what the reference monitor reports for an unknown code


def call(port, opnum, code, printer, in_data, out_data, cb_in=0, cb_out=32768, drep=DREP_LITTLE_ENDIAN):
    order = ">" if drep == DREP_BIG_ENDIAN else "<"
    stub = device_stub(code, in_data, cb_in, out_data, cb_out, printer, order=order)
    connection = Connection("127.0.0.1", port, timeout=60)
    try:
        reply = connection.call(opnum, stub.bytes(), drep)
    finally:
        connection.close()
    assert reply.ptype == PTYPE_RESPONSE, reply.describe()
    return decode_device_response(reply.stub, opnum, reply.order)


def test_registry_replies_exact_arrays_size_and_result(wine, server, tmp_path):
    lab_monitor(wine, tmp_path, "--register-printers")
    port = wine.listening_tcp_ports()[0]
    in_data = bytearray(pattern(3))
    out_data = pattern(4)

    in_data[0] = 2  # selector byte of the counter request: "dwColorCounter"
    cases = [
        (2, config_record()),
        (3, bin_records(BINS)),
        (9, struct.pack("<I", 1002)),
    ]
    for code, record in cases:
        reply = call(port, OPNUM_DEVICE_REQUEST, code, "LAB", bytes(in_data), out_data, cb_in=1)
        assert reply.result == 1, code
        assert reply.cb_out == len(record), code
        assert reply.in_data == bytes(in_data), code
        assert reply.out_data == record + out_data[len(record):], code

    # A write request leaves the output size as the client sent it.
    write = bytes([1]) + struct.pack("<5I", 2, 9, 2100, 2970, 55)
    reply = call(port, OPNUM_DEVICE_REQUEST, 5, LAB_NAME, write + bytes(32768 - len(write)), out_data,
                 cb_in=len(write), cb_out=1234)
    assert (reply.result, reply.cb_out, reply.out_data) == (1, 1234, out_data)
    bins = list(BINS)
    bins[1] = (2, 9, 2100, 2970, 55)
    reply = call(port, OPNUM_DEVICE_REQUEST, 3, LAB_NAME, bytes(32768), out_data)
    assert reply.out_data[:96] == bin_records(bins)


def test_mapped_replies_and_a_big_endian_request(wine, server, tmp_path):
    sim = lab_monitor(wine, tmp_path, "--register-printers")
    port = wine.listening_tcp_ports()[0]
    out_data = pattern(5)
    reply = call(port, OPNUM_DEVICE_REQUEST_MAPPED, 2, LAB_NAME, bytes(32768), out_data)
    assert (reply.result, reply.cb_out) == (0, 32)
    assert reply.out_data == config_record() + out_data[32:]

    reply = call(port, OPNUM_DEVICE_REQUEST_MAPPED, 77, LAB_NAME, bytes(32768), out_data, cb_out=9)
    assert reply.result == MAPPED_UNKNOWN_CODE
    assert reply.out_data == out_data

    # A big-endian request reaches the monitor with its values intact.
    reply = call(port, OPNUM_DEVICE_REQUEST, 2, LAB_NAME, bytes(32768), out_data, drep=DREP_BIG_ENDIAN)
    assert (reply.result, reply.cb_out) == (1, 32)
    assert reply.out_data[:32] == config_record()
    code, size, block = sim.messages()[-1]
    name = LAB_NAME.encode("utf-16-le") + b"\0\0"
    assert struct.unpack_from("<i", block, 0)[0] == 2
    assert block[24:24 + len(name)] == name
    assert struct.unpack_from("<I", block, 16)[0] == 32768  # dwOutputSize
