"""The client: every procedure of DeviceRpc with typed results.

    with Client("printsrv", 49703, timeout=10) as client:
        config = client.config("OFFICE")             # opnum 2
        level = client.bins("OFFICE", mapped=True)   # opnum 3
        pages = client.counter("OFFICE", "mono").value

Typed requests raise RequestFailed when the server answers FALSE,
MappedRequestError with opnum 3's Windows error code, MalformedReply when
the reply does not have its record's shape, and a TransportError when the
call did not come back. `raw_request` returns whatever came back.
"""
from dataclasses import dataclass

from .errors import MalformedReply, MappedRequestError, RequestFailed, Unreachable
from .ndr import (ARRAY_SIZE, OPNUM_DEVICE_REQUEST, OPNUM_DEVICE_REQUEST_MAPPED,
                  OPNUM_SEND_COMMAND, OPNUM_SEND_COMMAND2, encode_command, encode_device_request)
from .records import (DEVREQ_BIN_INFO, DEVREQ_BIN_INFO_WRITE, DEVREQ_CALIBRATION, DEVREQ_CONFIG,
                      DEVREQ_COUNTER, DEVREQ_FLASH_DATA, DEVREQ_FLASH_DATA_WRITE,
                      SELECTOR_SERVICE_SETTINGS, counter_selector, decode_record)
from .response import (PTYPE_FAULT, check_response, decode_command_response,
                       decode_device_response)
from .transport import DEFAULT_TIMEOUT, EPM_PORT, Connection, resolve_port

NCA_S_UNK_IF = 0x1C010003
WRITE_REQUESTS = (DEVREQ_BIN_INFO_WRITE, DEVREQ_FLASH_DATA_WRITE)


@dataclass(frozen=True)
class CommandResult:
    """The monitor's verdict on a command: returned only when it is TRUE."""
    opnum: int
    result: bool = True


@dataclass(frozen=True)
class WriteResult:
    """A write request the server reported done. `output_size` is what
    came back behind pcbOutData (opnum 2 leaves it as it was sent)."""
    opnum: int
    request: int
    output_size: int


def output_bytes(response):
    """The reply bytes of a response: the first output-size bytes of
    pOutData. MalformedReply when the size cannot be the size of a reply."""
    size = response.cb_out
    if size is None or not 0 <= size <= ARRAY_SIZE:
        raise MalformedReply("output size %s is not the length of a reply" % size, response)
    return response.out_data[:size]


def check_succeeded(response):
    """Raises RequestFailed or MappedRequestError for a failed request."""
    if response.succeeded:
        return
    if response.opnum == OPNUM_DEVICE_REQUEST_MAPPED:
        raise MappedRequestError(response.result, response)
    raise RequestFailed(response.opnum, response)


def decode_answer(response, request, selector):
    """The typed result of a device response: the record of an acquire
    request, a WriteResult of a write request. Raises as said above."""
    check_succeeded(response)
    if request in WRITE_REQUESTS:
        return WriteResult(response.opnum, request, response.cb_out)
    data = output_bytes(response)
    try:
        return decode_record(request, selector, data)
    except MalformedReply as error:
        error.reply = response
        raise


