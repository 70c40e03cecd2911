"""Part 1 of the gateway's benchmark: a /probe of the sample printer against
the same collection made directly by the Python client.

A gateway collection is `devicerpc.collection.collect(client, printer,
full=True)` on a connection of its own, opened and closed around the 11
calls; the direct side makes exactly that in this process. Both sides run
against the same server in the same prefix, one right after the other in
each round, their order alternating, so that other work on the machine
touches both alike. The HTTP side keeps one connection to the gateway, as
Prometheus does. A /probe always collects afresh (sequential probes never
join one another), which MonitorSim's log confirms: every round adds two
collections' messages.

Raw data per placement: every round's (seconds, inner seconds) of each
side; the inner figure is the gateway's own devicerpc_probe_duration_seconds
(the collection as the gateway waits for it) and the direct collection's
own duration (from its first call to its last answer).
"""
import http.client
import re
import time

import devicerpc
from devicerpc.collection import collect

import measures
import sites
from settings import ALL_CPUS, CLIENT_NAME, ONE_CPU
from tools import log

SERVER_NAME = "local"   # the server's name in the gateway's configuration (harness Site)
PROBE_PATH = "/probe?target=%s&printer=%s" % (SERVER_NAME, CLIENT_NAME)
CALLS_PER_COLLECTION = 11   # seven counters, the bins, configuration, calibration, service settings
WARMUP_ROUNDS = 3
DURATION = re.compile(rb"^devicerpc_probe_duration_seconds (\S+)$", re.M)
SUCCESS = b"\ndevicerpc_probe_success 1.0\n"
# The latency runs of the main benchmark pin the whole chain to one CPU;
# the gateway as deployed runs wherever the scheduler puts it. Both.
PLACEMENTS = (("one CPU", ONE_CPU), ("every CPU", ALL_CPUS))


class Prober:
    """A /probe client on one kept-alive connection to the gateway."""

    def __init__(self, host, port, timeout):
        self.connection = http.client.HTTPConnection(host, port, timeout=timeout)

    def probe(self):
        """(seconds, the gateway's own probe duration) of one /probe;
        RuntimeError unless it answered 200 with every request answered."""
        started = time.perf_counter()
        self.connection.request("GET", PROBE_PATH)
        answer = self.connection.getresponse()
        body = answer.read()
        seconds = time.perf_counter() - started
        match = DURATION.search(body)
        if answer.status != 200 or SUCCESS not in body or not match:
            raise RuntimeError("/probe answered %d: %r" % (answer.status, body[-300:]))
        return seconds, float(match.group(1))

    def close(self):
        """Closes the connection."""
        self.connection.close()


def direct(port, timeout):
    """(seconds, the collection's own duration) of one collection made by
    the Python client on a fresh connection, closed at its end, as the
    gateway makes it; RuntimeError when it did not get every answer."""
    started = time.perf_counter()
    with devicerpc.Client("127.0.0.1", port, timeout=timeout) as client:
        sample = collect(client, CLIENT_NAME, full=True)
    seconds = time.perf_counter() - started
    if not sample.up:
        raise RuntimeError("the direct collection failed: %s" % sample.error)
    return seconds, sample.duration


def place(site, cpus):
    """Every process of the site's prefix, the gateway and this thread on `cpus`."""
    pids = sites.process_names(site.prefix)
    pids[site.gateway.pid] = "gateway"
    measures.set_affinity(pids, cpus)


def rounds_at(site, label, cpus, rounds, timeout):
    """`rounds` interleaved rounds with every process on `cpus`: the raw
    rounds and how many messages MonitorSim logged meanwhile."""
    host, port = site.gateway.url.split("//", 1)[1].rsplit(":", 1)
    prober = Prober(host, int(port), timeout)
    place(site, cpus)
    try:
        for _ in range(WARMUP_ROUNDS):   # first connections, imports, the pool's threads
            prober.probe()
            direct(site.port, timeout)
        before = len(site.messages())
        done = []
        for index in range(rounds):
            order = ("gateway", "direct") if index % 2 == 0 else ("direct", "gateway")
            entry = {"order": order[0]}
            for side in order:
                entry[side] = prober.probe() if side == "gateway" else direct(site.port, timeout)
            done.append(entry)
        messages = len(site.messages()) - before
    finally:
        prober.close()
        place(site, ALL_CPUS)
    log("  %s: %d rounds, %d messages to the monitor (%d expected)" % (
        label, rounds, messages, 2 * CALLS_PER_COLLECTION * rounds))
    return {"placement": label, "cpus": list(cpus), "rounds": done, "messages": messages}


def run(site, rounds, timeout):
    """Part 1 in every placement: {"placements": [...], "calls_per_collection"}."""
    placements = []
    for label, cpus in PLACEMENTS:
        log("part 1, /probe against the direct collection, %s" % label)
        placements.append(rounds_at(site, label, cpus, rounds, timeout))
    return {"placements": placements, "calls_per_collection": CALLS_PER_COLLECTION,
            "path": PROBE_PATH}
