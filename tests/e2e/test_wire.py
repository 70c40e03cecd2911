"""DeviceRpc on the wire, against an independent DCE/RPC peer.

The server runs with no language monitor (no "LP Window handle"), so every
call has a fixed answer: opnums 0 and 1 return FALSE; opnum 2 returns FALSE
and opnum 3 returns 6 (ERROR_INVALID_HANDLE), both with the long behind a
non-null pcbOutData set to 0 and both arrays sent back unchanged. Against
those answers the tests check the exact response layouts, the NDR rules the
server must enforce on requests, big-endian requests and the opnum range.

Requests are encoded by Impacket's NDR types for reference calls and by
the client package's stub writer (devicerpc.ndr) for everything a
generated client would never send; Impacket makes the connection and the
bind. All calls go over ncacn_ip_tcp, the one transport reachable from
outside the Wine prefix.

One server serves the whole module (starting one per test costs seconds
each); each test opens its own connection. Tests that need a language
monitor belong in a module of their own with the per-test fixtures, since
those fixtures stop every process of the prefix.
"""
import pytest
from devicerpc.ndr import command_stub, device_stub
from devicerpc.response import decode_command_response, decode_device_response
from devicerpc.transport import Connection
from harness.controller import ModuleServer
from harness.reference import impacket_command, impacket_device, pattern

ARRAY_SIZE = 32768
OPNUM_DEVICE_REQUEST_MAPPED = 3
COMMAND_OPNUMS = (0, 1)
DEVICE_OPNUMS = (2, 3)
ALL_OPNUMS = COMMAND_OPNUMS + DEVICE_OPNUMS
# The NDR format label as a little-endian integer: integers little-endian
# (high nibble of the first octet 1) or big-endian (0).
DREP_LITTLE_ENDIAN, DREP_BIG_ENDIAN = 0x10, 0x00
PTYPE_RESPONSE, PTYPE_FAULT = 2, 3
# Fault statuses as they travel in a fault PDU.
RPC_X_BAD_STUB_DATA = 0x000006F7
NCA_S_OP_RNG_ERROR = 0x1C010002
ERROR_INVALID_HANDLE = 6
NO_WINDOW_RESULT = {0: 0, 1: 0, 2: 0, 3: ERROR_INVALID_HANDLE}


# -- server and connections ----------------------------------------------------

class _ModuleServer(ModuleServer):
    """One listening server for this module, started again if a test ended it."""

    def port(self):
        ports = self.prefix.listening_tcp_ports()
        if not ports:
            self.start()
            ports = self.prefix.listening_tcp_ports()
        assert len(ports) == 1, "expected one TCP endpoint, found %s" % ports
        return ports[0]

    def terminate(self):
        """Signals TERMINATE and returns the controller's line about the exit
        ("exit code 0" after a clean one); the next test gets a new server."""
        self.controller.send("terminate")
        answer = self.controller.send("wait-exit 30000")
        self.stop()
        return answer


@pytest.fixture(scope="module")
def module_server(prefix_path):
    server = _ModuleServer(prefix_path)
    server.start()
    yield server
    server.stop()


@pytest.fixture
def connect(module_server):
    """Opens bound connections to the server; all are closed after the test."""
    peers = []

    def open_peer():
        # The connection stays after a fault: the tests check what the
        # server does on it next.
        peer = Connection("127.0.0.1", module_server.port(), timeout=60, keep_after_fault=True)
        peer.open()
        peers.append(peer)
        return peer

    yield open_peer
    for peer in peers:
        peer.close()


# -- expected answers ------------------------------------------------------------

def assert_same_octets(name, got, sent):
    assert len(got) == len(sent), "%s: %d octets back, %d sent" % (name, len(got), len(sent))
    if got != sent:
        at = next(i for i in range(len(sent)) if got[i] != sent[i])
        count = sum(1 for a, b in zip(got, sent) if a != b)
        pytest.fail("%s: %d octets differ, first at %d: sent %s, got %s"
                    % (name, count, at, sent[at:at + 8].hex(), got[at:at + 8].hex()))


