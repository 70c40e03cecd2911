"""The storm's cases: make_case(seed, index, monitor_names) gives the same
Case for the same pair. A case is a request stub that the oracle checks
(well-formed or damaged), or raw PDUs (see damage) whose answer is only
drained, or checked against one fault status.
"""
import random
import struct

from devicerpc.ndr import ARRAY_SIZE, DREP_BIG_ENDIAN, DREP_LITTLE_ENDIAN, command_stub, device_stub

from ..calls import MAX_NAME, NCA_S_OP_RNG_ERROR
from ..pdus import FRAGMENT, request_fragments
from . import damage

INTERESTING_LONGS = [0, 1, 2, 3, 4, 0x7F, 0x80, 0xFF, 0x100, 0x7FFF, 0x8000, 0x8001, 0xFFFF,
                     0x10000, 32767, 32768, 32769, 40000, 65536, 0x00800000, 0x3FFFFFFF,
                     0x40000000, 0x7FFFFFFE, 0x7FFFFFFF, 0x80000000, 0x80000001, 0xFFFF8000,
                     0xFFFFFFFB, 0xFFFFFFFE, 0xFFFFFFFF]
SIZES = [0, 1, 4, 16, 32, 260, 32767, 32768, 32769, 40000, -1, -5, 0x7FFFFFFF, -0x80000000]
REQUEST_CODES = [2, 3, 4, 5, 9, 11, 12, 0, 1, 7, 10, 13, -1, 0x7FFFFFFF]

# The sample printer's name and share name in several cases.
MONITOR_NAMES = ["Office Color 7", "OFFICE", "office", "OFFICE COLOR 7"]


class Case:
    """One thing sent to the server and what to expect of its answer."""

    def __init__(self, kind, **fields):
        self.kind = kind
        self.opnum = None       # with stub and drep: checked against the decoder
        self.stub = None
        self.drep = DREP_LITTLE_ENDIAN
        self.pdus = []          # raw PDUs for the other cases
        self.fresh = False      # sent on a connection that is not bound
        self.expect = None      # a fault status that must come back, if any
        self.__dict__.update(fields)

    @property
    def checked(self):
        """True for a request stub, whose answer the oracle judges."""
        return self.stub is not None


def random_name(rng, monitor_names):
    """A printer name: the monitor's, odd ones, long ones or random text."""
    choice = rng.random()
    if choice < 0.35 and monitor_names:
        return rng.choice(monitor_names)
    if choice < 0.5:
        return rng.choice(["", "P", "\\\\host\\share", "Imprimante \u00e9\u20ac\u4e2d", "a\\b\\c"])
    if choice < 0.65:
        return "N" * rng.choice([MAX_NAME - 1, MAX_NAME, MAX_NAME + 1, 300, 1000, 4000])
    length = rng.randrange(0, 40)
    return "".join(chr(rng.choice([rng.randrange(0x20, 0x7F), rng.randrange(0xA0, 0xD7FF)]))
                   for _ in range(length))


def _device_call(rng, name, order):
    """A well-formed stub of opnum 2 or 3 with random values."""
    in_data = bytes([rng.choice([0, 2, 3, 5, 10, 12, 255])]) + rng.randbytes(ARRAY_SIZE - 1)
    cb_out = None if rng.random() < 0.1 else rng.choice(SIZES + [rng.randrange(0, ARRAY_SIZE + 1)])
    return device_stub(dwRequest=rng.choice(REQUEST_CODES), in_data=in_data,
                       cbInData=rng.choice(SIZES + [rng.randrange(0, ARRAY_SIZE + 1)]),
                       out_data=rng.randbytes(ARRAY_SIZE), cb_out=cb_out, printer_name=name,
                       reserved=random_name(rng, []), order=order,
                       referent=rng.choice([0x20000, 1, 0xFFFFFFFF]),
                       pad_fill=rng.choice([0, 0xFF]))


def random_call(rng, monitor_names, opnum=None):
    """A well-formed request of a random opnum: (opnum, devicerpc Stub, label)."""
    opnum = rng.randrange(4) if opnum is None else opnum
    order = "<" if rng.random() < 0.8 else ">"
    name = random_name(rng, monitor_names)
    if opnum < 2:
        stub = command_stub(dwCommand=rng.choice([0, 1, 7, 13, -1, rng.getrandbits(32)]),
                            dwParam=rng.choice([0, 1, rng.getrandbits(32)]), printer_name=name,
                            argument=random_name(rng, []), order=order,
                            pad_fill=rng.choice([0, 0xAA]))
    else:
        stub = _device_call(rng, name, order)
    return opnum, stub, DREP_BIG_ENDIAN if order == ">" else DREP_LITTLE_ENDIAN


def _structural_positions(stub):
    """Offsets outside the two arrays' contents, where a change means most."""
    data_len = len(stub.data)
    if "pInData.data" not in stub.marks:
        return list(range(data_len))
    skip = [(stub.marks["pInData.data"], stub.marks["pInData.data"] + ARRAY_SIZE),
            (stub.marks["pOutData.data"], stub.marks["pOutData.data"] + ARRAY_SIZE)]
    positions = [p for p in range(min(data_len, 64))]
    positions += [p for p in range(skip[0][1], skip[1][0])]
    positions += [p for p in range(skip[1][1], data_len)]
    return [p for p in positions if not any(a <= p < b for a, b in skip)]


