"""The plots of a run (bench/results/latest.png), from the figures of
analysis.analyse(): latency against the floor, the product's throughput,
the cost per call against the printer count, and memory in flight."""
from settings import CLIENT_COUNTS, OPS


def short_protseq(protseq):
    """The axis label of a protocol sequence."""
    return "lrpc" if protseq == "ncalrpc" else "tcp"


def latency_plot(ax, fig):
    """Null RPC, floor and product p50 of every procedure, with 1.25 × floor."""
    labels = ["%s\n%s" % (row.op, short_protseq(row.protseq)) for row in fig.latency]
    floors = [row.floor["floor"] / 1000 for row in fig.latency]
    xs = list(range(len(labels)))
    ax.bar([x - 0.27 for x in xs], [row.floor["null"] / 1000 for row in fig.latency], 0.27, label="null RPC")
    ax.bar(xs, floors, 0.27, label="floor")
    ax.bar([x + 0.27 for x in xs], [row.product["p50_us"] / 1000 for row in fig.latency], 0.27, label="product")
    ax.plot(xs, [1.25 * f for f in floors], "k_", markersize=18, label="1.25 × floor")
    ax.set_xticks(xs)
    ax.set_xticklabels(labels, fontsize=8)
    ax.set_yscale("log")
    ax.set_ylabel("p50 latency, ms (log)")
    ax.set_title("Latency at one client")
    ax.legend(fontsize=8)


def throughput_plot(ax, fig):
    """The product's calls per second against clients, the bound dashed."""
    product = {(row.op, row.protseq): row for row in fig.throughput if row.kind == "product"}
    for op, colour in zip(OPS, ("C0", "C1", "C2", "C3")):
        for protseq, style in (("ncalrpc", "-"), ("ncacn_ip_tcp", ":")):
            runs = product[(op, protseq)].runs
            ax.plot(CLIENT_COUNTS, [runs[n]["throughput"] for n in CLIENT_COUNTS], style, color=colour, marker="o",
                    label="%s %s" % (op, short_protseq(protseq)))
        ax.axhline(product[(op, "ncalrpc")].bound, color=colour, linestyle="--", linewidth=0.8)
    ax.set_xscale("log", base=2)
    ax.set_yscale("log")
    ax.set_xticks(CLIENT_COUNTS)
    ax.set_xticklabels([str(n) for n in CLIENT_COUNTS])
    ax.set_xlabel("clients")
    ax.set_ylabel("calls/s (log); dashed: monitor bound")
    ax.set_title("Product throughput")
    ax.legend(fontsize=7, ncol=2)


def names_plot(ax, rows):
    """The product, one walk and the monitor round trip against printers."""
    if rows:
        xs = [r["printers"] for r in rows]
        ax.plot(xs, [r["product_us"] / 1000 for r in rows], "o-", label="product opnum 2")
        ax.plot(xs, [r["walk_us"] / 1000 for r in rows], "s-", label="one walk (direct)")
        ax.plot(xs, [r["copydata_us"] / 1000 for r in rows], "^-", label="monitor round trip")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("printers in the spooler's keys")
        ax.set_ylabel("p50, ms (log)")
        ax.legend(fontsize=8)
    ax.set_title("Cost per call against printer count")


def memory_plot(ax, data):
    """Heap and data of the null servers and the product over a run of 256
    calls in flight."""
    for run, name in ((data.get("null_inflight_bare"), "null, runtime only"),
                      (data.get("null_inflight_stub"), "null, stub copy"),
                      (data["product"].get("inflight"), "product")):
        if run and run.get("nonstack"):
            ax.plot([x[0] for x in run["nonstack"]], [x[1] / 1048576 for x in run["nonstack"]], label=name)
    ax.set_xlabel("seconds")
    ax.set_ylabel("private bytes without thread stacks, MiB")
    ax.set_title("Server memory, 256 calls of opnum 2 in flight")
    ax.legend(fontsize=8)


def plot(data, fig, path):
    """Writes the four plots to `path` (PNG); `data` gives the memory samples."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(2, 2, figsize=(14, 10))
    latency_plot(axes[0][0], fig)
    throughput_plot(axes[0][1], fig)
    names_plot(axes[1][0], data.get("names") or [])
    memory_plot(axes[1][1], data)
    figure.tight_layout()
    figure.savefig(path, dpi=90)
