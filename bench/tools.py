"""Running the bench tools and reading their `result` lines.

Each tool prints one line per run: `result threads=.. calls=.. errors=..
stuck=.. seconds=.. throughput=.. p50_us=.. p99_us=.. mean_us=.. min_us=..
max_us=..`, and `started` when its clock starts.
"""
import re
import threading
import time

import wine

_log_lock = threading.Lock()


def log(text):
    """One progress line; phases on other threads log too."""
    with _log_lock:
        print("bench: " + text, flush=True)


def parse_fields(line):
    """The key=value fields of a tool's line, numbers as numbers."""
    fields = {}
    for key, value in re.findall(r'(\w+)=("[^"]*"|\S+)', line):
        value = value.strip('"')
        try:
            fields[key] = float(value) if re.search(r"[.eE]", value) else int(value)
        except ValueError:
            fields[key] = value
    return fields


def mean_result(results):
    """The mean of the figures of several runs of the same measurement;
    errors and calls add up. A run without a single answered call has no
    latency and is left out of the means. The runs themselves stay in the
    raw data."""
    merged = {"rounds": len(results)}
    answered = [r for r in results if r.get("calls", 0) > r.get("errors", 0)] or results
    for key in ("p50_us", "p99_us", "mean_us", "throughput"):
        merged[key] = sum(r.get(key, 0.0) for r in answered) / max(1, len(answered))
    for key in ("calls", "errors", "stuck"):
        merged[key] = sum(r.get(key, 0) for r in results)
    merged["p50_rounds"] = [r.get("p50_us", 0.0) for r in results]
    return merged


def run_tool(prefix, exe, args, on_started=None, on_result=None, timeout=900):
    """Runs a bench tool to its end; returns (result dicts, other lines, exit code).
    `on_started` is called at its `started` line, `on_result` with each
    result before it is kept (to add the figures sampled meanwhile)."""
    proc = wine.start(prefix, exe, *args)
    results, others = [], []
    deadline = time.time() + timeout
    while True:
        line = proc.line(max(1, deadline - time.time()))
        if line is None:
            break
        if line.startswith("started"):
            if on_started:
                on_started()
        elif line.startswith("result "):
            fields = parse_fields(line)
            if on_result:
                on_result(fields)
            results.append(fields)
        else:
            others.append(line)
    code = proc.close(timeout=60)
    for line in proc.stderr_text().splitlines()[:6]:
        log("  %s: %s" % (exe, line))
    return results, others, code


def client_args(protseq, op, printer, endpoint=None, *extra):
    """BenchClient's arguments for one procedure over one protocol sequence;
    TCP clients connect to 127.0.0.1 and the endpoint is the port."""
    args = ["--protseq", protseq, "--op", op, "--printer", printer, *extra]
    if endpoint:
        args += ["--endpoint", endpoint]
    if protseq == "ncacn_ip_tcp":
        args += ["--host", "127.0.0.1"]
    return args
