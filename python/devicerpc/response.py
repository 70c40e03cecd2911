"""Responses of DeviceRpc: the PDUs of one answer joined into a reply, and
the response stubs of the four opnums decoded strictly.

A response carries the out-parameters in declaration order and then the
result: for opnums 0 and 1 the one-octet boolean alone; for opnums 2 and 3
pInData and pOutData (each a conformance of 32768 and 32768 octets), the
full pointer pcbOutData (referent id, and the long when it is not null),
and the result, one octet for opnum 2 and a long for opnum 3. Integers
follow the byte order that the response's own format label names. A stub
of any other length or conformance is refused whole.
"""
import struct
from dataclasses import dataclass

from .errors import ConnectionFailed, MalformedReply, RpcFault
from .ndr import ARRAY_SIZE, OPNUM_DEVICE_REQUEST_MAPPED, byte_order, signed

PTYPE_REQUEST = 0
PTYPE_RESPONSE = 2
PTYPE_FAULT = 3
PFC_FIRST_FRAG = 0x01
PFC_LAST_FRAG = 0x02

HEADER_SIZE = 16
RESPONSE_HEADER_SIZE = 24
# More fragments than a 64 KiB answer needs at the smallest fragment size
# DCE allows: a peer that never ends its answer is cut off here.
MAX_FRAGMENTS = 64
MAX_STUB = 1 << 20


@dataclass
class Reply:
    """What came back for one call: a response's stub data, or a fault."""
    ptype: int
    drep: int
    stub: bytes
    status: int = None  # the fault status, for a fault
    call_id: int = None

    @property
    def order(self):
        return byte_order(self.drep)

    def describe(self):
        if self.ptype == PTYPE_FAULT:
            return "fault 0x%08x (label %08x)" % (self.status, self.drep)
        return "response of %d octets (label %08x)" % (len(self.stub), self.drep)


def parse_header(head):
    """(ptype, flags, drep, frag_len, auth_len, call_id) of a PDU header.

    The connection-header integers are read little-endian: the runtimes this
    client talks to write them so whatever the label says; only the stub
    data and the fault status follow the label.
    """
    if len(head) < HEADER_SIZE or head[0] != 5:
        raise ConnectionFailed("not a DCE/RPC version 5 PDU: %s" % head[:16].hex(), 1728)
    (drep,) = struct.unpack_from("<L", head, 4)
    frag_len, auth_len, call_id = struct.unpack_from("<HHL", head, 8)
    return head[2], head[3], drep, frag_len, auth_len, call_id


def _fragment_stub(pdu, frag_len, auth_len):
    """The stub octets of one response fragment, without any auth trailer."""
    end = frag_len - (auth_len + 8 if auth_len else 0)
    if end < RESPONSE_HEADER_SIZE:
        raise ConnectionFailed("response fragment of %d octets" % frag_len, 1728)
    return pdu[RESPONSE_HEADER_SIZE:end]


def read_reply(receive_exact, call_id=None):
    """Reads the PDUs of one answer through `receive_exact(n)` (which
    returns exactly n octets or raises) and returns its Reply.

    Fragments are joined until the last one; every fragment must be a
    response of the same label and, when `call_id` is given, of that call.
    A fault is returned as it is.
    """
    stub, first = b"", None
    for _ in range(MAX_FRAGMENTS):
        head = receive_exact(HEADER_SIZE)
        ptype, flags, drep, frag_len, auth_len, pdu_call = parse_header(head)
        if frag_len < HEADER_SIZE + 8:
            raise ConnectionFailed("PDU length %d" % frag_len, 1728)
        pdu = head + receive_exact(frag_len - HEADER_SIZE)
        if call_id is not None and pdu_call != call_id:
            raise ConnectionFailed("answer to call %d, expected %d" % (pdu_call, call_id), 1728)
        if ptype == PTYPE_FAULT:
            if frag_len < RESPONSE_HEADER_SIZE + 4:
                raise ConnectionFailed("fault PDU of %d octets has no status" % frag_len, 1728)
            (status,) = struct.unpack_from(byte_order(drep) + "L", pdu, RESPONSE_HEADER_SIZE)
            return Reply(ptype, drep, b"", status, pdu_call)
        if ptype != PTYPE_RESPONSE:
            raise ConnectionFailed("unexpected PDU type %d" % ptype, 1728)
        if first is not None and first != drep:
            raise ConnectionFailed("fragments with labels %08x and %08x" % (first, drep), 1728)
        first = drep
        stub += _fragment_stub(pdu, frag_len, auth_len)
        if len(stub) > MAX_STUB:
            raise ConnectionFailed("response longer than %d octets" % MAX_STUB, 1728)
        if flags & PFC_LAST_FRAG:
            return Reply(ptype, drep, stub, None, pdu_call)
    raise ConnectionFailed("response of more than %d fragments" % MAX_FRAGMENTS, 1728)


