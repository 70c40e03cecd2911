"""Paths, names and run lengths of the benchmark driver.

The sizes here are the ones the clients send and the allowances the memory
targets are judged against; every other module takes them from here.
"""
import os

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, os.environ.get("BUILD_DIR", "build"))
BIN = os.path.join(BUILD, "bin")
MAIN_PREFIX = os.path.join(BUILD, "bench-prefix")
SIDE_PREFIX = os.path.join(BUILD, "bench-prefix-lifecycle")
RESULTS = os.path.join(ROOT, "bench", "results")
SAMPLE_PRINTER = os.path.join(ROOT, "samples", "office.printer")

CLIENT_NAME = "OFFICE"           # the sample printer's share name, as a remote client names it
LRPC_ENDPOINT = "MirelVEXA2xZOLT7"
NULL_ENDPOINT = "DeviceRpcBenchNull"
PROTSEQS = ["ncalrpc", "ncacn_ip_tcp"]
OPS = ["send", "config", "bins", "mapped"]
OP_TITLES = {
    "send": "opnum 0 (command)",
    "config": "opnum 2, DEVREQ_CONFIG",
    "bins": "opnum 2, DEVREQ_BIN_INFO",
    "mapped": "opnum 3 (mapped, request 2)",
}
# The WM_COPYDATA message of each procedure: code and request.
OP_MESSAGE = {"send": (5, 0), "config": (9, 2), "bins": (9, 3), "mapped": (11, 2)}
CLIENT_COUNTS = [1, 8, 64, 256]
PRINTER_COUNTS = [1, 10, 100, 1000]
CLK_TCK = os.sysconf("SC_CLK_TCK")         # the idle target allows less than one tick
LEAK_CLIENTS = 32
OUTPUT_BYTES = 32768                       # pcbOutData the clients send
BLOCK_BYTES = 26 + 2 * len(CLIENT_NAME) + 0 + OUTPUT_BYTES   # RequestBlock of opnums 2 and 3
MEMORY_ALLOWANCE = 2 * 32768 + BLOCK_BYTES  # per call in flight beyond the runtime
STUB_COPY_BYTES = 65552                     # the stub's copy of both arrays and the strings
# Processes whose CPU the tables show by name; anything else is "other".
KNOWN_PROCESSES = ("DeviceRpcServer.exe", "BenchNullServer.exe", "BenchClient.exe", "MonitorSim.exe", "wineserver")

ALL_CPUS = sorted(os.sched_getaffinity(0))
ONE_CPU = [ALL_CPUS[-1]]


class Scale:
    """Run lengths; --quick shortens everything for a smoke run of the driver."""

    def __init__(self, quick):
        self.quick = quick
        self.latency_s = 0.3 if quick else 0.4      # one client, on one CPU, per round
        self.latency_rounds = 2
        self.load_s = 0.3 if quick else 0.4         # each of 8, 64, 256 clients
        self.bound_s = 0.3 if quick else 0.8        # the monitor bound of each procedure
        self.direct_s = 0.3 if quick else 0.4
        self.grace_s = 4                            # a call longer than this is stuck
        self.idle_s = 3 if quick else 30
        self.leak_small = 200 if quick else 1000
        self.leak_large = 2000 if quick else 100000
        self.leak_device_small = 100 if quick else 500
        self.leak_device_large = 300 if quick else 3000
        self.inflight_s = 2 if quick else 4
        self.monitor_delay_ms = 20
        self.null_hold_ms = 3000 if quick else 5000
        self.printer_counts = [1, 10, 100] if quick else PRINTER_COUNTS
        self.names_budget_s = 0.3 if quick else 0.5   # per printer count, each of walk and product
