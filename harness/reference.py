"""Reference requests encoded by Impacket's NDR types, independent of
devicerpc.ndr, and patterns that show any shifted or partial copy.

    impacket_command(dwCommand, dwParam, printer_name, argument)   opnums 0 and 1
    impacket_device(dwRequest, in_data, cbInData, out_data, cb_out, printer_name, reserved)
    pattern(seed, size=32768)
"""
import random

from impacket.dcerpc.v5 import ndr
from impacket.dcerpc.v5.dtypes import LONG, NULL, WSTR

ARRAY_SIZE = 32768


def pattern(seed, size=ARRAY_SIZE):
    """Deterministic, non-periodic bytes, so a shifted or partial copy shows."""
    return random.Random(seed).randbytes(size)


class _Octets32K(ndr.NDRUniConformantArray):
    item = "c"


class _PLong(ndr.NDRPOINTER):
    referent = (("Data", LONG),)


class _CommandCall(ndr.NDRCALL):
    structure = (("dwCommand", LONG), ("dwParam", LONG),
                 ("pszPrinterName", WSTR), ("pszArgument", WSTR))


class _DeviceCall(ndr.NDRCALL):
    structure = (("dwRequest", LONG), ("pInData", _Octets32K), ("cbInData", LONG),
                 ("pOutData", _Octets32K), ("pcbOutData", _PLong),
                 ("pszPrinterName", WSTR), ("pszReserved", WSTR))


def impacket_command(dwCommand, dwParam, printer_name, argument):
    """The stub of opnum 0 or 1 as Impacket encodes it."""
    call = _CommandCall()
    call["dwCommand"] = dwCommand
    call["dwParam"] = dwParam
    call["pszPrinterName"] = printer_name + "\x00"
    call["pszArgument"] = argument + "\x00"
    return call.getData()


def impacket_device(dwRequest, in_data, cbInData, out_data, cb_out, printer_name, reserved):
    """The stub of opnum 2 or 3 as Impacket encodes it; cb_out None sends
    a null pcbOutData."""
    assert len(in_data) == ARRAY_SIZE and len(out_data) == ARRAY_SIZE
    call = _DeviceCall()
    call["dwRequest"] = dwRequest
    call["pInData"] = [bytes([b]) for b in in_data]
    call["cbInData"] = cbInData
    call["pOutData"] = [bytes([b]) for b in out_data]
    call["pcbOutData"] = NULL if cb_out is None else cb_out
    call["pszPrinterName"] = printer_name + "\x00"
    call["pszReserved"] = reserved + "\x00"
    return call.getData()
