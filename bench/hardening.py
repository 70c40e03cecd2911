#!/usr/bin/python3
"""The cost of the release hardening: a hardened and an unhardened server
side by side in one run, run by `scripts/bench --hardening`.

The hardened server is the build tree's ($BUILD_DIR/bin); the unhardened
one is the same source configured with -DDEVICERPC_HARDEN=OFF
($BUILD_DIR/unhardened/bin, which scripts/bench builds). Everything else
(DeviceRpcCtl, MonitorSim, BenchClient) is the build tree's, so only the
server differs. The server allows one instance per Wine prefix, so each
server runs in a prefix of its own ($BUILD_DIR/bench-prefix-hardening-a
and -b), with its own MonitorSim, both at once. Every procedure is called
over each protocol sequence at one client, as in the main benchmark's
latency runs, with every process of both prefixes on one CPU; the two
servers' runs of a procedure follow each other directly, so that other
work on the machine touches both alike. The order of the two runs
alternates from round to round, and the servers change prefixes every few
rounds.

Writes bench/results/hardening.md and hardening.json; `--report-only JSON`
writes the report again from saved numbers (bench/report_hardening.py).
`--control` puts the hardened server on both sides (hardening-control.md):
its ratios show what the method resolves on the machine of the moment.
"""
import argparse
import contextlib
import json
import os
import subprocess
import sys
import threading

from settings import ALL_CPUS, BUILD, CLIENT_NAME, ONE_CPU, OPS, PROTSEQS, ROOT, Scale

sys.path.insert(0, ROOT)   # the harness package
import measures  # noqa: E402
import phase_latency  # noqa: E402
import report_hardening  # noqa: E402
import run_all  # noqa: E402
import sites  # noqa: E402
from context import Context  # noqa: E402
from harness import env  # noqa: E402
from tools import client_args, log, write_report  # noqa: E402

PREFIXES = [os.path.join(BUILD, "bench-prefix-hardening-" + side) for side in "ab"]
VARIANTS = ("hardened", "unhardened")
# Over TCP only opnum 0 is small enough for the server's own work to show:
# the device requests' 64 KiB answers wait about 44 ms for Wine's runtime.
PROTSEQS_OF = {op: PROTSEQS if op == "send" else ["ncalrpc"] for op in OPS}
PLACEMENT_ROUNDS = 4
SERVER = "DeviceRpcServer.exe"
NM = "x86_64-w64-mingw32-nm"


def build_dirs(control):
    """{variant: build tree}: the hardened one and its unhardened twin; for
    a control run the hardened one on both sides."""
    return {"hardened": BUILD, "unhardened": BUILD if control else os.path.join(BUILD, "unhardened")}


def describe_build(tree):
    """What the report says of a server: its path, the build's options as
    its CMake cache has them, and whether the stack guard is linked in."""
    cache = {}
    with open(os.path.join(tree, "CMakeCache.txt")) as f:
        for line in f:
            key, _, value = line.strip().partition("=")
            cache[key.split(":")[0]] = value
    exe = os.path.join(tree, "bin", SERVER)
    symbols = subprocess.run([NM, exe], capture_output=True, text=True).stdout.split()
    return {"server": exe, "harden": cache.get("DEVICERPC_HARDEN", "?"),
            "toolchain": os.path.basename(cache.get("CMAKE_TOOLCHAIN_FILE", "?")),
            "build_type": cache.get("CMAKE_BUILD_TYPE", "?"),
            "stack_guard": "__stack_chk_guard" in symbols}


def probe(ctx):
    """One untimed call over each protocol sequence, so that no first
    connection falls into a timed run."""
    for protseq in PROTSEQS:
        args = client_args(protseq, "send", CLIENT_NAME, ctx.product_endpoint(protseq),
                           "--calls", 1, "--warmup", 0, "--grace-s", 10)
        results, _, _ = ctx.main.tool("BenchClient.exe", args)
        if not results or results[0].get("errors"):
            ctx.note("the probe call over %s to %s failed" % (protseq, ctx.main.label))


@contextlib.contextmanager
def one_cpu(contexts):
    """Every process of every prefix, and the clients started meanwhile, on one CPU."""
    def pids():
        found = {}
        for ctx in contexts:
            found.update(sites.process_names(ctx.main.prefix))
        return found
    measures.set_affinity(pids(), ONE_CPU)
    try:
        yield
    finally:
        measures.set_affinity(pids(), ALL_CPUS)


