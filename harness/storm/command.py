"""The command line of scripts/storm: options, the prefix, and the phases
of each seed; the load phases are in command_load. See scripts/storm for
what it does and prints."""
import argparse
import tempfile
import time

from .. import env
from ..calls import check_known_calls, runtime_losses
from ..figures import KIB, in_kib, memory, settled_memory
from ..monitorsim import MonitorSim
from ..prefix import Prefix
from .cases import MONITOR_NAMES, make_case
from .command_load import run_load
from .lost import (case_pdus, find_culprit, fresh_server, known_platform_defect, report_lost,
                   send_alone)
from .runner import Flight, StormResult
from .workers import storm

DEFAULT_SEEDS = (77, 40517, 2718, 31337, 65521)
CHUNK = 5000
# Threads of an idle server: more after a storm means a call hangs inside it.
IDLE_THREADS = 12


def parse_arguments(argv, description):
    """The options; --seed replaces --seeds."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--requests", type=int, default=20000, help="storm cases per seed (default 20000)")
    parser.add_argument("--seeds", default=",".join(map(str, DEFAULT_SEEDS)),
                        help="comma-separated seeds, each on a fresh server (default %(default)s)")
    parser.add_argument("--seed", type=int, help="one seed only (the same as --seeds SEED)")
    parser.add_argument("--workers", type=int, default=4, help="storm connections at once")
    parser.add_argument("--warm-up", type=int, default=4000,
                        help="cases before memory is measured (default 4000; the runtime's "
                             "own pools still grow before that)")
    parser.add_argument("--load", type=int, default=1234, help="calls held at once (default 1234)")
    parser.add_argument("--load-rounds", type=int, default=3)
    parser.add_argument("--memory-limit-kb", type=int, default=8192,
                        help="allowed growth of private memory after warm-up")
    parser.add_argument("--replay", metavar="SEED:INDEX[:monitor]",
                        help="send one storm case alone to a fresh server (with MonitorSim when "
                             "':monitor' is given, as in the storm's monitor phases) and report")
    parser.add_argument("--bin", default=env.bin_dir())
    parser.add_argument("--prefix", help="Wine prefix to use (default: a new temporary one)")
    args = parser.parse_args(argv)
    args.seeds = [args.seed] if args.seed is not None else [int(s) for s in args.seeds.split(",") if s]
    return args


def main(argv=None, description=None):
    """Runs the storm (or one --replay) in a prefix of its own; the exit status."""
    args = parse_arguments(argv, description)
    env.use_bin(args.bin)
    path = args.prefix or tempfile.mkdtemp(prefix="devicerpc-storm-")
    prefix = Prefix(path, temporary=not args.prefix)
    print("storm: prefix %s" % path, flush=True)
    prefix.boot()
    try:
        if args.replay:
            return run_replay(prefix, args.replay)
        return run_storm(prefix, args)
    finally:
        prefix.close()


def run_replay(prefix, spec):
    """One case alone on a fresh server: its PDUs, its outcome and whether
    the server lived. Exit status 0 only if it lived and answered right."""
    parts = spec.split(":")
    seed, index, monitor = int(parts[0]), int(parts[1].replace(",", "")), parts[2:] == ["monitor"]
    case = make_case(seed, index, MONITOR_NAMES if monitor else ())
    print("storm: case %d/%d %s, %s, %s" % (
        seed, index, case.kind, "with MonitorSim" if monitor else "no monitor window",
        "on a new connection with no bind" if case.fresh else "after a bind"))
    for number, pdu in enumerate(case_pdus(case)):
        print("storm:   PDU %d: %s" % (number + 1, pdu.hex()))
    _, port, watch = fresh_server(prefix, monitor)
    outcome, failure, problem = send_alone(port, watch, case, monitor, seed, index)
    print("storm: outcome %s%s" % (outcome, "; WRONG: " + failure if failure else ""))
    if problem:
        print("storm: SERVER LOST: %s" % problem)
        defect = known_platform_defect(case)
        if defect:
            print("storm: known platform defect, not the product: " + defect)
    else:
        print("storm: the server lives and answers")
    return 1 if failure or problem else 0


class SeedRun:
    """What one seed's storm found."""

    def __init__(self, seed):
        self.seed = seed
        self.result = StormResult()
        self.lost = []          # one summary line per lost server
        self.failures = []
        self.unanswered = 0
        self.growth = None      # private kB from after the warm-up to the end, same server
        self.seconds = 0.0
        self.watch = self.monitor = self.warm_memory = self.first_pid = None
        self.port = None