def _damage_long(rng, stub, data, longs):
    """One count or value replaced by an interesting long; the kind."""
    mark = rng.choice(longs)
    at = stub.marks[mark]
    if mark.startswith("psz"):
        at += 4 * rng.randrange(3)
    data[at:at + 4] = struct.pack(stub.order + "L", rng.choice(INTERESTING_LONGS))
    return "long:" + mark


def _damage_string_count(rng, stub, data, longs):
    """One of a string's three counts off by one or two; the kind."""
    mark = rng.choice([m for m in longs if m.startswith("psz")])
    at = stub.marks[mark] + 4 * rng.randrange(3)
    (value,) = struct.unpack_from(stub.order + "L", data, at)
    data[at:at + 4] = struct.pack(stub.order + "L", (value + rng.choice([-2, -1, 1, 2])) & 0xFFFFFFFF)
    return "string-count:" + mark


def _damage_octets(rng, stub, data, kind):
    """Octets changed, cut off, added, inserted or deleted."""
    if kind == "bytes":
        positions = _structural_positions(stub) if rng.random() < 0.7 else range(len(data))
        for _ in range(rng.randrange(1, 9)):
            data[rng.choice(positions)] = rng.randrange(256)
    elif kind == "truncate":
        del data[rng.randrange(len(data)):]
    elif kind == "extend":
        data += rng.randbytes(rng.randrange(1, 65))
    elif kind == "insert":
        at = rng.choice(_structural_positions(stub))
        data[at:at] = rng.randbytes(rng.randrange(1, 9))
    elif kind == "delete":
        at = rng.choice(_structural_positions(stub))
        del data[at:at + rng.randrange(1, 9)]


def mutate_stub(rng, stub):
    """A copy of the stub's bytes with one kind of damage; (kind, bytes)."""
    data = bytearray(stub.data)
    longs = [name for name in stub.marks if not name.endswith((".data", ".chars")) and name != "end"]
    kind = rng.choice(["long", "long", "string-count", "bytes", "bytes", "truncate", "extend",
                       "insert", "delete", "clean"])
    if kind == "long":
        kind = _damage_long(rng, stub, data, longs)
    elif kind == "string-count":
        kind = _damage_string_count(rng, stub, data, longs)
    else:
        _damage_octets(rng, stub, data, kind)
    return kind, bytes(data)


def _stub_case(rng, monitor_names, roll):
    """A checked case: a mutated, random or mislabelled stub."""
    if roll < 0.55:
        opnum, stub, drep = random_call(rng, monitor_names)
        kind, data = mutate_stub(rng, stub)
        if rng.random() < 0.1:
            # The stub of one opnum sent as another.
            opnum = rng.choice([o for o in range(4) if o != opnum])
            kind = "other-opnum:" + kind
        return Case("stub:" + kind, opnum=opnum, stub=data, drep=drep)
    if roll < 0.62:
        opnum = rng.randrange(4)
        length = rng.choice([rng.randrange(0, 64), rng.randrange(64, 2000),
                             rng.randrange(65536, 65800), rng.randrange(0, 70000)])
        return Case("stub:random", opnum=opnum, stub=rng.randbytes(length), drep=DREP_LITTLE_ENDIAN)
    # A label whose integer order does not match the data.
    opnum, stub, drep = random_call(rng, monitor_names)
    other = DREP_BIG_ENDIAN if drep == DREP_LITTLE_ENDIAN else DREP_LITTLE_ENDIAN
    return Case("stub:label-mismatch", opnum=opnum, stub=stub.bytes(), drep=other)


def make_case(seed, index, monitor_names):
    """Case `index` of the storm with `seed`; the same pair gives the same case."""
    rng = random.Random(seed * 1000003 + index)
    roll = rng.random()
    if roll < 0.65:
        return _stub_case(rng, monitor_names, roll)
    if roll < 0.68:
        opnum, stub, _ = random_call(rng, monitor_names)
        bad = rng.choice([4, 5, 100, 0x7FFF, 0x8000, 0xFFFF])
        return Case("pdu:opnum-range", pdus=request_fragments(stub.bytes(), bad, 2),
                    expect=NCA_S_OP_RNG_ERROR)
    valid = lambda call_id: _valid_fragments(rng, monitor_names, call_id)  # noqa: E731
    if roll < 0.82:
        kind, pdus = damage.pdu_case(rng, valid)
        return Case("pdu:" + kind, pdus=pdus)
    if roll < 0.93:
        kind, pdus = damage.bind_case(rng, valid)
        return Case("bind:" + kind, pdus=pdus, fresh=True)
    kind, pdus = damage.connection_case(rng, valid)
    return Case("connection:" + kind, pdus=pdus, fresh=True)


def _valid_fragments(rng, monitor_names, call_id=2):
    """A well-formed request in fragments of a random size."""
    opnum, stub, drep = random_call(rng, monitor_names)
    fragment = rng.choice([FRAGMENT, FRAGMENT, 1024, 300, 64])
    return request_fragments(stub.bytes(), opnum, call_id, fragment=fragment, drep=drep)

