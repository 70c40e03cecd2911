"""The gateway's own figures, served on /metrics from a registry of its own
(so that several gateways can live in one process, as in the tests).

    devicerpc_gateway_collections_total{server}            collections made
    devicerpc_gateway_collection_failures_total{server,kind}
    devicerpc_gateway_collections_in_flight                 running now
    devicerpc_gateway_joined_requests_total                 requests that shared one
    devicerpc_gateway_rpc_calls_total{server,result}        calls, "ok" or "failed"
    devicerpc_gateway_rpc_duration_seconds{server}          their latency
    process_*                                               the process collector
"""
import time

from prometheus_client import CollectorRegistry, Counter, Gauge, Histogram, ProcessCollector

from ..client import Client

# RPC calls take about 2 ms against a live server and up to the call
# time-out against a slow one.
LATENCY_BUCKETS = (0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30)


class Telemetry:
    """The registry and the gateway's metric objects."""

    def __init__(self):
        self.registry = CollectorRegistry()
        r = self.registry
        self.collections = Counter("devicerpc_gateway_collections", "Collections of a printer "
                                   "made by the gateway.", ["server"], registry=r)
        self.failures = Counter("devicerpc_gateway_collection_failures", "Collections that did "
                                "not get every answer, by kind of failure.", ["server", "kind"],
                                registry=r)
        self.in_flight = Gauge("devicerpc_gateway_collections_in_flight", "Collections running "
                               "or waiting for a call slot now.", registry=r)
        self.joined = Counter("devicerpc_gateway_joined_requests", "Requests that shared a "
                              "collection already in flight instead of starting one.", registry=r)
        self.calls = Counter("devicerpc_gateway_rpc_calls", "RPC calls made to the servers.",
                             ["server", "result"], registry=r)
        self.latency = Histogram("devicerpc_gateway_rpc_duration_seconds", "Time from sending an "
                                 "RPC call to its answer (or failure).", ["server"],
                                 buckets=LATENCY_BUCKETS, registry=r)
        ProcessCollector(registry=r)

    def counted(self, server, sample):
        """Counts one finished collection of `server`."""
        self.collections.labels(server).inc()
        if not sample.up:
            self.failures.labels(server, sample.kind or "other").inc()


class CountedClient(Client):
    """A Client whose every call is counted and timed for one server."""

    def __init__(self, telemetry, server, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._calls = telemetry.calls
        self._latency = telemetry.latency.labels(server)
        self._server = server

    def call(self, opnum, stub, drep=None, timeout=None):
        """Client.call, counted and timed."""
        started = time.perf_counter()
        result = "failed"
        try:
            reply = super().call(opnum, stub, drep, timeout)
            result = "ok"
            return reply
        finally:
            self._latency.observe(time.perf_counter() - started)
            self._calls.labels(self._server, result).inc()
