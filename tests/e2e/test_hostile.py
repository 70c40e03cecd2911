"""Hostile values from the wire and from the registry, with a language
monitor (MonitorSim, sample printer) there to be reached.

Each case checks the exact answer on the wire: the result, the long behind
pcbOutData, both arrays (pInData always unchanged, pOutData changed only in
the bytes that the returned size covers) and, through MonitorSim's log,
whether anything was sent to the monitor at all. One server serves the
module; MonitorSim is started per test with the options the case needs,
and the device tree is cleared between tests.
"""
import random
import struct

import pytest
from devicerpc.ndr import command_stub, device_stub
from harness import calls, processes
from harness.calls import (CONFIG_RECORD, ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_HANDLE,
                           ERROR_INVALID_PARAMETER, MAX_NAME, RPC_X_BAD_STUB_DATA, call_command,
                           check_known_calls)
from harness.controller import ModuleServer
from harness.monitorsim import MonitorSim
from harness.prefix import DRIVERS_KEY, MONITORS_KEY, PRINTERS_KEY, STORE_ROOT
from harness.raw import RawConnection

ARRAY_SIZE = 32768
PTYPE_FAULT = 3
ERROR_INVALID_PRINTER_NAME = 1801
CONFIG = CONFIG_RECORD
FLASH_ID = struct.pack("<I", 0x1000)
FLASH_DATA = bytes.fromhex("4f46464943452d37")
HANDLE = "LP Window handle"
REFUSED = {2: 0, 3: ERROR_INVALID_PARAMETER}
NO_WINDOW = {2: 0, 3: ERROR_INVALID_HANDLE}


class _Server(ModuleServer):
    """The module's server; started again (and the test failed) if a test
    ended it."""

    def __init__(self, prefix_path):
        super().__init__(prefix_path)
        self.port = self.pid = None
        self.starts = 0

    def start(self):
        self.starts += 1
        super().start()
        ports = self.prefix.listening_tcp_ports()
        assert len(ports) == 1, ports
        self.port, self.pid = ports[0], processes.server_pid(self.prefix.path)

    def alive(self):
        return processes.server_pid(self.prefix.path) == self.pid


@pytest.fixture(scope="module")
def hostile_server(prefix_path):
    server = _Server(prefix_path)
    server.start()
    yield server
    server.stop()


@pytest.fixture
def env(hostile_server, tmp_path):
    """(port, prefix, start_monitor); after the test the server must be the
    same process and still answer, monitors are stopped, the tree cleared."""
    started = []

    def start_monitor(*options):
        monitor = MonitorSim(hostile_server.prefix, *options, register=True,
                             log_path=tmp_path / ("m%d.log" % len(started)))
        started.append(monitor)
        return monitor

    yield hostile_server.port, hostile_server.prefix, start_monitor
    for monitor in started:
        monitor.stop()
    alive = hostile_server.alive()
    problem = check_known_calls(hostile_server.port, False) if alive else "server gone"
    hostile_server.clear()
    if not alive or problem:
        hostile_server.start()
        pytest.fail("after this test: %s" % problem)


def signed(value):
    """A 32-bit value as the signed long the wire carries."""
    return value - (1 << 32) if value & 0x80000000 else value


def device(port, opnum, **fields):
    return calls.call_device(port, opnum, **fields)


# -- sizes from the wire -------------------------------------------------------

SIZE_CASES = [
    pytest.param(-1, 64, id="cbInData--1"),
    pytest.param(40000, 64, id="cbInData-40000"),
    pytest.param(0x7FFFFFFF, 64, id="cbInData-0x7fffffff"),
    pytest.param(32769, 64, id="cbInData-32769"),
    pytest.param(-0x80000000, 64, id="cbInData-min"),
    pytest.param(4, -5, id="out-size--5"),
    pytest.param(4, 40000, id="out-size-40000"),
    pytest.param(4, 32769, id="out-size-32769"),
    pytest.param(4, 0x7FFFFFFF, id="out-size-0x7fffffff"),
    pytest.param(4, None, id="null-pcbOutData"),
]