def check_response(reply):
    """Raises RpcFault for a fault; returns the reply otherwise."""
    if reply.ptype == PTYPE_FAULT:
        raise RpcFault(reply.status)
    return reply


# -- response stubs --------------------------------------------------------------

@dataclass
class DeviceResponse:
    """The out-parameters and result of opnum 2 or 3. `cb_out` is None when
    the server returned a null pcbOutData; `result` is the boolean octet of
    opnum 2 or the signed long of opnum 3."""
    opnum: int
    in_data: bytes
    out_data: bytes
    referent: int
    cb_out: int
    result: int

    @property
    def succeeded(self):
        if self.opnum == OPNUM_DEVICE_REQUEST_MAPPED:
            return self.result == 0
        return self.result != 0


def decode_command_response(stub):
    """The boolean octet of opnums 0 and 1, from a stub of exactly one octet."""
    if len(stub) != 1:
        raise MalformedReply("command response of %d octets, expected 1" % len(stub))
    return stub[0]


def device_response_length(opnum, has_size):
    """The exact stub length of a device response."""
    arrays = 2 * (4 + ARRAY_SIZE)
    return arrays + 4 + (4 if has_size else 0) + (4 if opnum == OPNUM_DEVICE_REQUEST_MAPPED else 1)


def decode_device_response(stub, opnum, order="<"):
    """The DeviceResponse of opnum 2 or 3 in `stub`; MalformedReply when its
    length, a conformance or the pointer does not fit."""
    o = order
    if len(stub) < 2 * (4 + ARRAY_SIZE) + 4:
        raise MalformedReply("device response of %d octets is too short" % len(stub))
    position, arrays = 0, []
    for name in ("pInData", "pOutData"):
        (conformance,) = struct.unpack_from(o + "L", stub, position)
        if conformance != ARRAY_SIZE:
            raise MalformedReply("%s conformance %d, expected %d" % (name, conformance, ARRAY_SIZE))
        arrays.append(bytes(stub[position + 4:position + 4 + ARRAY_SIZE]))
        position += 4 + ARRAY_SIZE
    (referent,) = struct.unpack_from(o + "L", stub, position)
    expected = device_response_length(opnum, referent != 0)
    if len(stub) != expected:
        raise MalformedReply("device response of %d octets, expected %d" % (len(stub), expected))
    position += 4
    cb_out = None
    if referent:
        cb_out = signed(struct.unpack_from(o + "L", stub, position)[0])
        position += 4
    if opnum == OPNUM_DEVICE_REQUEST_MAPPED:
        result = signed(struct.unpack_from(o + "L", stub, position)[0])
    else:
        result = stub[position]
    return DeviceResponse(opnum, arrays[0], arrays[1], referent, cb_out, result)


def encode_device_response(opnum, in_data, out_data, referent, cb_out, result, order="<"):
    """A device response stub as a correct server writes it: the reference
    for checking a server's answer octet by octet."""
    o = order
    stub = struct.pack(o + "L", ARRAY_SIZE) + bytes(in_data)
    stub += struct.pack(o + "L", ARRAY_SIZE) + bytes(out_data)
    stub += struct.pack(o + "L", referent)
    if referent:
        stub += struct.pack(o + "L", cb_out & 0xFFFFFFFF)
    if opnum == OPNUM_DEVICE_REQUEST_MAPPED:
        return stub + struct.pack(o + "L", result & 0xFFFFFFFF)
    return stub + bytes([result & 0xFF])


def decode_reply(reply, opnum):
    """The decoded answer of a Reply: the boolean octet of opnums 0 and 1,
    a DeviceResponse of opnums 2 and 3. RpcFault for a fault."""
    check_response(reply)
    if opnum in (0, 1):
        return decode_command_response(reply.stub)
    return decode_device_response(reply.stub, opnum, reply.order)

