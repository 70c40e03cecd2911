"""Throughput at 8, 64 and 256 clients on every CPU: the monitor bound of
each procedure, then for each the null server and the product one after
the other, so that other load on the machine touches the figure and its
baselines alike; and the null server with the default TCP listen backlog.

Raw data: direct.copydata_<op>[64] (the bound), {null,product}[protseq][op][n]
for n in 8, 64, 256, each with the prefix's CPU seconds by process (cpu) and
the machine's busy cores (machine_busy); null_backlog[op][n].
"""
from settings import CLIENT_COUNTS, CLIENT_NAME, NULL_ENDPOINT, OP_MESSAGE, OPS, PROTSEQS
from tools import log


def start_null_servers(ctx):
    """The null server, and the one that also sends each call's block to
    the language monitor (--send), both listening for the rest of the run
    (an idle server costs nothing, as measured)."""
    ctx.null_server, ctx.null_port = ctx.start_null_server("--endpoint", NULL_ENDPOINT)
    ctx.send_server, ctx.send_port = ctx.start_null_server("--endpoint", NULL_ENDPOINT + "Send", "--send")


def stop_null_servers(ctx):
    """Ends both null servers (their standard input closes)."""
    for server in (ctx.null_server, ctx.send_server):
        if server:
            server.close()
    ctx.null_server = ctx.send_server = None


def monitor_bound(ctx, op):
    """MonitorSim driven directly by 64 senders with the procedure's
    message: the throughput the language monitor allows."""
    code, request = OP_MESSAGE[op]
    started, finished = ctx.cpu_marks()
    results, _, _ = ctx.main.tool(
        "BenchDirect.exe", ["copydata", "--printer", CLIENT_NAME, "--code", code, "--request", request,
                            "--senders", 64, "--seconds", ctx.scale.bound_s],
        on_started=started, on_result=finished)
    ctx.data["direct"].setdefault("copydata_" + op, {})[64] = results[0]
    log("  monitor bound %-6s 64 senders: %8.1f msgs/s" % (op, results[0]["throughput"]))


def run(ctx):
    """The bounds first, on a quiet prefix: after a run with 256 clients the
    servers' call threads and their queued messages take seconds to go."""
    log("throughput at 8, 64 and 256 clients (every CPU): monitor bound, null server and product")
    for op in OPS:
        monitor_bound(ctx, op)
    for protseq in PROTSEQS:
        for op in OPS:
            for kind, endpoint in (("null", ctx.null_endpoint(protseq)), ("product", ctx.product_endpoint(protseq))):
                ctx.data[kind].setdefault(protseq, {}).setdefault(op, {}).update(
                    ctx.client_runs(kind, protseq, endpoint, op, CLIENT_COUNTS[1:]))


def backlog(ctx):
    """The same runtime with the default TCP listen backlog, to show what
    registering the protocol sequences with MaxCalls 1 costs."""
    log("null server with MaxCalls 1234 over TCP")
    server, port = ctx.start_null_server("--endpoint", NULL_ENDPOINT + "2", "--max-calls", 1234)
    ctx.data["null_backlog"] = {}
    for op in ("send", "config"):
        ctx.data["null_backlog"][op] = ctx.client_runs("null-bl", "ncacn_ip_tcp", str(port), op, [64, 256])
    server.close()
