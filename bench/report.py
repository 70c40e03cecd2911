"""The Markdown report of a run (bench/results/latest.md), rendered from the
figures of analysis.analyse(): the header, latency, throughput and name
resolution here, memory, idle and start-up in report_memory, then the
summary of targets."""
import report_memory
from settings import CLIENT_COUNTS, CLIENT_NAME, OP_TITLES, OUTPUT_BYTES
from units import fmt_rate, fmt_signed_us, fmt_us, verdict


def timeline_text(meta):
    """The header's account of where the time went: the phases one after the
    other, then those that ran beside them in the second prefix."""
    timeline = meta.get("timeline")
    if not timeline:
        return ", ".join("%s %.0f s" % (k, v) for k, v in meta.get("phases", {}).items())
    main = ", ".join("%s %.0f s" % (t[1], t[3]) for t in timeline if t[0] == "main")
    beside = ", ".join("%s %.0f s (from %.0f s%s)" % (t[1], t[3], t[2], ", second prefix" if t[0] == "second" else "")
                       for t in timeline if t[0] != "main")
    return "%s; beside them: %s" % (main, beside) if beside else main


def header(fig, w):
    """Title, when and where the run was made, and what every call sends."""
    meta = fig.meta
    w("# Benchmark results")
    w("")
    w("Written by `make bench` (scripts/bench) on %s, commit `%s`, %s, %d cores; "
      "load average %s at the start and %s at the end; the whole run took %.0f s (%s)%s." % (
          meta["date"], meta["commit"], meta["wine"], meta["cores"], " ".join(meta["loadavg_start"]),
          " ".join(meta["loadavg_end"]), meta["seconds"], timeline_text(meta),
          " (**--quick: shortened runs, not for comparison**)" if meta["quick"] else ""))
    w("")
    w("Every call is checked: a call that fails or answers wrongly counts as an error. Printer `%s` "
      "(the sample printer's share name), `pcbOutData` %d, no input bytes. Process figures are from "
      "Linux `/proc` of the Wine processes, read through psutil (CPU: utime+stime; working set: VmRSS, its "
      "peak the largest sample; private bytes: RssAnon). The start-up, the leak check of opnum 0 and the idle "
      "window run on a second server in a second Wine prefix, beside the main prefix's untimed memory runs "
      "and, for the idle window, its timed runs (an idle server takes no CPU). See docs/BENCHMARKS.md for what "
      "each row measures." % (CLIENT_NAME, OUTPUT_BYTES))
    w("")


def latency_table(fig, w):
    """Each procedure at one client against its floor, with its rounds."""
    w("## Latency at one client against the floor")
    w("")
    w("Floor = null RPC (same protocol sequence and payload) + one WM_COPYDATA round trip to MonitorSim "
      "with the same block + the registry operations the procedure must do, each measured on its own "
      "(p50 of each, added). Target: product p50 ≤ 1.25 × floor. All one-client figures are taken with every "
      "process of the prefix on one CPU (see docs/BENCHMARKS.md: cross-CPU wake-ups on this virtual machine "
      "make two-CPU latencies vary by up to five times between runs), in %d rounds in which each procedure's "
      "floor parts, null servers and product run one after the other; the figures are the means of the rounds. "
      "\"Null + send\" is the null server sending the same block as WM_COPYDATA from its RPC call thread "
      "(BenchNullServer --send): the runtime and the message together, without the registry and the "
      "server's own code." % fig.rounds)
    w("")
    w("| Procedure | Protseq | Null RPC p50 / p99 | Floor p50 | Null + send p50 | Product p50 / p99 | Product / floor "
      "| Each round | Target |")
    w("|---|---|---|---|---|---|---|---|---|")
    for row in fig.latency:
        nr, pr = row.null, row.product
        w("| %s | %s | %s / %s | %s | %s | %s / %s%s | %.2f× | %s | %s |" % (
            OP_TITLES[row.op], row.protseq, fmt_us(nr["p50_us"]), fmt_us(nr["p99_us"]), fmt_us(row.floor["floor"]),
            fmt_us(row.null_send), fmt_us(pr["p50_us"]), fmt_us(pr["p99_us"]),
            " (%d errors)" % pr["errors"] if pr.get("errors") else "", row.ratio,
            " ".join("%.2f×" % x for x in row.round_ratios), verdict(row.ok)))
    w("")
    tcp = [row.null["p50_us"] for row in fig.latency if row.protseq == "ncacn_ip_tcp" and row.op != "send"]
    if tcp:
        low, high = fmt_us(min(tcp)), fmt_us(max(tcp))
        span = low if low == high else "%s to %s" % (low, high)
        w("Over ncacn_ip_tcp the device requests take %s on the null server, which has no procedure code at all: "
          "that is Wine's RPC runtime, not the product. It sends the 64 KiB response in fragments of at most 5,840 "
          "bytes on a server socket without TCP_NODELAY, so a fragment waits for the client's 40 ms delayed "
          "acknowledgement." % span)
        w("")