class TestSizesFromTheWire:
    @pytest.mark.parametrize("opnum", [2, 3])
    @pytest.mark.parametrize("cbInData, cb_out", SIZE_CASES)
    def test_refused_before_anything_is_sent(self, env, opnum, cbInData, cb_out):
        """Opnum 2 answers FALSE, opnum 3 87; the client's size and arrays
        come back as sent, and the monitor receives nothing."""
        port, _, start_monitor = env
        monitor = start_monitor()
        got = device(port, opnum, cbInData=cbInData, cb_out=cb_out)
        assert (got.result, got.size, got.out_unchanged, got.in_unchanged) == \
            (REFUSED[opnum], cb_out, True, True), got
        assert monitor.codes() == []

    @pytest.mark.parametrize("opnum, success", [(2, 1), (3, 0)])
    def test_largest_sizes_are_served(self, env, opnum, success):
        """32768 for both sizes is the largest request: the block carries all
        of pInData and an output area of 32768 bytes, and the reply comes
        back as usual."""
        port, _, start_monitor = env
        monitor = start_monitor()
        got = device(port, opnum, cbInData=32768, cb_out=32768)
        assert (got.result, got.reply(), got.in_unchanged) == (success, CONFIG, True), got
        block = monitor.last_block()
        name = "OFFICE".encode("utf-16-le") + b"\0\0"
        assert len(block) == 26 + len(name) - 2 + 32768 + 32768
        assert struct.unpack_from("<IIIIII", block) == (2, 38, 32768, 38 + 32768, 32768, 24)
        assert block[38:38 + 32768] == bytes([0]) + random.Random(1).randbytes(32767)
        assert block[38 + 32768:] == bytes(32768)


# -- printer names ---------------------------------------------------------------

NAME_LENGTHS = [0, 259, 260, 300, 5000, 32000]


def utf16z(text):
    return text.encode("utf-16-le") + b"\0\0"


def command_block(opnum, name, command=1, param=0, argument=""):
    """The CommandBlock of opnum 0 or 1 as the payload layout gives it."""
    n = utf16z(name)
    block = struct.pack("<iiII", command, param, 16, 16 + len(n) if opnum == 1 else 0) + n
    return block + utf16z(argument) if opnum == 1 else block


def request_block(code, name, in_bytes, cb_out):
    """The RequestBlock of opnum 2 or 3 as the payload layout gives it."""
    n = utf16z(name)
    input_offset = 24 + len(n)
    output_offset = input_offset + len(in_bytes) if cb_out else input_offset
    head = struct.pack("<iIIIII", code, input_offset, len(in_bytes), output_offset, cb_out, 24)
    return head + n + in_bytes + bytes(cb_out)


class TestPrinterNameLengths:
    """Names no printer has, of every length around the 259 characters a
    local printer name may have. Only opnum 2, which resolves the name into
    a buffer of that size, refuses longer names; the others send them whole.
    MonitorSim fails names it does not know."""

    @pytest.mark.parametrize("length", NAME_LENGTHS)
    def test_device_request(self, env, length):
        """Opnum 2: over 259 characters is refused unsent; shorter names go
        to the monitor, which finds no printer: FALSE, size kept."""
        port, _, start_monitor = env
        monitor = start_monitor()
        got = device(port, 2, printer="N" * length, cb_out=64)
        assert (got.result, got.size, got.out_unchanged, got.in_unchanged) == (0, 64, True, True), got
        assert monitor.codes() == ([9] if length <= MAX_NAME else [])

    @pytest.mark.parametrize("length", NAME_LENGTHS)
    def test_mapped_request(self, env, length):
        """Opnum 3: every name goes whole in the block; MonitorSim answers an
        unknown name with 1801 and no reply."""
        port, _, start_monitor = env
        monitor = start_monitor()
        name = "N" * (length - 1) + "Z" if length else ""
        got = device(port, 3, printer=name, cb_out=64)
        assert (got.result, got.size, got.out_unchanged) == (ERROR_INVALID_PRINTER_NAME, 0, True), got
        assert monitor.codes() == [11]
        assert monitor.last_block() == request_block(2, name, b"", 64)

    @pytest.mark.parametrize("length", NAME_LENGTHS)
    @pytest.mark.parametrize("opnum", [0, 1])
    def test_command(self, env, opnum, length):
        """Commands: every name goes whole in the block, and MonitorSim fails
        an unknown printer (FALSE) through the flag named after it. No value
        name can be longer than 16,383 characters, so a longer name leaves
        no flag, which reads as success."""
        port, _, start_monitor = env
        monitor = start_monitor()
        name = "N" * (length - 1) + "Z" if length else ""
        assert call_command(port, opnum, printer=name) == (1 if length > 16383 else 0)
        assert monitor.codes() == [5 + opnum]
        assert monitor.last_block() == command_block(opnum, name)


