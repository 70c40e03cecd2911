"""Part 2 of the gateway's benchmark: 50 concurrent HTTP clients on the
pages and on /probe, with what reached the server meanwhile.

The load comes from Debian's wrk (bench/gateway_wrk.lua rotates each run's
paths): one event-loop thread in C keeping 50 kept-alive connections, which
costs a few per cent of a core at the gateway's rates, where a Python client
would take a good part of the core that the gateway itself needs. Its CPU
is read from its rusage and reported beside the gateway's.

Around every run, with no collection in flight: MonitorSim's logged messages
(one per RPC device request the server handed to the monitor), the gateway's
own /metrics figures, its resident memory (psutil RSS, also sampled during
the run for the peak) and the CPU of the gateway and of the Wine prefix.
"""
import os
import subprocess
import tempfile
import threading
import time

import psutil
from prometheus_client.parser import text_string_to_metric_families

import measures
import sites
from gateway_probe import PROBE_PATH, SERVER_NAME
from settings import CLIENT_NAME
from tools import log, parse_fields

WRK = "wrk"
WRK_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "gateway_wrk.lua")
WRK_THREADS = 1
CONNECTIONS = 50
PAGES = ["/", "/printers/%s/%s" % (SERVER_NAME, CLIENT_NAME)]
# The headline run mixes all three; the other two split it by kind.
RUNS = (("pages and /probe", PAGES + [PROBE_PATH]), ("pages", PAGES), ("/probe", [PROBE_PATH]))
FIGURES = {"devicerpc_gateway_rpc_calls_total": "calls",
           "devicerpc_gateway_collections_total": "collections",
           "devicerpc_gateway_joined_requests_total": "joined",
           "devicerpc_gateway_collections_in_flight": "in_flight",
           "devicerpc_gateway_rpc_duration_seconds_sum": "rpc_seconds"}
IDLE_WAIT_S = 30
RSS_EVERY_S = 0.25


def gateway_figures(site):
    """The gateway's own figures from /metrics, summed over their labels."""
    answer = site.gateway.get("/metrics")
    if answer.status != 200:
        raise RuntimeError("/metrics answered %d" % answer.status)
    figures = dict.fromkeys(FIGURES.values(), 0.0)
    for family in text_string_to_metric_families(answer.text):
        for sample in family.samples:
            if sample.name in FIGURES:
                figures[FIGURES[sample.name]] += sample.value
    return figures


def idle_figures(site):
    """The gateway's figures once no collection is in flight (a run's last
    requests may have started one that ends after wrk)."""
    deadline = time.time() + IDLE_WAIT_S
    figures = gateway_figures(site)
    while figures["in_flight"] and time.time() < deadline:
        time.sleep(0.1)
        figures = gateway_figures(site)
    return figures


def snapshot(site):
    """Everything read around a run: messages, /metrics, RSS and CPU."""
    figures = idle_figures(site)
    gateway = psutil.Process(site.gateway.pid)
    times = gateway.cpu_times()
    return {"messages": len(site.messages()), "gateway": figures, "rss": gateway.memory_info().rss,
            "gateway_cpu": times.user + times.system,
            "prefix_cpu": measures.cpu_sample(sites.process_names(site.prefix)),
            "machine": measures.machine_times(), "time": time.time()}


class RssPeak(threading.Thread):
    """Samples a process's resident memory until stopped; the largest sample."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.process, self.peak, self.done = psutil.Process(pid), 0, threading.Event()

    def run(self):
        """Samples every RSS_EVERY_S."""
        while not self.done.wait(RSS_EVERY_S):
            try:
                self.peak = max(self.peak, self.process.memory_info().rss)
            except psutil.Error:
                return

    def stop(self):
        """Ends the sampling; the peak."""
        self.done.set()
        self.join()
        return self.peak


def run_wrk(url, paths, seconds):
    """wrk for `seconds` on `paths`: (its result fields, requests issued per
    path, its CPU seconds from its rusage)."""
    command = [WRK, "-t", str(WRK_THREADS), "-c", str(CONNECTIONS), "-d", "%ds" % seconds,
               "--timeout", "10s", "-s", WRK_SCRIPT, url, "--", *paths]
    with tempfile.TemporaryFile("w+") as output:
        proc = subprocess.Popen(command, stdout=output, stderr=subprocess.STDOUT, text=True)
        _, status, usage = os.wait4(proc.pid, 0)   # its own rusage, not every child's
        proc.returncode = os.waitstatus_to_exitcode(status)
        output.seek(0)
        text = output.read()
    result = next((parse_fields(line) for line in text.splitlines() if line.startswith("result ")), None)
    if proc.returncode or result is None:
        raise RuntimeError("wrk ended with %d: %s" % (proc.returncode, text[-500:]))
    issued = {}
    for line in text.splitlines():
        if line.startswith("issued "):
            fields = parse_fields(line)
            issued[fields["path"]] = fields["count"]
    return result, issued, usage.ru_utime + usage.ru_stime


def one_run(site, name, paths, seconds):
    """One wrk run with the figures read before and after it."""
    log("part 2, %d clients on %s for %d s" % (CONNECTIONS, name, seconds))
    before = snapshot(site)
    peak = RssPeak(site.gateway.pid)
    peak.start()
    try:
        result, issued, wrk_cpu = run_wrk(site.gateway.url, paths, seconds)
    finally:
        rss_peak = peak.stop()
    after = snapshot(site)
    prefix_cpu = measures.cpu_delta(before.pop("prefix_cpu"), after.pop("prefix_cpu"))
    machine_busy = measures.machine_busy(before.pop("machine"), after.pop("machine"))
    log("  %d requests, p50 %.1f ms, p99 %.1f ms; %d messages to the monitor" % (
        result["requests"], result["p50_us"] / 1e3, result["p99_us"] / 1e3,
        after["messages"] - before["messages"]))
    return {"name": name, "paths": paths, "seconds": seconds, "wrk": result, "issued": issued,
            "wrk_cpu": wrk_cpu, "before": before, "after": after, "rss_peak": max(rss_peak, after["rss"]),
            "prefix_cpu": prefix_cpu, "machine_busy": machine_busy}


def wrk_version():
    """wrk's version line (it prints it with its usage)."""
    text = subprocess.run([WRK, "--version"], capture_output=True, text=True).stdout
    return text.splitlines()[0] if text else "?"


def run(site, seconds):
    """Part 2: every run of RUNS, in order."""
    return {"connections": CONNECTIONS, "wrk_threads": WRK_THREADS,
            "wrk_version": wrk_version(),
            "runs": [one_run(site, name, paths, seconds) for name, paths in RUNS]}
