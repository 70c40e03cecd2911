"""Figures and verdicts of a run, computed once from its raw numbers.

analyse(data) turns the data the phases saved (bench/results/latest.json)
into plain records: one per table row, each with the figures derived from
the raw runs (floors, ratios, shares of the bound, CPU per call, fits) and
the verdict of its target; the report and the plot only render them.
"""
from dataclasses import dataclass, field
from typing import List, Optional

import analysis_memory
import verdicts
from settings import CLIENT_COUNTS, KNOWN_PROCESSES, OPS, PROTSEQS
from verdicts import Target


@dataclass
class LatencyRow:
    """One procedure over one protocol sequence at one client."""
    op: str
    protseq: str
    null: dict                   # the null server's run (p50_us, p99_us)
    product: dict                # the product's run
    floor: dict                  # null, copydata, registry, kernel, floor, floor_kernel (µs)
    null_send: Optional[float]   # p50 of the null server that also sends the block
    ratio: float                 # product p50 / floor
    round_ratios: List[float]
    ok: bool


@dataclass
class ThroughputRow:
    """The runs of one server for one procedure at every client count."""
    op: str
    protseq: str
    kind: str                    # "null" or "product"
    runs: dict                   # by client count
    bound: float                 # the monitor bound, calls per second
    share: float                 # throughput at 64 clients / bound
    ok: Optional[bool]           # the target (product only)


@dataclass
class CpuRow:
    """CPU per call at 64 clients, by process, with the cores it kept busy."""
    op: str
    protseq: str
    kind: str
    per_call: dict               # µs of CPU per call by process name, "other" for the rest
    total: float
    busy: Optional[float]        # cores the prefix kept busy
    machine: Optional[float]     # cores the whole machine kept busy
    limit: float                 # calls per second the cores allow at that CPU per call
    throughput: float


@dataclass
class Figures:
    """Everything the report and the plot show."""
    meta: dict
    rounds: int
    grace_s: int
    latency: List[LatencyRow]
    floor_parts: List[dict]
    where: Optional[List[dict]]
    throughput: List[ThroughputRow]
    cpu: List[CpuRow]
    backlog: Optional[List[dict]]
    names: Optional[dict]
    memory: Optional[dict]
    leak: Optional[List[dict]]
    idle: Optional[dict]
    startup: Optional[dict]
    notes: List[str]
    scale: dict = field(default_factory=dict)
    targets: List[Target] = field(default_factory=list)


def floor(data, protseq, op):
    """The floor of a procedure and its parts (p50s, µs): null RPC + the
    WM_COPYDATA round trip + the registry operations; the mutex and mapping
    cycle of opnum 3 beside it."""
    direct = data["direct"]
    null = data["null"][protseq][op][1]["p50_us"]
    copy = direct["copydata_" + op][1]["p50_us"]
    reg = direct["registry_" + op]["p50_us"]
    kernel = direct["kernel"]["p50_us"] if op == "mapped" else 0.0
    return {"null": null, "copydata": copy, "registry": reg, "kernel": kernel,
            "floor": null + copy + reg, "floor_kernel": null + copy + reg + kernel}


def null_send(data, protseq, op):
    """p50 of the null server that also sends the block, at one client, or None."""
    r = (data.get("null_send") or {}).get(protseq, {}).get(op, {}).get(1)
    return r["p50_us"] if r else None


def round_ratios(data, protseq, op):
    """Product p50 / floor in each latency round."""
    ratios = []
    for r in data.get("latency_rounds", []):
        e = r[op]
        total = e["null_" + protseq]["p50_us"] + e["copydata"]["p50_us"] + e["registry"]["p50_us"]
        ratios.append(e["product_" + protseq]["p50_us"] / total if total else float("nan"))
    return ratios


def outside_load(data, protseq, op, kind="product"):
    """Cores that other work on the machine kept busy during a one-client
    run, the mean over the rounds: the whole machine's busy CPUs less the
    prefix's own."""
    loads = []
    for r in data.get("latency_rounds", []):
        run = r[op].get(kind + "_" + protseq) or {}
        machine, seconds = run.get("machine_busy"), run.get("seconds")
        if machine is not None and seconds:
            loads.append(machine - sum((run.get("cpu") or {}).values()) / seconds)
    return sum(loads) / len(loads) if loads else None


def bound(data, op, protseq="ncalrpc"):
    """The monitor bound measured beside the procedure's throughput runs
    over `protseq` (a single figure per procedure in older results)."""
    per_protseq = (data["direct"].get("bound") or {}).get(protseq, {}).get(op)
    return (per_protseq or data["direct"]["copydata_" + op][64])["throughput"]


def cpu_per_call(run):
    """CPU of a run: µs per call by process, the total, and the cores busy."""
    cpu = run.get("cpu") or {}
    calls = max(1, run.get("calls", 1))
    per = {name: 1e6 * cpu.get(name, 0.0) / calls for name in KNOWN_PROCESSES}
    per["other"] = 1e6 * sum(v for k, v in cpu.items() if k not in KNOWN_PROCESSES) / calls
    total = sum(per.values())
    seconds = run.get("seconds") or 0.0
    busy = sum(cpu.values()) / seconds if seconds else None
    return per, total, busy


def linear_fit(xs, ys):
    """Least-squares line: (slope, intercept, R²)."""
    n = len(xs)
    mx, my = sum(xs) / n, sum(ys) / n
    sxx = sum((x - mx) ** 2 for x in xs)
    sxy = sum((x - mx) * (y - my) for x, y in zip(xs, ys))
    slope = sxy / sxx if sxx else 0.0
    intercept = my - slope * mx
    ss_tot = sum((y - my) ** 2 for y in ys)
    ss_res = sum((y - (intercept + slope * x)) ** 2 for x, y in zip(xs, ys))
    r2 = 1 - ss_res / ss_tot if ss_tot else 1.0
    return slope, intercept, r2


