"""One collection of a printer: the requests that give its state, made one
after the other on one connection, all answered or none kept.

A collection either holds every number it asked for (`up`) or none of
them, with the reason (`error`) and its kind (`kind`): a partial set would
mix fresh and missing numbers. The metrics command asks for the counters
and the bins; the gateway asks for the whole state (`full`), so that one
collection serves its pages, its API and its probes alike.
"""
import time
from dataclasses import dataclass, field

from .errors import (RPC_S_CALL_CANCELLED, ConnectionFailed, DeviceRpcError, MalformedReply,
                     MappedRequestError, RequestFailed, RpcFault, TransportError, Unreachable)
from .records import COUNTER_NAMES

# Why a collection failed, as the gateway counts it.
FAILURE_KINDS = ("unreachable", "timeout", "connection", "fault", "refused", "malformed", "other")


@dataclass
class PrinterSample:
    """What one collection got from one printer; `error` says why not."""
    printer: str
    up: bool = False
    counters: dict = field(default_factory=dict)  # counter name: value
    bins: tuple = ()  # BinInfo of bins 0 to 2
    error: str = None
    unreachable: bool = False  # no answer from the server at all
    server_down: bool = False  # not even a connection could be made
    kind: str = None  # one of FAILURE_KINDS when not up
    config: object = None  # ConfigReply (full collections)
    calibration: object = None  # Calibration (full collections)
    service: object = None  # ServiceSettings (full collections)
    started: float = None  # wall-clock time the collection began
    duration: float = None  # seconds it took


def failure_kind(error):
    """The kind of failure a DeviceRpcError stands for."""
    if isinstance(error, Unreachable):
        return "unreachable"
    if isinstance(error, ConnectionFailed):
        return "timeout" if error.status == RPC_S_CALL_CANCELLED else "connection"
    if isinstance(error, RpcFault):
        return "fault"
    if isinstance(error, (RequestFailed, MappedRequestError)):
        return "refused"
    if isinstance(error, MalformedReply):
        return "malformed"
    return "other"


def failed(printer, error, started=None, duration=None):
    """The PrinterSample of a collection that ended with `error`."""
    unreachable = isinstance(error, TransportError) and not error.reachable
    return PrinterSample(printer, error=str(error), unreachable=unreachable,
                         server_down=isinstance(error, Unreachable), kind=failure_kind(error),
                         started=started, duration=duration)


def collect(client, printer, full=False, timeout=None):
    """The PrinterSample of one printer: all of its numbers, or none. With
    `full`, also its configuration, calibration and service settings."""
    started, clock = time.time(), time.monotonic()
    try:
        counters = {name: client.counter(printer, name, timeout=timeout).value
                    for name in COUNTER_NAMES}
        sample = PrinterSample(printer, True, counters, client.bins(printer, timeout=timeout).bins)
        if full:
            sample.config = client.config(printer, timeout=timeout)
            sample.calibration = client.calibration(printer, timeout=timeout)
            sample.service = client.service_settings(printer, timeout=timeout)
    except DeviceRpcError as error:
        return failed(printer, error, started, time.monotonic() - clock)
    sample.started, sample.duration = started, time.monotonic() - clock
    return sample


def collect_all(client, printers):
    """The samples of every printer, each named once. Once no connection
    can be made, the remaining printers are not tried: they are on the same
    server, and each attempt could take a whole time-out."""
    samples = []
    for printer in dict.fromkeys(printers):
        down = next((s for s in samples if s.server_down), None)
        if down:
            samples.append(PrinterSample(printer, error=down.error, unreachable=True,
                                         server_down=True, kind=down.kind))
        else:
            samples.append(collect(client, printer))
    return samples
