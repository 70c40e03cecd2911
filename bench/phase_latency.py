"""Latency at one client on one CPU: for each procedure its floor parts
(BenchDirect), the null server, the null server that also sends the block,
and the product, one after the other, in rounds, so that other load on the
machine touches every side alike. The tables take the means of the rounds.

Raw data: latency_rounds (every run), direct.copydata_<op>[1],
direct.registry_<op>, direct.regops_<op>, direct.kernel, and
{null,null_send,product}[protseq][op][1].
"""
from settings import CLIENT_NAME, LRPC_ENDPOINT, OP_MESSAGE, OPS, PROTSEQS
from tools import client_args, log, mean_result, parse_fields


def probe_servers(ctx):
    """One untimed call to every server over every protocol sequence, so
    that no first connection falls into a timed run."""
    for protseq in PROTSEQS:
        for endpoint in (ctx.null_endpoint(protseq), ctx.send_endpoint(protseq), ctx.product_endpoint(protseq)):
            args = client_args(protseq, "send", CLIENT_NAME, endpoint, "--calls", 1, "--warmup", 0, "--grace-s", 10)
            results, _, _ = ctx.main.tool("BenchClient.exe", args)
            if not results or results[0].get("errors"):
                ctx.note("the probe call over %s to %s failed" % (protseq, endpoint or LRPC_ENDPOINT))


def one_client(ctx, kind, protseq, endpoint, op):
    """One latency run; a run in which a call did not return or failed is
    made once more, and the report notes it."""
    result = ctx.client_runs(kind, protseq, endpoint, op, [1], seconds=ctx.scale.latency_s)[1]
    if result.get("errors") or result.get("stuck"):
        ctx.note("latency %s %s %s: %d errors (%d stuck) in a run, run again" % (
            kind, protseq, op, result.get("errors", 0), result.get("stuck", 0)))
        result = ctx.client_runs(kind, protseq, endpoint, op, [1], seconds=ctx.scale.latency_s)[1]
    return result


def floor_parts(ctx, op):
    """The parts of a procedure's floor, each by itself: the WM_COPYDATA
    round trip, the registry operations (and their counts), and for opnum 3
    the mutex and mapping cycle."""
    s = ctx.scale
    code, request = OP_MESSAGE[op]
    entry = {}
    results, _ = ctx.direct("copydata", "--code", code, "--request", request, "--seconds", s.direct_s)
    entry["copydata"] = results[0]
    results, others = ctx.direct("registry", "--op", op, "--seconds", s.direct_s)
    entry["registry"] = results[0]
    counts = [parse_fields(line) for line in others if line.startswith("regops")]
    ctx.data["direct"]["regops_" + op] = counts[0] if counts else None
    if op == "mapped":
        results, _ = ctx.direct("kernel", "--seconds", s.direct_s)
        entry["kernel"] = results[0]
    return entry


def latency_round(ctx, round_index):
    """Every procedure's floor parts and servers, one after the other."""
    parts = {}
    for op in OP_MESSAGE:
        entry = floor_parts(ctx, op)
        for protseq in PROTSEQS:
            kinds = [("null", ctx.null_endpoint(protseq))]
            # Over TCP only opnum 0 is small enough for the message's cost to show.
            if protseq == "ncalrpc" or op == "send":
                kinds.append(("send", ctx.send_endpoint(protseq)))
            kinds.append(("product", ctx.product_endpoint(protseq)))
            for kind, endpoint in kinds:
                entry[kind + "_" + protseq] = one_client(ctx, kind, protseq, endpoint, op)
        log("  round %d %-6s copydata p50 %7.1f us, registry p50 %7.1f us" % (
            round_index + 1, op, entry["copydata"]["p50_us"], entry["registry"]["p50_us"]))
        parts[op] = entry
    return parts


def keep_means(data, rounds):
    """The figures of the tables: the mean over the rounds."""
    direct = data["direct"]
    for op in OPS:
        direct.setdefault("copydata_" + op, {})[1] = mean_result([r[op]["copydata"] for r in rounds])
        direct["registry_" + op] = mean_result([r[op]["registry"] for r in rounds])
        for protseq in PROTSEQS:
            for kind, key in (("null", "null"), ("product", "product"), ("send", "null_send")):
                if kind + "_" + protseq in rounds[0][op]:
                    data[key].setdefault(protseq, {}).setdefault(op, {})[1] = mean_result(
                        [r[op][kind + "_" + protseq] for r in rounds])
    direct["kernel"] = mean_result([r["mapped"]["kernel"] for r in rounds])


def run(ctx):
    """The latency rounds, on one CPU."""
    log("latency at one client (one CPU): floor parts, null servers and product side by side")
    with ctx.one_cpu():
        rounds = [latency_round(ctx, i) for i in range(ctx.scale.latency_rounds)]
    ctx.data["latency_rounds"] = rounds
    keep_means(ctx.data, rounds)
