"""Storm cases below the stub: a request whose PDUs break a rule of the
connection-oriented protocol, a broken bind or alter-context, and a
connection that ends at an awkward moment. Each takes the case's random
generator and `valid(call_id)`, which gives the fragments of a
well-formed request, and returns (kind, PDUs).
"""
import struct

from devicerpc.ndr import DREP_LITTLE_ENDIAN

from ..pdus import (DEVICERPC_CONTEXT, FRAGMENT, INTERFACE_UUID, NDR64_UUID, NDR_UUID,
                    PFC_OBJECT_UUID, PTYPE_ALTER_CONTEXT, PTYPE_AUTH3, PTYPE_BIND_ACK,
                    PTYPE_BIND_NAK, PTYPE_CANCEL, PTYPE_FAULT, PTYPE_ORPHANED, PTYPE_RESPONSE,
                    PTYPE_SHUTDOWN, bind_pdu, pdu)


def _frag_length(rng, pdu_bytes):
    """The fragment length off by a little, a lot, or below any header."""
    length = struct.unpack_from("<H", pdu_bytes, 8)[0]
    new = rng.choice([0, 1, 15, 16, 23, 24, length - 1, length + 1, length + 100, 0xFFFF])
    struct.pack_into("<H", pdu_bytes, 8, max(0, min(new, 0xFFFF)))


def _object_flag(rng, pdu_bytes):
    """Announces an object UUID that the header does not carry."""
    pdu_bytes[3] |= PFC_OBJECT_UUID


# Header field -> how it is damaged (in place).
HEADER_DAMAGE = {
    "vers": lambda rng, p: p.__setitem__(0, rng.choice([0, 4, 6, 255])),
    "minor": lambda rng, p: p.__setitem__(1, rng.choice([1, 2, 255])),
    "ptype": lambda rng, p: p.__setitem__(2, rng.choice([1, 2, 3, 4, 9, 12, 13, 15, 20, 255])),
    "flags": lambda rng, p: p.__setitem__(3, rng.randrange(256)),
    "drep": lambda rng, p: p.__setitem__(slice(4, 8), bytes(
        [rng.choice([0x01, 0x11, 0x20, 0xFF]), rng.randrange(4), 0, 0])),
    "frag_length": _frag_length,
    "auth_length": lambda rng, p: struct.pack_into("<H", p, 10, rng.choice([1, 8, 16, 0x100, 0xFFFF])),
    "call_id": lambda rng, p: struct.pack_into("<I", p, 12, rng.choice([0, 1, 3, 0xFFFFFFFF])),
    "alloc_hint": lambda rng, p: struct.pack_into("<I", p, 16, rng.choice([0, 1, 0x7FFFFFFF,
                                                                          0xFFFFFFFF])),
    "context": lambda rng, p: struct.pack_into("<H", p, 20, rng.choice([1, 2, 0xFFFF])),
    "opnum": lambda rng, p: struct.pack_into("<H", p, 22, rng.choice([1, 2, 3, 0])),
    "object": _object_flag,
}

OTHER_PTYPES = [PTYPE_RESPONSE, PTYPE_FAULT, PTYPE_BIND_ACK, PTYPE_BIND_NAK, PTYPE_AUTH3,
                PTYPE_SHUTDOWN, PTYPE_CANCEL, PTYPE_ORPHANED, 1, 4, 9, 20, 200]


def _interleave(rng, pdus, others):
    """The fragments of two requests mixed, each in its own order."""
    merged = []
    while pdus or others:
        source = pdus if (pdus and (not others or rng.random() < 0.5)) else others
        merged.append(source.pop(0))
    return merged


def _random_pdu(rng):
    """Random octets behind a plausible header of a random type."""
    length = rng.randrange(16, 6000)
    data = bytearray(rng.randbytes(length))
    struct.pack_into("<BBBBLH", data, 0, 5, 0, rng.randrange(20), rng.randrange(256),
                     DREP_LITTLE_ENDIAN, length)
    return data


def _reshape(rng, kind, pdus, target, valid):
    """The fragment sequence changed as a whole; (kind, fragments)."""
    if kind == "drop-first" and len(pdus) > 1:
        del pdus[0]
    elif kind == "drop-last" and len(pdus) > 1:
        del pdus[-1]
    elif kind == "duplicate":
        pdus.insert(target, bytearray(pdus[target]))
    elif kind == "reorder" and len(pdus) > 1:
        rng.shuffle(pdus)
    elif kind == "interleave":
        pdus = _interleave(rng, pdus, [bytearray(p) for p in valid(3)])
    elif kind == "random-pdu":
        pdus = [_random_pdu(rng)]
    elif kind == "other-ptype":
        ptype = rng.choice(OTHER_PTYPES)
        body = rng.randbytes(rng.choice([0, 4, 8, 24, 100]))
        pdus = [bytearray(pdu(ptype, body, 2))] + pdus
        kind = "other-ptype:%d" % ptype
    elif kind == "random-bytes":
        pdus = [bytearray(rng.randbytes(rng.randrange(1, 3000)))]
    return kind, pdus


