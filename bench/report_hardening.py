"""The report of the hardening comparison (bench/hardening.py): the p50 of
each procedure over each protocol sequence from the hardened and the
unhardened server, and their ratio, from the raw numbers alone."""
import math
import statistics

from settings import OP_TITLES, OPS, PROTSEQS
from units import fmt_us

VARIANTS = ("hardened", "unhardened")


def p50s(data, variant, op, protseq):
    """The p50 of every round's run of one server (µs); None for a run
    without an answered call."""
    values = []
    for entry in data["rounds"]:
        result = entry[variant][op][protseq]
        answered = result.get("calls", 0) > result.get("errors", 0)
        values.append(result["p50_us"] if answered else None)
    return values


def mean(values):
    """The mean of the known values, or None."""
    known = [v for v in values if v is not None]
    return sum(known) / len(known) if known else None


def figures(data):
    """One row per procedure and protocol sequence: both servers' mean
    p50, each round's ratio of the two, their median and quartiles, and
    the ratio of the means."""
    rows = []
    measured = data["rounds"][0]["hardened"]
    for op in OPS:
        for protseq in [p for p in PROTSEQS if p in measured.get(op, {})]:
            hardened, unhardened = (p50s(data, v, op, protseq) for v in VARIANTS)
            h, u = mean(hardened), mean(unhardened)
            rounds = [a / b if a and b else None for a, b in zip(hardened, unhardened)]
            known = sorted(r for r in rounds if r)
            quartiles = statistics.quantiles(known, n=4, method="inclusive") if len(known) >= 2 else [None] * 3
            rows.append({"op": op, "protseq": protseq, "hardened": h, "unhardened": u,
                         "of_means": h / u if h and u else None, "median": quartiles[1],
                         "quartiles": (quartiles[0], quartiles[2]), "rounds": rounds})
    return rows


def geometric_mean(values):
    """The geometric mean of the known values, or None."""
    known = [v for v in values if v]
    return math.exp(sum(math.log(v) for v in known) / len(known)) if known else None


def ratio_text(value):
    """A ratio with three decimals, or n/a."""
    return "n/a" if value is None else "%.3f" % value


def header(data):
    """The run's circumstances and the two servers it compared."""
    meta = data["meta"]
    title = "Cost of the hardening"
    if data.get("control"):
        title += ": control run, the hardened server on both sides"
    lines = ["# " + title, "",
             "Run %s, commit %s, %s; %d cores, load average %s at the start and %s at the end%s." % (
                 meta["date"], meta["commit"], meta["wine"], meta["cores"], " ".join(meta["loadavg_start"]),
                 " ".join(meta.get("loadavg_end", ["?"])), " (quick run: not for comparison)" if meta["quick"] else ""),
             "%d rounds; both servers running, each in a Wine prefix of its own (they change prefixes every "
             "few rounds); in each round every procedure for %.1f s at one client from one server, then the "
             "other (the order alternating), all on one CPU (bench/hardening.py)." % (
                 len(data["rounds"]), data["run_s"]),
             "", "| Server | DEVICERPC_HARDEN | Toolchain file | Build type | Stack guard linked in |",
             "| --- | --- | --- | --- | --- |"]
    for variant in VARIANTS:
        build = data["builds"][variant]
        lines.append("| %s (`%s`) | %s | %s | %s | %s |" % (
            variant, build["server"], build["harden"], build["toolchain"], build["build_type"],
            "yes" if build["stack_guard"] else "no"))
    return lines


def render(data):
    """The report as Markdown."""
    rows = figures(data)
    lines = header(data) + [
        "", "Each round pairs the two servers' runs of a procedure, made one right after the other; the "
        "ratio is hardened / unhardened p50, the median over the rounds, with the quartiles of the "
        "rounds' ratios beside it (how much other work on the machine moved single rounds). The p50 "
        "columns and the last one are the means over the rounds.",
        "", "| Procedure | Protocol sequence | Hardened p50 | Unhardened p50 | Ratio (median) | "
            "Middle half of the rounds | Ratio of the means |",
        "| --- | --- | ---: | ---: | ---: | ---: | ---: |"]
    for row in rows:
        low, high = row["quartiles"]
        lines.append("| %s | %s | %s | %s | **%s** | %s – %s | %s |" % (
            OP_TITLES[row["op"]], row["protseq"], fmt_us(row["hardened"]), fmt_us(row["unhardened"]),
            ratio_text(row["median"]), ratio_text(low), ratio_text(high), ratio_text(row["of_means"])))
    overall = geometric_mean([row["median"] for row in rows])
    lines += ["", "Geometric mean of the medians over every procedure and protocol sequence: **%s**."
              % ratio_text(overall)]
    if data.get("notes"):
        lines += ["", "Notes:", ""] + ["- " + note for note in data["notes"]]
    return "\n".join(lines) + "\n"
