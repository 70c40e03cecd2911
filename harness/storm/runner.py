"""Sends storm cases with several workers and counts what came back.

    storm(port, count, seed, ...) -> StormResult
    run_case(port, case, connection, monitor, seed, index)

A checked case (a request stub) is judged by the oracle; a request that
gets no answer at all is sent once more on a new connection (Wine's
runtime now and then reads a small request and never answers it, with no
thread of the server busy on it) and recorded in calls.runtime_losses.
The other cases send their PDUs and drain whatever comes back.
"""
import random
import socket
import threading
import time
from collections import Counter, deque

from ..calls import ANSWER_WAIT, runtime_losses
from ..pdus import request_fragments
from ..raw import Answer, RawConnection
from .oracle import check_answer, decoded

# Outcomes of a case after which the storm looks whether the server is still
# there: the connection ended, or could not be made, without an answer.
CUT_OUTCOMES = {"closed", "reset", "silent", "bad-length", "connection error", "error"}


def cut_short(outcome):
    """True for an outcome that may mean the server is gone."""
    return outcome in CUT_OUTCOMES or outcome.startswith(("send failed", "no answer"))


class StormResult:
    """What a storm sent and found, counted by all its workers."""

    def __init__(self):
        self.lock = threading.Lock()
        self.cases = 0
        self.pdus = 0
        self.checked = 0
        self.kinds = Counter()
        self.outcomes = Counter()
        self.failures = []
        self.health_checks = 0
        self.skipped = Counter()   # reason -> cases not sent
        self.lost = None           # what happened to the server, once it is lost
        self.lost_after = None     # the case whose outcome showed it
        self.candidates = []       # (index, case) sent last, likeliest culprit first

    def add(self, case, outcome, pdus, failure=None):
        """Counts one case sent, its outcome and failure."""
        with self.lock:
            self.cases += 1
            self.pdus += pdus
            self.kinds[case.kind.split(":")[0]] += 1
            self.outcomes[outcome] += 1
            if case.checked:
                self.checked += 1
            if failure:
                self.failures.append(failure)

    def skip(self, reason):
        """Counts one case not sent, by reason."""
        with self.lock:
            self.skipped[reason] += 1


class Flight:
    """The last cases each worker sent: when the server is lost, its culprit
    is among them (the one that ended it may have looked answered, and the
    loss is often noticed by a later case of another worker)."""

    KEEP = 6

    def __init__(self, workers):
        self.lock = threading.Lock()
        self.recent = [deque(maxlen=self.KEEP) for _ in range(workers)]
        self.lost = threading.Event()
        self.problem = None
        self.noticed_after = None

    def begin(self, slot, index, case):
        """Records that worker `slot` sends case `index` now; its entry."""
        entry = {"index": index, "case": case, "start": time.monotonic(), "outcome": None}
        with self.lock:
            self.recent[slot].append(entry)
        return entry

    def lose(self, problem, index):
        """Marks the server lost (the first report wins) and stops the workers."""
        with self.lock:
            if self.problem is None:
                self.problem = problem or "the server was lost"
                self.noticed_after = index
        self.lost.set()

    def candidates(self):
        """(index, case), likeliest first: cases whose connection the server
        cut, then the rest, each newest first (ahead of the culprit come at
        most the cases the other workers had in flight when it struck)."""
        with self.lock:
            entries = sorted((entry for recent in self.recent for entry in recent),
                             key=lambda entry: -entry["start"])
        cut = [e for e in entries if e["outcome"] in ("closed", "reset")]
        return [(e["index"], e["case"]) for e in cut + [e for e in entries if e not in cut]]


def _drain(connection, wait):
    """Reads answers until the server closes, goes quiet for `wait` s, or 20
    PDUs came; the first."""
    first = None
    for _ in range(20):
        answer = connection.receive_pdu(timeout=wait)
        if first is None:
            first = answer
        if answer.kind != "pdu":
            break
    return first