class Client:
    """A DeviceRpc client over ncacn_ip_tcp. Without a port, the port is
    asked from the endpoint map of `host`. `timeout` (seconds) bounds
    every call unless a call names its own."""

    def __init__(self, host, port=None, timeout=DEFAULT_TIMEOUT, epm_port=EPM_PORT):
        self.host = host
        self.port = port
        self.timeout = timeout
        self.epm_port = epm_port
        self._connection = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """Closes the connection; a later call opens a new one."""
        if self._connection is not None:
            self._connection.close()

    def _link(self):
        """The connection, made on first use; without a port, the endpoint
        map is asked for it."""
        if self._connection is None:
            port = self.port
            if port is None:
                port = resolve_port(self.host, self.timeout, self.epm_port)
            self._connection = Connection(self.host, port, self.timeout)
        return self._connection

    def call(self, opnum, stub, drep=None, timeout=None):
        """Sends one request stub as it is; returns the Reply (response or
        fault). The layer the typed calls and any test harness build on."""
        connection = self._link()
        try:
            if drep is None:
                return connection.call(opnum, stub, timeout=timeout)
            return connection.call(opnum, stub, drep, timeout)
        except Unreachable:
            if self.port is None:
                # The server may have started again on another port: ask
                # the endpoint map anew on the next call.
                self._connection = None
            raise

    # -- opnums 0 and 1 ----------------------------------------------------------

    def _command(self, opnum, command, param, printer, argument, timeout):
        """Opnum 0 or 1; a CommandResult, or RequestFailed on FALSE."""
        reply = self.call(opnum, encode_command(command, param, printer, argument), timeout=timeout)
        check_response(reply)
        if not decode_command_response(reply.stub):
            raise RequestFailed(opnum)
        return CommandResult(opnum)

    def send_command(self, command, param, printer, argument="", timeout=None):
        """RpcSendCommand (opnum 0); the server does not read `argument`."""
        return self._command(OPNUM_SEND_COMMAND, command, param, printer, argument, timeout)

    def send_command2(self, command, param, printer, argument, timeout=None):
        """RpcSendCommand2 (opnum 1)."""
        return self._command(OPNUM_SEND_COMMAND2, command, param, printer, argument, timeout)

    # -- opnums 2 and 3 ----------------------------------------------------------

    def raw_request(self, request, printer, in_data=b"", cb_in=None, cb_out=ARRAY_SIZE,
                    mapped=False, out_data=None, reserved="", timeout=None):
        """RpcDeviceRequest (opnum 2), or RpcDeviceRequestMapped (opnum 3)
        when `mapped`, with any request code. `cb_in` defaults to the
        length of `in_data`; `cb_out` None sends a null pcbOutData. Returns
        the DeviceResponse whatever its result; raises only when nothing
        usable came back."""
        opnum = OPNUM_DEVICE_REQUEST_MAPPED if mapped else OPNUM_DEVICE_REQUEST
        cb_in = len(in_data) if cb_in is None else cb_in
        stub = encode_device_request(request, in_data, cb_in, cb_out, printer, reserved, out_data)
        reply = self.call(opnum, stub, timeout=timeout)
        check_response(reply)
        return decode_device_response(reply.stub, opnum, reply.order)

    def _device(self, request, printer, in_data, mapped, timeout):
        """A typed device request: sends it and decodes its answer."""
        response = self.raw_request(request, printer, in_data, mapped=mapped, timeout=timeout)
        return decode_answer(response, request, in_data[0] if in_data else 0)

    def config(self, printer, mapped=False, timeout=None):
        """The ConfigReply: cassettes, duplex unit, firmware version."""
        return self._device(DEVREQ_CONFIG, printer, b"", mapped, timeout)

    def bins(self, printer, mapped=False, timeout=None):
        """The BinInfoReply of the three bins."""
        return self._device(DEVREQ_BIN_INFO, printer, b"", mapped, timeout)

    def calibration(self, printer, mapped=False, timeout=None):
        """The 60-byte calibration block."""
        return self._device(DEVREQ_CALIBRATION, printer, b"", mapped, timeout)

    def counter(self, printer, counter, mapped=False, timeout=None):
        """One page counter, by name (mono, color, black, cyan, magenta,
        yellow, io) or by selector byte."""
        selector = counter if isinstance(counter, int) else counter_selector(counter)
        return self._device(DEVREQ_COUNTER, printer, bytes([selector]), mapped, timeout)

    def flash(self, printer, selector, mapped=False, timeout=None):
        """Flash data by selector: a FlashData for 0 and 10, the
        ServiceSettings for 12, an EmptyReply for any other."""
        return self._device(DEVREQ_FLASH_DATA, printer, bytes([selector]), mapped, timeout)

    def service_settings(self, printer, mapped=False, timeout=None):
        """The 18-byte service settings block."""
        return self.flash(printer, SELECTOR_SERVICE_SETTINGS, mapped, timeout)

    def write_bins(self, printer, data, mapped=False, timeout=None):
        """Writes paper-source information: `data` is the whole input, as
        the language monitor expects it."""
        return self._device(DEVREQ_BIN_INFO_WRITE, printer, bytes(data), mapped, timeout)

    def write_flash(self, printer, selector, data, mapped=False, timeout=None):
        """Writes a flash item: the selector byte, then `data`."""
        return self._device(DEVREQ_FLASH_DATA_WRITE, printer, bytes([selector]) + bytes(data),
                            mapped, timeout)

    # -- the runtime ---------------------------------------------------------------

    def probe(self, timeout=None):
        """True when the server's runtime answers on the interface: an opnum
        the interface does not have must come back as a fault other than
        "unknown interface". Runs no procedure."""
        reply = self.call(4, b"\0" * 8, timeout=timeout)
        if reply.ptype == PTYPE_FAULT and reply.status == NCA_S_UNK_IF:
            raise Unreachable("the server does not offer DeviceRpc", 1717)
        return True
