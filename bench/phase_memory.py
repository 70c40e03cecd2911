"""Memory with 256 calls of opnum 2 in flight, untimed: the null server
holding each call in its routine (bare, and with the stub's copy), the
product and the null server that sends the block, both waiting on a slowed
MonitorSim, and BenchDirect with 256 threads waiting in SendMessageW.

Raw data (bytes): null_inflight_{bare,stub,send}, product.inflight: idle
and end readings, the samples (seconds, private, working set, threads,
stack per thread), their heap and data part (nonstack), and the plateau
with every call in flight (its median, quartiles and sample count);
messaging_memory: what a thread waiting in SendMessageW holds.
"""
import threading
import time

import measures
import sites
from settings import CLIENT_NAME, NULL_ENDPOINT
from tools import Program, client_args, log, start_ready

INFLIGHT_CLIENTS = 256
SAMPLE_S = 0.1


def sample_while(pid, action):
    """Samples (seconds, private, working set, threads, stack per thread) of
    a process every 0.1 s while `action` runs; (samples, its result)."""
    samples = []
    stop = threading.Event()

    def sampler():
        t0 = time.time()
        while not stop.is_set():
            m, split = measures.memory(pid), measures.private_split(pid)
            if m and split:
                samples.append((time.time() - t0, split[0], m["VmRSS"], split[1], split[2]))
            time.sleep(SAMPLE_S)

    thread = threading.Thread(target=sampler, daemon=True)
    thread.start()
    try:
        result = action()
    finally:
        stop.set()
        thread.join()
    return samples, result


