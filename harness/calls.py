"""Calls with known answers, each on a connection of its own.

    call_device(port, opnum, ...) -> DeviceOutcome   opnum 2 or 3, compared with what was sent
    call_command(port, opnum, ...) -> 0 or 1, or the fault as a text
    known_calls(monitor)           every procedure with the answer the sample
                                   printer (or no monitor window) fixes
    check_known_calls(port, monitor) -> None, or what differs
    answers(port)                  True when a plain call gets any PDU back
    runtime_losses                 requests the runtime read and never answered,
                                   then answered on a new connection (a record)

Requests are encoded by devicerpc.ndr and responses decoded by
devicerpc.response; the connection is a RawConnection, which reports a
missing answer instead of raising.
"""
import random
import struct

from devicerpc.errors import MalformedReply
from devicerpc.ndr import ARRAY_SIZE, command_stub, device_stub
from devicerpc.response import decode_device_response, encode_device_response

from .raw import RawConnection

# Windows error codes and fault statuses the server answers with.
ERROR_INVALID_HANDLE = 6
ERROR_INVALID_PARAMETER = 87
ERROR_INSUFFICIENT_BUFFER = 122
RPC_X_BAD_STUB_DATA = 0x6F7
NCA_S_OP_RNG_ERROR = 0x1C010002
NCA_S_UNK_IF = 0x1C010003

MAX_NAME = 259         # the longest printer name a device request (opnum 2) accepts
REFERENT = 0x20000     # the referent id devicerpc.ndr writes for pcbOutData

# The sample printer's records, spelled out.
CONFIG_RECORD = struct.pack("<IIII", 32, 3, 1, 0x00020105) + bytes(16)
CALIBRATION = bytes(range(0x10, 0x4C))
COUNTER_IO = struct.pack("<I", 23642)

# A well-formed PDU must be answered within this long; it only guards
# against a hang (answers take milliseconds).
ANSWER_WAIT = 15

runtime_losses = []


def describe_difference(got, expected):
    """Where two byte strings first differ, briefly."""
    if len(got) != len(expected):
        return "%d octets, expected %d" % (len(got), len(expected))
    at = next(i for i in range(len(got)) if got[i] != expected[i])
    return "first at %d: %s instead of %s" % (at, got[at:at + 8].hex(), expected[at:at + 8].hex())


def _device(calls, name, opnum, code, printer, selector, reply, result):
    """Adds a device call of the known answers: (name, opnum, stub, response)."""
    in_data = bytes([selector]) + bytes(ARRAY_SIZE - 1)
    out_data = bytes([0x5A]) * ARRAY_SIZE
    stub = device_stub(dwRequest=code, in_data=in_data, cbInData=1, out_data=out_data, cb_out=64,
                       printer_name=printer).bytes()
    reply = reply or b""
    expected = encode_device_response(opnum, in_data, reply + out_data[len(reply):], REFERENT,
                                      len(reply), result)
    calls.append((name, opnum, stub, expected))


def known_calls(monitor):
    """(name, opnum, stub bytes, expected response stub) for every procedure
    with an answer fixed by the sample printer (or by the absence of a
    monitor window)."""
    calls = []
    office = command_stub(dwCommand=1, printer_name="OFFICE").bytes()
    if not monitor:
        calls += [("command%d" % opnum, opnum, office, b"\x00") for opnum in (0, 1)]
        _device(calls, "request", 2, 2, "OFFICE", 0, None, 0)
        _device(calls, "mapped", 3, 2, "OFFICE", 0, None, ERROR_INVALID_HANDLE)
        return calls
    failing = command_stub(dwCommand=13, dwParam=0, printer_name="Office Color 7").bytes()
    for opnum in (0, 1):
        calls.append(("command%d-ok" % opnum, opnum, office, b"\x01"))
        calls.append(("command%d-fail" % opnum, opnum, failing, b"\x00"))
    for opnum, success in ((2, 1), (3, 0)):
        _device(calls, "config%d" % opnum, opnum, 2, "OFFICE", 0, CONFIG_RECORD, success)
        _device(calls, "calibration%d" % opnum, opnum, 4, "office color 7", 0, CALIBRATION, success)
        _device(calls, "counter%d" % opnum, opnum, 9, "OFFICE", 3, COUNTER_IO, success)
    return calls