def start_servers(placed, servers):
    """Each variant's server started in its prefix ({variant: context})."""
    for variant, ctx in placed.items():
        ctx.main.server_exe = servers[variant]
        ctx.main.start_product()
        probe(ctx)


def stop_servers(placed):
    """Both servers ended by TERMINATE; an unexpected exit is noted."""
    for variant, ctx in placed.items():
        answer = ctx.main.stop_product()
        if answer != "exit code 0":
            ctx.note("the %s server in %s ended with: %s" % (variant, ctx.main.label, answer))


def measure_round(index, placed):
    """Each procedure over its protocol sequences from both servers, the
    two runs one right after the other, their order alternating from round
    to round: {variant: {op: {protseq: result}}, "order", "prefixes"}."""
    order = VARIANTS if index % 2 == 0 else VARIANTS[::-1]
    entry = {"order": list(order), "prefixes": {v: c.main.prefix.path for v, c in placed.items()}}
    with one_cpu(placed.values()):
        for op in OPS:
            for protseq in PROTSEQS_OF[op]:
                for variant in order:
                    ctx = placed[variant]
                    entry.setdefault(variant, {}).setdefault(op, {})[protseq] = phase_latency.one_client(
                        ctx, variant, protseq, ctx.product_endpoint(protseq), op)
    return entry


def measure(contexts, servers, rounds):
    """Every round; the servers change prefixes every PLACEMENT_ROUNDS
    rounds, so that a difference of the prefixes touches both alike."""
    done = []
    for first in range(0, rounds, PLACEMENT_ROUNDS):
        swapped = (first // PLACEMENT_ROUNDS) % 2
        placed = dict(zip(VARIANTS, contexts[::-1] if swapped else contexts))
        start_servers(placed, servers)
        try:
            for index in range(first, min(rounds, first + PLACEMENT_ROUNDS)):
                log("round %d of %d" % (index + 1, rounds))
                done.append(measure_round(index, placed))
        finally:
            stop_servers(placed)
    return done


def new_contexts(scale):
    """A benchmark context for each prefix (nothing started yet)."""
    contexts = []
    for path, label in zip(PREFIXES, ("prefix a", "prefix b")):
        ctx = Context(scale)
        ctx.main = sites.Site(path, label)
        contexts.append(ctx)
    return contexts


def boot(contexts):
    """Each prefix made afresh (at once, wineboot mostly waits), with its MonitorSim."""
    log("making the Wine prefixes %s" % ", ".join(PREFIXES))
    boots = [threading.Thread(target=ctx.main.make) for ctx in contexts]
    for thread in boots:
        thread.start()
    for thread in boots:
        thread.join()
    for ctx in contexts:
        ctx.main.start_monitor()


def run(quick, control):
    """Every round; the raw numbers."""
    scale = Scale(quick)
    # Many short pairs rather than a few long ones: other work on the
    # machine moves single runs, and the median of the pairs resists it.
    scale.latency_s = 0.3 if quick else 0.5
    rounds = 2 if quick else 16
    env.use_bin(os.path.join(BUILD, "bin"))
    builds = {variant: describe_build(tree) for variant, tree in build_dirs(control).items()}
    data = {"meta": run_all.meta(scale), "builds": builds, "run_s": scale.latency_s, "control": control}
    contexts = new_contexts(scale)
    try:
        boot(contexts)
        data["rounds"] = measure(contexts, {v: b["server"] for v, b in builds.items()}, rounds)
    finally:
        for ctx in contexts:
            ctx.main.close()
    data["notes"] = [note for ctx in contexts for note in ctx.data["notes"]]
    data["meta"]["loadavg_end"] = run_all.loadavg()
    return data


def main():
    """The command line: a measuring run, or --report-only from saved numbers."""
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short runs, to try the comparison")
    parser.add_argument("--control", action="store_true",
                        help="the hardened server on both sides: what the method resolves")
    parser.add_argument("--report-only", metavar="JSON", help="write the report from saved raw numbers")
    options = parser.parse_args()
    if options.report_only:
        with open(options.report_only) as f:
            data = json.load(f)
    else:
        data = run(options.quick, options.control)
    name = "hardening-control" if data.get("control") else "hardening"
    write_report(name, data, report_hardening.render, raw=not options.report_only)
    return 0


if __name__ == "__main__":
    sys.exit(main())