def floor_tables(fig, w):
    """The floor parts, and where the time beyond the floor goes."""
    w("Floor parts (p50, µs):")
    w("")
    w("| Procedure | WM_COPYDATA round trip | Registry operations (opens / queries / sets / enums) | Registry p50 "
      "| Mutex + mapping cycle |")
    w("|---|---|---|---|---|")
    for part in fig.floor_parts:
        c = part["regops"]
        w("| %s | %s | %s / %s / %s / %s | %s | %s |" % (
            OP_TITLES[part["op"]], fmt_us(part["copydata"]), c.get("opens"), c.get("queries"), c.get("sets"),
            c.get("enums"), fmt_us(part["registry"]), fmt_us(part["kernel"]) if part["kernel"] is not None else "—"))
    w("")
    kernel = {row.protseq: row.floor["floor_kernel"] for row in fig.latency if row.op == "mapped"}
    w("The mutex and mapping cycle that opnum 3 must also do is not part of the floor as defined; with it "
      "the opnum 3 floor is %s (ncalrpc) and %s (ncacn_ip_tcp)." % (
          fmt_us(kernel["ncalrpc"]), fmt_us(kernel["ncacn_ip_tcp"])))
    w("")
    if fig.where is None:
        return
    w("Where the time goes (p50, µs): the message sent from an RPC call thread against the same message "
      "from BenchDirect's thread, and what the product adds to the null server that sends it.")
    w("")
    w("| Procedure | Protseq | Null + send − null RPC | Round trip from a plain thread | Difference: a call thread's "
      "message | Product − (null + send) | Of that, registry operations | Mutex + mapping | Rest: window check, "
      "block, copies |")
    w("|---|---|---|---|---|---|---|---|---|")
    for r in fig.where:
        w("| %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
            OP_TITLES[r["op"]], r["protseq"], fmt_signed_us(r["send_extra"]), fmt_us(r["copydata"]),
            fmt_signed_us(r["thread_cost"]), fmt_signed_us(r["product_extra"]), fmt_us(r["registry"]),
            fmt_us(r["kernel"]) if r["kernel"] else "—", fmt_signed_us(r["rest"])))
    w("")
    w("Over ncacn_ip_tcp the device requests' null RPC is about 45 ms with a spread of milliseconds, so "
      "differences of a few hundred µs in those rows are within the noise.")
    w("")


def run_cell(r):
    """Calls per second of a run, with its errors and stuck calls."""
    cell = fmt_rate(r["throughput"])
    if r.get("errors") or r.get("stuck"):
        cell += " (%d err%s)" % (r.get("errors", 0), ", %d stuck" % r["stuck"] if r.get("stuck") else "")
    return cell


def throughput_table(fig, w):
    """Each server at 1, 8, 64 and 256 clients against the monitor bound."""
    w("## Throughput against the null server and the monitor bound")
    w("")
    w("Calls per second with N concurrent clients, each with its own binding. Monitor bound: MonitorSim "
      "driven directly with the same message by 64 concurrent senders, measured at the start of the throughput runs. "
      "Target: product at 64 clients ≥ 90 %% "
      "of the bound. A call (the first one connects) that has not returned within %d s counts as stuck and "
      "as an error." % fig.grace_s)
    w("")
    w("| Procedure | Protseq | Server | 1 (one CPU) | 8 | 64 | 256 | Monitor bound (64 senders) | @64 / bound "
      "| Target |")
    w("|---|---|---|---|---|---|---|---|---|---|")
    for row in fig.throughput:
        cells = " | ".join(run_cell(row.runs[n]) for n in CLIENT_COUNTS)
        if row.kind == "product":
            tail = "%s | %.0f %% | %s" % (fmt_rate(row.bound), 100 * row.share, verdict(row.ok))
        else:
            tail = " | null: %.0f %% | " % (100 * row.share)
        w("| %s | %s | %s | %s | %s |" % (OP_TITLES[row.op], row.protseq, row.kind, cells, tail))
    w("")


