"""The order of a benchmark run (docs/BENCHMARKS.md, "How the run is laid out").

1. Both prefixes are made at once.
2. Start-up, alone on the machine.
3. Side by side, none of it timed: the leak check of opnum 0 in the second
   prefix; in the main prefix the memory runs (the null servers beside the
   product's) and the leak check of opnums 2 and 3 on a fresh server, which
   then serves the timed runs.
4. The timed runs in the main prefix, with the second prefix's idle window
   beside the first of them (an idle server takes no CPU).
"""
import datetime
import os
import subprocess
import threading
import time

import phase_latency
import phase_leak
import phase_lifecycle
import phase_memory
import phase_names
import phase_throughput
from context import Context
from harness import env
from settings import ALL_CPUS, BIN, MAIN_PREFIX, ROOT, SIDE_PREFIX
from tools import log


def loadavg():
    """The load average over 1, 5 and 15 minutes, as text."""
    with open("/proc/loadavg") as f:
        return f.read().split()[:3]


def meta(scale):
    """What the report's header says about the run."""
    return {"date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), "loadavg_start": loadavg(),
            "cores": os.cpu_count(),
            "wine": subprocess.run([env.WINE, "--version"], capture_output=True, text=True).stdout.strip(),
            "commit": subprocess.run(["git", "-C", ROOT, "describe", "--always", "--dirty"],
                                     capture_output=True, text=True).stdout.strip(),
            "quick": scale.quick}


def make_prefixes(ctx):
    """Both prefixes at once (wineboot mostly waits), each with its monitor."""
    log("making the Wine prefixes %s and %s" % (MAIN_PREFIX, SIDE_PREFIX))
    boots = [threading.Thread(target=site.make) for site in (ctx.main, ctx.side)]
    ctx.timed("main", "prefixes", lambda: ([t.start() for t in boots], [t.join() for t in boots]))
    ctx.main.start_monitor()
    ctx.side.start_monitor()


def untimed_phases(ctx):
    """The leak check of opnum 0 in the second prefix beside the memory
    runs and the leak check of opnums 2 and 3 in the main one."""
    side = ctx.in_side((("leak check, opnum 0", lambda: phase_lifecycle.leak(ctx)),))
    null_memory = ctx.beside("null memory", lambda: phase_memory.null_memory(ctx))
    ctx.timed("main", "product memory", phase_memory.product_memory, ctx)
    ctx.timed("main", "waiting for the null memory runs", ctx.join_side, null_memory)
    ctx.timed("main", "leak check, opnums 2 and 3", phase_leak.device_leak, ctx)
    ctx.timed("main", "waiting for the opnum 0 leak check", ctx.join_side, side)
    phase_leak.finish_leak(ctx)
    phase_memory.finish_messaging(ctx)
    ctx.data["stack_per_thread"] = ctx.stack_per_thread


def timed_phases(ctx):
    """The timed runs in the main prefix; the second one has only the
    listening server, whose idle window runs meanwhile."""
    side = ctx.in_side((("idle window", lambda: phase_lifecycle.idle(ctx)),
                        ("closing", lambda: phase_lifecycle.close(ctx))))
    ctx.timed("main", "null servers", phase_throughput.start_null_servers, ctx)
    ctx.timed("main", "probe calls", phase_latency.probe_servers, ctx)
    for name, phase in (("latency", phase_latency.run), ("throughput", phase_throughput.run),
                        ("backlog", phase_throughput.backlog), ("names", phase_names.run)):
        ctx.timed("main", name, phase, ctx)
    ctx.join_side(side)


def shutdown(ctx):
    """Everything of the run goes, whatever happened: the null servers, the
    main server (its exit as the controller reports it), both monitors and
    both prefixes' processes."""
    try:
        phase_throughput.stop_null_servers(ctx)
        answer = ctx.main.stop_product()
        if answer:
            ctx.data["product"]["exit"] = answer
    finally:
        for site in (ctx.main, ctx.side):
            try:
                site.stop_monitor()
            except Exception:   # the prefix goes in any case
                pass
        ctx.set_main_cpus(ALL_CPUS)
        ctx.main.prefix.stop_all(keep=False)
        ctx.side.prefix.stop_all(keep=False)


def run(scale):
    """Every phase in its order; the raw numbers (bench/results/latest.json)."""
    env.use_bin(BIN)
    ctx = Context(scale)
    ctx.data["meta"] = meta(scale)
    try:
        make_prefixes(ctx)
        ctx.timed("main", "start-up (second prefix)", phase_lifecycle.startup, ctx)
        untimed_phases(ctx)
        timed_phases(ctx)
    finally:
        shutdown(ctx)
    data = ctx.data
    data["meta"].update(timeline=ctx.timeline, seconds=time.time() - ctx.started, loadavg_end=loadavg())
    data["scale_monitor_delay"] = scale.monitor_delay_ms
    data["scale_null_hold"] = scale.null_hold_ms
    data["scale_grace"] = scale.grace_s
    return data
