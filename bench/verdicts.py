"""The targets of a run: for each, the verdict, the measured figure and, when
it is missed, by how much and the reason as the run measured it (from the
baselines measured beside it)."""
from dataclasses import dataclass

from settings import BLOCK_BYTES, MEMORY_ALLOWANCE, STUB_COPY_BYTES
from units import fmt_rate, fmt_signed_us, fmt_us


@dataclass
class Target:
    """One row of the summary of targets."""
    name: str
    ok: bool
    measured: str
    short: str = ""      # by how much a missed target is missed
    why: str = ""        # the measured reason


def latency_target(row, load):
    """Product p50 ≤ 1.25 × floor; `load` is the cores other work kept busy."""
    f, p50 = row.floor, row.product["p50_us"]
    measured = "%.2f× (%s vs floor %s)" % (row.ratio, fmt_us(p50), fmt_us(f["floor"]))
    target = Target("latency %s %s ≤ 1.25× floor" % (row.op, row.protseq), row.ok, measured)
    if not row.ok:
        target.short = "%s over 1.25 × floor (%s), %.2f× instead of 1.25×" % (
            fmt_us(p50 - 1.25 * f["floor"]), fmt_us(1.25 * f["floor"]), row.ratio)
        target.why = latency_reason(row, load)
    return target


def latency_reason(row, load):
    """Why a procedure is slower than 1.25 × its floor, from the null server
    that also sends the block."""
    f, ns, product = row.floor, row.null_send, row.product["p50_us"]
    if ns is None:
        return ("the product is %s over its floor; null RPC %s, round trip %s, registry %s" % (
            fmt_us(product - f["floor"]), fmt_us(f["null"]), fmt_us(f["copydata"]), fmt_us(f["registry"])))
    send_extra = ns - f["null"] - f["copydata"]
    excess = product - f["floor"]
    parts = ["the null server sending the same WM_COPYDATA from its RPC call thread takes %s, %s against null RPC "
             "plus the round trip measured from a plain thread (%s)" % (
                 fmt_us(ns), fmt_signed_us(send_extra), fmt_us(f["null"] + f["copydata"])),
             "the product takes %s against that, of which %s are its registry operations%s and %s the rest (window "
             "check, block, stub copies)" % (
                 fmt_signed_us(product - ns), fmt_us(f["registry"]),
                 " and %s the mutex and mapping cycle, which the floor leaves out" % fmt_us(f["kernel"])
                 if f["kernel"] else "",
                 fmt_signed_us(product - ns - f["registry"] - f["kernel"]))]
    if excess > 0:
        parts.append("of the %s over the floor, %.0f %% is the message sent from a runtime thread instead of a plain "
                     "one%s" % (fmt_us(excess), 100.0 * send_extra / excess,
                                ", %.0f %% the mutex and mapping cycle" % (100.0 * f["kernel"] / excess)
                                if f["kernel"] else ""))
    ratios = row.round_ratios
    if ratios:
        spread = max(ratios) / min(ratios) if min(ratios) > 0 else float("inf")
        parts.append("the rounds gave %s%s" % (" and ".join("%.2f×" % x for x in ratios),
                                             " and disagree, so the figure is as much the machine's load as the "
                                             "server's" if spread > 1.2 else ""))
    if load is not None:
        parts.append("other work on the machine kept %.2f cores busy on average while the product ran (the prefix "
                     "runs on one CPU)" % max(0.0, load))
    return "; ".join(parts)


def throughput_target(row, null, cpu, null_cpu, cores, grace_s):
    """Product at 64 clients ≥ 90 % of the monitor bound, without errors."""
    run, share, bound = row.runs[64], row.share, row.bound
    target = Target("throughput %s %s @64 ≥ 90%% of monitor bound" % (row.op, row.protseq), row.ok,
                    "%.0f%% (%s vs %s)" % (100 * share, fmt_rate(run["throughput"]), fmt_rate(bound)))
    if row.ok:
        return target
    # Met on rate alone, a run with errors is missed by its errors only.
    parts = []
    if share < 0.9:
        parts.append("%.0f %% of the bound instead of 90 %%: %s short of %s" % (
            100 * share, fmt_rate(0.9 * bound - run["throughput"]), fmt_rate(0.9 * bound)))
    if run.get("errors"):
        parts.append("%d errors (%d stuck)" % (run["errors"], run.get("stuck", 0)))
    target.short = "; ".join(parts)
    target.why = throughput_reason(row, null, cpu, null_cpu, cores, grace_s)
    return target


