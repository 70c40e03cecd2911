"""Request stubs and responses against bytes written out by hand."""
import socket
import struct

import pytest

from devicerpc import ConnectionFailed, MalformedReply
from devicerpc.ndr import (MalformedStub, command_stub, decode_request, device_stub,
                           encode_command, encode_device_request)
from devicerpc.response import decode_device_response, read_reply
from devicerpc.transport import Connection

# opnum 0, dwCommand 1, dwParam 2, printer "AB", argument "".
COMMAND_AB = bytes.fromhex(
    "01000000" "02000000"
    "03000000" "00000000" "03000000" "410042000000" "0000"  # 2 pad octets to the next long
    "01000000" "00000000" "01000000" "0000")
COMMAND_AB_BIG = bytes.fromhex(
    "00000001" "00000002"
    "00000003" "00000000" "00000003" "004100420000" "0000"
    "00000001" "00000000" "00000001" "0000")


@pytest.mark.parametrize("order, pad_fill, expected", [
    ("<", 0, COMMAND_AB),
    (">", 0, COMMAND_AB_BIG),
    ("<", 0xAA, COMMAND_AB[:26] + b"\xaa\xaa" + COMMAND_AB[28:]),
])
def test_command_stub_of_a_two_character_name(order, pad_fill, expected):
    assert command_stub(1, 2, "AB", "", order, pad_fill).bytes() == expected


def test_device_request_header_and_offsets():
    stub = encode_device_request(9, b"\x02", 1, 40, "AB", out_data=b"\x11")
    assert len(stub) == 65560 + 20 + 12 + 2
    assert stub[:12] == bytes.fromhex("09000000" "00800000" "02000000")
    assert stub[32776:32788] == bytes.fromhex("01000000" "00800000" "11000000")
    # pcbOutData: a referent id, then the long behind it; then the name.
    assert stub[65552:65560] == bytes.fromhex("00000200" "28000000")
    assert stub[65560:65580] == bytes.fromhex("03000000" "00000000" "03000000" "410042000000" "0000")
    null = device_stub(2, cb_out=None, printer_name="AB").bytes()
    assert null[65552:65568] == bytes.fromhex("00000000" "03000000" "00000000" "03000000")


@pytest.mark.parametrize("value", [-0x80000001, 0x100000000])
def test_numbers_beyond_32_bits_and_nul_in_names_are_refused(value):
    with pytest.raises(ValueError):
        encode_command(value, 0, "P")
    with pytest.raises(ValueError):
        encode_device_request(2, b"", 0, value, "P")
    with pytest.raises(ValueError):
        encode_command(1, 0, "P\0Q")
    with pytest.raises(ValueError):
        encode_device_request(2, bytes(32769), 0, 0, "P")


@pytest.mark.parametrize("opnum, stub, reason", [
    (0, command_stub(name_options={"offset": 1}), "counts"),
    (0, command_stub(name_options={"max_count": 2}), "counts"),
    (0, command_stub(argument_options={"actual": 0, "units": []}), "counts"),
    (1, command_stub(argument="x", argument_options={"terminated": False}), "terminator"),
    (2, device_stub(in_conformance=32767), "conformance"),
    (3, device_stub(out_conformance=0x10000), "conformance"),
    (2, device_stub(in_data=bytes(100), out_data=bytes(100)), "past the end"),
])
def test_damaged_stubs_are_refused_by_the_reader(opnum, stub, reason):
    with pytest.raises(MalformedStub, match=reason):
        decode_request(opnum, stub.bytes())


@pytest.mark.parametrize("order, drep", [("<", 0x10), (">", 0x00)])
def test_reader_reads_what_the_writer_wrote_in_either_order(order, drep):
    request = decode_request(3, device_stub(-5, bytes([7]) * 32768, 1, None, -1, "Lab",
                                            order=order).bytes(), drep)
    assert (request.dwRequest, request.in_data[:2], request.cbInData, request.cb_out) == (
        -5, b"\x07\x07", 1, -1)
    assert (request.name_length, request.second, request.trailing) == (3, (0,), 0)
    command = decode_request(0, command_stub(-1, 7, "Q", "z", order).bytes(), drep)
    assert (command.dwCommand, command.dwParam, command.name, command.second) == (
        -1, 7, (0x51, 0), (0x7A, 0))


# -- responses ---------------------------------------------------------------------

def device_response(order, referent, cb_out, result, result_format, in_byte=1, out_byte=2):
    stub = struct.pack(order + "L", 32768) + bytes([in_byte]) * 32768
    stub += struct.pack(order + "L", 32768) + bytes([out_byte]) * 32768
    stub += struct.pack(order + "L", referent)
    if referent:
        stub += struct.pack(order + "l", cb_out)
    return stub + struct.pack(order + result_format, result)


@pytest.mark.parametrize("opnum, order, referent, cb_out, result, fmt", [
    (2, "<", 0x20000, 32, 1, "B"),
    (2, ">", 0x20000, 32, 1, "B"),
    (2, "<", 0, None, 0, "B"),
    (3, "<", 0x20000, -1, 87, "l"),
    (3, ">", 0x20000, 4, -2, "l"),
    (3, ">", 0, None, 6, "l"),
])
def test_device_responses_in_both_orders(opnum, order, referent, cb_out, result, fmt):
    stub = device_response(order, referent, cb_out, result, fmt)
    response = decode_device_response(stub, opnum, order)
    assert (response.referent, response.cb_out, response.result) == (referent, cb_out, result)
    assert response.in_data == b"\x01" * 32768 and response.out_data == b"\x02" * 32768