def assert_no_window_answer(reply, opnum, in_data=None, out_data=None, null_out_size=False):
    """The answer of a call that found no monitor window, field by field."""
    assert reply.ptype == PTYPE_RESPONSE, reply.describe()
    if opnum in COMMAND_OPNUMS:
        assert decode_command_response(reply.stub) == 0
        return
    got = decode_device_response(reply.stub, opnum, reply.order)
    assert got.result == NO_WINDOW_RESULT[opnum]
    if null_out_size:
        assert got.referent == 0, "null pcbOutData came back with referent 0x%08x" % got.referent
    else:
        assert got.referent != 0, "non-null pcbOutData came back null"
        assert got.cb_out == 0
    assert_same_octets("pInData", got.in_data, in_data)
    assert_same_octets("pOutData", got.out_data, out_data)


def expected_device_length(opnum, null_out_size):
    """Stub length of a device response: two arrays with their conformance,
    the referent, the long behind it, then the result."""
    length = 2 * (4 + ARRAY_SIZE) + 4 + (0 if null_out_size else 4)
    return length + (4 if opnum == OPNUM_DEVICE_REQUEST_MAPPED else 1)


# A well-formed hand-built request per opnum, the base that the malformed
# cases break one rule of, and the follow-up call that shows the server
# still serves after a fault.
BASE_IN = pattern(101)
BASE_OUT = pattern(202)


def base_stub(opnum, **overrides):
    if opnum in COMMAND_OPNUMS:
        fields = dict(dwCommand=7, dwParam=-3, printer_name="ab", argument="xyz")
        fields.update(overrides)
        return command_stub(**fields)
    fields = dict(dwRequest=2, in_data=BASE_IN, cbInData=16, out_data=BASE_OUT, cb_out=64,
                  printer_name="ab", reserved="xyz")
    fields.update(overrides)
    return device_stub(**fields)


def assert_base_answer(reply, opnum, null_out_size=False):
    assert_no_window_answer(reply, opnum, BASE_IN, BASE_OUT, null_out_size)


def second_string(opnum):
    """The base_stub option that shapes the last string of an opnum."""
    return "argument_options" if opnum in COMMAND_OPNUMS else "reserved_options"


# -- well-formed calls -------------------------------------------------------------

class TestCommandResponses:
    """Opnums 0 and 1 from Impacket's encoding: the response is the one-octet
    FALSE and nothing else, whatever the values and strings."""

    @pytest.mark.parametrize("opnum", COMMAND_OPNUMS)
    @pytest.mark.parametrize("dwCommand, dwParam, printer_name, argument", [
        pytest.param(0, 0, "Printer", "", id="plain"),
        pytest.param(-1, 0x7FFFFFFF, "", "", id="empty-strings-extreme-values"),
        pytest.param(5, 6, "ab", "xyz", id="odd-lengths-padded"),
        pytest.param(1, 2, "\\\\host\\Shared Printer", "an argument", id="unc-name"),
        pytest.param(3, 4, "Imprimante \u00e9\u00fc\u20ac\u4e2d", "\u00df", id="non-ascii"),
        pytest.param(8, 9, "P" * 700, "A" * 700, id="long-strings"),
    ])
    def test_answer_is_false(self, connect, opnum, dwCommand, dwParam, printer_name, argument):
        reply = connect().call(opnum, impacket_command(dwCommand, dwParam, printer_name, argument))
        assert reply.ptype != PTYPE_FAULT, reply.describe()
        assert reply.stub == b"\x00"