# -- broken strings with a monitor there ---------------------------------------------

def _string_cases():
    rules = [("no-terminator", dict(terminated=False)), ("offset-1", dict(offset=1)),
             ("actual-above-max", dict(max_count=1))]
    for opnum in range(4):
        second = "argument_options" if opnum < 2 else "reserved_options"
        for position, option in (("name", "name_options"), ("second", second)):
            for rule, fields in rules:
                yield pytest.param(opnum, option, fields, id="op%d-%s-%s" % (opnum, position, rule))


class TestBrokenStrings:
    @pytest.mark.parametrize("opnum, option, fields", list(_string_cases()))
    def test_fault_and_nothing_sent(self, env, opnum, option, fields):
        port, _, start_monitor = env
        monitor = start_monitor()
        if opnum < 2:
            stub = command_stub(printer_name="OFFICE", argument="xyz", **{option: fields}).bytes()
        else:
            stub = device_stub(printer_name="OFFICE", reserved="xyz", cb_out=64,
                                     **{option: fields}).bytes()
        connection = RawConnection(port)
        try:
            answer = connection.call(opnum, stub)
        finally:
            connection.close()
        assert (answer.ptype, answer.status) == (PTYPE_FAULT, RPC_X_BAD_STUB_DATA), answer.describe()
        assert monitor.codes() == []


# -- reply sizes from the monitor -------------------------------------------------------

class TestReplySizes:
    @pytest.mark.parametrize("size, result, reply", [
        (1000, 1, FLASH_ID + FLASH_DATA + bytes(992)),
        (32764, 1, FLASH_ID + FLASH_DATA + bytes(32756)),
        (32765, 0, b""),
        (0xFFFFFFFF, 0, b""),
        (0, 0, b""),
    ], ids=["1000", "32764", "32765", "0xffffffff", "0"])
    def test_flash_data_size(self, env, size, result, reply):
        """"dwSize" says how many bytes of "ReturnValue" to take behind
        "dwID": up to 32764 the record (which then fills the whole array) is
        served; beyond that, or when "ReturnValue" (8 bytes) does not fit,
        FALSE with size 0."""
        port, _, start_monitor = env
        start_monitor("--flash-size", size)
        got = device(port, 2, code=11, selector=0, cbInData=1, cb_out=64)
        assert (got.result, got.size, got.reply()) == (result, len(reply), reply), got

    @pytest.mark.parametrize("size, result", [
        (32768, 0), (0, 0), (32769, ERROR_INSUFFICIENT_BUFFER), (40000, ERROR_INSUFFICIENT_BUFFER),
        (0xFFFFFFFF, ERROR_INSUFFICIENT_BUFFER)], ids=["32768", "0", "32769", "40000", "0xffffffff"])
    def test_mapped_data_size(self, env, size, result):
        """A reply of up to 32768 bytes is copied; a larger dwDataSize gets
        122 with the size set to dwDataSize and nothing copied."""
        port, _, start_monitor = env
        start_monitor("--mapped-size", size)
        got = device(port, 3, code=2, cb_out=64)
        assert (got.result, got.size) == (result, signed(size)), got
        if result:
            assert got.out_unchanged, got
        else:
            assert got.reply() == (CONFIG + bytes(32768 - 32))[:size]


# -- the registry as the monitor left it ------------------------------------------------------

def _set(prefix, key, name, kind, data):
    if kind == "REG_BINARY":
        prefix.set_binary(key, name, data)
    else:
        prefix.reg("add", key, "/v", name, "/t", kind, "/d", data, "/f")