def pdu_case(rng, valid):
    """A request whose PDUs break a rule of the connection-oriented protocol."""
    pdus = [bytearray(p) for p in valid(2)]
    kind = rng.choice(["header", "header", "header", "drop-first", "drop-last", "duplicate",
                       "reorder", "interleave", "random-pdu", "other-ptype", "random-bytes"])
    target = rng.randrange(len(pdus))
    if kind == "header":
        field = rng.choice(list(HEADER_DAMAGE))
        HEADER_DAMAGE[field](rng, pdus[target])
        kind = "header:" + field
    else:
        kind, pdus = _reshape(rng, kind, pdus, target, valid)
    return kind, [bytes(p) for p in pdus]


def _bind_contexts(rng, kind):
    """The presentation contexts and fragment sizes of a broken bind."""
    contexts, xmit, recv = [DEVICERPC_CONTEXT], FRAGMENT, FRAGMENT
    if kind == "interface":
        contexts = [(0, rng.randbytes(16), 1, 0, [(NDR_UUID, 2)])]
    elif kind == "version":
        contexts = [(0, INTERFACE_UUID, rng.choice([0, 2, 0xFFFF]), rng.choice([0, 1]),
                     [(NDR_UUID, 2)])]
    elif kind == "syntax":
        contexts = [(0, INTERFACE_UUID, 1, 0, [rng.choice([(NDR64_UUID, 1), (NDR_UUID, 1),
                                                         (rng.randbytes(16), 2)])])]
    elif kind == "no-contexts":
        contexts = []
    elif kind == "many-contexts":
        contexts = [(i, INTERFACE_UUID if i % 3 == 0 else rng.randbytes(16), 1, 0, [(NDR_UUID, 2)])
                    for i in range(rng.choice([2, 20, 200]))]
    elif kind == "no-syntaxes":
        contexts = [(0, INTERFACE_UUID, 1, 0, [])]
    elif kind == "frag-sizes":
        xmit, recv = rng.choice([(0, 0), (1, 1), (16, 16), (0xFFFF, 0xFFFF), (FRAGMENT, 0)])
    return contexts, xmit, recv


def _broken_bind(rng, kind):
    """The bind PDU of a bind case, damaged as its kind says."""
    contexts, xmit, recv = _bind_contexts(rng, kind)
    bind = bytearray(bind_pdu(1, xmit, recv, rng.choice([0, 0x12345]), contexts))
    if kind in ("many-contexts", "no-contexts"):
        # The count octet may also lie about what follows.
        if rng.random() < 0.5:
            bind[24] = rng.choice([0, 1, 255])
    if kind == "truncated":
        bind = bind[:rng.randrange(1, len(bind))]
    elif kind == "auth":
        verifier = struct.pack("<BBBBI", rng.choice([9, 10, 68, 255]), 2, 0, 0, 0) + rng.randbytes(16)
        bind += verifier
        struct.pack_into("<HH", bind, 8, len(bind), 16)
    return bytes(bind)


def bind_case(rng, valid):
    """A broken bind or alter-context, then a request on context 0."""
    kind = rng.choice(["interface", "version", "syntax", "no-contexts", "many-contexts",
                       "no-syntaxes", "frag-sizes", "truncated", "auth", "twice",
                       "alter-context", "no-bind"])
    bind = _broken_bind(rng, kind)
    if kind == "no-bind":
        pdus = []
    elif kind == "twice":
        pdus = [bind, bind]
    elif kind == "alter-context":
        context = (rng.choice([0, 1]), rng.choice([INTERFACE_UUID, rng.randbytes(16)]), 1, 0,
                   [(NDR_UUID, 2)])
        pdus = [bind_pdu(), bind_pdu(2, contexts=[context], ptype=PTYPE_ALTER_CONTEXT)]
    else:
        pdus = [bind]
    return kind, pdus + [bytes(p) for p in valid(5)]


def connection_case(rng, valid):
    """A connection that ends at an awkward moment."""
    kind = rng.choice(["connect-close", "part-header", "part-body", "part-request", "reset-in-call"])
    if kind == "connect-close":
        pdus = []
    elif kind == "part-header":
        pdus = [bind_pdu()[:rng.randrange(1, 16)]]
    elif kind == "part-body":
        pdus = [bind_pdu()[:rng.randrange(16, 72)]]
    else:
        joined = b"".join(valid(2))
        cut = len(joined) if kind == "reset-in-call" else rng.randrange(1, len(joined))
        pdus = [bind_pdu(), joined[:cut]]
    return kind, pdus
