"""The reply records of device requests, decoded from the output bytes.

Every decoder takes exactly the bytes the server reported (the first
output-size bytes of pOutData) and either returns the whole record or
raises MalformedReply: a reply of another length, or one whose record
length field is not 32, is never presented as a record. All numbers are
32-bit little-endian, whatever the byte order of the response stub: the
records are copied as the language monitor stored them.
"""
import struct
from dataclasses import dataclass

from .errors import MalformedReply

DEVREQ_CONFIG = 2
DEVREQ_BIN_INFO = 3
DEVREQ_CALIBRATION = 4
DEVREQ_BIN_INFO_WRITE = 5
DEVREQ_COUNTER = 9
DEVREQ_FLASH_DATA = 11
DEVREQ_FLASH_DATA_WRITE = 12

SELECTOR_SERVICE_SETTINGS = 12
FLASH_ITEM_SELECTORS = (0, 10)

RECORD_LENGTH = 32
CONFIG_SIZE = 32
BIN_INFO_SIZE = 96
CALIBRATION_SIZE = 60
COUNTER_SIZE = 4
SERVICE_SETTINGS_SIZE = 18

# (short name, selector byte, registry value name). Every selector without a
# counter of its own reads the I/O counter.
COUNTERS = (
    ("mono", 0, "dwMonoCounter"),
    ("color", 2, "dwColorCounter"),
    ("black", 5, "dwBlackCounter"),
    ("cyan", 6, "dwCyanCounter"),
    ("magenta", 7, "dwMagentaCounter"),
    ("yellow", 8, "dwYellowCounter"),
    ("io", 1, "dwIOCounter"),
)
COUNTER_NAMES = tuple(name for name, _, _ in COUNTERS)


def counter_selector(name):
    """The selector byte of a counter name (any case); KeyError otherwise."""
    for short, selector, _ in COUNTERS:
        if short == name.lower():
            return selector
    raise KeyError(name)


def counter_names(selector):
    """(short name, value name) of the counter a selector byte reads."""
    for short, number, value_name in COUNTERS:
        if number == selector:
            return short, value_name
    return "io", "dwIOCounter"


@dataclass(frozen=True)
class ConfigReply:
    record_length: int
    cassettes: int
    duplex: int
    firmware: int
    reserved_zero: bool  # bytes 16 to 31 are all zero


@dataclass(frozen=True)
class BinInfo:
    bin: int
    record_length: int
    source: int
    size: int
    width: int
    height: int
    level: int
    reserved_zero: bool  # the reserved fields at 12 and 28 are zero


@dataclass(frozen=True)
class BinInfoReply:
    bins: tuple  # three BinInfo, for bins 0, 1 and 2


@dataclass(frozen=True)
class Calibration:
    data: bytes  # 60 bytes, opaque


@dataclass(frozen=True)
class Counter:
    counter: str
    value_name: str
    selector: int
    value: int


@dataclass(frozen=True)
class FlashData:
    id: int
    data: bytes

    @property
    def size(self):
        return len(self.data)


@dataclass(frozen=True)
class ServiceSettings:
    data: bytes  # 18 bytes, opaque


@dataclass(frozen=True)
class EmptyReply:
    """The reply of a flash selector that carries no data."""


def _exact(data, size, what):
    """MalformedReply unless `data` is exactly `size` bytes."""
    if len(data) != size:
        raise MalformedReply("reply: %d bytes, not a %d-byte %s" % (len(data), size, what))


def _record_length(value, what):
    """MalformedReply unless a record length field is 32."""
    if value != RECORD_LENGTH:
        raise MalformedReply("%s record length %d, not %d" % (what, value, RECORD_LENGTH))


def decode_config(data):
    """ConfigReply: length, cassettes, duplex, firmware, 16 reserved bytes."""
    _exact(data, CONFIG_SIZE, "ConfigReply")
    length, cassettes, duplex, firmware = struct.unpack_from("<4L", data)
    _record_length(length, "ConfigReply")
    return ConfigReply(length, cassettes, duplex, firmware, not any(data[16:32]))


def decode_bin_info(data):
    """Three BinInfoReply records of 32 bytes, bins 0 to 2."""
    _exact(data, BIN_INFO_SIZE, "set of three BinInfoReply records")
    bins = []
    for index in range(3):
        length, source, size, reserved1, width, height, level, reserved2 = struct.unpack_from(
            "<8L", data, RECORD_LENGTH * index)
        _record_length(length, "BinInfoReply %d" % index)
        bins.append(BinInfo(index, length, source, size, width, height, level,
                            reserved1 == 0 and reserved2 == 0))
    return BinInfoReply(tuple(bins))


def decode_calibration(data):
    """The 60-byte calibration block."""
    _exact(data, CALIBRATION_SIZE, "calibration block")
    return Calibration(bytes(data))


def decode_counter(data, selector):
    """One counter of 4 bytes, named after its selector byte."""
    _exact(data, COUNTER_SIZE, "counter")
    short, value_name = counter_names(selector)
    return Counter(short, value_name, selector, struct.unpack("<L", data)[0])


def decode_flash(data):
    """FlashDataReply: the item id, then its data."""
    if len(data) < 4:
        raise MalformedReply("reply: %d bytes, too short for a FlashDataReply" % len(data))
    return FlashData(struct.unpack_from("<L", data)[0], bytes(data[4:]))


def decode_service_settings(data):
    """The 18-byte service settings block."""
    _exact(data, SERVICE_SETTINGS_SIZE, "service settings block")
    return ServiceSettings(bytes(data))


def decode_empty(data):
    """The reply of a flash selector without data: no bytes."""
    if data:
        raise MalformedReply("reply: %d bytes, expected none" % len(data))
    return EmptyReply()


def decode_record(request, selector, data):
    """The record that request code `request` with `selector` as its first
    input byte returns, decoded from `data`; None for the write requests
    and for codes without a known record (their bytes stay raw)."""
    if request == DEVREQ_CONFIG:
        return decode_config(data)
    if request == DEVREQ_BIN_INFO:
        return decode_bin_info(data)
    if request == DEVREQ_CALIBRATION:
        return decode_calibration(data)
    if request == DEVREQ_COUNTER:
        return decode_counter(data, selector)
    if request == DEVREQ_FLASH_DATA:
        if selector in FLASH_ITEM_SELECTORS:
            return decode_flash(data)
        if selector == SELECTOR_SERVICE_SETTINGS:
            return decode_service_settings(data)
        return decode_empty(data)
    return None
