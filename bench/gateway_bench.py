#!/usr/bin/python3
"""The status gateway's benchmark, run by `scripts/bench --gateway`.

One private Wine prefix ($BUILD_DIR/bench-prefix-gateway) holds MonitorSim
with the sample printer and the server; the gateway (`devicerpc gateway`,
this tree's Python package) runs over it with the sample printer alone
(harness.gateway.Site). Then:

1. /probe of the sample printer against the same collection made directly
   by the Python client, in interleaved rounds (bench/gateway_probe.py);
2. 50 concurrent HTTP clients (wrk) on the pages and on /probe, with the
   RPC calls that reached the server, the gateway's memory and CPU
   (bench/gateway_load.py).

Writes bench/results/gateway.md and gateway.json; `--report-only JSON`
writes the report again from saved numbers (bench/gateway_report.py).
"""
import argparse
import json
import os
import shutil
import sys
import tempfile

import psutil

from settings import BIN, BUILD, CLIENT_NAME, ROOT, Scale

sys.path.insert(0, ROOT)   # the harness package
import gateway_load  # noqa: E402
import gateway_probe  # noqa: E402
import gateway_report  # noqa: E402
import run_all  # noqa: E402
import sites  # noqa: E402
from harness import env  # noqa: E402
from harness.gateway import Site  # noqa: E402
from tools import log, write_report  # noqa: E402

PREFIX = os.path.join(BUILD, "bench-prefix-gateway")
# Short enough that the pages' run spans several refreshes.
REFRESH_INTERVAL_S = 5
CALL_TIMEOUT_S = 10


def lengths(quick):
    """(rounds of part 1 per placement, seconds of each run of part 2)."""
    return (10, 5) if quick else (100, 30)


def new_site(folder):
    """A fresh prefix and the site to start in it: MonitorSim, the server
    and a gateway over the sample printer alone."""
    log("making the Wine prefix %s" % PREFIX)
    prefix = sites.make_prefix(PREFIX)
    return Site(prefix, folder, printers=[CLIENT_NAME], refresh_interval=REFRESH_INTERVAL_S,
                call_timeout=CALL_TIMEOUT_S)


def run(quick):
    """Both parts on one site; the raw numbers."""
    rounds, seconds = lengths(quick)
    env.use_bin(BIN)
    data = {"meta": run_all.meta(Scale(quick)),
            "settings": {"refresh_interval": REFRESH_INTERVAL_S, "call_timeout": CALL_TIMEOUT_S,
                         "printers": [CLIENT_NAME], "rounds": rounds, "load_s": seconds}}
    folder = tempfile.mkdtemp(prefix="devicerpc-gateway-bench-")
    site = new_site(folder)
    try:
        log("starting MonitorSim, the server and the gateway")
        site.start()
        data["gateway_rss_start"] = psutil.Process(site.gateway.pid).memory_info().rss
        data["probe"] = gateway_probe.run(site, rounds, CALL_TIMEOUT_S)
        data["load"] = gateway_load.run(site, seconds)
        data["gateway_log"] = site.gateway.log()[-2000:]
    finally:
        # Site.stop leaves a persistent wineserver behind; the prefix stays
        # on disk, none of its processes.
        site.stop()
        site.prefix.stop_all(keep=False)
        shutil.rmtree(folder, ignore_errors=True)
    data["meta"]["loadavg_end"] = run_all.loadavg()
    return data


def main():
    """The command line: a measuring run, or --report-only from saved numbers."""
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short runs, to try the benchmark")
    parser.add_argument("--report-only", metavar="JSON", help="write the report from saved raw numbers")
    options = parser.parse_args()
    if options.report_only:
        with open(options.report_only) as f:
            data = json.load(f)
    else:
        data = run(options.quick)
    write_report("gateway", data, gateway_report.render, raw=not options.report_only)
    return 0


if __name__ == "__main__":
    sys.exit(main())