def storm_phases(args):
    """(name, first case, count, with MonitorSim) of one seed: a warm-up
    without and with a monitor, then the measured halves."""
    half = args.requests // 2
    warm = max(0, min(args.warm_up, half))
    return [("warm-up without a monitor", 10_000_000, warm // 2, False),
            ("warm-up with MonitorSim", 20_000_000, warm - warm // 2, True),
            ("without a monitor window", 0, half, False),
            ("with MonitorSim", half, args.requests - half, True)]


def run_phase(run, name, first, count, with_monitor, args):
    """One phase in chunks of 5000 cases; it stops at once when the server
    is lost (run.result.lost)."""
    started = time.monotonic()
    flight = Flight(args.workers)
    port, watch = run.port, run.watch

    def health():
        """The check between batches: the same process, every known answer."""
        if watch.gone():
            return "the server process is gone"
        return check_known_calls(port, with_monitor)

    for chunk in range(first, first + count, CHUNK):
        size = min(CHUNK, first + count - chunk)
        storm(port, size, run.seed, first=chunk, workers=args.workers, monitor=with_monitor,
              monitor_names=MONITOR_NAMES if with_monitor else (), result=run.result,
              between_batches=health, watch=watch, flight=flight)
        if run.result.lost:
            break
        print("storm:   %d cases done, server memory %s" % (
            run.result.cases, in_kib(memory(watch.pid) or {})), flush=True)
    print("storm: seed %d, %s: %.0f s" % (run.seed, name, time.monotonic() - started), flush=True)


def _prepare_phase(prefix, run, with_monitor):
    """A fresh server when the last was lost (or none ran), and MonitorSim
    running exactly when the phase wants it."""
    if run.watch is None:
        _, run.port, run.watch = fresh_server(prefix, False)
        run.first_pid = run.first_pid or run.watch.pid
        print("storm: seed %d: server pid %d, TCP port %d" % (run.seed, run.watch.pid, run.port),
              flush=True)
        run.monitor = None
    if run.monitor is not None and not with_monitor:
        run.monitor.stop()
        run.monitor = None
    if with_monitor and run.monitor is None:
        run.monitor = MonitorSim(prefix, register=True)


def _after_lost(prefix, run, name, with_monitor):
    """Traces a lost server to its case; the next phase gets a fresh server."""
    culprit = find_culprit(prefix, run.seed, run.result.candidates, with_monitor)
    line, failure = report_lost(run.seed, name, run.result, culprit, with_monitor)
    run.lost.append(line)
    run.failures += [failure] if failure else []
    run.result.lost, run.result.candidates = None, []
    run.watch = run.monitor = None  # find_culprit ended that server's prefix processes


def _check_end_memory(run, args):
    """Private memory from the end of the warm-up to the end, and threads
    left, on the same server."""
    end_memory = settled_memory(run.watch.pid, IDLE_THREADS)
    run.growth = (end_memory["private"] - run.warm_memory["private"]) // KIB
    print("storm: seed %d: server memory after %s; private growth %+d kB" % (
        run.seed, in_kib(end_memory), run.growth), flush=True)
    if run.growth > args.memory_limit_kb:
        run.failures.append("seed %d: private memory grew by %d kB after warm-up" % (
            run.seed, run.growth))
    if end_memory["threads"] > IDLE_THREADS:
        # A call that hangs inside the server keeps its thread.
        run.failures.append("seed %d: %d threads still running after the storm" % (
            run.seed, end_memory["threads"]))


def run_seed(prefix, seed, args):
    """One seed's storm on a fresh server; a lost server ends its phase, is
    traced to its case, and the next phase gets a fresh server."""
    run = SeedRun(seed)
    unanswered_before = len(runtime_losses)
    started = time.monotonic()
    for number, (name, first, count, with_monitor) in enumerate(storm_phases(args)):
        _prepare_phase(prefix, run, with_monitor)
        run_phase(run, name, first, count, with_monitor, args)
        if run.result.lost:
            _after_lost(prefix, run, name, with_monitor)
        elif number == 1:  # the end of the warm-up
            run.warm_memory = settled_memory(run.watch.pid, IDLE_THREADS)
            print("storm: seed %d warm-up: %d cases; server memory %s" % (
                seed, run.result.cases, in_kib(run.warm_memory)), flush=True)
    if run.watch is not None and run.watch.pid == run.first_pid and run.warm_memory and not run.lost:
        _check_end_memory(run, args)
    if run.monitor is not None:
        run.monitor.stop()
    run.failures = run.result.failures + run.failures
    run.unanswered = len(runtime_losses) - unanswered_before
    run.seconds = time.monotonic() - started
    total = run.result
    print("storm: seed %d: %d cases (%d checked against the decoder), %d PDUs, %d health checks" % (
        seed, total.cases, total.checked, total.pdus, total.health_checks))
    print("storm: seed %d: cases by kind: %s" % (seed, dict(total.kinds)))
    print("storm: seed %d: outcomes: %s" % (seed, dict(total.outcomes.most_common())), flush=True)
    return run


def print_summary(runs, seconds):
    """One line per seed, then the requests the runtime left unanswered."""
    print("storm: summary, %d seeds, %.0f min in all:" % (len(runs), seconds / 60))
    for run in runs:
        r = run.result
        print("storm:   seed %d: %s cases, %s PDUs, %s checked, %d wrong, %d unanswered, "
              "memory %s, lost server: %s, %.1f min" % (
                  run.seed, "{:,}".format(r.cases), "{:,}".format(r.pdus), "{:,}".format(r.checked),
                  len(r.failures), run.unanswered,
                  "n/a" if run.growth is None else "%+d kB" % run.growth,
                  "; ".join(run.lost) or "no", run.seconds / 60))
    print("storm: requests read but never answered by the runtime, then answered on a new "
          "connection: %d" % len(runtime_losses))
    for loss in runtime_losses:
        print("storm:   " + loss)


def run_storm(prefix, args):
    """Every seed, then the load phases; the summary; the exit status."""
    started = time.monotonic()
    runs = []
    for seed in args.seeds:
        print("storm: seed %d" % seed, flush=True)
        runs.append(run_seed(prefix, seed, args))
    failures = [failure for run in runs for failure in run.failures]
    failures += run_load(prefix, args)
    print_summary(runs, time.monotonic() - started)
    if failures:
        print("storm: FAILED")
        for failure in failures[:50]:
            print("  " + failure)
        if len(failures) > 50:
            print("  ... %d more" % (len(failures) - 50))
        return 1
    defects = sum(1 for run in runs for line in run.lost if "platform defect" in line)
    print("storm: everything held%s" % (
        "; the server was lost %d time(s) to the known platform defect in Wine's runtime "
        "(not the product; replay commands above)" % defects if defects else ""))
    return 0
