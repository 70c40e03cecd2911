"""The gateway benchmark's report: figures worked out from the raw numbers
of bench/gateway_bench.py and rendered as Markdown (bench/results/gateway.md).

Part 1's target: the /probe p50 at most 1.15 times the direct collection's.
Part 2's bound on the collections of a run of T seconds: a printer has at
most one collection in flight, and the next one begins only when a request
comes after it ended; the pages take a collection while it began less than
the refresh interval R ago, /probe never. So at most floor(T / R) + 1
collections with the pages alone, and at most floor(T / d) + 1 with /probe,
d being the shortest collection (the fastest of part 1): neither depends on
the number of clients.
"""
import math
import statistics

TARGET_RATIO = 1.15
MIB = 1024.0 * 1024.0
ERROR_FIELDS = ("connect_errors", "read_errors", "write_errors", "status_errors", "timeouts")


def p50(values):
    """The median."""
    return statistics.median(values)


def p90(values):
    """The 90th percentile (inclusive method, as for the rounds' quartiles)."""
    return statistics.quantiles(values, n=10, method="inclusive")[8]


def quartiles(values):
    """(first, third) quartile."""
    q = statistics.quantiles(values, n=4, method="inclusive")
    return q[0], q[2]


def probe_figures(placement, calls_per_collection):
    """The figures of part 1 in one placement."""
    rounds = placement["rounds"]
    gateway = [r["gateway"][0] for r in rounds]
    direct = [r["direct"][0] for r in rounds]
    paired = [r["gateway"][0] / r["direct"][0] for r in rounds]
    http = [r["gateway"][0] - r["gateway"][1] for r in rounds]
    ratio = p50(gateway) / p50(direct)
    return {"label": placement["placement"], "rounds": len(rounds),
            "gateway_p50": p50(gateway), "gateway_p90": p90(gateway),
            "direct_p50": p50(direct), "direct_p90": p90(direct),
            "ratio_p50": ratio, "ratio_p90": p90(gateway) / p90(direct),
            "paired": p50(paired), "paired_quartiles": quartiles(paired),
            "inner_p50": p50([r["gateway"][1] for r in rounds]), "http_p50": p50(http),
            "direct_inner_p50": p50([r["direct"][1] for r in rounds]),
            "fastest": min(r["direct"][1] for r in rounds),
            "messages": placement["messages"], "expected_messages": 2 * calls_per_collection * len(rounds),
            "met": ratio <= TARGET_RATIO}


def load_figures(run, refresh, fastest, calls_per_collection, probe_path):
    """The figures of one run of part 2."""
    wrk, before, after = run["wrk"], run["before"], run["after"]
    seconds = wrk["duration_us"] / 1e6
    delta = {key: after["gateway"][key] - before["gateway"][key] for key in before["gateway"]}
    with_probe = probe_path in run["paths"]
    collections_bound = math.floor(seconds / (fastest if with_probe else refresh)) + 1
    return {"name": run["name"], "seconds": seconds, "requests": wrk["requests"],
            "rps": wrk["requests"] / seconds, "p50": wrk["p50_us"] / 1e3, "p90": wrk["p90_us"] / 1e3,
            "p99": wrk["p99_us"] / 1e3, "max": wrk["max_us"] / 1e3,
            "errors": sum(wrk.get(key, 0) for key in ERROR_FIELDS),
            "issued": run["issued"], "calls_monitor": after["messages"] - before["messages"],
            "calls_metrics": round(delta["calls"]), "collections": round(delta["collections"]),
            "joined": round(delta["joined"]), "bound_rule": "T / d" if with_probe else "T / R",
            "collections_bound": collections_bound, "calls_bound": calls_per_collection * collections_bound,
            "unshared": calls_per_collection * wrk["requests"], "rpc_busy": delta["rpc_seconds"] / seconds,
            "collection_mean": delta["rpc_seconds"] / max(1, delta["collections"]),
            "rss_before": before["rss"] / MIB, "rss_after": after["rss"] / MIB, "rss_peak": run["rss_peak"] / MIB,
            "gateway_cores": (after["gateway_cpu"] - before["gateway_cpu"]) / seconds,
            "wrk_cores": run["wrk_cpu"] / seconds,
            "prefix_cores": sum(run["prefix_cpu"].values()) / seconds, "machine_busy": run["machine_busy"]}


def analyse(data):
    """Every figure of the report."""
    probe = data["probe"]
    calls = probe["calls_per_collection"]
    placements = [probe_figures(p, calls) for p in probe["placements"]]
    fastest = min(p["fastest"] for p in placements)
    runs = [load_figures(r, data["settings"]["refresh_interval"], fastest, calls, probe["path"])
            for r in data["load"]["runs"]]
    return {"placements": placements, "fastest": fastest, "runs": runs}


def ms(seconds):
    """Seconds as milliseconds with one decimal."""
    return "%.1f ms" % (seconds * 1e3)


def header(data):
    """The run's circumstances."""
    meta, settings = data["meta"], data["settings"]
    return ["# Status gateway benchmark", "",
            "Run %s, commit %s, %s; %d cores, load average %s at the start and %s at the end%s." % (
                meta["date"], meta["commit"], meta["wine"], meta["cores"], " ".join(meta["loadavg_start"]),
                " ".join(meta.get("loadavg_end", ["?"])), " (quick run: not for comparison)" if meta["quick"] else ""),
            "One Wine prefix with MonitorSim (the sample printer) and the server; `devicerpc gateway` over it "
            "with the sample printer `%s` alone, refresh interval %g s, call time-out %g s "
            "(bench/gateway_bench.py)." % (settings["printers"][0], settings["refresh_interval"],
                                           settings["call_timeout"])]


