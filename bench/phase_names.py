"""Name resolution: opnum 2 (DEVREQ_CONFIG) at one client, on one CPU, with
1, 10, 100 and 1000 printers in the spooler's keys, the sample printer last;
beside it one walk measured directly and the monitor round trip.

Raw data: names, one row per printer count (p50s in µs, the calls made, and
the busy cores of the machine and of the prefix during the product's run).
"""
from tools import log, parse_fields

MIN_CALLS, MAX_CALLS = 6, 600


def calls_for_budget(ctx):
    """Calls per measurement so that each of the walks and the product's
    calls takes about the budget, sized from one short walk."""
    probe, _ = ctx.direct("walk", "--calls", 3)
    walk_s = probe[0]["p50_us"] / 1e6 if probe else 0.001
    return max(MIN_CALLS, min(MAX_CALLS, int(ctx.scale.names_budget_s / (3 * walk_s + 0.005))))


def names_row(ctx, count):
    """The walk, the monitor round trip and the product with `count` printers."""
    calls = calls_for_budget(ctx)
    walk, walk_lines = ctx.direct("walk", "--calls", calls)
    copy, _ = ctx.direct("copydata", "--code", 9, "--request", 2, "--calls", calls)
    product = ctx.client_runs("names", "ncalrpc", None, "config", [1], extra=("--calls", calls))[1]
    seconds = product.get("seconds")
    return {"printers": count, "calls": calls,
            "walk_us": walk[0]["p50_us"], "walk_server_code_us": walk[1]["p50_us"] if len(walk) > 1 else None,
            "walk_info": parse_fields(walk_lines[0]) if walk_lines else None,
            "copydata_us": copy[0]["p50_us"],
            "product_us": product["p50_us"], "product_errors": product.get("errors", 0),
            "product_machine_busy": product.get("machine_busy"),
            "product_prefix_busy": sum((product.get("cpu") or {}).values()) / seconds if seconds else None}


def run(ctx):
    """Fills the spooler's keys step by step and clears them at the end."""
    log("name resolution with more printers (one CPU)")
    rows = []
    present = 1
    with ctx.one_cpu():
        for count in ctx.scale.printer_counts:
            if count > present:
                ctx.direct("spooler-fill", "--count", count - 1)
                present = count
            row = names_row(ctx, count)
            rows.append(row)
            log("  %4d printers: walk %9.1f us, monitor round trip %9.1f us, product opnum 2 %9.1f us" % (
                count, row["walk_us"], row["copydata_us"], row["product_us"]))
        ctx.direct("spooler-clear")
    ctx.data["names"] = rows
