"""A lost server: telling it from one that answers wrong, finding the
case that ended it, and reporting it.

    ServerWatch(pid, port).problem()     None while the server lives (and answers)
    known_platform_defect(case)          the text of the known Wine fault, or None
    find_culprit(prefix, seed, candidates, monitor) -> (index, case, problem) or None
    report_lost(seed, phase, result, culprit, monitor) -> (summary line, failure)
    fresh_server(prefix, monitor), send_alone(...), case_pdus(case), replay_command(...)
"""
import os
import struct
import time

from .. import env
from ..calls import answers
from ..controller import start_server
from ..monitorsim import MonitorSim
from ..pdus import (PFC_FIRST, PFC_LAST, PFC_OBJECT_UUID, PTYPE_BIND, PTYPE_BIND_ACK, PTYPE_FAULT,
                    PTYPE_REQUEST, PTYPE_RESPONSE, request_fragments)
from ..processes import Identity
from .runner import run_case


class ServerWatch:
    """Tells a lost server (the same process gone, or no longer answering)
    from one that is there, so that a lost server is never counted as wrong
    answers, nor missed."""

    def __init__(self, pid, port):
        self.pid, self.port = pid, port
        self.identity = Identity(pid)

    def gone(self):
        """True once the server process has ended."""
        return self.identity.gone()

    def problem(self, answering=True):
        """None while the server lives (and, if asked, answers), else what
        happened to it."""
        if self.gone():
            return "the server process is gone"
        if answering and not answers(self.port):
            # Wine takes a moment to end a process that faulted.
            return "the server process is gone" if self.gone() else "the server no longer answers"
        return None


# Header sizes by PDU type as Wine's runtime computes them (RPCRT4_GetHeaderSize);
# PFC_OBJECT_UUID adds 16 to any of them, other types end the connection.
RUNTIME_HEADER_SIZES = {PTYPE_REQUEST: 24, PTYPE_RESPONSE: 24, PTYPE_FAULT: 32, PTYPE_BIND: 28,
                        PTYPE_BIND_ACK: 24}

PLATFORM_DEFECT = ("a later fragment's header is longer than the first fragment's and nothing "
                   "follows it: Wine's RPCRT4_ReceiveWithAuth copies that fragment's body from "
                   "address 0 and the process ends")


def _later_fragment(first, flags, frag_length, auth_length, size):
    """For a fragment after the first of a message: "defect", "drop" (the
    runtime drops the connection) or "ok"."""
    verifier = auth_length + 8 if auth_length else 0
    if flags & PFC_FIRST or auth_length != first[1] or frag_length - first[0] < verifier:
        return "drop"
    if frag_length == size and frag_length - first[0] - verifier > 0:
        return "defect"
    return "ok"


def known_platform_defect(case):
    """PLATFORM_DEFECT when Wine's own RPC runtime ends the server process on
    this case, else None. RPCRT4_ReceiveWithAuth sizes the body of every
    fragment of a message by the first fragment's header; a later fragment
    whose own header is longer (PFC_OBJECT_UUID set, or another PDU type)
    and that carries nothing beyond it has a null body, and the runtime's
    I/O thread copies from address 0 before any code of the server runs
    (Wine 8 and 10 alike). The PDUs are read as the runtime frames them."""
    stream = b"".join(case.pdus)
    position, first = 0, None
    while position + 16 <= len(stream):
        ptype, flags = stream[position + 2], stream[position + 3]
        frag_length, auth_length = struct.unpack_from("<HH", stream, position + 8)
        size = RUNTIME_HEADER_SIZES.get(ptype, 0)
        size += 16 if size and flags & PFC_OBJECT_UUID else 0
        if stream[position:position + 2] != b"\x05\x00" or not size or frag_length < size:
            return None  # the runtime drops the connection here
        if position + frag_length > len(stream):
            return None  # it waits for the rest, which never comes
        if first is None:
            if not flags & PFC_FIRST:
                return None
            if not flags & PFC_LAST:
                first = (size, auth_length)
        else:
            verdict = _later_fragment(first, flags, frag_length, auth_length, size)
            if verdict != "ok":
                return PLATFORM_DEFECT if verdict == "defect" else None
            if flags & PFC_LAST:
                first = None
        position += frag_length
    return None