def plateau_figures(samples, per_thread):
    """Heap and data of every sample, and of the plateau where every call
    is in flight and all threads are up: its median, since a sample taken
    while threads start or end counts a stack too many or too few, and its
    quartiles, the spread."""
    nonstack = [(t, private - threads * per_thread) for t, private, _, threads, _ in samples]
    top = max(x[3] for x in samples)
    plateau = sorted(n for (t, n), x in zip(nonstack, samples) if x[3] >= top - 2)
    return {"nonstack": nonstack, "plateau_samples": len(plateau),
            "peak_nonstack": plateau[len(plateau) // 2] if plateau else 0.0,
            "plateau_quartiles": (plateau[len(plateau) // 4], plateau[(3 * len(plateau)) // 4])
            if plateau else (0.0, 0.0)}


def inflight_run(ctx, kind, pid, endpoint, seconds=None):
    """256 clients call opnum 2 at once while the server's memory is sampled."""
    time.sleep(0.5)
    idle, idle_split = measures.memory(pid), measures.private_split(pid)
    args = client_args("ncalrpc", "config", CLIENT_NAME, endpoint, "--clients", INFLIGHT_CLIENTS,
                       "--seconds", ctx.scale.inflight_s if seconds is None else seconds,
                       "--warmup", 0, "--grace-s", 60)
    samples, (results, _, _) = sample_while(pid, lambda: ctx.main.tool("BenchClient.exe", args))
    # The stack cost of one thread, from the sample with the most threads.
    per_thread = max(samples, key=lambda x: x[3])[4] or 0.0
    if per_thread:
        ctx.stack_per_thread = per_thread
    peak = max(samples, key=lambda x: x[1])
    r = {"idle": idle, "end": measures.memory(pid), "peak_private": peak[1], "peak_ws": max(x[2] for x in samples),
         "peak_threads": max(x[3] for x in samples), "threads_at_peak": peak[3], "stack_per_thread": per_thread,
         "idle_nonstack": idle_split[0] - idle_split[1] * per_thread, "samples": samples,
         "client": results[0] if results else None}
    r.update(plateau_figures(samples, per_thread))
    log("  in flight (%s): private %0.f -> peak %0.f KiB, %d -> %d threads of %0.f KiB stacks; "
        "heap and data %0.f -> %0.f KiB" % (
            kind, idle["RssAnon"] / 1024, peak[1] / 1024, idle["Threads"], r["peak_threads"], per_thread / 1024,
            r["idle_nonstack"] / 1024, r["peak_nonstack"] / 1024))
    return r


def null_memory(ctx):
    """The runtime's own memory with 256 calls held in the routines."""
    log("null server memory with 256 calls in flight")
    for mode, args in (("bare", ["--bare"]), ("stub", [])):
        server = start_ready(ctx.main.prefix, "BenchNullServer.exe", "--endpoint", NULL_ENDPOINT,
                                  "--hold-ms", ctx.scale.null_hold_ms, *args)
        # Every client makes its first call only, and the server holds it
        # longer than the clients take to connect: one wave of 256 calls,
        # all in the same step.
        ctx.data["null_inflight_" + mode] = inflight_run(ctx, "null " + mode, server.pid, NULL_ENDPOINT, seconds=0)
        server.close()
        time.sleep(0.5)


def product_memory(ctx):
    """Memory with 256 calls in flight: the language monitor answers
    slowly, so every client's call waits inside a fresh server. Then the
    null server that makes the same copy and sends the same block, its
    calls waiting on the same slowed monitor: the runtime, the stub's copy,
    the block and the messaging of a call thread."""
    m = ctx.main
    log("product: memory with 256 calls in flight")
    m.start_monitor("--delay-ms", ctx.scale.monitor_delay_ms)
    m.start_product()
    ctx.data["product"]["inflight"] = inflight_run(ctx, "product", m.server_pid, None)
    ctx.data["product"]["exit_memory"] = m.stop_product()
    server = start_ready(m.prefix, "BenchNullServer.exe", "--endpoint", NULL_ENDPOINT + "Memory", "--send")
    ctx.data["null_inflight_send"] = inflight_run(ctx, "null send", server.pid, NULL_ENDPOINT + "Memory")
    server.close()
    ctx.data["messaging_memory"] = {"figures": {senders: waiting_senders(ctx, senders) for senders in (1, 256)}}
    log("  messaging: %d and %d samples with every sender waiting" % tuple(
        len(ctx.data["messaging_memory"]["figures"][n]["samples"]) for n in (1, 256)))
    m.start_monitor()


def waiting_senders(ctx, senders):
    """What a thread that waits in SendMessageW holds under Wine (its
    message queue state), apart from the RPC runtime: BenchDirect with
    `senders` threads blocked on the slowed language monitor; the samples
    (threads, private bytes) with every sender waiting."""
    proc = Program(ctx.main.prefix, "BenchDirect.exe", "copydata", "--printer", CLIENT_NAME, "--code", 9,
                      "--request", 2, "--senders", senders, "--calls", senders)
    pid, values = None, []
    deadline = time.time() + 60
    while proc.running() and time.time() < deadline:
        if pid is None:
            pid = sites.wait_pid(ctx.main.prefix, "BenchDirect.exe", timeout=5)
            if pid is None:
                break
        split = measures.private_split(pid)
        if split and split[1] >= senders:
            values.append((split[1], split[0]))
        time.sleep(0.2)
    proc.close(timeout=60)
    top = max((v[0] for v in values), default=0)
    return {"threads": top, "samples": [v for v in values if v[0] >= top - 1]}


def finish_messaging(ctx):
    """The messaging figure once the stack cost of a thread is known: the
    heap and data of 256 waiting senders less that of one, per thread."""
    mm = ctx.data.get("messaging_memory")
    if not mm:
        return
    for f in mm["figures"].values():
        plateau = sorted(private - threads * ctx.stack_per_thread for threads, private in f.pop("samples", []))
        f["nonstack"] = plateau[len(plateau) // 2] if plateau else None
    one, many = mm["figures"].get(1), mm["figures"].get(256)
    mm["per_thread"] = None
    if one and many and one["nonstack"] is not None and many["nonstack"] is not None:
        mm["per_thread"] = (many["nonstack"] - one["nonstack"]) / 255.0
    log("  messaging: a thread waiting in SendMessageW holds %s bytes besides its stacks" % (
        "%.0f" % mm["per_thread"] if mm["per_thread"] is not None else "n/a"))
