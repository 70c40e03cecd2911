"""NDR 2.0 stub data of DeviceRpc requests.

Three layers: `Stub`, a field-by-field writer that follows the transfer
syntax by default and can break any one of its rules on request (counts,
conformance, terminator, alignment fill, byte order); `command_stub` and
`device_stub`, the requests of the four opnums built on it; and
`decode_request`, a strict reader of request stubs that says which ones a
correct NDR 2.0 receiver must refuse.

The interface: opnums 0 and 1 take (long dwCommand, long dwParam,
[string] wchar_t* pszPrinterName, [string] wchar_t* pszArgument); opnums 2
and 3 take (long dwRequest, byte pInData[32768], long cbInData,
byte pOutData[32768], [ptr] long* pcbOutData, [string] wchar_t*
pszPrinterName, [string] wchar_t* pszReserved). The arrays are top-level
conformant arrays whose conformance is always 32768; the strings are
conformant varying arrays behind reference pointers (no referent id).
"""
import struct
from dataclasses import dataclass, field

ARRAY_SIZE = 32768

OPNUM_SEND_COMMAND = 0
OPNUM_SEND_COMMAND2 = 1
OPNUM_DEVICE_REQUEST = 2
OPNUM_DEVICE_REQUEST_MAPPED = 3
COMMAND_OPNUMS = (OPNUM_SEND_COMMAND, OPNUM_SEND_COMMAND2)
DEVICE_OPNUMS = (OPNUM_DEVICE_REQUEST, OPNUM_DEVICE_REQUEST_MAPPED)

# The NDR format label as one little-endian integer (the way the PDU header
# holds its four octets): first octet, high nibble 1 for little-endian
# integers and 0 for big-endian, low nibble 0 for ASCII characters; second
# octet 0 for IEEE floating point.
DREP_LITTLE_ENDIAN = 0x00000010
DREP_BIG_ENDIAN = 0x00000000

# Referent id written for a non-null pcbOutData; any non-zero value works.
DEFAULT_REFERENT = 0x00020000


def byte_order(drep):
    """'<' or '>': the integer byte order that a format label names."""
    return ">" if (drep & 0xF0) == 0 else "<"


def drep_for(order):
    """The format label of a struct byte-order character."""
    return DREP_BIG_ENDIAN if order == ">" else DREP_LITTLE_ENDIAN


class MalformedStub(ValueError):
    """A request stub that breaks a rule of the transfer syntax."""


@dataclass
class Stub:
    """Stub data written field by field, in one byte order.

    Alignment counts from the start of the stub data, and padding octets
    are `pad_fill` (a correct sender writes zeros, a receiver must not care).
    `marks` records where each named field starts, so that a caller can
    cut or patch the stub at a precise point.
    """
    order: str = "<"
    pad_fill: int = 0
    data: bytearray = field(default_factory=bytearray)
    marks: dict = field(default_factory=dict)

    def mark(self, name):
        """Records that the field `name` starts here."""
        self.marks[name] = len(self.data)

    def align(self, n):
        """Pads with `pad_fill` to a multiple of `n` octets."""
        self.data += bytes([self.pad_fill]) * (-len(self.data) % n)

    def long(self, value, name=None):
        """A 32-bit integer, aligned to 4; any value is taken modulo 2**32."""
        self.align(4)
        if name:
            self.mark(name)
        self.data += struct.pack(self.order + "L", value & 0xFFFFFFFF)

    def octets(self, raw, name=None):
        """Raw octets, unaligned."""
        if name:
            self.mark(name)
        self.data += raw

    def array(self, name, content, conformance=ARRAY_SIZE):
        """A top-level conformant array of octets: its count, then `content`
        as given (a damaged stub may send fewer or more octets)."""
        self.long(conformance, name)
        self.octets(bytes(content), name + ".data")

    def wstring(self, name, text, max_count=None, offset=0, actual=None, terminated=True,
                units=None):
        """A [string] wide string behind a reference pointer.

        The counts default to what a correct sender writes; `units` (a list
        of 16-bit values) overrides the characters sent, whatever the counts
        say; `terminated=False` leaves out the terminating zero.
        """
        if units is None:
            raw = text.encode("utf-16-le", "surrogatepass")
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
        """The stub written so far; its end is marked "end"."""
        self.mark("end")
        return bytes(self.data)


def command_stub(dwCommand=1, dwParam=2, printer_name="Printer", argument="", order="<",
                 pad_fill=0, name_options=None, argument_options=None):
    """The stub of opnums 0 and 1; the options go to Stub.wstring."""
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
    """The stub of opnums 2 and 3. `cb_out` None sends a null pcbOutData;
    the arrays default to 32768 zero octets and are sent as given."""
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


