#!/usr/bin/python3
"""Benchmark driver of the device RPC server, run by scripts/bench.

The runs use two private Wine prefixes. The main one ($BUILD_DIR/bench-prefix)
holds the reference language monitor, the null RPC servers, the real server
through its controlling process and the bench tools. A second one
($BUILD_DIR/bench-prefix-lifecycle) holds a second language monitor and a
second real server for the start-up, the leak check of opnum 0 and the idle
window, so that those can run beside the main prefix's work: each prefix has
its own wineserver, registry and object namespace, and the real server's
instance guard holds per namespace. Nothing that is timed shares the machine
with anything but an idle server.

The results go to bench/results/latest.md (tables, each figure beside its
baseline), latest.png (plots) and latest.json (raw numbers).

Process figures come from Linux /proc of the Wine processes: CPU time is
utime+stime of /proc/<pid>/stat; working set is VmRSS (peak: VmHWM) and
private bytes are RssAnon of /proc/<pid>/status, the resident anonymous
memory that Wine itself reports as a process's private usage.
"""
import argparse
import datetime
import json
import os
import queue
import re
import shutil
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, os.environ.get("BUILD_DIR", "build"))
BIN = os.path.join(BUILD, "bin")
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
MAIN_PREFIX = os.path.join(BUILD, "bench-prefix")
SIDE_PREFIX = os.path.join(BUILD, "bench-prefix-lifecycle")
RESULTS = os.path.join(ROOT, "bench", "results")
SAMPLE_PRINTER = os.path.join(ROOT, "samples", "office.printer")

CLIENT_NAME = "OFFICE"           # the sample printer's share name, as a remote client names it
LRPC_ENDPOINT = "MirelVEXA2xZOLT7"
NULL_ENDPOINT = "DeviceRpcBenchNull"
PROTSEQS = ["ncalrpc", "ncacn_ip_tcp"]
OPS = ["send", "config", "bins", "mapped"]
OP_TITLES = {
    "send": "opnum 0 (command)",
    "config": "opnum 2, DEVREQ_CONFIG",
    "bins": "opnum 2, DEVREQ_BIN_INFO",
    "mapped": "opnum 3 (mapped, request 2)",
}
# The WM_COPYDATA message of each procedure: code and request.
OP_MESSAGE = {"send": (5, 0), "config": (9, 2), "bins": (9, 3), "mapped": (11, 2)}
CLIENT_COUNTS = [1, 8, 64, 256]
PRINTER_COUNTS = [1, 10, 100, 1000]
CLK_TCK = os.sysconf("SC_CLK_TCK")
LEAK_CLIENTS = 32
OUTPUT_BYTES = 32768                       # pcbOutData the clients send
BLOCK_BYTES = 26 + 2 * len(CLIENT_NAME) + 0 + OUTPUT_BYTES   # RequestBlock of opnums 2 and 3
MEMORY_ALLOWANCE = 2 * 32768 + BLOCK_BYTES  # per call in flight beyond the runtime
STUB_COPY_BYTES = 65552                     # the stub's copy of both arrays and the strings


class Scale:
    """Run lengths; --quick shortens everything for a smoke run of the driver."""

    def __init__(self, quick):
        self.quick = quick
        self.latency_s = 0.3 if quick else 0.4      # one client, on one CPU, per round
        self.latency_rounds = 2
        self.load_s = 0.3 if quick else 0.4         # each of 8, 64, 256 clients
        self.bound_s = 0.3 if quick else 0.8        # the monitor bound of each procedure
        self.direct_s = 0.3 if quick else 0.4
        self.grace_s = 4                            # a call longer than this is stuck
        self.idle_s = 3 if quick else 30
        self.leak_small = 200 if quick else 1000
        self.leak_large = 2000 if quick else 100000
        self.leak_device_small = 100 if quick else 500
        self.leak_device_large = 300 if quick else 3000
        self.inflight_s = 2 if quick else 4
        self.monitor_delay_ms = 20
        self.null_hold_ms = 3000 if quick else 5000
        self.printer_counts = [1, 10, 100] if quick else PRINTER_COUNTS
        self.names_budget_s = 0.3 if quick else 0.5   # per printer count, each of walk and product


# ---------------------------------------------------------------------------
# Prefixes and their processes

_log_lock = threading.Lock()


def log(text):
    with _log_lock:
        print("bench: " + text, flush=True)


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Prefix:
    """A private Wine prefix with a persistent wineserver."""

    def __init__(self, path):
        self.path = path
        self.marker = ("WINEPREFIX=" + path).encode()

    def env(self):
        return dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")

    def kill(self):
        subprocess.run([WINESERVER, "-k"], env=self.env(), capture_output=True, timeout=60)

    def make(self):
        self.kill()
        shutil.rmtree(self.path, ignore_errors=True)
        subprocess.run([WINE, "wineboot", "-i"], env=self.env(), capture_output=True, timeout=300)
        subprocess.run([WINESERVER, "-w"], env=self.env(), capture_output=True, timeout=120)
        # A persistent wineserver: every later process starts at once.
        subprocess.run([WINESERVER, "-p"], env=self.env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)

    def processes(self):
        """{pid: name} of every Linux process of this prefix, the wineserver included."""
        found = {}
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/environ" % entry, "rb") as f:
                    if self.marker not in f.read().split(b"\0"):
                        continue
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    argv0 = f.read().split(b"\0")[0].decode(errors="replace")
            except OSError:
                continue
            name = re.split(r"[\\/]", argv0)[-1] or "?"
            if name.startswith("wineserver"):
                name = "wineserver"
            found[int(entry)] = name
        return found

    def cpu_sample(self, before=None):
        """{pid: (name, CPU ticks)} of the prefix's processes. With `before`,
        its processes are read too when they are no longer found by their
        environment: a process that has just ended is a zombie until it is
        waited for, and its stat still holds its CPU time."""
        sample = {}
        for pid, name in self.processes().items():
            ticks = cpu_ticks(pid)
            if ticks is not None:
                sample[pid] = (name, ticks)
        for pid, (name, _) in (before or {}).items():
            if pid not in sample:
                ticks = cpu_ticks(pid)
                if ticks is not None:
                    sample[pid] = (name, ticks)
        return sample

    def find_pid(self, name, timeout=20):
        deadline = time.time() + timeout
        while time.time() < deadline:
            for pid, found in self.processes().items():
                if found.lower() == name.lower():
                    return pid
            time.sleep(0.1)
        raise RuntimeError("no process %s in the prefix %s" % (name, self.path))

    def tcp_ports(self):
        """TCP ports in LISTEN state held by this prefix's wineserver."""
        inodes = set()
        for pid, name in self.processes().items():
            if name != "wineserver":
                continue
            try:
                for fd in os.listdir("/proc/%d/fd" % pid):
                    try:
                        target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
                    except OSError:
                        continue
                    m = re.match(r"socket:\[(\d+)\]", target)
                    if m:
                        inodes.add(m.group(1))
            except OSError:
                continue
        ports = set()
        for table in ("/proc/net/tcp", "/proc/net/tcp6"):
            try:
                with open(table) as f:
                    next(f)
                    for line in f:
                        fields = line.split()
                        if fields[3] == "0A" and fields[9] in inodes:
                            ports.add(int(fields[1].split(":")[1], 16))
            except OSError:
                continue
        ports.discard(135)
        return sorted(ports)

    def wait_tcp_port(self, exclude=(), timeout=20):
        deadline = time.time() + timeout
        while time.time() < deadline:
            ports = [p for p in self.tcp_ports() if p not in exclude]
            if ports:
                return ports[0]
            time.sleep(0.1)
        return None

    def set_affinity(self, cpus):
        """Moves the calling thread of this driver and every thread of every
        process of the prefix to `cpus`; processes and threads started later
        from the calling thread inherit the setting."""
        os.sched_setaffinity(0, cpus)
        for pid in self.processes():
            try:
                for task in os.listdir("/proc/%d/task" % pid):
                    try:
                        os.sched_setaffinity(int(task), cpus)
                    except OSError:
                        pass
            except OSError:
                pass


class Proc:
    """A Windows program under Wine with its standard output read line by line."""

    def __init__(self, prefix, exe, *args):
        self.name = exe
        self.popen = subprocess.Popen([WINE, os.path.join(BIN, exe), *map(str, args)], env=prefix.env(),
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, text=True, bufsize=1)
        self.lines = queue.Queue()
        self.errors = []
        threading.Thread(target=self._pump, args=(self.popen.stdout, self.lines.put), daemon=True).start()
        threading.Thread(target=self._pump, args=(self.popen.stderr, self.errors.append), daemon=True).start()

    @staticmethod
    def _pump(stream, sink):
        for line in stream:
            sink(line.rstrip("\r\n"))
        sink(None)

    def line(self, timeout):
        """The next output line; None at its end or after `timeout` seconds."""
        try:
            return self.lines.get(timeout=timeout)
        except queue.Empty:
            return None

    def send(self, text):
        self.popen.stdin.write(text + "\n")
        self.popen.stdin.flush()

    def close(self, timeout=30):
        try:
            self.popen.stdin.close()
        except OSError:
            pass
        try:
            self.popen.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.popen.kill()
            self.popen.wait()

    def stderr_text(self):
        return "\n".join(line for line in self.errors if line)


def cpu_ticks(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])
    except (OSError, IndexError, ValueError):
        return None


