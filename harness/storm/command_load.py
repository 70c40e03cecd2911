"""The load phases of scripts/storm, on a fresh server: load rounds with
MonitorSim slowed and held while the calls go in, STOP with calls held,
then TERMINATE. run_load returns the failures."""
import os
from collections import Counter

from ..calls import NCA_S_UNK_IF
from ..controller import start_server
from ..figures import KIB, in_kib, settled_memory
from ..monitorsim import MonitorSim
from .load import load_markers, load_round

IDLE_THREADS = 12


def _load_rounds(server, monitor, log, args):
    """The load rounds; (failures, settled memory after each)."""
    failures, rounds = [], []
    for number in range(1, args.load_rounds + 1):
        outcome = load_round(server.port, monitor, args.load, server.pid, round_number=number)
        after = settled_memory(server.pid, IDLE_THREADS)
        rounds.append(after)
        seen = load_markers(log, number)
        print("storm: load round %d: %d calls, %d held in the server at once, %d answered, "
              "%d wrong, %d delivered to MonitorSim once each; peak %d threads and %d kB "
              "private, %.1f s; memory after %s" % (
                  number, outcome.calls, outcome.held, outcome.answered, len(outcome.wrong),
                  sum(1 for i in range(args.load) if seen[i] == 1), outcome.peak_threads,
                  outcome.peak_private // KIB, outcome.seconds, in_kib(after)), flush=True)
        failures += ["load round %d: %s" % (number, w) for w in outcome.wrong[:20]]
        if outcome.held != outcome.calls:
            failures.append("load round %d: only %d of %d calls were held at once" % (
                number, outcome.held, outcome.calls))
        if seen != Counter(range(args.load)):
            failures.append("load round %d: MonitorSim got calls %s not once each" % (
                number, sorted(i for i in range(args.load) if seen[i] != 1)[:20]))
    return failures, rounds


def _memory_between_rounds(rounds, before, args):
    """Private memory from round 2 to the last; the failures."""
    if len(rounds) <= 2:
        return []
    # The first round warms the runtime up to this many threads.
    growth = (rounds[-1]["private"] - rounds[1]["private"]) // KIB
    print("storm: private memory from round 2 to round %d: %+d kB (before load %d kB)" % (
        len(rounds), growth, before["private"] // KIB))
    if growth > args.memory_limit_kb:
        return ["private memory grew by %d kB between load rounds" % growth]
    return []


def _stop_under_load(prefix, server, monitor, args):
    """STOP while calls are held: every one is answered, then nothing
    listens. Calls the runtime has dispatched finish with their right
    answer; the runtime dispatches through a pool of at most about 500
    threads, and the calls it has read but not yet dispatched when it stops
    listening are refused with nca_s_unk_if, so no client is left without
    an answer. The failures."""
    outcome = load_round(server.port, monitor, args.load, server.pid,
                         during=lambda: server.controller.send("stop"),
                         refused_status=NCA_S_UNK_IF)
    stopped = server.controller.send("wait-stopped 60000")
    ports = prefix.listening_tcp_ports()
    print("storm: STOP with %d calls held: %d answered, %d refused with nca_s_unk_if, "
          "%d wrong or lost; %s; TCP ports %s" % (
              outcome.held, outcome.answered, outcome.refused, len(outcome.wrong), stopped, ports))
    failures = ["stop: %s" % w for w in outcome.wrong[:20]]
    if stopped != "not listening" or ports:
        failures.append("after STOP: %s, TCP ports %s" % (stopped, ports))
    return failures


def run_load(prefix, args):
    """Load rounds, STOP with calls held, then TERMINATE, on a fresh server;
    the failures."""
    failures = []
    server = start_server(prefix)
    print("storm: load: server pid %d, TCP port %d" % (server.pid, server.port), flush=True)
    if args.load:
        log = os.path.join(prefix.path, "load-monitor.log")
        if os.path.exists(log):
            os.remove(log)
        monitor = MonitorSim(prefix, "--delay-ms", 2, register=True, log_path=log)
        before = settled_memory(server.pid, IDLE_THREADS)
        more, rounds = _load_rounds(server, monitor, log, args)
        failures += more + _memory_between_rounds(rounds, before, args)
        failures += _stop_under_load(prefix, server, monitor, args)
        monitor.stop()
    server.controller.send("terminate")
    exit_line = server.controller.send("wait-exit 30000")
    print("storm: TERMINATE: %s" % exit_line)
    if exit_line != "exit code 0":
        failures.append("TERMINATE: " + exit_line)
    return failures
