"""The memory, leak, idle and start-up sections of the report, rendered from
the figures of analysis_memory."""
from settings import BLOCK_BYTES, LEAK_CLIENTS, MEMORY_ALLOWANCE, OP_TITLES, STUB_COPY_BYTES
from units import kib


def inflight_table(fig, w):
    """Each server with 256 calls in flight: private bytes, threads, heap and data."""
    w("256 clients call opnum 2 (DEVREQ_CONFIG, ncalrpc) at once. The product's calls wait for MonitorSim "
      "(--delay-ms %d); the null server holds each client's one call %d ms in its routine, longer than the "
      "clients take to connect, so that all 256 calls are held at once (bare: the stub copies every call's "
      "arrays into one shared block, so the calls hold the runtime's memory alone; stub: the real stub's "
      "per-call copy). Each server is a fresh process. "
      "Private bytes are split into thread stacks (one mapping per Wine thread, about 1 MiB resident each) and "
      "the rest (heap and other data), read from /proc/<pid>/smaps; the figure with all calls in flight is the "
      "median of the samples taken while every thread was up, with their quartiles beside it." % (
          fig.scale["monitor_delay"], fig.scale["null_hold"]))
    w("")
    w("| Server | Private idle | Private peak | Working set peak | Threads idle → peak | Heap and data idle "
      "| Heap and data, all calls in flight (quartiles) | Growth | Samples |")
    w("|---|---|---|---|---|---|---|---|---|")
    for name, r in fig.memory["rows"]:
        q = r.get("plateau_quartiles")
        w("| %s | %s | %s | %s | %d → %d | %s | %s%s | %s | %s |" % (
            name, kib(r["idle"]["RssAnon"]), kib(r["peak_private"]), kib(r["peak_ws"]), r["idle"]["Threads"],
            r["peak_threads"], kib(r["idle_nonstack"]), kib(r["peak_nonstack"]),
            " (%s – %s)" % (kib(q[0]), kib(q[1])) if q else "",
            kib(r["peak_nonstack"] - r["idle_nonstack"]), r.get("plateau_samples", "n/a")))
    w("")


def memory_section(fig, w):
    """The in-flight table and what it gives per call, beside its baselines."""
    w("## Memory")
    w("")
    m = fig.memory
    if not m:
        return
    inflight_table(fig, w)
    w("Per call in flight beyond the runtime: (product heap and data growth − bare null growth) / 256 = "
      "**%.0f bytes** (± %.0f bytes from the quartiles of the two plateaus); allowed: 2 × 32768 + one "
      "RequestBlock of %d bytes = %d bytes (%s). The runtime alone grows by %.0f bytes per call in flight (its "
      "request buffer) besides %s of stacks per thread." % (
          m["per_call"], m["resolution"], BLOCK_BYTES, MEMORY_ALLOWANCE, "met" if m["ok"] else "missed",
          m["runtime_per_call"], kib(m["stack_per_thread"])))
    send = m["send_per_call"]
    if send is not None:
        w("The null server that makes the same copy and sends the same block (BenchNullServer --send), its calls "
          "waiting on the same slowed monitor as the product's, holds %.0f bytes per call beyond the bare one: the "
          "copy (%d), the block (%d) and %.0f bytes of what the messaging keeps per waiting call thread; the "
          "product holds %+.0f bytes per call beside it." % (
              send, STUB_COPY_BYTES, BLOCK_BYTES, send - STUB_COPY_BYTES - BLOCK_BYTES, m["per_call"] - send))
    if m["stub_per_call"] is not None:
        w("For comparison the null server with the stub's copy of the arrays costs %.0f bytes per call beyond the "
          "bare one, where it allocates %d (the two arrays and the strings): %+.0f bytes per call of heap block "
          "headers and page rounding that this method counts with every copy." % (
              m["stub_per_call"], STUB_COPY_BYTES, m["method_overhead"]))
    if m["messaging"] is not None:
        w("")
        w("Each call in flight in the product also waits in `SendMessageW`, and under Wine a thread that does so "
          "holds message-queue state of its own: BenchDirect with 256 senders blocked on the slowed MonitorSim "
          "holds **%.0f bytes** per sending thread more than with one, besides stacks. Less that, the server's "
          "own memory per call in flight is **%.0f bytes** (%s); the server's own allocations per call are the "
          "stub's copy of the two arrays and strings (%d bytes) and the RequestBlock (%d bytes)." % (
              m["messaging"], m["own"], "met" if m["own_ok"] else "missed", STUB_COPY_BYTES, BLOCK_BYTES))
        w("")


def leak_section(fig, w):
    """Private bytes and heap and data after each number of calls."""
    if not fig.leak:
        return
    w("Leak check, private bytes of the server (%d clients over ncalrpc, MonitorSim answering; opnum 0 on the "
      "server of the second prefix, opnums 2 and 3 on a fresh server of the main prefix, each before any other "
      "load). Each figure is read once the runtime's call threads have ended and is judged on the heap and data "
      "part (private bytes less the threads' stacks), which does not depend on how many threads the runtime "
      "keeps. A leak grows in both halves alike. Target: growth ≤ 128 KiB from the first to the last point; a "
      "leak of 2 bytes per call would show as 198 KiB over 99,000 calls." % LEAK_CLIENTS)
    w("")
    w("| Procedure | Calls | Private (threads) | Heap and data | Growth since the previous point | Per call |")
    w("|---|---|---|---|---|---|")
    for r in fig.leak:
        for i, p in enumerate(r["points"]):
            step = "— | —" if not i else "%+.0f KiB | %.2f B" % (p["grown"] / 1024.0, p["per_call"])
            w("| %s | %d | %s (%d) | %s | %s |" % (
                OP_TITLES[r["op"]] if i == 0 else "", p["calls"], kib(p["private"]), p["threads"],
                kib(p["nonstack"]), step))
    w("")


def idle_section(fig, w):
    """The idle listening server and the start-up time."""
    w("## Idle listening server and start-up")
    w("")
    idle = fig.idle
    if idle:
        after = idle.get("after_calls")
        w("| Figure | Value | Baseline |")
        w("|---|---|---|")
        w("| Server CPU while listening idle for %d s%s | %.0f ms (%d context switches, %d → %d threads) | 0 (clock "
          "tick %.0f ms) |" % (
              idle["seconds"], " (after the leak check's %d calls)" % after if after else "",
              1000 * idle["server_cpu_s"], idle["server_wakeups"], idle["memory"]["Threads"],
              idle.get("threads_after", idle["memory"]["Threads"]), idle["tick_ms"]))
        w("| wineserver CPU in the same time (its prefix's MonitorSim idle too) | %.0f ms | — |" % (
            1000 * idle["wineserver_cpu_s"]))
        w("| Server private bytes / working set, listening idle | %s / %s | — |" % (
            kib(idle["memory"]["RssAnon"]), kib(idle["memory"]["VmRSS"])))
    st = fig.startup
    if st:
        w("| START to the first answered call (ncalrpc, opnum 0) | %.0f ms | 1000 ms: the listener's mandated sleep |"
          % st["ms"])
    w("")
