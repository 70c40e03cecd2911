"""One ncacn_ip_tcp connection bound to DeviceRpc 1.0.

Impacket makes the connection, the bind and sends the (fragmented) request
PDUs. The answer is read here, PDU by PDU, from the connection's socket:
Impacket's own reader drops the status of a fault and the response's format
label, and it spins on a connection that the peer closed.

After anything but a clean answer (a time-out, a broken connection, a
fault) the connection is dropped, and the next call makes a new one: a late
answer to a call that timed out must never be taken for the answer to the
next call.
"""
import re
import socket

try:
    from impacket.dcerpc.v5 import epm, transport
    from impacket.dcerpc.v5.rpcrt import DCERPC_RawCall
    from impacket.uuid import uuidtup_to_bin
except ImportError as missing:
    # Say what to do: on Debian only the system Python sees the package.
    raise ImportError("devicerpc needs Impacket: install python3-impacket and run under "
                      "/usr/bin/python3 (or a venv made with --system-site-packages)") from missing

from .errors import (RPC_S_CALL_CANCELLED, RPC_S_CALL_FAILED, RPC_S_SERVER_UNAVAILABLE,
                     ConnectionFailed, Unreachable)
from .ndr import DREP_LITTLE_ENDIAN
from .response import PTYPE_FAULT, read_reply

INTERFACE = ("66c55168-0021-4e96-9a7c-5efefdaee407", "1.0")
EPM_PORT = 135
DEFAULT_TIMEOUT = 30.0


def _tune(sock, timeout):
    """No Nagle delay on the requests, and the socket's time-out."""
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    sock.settimeout(timeout)


def resolve_port(host, timeout=DEFAULT_TIMEOUT, epm_port=EPM_PORT):
    """The TCP port that the endpoint map on `host` gives for DeviceRpc.

    The server's TCP port is chosen anew at each start, so a client that
    is not told the port asks the endpoint map, as Windows clients do.
    """
    rpc_transport = transport.DCERPCTransportFactory("ncacn_ip_tcp:%s[%d]" % (host, epm_port))
    rpc_transport.set_connect_timeout(timeout)
    dce = rpc_transport.get_dce_rpc()
    try:
        dce.connect()
        _tune(rpc_transport.get_socket(), timeout)
        binding = epm.hept_map(host, uuidtup_to_bin(INTERFACE), protocol="ncacn_ip_tcp", dce=dce)
    except Exception as error:  # Impacket raises many kinds; all mean "no port"
        raise Unreachable("no TCP endpoint of DeviceRpc in the endpoint map of %s:%d: %s"
                          % (host, epm_port, error or type(error).__name__),
                          RPC_S_SERVER_UNAVAILABLE) from error
    finally:
        _disconnect(rpc_transport)
    match = re.search(r"\[(\d+)\]", str(binding))
    if not match:
        raise Unreachable("the endpoint map gave %r" % binding, RPC_S_SERVER_UNAVAILABLE)
    return int(match.group(1))


def _disconnect(rpc_transport):
    """Closes a transport, whatever state it is in."""
    try:
        rpc_transport.disconnect()
    except Exception:  # closing a socket that is already gone
        pass


class Connection:
    """A lazily made, bound connection; `call` sends one request stub.

    `keep_after_fault` keeps the connection after a fault, for a peer that
    checks what the server does on the same connection next.
    """

    def __init__(self, host, port, timeout=DEFAULT_TIMEOUT, keep_after_fault=False):
        self.host = host
        self.port = port
        self.timeout = timeout
        self.keep_after_fault = keep_after_fault
        self._transport = None
        self._dce = None
        self._socket = None

    def open(self):
        """Connects and binds, unless a bound connection is open."""
        if self._dce is not None:
            return
        binding = "ncacn_ip_tcp:%s[%d]" % (self.host, self.port)
        rpc_transport = transport.DCERPCTransportFactory(binding)
        rpc_transport.set_connect_timeout(self.timeout)
        dce = rpc_transport.get_dce_rpc()
        try:
            dce.connect()
            _tune(rpc_transport.get_socket(), self.timeout)
            dce.bind(uuidtup_to_bin(INTERFACE))
        except Exception as error:  # refused, timed out, closed or bind refused
            _disconnect(rpc_transport)
            raise Unreachable("could not reach DeviceRpc at %s:%d: %s"
                              % (self.host, self.port, error or type(error).__name__),
                              RPC_S_SERVER_UNAVAILABLE) from error
        self._transport, self._dce = rpc_transport, dce
        self._socket = rpc_transport.get_socket()

    def close(self):
        """Closes the connection; the next call connects again."""
        if self._transport is not None:
            _disconnect(self._transport)
        self._transport = self._dce = self._socket = None

    def call(self, opnum, stub, drep=DREP_LITTLE_ENDIAN, timeout=None):
        """Sends one request and returns its Reply (a response or a fault).

        `timeout` bounds every send and receive of the call. A fault, a
        time-out or a broken connection closes the connection.
        """
        self.open()
        request = DCERPC_RawCall(opnum, bytes(stub))
        request["representation"] = drep
        self._socket.settimeout(self.timeout if timeout is None else timeout)
        try:
            self._dce.send(request)
            # Not matched by call id: Wine's runtime answers every call with
            # id 1. One call at a time per connection, and a new connection
            # after a time-out, keep answers paired with their calls.
            reply = read_reply(self._receive_exact)
        except socket.timeout as error:
            self.close()
            raise ConnectionFailed("no answer within %s s" % (timeout or self.timeout),
                                   RPC_S_CALL_CANCELLED) from error
        except (OSError, EOFError) as error:
            self.close()
            raise ConnectionFailed("connection failed during the call: %s" % error,
                                   RPC_S_CALL_FAILED) from error
        except ConnectionFailed:
            self.close()
            raise
        if reply.ptype == PTYPE_FAULT and not self.keep_after_fault:
            # The runtime's state on a connection after a fault is not
            # reliable; the next call starts afresh.
            self.close()
        return reply

    def _receive_exact(self, count):
        """Exactly `count` octets from the socket; EOFError when the peer closes first."""
        data = b""
        while len(data) < count:
            # Acknowledge at once where the system allows it: a server that
            # sends its answer in small fragments with Nagle's algorithm on
            # waits for each acknowledgement, and a delayed one costs 40 ms.
            if hasattr(socket, "TCP_QUICKACK"):
                self._socket.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
            chunk = self._socket.recv(count - len(data))
            if not chunk:
                raise EOFError("connection closed after %d of %d octets" % (len(data), count))
            data += chunk
        return data