@pytest.mark.parametrize("opnum, stub, reason", [
    (2, device_response("<", 1, 4, 1, "B")[:-1], "65552 octets, expected 65553"),
    (2, device_response("<", 1, 4, 1, "B") + b"\0", "65554 octets, expected 65553"),
    (3, device_response("<", 1, 4, 1, "B"), "65553 octets, expected 65556"),
    (2, b"\0" * 100, "too short"),
    (2, struct.pack("<L", 32767) + bytes(65560), "conformance 32767"),
    (2, device_response(">", 1, 4, 1, "B"), "conformance 8388608"),  # read in the wrong order
])
def test_device_responses_of_the_wrong_shape_are_refused(opnum, stub, reason):
    with pytest.raises(MalformedReply, match=reason):
        decode_device_response(stub, opnum, "<")


def pdu(ptype, flags, body, drep=b"\x10\0\0\0", call_id=1):
    return struct.pack("<BBBB4sHHL", 5, 0, ptype, flags, drep, 16 + len(body), 0, call_id) + body


def reader(data):
    position = 0

    def receive_exact(count):
        nonlocal position
        if position + count > len(data):
            raise EOFError("closed")
        position += count
        return data[position - count:position]
    return receive_exact


RESPONSE_HEAD = bytes(8)  # alloc hint, context id, cancel count, reserved


@pytest.mark.parametrize("pdus, expected", [
    (pdu(2, 3, RESPONSE_HEAD + b"\x01"), (2, b"\x01", None)),
    (pdu(2, 1, RESPONSE_HEAD + b"ab") + pdu(2, 2, RESPONSE_HEAD + b"cd"), (2, b"abcd", None)),
    (pdu(3, 3, RESPONSE_HEAD + bytes.fromhex("f7060000")), (3, b"", 0x6F7)),
    (pdu(3, 3, RESPONSE_HEAD + bytes.fromhex("1c010002"), drep=b"\0\0\0\0"), (3, b"", 0x1C010002)),
])
def test_answers_are_joined_and_faults_keep_their_status(pdus, expected):
    reply = read_reply(reader(pdus))
    assert (reply.ptype, reply.stub, reply.status) == expected


@pytest.mark.parametrize("pdus, reason", [
    (pdu(12, 3, RESPONSE_HEAD), "unexpected PDU type 12"),
    (b"\x04" + pdu(2, 3, RESPONSE_HEAD)[1:], "version 5"),
    (pdu(2, 1, RESPONSE_HEAD) + pdu(2, 2, RESPONSE_HEAD, drep=b"\0\0\0\0"), "labels"),
    (pdu(2, 3, RESPONSE_HEAD, call_id=9), "call 9, expected 1"),
    (pdu(3, 3, RESPONSE_HEAD), "no status"),
])
def test_answers_that_do_not_belong_are_refused(pdus, reason):
    with pytest.raises(ConnectionFailed, match=reason):
        read_reply(reader(pdus), call_id=1)


class FakeSocket:
    """Hands out `data`, then raises `then` (or reports the peer closed)."""

    def __init__(self, data, then=None):
        self.data, self.then = data, then

    def settimeout(self, value):
        pass

    def setsockopt(self, *args):
        pass

    def recv(self, count):
        if not self.data and self.then:
            raise self.then
        chunk, self.data = self.data[:count], self.data[count:]
        return chunk


class FakeDce:
    def send(self, request):
        pass


class FakeTransport:
    def disconnect(self):
        pass


@pytest.mark.parametrize("data, then, status", [
    (b"", socket.timeout("timed out"), 1818),
    (pdu(2, 3, RESPONSE_HEAD + b"\x01")[:20], None, 1726),
    (b"", ConnectionResetError(104, "reset"), 1726),
])
def test_a_call_without_an_answer_drops_the_connection(data, then, status):
    # A late answer on the same connection would be taken for the next
    # call's: after a failed call the next one must start afresh.
    connection = Connection("192.0.2.1", 1, timeout=1)
    connection._transport, connection._dce = FakeTransport(), FakeDce()
    connection._socket = FakeSocket(data, then)
    with pytest.raises(ConnectionFailed) as error:
        connection.call(0, b"")
    assert error.value.status == status
    assert connection._dce is None and connection._socket is None


def test_a_fault_drops_the_connection_and_an_answer_keeps_it():
    fault = pdu(3, 3, RESPONSE_HEAD + bytes.fromhex("f7060000"))
    answer = pdu(2, 3, RESPONSE_HEAD + b"\x01")
    connection = Connection("192.0.2.1", 1)
    connection._transport, connection._dce = FakeTransport(), FakeDce()
    connection._socket = FakeSocket(answer + fault)
    assert connection.call(0, b"").stub == b"\x01" and connection._dce is not None
    assert connection.call(0, b"").status == 0x6F7 and connection._dce is None