def throughput_reason(row, null, cpu, null_cpu, cores, grace_s):
    """What the null server reaches, and the CPU the product's run used."""
    product, null_run, bound = row.runs[64], null.runs[64], row.bound
    per = cpu.per_call
    parts = ["the null server alone (no monitor, no registry) reaches %s = %.0f %% of the bound" % (
        fmt_rate(null_run["throughput"]), 100.0 * null_run["throughput"] / bound if bound else 0)]
    if cpu.busy is not None:
        parts.append("during the product's run the prefix kept %.2f of %d cores busy%s at %.0f µs of CPU per call "
                     "(wineserver %.0f, server %.0f, client %.0f, MonitorSim %.0f), a ceiling of %s" % (
                         cpu.busy, cores, " (the whole machine %.2f)" % cpu.machine if cpu.machine is not None else "",
                         cpu.total, per["wineserver"], per["DeviceRpcServer.exe"], per["BenchClient.exe"],
                         per["MonitorSim.exe"], fmt_rate(cpu.limit)))
    if null_cpu.busy is not None and null_cpu.total:
        parts.append("the null server's run used %.2f cores at %.0f µs per call" % (null_cpu.busy, null_cpu.total))
    if product.get("stuck") or null_run.get("stuck") or product.get("errors"):
        parts.append("%d of the product's and %d of the null server's calls did not return within %d s (TCP listen "
                     "backlog of MaxCalls 1, see the backlog table)" % (
                         product.get("stuck", 0), null_run.get("stuck", 0), grace_s))
    return "; ".join(parts)


def names_target(names):
    """The product's cost per call on a line: R² ≥ 0.98."""
    slope, intercept, r2 = names["fits"]["product_us"]
    target = Target("cost per call linear in printer count", names["ok"],
                    "slope %.1f µs/printer, R² %.4f" % (slope, r2))
    if not names["ok"]:
        target.short = "R² %.4f instead of ≥ 0.98" % r2
        target.why = "the points off the line: %s" % ", ".join(
            "%d printers %s" % (r["printers"], fmt_us(r["product_us"] - (intercept + slope * r["printers"])))
            for r in names["rows"])
    return target


def over_allowance(per_call):
    """By how much a figure per call exceeds the memory allowance."""
    return per_call - MEMORY_ALLOWANCE, 100.0 * (per_call - MEMORY_ALLOWANCE) / MEMORY_ALLOWANCE


def memory_targets(m):
    """Per call in flight beyond the RPC runtime, and beyond the RPC and the
    messaging runtime when the messaging figure was measured."""
    if not m:
        return []
    messaging = m["messaging"]
    first = Target("memory per call in flight ≤ 2 arrays + 1 block beyond the RPC runtime", m["ok"],
                   "%.0f B per call vs %d B allowed" % (m["per_call"], MEMORY_ALLOWANCE))
    if not m["ok"]:
        first.short = "%+.0f B per call (%.1f %%) over the allowance" % over_allowance(m["per_call"])
        first.why = ("every call in flight also waits in SendMessageW, and a thread that does so holds %s B of "
                     "message-queue state of Wine's messaging (measured with BenchDirect, below); less that, see "
                     "the next row" % ("%.0f" % messaging if messaging is not None else "an unmeasured amount"))
    if messaging is None:
        return [first]
    second = Target("memory per call in flight, beyond the RPC and the messaging runtime", m["own_ok"],
                    "%.0f B per call vs %d B allowed" % (m["own"], MEMORY_ALLOWANCE))
    if not m["own_ok"]:
        second.short = "%+.0f B per call (%.2f %%) over the allowance" % over_allowance(m["own"])
        second.why = own_memory_reason(m)
    return [first, second]


