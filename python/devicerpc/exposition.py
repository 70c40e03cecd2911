"""The printer metrics as Prometheus families: one collector for every
front end (the metrics command, the gateway's /probe).

Per printer: devicerpc_printer_up (1 when every request for it was
answered, else 0), the seven page counters, and each bin's paper level and
paper size code. A printer that did not answer gets up 0 and no other
sample. The text comes from prometheus_client's own exposition.
"""
from prometheus_client import CollectorRegistry, generate_latest
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily

from .records import COUNTER_NAMES

UP_HELP = "1 when the printer answered every request of this collection, else 0."
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


class PrinterCollector:
    """A prometheus_client collector over a list of PrinterSample, taken
    when it is collected: `samples` is a list or a callable returning one."""

    def __init__(self, samples):
        self._samples = samples

    def collect(self):
        """The families, each with all of its samples."""
        samples = self._samples() if callable(self._samples) else self._samples
        up = GaugeMetricFamily("devicerpc_printer_up", UP_HELP, labels=["printer"])
        for sample in samples:
            up.add_metric([sample.printer], int(sample.up))
        yield up
        answered = [s for s in samples if s.up]
        for name in COUNTER_NAMES:
            family = CounterMetricFamily("devicerpc_pages_%s" % name, COUNTER_HELP[name],
                                         labels=["printer"])
            for sample in answered:
                family.add_metric([sample.printer], sample.counters[name])
            yield family
        for name, attribute, help_text in BIN_FAMILIES:
            family = GaugeMetricFamily(name, help_text, labels=["printer", "bin"])
            for sample in answered:
                for record in sample.bins:
                    family.add_metric([sample.printer, str(record.bin)], getattr(record, attribute))
            yield family


def exposition(samples, *collectors):
    """The text exposition of a list of PrinterSample, and of any further
    collectors (the probe's own figures)."""
    registry = CollectorRegistry()
    registry.register(PrinterCollector(samples))
    for collector in collectors:
        registry.register(collector)
    return generate_latest(registry).decode("utf-8")
