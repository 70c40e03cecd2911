"""Raw DCE/RPC PDUs of the connection-oriented protocol, for sending as
they are or damaged: binds, alter-contexts, request fragments, any PDU
type. Binds and other PDUs are built with Impacket's classes (MSRPCHeader,
MSRPCBind); request fragments are packed in the layout of Impacket's
MSRPCRequestHeader directly, since a request in 64-octet fragments has
1,600 headers and the class costs about 70 us each.

    bind_pdu(call_id, xmit, recv, assoc, contexts, ptype)
    pdu(ptype, body, call_id, flags)              any PDU with a 16-octet header
    request_fragments(stub, opnum, call_id, fragment, drep, context)
    object_flag_without_uuid(stub, opnum)         a request whose last fragment
        announces an object UUID it does not carry (Wine's runtime dies on it)

The connection header is always little-endian: the runtime under test
reads it that way whatever the format label says.
"""
import struct
import uuid

from devicerpc.ndr import DREP_LITTLE_ENDIAN
from devicerpc.transport import INTERFACE
from impacket.dcerpc.v5.rpcrt import (MSRPC_ALTERCTX, MSRPC_AUTH3, MSRPC_BIND, MSRPC_BINDACK,
                                      MSRPC_BINDNAK, MSRPC_CO_CANCEL, MSRPC_FAULT, MSRPC_ORPHANED,
                                      MSRPC_REQUEST, MSRPC_RESPONSE, MSRPC_SHUTDOWN,
                                      PFC_FIRST_FRAG, PFC_LAST_FRAG, PFC_OBJECT_UUID, MSRPCBind,
                                      MSRPCHeader, MSRPCRequestHeader)
from impacket.structure import Structure

INTERFACE_UUID = uuid.UUID(INTERFACE[0]).bytes_le
NDR_UUID = uuid.UUID("8a885d04-1ceb-11c9-9fe8-08002b104860").bytes_le
NDR64_UUID = uuid.UUID("71710533-beba-4937-8319-b5dbef9ccc36").bytes_le

PTYPE_REQUEST, PTYPE_RESPONSE, PTYPE_FAULT = MSRPC_REQUEST, MSRPC_RESPONSE, MSRPC_FAULT
PTYPE_BIND, PTYPE_BIND_ACK, PTYPE_BIND_NAK = MSRPC_BIND, MSRPC_BINDACK, MSRPC_BINDNAK
PTYPE_ALTER_CONTEXT, PTYPE_AUTH3, PTYPE_SHUTDOWN = MSRPC_ALTERCTX, MSRPC_AUTH3, MSRPC_SHUTDOWN
PTYPE_CANCEL, PTYPE_ORPHANED = MSRPC_CO_CANCEL, MSRPC_ORPHANED
PFC_FIRST, PFC_LAST = PFC_FIRST_FRAG, PFC_LAST_FRAG

FRAGMENT = 5840        # the largest fragment the runtime under test accepts
REQUEST_HEADER_SIZE = 24
# version, minor version, type, flags, label, frag_length, auth_length,
# call id, alloc hint, context id, opnum: MSRPCRequestHeader's fields.
_REQUEST_HEADER = struct.Struct("<BBBBLHHLLHH")

# A bind's one presentation context for DeviceRpc 1.0 over NDR 2.0:
# (context id, abstract syntax, major, minor, [(transfer syntax, version)]).
DEVICERPC_CONTEXT = (0, INTERFACE_UUID, 1, 0, [(NDR_UUID, 2)])


class ContextItem(Structure):
    """A presentation context of a bind with any number of transfer
    syntaxes (Impacket's CtxItem holds exactly one)."""
    structure = (
        ("ContextID", "<H=0"),
        ("TransItems", "B=0"),
        ("Pad", "B=0"),
        ("AbstractSyntax", "20s=b''"),
        ("TransferSyntaxes", ":"),
    )


def context_item(context_id, abstract, major, minor, transfers):
    """One presentation context as a bind carries it."""
    item = ContextItem()
    item["ContextID"] = context_id
    item["TransItems"] = len(transfers)
    item["AbstractSyntax"] = abstract + struct.pack("<HH", major, minor)
    item["TransferSyntaxes"] = b"".join(syntax + struct.pack("<I", version)
                                        for syntax, version in transfers)
    return item


def pdu(ptype, body, call_id, flags=PFC_FIRST | PFC_LAST):
    """A PDU of any type with a 16-octet header and `body` behind it."""
    packet = MSRPCHeader()
    packet["type"] = ptype
    packet["flags"] = flags
    packet["call_id"] = call_id
    packet["frag_len"] = 16 + len(body)
    packet["pduData"] = body
    return packet.getData()


def bind_pdu(call_id=1, xmit=FRAGMENT, recv=FRAGMENT, assoc=0, contexts=None, ptype=PTYPE_BIND):
    """A bind (or alter-context) offering `contexts`; by default the one
    context of DeviceRpc 1.0 over NDR 2.0."""
    bind = MSRPCBind()
    bind["max_tfrag"], bind["max_rfrag"], bind["assoc_group"] = xmit, recv, assoc
    for context in [DEVICERPC_CONTEXT] if contexts is None else contexts:
        bind.addCtxItem(context_item(*context))
    return pdu(ptype, bind.getData(), call_id)


def request_fragments(stub, opnum, call_id, fragment=FRAGMENT, drep=DREP_LITTLE_ENDIAN, context=0):
    """The PDUs of one request of `stub` in fragments of at most
    `fragment` octets, as a list of bytes."""
    room = fragment - REQUEST_HEADER_SIZE
    pdus = []
    position = 0
    while True:
        chunk = stub[position:position + room]
        flags = (PFC_FIRST if position == 0 else 0) | (PFC_LAST if position + room >= len(stub) else 0)
        pdus.append(_REQUEST_HEADER.pack(5, 0, PTYPE_REQUEST, flags, drep,
                                         REQUEST_HEADER_SIZE + len(chunk), 0, call_id,
                                         len(stub) - position, context, opnum) + chunk)
        position += room
        if position >= len(stub):
            return pdus


def object_flag_without_uuid(stub, opnum, call_id=2):
    """A request in two fragments whose last one is flagged as carrying an
    object UUID (PFC_OBJECT_UUID) and holds just 16 stub octets: the
    runtime takes them for the UUID, which leaves that fragment no data."""
    pdus = []
    for flags, chunk in ((PFC_FIRST, stub[:-16]), (PFC_LAST | PFC_OBJECT_UUID, stub[-16:])):
        request = MSRPCRequestHeader()
        request["flags"] = flags
        request["call_id"] = call_id
        request["alloc_hint"] = len(stub)
        request["op_num"] = opnum
        request["pduData"] = chunk
        request["frag_len"] = REQUEST_HEADER_SIZE + len(chunk)  # no UUID octets behind the header
        pdus.append(request.getData())
    return pdus
