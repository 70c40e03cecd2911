"""Leak checks, untimed: private bytes of a server after a small number of
calls, half-way to the large number and at it, each read once the runtime's
call threads have ended. A leak grows in both halves alike; a one-off step
(a heap that grows once) does not. Opnum 0 runs on the second prefix's
server (phase_lifecycle), opnums 2 and 3 on a fresh server of the main one.

Raw data: product.leak[op]: points (calls, reading), errors, seconds; each
reading in bytes: RssAnon, VmRSS, Threads, Private (smaps), SmapsThreads,
and NonStack (private less the threads' stacks) once the stack cost of a
thread is known.
"""
import time

from settings import CLIENT_NAME, LEAK_CLIENTS
from tools import client_args, log


def leak_check(site, plan, idle_threads):
    """For each (op, small, large) of `plan`: the readings after `small`
    calls, half-way and after `large`, on the site's server."""
    leak = {}
    for op, small, large in plan:
        common = client_args("ncalrpc", op, CLIENT_NAME, None, "--clients", LEAK_CLIENTS, "--warmup", 0,
                             "--grace-s", 30)
        errors, points, done = 0, [], 0
        started = time.time()
        for target in (small, (small + large) // 2, large):
            results, _, _ = site.tool("BenchClient.exe", common + ["--calls", target - done])
            errors += results[0]["errors"] if results else target - done
            done = target
            points.append((target, site.settled_memory(idle_threads)))
        leak[op] = {"points": points, "errors": errors, "seconds": time.time() - started}
        site.log("  leak %-6s private %s" % (op, ", ".join(
            "%d calls %.0f KiB (%d threads)" % (n, m.get("Private", 0) / 1024, m["Threads"]) for n, m in points)))
    return leak


def device_leak(ctx):
    """The leak check of opnums 2 and 3 on a fresh server, which then serves
    the timed runs."""
    sc, m = ctx.scale, ctx.main
    log("product: leak check of opnums 2 and 3, %d calls each" % sc.leak_device_large)
    m.start_product()
    threads = m.steady_threads()
    ctx.data["product"].setdefault("leak", {}).update(leak_check(
        m, (("config", sc.leak_device_small, sc.leak_device_large),
            ("mapped", sc.leak_device_small, sc.leak_device_large)), threads))


def finish_leak(ctx):
    """Heap and data of every reading, taken before the stack cost of a
    thread was measured: private bytes less the threads' stacks."""
    for r in ctx.data["product"].get("leak", {}).values():
        for _, m in r["points"]:
            if m and "Private" in m:
                m["NonStack"] = m["Private"] - m["SmapsThreads"] * ctx.stack_per_thread
