"""Page counters and paper levels of printers, in the Prometheus text
exposition format (version 0.0.4), for a collector that runs the command
on a timer (for example into node exporter's text-file directory).

Per printer: devicerpc_printer_up (1 when every request for it was
answered, else 0), the seven page counters, and each bin's paper level and
paper size code. A printer that did not answer every request gets up 0 and
no other sample: a partial set would mix fresh and missing numbers.
"""
import os
import sys
import tempfile
from dataclasses import dataclass, field

from .client import Client
from .errors import DeviceRpcError, TransportError, Unreachable
from .records import COUNTER_NAMES

UP = ("devicerpc_printer_up", "gauge",
      "1 when the printer answered every request of this collection, else 0.")
COUNTER_HELP = {
    "mono": "Monochrome pages printed.",
    "color": "Colour pages printed.",
    "black": "Pages counted by the black counter.",
    "cyan": "Pages counted by the cyan counter.",
    "magenta": "Pages counted by the magenta counter.",
    "yellow": "Pages counted by the yellow counter.",
    "io": "Pages counted by the I/O counter.",
}
BIN_FAMILIES = (
    ("devicerpc_bin_paper_level", "level", "Paper level of the bin, as the printer reports it."),
    ("devicerpc_bin_paper_size", "size", "Paper size code of the paper in the bin."),
)


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


def collect(client, printer, timeout=None):
    """The PrinterSample of one printer: all of its numbers, or none."""
    try:
        counters = {name: client.counter(printer, name, timeout=timeout).value
                    for name in COUNTER_NAMES}
        bins = client.bins(printer, timeout=timeout).bins
    except TransportError as error:
        return PrinterSample(printer, error=str(error), unreachable=not error.reachable,
                             server_down=isinstance(error, Unreachable))
    except DeviceRpcError as error:
        return PrinterSample(printer, error=str(error))
    return PrinterSample(printer, True, counters, bins)


def collect_all(client, printers):
    """The samples of every printer, each named once. Once no connection
    can be made, the remaining printers are not tried: they are on the same
    server, and each attempt could take a whole time-out."""
    samples = []
    for printer in dict.fromkeys(printers):
        down = next((s for s in samples if s.server_down), None)
        if down:
            samples.append(PrinterSample(printer, error=down.error, unreachable=True,
                                         server_down=True))
        else:
            samples.append(collect(client, printer))
    return samples


def escape_label(value):
    """A label value as the text format quotes it."""
    return value.replace("\\", "\\\\").replace("\"", "\\\"").replace("\n", "\\n")


def escape_help(text):
    """A HELP text as the text format escapes it."""
    return text.replace("\\", "\\\\").replace("\n", "\\n")


def _family(name, kind, help_text, samples):
    """The HELP and TYPE lines of a family and its (labels, value) samples."""
    lines = ["# HELP %s %s" % (name, escape_help(help_text)), "# TYPE %s %s" % (name, kind)]
    for labels, value in samples:
        text = ",".join('%s="%s"' % (key, escape_label(str(v))) for key, v in labels)
        lines.append("%s{%s} %d" % (name, text, value))
    return lines


def exposition(samples):
    """The text exposition of a list of PrinterSample. Each family's
    samples stand together, as the format requires."""
    lines = _family(*UP, [((("printer", s.printer),), int(s.up)) for s in samples])
    answered = [s for s in samples if s.up]
    for name in COUNTER_NAMES:
        lines += _family("devicerpc_pages_%s_total" % name, "counter", COUNTER_HELP[name],
                         [((("printer", s.printer),), s.counters[name]) for s in answered])
    for family, attribute, help_text in BIN_FAMILIES:
        lines += _family(family, "gauge", help_text,
                         [((("printer", s.printer), ("bin", b.bin)), getattr(b, attribute))
                          for s in answered for b in s.bins])
    return "\n".join(lines) + "\n"


def write_atomically(path, text):
    """Replaces `path` by `text` in one step: a reader sees the old file or
    the new one, never a part. The file is readable by all, since the
    collector usually runs as another user."""
    directory = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(dir=directory, prefix=".devicerpc-", suffix=".tmp")
    try:
        with os.fdopen(handle, "w") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def run_metrics(args, parser):
    """Collects every printer and prints (or writes) the exposition. Exit
    status 0 when a printer answered, 3 when the server could not be
    reached, 1 otherwise."""
    if args.json:
        parser.error("metrics prints the Prometheus text format; it does not take --json")
    with Client(args.host, args.port, args.timeout) as client:
        samples = collect_all(client, args.printers)
    for sample in samples:
        if not sample.up:
            print("devicerpc: printer %r: %s" % (sample.printer, sample.error), file=sys.stderr)
    text = exposition(samples)
    if args.output:
        try:
            write_atomically(args.output, text)
        except OSError as error:
            print("devicerpc: cannot write %s: %s" % (args.output, error), file=sys.stderr)
            return 1
    else:
        sys.stdout.write(text)
    if any(s.up for s in samples):
        return 0
    return 3 if all(s.unreachable for s in samples) else 1


def add_parser(sub, parents):
    """The metrics subcommand and its options."""
    text = ("Print the page counters and each bin's paper level and size of every printer "
            "in the Prometheus text format, with a gauge telling whether it answered.")
    p = sub.add_parser("metrics", help=text, description=text, parents=parents,
                       epilog="Exit status: 0 when at least one printer answered, 1 when none "
                              "did, 3 when the server could not be reached, 2 usage error.")
    p.add_argument("--printer", dest="printers", action="extend", nargs="+", required=True,
                   metavar="NAME", help="a printer, by its name or share name; several may follow")
    p.add_argument("--output", metavar="FILE", help="replace FILE atomically instead of "
                   "printing (for a text-file collector directory)")
    p.set_defaults(run=run_metrics)