def machine_ticks():
    """(busy, total) clock ticks of every CPU of the machine, from /proc/stat."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    idle = fields[3] + (fields[4] if len(fields) > 4 else 0)
    return sum(fields) - idle, sum(fields)


def machine_busy(before, after):
    """CPUs of the whole machine busy between two machine_ticks() samples."""
    busy, total = after[0] - before[0], after[1] - before[1]
    return len(ALL_CPUS) * busy / float(total) if total else None


def cpu_delta(before, after):
    """CPU seconds per process name between two samples."""
    by_name = {}
    for pid, (name, ticks) in after.items():
        spent = ticks - (before[pid][1] if pid in before else 0)
        by_name[name] = by_name.get(name, 0.0) + spent / CLK_TCK
    return by_name


def memory(pid):
    """Figures of /proc/<pid>/status in bytes (Threads as a count)."""
    figures = {}
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                key, _, value = line.partition(":")
                if key in ("VmHWM", "VmRSS", "RssAnon", "VmSize"):
                    figures[key] = int(value.split()[0]) * 1024
                elif key == "Threads":
                    figures[key] = int(value)
    except OSError:
        return None
    return figures


SMAPS_HEADER = re.compile(r"^([0-9a-f]+)-([0-9a-f]+) (\S+) \S+ \S+ \d+\s*(.*)$")


def private_smaps(pid):
    """(private bytes, threads, resident stack bytes per thread or None) from
    /proc/<pid>/smaps.

    Every Wine thread has one anonymous read-write mapping of the same size
    for its stacks (about 3 MiB, of which about 1 MiB is resident). With
    enough threads that size is the most common one among the anonymous
    mappings, and the mean resident size of those mappings is the stack
    cost of one thread (some stack mappings merge with a neighbour, so they
    are not simply counted)."""
    sizes = {}
    total = 0
    current = None
    try:
        with open("/proc/%d/smaps" % pid) as f:
            for line in f:
                m = SMAPS_HEADER.match(line)
                if m:
                    anonymous_rw = m.group(3).startswith("rw") and not m.group(4)
                    current = (int(m.group(2), 16) - int(m.group(1), 16)) if anonymous_rw else None
                elif line.startswith("Anonymous:"):
                    kb = int(line.split()[1]) * 1024
                    total += kb
                    if current is not None and kb:
                        count, resident = sizes.get(current, (0, 0))
                        sizes[current] = (count + 1, resident + kb)
        threads = memory(pid)["Threads"]
    except (OSError, TypeError):
        return None
    count, resident = max(sizes.values(), default=(0, 0))
    per_thread = resident / float(count) if count >= 32 else None
    return total, threads, per_thread


def wakeups(pid):
    """Context switches of every thread of a process, by thread id."""
    counts = {}
    try:
        for task in os.listdir("/proc/%d/task" % pid):
            total = 0
            try:
                with open("/proc/%d/task/%s/status" % (pid, task)) as f:
                    for line in f:
                        if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                            total += int(line.split()[1])
            except OSError:
                continue
            counts[task] = total
    except OSError:
        pass
    return counts


def wakeups_between(before, after):
    """Context switches between two samples: threads that ended in between
    are left out, threads that started count in full."""
    return sum(count - before.get(task, 0) for task, count in after.items())


def parse_fields(line):
    fields = {}
    for key, value in re.findall(r'(\w+)=("[^"]*"|\S+)', line):
        value = value.strip('"')
        try:
            fields[key] = float(value) if re.search(r"[.eE]", value) else int(value)
        except ValueError:
            fields[key] = value
    return fields


def mean_result(results):
    """The mean of the figures of several runs of the same measurement;
    errors and calls add up. A run without a single answered call has no
    latency and is left out of the means. The runs themselves stay in the
    raw data."""
    merged = {"rounds": len(results)}
    answered = [r for r in results if r.get("calls", 0) > r.get("errors", 0)] or results
    for key in ("p50_us", "p99_us", "mean_us", "throughput"):
        merged[key] = sum(r.get(key, 0.0) for r in answered) / max(1, len(answered))
    for key in ("calls", "errors", "stuck"):
        merged[key] = sum(r.get(key, 0) for r in results)
    merged["p50_rounds"] = [r.get("p50_us", 0.0) for r in results]
    return merged


def run_tool(prefix, exe, args, on_started=None, on_result=None, timeout=900):
    """Runs a bench tool to its end; returns (result dicts, other lines, exit code)."""
    proc = Proc(prefix, exe, *args)
    results, others = [], []
    deadline = time.time() + timeout
    while True:
        line = proc.line(max(1, deadline - time.time()))
        if line is None:
            break
        if line.startswith("started"):
            if on_started:
                on_started()
        elif line.startswith("result "):
            fields = parse_fields(line)
            if on_result:
                on_result(fields)
            results.append(fields)
        else:
            others.append(line)
    proc.close(timeout=60)
    err = proc.stderr_text()
    if err:
        for line in err.splitlines()[:6]:
            log("  %s: %s" % (exe, line))
    return results, others, proc.popen.returncode


# ---------------------------------------------------------------------------
# CPU placement

ALL_CPUS = sorted(os.sched_getaffinity(0))
ONE_CPU = [ALL_CPUS[-1]]


class OneCpu:
    """Latency runs: the whole chain on one CPU.

    On this kind of machine (a virtual machine with two cores) a Wine server
    round trip between two CPUs costs a cross-CPU wake-up, and whether a
    one-client chain runs on one CPU or two changes its latency by up to
    five times from one run to the next. On one CPU every step of the
    synchronous chain is a same-CPU hand-off, which is stable and is what
    the latency comparisons use; the throughput runs use every CPU."""

    def __init__(self, prefix):
        self.prefix = prefix

    def __enter__(self):
        self.prefix.set_affinity(ONE_CPU)

    def __exit__(self, *exc):
        self.prefix.set_affinity(ALL_CPUS)


# ---------------------------------------------------------------------------
# One prefix with its language monitor and the real server of the moment

class Site:
    def __init__(self, prefix, label):
        self.prefix = prefix
        self.label = label
        self.monitor = None
        self.ctl = None
        self.server_pid = None
        self.product_port = None

    def log(self, text):
        log(("[%s] " % self.label if self.label else "") + text)

    def tool(self, exe, args, **kw):
        return run_tool(self.prefix, exe, args, **kw)

    def start_monitor(self, *extra):
        self.stop_monitor()
        self.monitor = Proc(self.prefix, "MonitorSim.exe", "--printer", winpath(SAMPLE_PRINTER),
                            "--register-printers", *extra)
        line = self.monitor.line(30)
        if not line or not line.startswith("ready"):
            raise RuntimeError("MonitorSim did not start: %s %s" % (line, self.monitor.stderr_text()))

    def stop_monitor(self):
        if self.monitor:
            self.monitor.close()
            self.monitor = None

    def ctl_command(self, command, timeout=60):
        self.ctl.send(command)
        answer = self.ctl.line(timeout)
        if answer is None:
            raise RuntimeError("DeviceRpcCtl: no answer to %s: %s" % (command, self.ctl.stderr_text()))
        return answer

    def launch_product(self):
        self.ctl = Proc(self.prefix, "DeviceRpcCtl.exe", "-")
        answer = self.ctl_command("launch")
        if not answer.startswith("launched"):
            raise RuntimeError("launch failed: %s %s" % (answer, self.ctl.stderr_text()))
        self.server_pid = self.prefix.find_pid("DeviceRpcServer.exe")

    def start_product(self):
        """A fresh server, started and listening; its TCP port is the one
        that was not listening before."""
        before = self.prefix.tcp_ports()
        self.launch_product()
        self.ctl_command("start")
        answer = self.ctl_command("wait-listening 20000")
        if answer != "listening":
            raise RuntimeError("the server does not listen: %s" % answer)
        self.product_port = self.prefix.wait_tcp_port(exclude=before)

    def stop_product(self):
        """TERMINATE, and the server's exit as the controller reports it."""
        answer = None
        if self.ctl:
            try:
                self.ctl_command("terminate")
                answer = self.ctl_command("wait-exit 20000")
            except RuntimeError as error:
                answer = str(error)
            self.ctl.close()
            self.ctl = None
            self.server_pid = None
            self.product_port = None
        return answer

    def steady_threads(self, hold_s=3, limit_s=20):
        """The server's thread count once it has not changed for `hold_s`."""
        started = time.time()
        steady_since, threads = time.time(), memory(self.server_pid)["Threads"]
        while time.time() - steady_since < hold_s and time.time() - started < limit_s:
            time.sleep(0.25)
            now_threads = memory(self.server_pid)["Threads"]
            if now_threads != threads:
                steady_since, threads = time.time(), now_threads
        return threads

    def settled_memory(self, threads, timeout=15):
        """Server memory once the runtime's extra threads have ended (each
        thread of a Wine process holds about 1 MiB of private memory; Wine's
        runtime keeps its call threads for 5 s after the last call). The
        part without the stacks is worked out once the stack cost of a
        thread has been measured (finish_memory)."""
        deadline = time.time() + timeout
        m = memory(self.server_pid)
        while m and m["Threads"] > threads and time.time() < deadline:
            time.sleep(0.25)
            m = memory(self.server_pid)
        smaps = private_smaps(self.server_pid)
        if m and smaps:
            m["Private"] = smaps[0]
            m["SmapsThreads"] = smaps[1]
        return m

    def leak_check(self, plan, idle_threads):
        """Private bytes after a small number of calls, half-way to the large
        number and at it, each read once the runtime's call threads have
        ended. A leak grows in both halves alike; a one-off step (a heap that
        grows once) does not."""
        leak = {}
        for op, small, large in plan:
            common = ["--protseq", "ncalrpc", "--op", op, "--printer", CLIENT_NAME, "--clients", LEAK_CLIENTS,
                      "--warmup", 0, "--grace-s", 30]
            middle = (small + large) // 2
            errors = 0
            points = []
            started = time.time()
            done = 0
            for target in (small, middle, large):
                results, _, _ = self.tool("BenchClient.exe", common + ["--calls", target - done])
                errors += results[0]["errors"] if results else target - done
                done = target
                points.append((target, self.settled_memory(idle_threads)))
            leak[op] = {"points": points, "errors": errors, "seconds": time.time() - started}
            self.log("  leak %-6s private %s" % (op, ", ".join(
                "%d calls %.0f KiB (%d threads)" % (n, m.get("Private", 0) / 1024, m["Threads"])
                for n, m in points)))
        return leak


def finish_memory(m, per_thread):
    """The heap and data part of a memory reading: private bytes less the
    threads' stacks."""
    if m and "Private" in m:
        m["NonStack"] = m["Private"] - m["SmapsThreads"] * per_thread


# ---------------------------------------------------------------------------
# Runs

