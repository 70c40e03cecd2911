"""Page counters and paper levels of printers, in the Prometheus text
exposition format, for a collector that runs the command on a timer (for
example into node exporter's text-file directory). The families are those
of `exposition.PrinterCollector`, which the gateway's /probe serves too.
"""
import os
import sys
import tempfile

from .client import Client
from .collection import PrinterSample, collect, collect_all  # noqa: F401 (the API of this module)


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
    from .exposition import exposition  # prometheus_client, needed here only
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
