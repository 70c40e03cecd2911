"""What the pages and the API show of a printer: its last collection as
typed records (pydantic models, which also describe the API in its
OpenAPI document), with names for codes and the alerts.

Two readings are assumptions about the printer, stated on the pages: a
level of 0 is an empty bin, and a level below the configured threshold a
low one.
"""
from datetime import datetime, timezone
from typing import List, Optional

from pydantic import BaseModel

from .papers import paper_size_name, paper_source_name


class Bin(BaseModel):
    bin: int  # 0 to 2, as the records number them
    number: int  # 1 to 3, as people count them
    source: int
    source_name: str
    size: int  # Windows paper code
    size_name: str
    width: int  # tenths of a millimetre, as reported
    height: int
    level: int  # as reported
    state: str  # "ok", "low" or "empty"


class Config(BaseModel):
    cassettes: int
    duplex: int
    firmware: int
    firmware_hex: str


class Counters(BaseModel):
    mono: int
    color: int
    black: int
    cyan: int
    magenta: int
    yellow: int
    io: int


class Printer(BaseModel):
    server: str
    host: str
    printer: str
    up: bool
    since: Optional[datetime]  # when it came to this state, as far as the gateway saw
    collected_at: Optional[datetime]
    duration_seconds: Optional[float]
    error: Optional[str]
    error_kind: Optional[str]
    reason: Optional[str]  # what the error kind means, in people's words
    alerts: List[str]
    config: Optional[Config]
    bins: List[Bin]
    counters: Optional[Counters]
    calibration: Optional[str]  # hex
    service_settings: Optional[str]  # hex


class PrinterList(BaseModel):
    generated_at: datetime
    refresh_interval: float
    low_paper: int
    printers: List[Printer]


# What each kind of failure tells a person at the page.
REASONS = {
    "unreachable": "No connection to the server: it is not running or not listening, or the "
                   "network or a firewall is in the way.",
    "timeout": "The server did not answer within the call time-out: it, or the printer's "
               "language monitor behind it, is busy or hung.",
    "connection": "The connection broke during a call: the server stopped or restarted.",
    "fault": "The server's RPC runtime refused the call.",
    "refused": "The server answered, but had no data for this printer: the language monitor "
               "does not know the printer, or is not running.",
    "malformed": "The server's answer did not have the shape of its record.",
    "other": "The collection did not complete.",
}


class Problem(BaseModel):
    status: int
    error: str


def when(timestamp):
    """A wall-clock time as an aware UTC datetime (None stays None)."""
    return None if timestamp is None else datetime.fromtimestamp(timestamp, timezone.utc)


def bin_state(level, low):
    """"empty" at 0, "low" below the threshold, else "ok"."""
    if level == 0:
        return "empty"
    return "low" if level < low else "ok"


def bin_view(record, low):
    """The Bin of a BinInfo record."""
    return Bin(bin=record.bin, number=record.bin + 1, source=record.source,
               source_name=paper_source_name(record.source), size=record.size,
               size_name=paper_size_name(record.size), width=record.width,
               height=record.height, level=record.level, state=bin_state(record.level, low))


def alerts(sample, bins):
    """The alerts of a printer, most serious first."""
    if not sample.up:
        return ["not answering"]
    found = ["bin %d empty" % b.number for b in bins if b.state == "empty"]
    return found + ["bin %d low" % b.number for b in bins if b.state == "low"]


def printer_view(server, sample, since, low):
    """The Printer of a configured printer's last collection."""
    bins = [bin_view(record, low) for record in sample.bins] if sample.up else []
    config = None
    if sample.up and sample.config is not None:
        c = sample.config
        config = Config(cassettes=c.cassettes, duplex=c.duplex, firmware=c.firmware,
                        firmware_hex="0x%08X" % c.firmware)
    return Printer(
        server=server.name, host=server.host, printer=sample.printer, up=sample.up,
        since=when(since), collected_at=when(sample.started),
        duration_seconds=sample.duration, error=None if sample.up else sample.error,
        error_kind=None if sample.up else sample.kind,
        reason=None if sample.up else REASONS.get(sample.kind, REASONS["other"]),
        alerts=alerts(sample, bins),
        config=config, bins=bins,
        counters=Counters(**sample.counters) if sample.up else None,
        calibration=sample.calibration.data.hex() if sample.up and sample.calibration else None,
        service_settings=sample.service.data.hex() if sample.up and sample.service else None)
