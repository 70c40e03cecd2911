"""Reply records, the metrics text and the command line's parsing, against
values written out by hand."""
import argparse
import struct

import pytest
from prometheus_client.parser import text_string_to_metric_families

from devicerpc import BinInfo, MalformedReply, records
from devicerpc.cli import hex_bytes, long_number
from devicerpc.collection import PrinterSample
from devicerpc.exposition import exposition

CONFIG = struct.pack("<4L", 32, 2, 1, 3) + bytes(16)
BIN = struct.pack("<8L", 32, 1, 9, 0, 2100, 2970, 80, 0)


@pytest.mark.parametrize("request_code, selector, data, expected", [
    (2, 0, CONFIG, records.ConfigReply(32, 2, 1, 3, True)),
    (2, 0, CONFIG[:31] + b"\x01", records.ConfigReply(32, 2, 1, 3, False)),
    (4, 0, bytes(range(60)), records.Calibration(bytes(range(60)))),
    (9, 3, struct.pack("<L", 0xFFFFFFFE), records.Counter("io", "dwIOCounter", 3, 0xFFFFFFFE)),
    (9, 2, struct.pack("<L", 8412), records.Counter("color", "dwColorCounter", 2, 8412)),
    (11, 10, bytes.fromhex("0a100000deadbeef"), records.FlashData(0x100A, bytes.fromhex("deadbeef"))),
    (11, 0, bytes.fromhex("00100000"), records.FlashData(0x1000, b"")),
    (11, 12, bytes(range(18)), records.ServiceSettings(bytes(range(18)))),
    (11, 5, b"", records.EmptyReply()),
    (5, 1, b"", None),
])
def test_records_decode(request_code, selector, data, expected):
    assert records.decode_record(request_code, selector, data) == expected


def test_bins_decode_in_order():
    data = BIN + BIN[:4] + struct.pack("<7L", 2, 9, 7, 2100, 2970, 35, 0) + BIN
    bins = records.decode_record(3, 0, data).bins
    assert bins[0] == BinInfo(0, 32, 1, 9, 2100, 2970, 80, True)
    assert bins[1] == BinInfo(1, 32, 2, 9, 2100, 2970, 35, False)
    assert bins[2].bin == 2 and bins[2].level == 80


@pytest.mark.parametrize("request_code, selector, data, reason", [
    (2, 0, CONFIG[:31], "31 bytes, not a 32-byte ConfigReply"),
    (2, 0, CONFIG + b"\0", "33 bytes, not a 32-byte ConfigReply"),
    (2, 0, struct.pack("<L", 31) + CONFIG[4:], "record length 31"),
    (3, 0, BIN * 2, "64 bytes, not a 96-byte"),
    (3, 0, BIN * 2 + bytes(32), "BinInfoReply 2 record length 0"),
    (4, 0, bytes(59), "59 bytes, not a 60-byte calibration block"),
    (9, 0, bytes(8), "8 bytes, not a 4-byte counter"),
    (11, 0, bytes(3), "too short for a FlashDataReply"),
    (11, 12, bytes(17), "17 bytes, not a 18-byte service settings block"),
    (11, 7, b"\0", "1 bytes, expected none"),
])
def test_replies_that_do_not_fit_are_refused(request_code, selector, data, reason):
    with pytest.raises(MalformedReply, match=reason):
        records.decode_record(request_code, selector, data)


# -- metrics ------------------------------------------------------------------------------

def test_exposition_parses_and_a_failed_printer_has_no_numbers():
    counters = dict(mono=1, color=2, black=3, cyan=4, magenta=5, yellow=6, io=7)
    bins = tuple(BinInfo(i, 32, 1, 9 + i, 2100, 2970, 80 - i, True) for i in range(3))
    odd = '\\\\SRV\\Lab "Color"\n2'
    text = exposition([PrinterSample(odd, True, counters, bins), PrinterSample("Down")])
    got = {}
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            got[(family.type, sample.name, tuple(sorted(sample.labels.items())))] = sample.value
    printer = (("printer", odd),)
    expected = {("gauge", "devicerpc_printer_up", printer): 1,
                ("gauge", "devicerpc_printer_up", (("printer", "Down"),)): 0}
    for name, value in counters.items():
        expected[("counter", "devicerpc_pages_%s_total" % name, printer)] = value
    for i in range(3):
        labels = (("bin", str(i)), ("printer", odd))
        expected[("gauge", "devicerpc_bin_paper_level", labels)] = 80 - i
        expected[("gauge", "devicerpc_bin_paper_size", labels)] = 9 + i
    assert got == expected
    assert text.count("# TYPE devicerpc_printer_up gauge\n") == 1


# -- the command line -------------------------------------------------------------------------

@pytest.mark.parametrize("text, value", [
    ("0", 0), ("-1", -1), ("010", 10), ("0x1F", 31), ("4294967295", 0xFFFFFFFF),
    ("-2147483648", -0x80000000), ("4294967296", None), ("-2147483649", None), ("1e3", None),
    ("", None), ("0x", None), ("--1", None),
])
def test_numbers(text, value):
    if value is None:
        with pytest.raises(argparse.ArgumentTypeError):
            long_number(text)
    else:
        assert long_number(text) == value


@pytest.mark.parametrize("text, value", [
    ("0a", b"\x0a"), ("01 00-02:ff", b"\x01\x00\x02\xff"), ("", b""), ("0a0", None), ("zz", None),
    ("00" * 32768, bytes(32768)), ("00" * 32769, None),
])
def test_hex_input(text, value):
    if value is None:
        with pytest.raises(argparse.ArgumentTypeError):
            hex_bytes(text)
    else:
        assert hex_bytes(text) == value