def own_memory_reason(m):
    """Why the server's own memory per call exceeds the allowance: what it
    allocates, what the method counts with each copy, what it resolves."""
    allocated = STUB_COPY_BYTES + BLOCK_BYTES
    excess = m["own"] - MEMORY_ALLOWANCE
    overhead = m["method_overhead"]
    why = ("the server's own allocations per call are the stub's copy (%d B) and the RequestBlock (%d B), "
           "%d B, already %+d B beside the allowance (the strings); each heap block also carries its header "
           "and the resident pages round up: the same copy in the null server measures %+.0f B per call "
           "over what it allocates; and the plateaus of the product and of the bare null server spread by "
           "± %.0f B per call between their quartiles, so an excess of %.0f B is %s what this method "
           "resolves" % (
               STUB_COPY_BYTES, BLOCK_BYTES, allocated, allocated - MEMORY_ALLOWANCE,
               overhead if overhead is not None else float("nan"),
               m["resolution"], excess, "within" if excess <= m["resolution"] else "beyond"))
    send = m["send_per_call"]
    if send is not None:
        why += ("; the null server that makes the same copy and sends the same block, its calls waiting on the "
                "same slowed monitor, holds %.0f B per call beyond the bare runtime: the copy, the block and "
                "%.0f B of messaging state per call thread of the RPC runtime (against %.0f B for BenchDirect's "
                "plain threads); the product holds %+.0f B per call beside it, its own share" % (
                    send, send - STUB_COPY_BYTES - BLOCK_BYTES, m["messaging"], m["per_call"] - send))
    return why


def leak_targets(leak):
    """Growth ≤ 128 KiB from the first reading to the last, per procedure."""
    targets = []
    for r in leak or []:
        t = Target("no growth %d→%d calls (%s)" % (r["first_calls"], r["last_calls"], r["op"]), r["ok"],
                   "%+.0f KiB (%.2f B per call); second half %+.0f KiB%s" % (
                       r["growth"] / 1024.0, r["per_call"], r["second_half"] / 1024.0,
                       ", %d errors" % r["errors"] if r["errors"] else ""))
        if not r["ok"]:
            t.short = "%+.0f KiB instead of ≤ 128 KiB: %.0f KiB over" % (r["growth"] / 1024.0,
                                                                        r["growth"] / 1024.0 - 128)
            t.why = leak_reason(r)
        targets.append(t)
    return targets


def leak_reason(r):
    """Both halves' rates: a heap that grows to its working size slows down,
    a per-call leak keeps its rate."""
    first_half, second = r["first_half"], r["second_half"]
    per_first = first_half / float(r["middle_calls"] - r["first_calls"])
    per_second = second / float(r["last_calls"] - r["middle_calls"])
    text = "first half %+.0f KiB (%.2f B/call), second half %+.0f KiB (%.2f B/call)" % (
        first_half / 1024.0, per_first, second / 1024.0, per_second)
    calls = r["last_calls"] - r["first_calls"]
    if second <= 0.5 * first_half:
        text += ("; the growth slows from the first half to the second, as a heap that grows to its working size "
                 "does, while a per-call leak grows alike in both halves; at the second half's rate %d calls "
                 "cost %.0f KiB" % (calls, per_second * calls / 1024.0))
    else:
        text += "; the growth keeps its rate in both halves, as a per-call leak does"
    return text


def idle_target(idle):
    """No CPU tick of the listening server in the idle window."""
    target = Target("no idle CPU (%d s listening)" % idle["seconds"], idle["ok"],
                    "%.0f ms CPU, %d context switches" % (1000 * idle["server_cpu_s"], idle["server_wakeups"]))
    if not idle["ok"]:
        target.short = "%.0f ms of CPU in %d s instead of none" % (1000 * idle["server_cpu_s"], idle["seconds"])
        target.why = "%d context switches of the server's threads in the window" % idle["server_wakeups"]
    return target
