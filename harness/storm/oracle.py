"""The oracle: whether an answer is right for the request it answers,
judged from the request alone.

The request is read by devicerpc.ndr.decode_request, a strict NDR 2.0
reader written from the interface contract: a stub it refuses must get
the fault RPC_X_BAD_STUB_DATA; one it accepts must get, with no monitor
window, exactly the answer the contract gives, and with MonitorSim an
answer that keeps every invariant (both arrays back, pInData unchanged,
pOutData changed only in the bytes the returned size covers, oversized
requests refused before anything is sent).
"""
from devicerpc.errors import MalformedReply
from devicerpc.ndr import ARRAY_SIZE, DREP_LITTLE_ENDIAN, MalformedStub, decode_request
from devicerpc.response import decode_device_response, encode_device_response

from ..calls import (ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER, MAX_NAME, RPC_X_BAD_STUB_DATA,
                     describe_difference)


def decoded(opnum, stub, drep):
    """The request as NDR 2.0 reads it, or None when it breaks a rule."""
    try:
        return decode_request(opnum, stub, drep)
    except MalformedStub:
        return None


def sizes_valid(request):
    """True when pcbOutData is there and both sizes fit the arrays."""
    return (request.referent != 0 and 0 <= request.cbInData <= ARRAY_SIZE
            and 0 <= request.cb_out <= ARRAY_SIZE)


def check_answer(opnum, request, answer, monitor):
    """None when `answer` is right for the decoded `request` (None: malformed),
    else a text saying what is wrong."""
    if answer.kind != "pdu":
        return "no answer: " + answer.describe()
    if request is None:
        if answer.is_fault(RPC_X_BAD_STUB_DATA):
            return None
        return "malformed request answered with " + answer.describe()
    if not answer.is_response():
        return "well-formed request answered with " + answer.describe()
    if answer.drep != DREP_LITTLE_ENDIAN:
        return "response labelled %08x" % answer.drep
    if opnum in (0, 1):
        return _check_command(answer.stub, monitor)
    if not monitor:
        expected = encode_device_response(opnum, request.in_data, request.out_data,
                                          request.referent, 0,
                                          ERROR_INVALID_HANDLE if opnum == 3 else 0)
        if answer.stub == expected:
            return None
        return "no-window answer differs: " + describe_difference(answer.stub, expected)
    return _check_device(opnum, request, answer.stub)


def _check_command(stub, monitor):
    """A command's one-octet boolean: FALSE without a window."""
    if monitor:
        return None if stub in (b"\x00", b"\x01") else "command result %s" % stub.hex()
    return None if stub == b"\x00" else "command result %s, no window" % stub.hex()


def _check_device(opnum, request, stub):
    """A device answer with MonitorSim running: the invariants."""
    try:
        got = decode_device_response(stub, opnum)
    except MalformedReply as error:
        return str(error)
    if got.in_data != request.in_data:
        return "pInData came back changed"
    if (got.referent != 0) != (request.referent != 0):
        return "referent %#x for %#x" % (got.referent, request.referent)
    # Only a device request resolves the name into a 260-character buffer;
    # a mapped request carries a name of any length to the monitor.
    if not sizes_valid(request) or (opnum == 2 and request.name_length > MAX_NAME):
        return _check_refusal(opnum, request, got)
    return _check_served(opnum, request, got)


def _check_refusal(opnum, request, got):
    """A request refused before anything is sent: FALSE or 87, size and
    pOutData as sent."""
    expected = (0, ERROR_INVALID_PARAMETER)[opnum == 3]
    if (got.result, got.cb_out, got.out_data) != (expected, request.cb_out, request.out_data):
        return "refusal answered %r size %r (sent %r), pOutData %s" % (
            got.result, got.cb_out, request.cb_out,
            "same" if got.out_data == request.out_data else "changed")
    return None


def _check_served(opnum, request, got):
    """A request the monitor handled: a success covers its size only, a
    failure leaves pOutData alone and is never reported as 0."""
    if opnum == 2 and got.result not in (0, 1):
        return "boolean result %d" % got.result
    if got.result == (1 if opnum == 2 else 0):
        if not 0 <= got.cb_out <= ARRAY_SIZE:
            return "success with size %d" % got.cb_out
        if got.out_data[got.cb_out:] != request.out_data[got.cb_out:]:
            return "pOutData changed beyond the %d bytes of the reply" % got.cb_out
        return None
    if got.out_data != request.out_data:
        return "failure (%d) with pOutData changed" % got.result
    if opnum == 3 and got.result == 0:
        return "failure reported as 0"
    return None