class TestDeviceResponses:
    """Opnums 2 and 3 from Impacket's encoding: both arrays back in full and
    unchanged, the referent of pcbOutData (0 exactly when the request's was
    null) with the long set to 0 behind it, then FALSE for opnum 2 or 6 for
    opnum 3 as an aligned long."""

    @pytest.mark.parametrize("opnum", DEVICE_OPNUMS)
    @pytest.mark.parametrize("cbInData, cb_out", [
        pytest.param(0, None, id="null-pcbOutData"),
        pytest.param(16, None, id="null-pcbOutData-with-input"),
        pytest.param(0, 0, id="out-size-0"),
        pytest.param(32, 32768, id="out-size-full"),
        pytest.param(ARRAY_SIZE, 1, id="in-size-full"),
        pytest.param(-1, -1, id="negative-sizes"),
        pytest.param(0x7FFFFFFF, 0x7FFFFFFF, id="sizes-beyond-arrays"),
    ])
    def test_layout_and_echo(self, connect, opnum, cbInData, cb_out):
        in_data, out_data = pattern(opnum), pattern(opnum + 10)
        stub = impacket_device(2, in_data, cbInData, out_data, cb_out, "Printer", "")
        reply = connect().call(opnum, stub)
        assert reply.ptype != PTYPE_FAULT, reply.describe()
        assert len(reply.stub) == expected_device_length(opnum, cb_out is None)
        assert_no_window_answer(reply, opnum, in_data, out_data, null_out_size=cb_out is None)

    @pytest.mark.parametrize("opnum", DEVICE_OPNUMS)
    @pytest.mark.parametrize("fill", [0x00, 0xFF], ids=["zeros", "ones"])
    def test_uniform_arrays(self, connect, opnum, fill):
        in_data = bytes([fill]) * ARRAY_SIZE
        out_data = bytes([fill ^ 0xFF]) * ARRAY_SIZE
        reply = connect().call(opnum, impacket_device(9, in_data, 8, out_data, 8, "P", "r"))
        assert_no_window_answer(reply, opnum, in_data, out_data)

    @pytest.mark.parametrize("opnum", DEVICE_OPNUMS)
    def test_several_calls_on_one_connection(self, connect, opnum):
        peer = connect()
        for seed, cb_out in ((1, 4), (2, None), (3, 0)):
            in_data, out_data = pattern(seed), pattern(seed + 50)
            reply = peer.call(opnum, impacket_device(2, in_data, 4, out_data, cb_out, "P", ""))
            assert_no_window_answer(reply, opnum, in_data, out_data, null_out_size=cb_out is None)


class TestAcceptedEncodings:
    """Hand-built requests that use latitude NDR allows a sender: any padding
    octets, a maximum count above the actual count, any non-zero referent id,
    empty and surrogate-pair strings. Each gets the normal answer."""

    @pytest.mark.parametrize("opnum", ALL_OPNUMS)
    @pytest.mark.parametrize("variant", [
        pytest.param(lambda second: dict(), id="base"),
        pytest.param(lambda second: dict(pad_fill=0xAA), id="padding-nonzero"),
        pytest.param(lambda second: dict(name_options=dict(max_count=260)),
                     id="max-above-actual-first"),
        pytest.param(lambda second: {second: dict(max_count=260)}, id="max-above-actual-second"),
        pytest.param(lambda second: dict(printer_name=""), id="empty-first-string"),
        pytest.param(lambda second: {second: dict(units=[0xD83D, 0xDE00, 0x41, 0])},
                     id="surrogate-pair-second"),
    ])
    def test_normal_answer(self, connect, opnum, variant):
        reply = connect().call(opnum, base_stub(opnum, **variant(second_string(opnum))).bytes())
        assert reply.ptype != PTYPE_FAULT, reply.describe()
        assert_base_answer(reply, opnum)

    @pytest.mark.parametrize("opnum", DEVICE_OPNUMS)
    @pytest.mark.parametrize("referent", [1, 0x80000000, 0xFFFFFFFF])
    def test_any_nonzero_referent(self, connect, opnum, referent):
        reply = connect().call(opnum, base_stub(opnum, referent=referent).bytes())
        assert_base_answer(reply, opnum)


# -- malformed requests ----------------------------------------------------------------