def cpu_table(fig, w):
    """CPU per call at 64 clients by process, and the limit it sets."""
    cores = fig.meta["cores"]
    w("CPU per call at 64 clients, all processes of the main prefix (µs of CPU per call; the machine has %d cores, "
      "so the CPU limit is %d s of CPU per second; cores busy = CPU of the prefix during the run / its length, and of "
      "the whole machine from /proc/stat, which includes any other work on it):" % (cores, cores))
    w("")
    w("| Procedure | Protseq | Run | Server | Client | MonitorSim | wineserver | Other | Total | Cores busy: prefix "
      "/ machine | CPU limit (cores / total) | Measured |")
    w("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for r in fig.cpu:
        per = r.per_call
        w("| %s | %s | %s | %.0f | %.0f | %.0f | %.0f | %.0f | %.0f | %s / %s | %s | %s |" % (
            OP_TITLES[r.op], r.protseq, r.kind, per["DeviceRpcServer.exe"] + per["BenchNullServer.exe"],
            per["BenchClient.exe"], per["MonitorSim.exe"], per["wineserver"], per["other"], r.total,
            "%.2f" % r.busy if r.busy is not None else "n/a", "%.2f" % r.machine if r.machine is not None else "n/a",
            fmt_rate(r.limit), fmt_rate(r.throughput)))
    w("")


def backlog_table(fig, w):
    """The null server over TCP with MaxCalls 1 and with 1234."""
    if not fig.backlog:
        return
    w("TCP listen backlog: the server registers its protocol sequences with MaxCalls 1, which is the listen "
      "backlog of ncacn_ip_tcp. The null server with the same registration and with MaxCalls 1234, ncacn_ip_tcp:")
    w("")
    w("| Procedure | MaxCalls 1: 64 | 256 | MaxCalls 1234: 64 | 256 |")
    w("|---|---|---|---|---|")

    def cell(r):
        """Calls per second and p99 of a run, with its errors and stuck calls."""
        s = "%s, p99 %s" % (fmt_rate(r["throughput"]), fmt_us(r["p99_us"]))
        if r.get("errors") or r.get("stuck"):
            s += " (%d err, %d stuck)" % (r.get("errors", 0), r.get("stuck", 0))
        return s
    for b in fig.backlog:
        one, many = b["one"], b["many"]
        w("| %s | %s | %s | %s | %s |" % (OP_TITLES[b["op"]], cell(one[64]), cell(one[256]), cell(many[64]),
                                          cell(many[256])))
    w("")


def names_section(fig, w):
    """Opnum 2 against the number of printers, with the fitted slopes."""
    names = fig.names
    if not names:
        return
    w("## Name resolution against the number of printers")
    w("")
    w("Opnum 2 (DEVREQ_CONFIG, ncalrpc, one client) with the sample printer last in a spooler list of N "
      "printers (fillers are shared printers of a driver that names the ZOLT7 Monitor, so each costs a full "
      "check). Baselines: one resolution walk measured directly, and the WM_COPYDATA round trip (MonitorSim "
      "resolves the name itself).")
    w("")
    w("| Printers | Walk (direct) | Walk (server's code) | Monitor round trip | Product opnum 2 p50 "
      "| Product − (N=1) | Calls | Other work on the machine meanwhile |")
    w("|---|---|---|---|---|---|---|---|")
    for r, other in zip(names["rows"], names["other_cores"]):
        w("| %d | %s | %s | %s | %s | %s | %d | %s |" % (
            r["printers"], fmt_us(r["walk_us"]), fmt_us(r.get("walk_server_code_us")), fmt_us(r["copydata_us"]),
            fmt_us(r["product_us"]), fmt_us(r["product_us"] - names["base"]), r["calls"],
            "n/a" if other is None else "%.2f cores" % other))
    fits, expected = names["fits"], names["expected"]
    sp, r2p = fits["product_us"][0], fits["product_us"][2]
    w("")
    w("Least-squares slope per printer: product %.1f µs (R² %.4f); one walk %.1f µs (R² %.4f); monitor round "
      "trip %.1f µs (R² %.4f). The product walks twice per call and MonitorSim once, so the expected slope is "
      "about 2 × walk + monitor = %.1f µs.%s" % (
          sp, r2p, fits["walk_us"][0], fits["walk_us"][2], fits["copydata_us"][0], fits["copydata_us"][2], expected,
          " The product's slope is %.1f× that: every step of its call is a hand-off between processes on the one "
          "CPU (client, server, wineserver, MonitorSim), and other work on that CPU (last column) delays each "
          "hand-off, while a walk is one process's round trips to the wineserver." % (sp / expected)
          if sp > 1.5 * expected else ""))
    w("")


def targets_section(fig, w):
    """The summary: every target's verdict, and for a missed one by how much
    and why; then the notes of the run."""
    w("## Targets")
    w("")
    w("For every missed target: by how much, and the reason as this run measured it.")
    w("")
    w("| Target | Verdict | Measured | Missed by | Measured reason |")
    w("|---|---|---|---|---|")
    for t in fig.targets:
        w("| %s | %s | %s | %s | %s |" % (t.name, verdict(t.ok), t.measured, t.short or "—", t.why or "—"))
    w("")
    if fig.notes:
        w("Notes: " + "; ".join(fig.notes))
        w("")


def render(fig):
    """The whole report as text."""
    out = []
    for section in (header, latency_table, floor_tables, throughput_table, cpu_table, backlog_table, names_section,
                    report_memory.memory_section, report_memory.leak_section, report_memory.idle_section,
                    targets_section):
        section(fig, out.append)
    return "\n".join(out)
