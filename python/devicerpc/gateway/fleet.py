"""The fleet: the configured servers and the collections of their printers.

The language monitor behind a server handles one message at a time for
every caller, so the gateway must not multiply the load by the number of
its own clients:

- one collection in flight per printer: a request for a printer that is
  being collected waits for that collection and shares its answer;
- each server has a pool of `concurrency` workers, and a collection holds
  one for all of its calls: no more calls than that reach a server at once;
- a collection that waited for a worker while another one of the same
  server got no answer at all takes that answer instead of waiting a whole
  time-out again: it is as fresh as its own would have been.

A collection opens its own connection and closes it at the end, so no
socket stays open between collections and a restarted server is met
afresh. Collections run on the pools' threads; callers get a Future.
"""
import logging
import threading
import time
from concurrent.futures import Future, ThreadPoolExecutor

from ..collection import PrinterSample, collect, failed
from ..errors import ConnectionFailed, RPC_S_CALL_CANCELLED, Unreachable
from ..transport import resolve_port
from .telemetry import CountedClient

log = logging.getLogger("devicerpc.gateway")

FIXED_PORT_NOTE = ("; the configuration gives this server a fixed port, and a server that "
                   "started again listens on a new one: give the new port, or "
                   'port = "endpoint-map" to ask for it')


class StoppingClient(CountedClient):
    """A counted client that makes no further call once the gateway stops,
    so that a collection ends within one call time-out of the stop."""

    def __init__(self, stopping, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._stopping = stopping

    def call(self, opnum, stub, drep=None, timeout=None):
        """Client.call, unless the gateway is stopping."""
        if self._stopping.is_set():
            raise ConnectionFailed("the gateway is stopping", RPC_S_CALL_CANCELLED)
        return super().call(opnum, stub, drep, timeout)


class ServerLink:
    """One configured server: how its port is found, its pool of workers,
    and the last time a collection got no answer from it."""

    def __init__(self, config, call_timeout, telemetry, stopping):
        self.config = config
        self.timeout = call_timeout
        self.telemetry = telemetry
        self.stopping = stopping
        self.executor = ThreadPoolExecutor(config.concurrency,
                                           thread_name_prefix="collect-%s" % config.name)
        self._lock = threading.Lock()
        self._port = config.port  # asked from the endpoint map when None
        self._silent = None  # (monotonic time, sample) of the last collection without answer

    def collect(self, printer, queued):
        """A full collection of `printer`, or the answerless one of another
        printer that ended after this one was queued (at `queued`)."""
        with self._lock:
            silent = self._silent
        if silent is not None and silent[0] > queued:
            last = silent[1]
            return PrinterSample(printer, error=last.error, unreachable=True,
                                 server_down=last.server_down, kind=last.kind,
                                 started=last.started, duration=last.duration)
        sample = self._attempt(printer)
        if sample.unreachable:
            with self._lock:
                self._silent = (time.monotonic(), sample)
        return sample

    def _attempt(self, printer):
        """Collects `printer`; where the endpoint map gives the port, asks it
        again once when a port it gave earlier takes no connection."""
        for _ in range(2):
            started = time.time()
            try:
                port, fresh = self._port_for_call()
            except Unreachable as error:
                return failed(printer, error, started, time.time() - started)
            with StoppingClient(self.stopping, self.telemetry, self.config.name,
                                self.config.host, port, self.timeout) as client:
                sample = collect(client, printer, full=True)
            if not sample.server_down:
                return sample
            if self.config.port is not None:
                sample.error += FIXED_PORT_NOTE
                return sample
            self._forget_port(port)
            if fresh:
                return sample
        return sample

    def _port_for_call(self):
        """(port, whether it was just asked for) for the next collection."""
        with self._lock:
            if self._port is not None:
                return self._port, self.config.port is not None
        port = resolve_port(self.config.host, self.timeout)
        with self._lock:
            self._port = port
        return port, True

    def _forget_port(self, port):
        """The endpoint map is asked again before the next collection."""
        with self._lock:
            if self._port == port:
                self._port = None


class Fleet:
    """Every configured printer, its last collection and the collections in
    flight. `collect` joins or starts one; `fresh` gives a recent one."""

    def __init__(self, config, telemetry):
        self.config = config
        self.telemetry = telemetry
        self.stopping = threading.Event()
        self.links = {name: ServerLink(server, config.call_timeout, telemetry, self.stopping)
                      for name, server in config.servers.items()}
        self._lock = threading.Lock()
        self._in_flight = {}  # (server, printer): Future
        self._latest = {}  # (server, printer): PrinterSample
        self._since = {}  # (server, printer): (up, time it came to that state)

    def printers(self):
        """(server name, printer) of every configured printer, in order."""
        return [(name, printer) for name, server in self.config.servers.items()
                for printer in server.printers]

    def knows(self, server, printer):
        """True when the configuration names `printer` on `server`."""
        link = self.links.get(server)
        return link is not None and printer in link.config.printers

    def collect(self, server, printer):
        """A Future of the PrinterSample of a collection of a configured
        printer: the one in flight, or a new one."""
        key = (server, printer)
        with self._lock:
            running = self._in_flight.get(key)
            if running is not None:
                self.telemetry.joined.inc()
                return running
            if self.stopping.is_set():
                done = Future()
                done.set_result(PrinterSample(printer, error="the gateway is stopping",
                                              kind="other"))
                return done
            self.telemetry.in_flight.inc()
            future = self.links[server].executor.submit(self._run, key, time.monotonic())
            self._in_flight[key] = future
        return future

    def _run(self, key, queued):
        """Runs one collection on a worker; records it before its Future is
        done, so that no request joins a collection that has ended."""
        server, printer = key
        try:
            sample = self.links[server].collect(printer, queued)
        except Exception as error:  # a fault of ours must not leave requests waiting
            log.exception("collection of %r on %s failed", printer, server)
            sample = PrinterSample(printer, error="internal error: %s" % error, kind="other")
        self.telemetry.counted(server, sample)
        with self._lock:
            self._in_flight.pop(key, None)
            self._latest[key] = sample
            state = self._since.get(key)
            if state is None or state[0] != sample.up:
                self._since[key] = (sample.up, sample.started or time.time())
        self.telemetry.in_flight.dec()
        return sample

    def fresh(self, server, printer, max_age):
        """The last collection of a printer when it began less than
        `max_age` seconds ago, else None."""
        with self._lock:
            sample = self._latest.get((server, printer))
        if sample is not None and sample.started is not None \
                and time.time() - sample.started < max_age:
            return sample
        return None

    def since(self, server, printer):
        """When the printer came to its present state (answering or not)."""
        with self._lock:
            state = self._since.get((server, printer))
        return state[1] if state else None

    def close(self):
        """Stops: no new call is made, and waits for the collections in
        flight, each of which ends within one call time-out."""
        self.stopping.set()
        for link in self.links.values():
            link.executor.shutdown(wait=True)