def _huge_count(count):
    return dict(max_count=count, actual=count, units=[0])


def _string_faults():
    """Broken [string] wide strings, in the first and in the second string."""
    rules = [
        ("offset-1", lambda text: dict(offset=1)),
        ("actual-above-max", lambda text: dict(max_count=len(text))),
        ("no-terminator", lambda text: dict(terminated=False)),
        ("nul-not-last", lambda text: dict(units=[ord(text[0]), 0, ord(text[-1])])),
        ("no-units", lambda text: dict(units=[])),
        # Counts whose size in octets leaves 32 bits (or turns negative)
        # while the one unit sent makes a wrapped size look satisfied.
        ("count-2^30", lambda text: _huge_count(0x40000000)),
        ("count-2^31", lambda text: _huge_count(0x80000000)),
        ("count-2^31+1", lambda text: _huge_count(0x80000001)),
        ("count-2^32-1", lambda text: _huge_count(0xFFFFFFFF)),
    ]
    for opnum in ALL_OPNUMS:
        strings = (("first", "name_options", "ab"), ("second", second_string(opnum), "xyz"))
        for position, option, text in strings:
            for rule, make in rules:
                stub = base_stub(opnum, **{option: make(text)}).bytes()
                yield pytest.param(opnum, stub, id="op%d-%s-string-%s" % (opnum, position, rule))
        # The last string claiming one unit more than the request holds
        # ("xyz" and its terminator are 4 units).
        stub = base_stub(opnum, **{second_string(opnum): dict(actual=5, max_count=5)}).bytes()
        yield pytest.param(opnum, stub, id="op%d-second-string-past-end" % opnum)


def _array_faults():
    """Array conformance other than 32768, in either array."""
    for opnum in DEVICE_OPNUMS:
        for array in ("in", "out"):
            for conformance in (0, 1, 32767, 32769, 65536, 0x00800000, 0xFFFF8000, 0xFFFFFFFF):
                stub = base_stub(opnum, **{array + "_conformance": conformance}).bytes()
                yield pytest.param(opnum, stub, id="op%d-%s-conformance-%#x" % (opnum, array, conformance))


COMMAND_CUTS = [("dwCommand", 0), ("dwCommand", 2), ("dwParam", 0), ("pszPrinterName", 0),
                ("pszPrinterName", 6), ("pszPrinterName.chars", 3), ("pszArgument", -1),
                ("pszArgument", 0), ("pszArgument", 10), ("pszArgument.chars", 4), ("end", -1)]
DEVICE_CUTS = [("dwRequest", 0), ("dwRequest", 2), ("pInData", 3), ("pInData.data", 0),
               ("pInData.data", ARRAY_SIZE - 1), ("cbInData", 1), ("pOutData", 0),
               ("pOutData.data", 1000), ("pcbOutData", 0), ("pcbOutData", 3), ("*pcbOutData", 0),
               ("*pcbOutData", 2), ("pszPrinterName", 0), ("pszPrinterName", 8),
               ("pszPrinterName.chars", 1), ("pszReserved", -1), ("pszReserved", 0),
               ("pszReserved.chars", 2), ("end", -1)]
NULL_POINTER_CUTS = [("pszPrinterName", 0), ("pszPrinterName", 4), ("end", -1)]


def _truncations():
    """Requests cut short at a field boundary or inside a field."""
    bases = [(opnum, "", base_stub(opnum), COMMAND_CUTS) for opnum in COMMAND_OPNUMS]
    for opnum in DEVICE_OPNUMS:
        bases.append((opnum, "", base_stub(opnum), DEVICE_CUTS))
        bases.append((opnum, "-null", base_stub(opnum, cb_out=None), NULL_POINTER_CUTS))
    for opnum, tag, stub, points in bases:
        data = stub.bytes()
        for field, delta in points:
            yield pytest.param(opnum, data[:stub.marks[field] + delta],
                               id="op%d%s-cut-at-%s%+d" % (opnum, tag, field, delta))


