"""Memory, leak and idle figures of a run, from its raw numbers.

All memory figures are bytes. "Heap and data" (NonStack, *_nonstack) is a
process's private (resident anonymous) memory less its threads' stacks, so
it does not depend on how many threads the runtime keeps at the moment.
"""
from settings import CLK_TCK, MEMORY_ALLOWANCE, STUB_COPY_BYTES

INFLIGHT_CALLS = 256
LEAK_LIMIT = 128 * 1024


def growth(run):
    """Heap and data growth of an in-flight run: all calls in flight less idle."""
    return run["peak_nonstack"] - run["idle_nonstack"]


def half_spread(run):
    """Half the distance between the quartiles of a run's plateau."""
    q = run.get("plateau_quartiles")
    return (q[1] - q[0]) / 2.0 if q else 0.0


def inflight_figures(data):
    """Memory per call in flight: the product's growth beyond the bare
    runtime's, beside the null servers that copy and send like it and what
    Wine's messaging holds per waiting thread. None without the runs."""
    inflight = data["product"].get("inflight")
    bare = data.get("null_inflight_bare")
    if not (inflight and bare):
        return None
    stub, sending = data.get("null_inflight_stub"), data.get("null_inflight_send")
    named = (("null, bare (runtime only)", bare), ("null, stub copy", stub),
             ("null, stub copy + block sent, waiting on the monitor", sending), ("product", inflight))
    runtime = growth(bare)
    per_call = (growth(inflight) - runtime) / float(INFLIGHT_CALLS)
    stub_per_call = (growth(stub) - runtime) / float(INFLIGHT_CALLS) if stub else None
    messaging = (data.get("messaging_memory") or {}).get("per_thread")
    own = per_call - messaging if messaging is not None else None
    return {
        "rows": [(name, run) for name, run in named if run],
        "runtime_per_call": runtime / float(INFLIGHT_CALLS),
        "stack_per_thread": bare.get("stack_per_thread", 0),
        "per_call": per_call,
        # What the method resolves per call: the half-widths of the two plateaus.
        "resolution": (half_spread(inflight) + half_spread(bare)) / float(INFLIGHT_CALLS),
        "stub_per_call": stub_per_call,
        "method_overhead": stub_per_call - STUB_COPY_BYTES if stub_per_call is not None else None,
        "send_per_call": (growth(sending) - runtime) / float(INFLIGHT_CALLS) if sending else None,
        "messaging": messaging,
        "own": own,
        "ok": per_call <= MEMORY_ALLOWANCE,
        "own_ok": own <= MEMORY_ALLOWANCE if own is not None else None,
    }


def leak_points(points):
    """Each reading of a leak check with its growth since the one before."""
    rows = []
    for i, (calls, m) in enumerate(points):
        row = {"calls": calls, "private": m.get("Private", m["RssAnon"]), "threads": m["Threads"],
               "nonstack": m["NonStack"], "grown": None, "per_call": None}
        if i:
            prev_calls, prev = points[i - 1]
            row["grown"] = m["NonStack"] - prev["NonStack"]
            row["per_call"] = row["grown"] / float(calls - prev_calls)
        rows.append(row)
    return rows


def leak_figures(data):
    """Per procedure: the readings, the growth from the first to the last,
    and that of each half (a leak grows in both alike)."""
    leak = data["product"].get("leak")
    if not leak:
        return None
    figures = []
    for op, r in leak.items():
        points = r["points"]
        first, middle, last = points[0], points[len(points) // 2], points[-1]
        total = last[1]["NonStack"] - first[1]["NonStack"]
        figures.append({
            "op": op, "points": leak_points(points), "errors": r["errors"],
            "first_calls": first[0], "middle_calls": middle[0], "last_calls": last[0],
            "growth": total, "per_call": total / float(last[0] - first[0]),
            "first_half": middle[1]["NonStack"] - first[1]["NonStack"],
            "second_half": last[1]["NonStack"] - middle[1]["NonStack"],
            "ok": total <= LEAK_LIMIT})
    return figures


def idle_figures(data):
    """The listening server's idle window: no CPU tick is the target."""
    idle = data["product"].get("idle")
    if not idle:
        return None
    return dict(idle, ok=idle["server_cpu_s"] <= 1.0 / CLK_TCK, tick_ms=1000.0 / CLK_TCK)
