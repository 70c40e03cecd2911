"""A raw ncacn_ip_tcp connection: PDUs go out as given, and whatever comes
back is reported, including nothing.

    connection = RawConnection(port)           bound to DeviceRpc 1.0 (bind=False: not)
    connection.send(pdu_bytes)
    connection.receive_pdu(timeout) -> Answer  one PDU, or why none came
    connection.receive_reply(timeout)          a whole response (fragments joined) or fault
    connection.call(opnum, stub, drep)         a request in fragments, then its reply
    connection.close(reset=False)

An Answer's `kind` is "pdu", or "closed", "reset", "silent" (time-out) or
"bad-length" when no PDU came. For a response or fault it converts to the
client package's Reply (as_reply), which devicerpc.response decodes.
"""
import socket
import struct
from dataclasses import dataclass

from devicerpc.ndr import DREP_LITTLE_ENDIAN, byte_order
from devicerpc.response import Reply

from .pdus import (PFC_LAST, PTYPE_BIND_ACK, PTYPE_BIND_NAK, PTYPE_FAULT, PTYPE_RESPONSE,
                   bind_pdu, request_fragments)

HEADER_SIZE = 16
RESPONSE_HEADER_SIZE = 24


@dataclass
class Answer:
    """One PDU (or what ended the wait for one) as the client saw it."""
    kind: str                # "pdu", "closed", "reset", "silent", "bad-length", ...
    ptype: int = None
    call_id: int = None
    stub: bytes = b""        # a response's stub data; the body of other PDUs
    status: int = None       # a fault's status, in the byte order of its label
    drep: int = None         # the format label as a little-endian integer
    flags: int = 0

    def describe(self):
        """What came back, in a few words."""
        if self.kind != "pdu":
            return self.kind
        if self.ptype == PTYPE_FAULT:
            return "fault 0x%08x" % self.status
        if self.ptype == PTYPE_RESPONSE:
            return "response of %d octets" % len(self.stub)
        return "ptype %d" % self.ptype

    def label(self):
        """A short name for counting outcomes."""
        if self.kind != "pdu":
            return self.kind
        return {PTYPE_FAULT: "fault 0x%x" % (self.status or 0), PTYPE_RESPONSE: "response",
                PTYPE_BIND_ACK: "bind_ack", PTYPE_BIND_NAK: "bind_nak"}.get(
                    self.ptype, "ptype %d" % self.ptype)

    def is_response(self):
        """True for a response PDU (fragments joined)."""
        return self.kind == "pdu" and self.ptype == PTYPE_RESPONSE

    def is_fault(self, status=None):
        """True for a fault PDU (with that status, when one is given)."""
        return (self.kind == "pdu" and self.ptype == PTYPE_FAULT
                and (status is None or self.status == status))

    def as_reply(self):
        """The client package's Reply of a response or fault."""
        return Reply(self.ptype, self.drep, self.stub, self.status, self.call_id)


class RawConnection:
    """A raw ncacn_ip_tcp connection, bound to DeviceRpc 1.0 unless told not to.

    Every receive carries a time-out that only guards against a hang.
    """

    def __init__(self, port, bind=True, timeout=60, host="127.0.0.1"):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.timeout = timeout
        self.next_call = 2
        self.buffer = b""
        if bind:
            self.sock.sendall(bind_pdu())
            answer = self.receive_pdu()
            if answer.ptype != PTYPE_BIND_ACK:
                self.close()
                raise ConnectionError("bind refused: " + answer.describe())

    def close(self, reset=False):
        """Closes the socket; with `reset`, with a TCP reset."""
        try:
            if reset:
                self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.sock.close()
        except OSError:
            pass

    def send(self, data):
        """Sends octets as they are."""
        self.sock.sendall(data)

    def _fill(self, count, timeout):
        """Reads until the buffer holds `count` octets; EOFError at the end."""
        self.sock.settimeout(timeout)
        while len(self.buffer) < count:
            # Acknowledge at once: delayed acknowledgements would cost every
            # large response tens of milliseconds.
            self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
            chunk = self.sock.recv(max(65536, count - len(self.buffer)))
            if not chunk:
                raise EOFError
            self.buffer += chunk

    def receive_pdu(self, timeout=None):
        """The next whole PDU, or why none came."""
        timeout = self.timeout if timeout is None else timeout
        try:
            self._fill(HEADER_SIZE, timeout)
            frag_length = struct.unpack_from("<H", self.buffer, 8)[0]
            if frag_length < HEADER_SIZE:
                return Answer("bad-length")
            self._fill(frag_length, timeout)
        except EOFError:
            return Answer("closed")
        except socket.timeout:
            return Answer("silent")
        except (ConnectionResetError, BrokenPipeError):
            return Answer("reset")
        pdu, self.buffer = self.buffer[:frag_length], self.buffer[frag_length:]
        return _answer_of(pdu, frag_length)

    def receive_reply(self, timeout=None):
        """A whole response (fragments joined) or a fault, or why none came."""
        stub = b""
        while True:
            answer = self.receive_pdu(timeout)
            if not answer.is_response():
                return answer
            stub += answer.stub
            if answer.flags & PFC_LAST:
                return Answer("pdu", PTYPE_RESPONSE, answer.call_id, stub, drep=answer.drep,
                              flags=answer.flags)

    def call(self, opnum, stub, drep=DREP_LITTLE_ENDIAN, timeout=None):
        """Sends one request (in fragments of the largest size) and reads its reply."""
        call_id = self.next_call
        self.next_call += 1
        self.send(b"".join(request_fragments(stub, opnum, call_id, drep=drep)))
        return self.receive_reply(timeout)


def _answer_of(pdu, frag_length):
    """The Answer of one whole PDU. The connection header is little-endian;
    a fault's status follows the PDU's label."""
    ptype, flags = pdu[2], pdu[3]
    drep, auth_length, call_id = struct.unpack_from("<L2xHL", pdu, 4)
    if ptype == PTYPE_FAULT:
        status = struct.unpack_from(byte_order(drep) + "L", pdu, RESPONSE_HEADER_SIZE)[0]
        return Answer("pdu", ptype, call_id, status=status, drep=drep, flags=flags)
    if ptype != PTYPE_RESPONSE:
        return Answer("pdu", ptype, call_id, stub=pdu[HEADER_SIZE:], drep=drep, flags=flags)
    end = frag_length - (auth_length + 8 if auth_length else 0)
    return Answer("pdu", ptype, call_id, stub=pdu[RESPONSE_HEADER_SIZE:end], drep=drep, flags=flags)
