"""Many calls held inside the server at once, then released.

    load_round(port, monitor, count, server_pid, ...) -> LoadResult
    load_markers(log_path, round_number)   how often MonitorSim got each call
    load_calls(count, round_number)        the calls and their right answers
"""
import struct
import threading
import time
from collections import Counter

from devicerpc.ndr import ARRAY_SIZE, command_stub, device_stub
from devicerpc.response import encode_device_response

from ..calls import CALIBRATION, CONFIG_RECORD, REFERENT, describe_difference
from ..figures import memory
from ..monitorsim import read_log
from ..pdus import request_fragments
from ..raw import Answer, RawConnection

HOLD_WAIT = 180


def _load_device_call(i, round_number, out_data):
    """(opnum, stub, expected response) of device call `i`."""
    kind = i % 5
    opnum = 2 if kind < 4 else 3
    code, reply = (2, CONFIG_RECORD) if kind != 3 else (4, CALIBRATION)
    in_data = struct.pack("<II", round_number, i) + bytes(ARRAY_SIZE - 8)
    stub = device_stub(dwRequest=code, in_data=in_data, cbInData=8, out_data=out_data, cb_out=32,
                       printer_name="OFFICE" if i % 2 else "Office Color 7").bytes()
    expected = encode_device_response(opnum, in_data, reply + out_data[len(reply):], REFERENT,
                                      len(reply), 1 if opnum == 2 else 0)
    return opnum, stub, expected


def load_calls(count, round_number=0):
    """`count` calls with answers that stay right however they overlap: the
    commands name printers of their own (MonitorSim fails unknown ones, and
    verdicts for one printer would overwrite each other), the device
    requests share the printer, which the server and the mutex serialise.
    Each call carries (round, index) where the block shows it to the
    monitor: in dwParam, or in the first 8 input bytes."""
    calls = []
    out_data = bytes([0xC3]) * ARRAY_SIZE
    for i in range(count):
        marker = (round_number << 20) | i
        if i % 5 == 0:
            calls.append((0, command_stub(dwCommand=1, dwParam=marker, printer_name="OFFICE").bytes(),
                          b"\x01"))
        elif i % 5 == 1:
            calls.append((1, command_stub(dwCommand=1, dwParam=marker, printer_name="Nobody %d" % i,
                                          argument="x").bytes(), b"\x00"))
        else:
            calls.append(_load_device_call(i, round_number, out_data))
    return calls


def load_markers(log_path, round_number):
    """Counter of the call indices of load round `round_number` among the
    messages in a MonitorSim log (other messages are ignored)."""
    seen = Counter()
    for message in read_log(log_path):
        block = message.block
        if message.code in (5, 6) and len(block) >= 8:
            marker = struct.unpack_from("<I", block, 4)[0]
            if marker >> 20 == round_number:
                seen[marker & 0xFFFFF] += 1
        elif message.code in (9, 11) and len(block) >= 26:
            offset, size = struct.unpack_from("<II", block, 4)
            if size == 8 and offset + 8 <= len(block):
                number, index = struct.unpack_from("<II", block, offset)
                if number == round_number:
                    seen[index] += 1
    return seen


def server_unread(port, client_ports):
    """How many of the client connections still have request octets that
    the server has not read. psutil reports no socket queues, so this reads
    the receive queues of the server's side from /proc/net/tcp."""
    unread = 0
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            local_port = int(fields[1].split(":")[1], 16)
            remote_port = int(fields[2].split(":")[1], 16)
            if local_port == port and remote_port in client_ports:
                if int(fields[4].split(":")[1], 16):
                    unread += 1
    return unread


class LoadResult:
    """What one load round found."""

    def __init__(self, count):
        self.calls = count
        self.held = 0              # calls read by the server and unanswered at once
        self.answered = 0
        self.refused = 0           # faults with the status given as `refused_status`
        self.wrong = []
        self.peak_threads = 0
        self.peak_private = 0      # bytes, while the calls were held
        self.seconds = 0.0

    def sample(self, pid):
        """Raises the peaks to the server's present figures."""
        figures = memory(pid)
        if figures:
            self.peak_threads = max(self.peak_threads, figures["threads"])
            self.peak_private = max(self.peak_private, figures["private"])

    def judge(self, calls, answers, refused_status):
        """Counts the answers against the calls' right answers."""
        for i, answer in enumerate(answers):
            opnum, _, expected = calls[i]
            if answer is not None and answer.is_response():
                self.answered += 1
                if answer.stub != expected:
                    self.wrong.append("call %d (opnum %d): %s" % (
                        i, opnum, describe_difference(answer.stub, expected)))
            elif refused_status is not None and answer is not None and answer.is_fault(refused_status):
                self.refused += 1
            else:
                self.wrong.append("call %d (opnum %d): %s" % (
                    i, opnum, answer.describe() if answer else "never came back"))


def _all_read(port, client_ports, sent):
    """True once every request went out and the server has read them all."""
    if not all(sent) or server_unread(port, client_ports) != 0:
        return False
    # Give the last sendall a moment to be in the kernel's queue before
    # trusting an empty one.
    time.sleep(0.5)
    return server_unread(port, client_ports) == 0


def _hold(port, server, result, client_ports, sent, answers, hold_wait):
    """Waits until the server has read every request; counts those held."""
    deadline = time.monotonic() + hold_wait
    while time.monotonic() < deadline:
        result.sample(server)
        if _all_read(port, client_ports, sent):
            break
        time.sleep(0.2)
    answered_early = sum(1 for a in answers if a is not None)
    result.held = result.calls - answered_early if server_unread(port, client_ports) == 0 else 0
    result.sample(server)


def load_round(port, monitor, count, server, during=None, hold_wait=HOLD_WAIT, round_number=0,
               refused_status=None):
    """Holds `count` calls inside the server at once, then lets them finish.

    Connections are opened one after another (a burst of simultaneous
    connects overflows the listen backlog); MonitorSim is stopped while the
    requests go out, so that none can be answered, until the server has
    read every one of them; then it runs again and drains them. `during`
    runs while the calls are held (for a STOP or TERMINATE). A fault with
    `refused_status` counts as refused, not wrong. The waits only guard
    against a hang.
    """
    result = LoadResult(count)
    calls = load_calls(count, round_number)
    connections = [RawConnection(port, timeout=300) for _ in range(count)]
    client_ports = {c.sock.getsockname()[1] for c in connections}
    answers, sent = [None] * count, [False] * count
    gate = threading.Event()
    monitor.pause()

    def caller(i):
        """Sends call i once the gate opens; keeps its answer."""
        opnum, stub, _ = calls[i]
        gate.wait()
        try:
            connections[i].send(b"".join(request_fragments(stub, opnum, 2)))
            sent[i] = True
            answers[i] = connections[i].receive_reply()
        except OSError as error:
            answers[i] = Answer("error %s" % error)

    threads = [threading.Thread(target=caller, args=(i,)) for i in range(count)]
    started = time.monotonic()
    try:
        for thread in threads:
            thread.start()
        gate.set()
        _hold(port, server, result, client_ports, sent, answers, hold_wait)
        if during:
            during()
    finally:
        monitor.resume()
        for thread in threads:
            thread.join(timeout=300)
        for connection in connections:
            connection.close()
    result.seconds = time.monotonic() - started
    result.judge(calls, answers, refused_status)
    return result