def case_pdus(case):
    """The PDUs of a case as a replay sends them (a checked case on a new
    bound connection, whose first call id is 2)."""
    if case.checked:
        return request_fragments(case.stub, case.opnum, 2, drep=case.drep)
    return case.pdus


def replay_command(seed, index, monitor):
    """The command line that sends this case alone to a fresh server."""
    command = "scripts/storm --replay %d:%d%s" % (seed, index, ":monitor" if monitor else "")
    built = os.environ.get("DEVICERPC_BIN")
    if built and os.path.abspath(built) != os.path.join(env.ROOT, "build", "bin"):
        command += " --bin " + os.path.abspath(built)
    return command


def fresh_server(prefix, monitor):
    """A new server (and MonitorSim, if asked) in the prefix, after ending
    everything that ran there; (controller, port, ServerWatch)."""
    server = start_server(prefix)
    if monitor:
        MonitorSim(prefix, register=True)
    return server.controller, server.port, ServerWatch(server.pid, server.port)


def send_alone(port, watch, case, monitor, seed, index, wait=5):
    """Sends one case on a new connection to a server that is alive;
    (outcome, failure or None, what happened to the server or None). A
    runtime that faults ends the process about 1.5 s later, once Wine's
    debugger has looked at it, so the server is watched for a while."""
    try:
        connection, outcome, failure, _ = run_case(port, case, None, monitor, seed, index)
        if connection is not None:
            connection.close()
    except Exception as error:  # a bug in the harness must not hide the outcome
        outcome, failure = "error", "case %d/%d %s: %r" % (seed, index, case.kind, error)
    deadline = time.monotonic() + wait
    while time.monotonic() < deadline:
        if watch.gone():
            return outcome, failure, "the server process is gone"
        time.sleep(0.2)
    return outcome, failure, watch.problem()


def find_culprit(prefix, seed, candidates, monitor):
    """Replays the candidates one at a time on a fresh server; the first
    that ends it is sent once more, alone, to another fresh server. Returns
    (index, case, what happened) when that confirms it, else None."""
    _, port, watch = fresh_server(prefix, monitor)
    for index, case in candidates:
        if send_alone(port, watch, case, monitor, seed, index)[2] is None:
            continue
        _, port, watch = fresh_server(prefix, monitor)
        problem = send_alone(port, watch, case, monitor, seed, index)[2]
        if problem:
            return index, case, problem
        # Not alone: the server was already hurt. Go on from a fresh one.
    return None


def report_lost(seed, phase, result, culprit, monitor):
    """Prints a lost server and its culprit; returns (line for the summary,
    failure or None). Only the known platform defect does not fail the run."""
    print("storm: LOST SERVER, seed %d, %s: %s (noticed after case %s)" % (
        seed, phase, result.lost, "{:,}".format(result.lost_after)), flush=True)
    if culprit is None:
        print("storm:   no single case among the %d sent last ends a fresh server alone" %
              len(result.candidates))
        text = "seed %d, %s: %s; culprit not found among cases %s" % (
            seed, phase, result.lost, sorted(i for i, _ in result.candidates))
        return "lost, culprit unknown", text
    index, case, problem = culprit
    print("storm:   culprit: case %d/%s, %s (ends a fresh server alone: %s)" % (
        seed, "{:,}".format(index), case.kind, problem))
    for number, pdu in enumerate(case_pdus(case)):
        print("storm:   PDU %d: %s" % (number + 1, pdu.hex()))
    print("storm:   replay: " + replay_command(seed, index, monitor))
    defect = known_platform_defect(case)
    line = "case %s %s" % ("{:,}".format(index), case.kind)
    if defect:
        print("storm:   PLATFORM DEFECT, not the product: " + defect, flush=True)
        return line + " (platform defect: Wine's runtime)", None
    return line, "seed %d, %s: case %d %s ends the server: %s" % (seed, phase, index, case.kind, problem)
