"""An independent DCE/RPC peer for DeviceRpc, for the wire tests.

Requests are encoded here from the interface contract alone, two ways:
with Impacket's NDR types (the reference encoding of a well-formed call)
and with a hand-built stub writer that can break any single rule of NDR
(counts, offsets, terminators, alignment, byte order). Responses are read
PDU by PDU from the socket and decoded strictly: exact length, exact
conformance, integers in the byte order that the response's own data
representation label names.

Impacket does the connection and the bind; calls go out through its
fragmenting sender with whatever data representation label the test asks
for, so a request can claim big-endian integers.
"""
import random
import struct
from dataclasses import dataclass

from impacket.dcerpc.v5 import ndr, transport
from impacket.dcerpc.v5.dtypes import LONG, NULL, WSTR
from impacket.dcerpc.v5.rpcrt import DCERPC_RawCall
from impacket.uuid import uuidtup_to_bin

INTERFACE = ("66c55168-0021-4e96-9a7c-5efefdaee407", "1.0")
ARRAY_SIZE = 32768

OPNUM_SEND_COMMAND = 0
OPNUM_SEND_COMMAND2 = 1
OPNUM_DEVICE_REQUEST = 2
OPNUM_DEVICE_REQUEST_MAPPED = 3
COMMAND_OPNUMS = (OPNUM_SEND_COMMAND, OPNUM_SEND_COMMAND2)
DEVICE_OPNUMS = (OPNUM_DEVICE_REQUEST, OPNUM_DEVICE_REQUEST_MAPPED)

# Fault statuses as they travel in a fault PDU.
RPC_X_BAD_STUB_DATA = 0x000006F7
NCA_S_OP_RNG_ERROR = 0x1C010002

ERROR_INVALID_HANDLE = 6

# The four octets of the NDR format label, as a little-endian integer the
# way Impacket's header field holds them. First octet: high nibble integer
# byte order (1 little-endian, 0 big-endian), low nibble character set
# (0 ASCII); second octet: floating point (0 IEEE).
DREP_LITTLE_ENDIAN = 0x00000010
DREP_BIG_ENDIAN = 0x00000000

PTYPE_RESPONSE = 2
PTYPE_FAULT = 3
PFC_LAST_FRAG = 0x02

# Referent identifier the hand-built requests use for pcbOutData.
DEFAULT_REFERENT = 0x00020000


def byte_order(drep):
    """'<' or '>' for the integer byte order that a format label names."""
    return ">" if (drep & 0xF0) == 0 else "<"


def pattern(seed, size=ARRAY_SIZE):
    """Deterministic, non-periodic bytes, so a shifted or partial copy shows."""
    return random.Random(seed).randbytes(size)


# -- Impacket reference encoding -------------------------------------------

class _Octets32K(ndr.NDRUniConformantArray):
    item = "c"


class _PLong(ndr.NDRPOINTER):
    referent = (("Data", LONG),)


class _CommandCall(ndr.NDRCALL):
    structure = (("dwCommand", LONG), ("dwParam", LONG),
                 ("pszPrinterName", WSTR), ("pszArgument", WSTR))


class _DeviceCall(ndr.NDRCALL):
    structure = (("dwRequest", LONG), ("pInData", _Octets32K), ("cbInData", LONG),
                 ("pOutData", _Octets32K), ("pcbOutData", _PLong),
                 ("pszPrinterName", WSTR), ("pszReserved", WSTR))


def impacket_command(dwCommand, dwParam, printer_name, argument):
    call = _CommandCall()
    call["dwCommand"] = dwCommand
    call["dwParam"] = dwParam
    call["pszPrinterName"] = printer_name + "\x00"
    call["pszArgument"] = argument + "\x00"
    return call.getData()


def impacket_device(dwRequest, in_data, cbInData, out_data, cb_out, printer_name, reserved):
    """cb_out None sends a null pcbOutData."""
    assert len(in_data) == ARRAY_SIZE and len(out_data) == ARRAY_SIZE
    call = _DeviceCall()
    call["dwRequest"] = dwRequest
    call["pInData"] = [bytes([b]) for b in in_data]
    call["cbInData"] = cbInData
    call["pOutData"] = [bytes([b]) for b in out_data]
    call["pcbOutData"] = NULL if cb_out is None else cb_out
    call["pszPrinterName"] = printer_name + "\x00"
    call["pszReserved"] = reserved + "\x00"
    return call.getData()