def _check_long(name, value):
    """ValueError for a number that no 32-bit field can carry."""
    if not -0x80000000 <= value <= 0xFFFFFFFF:
        raise ValueError("%s %d does not fit 32 bits" % (name, value))


def _check_string(name, text):
    # An embedded zero would end the string early on the server's side.
    """ValueError for a string that holds a NUL character."""
    if "\0" in text:
        raise ValueError("%s holds a NUL character" % name)


def encode_command(command, param, printer, argument="", order="<"):
    """A well-formed request stub of opnum 0 or 1."""
    _check_long("dwCommand", command)
    _check_long("dwParam", param)
    _check_string("the printer name", printer)
    _check_string("the argument", argument)
    return command_stub(command, param, printer, argument, order).bytes()


def full_array(data, name):
    """`data` padded with zeros to the 32768 octets that go on the wire."""
    data = bytes(data or b"")
    if len(data) > ARRAY_SIZE:
        raise ValueError("%s holds %d bytes, more than %d" % (name, len(data), ARRAY_SIZE))
    return data + bytes(ARRAY_SIZE - len(data))


def encode_device_request(request, in_data, cb_in, cb_out, printer, reserved="",
                          out_data=None, order="<"):
    """A well-formed request stub of opnum 2 or 3; `cb_out` None sends a
    null pcbOutData. The arrays are padded to 32768 octets."""
    for name, value in (("dwRequest", request), ("cbInData", cb_in), ("pcbOutData", cb_out or 0)):
        _check_long(name, value)
    _check_string("the printer name", printer)
    _check_string("the reserved string", reserved)
    return device_stub(request, full_array(in_data, "pInData"), cb_in,
                       full_array(out_data, "pOutData"), cb_out, printer, reserved,
                       order).bytes()


# -- the request as a receiver reads it ------------------------------------------

def signed(value):
    """A 32-bit value as a signed long."""
    return value - (1 << 32) if value & 0x80000000 else value


@dataclass
class _Reader:
    """Reads stub data in one byte order, refusing anything past its end."""
    data: bytes
    order: str
    position: int = 0

    def long(self):
        self.position += -self.position % 4
        if self.position + 4 > len(self.data):
            raise MalformedStub("a long past the end at %d" % self.position)
        (value,) = struct.unpack_from(self.order + "L", self.data, self.position)
        self.position += 4
        return value

    def take(self, count):
        if self.position + count > len(self.data):
            raise MalformedStub("%d octets past the end at %d" % (count, self.position))
        chunk = self.data[self.position:self.position + count]
        self.position += count
        return chunk

    def array(self, name):
        conformance = self.long()
        if conformance != ARRAY_SIZE:
            raise MalformedStub("%s conformance %d, not %d" % (name, conformance, ARRAY_SIZE))
        return self.take(ARRAY_SIZE)

    def string(self, name):
        """A [string] wide string: counts checked, terminator required."""
        maximum, offset, actual = self.long(), self.long(), self.long()
        if offset != 0 or actual == 0 or actual > maximum:
            raise MalformedStub("%s counts max %d offset %d actual %d"
                                % (name, maximum, offset, actual))
        units = struct.unpack(self.order + "%dH" % actual, self.take(2 * actual))
        if units[-1] != 0:
            raise MalformedStub("%s has no terminator" % name)
        return units


@dataclass
class DecodedRequest:
    """A request stub as a receiver reads it. For opnums 0 and 1 the device
    fields stay None; `name` and `second` are the strings' 16-bit units,
    terminator included, and `name_length` the units before the first zero
    (what the server's string routines see)."""
    opnum: int
    name: tuple
    second: tuple
    name_length: int
    dwCommand: int = None
    dwParam: int = None
    dwRequest: int = None
    in_data: bytes = None
    cbInData: int = None
    out_data: bytes = None
    referent: int = None
    cb_out: int = None
    trailing: int = 0


def decode_request(opnum, stub, drep=DREP_LITTLE_ENDIAN):
    """The request of `opnum` in `stub`, in the byte order its label names.
    Raises MalformedStub for a stub that breaks a rule."""
    reader = _Reader(bytes(stub), byte_order(drep))
    fields = {}
    if opnum in COMMAND_OPNUMS:
        fields["dwCommand"] = signed(reader.long())
        fields["dwParam"] = signed(reader.long())
    else:
        fields["dwRequest"] = signed(reader.long())
        fields["in_data"] = reader.array("pInData")
        fields["cbInData"] = signed(reader.long())
        fields["out_data"] = reader.array("pOutData")
        fields["referent"] = reader.long()
        fields["cb_out"] = signed(reader.long()) if fields["referent"] else None
    name = reader.string("pszPrinterName")
    second = reader.string("pszArgument" if opnum in COMMAND_OPNUMS else "pszReserved")
    return DecodedRequest(opnum, name, second, name.index(0),
                          trailing=len(reader.data) - reader.position, **fields)
