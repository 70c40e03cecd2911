"""The gateway when a server fails: two real servers under Wine, each in
its own prefix with MonitorSim, one steady and one that stops listening,
is terminated or has a monitor that answers too late. The failing printer
is down with its reason within the call time-out plus a second, the other
keeps its data, and the gateway keeps no thread or socket of it."""
import signal
import threading
import time

import psutil
import pytest
from prometheus_client.parser import text_string_to_metric_families

from harness.controller import Controller, start_server
from harness.gateway import Gateway, write_config
from harness.monitorsim import MonitorSim
from harness.prefix import Prefix

CALL_TIMEOUT = 2
# One pool of two workers per server, and the main thread.
MOST_THREADS = 1 + 2 * 2
UP = ("devicerpc_printer_up", (("printer", "OFFICE"),))


@pytest.fixture(scope="module")
def steady():
    """A server that keeps answering for the sample printer, in a prefix of
    its own; its TCP port."""
    prefix = Prefix.create(name="devicerpc-steady-")
    try:
        server = start_server(prefix)  # in a clean prefix: before the monitor
        monitor = MonitorSim(prefix, register=True)
        yield server.port
        monitor.stop()
    finally:
        prefix.close()


@pytest.fixture
def fleet(wine, steady, tmp_path):
    """(gateway, controller, monitor starter) over the steady server and
    one in the test's prefix, "faulty"."""
    controller = Controller(wine)
    controller.launch_and_start()
    config = write_config(tmp_path / "gateway.toml", {
        "steady": {"host": "127.0.0.1", "port": steady, "printers": ["OFFICE"]},
        "faulty": {"host": "127.0.0.1", "port": wine.tcp_port(), "printers": ["OFFICE"]},
    }, call_timeout=CALL_TIMEOUT, refresh_interval=5)
    gateway = Gateway(config)
    log = tmp_path / "monitor.log"
    yield gateway, controller, lambda *options: MonitorSim(wine, *options, register=True,
                                                           log_path=log)
    gateway.stop()
    controller.close()


def probe_up(gateway, target):
    """devicerpc_printer_up of OFFICE on `target`, from a fresh /probe."""
    answer = gateway.get("/probe?target=%s&printer=OFFICE" % target)
    return {(s.name, tuple(sorted(s.labels.items()))): s.value
            for f in text_string_to_metric_families(answer.text) for s in f.samples}[UP]


def left_behind(gateway):
    """(threads, TCP connections to anything but the HTTP clients)."""
    process = psutil.Process(gateway.pid)
    sockets = [c for c in process.connections("tcp")
               if c.raddr and c.laddr.port != gateway.port]
    return process.num_threads(), sockets


@pytest.mark.parametrize("fault, options, kind", [
    ("stop", ("--delay-ms", "100"), ("connection", "unreachable")),
    ("terminate", ("--delay-ms", "100"), ("connection", "unreachable")),
    ("late", ("--delay-ms", str(CALL_TIMEOUT * 1000 + 2000)), ("timeout",)),
])
def test_a_failing_server_is_down_in_time_and_the_other_keeps_its_data(fleet, fault, options,
                                                                       kind):
    gateway, controller, start_monitor = fleet
    monitor = start_monitor(*options)
    answers = []
    flight = threading.Thread(target=lambda: answers.append((probe_up(gateway, "faulty"),
                                                             time.monotonic())))
    flight.start()
    deadline = time.monotonic() + 30
    while not monitor.messages() and time.monotonic() < deadline:
        time.sleep(0.02)  # until the collection has reached the monitor
    faulted = time.monotonic()
    if fault != "late":
        assert controller.send(fault).startswith("signalled")
    flight.join(30)
    up, down_at = answers[0]
    if up:  # the call in flight ended well: the next collection finds no server
        up, down_at = probe_up(gateway, "faulty"), time.monotonic()
    assert up == 0 and down_at - faulted <= CALL_TIMEOUT + 1, (fault, down_at - faulted)
    printer = gateway.json("/api/v1/printers/faulty/OFFICE")
    assert printer["error_kind"] in kind and printer["reason"] and printer["error"]
    if printer["error_kind"] == "unreachable":
        assert "fixed port" in printer["error"]
    assert probe_up(gateway, "steady") == 1
    assert gateway.json("/api/v1/printers/steady/OFFICE")["counters"]["mono"] == 15230
    threads, sockets = left_behind(gateway)
    assert threads <= MOST_THREADS and sockets == [], (threads, sockets)


@pytest.mark.parametrize("stop_signal", [signal.SIGTERM, signal.SIGINT])
def test_a_stop_signal_ends_it_within_the_call_time_out(fleet, stop_signal):
    gateway, _, start_monitor = fleet
    monitor = start_monitor()
    monitor.pause()  # every call now hangs until its time-out
    flight = threading.Thread(target=lambda: gateway.get("/probe?target=faulty", timeout=30))
    flight.start()
    time.sleep(0.5)
    started = time.monotonic()
    gateway.proc.send_signal(stop_signal)
    assert gateway.proc.wait(timeout=CALL_TIMEOUT + 10) == 0
    assert time.monotonic() - started <= CALL_TIMEOUT + 1.5
    flight.join(30)
    monitor.resume()
    log = gateway.log()
    assert "stopped" in log and "Traceback" not in log, log