# -- Hand-built encoding -----------------------------------------------------

class Stub:
    """NDR stub data written field by field, in either byte order.

    `marks` records where each named field starts, so a test can cut the
    buffer at a precise point. Alignment is counted from the start of the
    stub data, and padding octets are `pad_fill`.
    """

    def __init__(self, order="<", pad_fill=0):
        self.order = order
        self.pad_fill = pad_fill
        self.data = bytearray()
        self.marks = {}

    def mark(self, name):
        self.marks[name] = len(self.data)

    def align(self, n):
        self.data += bytes([self.pad_fill]) * (-len(self.data) % n)

    def long(self, value, name=None):
        self.align(4)
        if name:
            self.mark(name)
        self.data += struct.pack(self.order + "L", value & 0xFFFFFFFF)

    def octets(self, raw, name=None):
        if name:
            self.mark(name)
        self.data += raw

    def array(self, name, content, conformance=ARRAY_SIZE):
        """A top-level conformant array of octets."""
        self.long(conformance, name)
        self.octets(content, name + ".data")

    def wstring(self, name, text, max_count=None, offset=0, actual=None, terminated=True,
                units=None):
        """A [string] wide string behind a reference pointer.

        The counts default to what a correct sender writes; `units` overrides
        the characters sent (a list of 16-bit values), whatever the counts say.
        """
        if units is None:
            raw = text.encode("utf-16-le")
            units = list(struct.unpack("<%dH" % (len(raw) // 2), raw))
            if terminated:
                units.append(0)
        actual = len(units) if actual is None else actual
        max_count = actual if max_count is None else max_count
        self.long(max_count, name)
        self.long(offset)
        self.long(actual)
        self.octets(struct.pack(self.order + "%dH" % len(units), *units), name + ".chars")

    def bytes(self):
        self.mark("end")
        return bytes(self.data)


def command_stub(dwCommand=1, dwParam=2, printer_name="Printer", argument="",
                 order="<", pad_fill=0, name_options=None, argument_options=None):
    """Stub of opnums 0 and 1; the options go to Stub.wstring."""
    stub = Stub(order, pad_fill)
    stub.long(dwCommand, "dwCommand")
    stub.long(dwParam, "dwParam")
    stub.wstring("pszPrinterName", printer_name, **(name_options or {}))
    stub.wstring("pszArgument", argument, **(argument_options or {}))
    return stub


def device_stub(dwRequest=2, in_data=None, cbInData=0, out_data=None, cb_out=0,
                printer_name="Printer", reserved="", order="<", pad_fill=0,
                in_conformance=ARRAY_SIZE, out_conformance=ARRAY_SIZE,
                referent=DEFAULT_REFERENT, name_options=None, reserved_options=None):
    """Stub of opnums 2 and 3. cb_out None sends a null pcbOutData."""
    stub = Stub(order, pad_fill)
    stub.long(dwRequest, "dwRequest")
    stub.array("pInData", bytes(ARRAY_SIZE) if in_data is None else in_data, in_conformance)
    stub.long(cbInData, "cbInData")
    stub.array("pOutData", bytes(ARRAY_SIZE) if out_data is None else out_data, out_conformance)
    if cb_out is None:
        stub.long(0, "pcbOutData")
    else:
        stub.long(referent, "pcbOutData")
        stub.long(cb_out, "*pcbOutData")
    stub.wstring("pszPrinterName", printer_name, **(name_options or {}))
    stub.wstring("pszReserved", reserved, **(reserved_options or {}))
    return stub


# -- Responses ---------------------------------------------------------------

@dataclass
class Reply:
    """What came back for one call: a response's stub data or a fault."""
    ptype: int
    drep: int
    stub: bytes
    status: int = None  # fault status, in the byte order of the label

    @property
    def order(self):
        return byte_order(self.drep)

    def describe(self):
        if self.ptype == PTYPE_FAULT:
            return "fault 0x%08x (label %08x)" % (self.status, self.drep)
        return "response of %d octets (label %08x)" % (len(self.stub), self.drep)


@dataclass
class DeviceReply:
    in_data: bytes
    out_data: bytes
    referent: int
    cb_out: int  # None when the referent is 0
    result: int


def decode_command_reply(reply):
    """The one-octet result of opnums 0 and 1."""
    assert reply.ptype == PTYPE_RESPONSE, reply.describe()
    assert len(reply.stub) == 1, "expected one octet, got %s" % reply.stub.hex()
    return reply.stub[0]


def decode_device_reply(reply, opnum):
    """Both arrays, pcbOutData and the result of opnums 2 and 3, exactly."""
    assert reply.ptype == PTYPE_RESPONSE, reply.describe()
    o, stub = reply.order, reply.stub
    pos = 0

    def long():
        nonlocal pos
        pos += -pos % 4
        assert pos + 4 <= len(stub), "%s ends at %d" % (reply.describe(), len(stub))
        (value,) = struct.unpack_from(o + "L", stub, pos)
        pos += 4
        return value

    arrays = []
    for name in ("pInData", "pOutData"):
        conformance = long()
        assert conformance == ARRAY_SIZE, "%s conformance 0x%08x in %s" % (
            name, conformance, reply.describe())
        arrays.append(stub[pos:pos + ARRAY_SIZE])
        pos += ARRAY_SIZE
    referent = long()
    cb_out = long() if referent else None
    if opnum == OPNUM_DEVICE_REQUEST_MAPPED:
        result = long()
        if result & 0x80000000:
            result -= 1 << 32
    else:
        assert pos < len(stub), "no result octet in " + reply.describe()
        result = stub[pos]
        pos += 1
    assert pos == len(stub), "%d octets left over: %s" % (len(stub) - pos, stub[pos:].hex())
    if cb_out is not None and cb_out & 0x80000000:
        cb_out -= 1 << 32
    return DeviceReply(arrays[0], arrays[1], referent, cb_out, result)


# -- The peer ------------------------------------------------------------------

class Peer:
    """One ncacn_ip_tcp connection bound to DeviceRpc 1.0."""

    def __init__(self, port, host="127.0.0.1", io_timeout=60):
        self.rpc = transport.DCERPCTransportFactory(
            "ncacn_ip_tcp:%s[%d]" % (host, port)).get_dce_rpc()
        self.rpc.connect()
        # Guards against a hang when the server stops answering; not a
        # measure of anything.
        self.sock = self.rpc.get_rpc_transport().get_socket()
        self.sock.settimeout(io_timeout)
        self.rpc.bind(uuidtup_to_bin(INTERFACE))

    def close(self):
        try:
            self.rpc.get_rpc_transport().disconnect()
        except Exception:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def call(self, opnum, stub, drep=DREP_LITTLE_ENDIAN):
        """Sends one request (fragmented as negotiated) and reads its reply."""
        request = DCERPC_RawCall(opnum, bytes(stub))
        request["representation"] = drep
        self.rpc.send(request)
        return self._receive()

    def _receive_exact(self, count):
        data = b""
        while len(data) < count:
            chunk = self.sock.recv(count - len(data))
            if not chunk:
                raise ConnectionError("connection closed after %d of %d octets" % (len(data), count))
            data += chunk
        return data

    def _receive(self):
        # The runtime under test writes the connection-header integers (frag
        # length, call id) little-endian whatever the label says; only the
        # stub data and the fault status follow the label.
        stub, first = b"", None
        while True:
            head = self._receive_exact(16)
            frag_len, auth_len = struct.unpack_from("<HH", head, 8)
            pdu = head + self._receive_exact(frag_len - 16)
            ptype, flags = pdu[2], pdu[3]
            (drep,) = struct.unpack_from("<L", pdu, 4)
            if first is None:
                first = (ptype, drep)
            assert (ptype, drep) == first, "fragments disagree: %r then %r" % (first, (ptype, drep))
            if ptype == PTYPE_FAULT:
                (status,) = struct.unpack_from(byte_order(drep) + "L", pdu, 24)
                return Reply(ptype, drep, b"", status)
            assert ptype == PTYPE_RESPONSE, "unexpected PDU type %d: %s" % (ptype, pdu[:32].hex())
            stub += pdu[24:frag_len - (auth_len + 8 if auth_len else 0)]
            if flags & PFC_LAST_FRAG:
                return Reply(ptype, drep, stub)
