"""The Lab printer: a virtual printer for MonitorSim with values of its
own, so that its records cannot be mistaken for the sample printer's.

    LAB_NAME, LAB_KEY, BINS, COUNTERS, CALIBRATION, SERVICE, LAB_PRINTER
    config_record(), bin_records(bins)   its records as the server returns them
    lab_monitor(prefix, folder, *options, printers=None, text=LAB_PRINTER, log=True)
        a MonitorSim for the Lab printer (or `printers`), logging into `folder`
"""
import struct
import time

from .monitorsim import MonitorSim
from .prefix import STORE_ROOT

LAB_NAME = "\\\\PRINTSRV\\Lab Color"
LAB_KEY = STORE_ROOT + "\\,,PRINTSRV,Lab Color"
CALIBRATION = bytes(range(0x40, 0x40 + 60))
SERVICE = bytes(range(1, 19))
COUNTERS = {"mono": 1001, "color": 1002, "black": 1003, "cyan": 1004,
            "magenta": 1005, "yellow": 1006, "io": 1007}
BINS = [(1, 9, 2100, 2970, 80), (2, 9, 2100, 2970, 35), (4, 11, 1480, 2100, 0)]

LAB_PRINTER = """
[printer]
name = %s
share = LAB
duplex = 1
cassettes = 2
firmware = 3
%s
calibration = %s
%s
flash.0.id = 0x1000
flash.0.data = 4f 46 46 49
flash.10.id = 0x100a
flash.10.data = de ad be ef 00 01 02 03
service = %s
command.default = ok
command.7 = fail
command.7.3 = ok
command.8 = leave
""" % (LAB_NAME,
       "\n".join("bin.%d = %s" % (i, " ".join(map(str, b))) for i, b in enumerate(BINS)),
       CALIBRATION.hex(),
       "\n".join("counter.%s = %d" % item for item in COUNTERS.items()),
       SERVICE.hex(" "))


def config_record():
    """The Lab printer's ConfigReply."""
    return struct.pack("<IIII", 32, 2, 1, 3) + bytes(16)


def bin_records(bins=BINS):
    """Three BinInfoReply records of (source, size, width, height, level)."""
    return b"".join(struct.pack("<IIIIIIII", 32, s, z, 0, w, h, l, 0) for s, z, w, h, l in bins)


def lab_monitor(prefix, folder, *options, printers=None, text=LAB_PRINTER, log=True):
    """A MonitorSim for the printers in files `printers`, or else for a
    description `text` written into `folder`; with `log`, its log is there
    too (sim.messages())."""
    files = list(printers or [])
    if not files and text is not None:
        path = folder / ("printer%d.printer" % time.monotonic_ns())
        path.write_text(text)
        files.append(str(path))
    log_path = folder / ("sim%d.log" % time.monotonic_ns()) if log else None
    return MonitorSim(prefix, *options, printers=files, log_path=log_path)
