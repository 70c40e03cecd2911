#!/usr/bin/python3
"""Benchmark driver of the device RPC server, run by scripts/bench.

The runs use two private Wine prefixes. The main one ($BUILD_DIR/bench-prefix)
holds the reference language monitor, the null RPC servers, the real server
through its controlling process and the bench tools. A second one
($BUILD_DIR/bench-prefix-lifecycle) holds a second language monitor and a
second real server for the start-up, the leak check of opnum 0 and the idle
window, so that those can run beside the main prefix's work. Nothing that is
timed shares the machine with anything but an idle server.

The results go to bench/results/latest.md (tables, each figure beside its
baseline), latest.png (plots) and latest.json (raw numbers). The modules:
run_all (the order of the phases), phase_* (the measurements, raw numbers
out), analysis* and verdicts (figures and targets), report* and plot (the
rendering).
"""
import argparse
import json
import os
import sys

import analysis
import plot
import report
from settings import RESULTS, ROOT, Scale


def int_keys(obj):
    """JSON turns the client-count keys into strings; turn them back."""
    return {int(k) if isinstance(k, str) and k.isdigit() else k: v for k, v in obj.items()}


def measure(quick):
    """Runs every phase and saves the raw numbers to latest.json."""
    sys.path.insert(0, ROOT)   # the harness package
    import run_all   # only a measuring run needs Wine and the harness
    scale = Scale(quick)
    data = run_all.run(scale)
    with open(os.path.join(RESULTS, "latest.json"), "w") as f:
        json.dump(data, f, indent=1)
    return data


def write_results(data, path_md, path_png):
    """The figures of a run, rendered once as the report and once as the plot."""
    figures = analysis.analyse(data)
    text = report.render(figures)
    with open(path_md, "w") as f:
        f.write(text)
    plot.plot(data, figures, path_png)
    return text


def main():
    """The command line: a measuring run, or --report-only from saved numbers."""
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short runs, to try the driver")
    parser.add_argument("--report-only", metavar="JSON", help="write the report from saved raw numbers")
    options = parser.parse_args()
    os.makedirs(RESULTS, exist_ok=True)
    md = os.path.join(RESULTS, "latest.md")
    png = os.path.join(RESULTS, "latest.png")
    if options.report_only:
        with open(options.report_only) as f:
            data = json.load(f, object_hook=int_keys)
    else:
        data = measure(options.quick)
    print(write_results(data, md, png))
    print("\nbench: wrote %s and %s" % (os.path.relpath(md, ROOT), os.path.relpath(png, ROOT)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