def check_known_calls(port, monitor):
    """None when every procedure gives its known answer, else what differs.
    A call left unanswered is sent once more on a new connection (and
    recorded in runtime_losses)."""
    try:
        connection = RawConnection(port, timeout=30)
    except OSError as error:
        return "cannot connect: %s" % error
    try:
        for name, opnum, stub, expected in known_calls(monitor):
            answer = connection.call(opnum, stub, timeout=ANSWER_WAIT)
            if answer.kind == "silent":
                connection.close()
                connection = RawConnection(port, timeout=30)
                answer = connection.call(opnum, stub, timeout=ANSWER_WAIT)
                runtime_losses.append("health check %s: %s on a new connection" % (
                    name, answer.describe()))
            if not answer.is_response():
                return "%s: %s" % (name, answer.describe())
            if answer.stub != expected:
                return "%s: %s" % (name, describe_difference(answer.stub, expected))
    finally:
        connection.close()
    return None


def answers(port, attempts=2):
    """True when a plain call on a new connection gets any PDU back (two
    tries: Wine's runtime now and then leaves a small request unanswered)."""
    stub = command_stub(dwCommand=1, printer_name="OFFICE").bytes()
    for _ in range(attempts):
        try:
            connection = RawConnection(port, timeout=ANSWER_WAIT)
        except OSError:
            continue
        try:
            if connection.call(0, stub).kind == "pdu":
                return True
        except OSError:
            pass
        finally:
            connection.close()
    return False


class DeviceOutcome:
    """What one call of opnum 2 or 3 gave back, next to what was sent."""

    def __init__(self, answer, opnum, in_data, out_data, cb_out):
        self.answer = answer
        self.fault = answer.status if answer.is_fault() else None
        self.result = self.size = self.out = None
        self.in_unchanged = self.out_unchanged = None
        self.sent_out = out_data
        if answer.is_response():
            try:
                got = decode_device_response(answer.stub, opnum, answer.as_reply().order)
            except MalformedReply as error:
                raise AssertionError(str(error)) from None
            if (got.referent != 0) != (cb_out is not None):
                raise AssertionError("referent %#x for %r" % (got.referent, cb_out))
            self.out, self.size, self.result = got.out_data, got.cb_out, got.result
            self.in_unchanged = got.in_data == in_data
            self.out_unchanged = self.out == out_data

    def reply(self):
        """The bytes the returned size covers; the rest must be as sent."""
        if self.out[self.size:] != self.sent_out[self.size:]:
            raise AssertionError("pOutData changed beyond the %d bytes of the reply" % self.size)
        return self.out[:self.size]

    def __repr__(self):
        if self.fault is not None:
            return "fault 0x%x" % self.fault
        if self.result is None:
            return self.answer.describe()
        return "result %d size %r%s" % (self.result, self.size,
                                         "" if self.out_unchanged else " (out changed)")


def call_once(port, opnum, stub):
    """One request on a new bound connection; its Answer."""
    connection = RawConnection(port)
    try:
        return connection.call(opnum, stub)
    finally:
        connection.close()


def call_device(port, opnum, code=2, printer="OFFICE", in_data=None, cbInData=0, cb_out=64,
                out_data=None, selector=0, stub_options=None):
    """One opnum 2 or 3 call on a connection of its own; cb_out None sends
    a null pcbOutData. The arrays default to patterns that show any change."""
    if in_data is None:
        in_data = bytes([selector]) + random.Random(1).randbytes(ARRAY_SIZE - 1)
    if out_data is None:
        out_data = random.Random(2).randbytes(ARRAY_SIZE)
    stub = device_stub(dwRequest=code, in_data=in_data, cbInData=cbInData, out_data=out_data,
                       cb_out=cb_out, printer_name=printer, **(stub_options or {})).bytes()
    return DeviceOutcome(call_once(port, opnum, stub), opnum, in_data, out_data, cb_out)


def call_command(port, opnum, command=1, param=0, printer="OFFICE", argument="", stub=None):
    """The one-octet result of opnum 0 or 1, or the fault status as a text."""
    if stub is None:
        stub = command_stub(dwCommand=command, dwParam=param, printer_name=printer,
                            argument=argument).bytes()
    answer = call_once(port, opnum, stub)
    if answer.is_response() and len(answer.stub) == 1:
        return answer.stub[0]
    if answer.is_fault():
        return "fault 0x%x" % answer.status
    return answer.describe()