class TestWindowHandleValue:
    """"LP Window handle" holding garbage while a monitor runs: every
    procedure answers as with no window, and the monitor gets nothing."""

    @pytest.mark.parametrize("kind, data", [
        ("REG_BINARY", random.Random(7).randbytes(8)),
        ("REG_BINARY", b"\x01" + bytes(7)),
        ("REG_BINARY", b"\xff" * 4 + bytes(4)),
        ("REG_BINARY", b""),
        ("REG_BINARY", "live+4-zero-bytes"),
        ("REG_DWORD", "0"),
        ("REG_SZ", "garbage"),
        ("REG_SZ", "ab"),
        ("REG_MULTI_SZ", "a"),
        # Reserved handles that SendMessageW would broadcast to every window.
        ("REG_BINARY", b"\xff" * 8),
        ("REG_BINARY", b"\xff\xff" + bytes(6)),
    ], ids=["random", "one", "low-half-ones", "empty", "12-bytes", "dword-0", "string", "short-string",
            "multi-string", "all-ones-HWND_TOPMOST", "0xffff-HWND_BROADCAST"])
    def test_no_window(self, env, kind, data):
        port, prefix, start_monitor = env
        monitor = start_monitor()
        if data == "live+4-zero-bytes":
            data = monitor.hwnd.to_bytes(8, "little") + bytes(4)
        _set(prefix, MONITORS_KEY, HANDLE, kind, data)
        try:
            for opnum in (0, 1):
                assert call_command(port, opnum) == 0, opnum
            for opnum in (2, 3):
                got = device(port, opnum, cb_out=64)
                assert (got.result, got.size, got.out_unchanged) == (NO_WINDOW[opnum], 0, True), got
            assert monitor.codes() == []
        finally:
            prefix.delete_value(MONITORS_KEY, HANDLE)

    @pytest.mark.parametrize("form", ["3-bytes", "dword", "high-half-garbage"])
    def test_live_handle_in_other_forms(self, env, form):
        """Shorter values are zero-extended; the upper half of an 8-byte
        value does not take part in naming a window (window handles are
        32-bit significant), so garbage there still reaches the monitor."""
        port, prefix, start_monitor = env
        monitor = start_monitor()
        if form == "3-bytes":
            assert monitor.hwnd < 1 << 24
            prefix.set_binary(MONITORS_KEY, HANDLE, monitor.hwnd.to_bytes(3, "little"))
        elif form == "dword":
            prefix.set_dword(MONITORS_KEY, HANDLE, monitor.hwnd)
        else:
            prefix.set_binary(MONITORS_KEY, HANDLE, monitor.hwnd.to_bytes(4, "little") + b"\xa5" * 4)
        for opnum, success in ((2, 1), (3, 0)):
            got = device(port, opnum, cb_out=64)
            assert (got.result, got.reply()) == (success, CONFIG), got
        assert monitor.codes() == [9, 11]


class TestFailureFlagValue:
    """The printer failure flag as a monitor might leave it (MonitorSim
    told to leave it alone): a readable non-zero value of at most 4 bytes
    is a failure (FALSE); zero, empty, longer or absent is success."""

    @pytest.mark.parametrize("kind, data, result", [
        ("REG_DWORD", "1", 0),
        ("REG_DWORD", "0", 1),
        ("REG_BINARY", b"\x01", 0),
        ("REG_BINARY", b"\x00\x00\x00\x01", 0),
        ("REG_BINARY", b"\x00\x00", 1),
        ("REG_BINARY", b"", 1),
        ("REG_BINARY", b"\x01" * 8, 1),
        ("REG_SZ", "1", 0),
        ("REG_SZ", "", 1),
        ("REG_MULTI_SZ", "a", 1),
    ], ids=["dword-1", "dword-0", "byte-1", "high-byte", "two-zero-bytes", "empty", "8-bytes",
            "string-1", "empty-string", "multi-string"])
    @pytest.mark.parametrize("opnum", [0, 1])
    def test_verdict(self, env, opnum, kind, data, result):
        port, prefix, start_monitor = env
        _set(prefix, MONITORS_KEY, "OFFICE", kind, data)
        monitor = start_monitor("--leave-flag")
        assert call_command(port, opnum, printer="OFFICE") == result
        assert monitor.codes() == [5 + opnum]


SERVICE = bytes.fromhex("010002000300040005000600070008000900")