class Bench:
    def __init__(self, scale):
        self.scale = scale
        self.data = {"null": {}, "product": {}, "direct": {}, "null_send": {}, "notes": []}
        self.main = Site(Prefix(MAIN_PREFIX), "")
        self.side = Site(Prefix(SIDE_PREFIX), "lifecycle")
        self.null_server = None
        self.null_port = None
        self.send_server = None
        self.send_port = None
        self.stack_per_thread = 1003520.0   # replaced by the measured figure
        self.started = time.time()
        self.timeline = []                  # (lane, phase, start offset, seconds)

    def timed(self, lane, name, function, *args):
        t0 = time.time()
        try:
            return function(*args)
        finally:
            self.timeline.append((lane, name, round(t0 - self.started, 1), round(time.time() - t0, 1)))

    def note(self, text):
        log("  " + text)
        self.data["notes"].append(text)

    # -- client runs in the main prefix -------------------------------------
    def client_runs(self, kind, protseq, endpoint, op, counts, extra=(), seconds=None):
        """BenchClient runs, one per client count; results keyed by the count,
        each with the CPU seconds that every process of the main prefix spent
        in its timed part. Counts that share a warm-up setting run in one
        process; after a run with stuck calls (the client then exits) the
        remaining counts run in a new one."""
        done = {}
        groups = [[c for c in counts if c <= 64], [c for c in counts if c > 64]]
        for group in groups:
            pending = list(group)
            retried = set()
            while pending:
                length = seconds or (self.scale.latency_s if pending[0] == 1 else self.scale.load_s)
                args = ["--protseq", protseq, "--op", op, "--printer", CLIENT_NAME,
                        "--clients", ",".join(str(c) for c in pending),
                        "--seconds", length, "--grace-s", self.scale.grace_s,
                        # The first call of every client connects; with 256 clients
                        # one more round of warm-up calls costs seconds.
                        "--warmup", 1 if pending[0] <= 64 else 0]
                if endpoint:
                    args += ["--endpoint", endpoint]
                if protseq == "ncacn_ip_tcp":
                    args += ["--host", "127.0.0.1"]
                args += list(extra)
                marks = {}

                def started():
                    marks["cpu"] = self.main.prefix.cpu_sample()
                    marks["machine"] = machine_ticks()

                def finished(fields):
                    if "cpu" in marks:
                        before = marks.pop("cpu")
                        fields["cpu"] = cpu_delta(before, self.main.prefix.cpu_sample(before))
                        fields["machine_busy"] = machine_busy(marks.pop("machine"), machine_ticks())

                spawned = time.time()
                results, _, code = self.main.tool("BenchClient.exe", args, on_started=started, on_result=finished)
                for count, result in zip(pending, results):
                    done[count] = result
                    bad = " (%d errors, %d stuck)" % (result.get("errors", 0), result.get("stuck", 0)) \
                        if result.get("errors") or result.get("stuck") else ""
                    log("  %-7s %-12s %-6s %3d clients: %8.1f calls/s  p50 %9.1f us  p99 %10.1f us%s" % (
                        kind, protseq, op, count, result["throughput"], result["p50_us"], result["p99_us"], bad))
                log("  (%s: %.1f s)" % (",".join(str(c) for c in pending), time.time() - spawned))
                if results:
                    pending = pending[len(results):]
                    continue
                # No result line at all: the client died (it happens to Wine's
                # runtime now and then after stuck TCP calls). Once more, and
                # the report notes it.
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

    def direct(self, command, *args):
        results, others, _ = self.main.tool("BenchDirect.exe", [command, "--printer", CLIENT_NAME, *map(str, args)])
        return results, others

    def null_endpoint(self, protseq):
        return NULL_ENDPOINT if protseq == "ncalrpc" else str(self.null_port)

    def send_endpoint(self, protseq):
        return NULL_ENDPOINT + "Send" if protseq == "ncalrpc" else str(self.send_port)

    def product_endpoint(self, protseq):
        return None if protseq == "ncalrpc" else str(self.main.product_port)

    def start_null_server(self, *args):
        """A BenchNullServer of the main prefix and its TCP port (the one that
        was not listening before)."""
        before = self.main.prefix.tcp_ports()
        server = Proc(self.main.prefix, "BenchNullServer.exe", *args)
        line = server.line(30)
        if not line or not line.startswith("ready"):
            raise RuntimeError("BenchNullServer %s did not start: %s" % (" ".join(map(str, args)), server.stderr_text()))
        return server, self.main.prefix.wait_tcp_port(exclude=before)

    # -- second prefix: start-up, leak check of opnum 0, idle ---------------
    def side_startup(self):
        """START to the first answered call, on an otherwise quiet machine."""
        s = self.side
        s.log("product: start-up")
        s.launch_product()
        time.sleep(1.5)   # the server has opened the events and waits on them
        _, others, _ = s.tool("BenchClient.exe", ["--startup", "--protseq", "ncalrpc", "--op", "send",
                                                  "--printer", CLIENT_NAME])
        lines = [parse_fields(line) for line in others if line.startswith("startup")]
        self.data["product"]["startup"] = lines[0] if lines else None
        if lines:
            s.log("  START to first answered call: %.1f ms" % lines[0]["ms"])

    def side_leak(self):
        """The leak check of opnum 0 on the server that has answered only the
        start-up call."""
        sc = self.scale
        s = self.side
        s.log("product: leak check of opnum 0, %d calls" % sc.leak_large)
        threads = s.steady_threads()
        self.data["product"].setdefault("leak", {}).update(
            s.leak_check((("send", sc.leak_small, sc.leak_large),), threads))

    def side_idle(self):
        """CPU of the listening server while nothing calls it. Its prefix
        has only this server and an idle language monitor, so the window can
        run while the main prefix works."""
        sc = self.scale
        s = self.side
        s.log("product: idle %d s" % sc.idle_s)
        s.steady_threads()
        mem_idle = memory(s.server_pid)
        smaps = private_smaps(s.server_pid)
        if smaps:
            mem_idle["Private"], mem_idle["SmapsThreads"] = smaps[0], smaps[1]
        before, wake_before = s.prefix.cpu_sample(), wakeups(s.server_pid)
        time.sleep(sc.idle_s)
        after, wake_after = s.prefix.cpu_sample(), wakeups(s.server_pid)
        spent = cpu_delta(before, after)
        self.data["product"]["idle"] = {
            "seconds": sc.idle_s, "server_cpu_s": spent.get("DeviceRpcServer.exe", 0.0),
            "wineserver_cpu_s": spent.get("wineserver", 0.0), "monitor_cpu_s": spent.get("MonitorSim.exe", 0.0),
            "server_wakeups": wakeups_between(wake_before, wake_after), "memory": mem_idle,
            "threads_after": memory(s.server_pid)["Threads"], "after_calls": sc.leak_large}
        s.log("  idle %d s: server CPU %.3f s, %d context switches" % (
            sc.idle_s, self.data["product"]["idle"]["server_cpu_s"], self.data["product"]["idle"]["server_wakeups"]))

    def side_close(self):
        self.data["product"]["exit_lifecycle"] = self.side.stop_product()
        self.side.stop_monitor()
        self.side.prefix.kill()

    def in_side(self, steps, lane="second"):
        """Runs (name, function) steps in the second prefix on a thread of
        their own; the thread's error is raised again by join_side."""
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

    def join_side(self, thread):
        thread.join()
        if thread.error:
            raise thread.error

    # -- main prefix: memory ----------------------------------------------
    def phase_null_memory(self):
        """The runtime's own memory with 256 calls held in the routines."""
        log("null server memory with 256 calls in flight")
        for mode, args in (("bare", ["--bare"]), ("stub", [])):
            server = Proc(self.main.prefix, "BenchNullServer.exe", "--endpoint", NULL_ENDPOINT, "--hold-ms",
                          self.scale.null_hold_ms, *args)
            server.line(30)
            pid = server.popen.pid   # wine64 becomes the Windows process
            # Every client makes its first call only, and the server holds
            # it longer than the clients take to connect: one wave of 256
            # calls, all in the same step.
            self.data["null_inflight_" + mode] = self.inflight_run("null " + mode, pid, NULL_ENDPOINT, seconds=0)
            server.close()
            time.sleep(0.5)

    def phase_product_memory(self):
        """Memory with 256 calls in flight: the language monitor answers
        slowly, so every client's call waits inside a fresh server."""
        m = self.main
        log("product: memory with 256 calls in flight")
        m.start_monitor("--delay-ms", self.scale.monitor_delay_ms)
        m.start_product()
        self.data["product"]["inflight"] = self.inflight_run("product", m.server_pid, None)
        self.data["product"]["exit_memory"] = m.stop_product()
        # The null server that makes the same copy and sends the same block,
        # its calls waiting on the same slowed monitor: the runtime, the
        # stub's copy, the block and the messaging of a call thread.
        server = Proc(m.prefix, "BenchNullServer.exe", "--endpoint", NULL_ENDPOINT + "Memory", "--send")
        line = server.line(30)
        if not line or not line.startswith("ready"):
            raise RuntimeError("BenchNullServer --send did not start: %s" % server.stderr_text())
        self.data["null_inflight_send"] = self.inflight_run("null send", server.popen.pid, NULL_ENDPOINT + "Memory")
        server.close()
        self.data["messaging_memory"] = self.messaging_memory()
        m.start_monitor()

    def phase_device_leak(self):
        """The leak check of opnums 2 and 3 on a fresh server, which then
        serves the timed runs."""
        sc = self.scale
        m = self.main
        log("product: leak check of opnums 2 and 3, %d calls each" % sc.leak_device_large)
        m.start_product()
        threads = m.steady_threads()
        self.data["product"].setdefault("leak", {}).update(m.leak_check(
            (("config", sc.leak_device_small, sc.leak_device_large),
             ("mapped", sc.leak_device_small, sc.leak_device_large)), threads))

    def messaging_memory(self):
        """What a thread that waits in SendMessageW holds under Wine (its
        message queue state), apart from the RPC runtime: BenchDirect with 1
        and with 256 senders blocked on the slowed language monitor."""
        figures = {}
        for senders in (1, 256):
            proc = Proc(self.main.prefix, "BenchDirect.exe", "copydata", "--printer", CLIENT_NAME, "--code", 9,
                        "--request", 2, "--senders", senders, "--calls", senders)
            pid = None
            values = []
            deadline = time.time() + 60
            while proc.popen.poll() is None and time.time() < deadline:
                if pid is None:
                    try:
                        pid = self.main.prefix.find_pid("BenchDirect.exe", timeout=5)
                    except RuntimeError:
                        break
                smaps = private_smaps(pid)
                if smaps and smaps[1] >= senders:
                    values.append((smaps[1], smaps[0]))
                time.sleep(0.2)
            proc.close(timeout=60)
            top = max((v[0] for v in values), default=0)
            figures[senders] = {"threads": top, "samples": [v for v in values if v[0] >= top - 1]}
        log("  messaging: %d and %d samples with every sender waiting" % (
            len(figures[1]["samples"]), len(figures[256]["samples"])))
        return {"figures": figures}

    def finish_messaging(self):
        """The messaging figure once the stack cost of a thread is known."""
        mm = self.data.get("messaging_memory")
        if not mm:
            return
        for f in mm["figures"].values():
            plateau = sorted(private - threads * self.stack_per_thread for threads, private in f.pop("samples", []))
            f["nonstack"] = plateau[len(plateau) // 2] if plateau else None
        one, many = mm["figures"].get(1), mm["figures"].get(256)
        mm["per_thread"] = None
        if one and many and one["nonstack"] is not None and many["nonstack"] is not None:
            mm["per_thread"] = (many["nonstack"] - one["nonstack"]) / 255.0
        log("  messaging: a thread waiting in SendMessageW holds %s bytes besides its stacks" % (
            "%.0f" % mm["per_thread"] if mm["per_thread"] is not None else "n/a"))

    def inflight_run(self, kind, pid, endpoint, seconds=None):
        s = self.scale
        time.sleep(0.5)
        idle = memory(pid)
        idle_smaps = private_smaps(pid)
        samples = []
        stop = threading.Event()

        def sampler():
            t0 = time.time()
            while not stop.is_set():
                m = memory(pid)
                smaps = private_smaps(pid)
                if m and smaps:
                    samples.append((time.time() - t0, smaps[0], m["VmRSS"], smaps[1], smaps[2]))
                time.sleep(0.1)

        thread = threading.Thread(target=sampler, daemon=True)
        thread.start()
        args = ["--protseq", "ncalrpc", "--op", "config", "--printer", CLIENT_NAME, "--clients", 256,
                "--seconds", s.inflight_s if seconds is None else seconds, "--warmup", 0, "--grace-s", 60]
        if endpoint:
            args += ["--endpoint", endpoint]
        results, _, _ = self.main.tool("BenchClient.exe", args)
        stop.set()
        thread.join()
        end = memory(pid)
        # The stack cost of one thread, from the sample with the most threads.
        per_thread = max(samples, key=lambda x: x[3])[4] or 0.0
        if per_thread:
            self.stack_per_thread = per_thread
        nonstack = [(t, private - threads * per_thread) for t, private, _, threads, _ in samples]
        peak = max(samples, key=lambda x: x[1])
        # The plateau: every call in flight, all threads up. Its median, since
        # a sample taken while threads start or end counts a stack too many
        # or too few.
        top = max(x[3] for x in samples)
        plateau = sorted(n for (t, n), x in zip(nonstack, samples) if x[3] >= top - 2)
        plateau_value = plateau[len(plateau) // 2] if plateau else 0.0
        # Its spread: the quartiles of the plateau samples.
        quartiles = (plateau[len(plateau) // 4], plateau[(3 * len(plateau)) // 4]) if plateau else (0.0, 0.0)
        r = {"idle": idle, "end": end, "peak_private": peak[1], "peak_ws": max(x[2] for x in samples),
             "peak_threads": max(x[3] for x in samples), "threads_at_peak": peak[3],
             "stack_per_thread": per_thread,
             "idle_nonstack": idle_smaps[0] - idle_smaps[1] * per_thread,
             "peak_nonstack": plateau_value, "plateau_samples": len(plateau), "plateau_quartiles": quartiles,
             "nonstack": nonstack,
             "vmhwm": end["VmHWM"] if end else None, "samples": samples,
             "client": results[0] if results else None}
        log("  in flight (%s): private %0.f -> peak %0.f KiB, %d -> %d threads of %0.f KiB stacks; "
            "heap and data %0.f -> %0.f KiB" % (
                kind, idle["RssAnon"] / 1024, peak[1] / 1024, idle["Threads"], r["peak_threads"], per_thread / 1024,
                r["idle_nonstack"] / 1024, r["peak_nonstack"] / 1024))
        return r

    # -- main prefix: timed runs --------------------------------------------
    def start_null_servers(self):
        """The null server, and the one that also sends each call's block to
        the language monitor (--send), both listening for the rest of the run
        (an idle server costs nothing, as measured)."""
        self.null_server, self.null_port = self.start_null_server("--endpoint", NULL_ENDPOINT)
        self.send_server, self.send_port = self.start_null_server("--endpoint", NULL_ENDPOINT + "Send", "--send")

    def stop_null_servers(self):
        for server in (self.null_server, self.send_server):
            if server:
                server.close()
        self.null_server = self.send_server = None

    def monitor_bound(self, op):
        """MonitorSim driven directly by 64 senders with the procedure's
        message: the throughput the language monitor allows."""
        code, request = OP_MESSAGE[op]
        marks = {}

        def started():
            marks["cpu"] = self.main.prefix.cpu_sample()
            marks["machine"] = machine_ticks()

        def finished(fields):
            fields["cpu"] = cpu_delta(marks["cpu"], self.main.prefix.cpu_sample(marks["cpu"]))
            fields["machine_busy"] = machine_busy(marks["machine"], machine_ticks())

        results, _, _ = self.main.tool(
            "BenchDirect.exe", ["copydata", "--printer", CLIENT_NAME, "--code", code, "--request", request,
                                "--senders", 64, "--seconds", self.scale.bound_s],
            on_started=started, on_result=finished)
        self.data["direct"].setdefault("copydata_" + op, {})[64] = results[0]
        log("  monitor bound %-6s 64 senders: %8.1f msgs/s" % (op, results[0]["throughput"]))

    def phase_latency(self):
        """One client on one CPU: for each procedure its floor parts, the null
        server, the null server that also sends the block, and the product,
        measured next to each other, in rounds, so that other load on the
        machine touches every side alike."""
        log("latency at one client (one CPU): floor parts, null servers and product side by side")
        s = self.scale
        rounds = []
        with OneCpu(self.main.prefix):
            for round_index in range(s.latency_rounds):
                parts = {}
                for op, (code, request) in OP_MESSAGE.items():
                    entry = {}
                    results, _ = self.direct("copydata", "--code", code, "--request", request, "--seconds", s.direct_s)
                    entry["copydata"] = results[0]
                    results, others = self.direct("registry", "--op", op, "--seconds", s.direct_s)
                    entry["registry"] = results[0]
                    counts = [parse_fields(line) for line in others if line.startswith("regops")]
                    self.data["direct"]["regops_" + op] = counts[0] if counts else None
                    if op == "mapped":
                        results, _ = self.direct("kernel", "--seconds", s.direct_s)
                        entry["kernel"] = results[0]
                    for protseq in PROTSEQS:
                        kinds = [("null", self.null_endpoint(protseq))]
                        if protseq == "ncalrpc" or op == "send":
                            kinds.append(("send", self.send_endpoint(protseq)))
                        kinds.append(("product", self.product_endpoint(protseq)))
                        for kind, endpoint in kinds:
                            entry[kind + "_" + protseq] = self.one_client(kind, protseq, endpoint, op)
                    log("  round %d %-6s copydata p50 %7.1f us, registry p50 %7.1f us" % (
                        round_index + 1, op, entry["copydata"]["p50_us"], entry["registry"]["p50_us"]))
                    parts[op] = entry
                rounds.append(parts)
        self.data["latency_rounds"] = rounds
        # The figures of the tables: the mean over the rounds.
        d = self.data["direct"]
        for op in OPS:
            d.setdefault("copydata_" + op, {})[1] = mean_result([r[op]["copydata"] for r in rounds])
            d["registry_" + op] = mean_result([r[op]["registry"] for r in rounds])
            for protseq in PROTSEQS:
                for kind, key in (("null", "null"), ("product", "product"), ("send", "null_send")):
                    if kind + "_" + protseq in rounds[0][op]:
                        self.data[key].setdefault(protseq, {}).setdefault(op, {})[1] = mean_result(
                            [r[op][kind + "_" + protseq] for r in rounds])
        d["kernel"] = mean_result([r["mapped"]["kernel"] for r in rounds])

    def one_client(self, kind, protseq, endpoint, op):
        """One latency run; a run in which a call did not return or failed is
        made once more, and the report notes it."""
        result = self.client_runs(kind, protseq, endpoint, op, [1], seconds=self.scale.latency_s)[1]
        if result.get("errors") or result.get("stuck"):
            self.note("latency %s %s %s: %d errors (%d stuck) in a run, run again" % (
                kind, protseq, op, result.get("errors", 0), result.get("stuck", 0)))
            result = self.client_runs(kind, protseq, endpoint, op, [1], seconds=self.scale.latency_s)[1]
        return result

    def probe_servers(self):
        """One untimed call to every server over every protocol sequence, so
        that no first connection falls into a timed run."""
        for protseq in PROTSEQS:
            for endpoint in (self.null_endpoint(protseq), self.send_endpoint(protseq), self.product_endpoint(protseq)):
                args = ["--protseq", protseq, "--op", "send", "--printer", CLIENT_NAME, "--calls", 1,
                        "--warmup", 0, "--grace-s", 10]
                if endpoint:
                    args += ["--endpoint", endpoint]
                if protseq == "ncacn_ip_tcp":
                    args += ["--host", "127.0.0.1"]
                results, _, _ = self.main.tool("BenchClient.exe", args)
                if not results or results[0].get("errors"):
                    self.note("the probe call over %s to %s failed" % (protseq, endpoint or LRPC_ENDPOINT))

    def phase_throughput(self):
        """For each procedure the monitor bound, the null server and the
        product one after the other, so that other load on the machine
        touches the figure and its baselines alike."""
        log("throughput at 8, 64 and 256 clients (every CPU): monitor bound, null server and product")
        # The bound first, on a quiet prefix: after a run with 256 clients the
        # servers' call threads and their queued messages take seconds to go.
        for op in OPS:
            self.monitor_bound(op)
        for protseq in PROTSEQS:
            for op in OPS:
                for kind, endpoint in (("null", self.null_endpoint(protseq)),
                                       ("product", self.product_endpoint(protseq))):
                    self.data[kind].setdefault(protseq, {}).setdefault(op, {}).update(
                        self.client_runs(kind, protseq, endpoint, op, CLIENT_COUNTS[1:]))

    def phase_backlog(self):
        """The same runtime with the default TCP listen backlog, to show what
        registering the protocol sequences with MaxCalls 1 costs."""
        log("null server with MaxCalls 1234 over TCP")
        server, port = self.start_null_server("--endpoint", NULL_ENDPOINT + "2", "--max-calls", 1234)
        self.data["null_backlog"] = {}
        for op in ("send", "config"):
            self.data["null_backlog"][op] = self.client_runs("null-bl", "ncacn_ip_tcp", str(port), op, [64, 256])
        server.close()

    def phase_names(self):
        """Cost per call of opnum 2 with more printers in the spooler's keys."""
        log("name resolution with more printers (one CPU)")
        rows = []
        present = 1
        with OneCpu(self.main.prefix):
            for count in self.scale.printer_counts:
                if count > present:
                    self.direct("spooler-fill", "--count", count - 1)
                    present = count
                # Size the runs from one walk: each of the walks and the
                # product's calls takes about the budget.
                probe, _ = self.direct("walk", "--calls", 3)
                walk_s = probe[0]["p50_us"] / 1e6 if probe else 0.001
                calls = max(6, min(600, int(self.scale.names_budget_s / (3 * walk_s + 0.005))))
                walk, wl = self.direct("walk", "--calls", calls)
                copy, _ = self.direct("copydata", "--code", 9, "--request", 2, "--calls", calls)
                product = self.client_runs("names", "ncalrpc", None, "config", [1], extra=("--calls", calls))
                row = {"printers": count, "calls": calls,
                       "walk_us": walk[0]["p50_us"], "walk_server_code_us": walk[1]["p50_us"] if len(walk) > 1 else None,
                       "walk_info": parse_fields(wl[0]) if wl else None,
                       "copydata_us": copy[0]["p50_us"],
                       "product_us": product[1]["p50_us"], "product_errors": product[1].get("errors", 0),
                       "product_machine_busy": product[1].get("machine_busy"),
                       "product_prefix_busy": sum((product[1].get("cpu") or {}).values()) / product[1]["seconds"]
                       if product[1].get("seconds") else None}
                rows.append(row)
                log("  %4d printers: walk %9.1f us, monitor round trip %9.1f us, product opnum 2 %9.1f us" % (
                    count, row["walk_us"], row["copydata_us"], row["product_us"]))
            self.direct("spooler-clear")
        self.data["names"] = rows

    def shutdown(self):
        try:
            self.stop_null_servers()
            answer = self.main.stop_product()
            if answer:
                self.data["product"]["exit"] = answer
        finally:
            for site in (self.main, self.side):
                try:
                    site.stop_monitor()
                except Exception:   # the prefix goes in any case
                    pass
            self.main.prefix.set_affinity(ALL_CPUS)
            self.main.prefix.kill()
            self.side.prefix.kill()

    def run(self):
        self.data["meta"] = {
            "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
            "loadavg_start": open("/proc/loadavg").read().split()[:3],
            "cores": os.cpu_count(),
            "wine": subprocess.run([WINE, "--version"], capture_output=True, text=True).stdout.strip(),
            "commit": subprocess.run(["git", "-C", ROOT, "describe", "--always", "--dirty"],
                                     capture_output=True, text=True).stdout.strip(),
            "quick": self.scale.quick,
        }
        try:
            # Both prefixes at once: wineboot mostly waits.
            log("making the Wine prefixes %s and %s" % (MAIN_PREFIX, SIDE_PREFIX))
            boots = [threading.Thread(target=p.make) for p in (self.main.prefix, self.side.prefix)]
            self.timed("main", "prefixes", lambda: ([t.start() for t in boots], [t.join() for t in boots]))
            self.main.start_monitor()
            self.side.start_monitor()
            self.timed("main", "start-up (second prefix)", self.side_startup)

            # Side by side: the leak check of opnum 0 in the second prefix;
            # the memory runs and the leak check of opnums 2 and 3 in the
            # main one. None of them is timed.
            side = self.in_side((("leak check, opnum 0", self.side_leak),))
            null_memory = self.beside("null memory", self.phase_null_memory)
            self.timed("main", "product memory", self.phase_product_memory)
            self.timed("main", "waiting for the null memory runs", self.join_side, null_memory)
            self.timed("main", "leak check, opnums 2 and 3", self.phase_device_leak)
            self.timed("main", "waiting for the opnum 0 leak check", self.join_side, side)
            self.finish_memory_figures()

            # Timed runs in the main prefix; the second one has only the
            # listening server, whose idle window runs meanwhile.
            side = self.in_side((("idle window", self.side_idle), ("closing", self.side_close)))
            self.timed("main", "null servers", self.start_null_servers)
            self.timed("main", "probe calls", self.probe_servers)
            for name, phase in (("latency", self.phase_latency),
                                ("throughput", self.phase_throughput), ("backlog", self.phase_backlog),
                                ("names", self.phase_names)):
                self.timed("main", name, phase)
            self.join_side(side)
        finally:
            self.shutdown()
        self.data["meta"]["timeline"] = self.timeline
        self.data["meta"]["seconds"] = time.time() - self.started
        self.data["meta"]["loadavg_end"] = open("/proc/loadavg").read().split()[:3]
        return self.data

    def finish_memory_figures(self):
        """Heap and data of every reading taken before the stack cost of a
        thread was measured."""
        for op, r in self.data["product"].get("leak", {}).items():
            for _, m in r["points"]:
                finish_memory(m, self.stack_per_thread)
        self.finish_messaging()
        self.data["stack_per_thread"] = self.stack_per_thread


# ---------------------------------------------------------------------------
# Report

def fmt_us(value):
    if value is None:
        return "n/a"
    if abs(value) >= 10000:
        return "%.1f ms" % (value / 1000)
    return "%.0f µs" % value


def fmt_rate(value):
    return "n/a" if value is None else "%.0f/s" % value


def kib(value):
    return "n/a" if value is None else "%.0f KiB" % (value / 1024)


def verdict(ok):
    return "**met**" if ok else "**missed**"


def linear_fit(xs, ys):
    n = len(xs)
    mx, my = sum(xs) / n, sum(ys) / n
    sxx = sum((x - mx) ** 2 for x in xs)
    sxy = sum((x - mx) * (y - my) for x, y in zip(xs, ys))
    slope = sxy / sxx if sxx else 0.0
    intercept = my - slope * mx
    ss_tot = sum((y - my) ** 2 for y in ys)
    ss_res = sum((y - (intercept + slope * x)) ** 2 for x, y in zip(xs, ys))
    r2 = 1 - ss_res / ss_tot if ss_tot else 1.0
    return slope, intercept, r2


KNOWN_PROCESSES = ("DeviceRpcServer.exe", "BenchNullServer.exe", "BenchClient.exe", "MonitorSim.exe", "wineserver")


class Analysis:
    """Floors, ratios and target verdicts computed from the raw numbers."""

    def __init__(self, data):
        self.d = data
        self.targets = []

    def target(self, name, ok, measured, short="", why=""):
        """One row of the summary: for a missed target, by how much and the
        measured reason."""
        self.targets.append({"name": name, "ok": ok, "measured": measured, "short": short, "why": why})

    def direct(self, key):
        return self.d["direct"].get(key)

    def floor(self, protseq, op):
        null = self.d["null"][protseq][op][1]["p50_us"]
        copy = self.direct("copydata_" + op)[1]["p50_us"]
        reg = self.direct("registry_" + op)["p50_us"]
        kernel = self.direct("kernel")["p50_us"] if op == "mapped" else 0.0
        return {"null": null, "copydata": copy, "registry": reg, "kernel": kernel,
                "floor": null + copy + reg, "floor_kernel": null + copy + reg + kernel}

    def null_send(self, protseq, op):
        """The null server that also sends the block, at one client, or None."""
        r = (self.d.get("null_send") or {}).get(protseq, {}).get(op, {}).get(1)
        return r["p50_us"] if r else None

    def round_ratios(self, protseq, op):
        """Product p50 / floor in each latency round."""
        ratios = []
        for r in self.d.get("latency_rounds", []):
            e = r[op]
            floor = e["null_" + protseq]["p50_us"] + e["copydata"]["p50_us"] + e["registry"]["p50_us"]
            ratios.append(e["product_" + protseq]["p50_us"] / floor if floor else float("nan"))
        return ratios

    def outside_load(self, protseq, op, kind="product"):
        """Cores that other work on the machine kept busy during a one-client
        run, the mean over the rounds: the whole machine's busy CPUs less the
        prefix's own."""
        loads = []
        for r in self.d.get("latency_rounds", []):
            run = r[op].get(kind + "_" + protseq) or {}
            machine, seconds = run.get("machine_busy"), run.get("seconds")
            if machine is not None and seconds:
                loads.append(machine - sum((run.get("cpu") or {}).values()) / seconds)
        return sum(loads) / len(loads) if loads else None

    def bound(self, op, protseq="ncalrpc"):
        """The monitor bound measured beside the procedure's throughput runs
        over `protseq` (a single figure per procedure in older results)."""
        per_protseq = (self.direct("bound") or {}).get(protseq, {}).get(op)
        return (per_protseq or self.direct("copydata_" + op)[64])["throughput"]

    def cpu(self, r):
        """CPU of a run: µs per call by process, the total, and the cores busy."""
        cpu = r.get("cpu") or {}
        calls = max(1, r.get("calls", 1))
        per = {name: 1e6 * cpu.get(name, 0.0) / calls for name in KNOWN_PROCESSES}
        per["other"] = 1e6 * sum(v for k, v in cpu.items() if k not in KNOWN_PROCESSES) / calls
        total = sum(per.values())
        seconds = r.get("seconds") or 0.0
        busy = sum(cpu.values()) / seconds if seconds else None
        return per, total, busy


def timeline_text(meta):
    """The header's account of where the time went: the phases one after the
    other, then those that ran beside them in the second prefix."""
    timeline = meta.get("timeline")
    if not timeline:
        return ", ".join("%s %.0f s" % (k, v) for k, v in meta.get("phases", {}).items())
    main = ", ".join("%s %.0f s" % (t[1], t[3]) for t in timeline if t[0] == "main")
    beside = ", ".join("%s %.0f s (from %.0f s%s)" % (t[1], t[3], t[2], ", second prefix" if t[0] == "second" else "")
                       for t in timeline if t[0] != "main")
    return "%s; beside them: %s" % (main, beside) if beside else main


def write_report(data, path_md, path_png):
    a = Analysis(data)
    meta = data["meta"]
    out = []
    w = out.append
    w("# Benchmark results")
    w("")
    w("Written by `make bench` (scripts/bench) on %s, commit `%s`, %s, %d cores; "
      "load average %s at the start and %s at the end; the whole run took %.0f s (%s)%s." % (
          meta["date"], meta["commit"], meta["wine"], meta["cores"], " ".join(meta["loadavg_start"]),
          " ".join(meta["loadavg_end"]), meta["seconds"], timeline_text(meta),
          " (**--quick: shortened runs, not for comparison**)" if meta["quick"] else ""))
    w("")
    w("Every call is checked: a call that fails or answers wrongly counts as an error. Printer `%s` "
      "(the sample printer's share name), `pcbOutData` %d, no input bytes. Process figures are from "
      "Linux `/proc` of the Wine processes (CPU: utime+stime; working set: VmRSS, peak VmHWM; private "
      "bytes: RssAnon). The start-up, the leak check of opnum 0 and the idle window run on a second server "
      "in a second Wine prefix, beside the main prefix's untimed memory runs and, for the idle window, its "
      "timed runs (an idle server takes no CPU). See docs/BENCHMARKS.md for what each row measures." % (
          CLIENT_NAME, OUTPUT_BYTES))
    w("")

    # -- latency -----------------------------------------------------------
    w("## Latency at one client against the floor")
    w("")
    w("Floor = null RPC (same protocol sequence and payload) + one WM_COPYDATA round trip to MonitorSim "
      "with the same block + the registry operations the procedure must do, each measured on its own "
      "(p50 of each, added). Target: product p50 ≤ 1.25 × floor. All one-client figures are taken with every "
      "process of the prefix on one CPU (see docs/BENCHMARKS.md: cross-CPU wake-ups on this virtual machine "
      "make two-CPU latencies vary by up to five times between runs), in %d rounds in which each procedure's "
      "floor parts, null servers and product run one after the other; the figures are the means of the rounds. "
      "\"Null + send\" is the null server sending the same block as WM_COPYDATA from its RPC call thread "
      "(BenchNullServer --send): the runtime and the message together, without the registry and the "
      "server's own code." % (len(data.get("latency_rounds", [])) or 1))
    w("")
    w("| Procedure | Protseq | Null RPC p50 / p99 | Floor p50 | Null + send p50 | Product p50 / p99 | Product / floor | Each round | Target |")
    w("|---|---|---|---|---|---|---|---|---|")
    for protseq in PROTSEQS:
        for op in OPS:
            f = a.floor(protseq, op)
            nr = data["null"][protseq][op][1]
            pr = data["product"][protseq][op][1]
            ns = a.null_send(protseq, op)
            ratio = pr["p50_us"] / f["floor"] if f["floor"] else float("nan")
            ok = ratio <= 1.25 and not pr.get("errors")
            short = why = ""
            if not ok:
                over = pr["p50_us"] - 1.25 * f["floor"]
                short = "%s over 1.25 × floor (%s), %.2f× instead of 1.25×" % (
                    fmt_us(over), fmt_us(1.25 * f["floor"]), ratio)
                why = latency_reason(a, protseq, op, pr, f, ns)
            a.target("latency %s %s ≤ 1.25× floor" % (op, protseq), ok,
                     "%.2f× (%s vs floor %s)" % (ratio, fmt_us(pr["p50_us"]), fmt_us(f["floor"])), short, why)
            w("| %s | %s | %s / %s | %s | %s | %s / %s%s | %.2f× | %s | %s |" % (
                OP_TITLES[op], protseq, fmt_us(nr["p50_us"]), fmt_us(nr["p99_us"]), fmt_us(f["floor"]),
                fmt_us(ns), fmt_us(pr["p50_us"]), fmt_us(pr["p99_us"]),
                " (%d errors)" % pr["errors"] if pr.get("errors") else "", ratio,
                " ".join("%.2f×" % x for x in a.round_ratios(protseq, op)), verdict(ok)))
    w("")
    w("Floor parts (p50, µs):")
    w("")
    w("| Procedure | WM_COPYDATA round trip | Registry operations (opens / queries / sets / enums) | Registry p50 | Mutex + mapping cycle |")
    w("|---|---|---|---|---|")
    for op in OPS:
        c = a.direct("regops_" + op) or {}
        w("| %s | %s | %s / %s / %s / %s | %s | %s |" % (
            OP_TITLES[op], fmt_us(a.direct("copydata_" + op)[1]["p50_us"]), c.get("opens"), c.get("queries"),
            c.get("sets"), c.get("enums"), fmt_us(a.direct("registry_" + op)["p50_us"]),
            fmt_us(a.direct("kernel")["p50_us"]) if op == "mapped" else "—"))
    w("")
    w("The mutex and mapping cycle that opnum 3 must also do is not part of the floor as defined; with it "
      "the opnum 3 floor is %s (ncalrpc) and %s (ncacn_ip_tcp)." % (
          fmt_us(a.floor("ncalrpc", "mapped")["floor_kernel"]), fmt_us(a.floor("ncacn_ip_tcp", "mapped")["floor_kernel"])))
    w("")
    if data.get("null_send"):
        w("Where the time goes (p50, µs): the message sent from an RPC call thread against the same message "
          "from BenchDirect's thread, and what the product adds to the null server that sends it.")
        w("")
        w("| Procedure | Protseq | Null + send − null RPC | Round trip from a plain thread | Difference: a call thread's message | Product − (null + send) | Of that, registry operations | Mutex + mapping | Rest: window check, block, copies |")
        w("|---|---|---|---|---|---|---|---|---|")
        for protseq in PROTSEQS:
            for op in OPS:
                f = a.floor(protseq, op)
                ns = a.null_send(protseq, op)
                if ns is None:
                    continue
                pr = data["product"][protseq][op][1]["p50_us"]
                w("| %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
                    OP_TITLES[op], protseq, fmt_signed_us(ns - f["null"]), fmt_us(f["copydata"]),
                    fmt_signed_us(ns - f["null"] - f["copydata"]), fmt_signed_us(pr - ns), fmt_us(f["registry"]),
                    fmt_us(f["kernel"]) if f["kernel"] else "—", fmt_signed_us(pr - ns - f["registry"] - f["kernel"])))
        w("")
        w("Over ncacn_ip_tcp the device requests' null RPC is about 45 ms with a spread of milliseconds, so "
          "differences of a few hundred µs in those rows are within the noise.")
        w("")

    # -- throughput --------------------------------------------------------
    w("## Throughput against the null server and the monitor bound")
    w("")
    w("Calls per second with N concurrent clients, each with its own binding. Monitor bound: MonitorSim "
      "driven directly with the same message by 64 concurrent senders, measured at the start of the throughput runs. "
      "Target: product at 64 clients ≥ 90 %% "
      "of the bound. A call (the first one connects) that has not returned within %d s counts as stuck and "
      "as an error." % data.get("scale_grace", 4))
    w("")
    w("| Procedure | Protseq | Server | 1 (one CPU) | 8 | 64 | 256 | Monitor bound (64 senders) | @64 / bound | Target |")
    w("|---|---|---|---|---|---|---|---|---|---|")
    for protseq in PROTSEQS:
        for op in OPS:
            bound = a.bound(op, protseq)
            for kind in ("null", "product"):
                runs = data[kind][protseq][op]
                cells = []
                for n in CLIENT_COUNTS:
                    r = runs[n]
                    cell = fmt_rate(r["throughput"])
                    if r.get("errors") or r.get("stuck"):
                        cell += " (%d err%s)" % (r.get("errors", 0), ", %d stuck" % r["stuck"] if r.get("stuck") else "")
                    cells.append(cell)
                share = runs[64]["throughput"] / bound if bound else 0
                if kind == "product":
                    ok = share >= 0.9 and not runs[64].get("errors")
                    short = why = ""
                    if not ok:
                        # Met on rate alone, a run with errors is missed by its errors only.
                        parts = []
                        if share < 0.9:
                            parts.append("%.0f %% of the bound instead of 90 %%: %s short of %s" % (
                                100 * share, fmt_rate(0.9 * bound - runs[64]["throughput"]), fmt_rate(0.9 * bound)))
                        if runs[64].get("errors"):
                            parts.append("%d errors (%d stuck)" % (runs[64]["errors"], runs[64].get("stuck", 0)))
                        short = "; ".join(parts)
                        why = throughput_reason(a, data, meta, protseq, op)
                    a.target("throughput %s %s @64 ≥ 90%% of monitor bound" % (op, protseq), ok,
                             "%.0f%% (%s vs %s)" % (100 * share, fmt_rate(runs[64]["throughput"]), fmt_rate(bound)),
                             short, why)
                    tail = "%s | %.0f %% | %s" % (fmt_rate(bound), 100 * share, verdict(ok))
                else:
                    tail = " | null: %.0f %% | " % (100 * share)
                w("| %s | %s | %s | %s | %s |" % (OP_TITLES[op], protseq, kind, " | ".join(cells), tail))
    w("")
    w("CPU per call at 64 clients, all processes of the main prefix (µs of CPU per call; the machine has %d cores, "
      "so the CPU limit is %d s of CPU per second; cores busy = CPU of the prefix during the run / its length, and of "
      "the whole machine from /proc/stat, which includes any other work on it):" % (
          meta["cores"], meta["cores"]))
    w("")
    w("| Procedure | Protseq | Run | Server | Client | MonitorSim | wineserver | Other | Total | Cores busy: prefix / machine | CPU limit (cores / total) | Measured |")
    w("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for protseq in PROTSEQS:
        for op in OPS:
            for kind in ("null", "product"):
                r = data[kind][protseq][op][64]
                per, total, busy = a.cpu(r)
                server = per["DeviceRpcServer.exe"] + per["BenchNullServer.exe"]
                limit = meta["cores"] * 1e6 / total if total else 0
                machine = r.get("machine_busy")
                w("| %s | %s | %s | %.0f | %.0f | %.0f | %.0f | %.0f | %.0f | %s / %s | %s | %s |" % (
                    OP_TITLES[op], protseq, kind, server, per["BenchClient.exe"], per["MonitorSim.exe"],
                    per["wineserver"], per["other"], total, "%.2f" % busy if busy is not None else "n/a",
                    "%.2f" % machine if machine is not None else "n/a", fmt_rate(limit), fmt_rate(r["throughput"])))
    w("")
    bl = data.get("null_backlog")
    if bl:
        w("TCP listen backlog: the server registers its protocol sequences with MaxCalls 1, which is the listen "
          "backlog of ncacn_ip_tcp. The null server with the same registration and with MaxCalls 1234, ncacn_ip_tcp:")
        w("")
        w("| Procedure | MaxCalls 1: 64 | 256 | MaxCalls 1234: 64 | 256 |")
        w("|---|---|---|---|---|")
        for op in ("send", "config"):
            one = data["null"]["ncacn_ip_tcp"][op]
            many = bl[op]

            def cell(r):
                s = "%s, p99 %s" % (fmt_rate(r["throughput"]), fmt_us(r["p99_us"]))
                if r.get("errors") or r.get("stuck"):
                    s += " (%d err, %d stuck)" % (r.get("errors", 0), r.get("stuck", 0))
                return s
            w("| %s | %s | %s | %s | %s |" % (OP_TITLES[op], cell(one[64]), cell(one[256]), cell(many[64]), cell(many[256])))
        w("")

    # -- names -------------------------------------------------------------
    rows = data.get("names") or []
    if len(rows) >= 2:
        w("## Name resolution against the number of printers")
        w("")
        w("Opnum 2 (DEVREQ_CONFIG, ncalrpc, one client) with the sample printer last in a spooler list of N "
          "printers (fillers are shared printers of a driver that names the ZOLT7 Monitor, so each costs a full "
          "check). Baselines: one resolution walk measured directly, and the WM_COPYDATA round trip (MonitorSim "
          "resolves the name itself).")
        w("")
        w("| Printers | Walk (direct) | Walk (server's code) | Monitor round trip | Product opnum 2 p50 | Product − (N=1) | Calls | Other work on the machine meanwhile |")
        w("|---|---|---|---|---|---|---|---|")
        base = rows[0]["product_us"]

        def other(r):
            if r.get("product_machine_busy") is None or r.get("product_prefix_busy") is None:
                return "n/a"
            return "%.2f cores" % max(0.0, r["product_machine_busy"] - r["product_prefix_busy"])
        for r in rows:
            w("| %d | %s | %s | %s | %s | %s | %d | %s |" % (
                r["printers"], fmt_us(r["walk_us"]), fmt_us(r.get("walk_server_code_us")), fmt_us(r["copydata_us"]),
                fmt_us(r["product_us"]), fmt_us(r["product_us"] - base), r["calls"], other(r)))
        xs = [r["printers"] for r in rows]
        sp, ip, r2p = linear_fit(xs, [r["product_us"] for r in rows])
        sw, iw, r2w = linear_fit(xs, [r["walk_us"] for r in rows])
        sc, ic, r2c = linear_fit(xs, [r["copydata_us"] for r in rows])
        w("")
        w("Least-squares slope per printer: product %.1f µs (R² %.4f); one walk %.1f µs (R² %.4f); monitor round "
          "trip %.1f µs (R² %.4f). The product walks twice per call and MonitorSim once, so the expected slope is "
          "about 2 × walk + monitor = %.1f µs.%s" % (
              sp, r2p, sw, r2w, sc, r2c, 2 * sw + sc,
              " The product's slope is %.1f× that: every step of its call is a hand-off between processes on the one "
              "CPU (client, server, wineserver, MonitorSim), and other work on that CPU (last column) delays each "
              "hand-off, while a walk is one process's round trips to the wineserver." % (sp / (2 * sw + sc))
              if sp > 1.5 * (2 * sw + sc) else ""))
        ok = r2p >= 0.98
        a.target("cost per call linear in printer count", ok, "slope %.1f µs/printer, R² %.4f" % (sp, r2p),
                 "" if ok else "R² %.4f instead of ≥ 0.98" % r2p,
                 "" if ok else "the points off the line: %s" % ", ".join(
                     "%d printers %s" % (r["printers"], fmt_us(r["product_us"] - (ip + sp * r["printers"])))
                     for r in rows))
        w("")

    # -- memory ------------------------------------------------------------
    w("## Memory")
    w("")
    inflight = data["product"].get("inflight")
    bare = data.get("null_inflight_bare")
    stub = data.get("null_inflight_stub")
    if inflight and bare:
        w("256 clients call opnum 2 (DEVREQ_CONFIG, ncalrpc) at once. The product's calls wait for MonitorSim "
          "(--delay-ms %d); the null server holds each client's one call %d ms in its routine, longer than the "
          "clients take to connect, so that all 256 calls are held at once (bare: no copy of the arrays, the "
          "runtime alone; stub: the same per-call copy as the real stub). Each server is a fresh process. "
          "Private bytes are split into thread stacks (one mapping per Wine thread, about 1 MiB resident each) and "
          "the rest (heap and other data), read from /proc/<pid>/smaps; the figure with all calls in flight is the "
          "median of the samples taken while every thread was up, with their quartiles beside it." % (
              data.get("scale_monitor_delay", 20), data.get("scale_null_hold", 2000)))
        w("")
        w("| Server | Private idle | Private peak | Working set peak | Threads idle → peak | Heap and data idle | Heap and data, all calls in flight (quartiles) | Growth | Samples |")
        w("|---|---|---|---|---|---|---|---|---|")
        sending = data.get("null_inflight_send")
        for name, r in (("null, bare (runtime only)", bare), ("null, stub copy", stub),
                        ("null, stub copy + block sent, waiting on the monitor", sending), ("product", inflight)):
            if not r:
                continue
            q = r.get("plateau_quartiles")
            w("| %s | %s | %s | %s | %d → %d | %s | %s%s | %s | %s |" % (
                name, kib(r["idle"]["RssAnon"]), kib(r["peak_private"]), kib(r["peak_ws"]), r["idle"]["Threads"],
                r["peak_threads"], kib(r["idle_nonstack"]), kib(r["peak_nonstack"]),
                " (%s – %s)" % (kib(q[0]), kib(q[1])) if q else "",
                kib(r["peak_nonstack"] - r["idle_nonstack"]), r.get("plateau_samples", "n/a")))
        runtime = bare["peak_nonstack"] - bare["idle_nonstack"]
        product = inflight["peak_nonstack"] - inflight["idle_nonstack"]
        per_call = (product - runtime) / 256.0

        def half_spread(r):
            q = r.get("plateau_quartiles")
            return (q[1] - q[0]) / 2.0 if q else 0.0
        # What the method resolves per call: the half-widths of the two plateaus.
        resolution = (half_spread(inflight) + half_spread(bare)) / 256.0
        stub_per_call = ((stub["peak_nonstack"] - stub["idle_nonstack"]) - runtime) / 256.0 if stub else None
        method_overhead = stub_per_call - STUB_COPY_BYTES if stub_per_call is not None else None
        messaging = (data.get("messaging_memory") or {}).get("per_thread")
        ok = per_call <= MEMORY_ALLOWANCE
        short = why = ""
        if not ok:
            short = "%+.0f B per call (%.1f %%) over the allowance" % (
                per_call - MEMORY_ALLOWANCE, 100.0 * (per_call - MEMORY_ALLOWANCE) / MEMORY_ALLOWANCE)
            why = ("every call in flight also waits in SendMessageW, and a thread that does so holds %s B of "
                   "message-queue state of Wine's messaging (measured with BenchDirect, below); less that, see "
                   "the next row" % ("%.0f" % messaging if messaging is not None else "an unmeasured amount"))
        a.target("memory per call in flight ≤ 2 arrays + 1 block beyond the RPC runtime", ok,
                 "%.0f B per call vs %d B allowed" % (per_call, MEMORY_ALLOWANCE), short, why)
        w("")
        w("Per call in flight beyond the runtime: (product heap and data growth − bare null growth) / 256 = "
          "**%.0f bytes** (± %.0f bytes from the quartiles of the two plateaus); allowed: 2 × 32768 + one "
          "RequestBlock of %d bytes = %d bytes (%s). The runtime alone grows by %.0f bytes per call in flight (its "
          "request buffer) besides %s of stacks per thread." % (
              per_call, resolution, BLOCK_BYTES, MEMORY_ALLOWANCE, "met" if ok else "missed", runtime / 256.0,
              kib(bare.get("stack_per_thread", 0))))
        if sending:
            send_per_call = ((sending["peak_nonstack"] - sending["idle_nonstack"]) - runtime) / 256.0
            w("The null server that makes the same copy and sends the same block (BenchNullServer --send), its calls "
              "waiting on the same slowed monitor as the product's, holds %.0f bytes per call beyond the bare one: the "
              "copy (%d), the block (%d) and %.0f bytes of what the messaging keeps per waiting call thread; the "
              "product holds %+.0f bytes per call beside it." % (
                  send_per_call, STUB_COPY_BYTES, BLOCK_BYTES, send_per_call - STUB_COPY_BYTES - BLOCK_BYTES,
                  per_call - send_per_call))
        if stub_per_call is not None:
            w("For comparison the null server with the stub's copy of the arrays costs %.0f bytes per call beyond the "
              "bare one, where it allocates %d (the two arrays and the strings): %+.0f bytes per call of heap block "
              "headers and page rounding that this method counts with every copy." % (
                  stub_per_call, STUB_COPY_BYTES, method_overhead))
        if messaging is not None:
            own = per_call - messaging
            ok2 = own <= MEMORY_ALLOWANCE
            short = why = ""
            if not ok2:
                short = "%+.0f B per call (%.2f %%) over the allowance" % (
                    own - MEMORY_ALLOWANCE, 100.0 * (own - MEMORY_ALLOWANCE) / MEMORY_ALLOWANCE)
                allocated = STUB_COPY_BYTES + BLOCK_BYTES
                excess = own - MEMORY_ALLOWANCE
                why = ("the server's own allocations per call are the stub's copy (%d B) and the RequestBlock (%d B), "
                       "%d B, already %+d B beside the allowance (the strings); each heap block also carries its header "
                       "and the resident pages round up: the same copy in the null server measures %+.0f B per call "
                       "over what it allocates; and the plateaus of the product and of the bare null server spread by "
                       "± %.0f B per call between their quartiles, so an excess of %.0f B is %s what this method "
                       "resolves" % (
                           STUB_COPY_BYTES, BLOCK_BYTES, allocated, allocated - MEMORY_ALLOWANCE,
                           method_overhead if method_overhead is not None else float("nan"),
                           resolution, excess, "within" if excess <= resolution else "beyond"))
            if not ok2 and sending:
                send_per_call = ((sending["peak_nonstack"] - sending["idle_nonstack"]) - runtime) / 256.0
                rpc_messaging = send_per_call - STUB_COPY_BYTES - BLOCK_BYTES
                why += ("; the null server that makes the same copy and sends the same block, its calls waiting on the "
                        "same slowed monitor, holds %.0f B per call beyond the bare runtime: the copy, the block and "
                        "%.0f B of messaging state per call thread of the RPC runtime (against %.0f B for BenchDirect's "
                        "plain threads); the product holds %+.0f B per call beside it, its own share" % (
                            send_per_call, rpc_messaging, messaging, per_call - send_per_call))
            a.target("memory per call in flight, beyond the RPC and the messaging runtime", ok2,
                     "%.0f B per call vs %d B allowed" % (own, MEMORY_ALLOWANCE), short, why)
            w("")
            w("Each call in flight in the product also waits in `SendMessageW`, and under Wine a thread that does so "
              "holds message-queue state of its own: BenchDirect with 256 senders blocked on the slowed MonitorSim "
              "holds **%.0f bytes** per sending thread more than with one, besides stacks. Less that, the server's "
              "own memory per call in flight is **%.0f bytes** (%s); the server's own allocations per call are the "
              "stub's copy of the two arrays and strings (%d bytes) and the RequestBlock (%d bytes)." % (
                  messaging, own, "met" if ok2 else "missed", STUB_COPY_BYTES, BLOCK_BYTES))
        w("")
    leak = data["product"].get("leak")
    if leak:
        w("Leak check, private bytes of the server (%d clients over ncalrpc, MonitorSim answering; opnum 0 on the "
          "server of the second prefix, opnums 2 and 3 on a fresh server of the main prefix, each before any other "
          "load). Each figure is read once the runtime's call threads have ended and is judged on the heap and data "
          "part (private bytes less the threads' stacks), which does not depend on how many threads the runtime "
          "keeps. A leak grows in both halves alike. Target: growth ≤ 128 KiB from the first to the last point; a "
          "leak of 2 bytes per call would show as 198 KiB over 99,000 calls." % LEAK_CLIENTS)
        w("")
        w("| Procedure | Calls | Private (threads) | Heap and data | Growth since the previous point | Per call |")
        w("|---|---|---|---|---|---|")
        for op, r in leak.items():
            points = r["points"]
            for i, (calls, m) in enumerate(points):
                if i == 0:
                    step = "—"
                else:
                    prev_calls, prev = points[i - 1]
                    grown = m["NonStack"] - prev["NonStack"]
                    step = "%+.0f KiB | %.2f B" % (grown / 1024.0, grown / float(calls - prev_calls))
                w("| %s | %d | %s (%d) | %s | %s |" % (
                    OP_TITLES[op] if i == 0 else "", calls, kib(m.get("Private", m["RssAnon"])), m["Threads"],
                    kib(m["NonStack"]), step if i else "— | —"))
            first, middle, last = points[0], points[len(points) // 2], points[-1]
            growth = last[1]["NonStack"] - first[1]["NonStack"]
            per = growth / float(last[0] - first[0])
            first_half = middle[1]["NonStack"] - first[1]["NonStack"]
            second = last[1]["NonStack"] - middle[1]["NonStack"]
            ok = growth <= 128 * 1024
            short = why = ""
            if not ok:
                short = "%+.0f KiB instead of ≤ 128 KiB: %.0f KiB over" % (growth / 1024.0, growth / 1024.0 - 128)
                why = leak_reason(first, middle, last, first_half, second)
            a.target("no growth %d→%d calls (%s)" % (first[0], last[0], op), ok,
                     "%+.0f KiB (%.2f B per call); second half %+.0f KiB%s" % (
                         growth / 1024.0, per, second / 1024.0, ", %d errors" % r["errors"] if r["errors"] else ""),
                     short, why)
        w("")

    # -- idle and start-up -------------------------------------------------
    w("## Idle listening server and start-up")
    w("")
    idle = data["product"].get("idle")
    if idle:
        ok = idle["server_cpu_s"] <= 1.0 / CLK_TCK
        a.target("no idle CPU (%d s listening)" % idle["seconds"], ok,
                 "%.0f ms CPU, %d context switches" % (1000 * idle["server_cpu_s"], idle["server_wakeups"]),
                 "" if ok else "%.0f ms of CPU in %d s instead of none" % (1000 * idle["server_cpu_s"], idle["seconds"]),
                 "" if ok else "%d context switches of the server's threads in the window" % idle["server_wakeups"])
        after = idle.get("after_calls")
        w("| Figure | Value | Baseline |")
        w("|---|---|---|")
        w("| Server CPU while listening idle for %d s%s | %.0f ms (%d context switches, %d → %d threads) | 0 (clock tick %.0f ms) |" % (
            idle["seconds"], " (after the leak check's %d calls)" % after if after else "",
            1000 * idle["server_cpu_s"], idle["server_wakeups"], idle["memory"]["Threads"],
            idle.get("threads_after", idle["memory"]["Threads"]), 1000.0 / CLK_TCK))
        w("| wineserver CPU in the same time (its prefix's MonitorSim idle too) | %.0f ms | — |" % (
            1000 * idle["wineserver_cpu_s"]))
        w("| Server private bytes / working set, listening idle | %s / %s | — |" % (
            kib(idle["memory"]["RssAnon"]), kib(idle["memory"]["VmRSS"])))
    st = data["product"].get("startup")
    if st:
        w("| START to the first answered call (ncalrpc, opnum 0) | %.0f ms | 1000 ms: the listener's mandated sleep |" % st["ms"])
    w("")

    # -- summary -----------------------------------------------------------
    w("## Targets")
    w("")
    w("For every missed target: by how much, and the reason as this run measured it.")
    w("")
    w("| Target | Verdict | Measured | Missed by | Measured reason |")
    w("|---|---|---|---|---|")
    for t in a.targets:
        w("| %s | %s | %s | %s | %s |" % (t["name"], verdict(t["ok"]), t["measured"], t["short"] or "—",
                                        t["why"] or "—"))
    w("")
    if data.get("notes"):
        w("Notes: " + "; ".join(data["notes"]))
        w("")
    text = "\n".join(out)
    with open(path_md, "w") as f:
        f.write(text)
    plot(data, a, path_png)
    return text


def fmt_signed_us(value):
    return ("+" if value >= 0 else "−") + fmt_us(abs(value))


def latency_reason(a, protseq, op, pr, f, ns):
    """Why a procedure is slower than 1.25 × its floor, from the null server
    that also sends the block."""
    product = pr["p50_us"]
    if ns is None:
        return ("the product is %s over its floor; null RPC %s, round trip %s, registry %s" % (
            fmt_us(product - f["floor"]), fmt_us(f["null"]), fmt_us(f["copydata"]), fmt_us(f["registry"])))
    send_extra = ns - f["null"] - f["copydata"]
    own = product - ns - f["registry"] - f["kernel"]
    excess = product - f["floor"]
    parts = ["the null server sending the same WM_COPYDATA from its RPC call thread takes %s, %s against null RPC "
             "plus the round trip measured from a plain thread (%s)" % (
                 fmt_us(ns), fmt_signed_us(send_extra), fmt_us(f["null"] + f["copydata"])),
             "the product takes %s against that, of which %s are its registry operations%s and %s the rest (window "
             "check, block, stub copies)" % (
                 fmt_signed_us(product - ns), fmt_us(f["registry"]),
                 " and %s the mutex and mapping cycle, which the floor leaves out" % fmt_us(f["kernel"]) if f["kernel"] else "",
                 fmt_signed_us(own))]
    if excess > 0:
        parts.append("of the %s over the floor, %.0f %% is the message sent from a runtime thread instead of a plain "
                     "one%s" % (fmt_us(excess), 100.0 * send_extra / excess,
                                ", %.0f %% the mutex and mapping cycle" % (100.0 * f["kernel"] / excess) if f["kernel"] else ""))
    ratios = a.round_ratios(protseq, op)
    load = a.outside_load(protseq, op)
    if ratios:
        spread = max(ratios) / min(ratios) if min(ratios) > 0 else float("inf")
        parts.append("the rounds gave %s%s" % (" and ".join("%.2f×" % x for x in ratios),
                                             " and disagree, so the figure is as much the machine's load as the "
                                             "server's" if spread > 1.2 else ""))
    if load is not None:
        parts.append("other work on the machine kept %.2f cores busy on average while the product ran (the prefix "
                     "runs on one CPU)" % max(0.0, load))
    return "; ".join(parts)


def throughput_reason(a, data, meta, protseq, op):
    product = data["product"][protseq][op][64]
    null = data["null"][protseq][op][64]
    bound = a.bound(op, protseq)
    per, total, busy = a.cpu(product)
    _, null_total, null_busy = a.cpu(null)
    parts = ["the null server alone (no monitor, no registry) reaches %s = %.0f %% of the bound" % (
        fmt_rate(null["throughput"]), 100.0 * null["throughput"] / bound if bound else 0)]
    if busy is not None:
        machine = product.get("machine_busy")
        parts.append("during the product's run the prefix kept %.2f of %d cores busy%s at %.0f µs of CPU per call "
                     "(wineserver %.0f, server %.0f, client %.0f, MonitorSim %.0f), a ceiling of %s" % (
                         busy, meta["cores"],
                         " (the whole machine %.2f)" % machine if machine is not None else "",
                         total, per["wineserver"], per["DeviceRpcServer.exe"],
                         per["BenchClient.exe"], per["MonitorSim.exe"],
                         fmt_rate(meta["cores"] * 1e6 / total if total else 0)))
    if null_busy is not None and null_total:
        parts.append("the null server's run used %.2f cores at %.0f µs per call" % (null_busy, null_total))
    if product.get("stuck") or null.get("stuck") or product.get("errors"):
        parts.append("%d of the product's and %d of the null server's calls did not return within %d s (TCP listen "
                     "backlog of MaxCalls 1, see the backlog table)" % (
                         product.get("stuck", 0), null.get("stuck", 0), data.get("scale_grace", 4)))
    return "; ".join(parts)


def leak_reason(first, middle, last, first_half, second):
    per_first = first_half / float(middle[0] - first[0])
    per_second = second / float(last[0] - middle[0])
    text = "first half %+.0f KiB (%.2f B/call), second half %+.0f KiB (%.2f B/call)" % (
        first_half / 1024.0, per_first, second / 1024.0, per_second)
    if second <= 0.5 * first_half:
        text += ("; the growth slows from the first half to the second, as a heap that grows to its working size "
                 "does, while a per-call leak grows alike in both halves; at the second half's rate %d calls "
                 "cost %.0f KiB" % (last[0] - first[0], per_second * (last[0] - first[0]) / 1024.0))
    else:
        text += "; the growth keeps its rate in both halves, as a per-call leak does"
    return text


def plot(data, a, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 2, figsize=(14, 10))
    # Latency at one client.
    ax = axes[0][0]
    labels, nulls, floors, products = [], [], [], []
    for protseq in PROTSEQS:
        for op in OPS:
            f = a.floor(protseq, op)
            labels.append("%s\n%s" % (op, "lrpc" if protseq == "ncalrpc" else "tcp"))
            nulls.append(f["null"] / 1000)
            floors.append(f["floor"] / 1000)
            products.append(data["product"][protseq][op][1]["p50_us"] / 1000)
    xs = range(len(labels))
    ax.bar([x - 0.27 for x in xs], nulls, 0.27, label="null RPC")
    ax.bar(list(xs), floors, 0.27, label="floor")
    ax.bar([x + 0.27 for x in xs], products, 0.27, label="product")
    ax.plot([x for x in xs], [1.25 * f for f in floors], "k_", markersize=18, label="1.25 × floor")
    ax.set_xticks(list(xs))
    ax.set_xticklabels(labels, fontsize=8)
    ax.set_yscale("log")
    ax.set_ylabel("p50 latency, ms (log)")
    ax.set_title("Latency at one client")
    ax.legend(fontsize=8)
    # Throughput against clients (ncalrpc).
    ax = axes[0][1]
    for op, colour in zip(OPS, ("C0", "C1", "C2", "C3")):
        for protseq, style in (("ncalrpc", "-"), ("ncacn_ip_tcp", ":")):
            runs = data["product"][protseq][op]
            ax.plot(CLIENT_COUNTS, [runs[n]["throughput"] for n in CLIENT_COUNTS], style, color=colour, marker="o",
                    label="%s %s" % (op, "lrpc" if protseq == "ncalrpc" else "tcp"))
        ax.axhline(a.bound(op, "ncalrpc"), color=colour, linestyle="--", linewidth=0.8)
    ax.set_xscale("log", base=2)
    ax.set_yscale("log")
    ax.set_xticks(CLIENT_COUNTS)
    ax.set_xticklabels([str(n) for n in CLIENT_COUNTS])
    ax.set_xlabel("clients")
    ax.set_ylabel("calls/s (log); dashed: monitor bound")
    ax.set_title("Product throughput")
    ax.legend(fontsize=7, ncol=2)
    # Name resolution.
    ax = axes[1][0]
    rows = data.get("names") or []
    if rows:
        xs = [r["printers"] for r in rows]
        ax.plot(xs, [r["product_us"] / 1000 for r in rows], "o-", label="product opnum 2")
        ax.plot(xs, [r["walk_us"] / 1000 for r in rows], "s-", label="one walk (direct)")
        ax.plot(xs, [r["copydata_us"] / 1000 for r in rows], "^-", label="monitor round trip")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("printers in the spooler's keys")
        ax.set_ylabel("p50, ms (log)")
        ax.legend(fontsize=8)
    ax.set_title("Cost per call against printer count")
    # Memory with 256 calls in flight.
    ax = axes[1][1]
    for key, name in (("null_inflight_bare", "null, runtime only"), ("null_inflight_stub", "null, stub copy")):
        r = data.get(key)
        if r and r.get("nonstack"):
            ax.plot([x[0] for x in r["nonstack"]], [x[1] / 1048576 for x in r["nonstack"]], label=name)
    r = data["product"].get("inflight")
    if r and r.get("nonstack"):
        ax.plot([x[0] for x in r["nonstack"]], [x[1] / 1048576 for x in r["nonstack"]], label="product")
    ax.set_xlabel("seconds")
    ax.set_ylabel("private bytes without thread stacks, MiB")
    ax.set_title("Server memory, 256 calls of opnum 2 in flight")
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=90)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short runs, to try the driver")
    parser.add_argument("--report-only", metavar="JSON", help="write the report from saved raw numbers")
    options = parser.parse_args()
    os.makedirs(RESULTS, exist_ok=True)
    md = os.path.join(RESULTS, "latest.md")
    png = os.path.join(RESULTS, "latest.png")
    if options.report_only:
        with open(options.report_only) as f:
            data = json.load(f, object_hook=int_keys)
    else:
        scale = Scale(options.quick)
        data = Bench(scale).run()
        data["scale_monitor_delay"] = scale.monitor_delay_ms
        data["scale_null_hold"] = scale.null_hold_ms
        data["scale_grace"] = scale.grace_s
        with open(os.path.join(RESULTS, "latest.json"), "w") as f:
            json.dump(data, f, indent=1)
    print(write_report(data, md, png))
    print("\nbench: wrote %s and %s" % (os.path.relpath(md, ROOT), os.path.relpath(png, ROOT)))


def int_keys(obj):
    """JSON turns the client-count keys into strings; turn them back."""
    return {int(k) if isinstance(k, str) and k.isdigit() else k: v for k, v in obj.items()}


if __name__ == "__main__":
    main()