def probe_section(figures):
    """Part 1: the table and the check of MonitorSim's log."""
    lines = ["", "## /probe against the direct collection", "",
             "Each round makes one `/probe?target=local&printer=OFFICE` (one kept-alive HTTP connection) and "
             "one direct collection by the Python client (`Client` + `collect(full=True)`: 11 calls on a fresh "
             "connection, closed), one right after the other, the order alternating. Target: /probe p50 "
             "at most %.2f times the direct p50." % TARGET_RATIO, "",
             "| Placement | Rounds | /probe p50 | /probe p90 | Direct p50 | Direct p90 | Ratio of p50s | "
             "Ratio of p90s | Rounds' ratio (median, middle half) | Verdict |",
             "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | --- |"]
    for f in figures["placements"]:
        low, high = f["paired_quartiles"]
        verdict = "met" if f["met"] else "missed by %.1f %%" % (100 * (f["ratio_p50"] / TARGET_RATIO - 1))
        lines.append("| %s | %d | %s | %s | %s | %s | **%.3f** | %.3f | %.3f (%.3f – %.3f) | %s |" % (
            f["label"], f["rounds"], ms(f["gateway_p50"]), ms(f["gateway_p90"]), ms(f["direct_p50"]),
            ms(f["direct_p90"]), f["ratio_p50"], f["ratio_p90"], f["paired"], low, high, verdict))
    lines += ["", "Where the /probe's time goes (p50s): the collection as the gateway waits for it "
              "(`devicerpc_probe_duration_seconds`), and the rest (HTTP, routing, the exposition), beside the "
              "direct collection's own duration (first call to last answer, without closing).", "",
              "| Placement | Collection in the gateway | HTTP and exposition | Direct collection itself | "
              "Messages to the monitor (expected: 22 a round) |",
              "| --- | ---: | ---: | ---: | ---: |"]
    for f in figures["placements"]:
        lines.append("| %s | %s | %s | %s | %d (%d) |" % (
            f["label"], ms(f["inner_p50"]), ms(f["http_p50"]), ms(f["direct_inner_p50"]), f["messages"],
            f["expected_messages"]))
    return lines


def load_section(data, figures):
    """Part 2: throughput and latency, what reached the server, memory and CPU."""
    load = data["load"]
    lines = ["", "## %d concurrent clients" % load["connections"], "",
             "`%s`, %d thread, %d kept-alive connections, each request taking the next of the run's paths in "
             "turn (bench/gateway_wrk.lua); latency from a request's sending to its answer (closed loop)." % (
                 load["wrk_version"].split(" [")[0], load["wrk_threads"], load["connections"]), "",
             "| Run | Seconds | Requests | Requests/s | p50 | p90 | p99 | Max | Errors |",
             "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"]
    for f in figures["runs"]:
        lines.append("| %s | %.1f | %d | **%.0f** | **%.1f ms** | %.1f ms | **%.1f ms** | %.1f ms | %d |" % (
            f["name"], f["seconds"], f["requests"], f["rps"], f["p50"], f["p90"], f["p99"], f["max"], f["errors"]))
    for f in figures["runs"]:
        if len(f["issued"]) > 1:
            lines += ["", "Requests sent per path in the run \"%s\": %s." % (f["name"], ", ".join(
                "`%s` %d" % (path, count) for path, count in sorted(f["issued"].items())))]
    lines += ["", "RPC calls that reached the server (MonitorSim's logged messages; the gateway's "
              "`devicerpc_gateway_rpc_calls_total` beside them) against the bound: 11 calls a collection, "
              "at most floor(T / R) + 1 collections with the pages alone (R = %g s) and floor(T / d) + 1 with "
              "/probe (d = %s, the fastest collection of part 1). Unshared: 11 calls a request. RPC busy: the time "
              "calls were in progress (`devicerpc_gateway_rpc_duration_seconds_sum`) over the run's, and that "
              "time per collection." % (
                  data["settings"]["refresh_interval"], ms(figures["fastest"])), "",
              "| Run | RPC calls (monitor) | (/metrics) | Expected at most | Rule | Collections | Requests a "
              "collection | Joined one in flight | Unshared | RPC busy | Per collection |",
              "| --- | ---: | ---: | ---: | --- | ---: | ---: | ---: | ---: | ---: | ---: |"]
    for f in figures["runs"]:
        lines.append("| %s | **%d** | %d | **%d** | %s | %d | %.0f | %d | %d | %.0f %% | %s |" % (
            f["name"], f["calls_monitor"], f["calls_metrics"], f["calls_bound"], f["bound_rule"], f["collections"],
            f["requests"] / max(1, f["collections"]), f["joined"], f["unshared"], 100 * f["rpc_busy"],
            ms(f["collection_mean"])))
    lines += ["", "The gateway's resident memory (psutil RSS; %.1f MiB right after its start, before part 1) "
              "and the CPU of each side over the run, in cores." % (data["gateway_rss_start"] / MIB), "",
              "| Run | RSS before | RSS after | RSS peak | Gateway | wrk | Wine prefix | Whole machine |",
              "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"]
    for f in figures["runs"]:
        lines.append("| %s | %.1f MiB | %.1f MiB | %.1f MiB | %.2f | %.2f | %.2f | %.2f |" % (
            f["name"], f["rss_before"], f["rss_after"], f["rss_peak"], f["gateway_cores"], f["wrk_cores"],
            f["prefix_cores"], f["machine_busy"] or 0.0))
    return lines


def render(data):
    """The report as Markdown."""
    figures = analyse(data)
    return "\n".join(header(data) + probe_section(figures) + load_section(data, figures)) + "\n"