class TestDeviceValueShapes:
    """Device values and handshake flags stored with other lengths than the
    server asks for (MonitorSim --value-size cuts or zero-pads them): a
    shorter value reads as its bytes zero-extended, a longer one fails the
    read. Result, size and reply through the wire; None for the size means
    the client's 64 comes back."""

    @pytest.mark.parametrize("value, code, selector, result, reply", [
        ("Acquired=0", 2, 0, 0, None),
        ("Acquired=5", 2, 0, 0, None),
        ("dwDuplex=0", 2, 0, 1, struct.pack("<IIII", 32, 3, 0, 0x20105) + bytes(16)),
        ("dwDuplex=8", 2, 0, 0, b""),
        ("dwFirmVersion=2", 2, 0, 1, struct.pack("<IIII", 32, 3, 1, 0x0105) + bytes(16)),
        ("dwPaperLevel=8", 3, 0, 0, b""),
        ("CalibrationData=0", 4, 0, 1, bytes(60)),
        ("CalibrationData=1024", 4, 0, 0, b""),
        ("dwIOCounter=2", 9, 3, 1, struct.pack("<I", 23642 & 0xFFFF)),
        ("dwIOCounter=5", 9, 3, 0, b""),
        ("dwID=8", 11, 0, 1, bytes(4) + FLASH_DATA),
        ("dwSize=2", 11, 0, 1, FLASH_ID + FLASH_DATA),
        ("dwSize=8", 11, 0, 0, b""),
        ("ReturnValue=1024", 11, 0, 0, b""),
        ("ReturnValue=4", 11, 0, 1, FLASH_ID + FLASH_DATA[:4] + bytes(4)),
        ("Setting Value=19", 11, 12, 0, b""),
        ("Setting Value=0", 11, 12, 1, bytes(18)),
    ])
    def test_request(self, env, value, code, selector, result, reply):
        port, _, start_monitor = env
        start_monitor("--value-size", value)
        got = device(port, 2, code=code, selector=selector, cbInData=1, cb_out=64)
        if reply is None:
            assert (got.result, got.size, got.out_unchanged) == (result, 64, True), got
        else:
            assert (got.result, got.size, got.reply()) == (result, len(reply), reply), got
        assert got.in_unchanged

    @pytest.mark.parametrize("value, code, payload", [
        ("Written=0", 5, "01" + "07000000" * 5),
        ("Written=2", 5, "01" + "07000000" * 5),
        ("Written=2", 12, "0c" + SERVICE.hex()),
    ])
    def test_write_flag(self, env, value, code, payload):
        """"Written" must be the single byte 0x01: empty or zero-padded to
        two bytes, the write is reported failed."""
        port, _, start_monitor = env
        start_monitor("--value-size", value)
        data = bytes.fromhex(payload)
        got = device(port, 2, code=code, in_data=data + bytes(ARRAY_SIZE - len(data)),
                     cbInData=len(data), cb_out=64)
        assert (got.result, got.size, got.out_unchanged) == (0, 64, True), got


class TestSpoolerValueShapes:
    """Name resolution reads the spooler's printer and driver keys. Values
    of the wrong type, length or termination make the printer not match,
    so the client's name itself names the data key; MonitorSim resolves the
    same way, so the request is still served, from that key."""

    PRINTER = PRINTERS_KEY + r"\Office Color 7"
    DRIVER = DRIVERS_KEY + r"\ZOLT7 Reference Driver"

    @pytest.mark.parametrize("key, name, kind, data, lands", [
        (None, None, None, None, "Office Color 7"),
        (PRINTER, "Share Name", "REG_BINARY", "A".encode("utf-16-le") * 520, "OFFICE"),
        (PRINTER, "Name", "REG_SZ", "N" * 600, "OFFICE"),
        (PRINTER, "Status", "REG_BINARY", bytes(8), "OFFICE"),
        (PRINTER, "Status", "REG_DWORD", "4", "OFFICE"),
        (PRINTER, "Attributes", "REG_BINARY", b"\x08" + bytes(7), "OFFICE"),
        (PRINTER, "Printer Driver", "REG_DWORD", "1", "OFFICE"),
        (DRIVER, "Monitor", "REG_BINARY", "Z".encode("utf-16-le") * 520, "OFFICE"),
        (DRIVER, "Monitor", "REG_MULTI_SZ", "ZOLT7 Monitor", "Office Color 7"),
    ], ids=["as-registered", "share-unterminated", "name-600", "status-8-bytes",
            "pending-deletion", "attributes-8-bytes", "driver-as-dword", "monitor-unterminated",
            "monitor-multi-string"])
    def test_request_by_share_name(self, env, key, name, kind, data, lands):
        port, prefix, start_monitor = env
        start_monitor()
        if key:
            _set(prefix, key, name, kind, data)
        got = device(port, 2, code=2, printer="OFFICE", cb_out=64)
        assert (got.result, got.reply()) == (1, CONFIG), got
        config = STORE_ROOT + "\\" + lands + r"\Driver\Config"
        assert prefix.reg("query", config, "/v", "Acquired", check=False).returncode == 0
        other = "OFFICE" if lands != "OFFICE" else "Office Color 7"
        assert prefix.reg("query", STORE_ROOT + "\\" + other, check=False).returncode != 0


def test_module_server_survived_it_all(hostile_server):
    """The same process served every case of this module."""
    assert hostile_server.starts == 1
    assert hostile_server.alive()
    assert check_known_calls(hostile_server.port, False) is None
