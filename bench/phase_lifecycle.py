"""The second prefix's server: start-up (START to the first answered call,
alone on the machine), the leak check of opnum 0, and the idle window.
Its prefix has only this server and an idle language monitor, so the leak
check can run beside the main prefix's untimed work and the idle window
beside its timed runs.

Raw data: product.startup (ms), product.leak.send (phase_leak),
product.idle (CPU seconds, context switches, memory in bytes),
product.exit_lifecycle (the controller's report of the server's exit).
"""
import time

import measures
import phase_leak
import sites
from settings import CLIENT_NAME
from tools import parse_fields


def startup(ctx):
    """START to the first answered call, on an otherwise quiet machine."""
    s = ctx.side
    s.log("product: start-up")
    s.launch_product()
    time.sleep(1.5)   # the server has opened the events and waits on them
    _, others, code = s.tool("BenchClient.exe", ["--startup", "--protseq", "ncalrpc", "--op", "send",
                                                 "--printer", CLIENT_NAME])
    lines = [parse_fields(line) for line in others if line.startswith("startup")]
    ctx.data["product"]["startup"] = lines[0] if lines else None
    if lines:
        s.log("  START to first answered call: %.1f ms" % lines[0]["ms"])
    else:
        ctx.note("start-up: BenchClient --startup ended with code %s and no figure: %s" % (code, " ".join(others)))


def leak(ctx):
    """The leak check of opnum 0 on the server that has answered only the
    start-up call."""
    sc, s = ctx.scale, ctx.side
    s.log("product: leak check of opnum 0, %d calls" % sc.leak_large)
    threads = s.steady_threads()
    ctx.data["product"].setdefault("leak", {}).update(
        phase_leak.leak_check(s, (("send", sc.leak_small, sc.leak_large),), threads))


def idle(ctx):
    """CPU and context switches of the listening server while nothing calls it."""
    sc, s = ctx.scale, ctx.side
    s.log("product: idle %d s" % sc.idle_s)
    s.steady_threads()
    mem_idle = measures.memory(s.server_pid)
    split = measures.private_split(s.server_pid)
    if split:
        mem_idle["Private"], mem_idle["SmapsThreads"] = split[0], split[1]
    before, switches_before = measures.cpu_sample(sites.process_names(s.prefix)), measures.thread_switches(s.server_pid)
    time.sleep(sc.idle_s)
    after, switches_after = measures.cpu_sample(sites.process_names(s.prefix)), measures.thread_switches(s.server_pid)
    spent = measures.cpu_delta(before, after)
    figures = {
        "seconds": sc.idle_s, "server_cpu_s": spent.get("DeviceRpcServer.exe", 0.0),
        "wineserver_cpu_s": spent.get("wineserver", 0.0), "monitor_cpu_s": spent.get("MonitorSim.exe", 0.0),
        "server_wakeups": measures.switches_between(switches_before, switches_after), "memory": mem_idle,
        "threads_after": measures.memory(s.server_pid)["Threads"], "after_calls": sc.leak_large}
    ctx.data["product"]["idle"] = figures
    s.log("  idle %d s: server CPU %.3f s, %d context switches" % (
        sc.idle_s, figures["server_cpu_s"], figures["server_wakeups"]))


def close(ctx):
    """The second prefix's server, monitor and processes go."""
    ctx.data["product"]["exit_lifecycle"] = ctx.side.close()
