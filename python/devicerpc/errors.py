"""The failures a caller of the device RPC server has to tell apart.

Every error of this package derives from DeviceRpcError. A TransportError
means the call did not come back with an answer; the other three mean the
server answered, but not with a usable record.
"""

# Windows RPC status codes that callers (and the CLI's JSON) report.
RPC_S_SERVER_UNAVAILABLE = 1722
RPC_S_CALL_FAILED = 1726
RPC_S_CALL_CANCELLED = 1818
RPC_S_UNKNOWN_IF = 1717
RPC_S_PROCNUM_OUT_OF_RANGE = 1745
RPC_S_PROTOCOL_ERROR = 1728
RPC_S_SERVER_TOO_BUSY = 1723
RPC_X_BAD_STUB_DATA = 1783

# What a fault PDU carries (NCA statuses) and the Windows status a Windows
# client reports for it; any other fault status is reported unchanged.
_NCA_TO_WINDOWS = {
    0x1C010001: RPC_S_CALL_FAILED,           # nca_s_comm_failure
    0x1C010002: RPC_S_PROCNUM_OUT_OF_RANGE,  # nca_s_op_rng_error
    0x1C010003: RPC_S_UNKNOWN_IF,            # nca_s_unk_if
    0x1C01000B: RPC_S_PROTOCOL_ERROR,        # nca_s_proto_error
    0x1C010014: RPC_S_SERVER_TOO_BUSY,       # nca_s_server_too_busy
}

_STATUS_TEXT = {
    RPC_S_SERVER_UNAVAILABLE: "The RPC server is unavailable.",
    RPC_S_CALL_FAILED: "The remote procedure call failed.",
    RPC_S_CALL_CANCELLED: "The remote procedure call was cancelled.",
    RPC_S_UNKNOWN_IF: "The interface is unknown.",
    RPC_S_PROCNUM_OUT_OF_RANGE: "The procedure number is out of range.",
    RPC_S_PROTOCOL_ERROR: "An RPC protocol error occurred.",
    RPC_S_SERVER_TOO_BUSY: "The RPC server is too busy to complete this operation.",
    RPC_X_BAD_STUB_DATA: "The stub received bad data.",
}

# Statuses after which no server of this interface is there to answer:
# the CLI reports them as "unreachable", like the Windows client does.
_UNREACHABLE = {RPC_S_SERVER_UNAVAILABLE, RPC_S_CALL_FAILED, RPC_S_CALL_CANCELLED,
                RPC_S_UNKNOWN_IF, RPC_S_SERVER_TOO_BUSY}


def windows_status(fault_status):
    """The Windows RPC status of a fault PDU's status."""
    return _NCA_TO_WINDOWS.get(fault_status, fault_status)


def status_text(status):
    """A short description of a Windows RPC status."""
    return _STATUS_TEXT.get(status, "RPC status %d (0x%08x)" % (status, status))


class DeviceRpcError(Exception):
    """Base of every error raised by this package."""


class TransportError(DeviceRpcError):
    """The call did not come back with an answer.

    `status` is the Windows RPC status that describes it (1722 when the
    server could not be reached, 1726 when the connection failed during the
    call, 1818 on a time-out, the fault's status for a fault PDU).
    """

    def __init__(self, message, status):
        super().__init__(message)
        self.status = status

    @property
    def reachable(self):
        """False when no server of the interface answered at all."""
        return self.status not in _UNREACHABLE


class Unreachable(TransportError):
    """No connection or no binding to the interface could be made."""


class ConnectionFailed(TransportError):
    """The connection broke, timed out or carried something unreadable."""


class RpcFault(TransportError):
    """The server's runtime answered the call with a fault PDU.

    `fault_status` is the status as the fault PDU carries it.
    """

    def __init__(self, fault_status):
        status = windows_status(fault_status)
        super().__init__("RPC fault 0x%08x: %s" % (fault_status, status_text(status)), status)
        self.fault_status = fault_status


class RequestFailed(DeviceRpcError):
    """The server answered FALSE (opnums 0 to 2).

    `reply` is the decoded response (None for the command procedures).
    """

    def __init__(self, opnum, reply=None):
        super().__init__("the server answered FALSE (opnum %d)" % opnum)
        self.opnum = opnum
        self.reply = reply


class MappedRequestError(DeviceRpcError):
    """RpcDeviceRequestMapped (opnum 3) returned a Windows error code."""

    def __init__(self, code, reply):
        super().__init__("the mapped request failed with Windows error %d (%s)"
                         % (code, windows_error_text(code)))
        self.code = code
        self.reply = reply


class MalformedReply(DeviceRpcError):
    """What came back does not have the shape it must have: a response stub
    of the wrong length or layout, or a reply record of the wrong length or
    layout. Nothing of it is presented as valid. `reply` is the decoded
    response when the response itself was sound."""

    def __init__(self, message, reply=None):
        super().__init__(message)
        self.reply = reply


# Texts of the Windows error codes that the server and its language monitor
# return most; the others are shown by number.
_WINDOWS_ERRORS = {
    0: "success",
    1: "Incorrect function.",
    5: "Access is denied.",
    6: "The handle is invalid.",
    8: "Not enough memory resources are available to process this command.",
    31: "A device attached to the system is not functioning.",
    50: "The request is not supported.",
    87: "The parameter is incorrect.",
    122: "The data area passed to a system call is too small.",
    1168: "Element not found.",
    1460: "This operation returned because the timeout period expired.",
    1801: "The printer name is invalid.",
}


def windows_error_text(code):
    """The text of a Windows error code, or "error N"."""
    return _WINDOWS_ERRORS.get(code, "error %d" % code)
