"""The state of a benchmark run shared by its phases: the two sites, the
null servers, the raw data collected so far and the timeline, with the
client runs and direct measurements every timed phase makes."""
import contextlib
import threading
import time

import measures
import sites
from settings import ALL_CPUS, CLIENT_NAME, MAIN_PREFIX, NULL_ENDPOINT, ONE_CPU, SIDE_PREFIX
from sites import Site
from tools import client_args, log, run_tool, start_ready

STACK_PER_THREAD = 1003520.0   # until a run with enough threads measures it


class Context:
    """One run: where its processes are and what it has measured."""

    def __init__(self, scale):
        self.scale = scale
        self.data = {"null": {}, "product": {}, "direct": {}, "null_send": {}, "notes": []}
        self.main = Site(MAIN_PREFIX, "")
        self.side = Site(SIDE_PREFIX, "lifecycle")
        self.null_server = self.send_server = None
        self.null_port = self.send_port = None
        self.stack_per_thread = STACK_PER_THREAD
        self.started = time.time()
        self.timeline = []                  # (lane, phase, start offset, seconds)

    def timed(self, lane, name, function, *args):
        """Runs a phase and enters it in the timeline."""
        t0 = time.time()
        try:
            return function(*args)
        finally:
            self.timeline.append((lane, name, round(t0 - self.started, 1), round(time.time() - t0, 1)))

    def note(self, text):
        """A remark for the report's notes (a run made again, a failed probe)."""
        log("  " + text)
        self.data["notes"].append(text)

    def in_side(self, steps, lane="second"):
        """Runs (name, function) steps on a thread of their own; the thread's
        error is raised again by join_side."""
        def body():
            try:
                for name, function in steps:
                    self.timed(lane, name, function)
            except BaseException as error:   # raised again by join_side
                thread.error = error
        thread = threading.Thread(target=body, daemon=True)
        thread.error = None
        thread.start()
        return thread

    def beside(self, name, function):
        """Runs an untimed phase of the main prefix on a thread of its own."""
        return self.in_side(((name, function),), lane="main, beside")

    @staticmethod
    def join_side(thread):
        """Waits for a thread of in_side(); its error, if any, is raised here."""
        thread.join()
        if thread.error:
            raise thread.error

    # -- processes of the main prefix ------------------------------------
    def set_main_cpus(self, cpus):
        """Every process of the main prefix, and what this thread starts later, on `cpus`."""
        measures.set_affinity(sites.process_names(self.main.prefix), cpus)

    @contextlib.contextmanager
    def one_cpu(self):
        """Latency runs: the whole chain on one CPU.

        On this kind of machine (a virtual machine with two cores) a Wine
        server round trip between two CPUs costs a cross-CPU wake-up, and
        whether a one-client chain runs on one CPU or two changes its latency
        by up to five times from one run to the next. On one CPU every step
        of the synchronous chain is a same-CPU hand-off, which is stable and
        is what the latency comparisons use; the throughput runs use every
        CPU."""
        self.set_main_cpus(ONE_CPU)
        try:
            yield
        finally:
            self.set_main_cpus(ALL_CPUS)

    def main_cpu(self, before=None):
        """CPU sample of every process of the main prefix (measures.cpu_sample)."""
        return measures.cpu_sample(sites.process_names(self.main.prefix), before)

    def cpu_marks(self):
        """(on_started, on_result) for run_tool: each result gets the CPU
        seconds every process of the main prefix spent by name (cpu) and the
        cores the whole machine kept busy (machine_busy) since the tool's
        last `started` line."""
        marks = {}

        def started():
            marks["cpu"], marks["machine"] = self.main_cpu(), measures.machine_times()

        def finished(fields):
            if "cpu" in marks:
                before = marks.pop("cpu")
                fields["cpu"] = measures.cpu_delta(before, self.main_cpu(before))
                fields["machine_busy"] = measures.machine_busy(marks.pop("machine"), measures.machine_times())
        return started, finished

    def direct(self, command, *args):
        """A BenchDirect measurement in the main prefix: (results, other lines)."""
        results, others, _ = self.main.tool("BenchDirect.exe", [command, "--printer", CLIENT_NAME, *map(str, args)])
        return results, others

    def null_endpoint(self, protseq):
        """Where the null server listens: its ncalrpc endpoint, or its TCP port."""
        return NULL_ENDPOINT if protseq == "ncalrpc" else str(self.null_port)

    def send_endpoint(self, protseq):
        """Where the null server with --send listens."""
        return NULL_ENDPOINT + "Send" if protseq == "ncalrpc" else str(self.send_port)

    def product_endpoint(self, protseq):
        """The product's TCP port; over ncalrpc the client's default endpoint."""
        return None if protseq == "ncalrpc" else str(self.main.product_port)

    def start_null_server(self, *args):
        """A BenchNullServer of the main prefix and its TCP port (the one that
        was not listening before)."""
        before = self.main.prefix.listening_tcp_ports()
        server = start_ready(self.main.prefix, "BenchNullServer.exe", *args)
        return server, sites.wait_new_port(self.main.prefix, exclude=before)

    # -- client runs -------------------------------------------------------
    def client_process(self, kind, protseq, endpoint, op, counts, extra, seconds):
        """One BenchClient process for the client counts `counts`, each with
        the CPU seconds every process of the main prefix spent in its timed
        part and the cores the whole machine kept busy; (results, exit code)."""
        length = seconds or (self.scale.latency_s if counts[0] == 1 else self.scale.load_s)
        args = client_args(protseq, op, CLIENT_NAME, endpoint,
                           "--clients", ",".join(str(c) for c in counts), "--seconds", length,
                           "--grace-s", self.scale.grace_s,
                           # The first call of every client connects; with 256 clients
                           # one more round of warm-up calls costs seconds.
                           "--warmup", 1 if counts[0] <= 64 else 0, *extra)
        started, finished = self.cpu_marks()
        spawned = time.time()
        results, _, code = run_tool(self.main.prefix, "BenchClient.exe", args, on_started=started,
                                    on_result=finished)
        for count, result in zip(counts, results):
            bad = " (%d errors, %d stuck)" % (result.get("errors", 0), result.get("stuck", 0)) \
                if result.get("errors") or result.get("stuck") else ""
            log("  %-7s %-12s %-6s %3d clients: %8.1f calls/s  p50 %9.1f us  p99 %10.1f us%s" % (
                kind, protseq, op, count, result["throughput"], result["p50_us"], result["p99_us"], bad))
        log("  (%s: %.1f s)" % (",".join(str(c) for c in counts), time.time() - spawned))
        return results, code

    def client_runs(self, kind, protseq, endpoint, op, counts, extra=(), seconds=None):
        """BenchClient runs, one per client count; results keyed by the count.
        Counts that share a warm-up setting run in one process; after a run
        with stuck calls (the client then exits) the remaining counts run in
        a new one. A client that ends without any result (it happens to
        Wine's runtime now and then after stuck TCP calls) is run once more,
        and the report notes it."""
        done = {}
        for group in ([c for c in counts if c <= 64], [c for c in counts if c > 64]):
            pending, retried = list(group), set()
            while pending:
                results, code = self.client_process(kind, protseq, endpoint, op, pending, extra, seconds)
                if results:
                    done.update(zip(pending, results))
                    pending = pending[len(results):]
                    continue
                count = pending[0]
                self.note("%s %s %s %d clients: the client ended with code %s and no result%s" % (
                    kind, protseq, op, count, code, "" if count not in retried else " again"))
                if count in retried:
                    done[count] = {"calls": 0, "errors": count, "stuck": 0, "throughput": 0.0, "p50_us": 0.0,
                                   "p99_us": 0.0, "failed": True}
                    pending = pending[1:]
                else:
                    retried.add(count)
        return done