def send_checked(port, case, connection):
    """Sends a checked case; (connection or None, answer, PDUs sent)."""
    if connection is None:
        connection = RawConnection(port, timeout=ANSWER_WAIT)
    # Wine's runtime labels every PDU it sends with call id 1, whatever
    # the request carried, so the call id is not compared.
    pdus = request_fragments(case.stub, case.opnum, connection.next_call, drep=case.drep)
    connection.next_call += 1
    try:
        connection.send(b"".join(pdus))
    except OSError as error:
        connection.close()
        return None, Answer("send failed: %s" % error), len(pdus)
    answer = connection.receive_reply()
    if answer.kind != "pdu":
        connection.close()
        connection = None
    return connection, answer, len(pdus)


def _run_checked(port, case, connection, monitor, seed, index):
    """A request stub judged by the oracle; (connection, outcome, failure, PDUs)."""
    connection, answer, sent = send_checked(port, case, connection)
    if answer.kind == "silent":
        # Under CPU contention Wine's runtime now and then reads a small
        # request and never answers it, with no thread of the server
        # busy on it. The same request on a new connection tells that
        # apart from a server that cannot answer it.
        _, answer, more = send_checked(port, case, None)
        sent += more
        runtime_losses.append("case %d/%d %s: %s on a new connection" % (
            seed, index, case.kind, answer.describe()))
    request = decoded(case.opnum, case.stub, case.drep)
    problem = check_answer(case.opnum, request, answer, monitor)
    failure = None
    if problem:
        failure = "case %d/%d %s opnum %d (%d octets, %s): %s" % (
            seed, index, case.kind, case.opnum, len(case.stub),
            "accepted by the decoder" if request else "malformed", problem)
    return connection, answer.label(), failure, sent


def _expected_fault(port, case, connection, seed, index):
    """The answer to PDUs that must get one fault; (outcome, failure)."""
    answer = connection.receive_reply(ANSWER_WAIT)
    if answer.kind == "silent":
        retry = RawConnection(port, timeout=ANSWER_WAIT)
        for pdu in case.pdus:
            retry.send(pdu)
        answer = retry.receive_reply()
        retry.close()
        runtime_losses.append("case %d/%d %s: %s on a new connection" % (
            seed, index, case.kind, answer.describe()))
    if answer.is_fault(case.expect):
        return answer.label(), None
    return answer.label(), "case %d/%d %s: %s instead of fault 0x%x" % (
        seed, index, case.kind, answer.describe(), case.expect)


def _run_raw(port, case, connection, seed, index):
    """Raw PDUs; (None, outcome, failure, PDUs). The connection is closed
    afterwards, sometimes with a reset: its state is not worth reusing."""
    if connection is not None and case.fresh:
        connection.close()
        connection = None
    try:
        if connection is None:
            connection = RawConnection(port, bind=not case.fresh)
        rng = random.Random(index)
        for pdu in case.pdus:
            connection.send(pdu)
        failure = None
        if case.expect is not None:
            outcome, failure = _expected_fault(port, case, connection, seed, index)
        elif rng.random() < 0.5:
            connection.sock.shutdown(socket.SHUT_WR)
            outcome = _drain(connection, 2.0).label()
        else:
            outcome = _drain(connection, 0.15).label()
        connection.close(reset=rng.random() < 0.3)
    except (OSError, ConnectionError) as error:
        outcome, failure = "connection error", None
        if connection is not None:
            connection.close()
        if isinstance(error, ConnectionRefusedError):
            failure = "case %d/%d %s: connection refused: the server stopped listening" % (
                seed, index, case.kind)
    return None, outcome, failure, len(case.pdus)


def run_case(port, case, connection, monitor, seed, index):
    """Runs one case; returns (connection to reuse or None, outcome, failure,
    PDUs sent)."""
    if case.checked:
        return _run_checked(port, case, connection, monitor, seed, index)
    return _run_raw(port, case, connection, seed, index)
