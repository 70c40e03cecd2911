"""storm(): cases first..first+count-1 sent by several workers in batches,
with a health check between batches and a watch on the server.

With a ServerWatch, a case that ends without an answer, or with a wrong
one, is followed by a look at the server: when it is gone or no longer
answers, nothing more is sent, result.lost says what happened, and
result.candidates lists the cases sent last (the culprit is among them;
lost.find_culprit names it). Cases for which `skip(case)` gives a reason
are counted in result.skipped and not sent.
"""
import threading
import time
from dataclasses import dataclass

from .cases import make_case
from .runner import Flight, StormResult, cut_short, run_case


@dataclass
class _Storm:
    """What every worker of one storm shares."""
    port: int
    seed: int
    monitor: bool
    names: list
    result: StormResult
    watch: object
    skip: object
    flight: Flight


def _send(storm, slot, index, connection):
    """Sends case `index`; (connection, False once the server is lost)."""
    case = make_case(storm.seed, index, storm.names)
    reason = storm.skip(case) if storm.skip else None
    if reason:
        storm.result.skip(reason)
        return connection, True
    entry = storm.flight.begin(slot, index, case)
    try:
        connection, outcome, failure, pdus = run_case(storm.port, case, connection, storm.monitor,
                                                      storm.seed, index)
    except Exception as error:  # a bug here must not hide the rest
        connection, outcome, failure, pdus = None, "error", "case %d/%d %s: %r" % (
            storm.seed, index, case.kind, error), 0
    entry["outcome"] = outcome
    if storm.watch is not None and (failure or cut_short(outcome)):
        # A wrong answer only counts from a server that is still there: a
        # lost one cuts every call in flight.
        problem = storm.watch.problem(answering=failure is not None)
        if problem or storm.flight.lost.is_set():
            storm.flight.lose(problem, index)
            storm.result.add(case, "server lost", pdus)
            return connection, False
    storm.result.add(case, outcome, pdus, failure)
    return connection, True


def _worker(storm, slot, next_index):
    """Sends cases until there are none left or the server is lost."""
    connection = None
    while not storm.flight.lost.is_set():
        index = next_index()
        if index is None:
            break
        connection, going = _send(storm, slot, index, connection)
        if not going:
            break
    if connection is not None:
        connection.close()


def _run_batch(storm, indices, workers):
    """One batch of cases, spread over the workers."""
    pending = iter(indices)
    lock = threading.Lock()

    def next_index():
        """The next case of the batch, or None."""
        with lock:
            return next(pending, None)

    threads = [threading.Thread(target=_worker, args=(storm, slot, next_index))
               for slot in range(workers)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def _after_batch(storm, between_batches, last):
    """The health check after a batch; False when the storm must stop."""
    problem = between_batches()
    storm.result.health_checks += 1
    if not problem:
        return True
    lost = storm.watch.problem() if storm.watch is not None else None
    if lost:
        storm.flight.lose(lost, last)
        return True
    storm.result.failures.append("after case %d: %s" % (last, problem))
    return False


def storm(port, count, seed, first=0, workers=4, monitor=False, monitor_names=(), result=None,
          batch=500, between_batches=None, watch=None, skip=None, flight=None, settle=2.0):
    """Runs cases first..first+count-1 with `workers` threads in batches;
    `between_batches()` (a health check) runs after each batch."""
    state = _Storm(port, seed, monitor, list(monitor_names), result or StormResult(), watch, skip,
                   flight or Flight(workers))
    index, end = first, first + count
    while index < end and not state.flight.lost.is_set():
        stop = min(end, index + batch)
        _run_batch(state, range(index, stop), workers)
        index = stop
        if not state.flight.lost.is_set() and between_batches:
            if not _after_batch(state, between_batches, stop - 1):
                break
    if watch is not None and not state.flight.lost.is_set():
        # The runtime ends a process that faulted about 1.5 s later, when
        # the last cases may already look answered: look once more.
        time.sleep(settle)
        problem = watch.problem()
        if problem:
            state.flight.lose(problem, end - 1)
    if state.flight.lost.is_set():
        state.result.lost, state.result.lost_after = state.flight.problem, state.flight.noticed_after
        state.result.candidates = state.flight.candidates()
    return state.result