def latency_rows(data):
    """The one-client table, with the target of each row."""
    rows = []
    for protseq in PROTSEQS:
        for op in OPS:
            f = floor(data, protseq, op)
            pr = data["product"][protseq][op][1]
            ratio = pr["p50_us"] / f["floor"] if f["floor"] else float("nan")
            rows.append(LatencyRow(op, protseq, data["null"][protseq][op][1], pr, f, null_send(data, protseq, op),
                                   ratio, round_ratios(data, protseq, op),
                                   ratio <= 1.25 and not pr.get("errors")))
    return rows


def floor_parts(data):
    """The floor parts of each procedure: round trip, registry operations
    and their counts, the mutex and mapping cycle of opnum 3."""
    direct = data["direct"]
    return [{"op": op, "copydata": direct["copydata_" + op][1]["p50_us"], "regops": direct.get("regops_" + op) or {},
             "registry": direct["registry_" + op]["p50_us"],
             "kernel": direct["kernel"]["p50_us"] if op == "mapped" else None} for op in OPS]


def where_rows(data, latency):
    """Where the time goes: what the message from a call thread and the
    product's own code add, for the rows with a null server that sends."""
    if not data.get("null_send"):
        return None
    rows = []
    for row in latency:
        if row.null_send is None:
            continue
        f, ns, pr = row.floor, row.null_send, row.product["p50_us"]
        rows.append({"op": row.op, "protseq": row.protseq, "send_extra": ns - f["null"], "copydata": f["copydata"],
                     "thread_cost": ns - f["null"] - f["copydata"], "product_extra": pr - ns,
                     "registry": f["registry"], "kernel": f["kernel"],
                     "rest": pr - ns - f["registry"] - f["kernel"]})
    return rows


def throughput_rows(data):
    """Each server's runs against the monitor bound, with the product's target."""
    rows = []
    for protseq in PROTSEQS:
        for op in OPS:
            b = bound(data, op, protseq)
            for kind in ("null", "product"):
                runs = data[kind][protseq][op]
                share = runs[64]["throughput"] / b if b else 0
                ok = share >= 0.9 and not runs[64].get("errors") if kind == "product" else None
                rows.append(ThroughputRow(op, protseq, kind, {n: runs[n] for n in CLIENT_COUNTS}, b, share, ok))
    return rows


def cpu_rows(data, cores):
    """CPU per call of every run at 64 clients."""
    rows = []
    for protseq in PROTSEQS:
        for op in OPS:
            for kind in ("null", "product"):
                r = data[kind][protseq][op][64]
                per, total, busy = cpu_per_call(r)
                rows.append(CpuRow(op, protseq, kind, per, total, busy, r.get("machine_busy"),
                                   cores * 1e6 / total if total else 0, r["throughput"]))
    return rows


def backlog_rows(data):
    """The null server over TCP with MaxCalls 1 and 1234 at 64 and 256 clients."""
    bl = data.get("null_backlog")
    if not bl:
        return None
    return [{"op": op, "one": data["null"]["ncacn_ip_tcp"][op], "many": bl[op]} for op in ("send", "config")]


def names_figures(data):
    """The printer-count table and the least-squares lines of the product,
    the walk and the monitor round trip."""
    rows = data.get("names") or []
    if len(rows) < 2:
        return None
    xs = [r["printers"] for r in rows]
    fits = {key: linear_fit(xs, [r[key] for r in rows]) for key in ("product_us", "walk_us", "copydata_us")}
    others = []
    for r in rows:
        machine, prefix = r.get("product_machine_busy"), r.get("product_prefix_busy")
        others.append(None if machine is None or prefix is None else max(0.0, machine - prefix))
    expected = 2 * fits["walk_us"][0] + fits["copydata_us"][0]
    return {"rows": rows, "base": rows[0]["product_us"], "other_cores": others, "fits": fits,
            "expected": expected, "ok": fits["product_us"][2] >= 0.98}


def analyse(data):
    """All figures and targets of a run, in the order the report shows them."""
    meta = data["meta"]
    latency = latency_rows(data)
    fig = Figures(meta=meta, rounds=len(data.get("latency_rounds", [])) or 1, grace_s=data.get("scale_grace", 4),
                  latency=latency, floor_parts=floor_parts(data), where=where_rows(data, latency),
                  throughput=throughput_rows(data), cpu=cpu_rows(data, meta["cores"]),
                  backlog=backlog_rows(data), names=names_figures(data),
                  memory=analysis_memory.inflight_figures(data), leak=analysis_memory.leak_figures(data),
                  idle=analysis_memory.idle_figures(data), startup=data["product"].get("startup"),
                  notes=list(data.get("notes") or []),
                  scale={"monitor_delay": data.get("scale_monitor_delay", 20),
                         "null_hold": data.get("scale_null_hold", 2000)})
    for row in latency:
        fig.targets.append(verdicts.latency_target(row, outside_load(data, row.protseq, row.op)))
    # Rows come in pairs, the null server's before the product's.
    for null, row, null_cpu, cpu in zip(fig.throughput[::2], fig.throughput[1::2], fig.cpu[::2], fig.cpu[1::2]):
        fig.targets.append(verdicts.throughput_target(row, null, cpu, null_cpu, meta["cores"], fig.grace_s))
    if fig.names:
        fig.targets.append(verdicts.names_target(fig.names))
    fig.targets += verdicts.memory_targets(fig.memory) + verdicts.leak_targets(fig.leak)
    if fig.idle:
        fig.targets.append(verdicts.idle_target(fig.idle))
    return fig