class TestMalformedRequests:
    """Every request that breaks an NDR rule of the contract gets the fault
    RPC_X_BAD_STUB_DATA, and the same connection then serves a correct call
    of the same opnum with its normal answer."""

    @pytest.mark.parametrize("opnum, stub", [*_string_faults(), *_array_faults(), *_truncations()])
    def test_fault_then_still_serving(self, connect, opnum, stub):
        peer = connect()
        reply = peer.call(opnum, stub)
        assert reply.ptype == PTYPE_FAULT, "accepted: " + reply.describe()
        assert reply.status == RPC_X_BAD_STUB_DATA, reply.describe()
        assert_base_answer(peer.call(opnum, base_stub(opnum).bytes()), opnum)

    def test_base_requests_are_well_formed(self, connect):
        # The unbroken bases of the cases above, with and without a null
        # pcbOutData, are accepted: each case differs from one in one rule.
        peer = connect()
        for opnum in ALL_OPNUMS:
            assert_base_answer(peer.call(opnum, base_stub(opnum).bytes()), opnum)
        for opnum in DEVICE_OPNUMS:
            assert_base_answer(peer.call(opnum, base_stub(opnum, cb_out=None).bytes()), opnum,
                               null_out_size=True)


# -- byte order ----------------------------------------------------------------------

class TestBigEndianRequests:
    """A request whose format label names big-endian integers is decoded in
    that order, and the response is readable in the order its own label names.
    The label and the stub data must agree: a mismatch is malformed data."""

    @pytest.mark.parametrize("opnum, null_out_size", [
        (0, False), (1, False), (2, False), (2, True), (3, False), (3, True)])
    def test_decoded_and_answered(self, connect, opnum, null_out_size):
        # Only the label and the stub data change: the connection header
        # stays little-endian, which is how the runtime under test reads it.
        overrides = dict(order=">")
        if null_out_size:
            overrides["cb_out"] = None
        peer = connect()
        reply = peer.call(opnum, base_stub(opnum, **overrides).bytes(), drep=DREP_BIG_ENDIAN)
        assert reply.ptype != PTYPE_FAULT, reply.describe()
        assert_base_answer(reply, opnum, null_out_size)
        # The connection goes on serving little-endian calls.
        assert_base_answer(peer.call(opnum, base_stub(opnum).bytes()), opnum)

    @pytest.mark.parametrize("opnum", [0, 2])
    @pytest.mark.parametrize("order, drep", [(">", DREP_LITTLE_ENDIAN), ("<", DREP_BIG_ENDIAN)],
                             ids=["big-endian-data-labelled-little", "little-endian-data-labelled-big"])
    def test_label_mismatch_is_a_fault(self, connect, opnum, order, drep):
        reply = connect().call(opnum, base_stub(opnum, order=order).bytes(), drep=drep)
        assert reply.ptype == PTYPE_FAULT, "accepted: " + reply.describe()
        assert reply.status == RPC_X_BAD_STUB_DATA, reply.describe()


# -- opnum range -------------------------------------------------------------------------

class TestOpnumRange:
    """Opnums past the four procedures are refused by the runtime with
    nca_s_op_rng_error; the server goes on serving new connections and still
    ends cleanly on TERMINATE (so nothing went wrong in it after the fault)."""

    @pytest.mark.parametrize("opnum", [4, 5, 0x8000, 0xFFFF])
    def test_rejected(self, connect, module_server, opnum):
        # A fresh connection for the probe and another for the check: the
        # runtime's state on a connection after this fault is not reliable.
        reply = connect().call(opnum, base_stub(0).bytes())
        assert reply.ptype == PTYPE_FAULT, "accepted: " + reply.describe()
        assert reply.status == NCA_S_OP_RNG_ERROR, reply.describe()
        assert_base_answer(connect().call(0, base_stub(0).bytes()), 0)
        assert module_server.terminate() == "exit code 0"
