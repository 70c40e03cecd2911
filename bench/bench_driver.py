#!/usr/bin/python3
"""Benchmark driver of the device RPC server, run by scripts/bench.

Everything runs in one private Wine prefix ($BUILD_DIR/bench-prefix): the
reference language monitor, the null RPC server, the real server through
its controlling process, and the bench tools. The results go to
bench/results/latest.md (tables, each figure beside its baseline),
latest.png (plots) and latest.json (raw numbers).

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
PREFIX = os.path.join(BUILD, "bench-prefix")
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


class Scale:
    """Run lengths; --quick shortens everything for a smoke run of the driver."""

    def __init__(self, quick):
        self.quick = quick
        self.latency_s = 0.4 if quick else 0.8      # one client, on one CPU, per round
        self.latency_rounds = 2
        self.load_s = 0.4 if quick else 0.8         # each of 8, 64, 256 clients
        self.direct_s = 0.3 if quick else 0.8
        self.grace_s = 4                            # a call longer than this is stuck
        self.idle_s = 3 if quick else 30
        self.leak_small = 200 if quick else 1000
        self.leak_large = 2000 if quick else 100000
        self.leak_device_small = 100 if quick else 500
        self.leak_device_large = 300 if quick else 3000
        self.inflight_s = 2 if quick else 5
        self.monitor_delay_ms = 20
        self.null_hold_ms = 2000
        self.printer_counts = [1, 10, 100] if quick else PRINTER_COUNTS


# ---------------------------------------------------------------------------
# Processes of the prefix

def wine_env():
    return dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def log(text):
    print("bench: " + text, flush=True)


class Proc:
    """A Windows program under Wine with its standard output read line by line."""

    def __init__(self, exe, *args):
        self.name = exe
        self.popen = subprocess.Popen([WINE, os.path.join(BIN, exe), *map(str, args)], env=wine_env(),
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


def prefix_processes():
    """{pid: name} of every Linux process of this prefix, the wineserver included."""
    marker = ("WINEPREFIX=" + PREFIX).encode()
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as f:
                if marker not in f.read().split(b"\0"):
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


def cpu_ticks(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])
    except (OSError, IndexError, ValueError):
        return None


def cpu_sample():
    sample = {}
    for pid, name in prefix_processes().items():
        ticks = cpu_ticks(pid)
        if ticks is not None:
            sample[pid] = (name, ticks)
    return sample


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


def find_pid(name, timeout=20):
    deadline = time.time() + timeout
    while time.time() < deadline:
        for pid, found in prefix_processes().items():
            if found.lower() == name.lower():
                return pid
        time.sleep(0.1)
    raise RuntimeError("no process %s in the prefix" % name)


def listening_tcp_ports():
    """TCP ports in LISTEN state held by this prefix's wineserver."""
    inodes = set()
    for pid, name in prefix_processes().items():
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


def wait_tcp_port(exclude=(), timeout=20):
    deadline = time.time() + timeout
    while time.time() < deadline:
        ports = [p for p in listening_tcp_ports() if p not in exclude]
        if ports:
            return ports[0]
        time.sleep(0.1)
    return None


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
    errors and calls add up. The runs themselves stay in the raw data."""
    merged = {"rounds": len(results)}
    for key in ("p50_us", "p99_us", "mean_us", "throughput"):
        merged[key] = sum(r.get(key, 0.0) for r in results) / max(1, len(results))
    for key in ("calls", "errors", "stuck"):
        merged[key] = sum(r.get(key, 0) for r in results)
    merged["p50_rounds"] = [r.get("p50_us", 0.0) for r in results]
    return merged


def run_tool(exe, args, on_started=None, on_result=None, timeout=900):
    """Runs a bench tool to its end; returns (result dicts, other lines, exit code)."""
    proc = Proc(exe, *args)
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


def set_affinity(cpus):
    """Moves this driver and every thread of every process of the prefix to
    `cpus`; processes and threads started later inherit the setting."""
    os.sched_setaffinity(0, cpus)
    for pid in prefix_processes():
        try:
            for task in os.listdir("/proc/%d/task" % pid):
                try:
                    os.sched_setaffinity(int(task), cpus)
                except OSError:
                    pass
        except OSError:
            pass


class OneCpu:
    """Latency runs: the whole chain on one CPU.

    On this kind of machine (a virtual machine with two cores) a Wine server
    round trip between two CPUs costs a cross-CPU wake-up, and whether a
    one-client chain runs on one CPU or two changes its latency by up to
    five times from one run to the next. On one CPU every step of the
    synchronous chain is a same-CPU hand-off, which is stable and is what
    the latency comparisons use; the throughput runs use every CPU."""

    def __enter__(self):
        set_affinity(ONE_CPU)

    def __exit__(self, *exc):
        set_affinity(ALL_CPUS)


# ---------------------------------------------------------------------------
# Runs

class Bench:
    def __init__(self, scale):
        self.scale = scale
        self.data = {"null": {}, "product": {}, "direct": {}, "notes": []}
        self.monitor = None
        self.ctl = None
        self.server_pid = None
        self.product_port = None
        self.null_server = None
        self.null_port = None
        self.stack_per_thread = 1003520.0   # replaced by the measured figure

    # -- set-up -----------------------------------------------------------
    def make_prefix(self):
        subprocess.run([WINESERVER, "-k"], env=wine_env(), capture_output=True, timeout=60)
        shutil.rmtree(PREFIX, ignore_errors=True)
        log("making the Wine prefix %s" % PREFIX)
        subprocess.run([WINE, "wineboot", "-i"], env=wine_env(), capture_output=True, timeout=300)
        subprocess.run([WINESERVER, "-w"], env=wine_env(), capture_output=True, timeout=120)
        # A persistent wineserver: every later process starts at once.
        subprocess.run([WINESERVER, "-p"], env=wine_env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)

    def start_monitor(self, *extra):
        self.stop_monitor()
        self.monitor = Proc("MonitorSim.exe", "--printer", winpath(SAMPLE_PRINTER), "--register-printers", *extra)
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

    # -- client runs ------------------------------------------------------
    def client_runs(self, kind, protseq, endpoint, op, counts, extra=(), seconds=None):
        """One BenchClient run per client count; results keyed by the count,
        each with the CPU seconds that every process of the prefix spent."""
        done = {}
        for count in counts:
            length = seconds or (self.scale.latency_s if count == 1 else self.scale.load_s)
            args = ["--protseq", protseq, "--op", op, "--printer", CLIENT_NAME, "--clients", count,
                    "--seconds", length, "--grace-s", self.scale.grace_s,
                    # The first call of every client connects; with 256 clients
                    # one more round of warm-up calls costs seconds.
                    "--warmup", 1 if count <= 64 else 0]
            if endpoint:
                args += ["--endpoint", endpoint]
            if protseq == "ncacn_ip_tcp":
                args += ["--host", "127.0.0.1"]
            args += list(extra)
            marks = {}

            def started():
                marks["cpu"] = cpu_sample()

            def finished(fields):
                if "cpu" in marks:
                    fields["cpu"] = cpu_delta(marks["cpu"], cpu_sample())

            results, _, code = run_tool("BenchClient.exe", args, on_started=started, on_result=finished)
            if not results:
                # No result line at all: the client died (it happens to Wine's
                # runtime now and then after stuck TCP calls). Once more, and
                # the report notes it.
                note = "%s %s %s %d clients: the client ended with code %s and no result; run again" % (
                    kind, protseq, op, count, code)
                log("  " + note)
                self.data["notes"].append(note)
                marks.clear()
                results, _, code = run_tool("BenchClient.exe", args, on_started=started, on_result=finished)
            result = results[0] if results else {
                "calls": 0, "errors": count, "stuck": 0, "throughput": 0.0, "p50_us": 0.0, "p99_us": 0.0,
                "failed": True}
            done[count] = result
            bad = " (%d errors, %d stuck)" % (result.get("errors", 0), result.get("stuck", 0)) \
                if result.get("errors") or result.get("stuck") else ""
            log("  %-7s %-12s %-6s %3d clients: %8.1f calls/s  p50 %9.1f us  p99 %10.1f us%s" % (
                kind, protseq, op, count, result["throughput"], result["p50_us"], result["p99_us"], bad))
        return done

    def direct(self, command, *args):
        results, others, _ = run_tool("BenchDirect.exe", [command, "--printer", CLIENT_NAME, *map(str, args)])
        return results, others

    def null_endpoint(self, protseq):
        return NULL_ENDPOINT if protseq == "ncalrpc" else str(self.null_port)

    def product_endpoint(self, protseq):
        return None if protseq == "ncalrpc" else str(self.product_port)

    # -- phases -----------------------------------------------------------
    def phase_monitor_bound(self):
        log("monitor bound: MonitorSim driven directly by 64 senders")
        d = self.data["direct"]
        for op, (code, request) in OP_MESSAGE.items():
            marks = {}
            results, _, _ = run_tool("BenchDirect.exe", ["copydata", "--printer", CLIENT_NAME, "--code", code,
                                                          "--request", request, "--senders", 64,
                                                          "--seconds", self.scale.load_s],
                                     on_started=lambda: marks.setdefault("cpu", cpu_sample()),
                                     on_result=lambda f: f.__setitem__("cpu", cpu_delta(marks["cpu"], cpu_sample())))
            d.setdefault("copydata_" + op, {})[64] = results[0]
            log("  copydata %-6s 64 senders: %8.1f msgs/s" % (op, results[0]["throughput"]))

    def phase_latency(self):
        """One client on one CPU: for each procedure its floor parts, the null
        server and the product, measured next to each other, in rounds, so
        that other load on the machine touches both sides alike."""
        log("latency at one client (one CPU): floor parts, null server and product side by side")
        s = self.scale
        rounds = []
        with OneCpu():
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
                        entry["null_" + protseq] = self.client_runs(
                            "null", protseq, self.null_endpoint(protseq), op, [1], seconds=s.latency_s)[1]
                        entry["product_" + protseq] = self.client_runs(
                            "product", protseq, self.product_endpoint(protseq), op, [1], seconds=s.latency_s)[1]
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
                for kind in ("null", "product"):
                    self.data[kind].setdefault(protseq, {}).setdefault(op, {})[1] = mean_result(
                        [r[op][kind + "_" + protseq] for r in rounds])
        d["kernel"] = mean_result([r["mapped"]["kernel"] for r in rounds])

    def phase_throughput(self):
        log("throughput at 8, 64 and 256 clients (every CPU): null server and product")
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
        server = Proc("BenchNullServer.exe", "--endpoint", NULL_ENDPOINT + "2", "--max-calls", 1234)
        server.line(30)
        port = wait_tcp_port(exclude=(self.null_port, self.product_port))
        self.data["null_backlog"] = {}
        for op in ("send", "config"):
            self.data["null_backlog"][op] = self.client_runs("null-bl", "ncacn_ip_tcp", str(port), op, [64, 256])
        server.close()

    def start_null_server(self):
        self.null_server = Proc("BenchNullServer.exe", "--endpoint", NULL_ENDPOINT)
        line = self.null_server.line(30)
        if not line or not line.startswith("ready"):
            raise RuntimeError("BenchNullServer did not start: %s" % self.null_server.stderr_text())
        self.null_port = wait_tcp_port(exclude=(self.product_port,))

    def stop_null_server(self):
        if self.null_server:
            self.null_server.close()
            self.null_server = None

    def phase_null_memory(self):
        """The runtime's own memory with 256 calls held in the routines."""
        log("null server memory with 256 calls in flight")
        for mode, args in (("bare", ["--bare"]), ("stub", [])):
            server = Proc("BenchNullServer.exe", "--endpoint", NULL_ENDPOINT, "--hold-ms",
                          self.scale.null_hold_ms, *args)
            server.line(30)
            pid = find_pid("BenchNullServer.exe")
            self.data["null_inflight_" + mode] = self.inflight_run("null " + mode, pid, NULL_ENDPOINT)
            server.close()
            time.sleep(0.5)

    def launch_product(self):
        self.ctl = Proc("DeviceRpcCtl.exe", "-")
        answer = self.ctl_command("launch")
        if not answer.startswith("launched"):
            raise RuntimeError("launch failed: %s %s" % (answer, self.ctl.stderr_text()))
        self.server_pid = find_pid("DeviceRpcServer.exe")

    def settled_memory(self, threads, timeout=15):
        """Server memory once the runtime's extra threads have ended (each
        thread of a Wine process holds about 1 MiB of private memory)."""
        deadline = time.time() + timeout
        m = memory(self.server_pid)
        while m and m["Threads"] > threads and time.time() < deadline:
            time.sleep(0.25)
            m = memory(self.server_pid)
        smaps = private_smaps(self.server_pid)
        if m and smaps:
            m["Private"] = smaps[0]
            m["NonStack"] = smaps[0] - smaps[1] * self.stack_per_thread
        return m

    def phase_product_lifecycle(self):
        """Start-up, idle CPU and the leak check on a fresh server."""
        s = self.scale
        p = self.data["product"]
        log("product: start-up, idle CPU, leak check")
        self.launch_product()
        time.sleep(1.5)   # the server has opened the events and waits on them
        _, others, _ = run_tool("BenchClient.exe", ["--startup", "--protseq", "ncalrpc", "--op", "send",
                                                     "--printer", CLIENT_NAME])
        lines = [parse_fields(line) for line in others if line.startswith("startup")]
        p["startup"] = lines[0] if lines else None
        if p["startup"]:
            log("  START to first answered call: %.1f ms" % p["startup"]["ms"])

        # Idle from here: the runtime's threads of the first call have ended
        # (the thread count has stayed the same for 3 s).
        steady_since, threads = time.time(), memory(self.server_pid)["Threads"]
        while time.time() - steady_since < 3 and time.time() - steady_since < 20:
            time.sleep(0.25)
            now_threads = memory(self.server_pid)["Threads"]
            if now_threads != threads:
                steady_since, threads = time.time(), now_threads
        mem_idle = memory(self.server_pid)
        before, wake_before = cpu_sample(), wakeups(self.server_pid)
        time.sleep(s.idle_s)
        after, wake_after = cpu_sample(), wakeups(self.server_pid)
        spent = cpu_delta(before, after)
        p["idle"] = {"seconds": s.idle_s, "server_cpu_s": spent.get("DeviceRpcServer.exe", 0.0),
                     "wineserver_cpu_s": spent.get("wineserver", 0.0),
                     "monitor_cpu_s": spent.get("MonitorSim.exe", 0.0),
                     "server_wakeups": wakeups_between(wake_before, wake_after), "memory": mem_idle,
                     "threads_after": memory(self.server_pid)["Threads"]}
        log("  idle %d s: server CPU %.3f s, %d context switches" % (
            s.idle_s, p["idle"]["server_cpu_s"], p["idle"]["server_wakeups"]))

        # Leak check: private bytes after a small number of calls, half-way to
        # the large number and at it, each read once the runtime's call
        # threads have ended. A leak grows in both halves alike; a one-off
        # step (a heap that grows once) does not.
        idle_threads = mem_idle["Threads"]
        leak = {}
        for op, small, large in (("send", s.leak_small, s.leak_large),
                                 ("config", s.leak_device_small, s.leak_device_large),
                                 ("mapped", s.leak_device_small, s.leak_device_large)):
            common = ["--protseq", "ncalrpc", "--op", op, "--printer", CLIENT_NAME, "--clients", LEAK_CLIENTS,
                      "--warmup", 0, "--grace-s", 30]
            middle = (small + large) // 2
            errors = 0
            points = []
            started = time.time()
            done = 0
            for target in (small, middle, large):
                results, _, _ = run_tool("BenchClient.exe", common + ["--calls", target - done])
                errors += results[0]["errors"] if results else target - done
                done = target
                points.append((target, self.settled_memory(idle_threads)))
            leak[op] = {"points": points, "errors": errors, "seconds": time.time() - started}
            log("  leak %-6s heap and data %s" % (op, ", ".join(
                "%d calls %.0f KiB (%d threads)" % (n, m.get("NonStack", 0) / 1024, m["Threads"]) for n, m in points)))
        p["leak"] = leak
        self.stop_product()

    def start_product(self):
        self.launch_product()
        self.ctl_command("start")
        answer = self.ctl_command("wait-listening 20000")
        if answer != "listening":
            raise RuntimeError("the server does not listen: %s" % answer)
        self.product_port = wait_tcp_port(exclude=(self.null_port,))

    def phase_product_inflight(self):
        """Memory with 256 calls in flight: the language monitor answers
        slowly, so every client's call waits inside the server."""
        log("product: memory with 256 calls in flight")
        self.start_monitor("--delay-ms", self.scale.monitor_delay_ms)
        self.data["product"]["inflight"] = self.inflight_run("product", self.server_pid, None)
        self.data["messaging_memory"] = self.messaging_memory()
        self.start_monitor()

    def messaging_memory(self):
        """What a thread that waits in SendMessageW holds under Wine (its
        message queue state), apart from the RPC runtime: BenchDirect with 1
        and with 256 senders blocked on the slowed language monitor."""
        figures = {}
        for senders in (1, 256):
            proc = Proc("BenchDirect.exe", "copydata", "--printer", CLIENT_NAME, "--code", 9, "--request", 2,
                        "--senders", senders, "--calls", senders)
            pid = None
            values = []
            deadline = time.time() + 60
            while proc.popen.poll() is None and time.time() < deadline:
                if pid is None:
                    try:
                        pid = find_pid("BenchDirect.exe", timeout=5)
                    except RuntimeError:
                        break
                smaps = private_smaps(pid)
                if smaps and smaps[1] >= senders:
                    values.append((smaps[1], smaps[0] - smaps[1] * self.stack_per_thread))
                time.sleep(0.2)
            proc.close(timeout=60)
            top = max((v[0] for v in values), default=0)
            plateau = sorted(v[1] for v in values if v[0] >= top - 1)
            figures[senders] = {"threads": top, "nonstack": plateau[len(plateau) // 2] if plateau else None}
        one, many = figures.get(1), figures.get(256)
        per_thread = None
        if one and many and one["nonstack"] is not None and many["nonstack"] is not None:
            per_thread = (many["nonstack"] - one["nonstack"]) / 255.0
        log("  messaging: a thread waiting in SendMessageW holds %s bytes besides its stacks" % (
            "%.0f" % per_thread if per_thread is not None else "n/a"))
        return {"figures": figures, "per_thread": per_thread}

    def inflight_run(self, kind, pid, endpoint):
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
                "--seconds", s.inflight_s, "--warmup", 0, "--grace-s", 60]
        if endpoint:
            args += ["--endpoint", endpoint]
        results, _, _ = run_tool("BenchClient.exe", args)
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
        r = {"idle": idle, "end": end, "peak_private": peak[1], "peak_ws": max(x[2] for x in samples),
             "peak_threads": max(x[3] for x in samples), "threads_at_peak": peak[3],
             "stack_per_thread": per_thread,
             "idle_nonstack": idle_smaps[0] - idle_smaps[1] * per_thread,
             "peak_nonstack": plateau_value, "plateau_samples": len(plateau), "nonstack": nonstack,
             "vmhwm": end["VmHWM"] if end else None, "samples": samples,
             "client": results[0] if results else None}
        log("  in flight (%s): private %0.f -> peak %0.f KiB, %d -> %d threads of %0.f KiB stacks; "
            "heap and data %0.f -> %0.f KiB" % (
                kind, idle["RssAnon"] / 1024, peak[1] / 1024, idle["Threads"], r["peak_threads"], per_thread / 1024,
                r["idle_nonstack"] / 1024, r["peak_nonstack"] / 1024))
        return r

    def phase_names(self):
        """Cost per call of opnum 2 with more printers in the spooler's keys."""
        log("name resolution with more printers (one CPU)")
        rows = []
        present = 1
        with OneCpu():
            for count in self.scale.printer_counts:
                if count > present:
                    self.direct("spooler-fill", "--count", count - 1)
                    present = count
                # Size the runs from one walk, to about a second each.
                probe, _ = self.direct("walk", "--calls", 3)
                walk_s = probe[0]["p50_us"] / 1e6 if probe else 0.001
                calls = max(8, min(1000, int(1.0 / (3 * walk_s + 0.008))))
                walk, wl = self.direct("walk", "--calls", calls)
                copy, _ = self.direct("copydata", "--code", 9, "--request", 2, "--calls", calls)
                product = self.client_runs("names", "ncalrpc", None, "config", [1], extra=("--calls", calls))
                row = {"printers": count, "calls": calls,
                       "walk_us": walk[0]["p50_us"], "walk_server_code_us": walk[1]["p50_us"] if len(walk) > 1 else None,
                       "walk_info": parse_fields(wl[0]) if wl else None,
                       "copydata_us": copy[0]["p50_us"],
                       "product_us": product[1]["p50_us"], "product_errors": product[1].get("errors", 0)}
                rows.append(row)
                log("  %4d printers: walk %9.1f us, monitor round trip %9.1f us, product opnum 2 %9.1f us" % (
                    count, row["walk_us"], row["copydata_us"], row["product_us"]))
            self.direct("spooler-clear")
        self.data["names"] = rows

    def stop_product(self):
        if self.ctl:
            try:
                self.ctl_command("terminate")
                self.data["product"]["exit"] = self.ctl_command("wait-exit 20000")
            except RuntimeError as error:
                self.data["notes"].append(str(error))
            self.ctl.close()
            self.ctl = None

    def start_servers(self):
        """A second fresh server and the null server, both listening for the
        rest of the run (an idle server costs nothing, as measured)."""
        self.start_null_server()
        self.start_product()

    def shutdown(self):
        try:
            self.stop_null_server()
            self.stop_product()
        finally:
            self.stop_monitor()
            set_affinity(ALL_CPUS)
            subprocess.run([WINESERVER, "-k"], env=wine_env(), capture_output=True, timeout=60)

    def run(self):
        started = time.time()
        self.data["meta"] = {
            "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
            "loadavg_start": open("/proc/loadavg").read().split()[:3],
            "cores": os.cpu_count(),
            "wine": subprocess.run([WINE, "--version"], capture_output=True, text=True).stdout.strip(),
            "commit": subprocess.run(["git", "-C", ROOT, "describe", "--always", "--dirty"],
                                     capture_output=True, text=True).stdout.strip(),
            "quick": self.scale.quick,
        }
        phases = {}
        try:
            self.make_prefix()
            self.start_monitor()
            steps = (("null memory", self.phase_null_memory), ("monitor bound", self.phase_monitor_bound),
                     ("product lifecycle", self.phase_product_lifecycle),
                     ("servers", self.start_servers), ("product memory", self.phase_product_inflight),
                     ("latency", self.phase_latency), ("throughput", self.phase_throughput),
                     ("backlog", self.phase_backlog), ("names", self.phase_names))
            for name, phase in steps:
                t0 = time.time()
                phase()
                phases[name] = round(time.time() - t0, 1)
        finally:
            self.shutdown()
        self.data["meta"]["phases"] = phases
        self.data["meta"]["seconds"] = time.time() - started
        self.data["meta"]["loadavg_end"] = open("/proc/loadavg").read().split()[:3]
        return self.data


# ---------------------------------------------------------------------------
# Report

def fmt_us(value):
    if value is None:
        return "n/a"
    if value >= 10000:
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


class Analysis:
    """Floors, ratios and target verdicts computed from the raw numbers."""

    def __init__(self, data):
        self.d = data
        self.targets = []

    def direct(self, key):
        return self.d["direct"].get(key)

    def floor(self, protseq, op):
        null = self.d["null"][protseq][op][1]["p50_us"]
        copy = self.direct("copydata_" + op)[1]["p50_us"]
        reg = self.direct("registry_" + op)["p50_us"]
        kernel = self.direct("kernel")["p50_us"] if op == "mapped" else 0.0
        return {"null": null, "copydata": copy, "registry": reg, "kernel": kernel,
                "floor": null + copy + reg, "floor_kernel": null + copy + reg + kernel}

    def round_ratios(self, protseq, op):
        """Product p50 / floor in each latency round."""
        ratios = []
        for r in self.d.get("latency_rounds", []):
            e = r[op]
            floor = e["null_" + protseq]["p50_us"] + e["copydata"]["p50_us"] + e["registry"]["p50_us"]
            ratios.append(e["product_" + protseq]["p50_us"] / floor if floor else float("nan"))
        return ratios

    def bound(self, op):
        return self.direct("copydata_" + op)[64]["throughput"]


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
          " ".join(meta["loadavg_end"]), meta["seconds"],
          ", ".join("%s %.0f s" % (k, v) for k, v in meta.get("phases", {}).items()),
          " (**--quick: shortened runs, not for comparison**)" if meta["quick"] else ""))
    w("")
    w("Every call is checked: a call that fails or answers wrongly counts as an error. Printer `%s` "
      "(the sample printer's share name), `pcbOutData` %d, no input bytes. Process figures are from "
      "Linux `/proc` of the Wine processes (CPU: utime+stime; working set: VmRSS, peak VmHWM; private "
      "bytes: RssAnon). See docs/BENCHMARKS.md for what each row measures." % (CLIENT_NAME, OUTPUT_BYTES))
    w("")

    # -- latency -----------------------------------------------------------
    w("## Latency at one client against the floor")
    w("")
    w("Floor = null RPC (same protocol sequence and payload) + one WM_COPYDATA round trip to MonitorSim "
      "with the same block + the registry operations the procedure must do, each measured on its own "
      "(p50 of each, added). Target: product p50 ≤ 1.25 × floor. All one-client figures are taken with every "
      "process of the prefix on one CPU (see docs/BENCHMARKS.md: cross-CPU wake-ups on this virtual machine "
      "make two-CPU latencies vary by up to five times between runs), in %d rounds in which each procedure's "
      "floor parts, null server and product run one after the other; the figures are the means of the rounds." % (
          len(data.get("latency_rounds", [])) or 1))
    w("")
    w("| Procedure | Protseq | Null RPC p50 / p99 | Floor p50 | Product p50 / p99 | Product / floor | Each round | Target |")
    w("|---|---|---|---|---|---|---|---|")
    for protseq in PROTSEQS:
        for op in OPS:
            f = a.floor(protseq, op)
            nr = data["null"][protseq][op][1]
            pr = data["product"][protseq][op][1]
            ratio = pr["p50_us"] / f["floor"] if f["floor"] else float("nan")
            ok = ratio <= 1.25 and not pr.get("errors")
            a.targets.append(("latency %s %s ≤ 1.25× floor" % (op, protseq), ok,
                              "%.2f× (%s vs floor %s)" % (ratio, fmt_us(pr["p50_us"]), fmt_us(f["floor"]))))
            w("| %s | %s | %s / %s | %s | %s / %s%s | %.2f× | %s | %s |" % (
                OP_TITLES[op], protseq, fmt_us(nr["p50_us"]), fmt_us(nr["p99_us"]), fmt_us(f["floor"]),
                fmt_us(pr["p50_us"]), fmt_us(pr["p99_us"]),
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

    # -- throughput --------------------------------------------------------
    w("## Throughput against the null server and the monitor bound")
    w("")
    w("Calls per second with N concurrent clients, each with its own binding. Monitor bound: MonitorSim "
      "driven directly with the same message by 64 concurrent senders. Target: product at 64 clients ≥ 90 % "
      "of the bound.")
    w("")
    w("| Procedure | Protseq | Server | 1 (one CPU) | 8 | 64 | 256 | Monitor bound (64 senders) | Product@64 / bound | Target |")
    w("|---|---|---|---|---|---|---|---|---|---|")
    for protseq in PROTSEQS:
        for op in OPS:
            bound = a.bound(op)
            for kind in ("null", "product"):
                runs = data[kind][protseq][op]
                cells = []
                for n in CLIENT_COUNTS:
                    r = runs[n]
                    cell = fmt_rate(r["throughput"])
                    if r.get("errors") or r.get("stuck"):
                        cell += " (%d err%s)" % (r.get("errors", 0), ", %d stuck" % r["stuck"] if r.get("stuck") else "")
                    cells.append(cell)
                if kind == "product":
                    share = runs[64]["throughput"] / bound if bound else 0
                    ok = share >= 0.9 and not runs[64].get("errors")
                    a.targets.append(("throughput %s %s @64 ≥ 90%% of monitor bound" % (op, protseq), ok,
                                      "%.0f%% (%s vs %s)" % (100 * share, fmt_rate(runs[64]["throughput"]), fmt_rate(bound))))
                    tail = "%s | %.0f %% | %s" % (fmt_rate(bound), 100 * share, verdict(ok))
                else:
                    share = runs[64]["throughput"] / bound if bound else 0
                    tail = " | null: %.0f %% | " % (100 * share)
                w("| %s | %s | %s | %s | %s |" % (OP_TITLES[op], protseq, kind, " | ".join(cells), tail))
    w("")
    w("CPU per call at 64 clients, all processes of the prefix (µs of CPU per call; the machine has %d cores, "
      "so the CPU limit is %d s of CPU per second):" % (meta["cores"], meta["cores"]))
    w("")
    w("| Procedure | Protseq | Server | Client | MonitorSim | wineserver | Other | Total | CPU limit (cores / total) | Measured |")
    w("|---|---|---|---|---|---|---|---|---|---|")
    for protseq in PROTSEQS:
        for op in OPS:
            r = data["product"][protseq][op][64]
            cpu = r.get("cpu") or {}
            calls = max(1, r.get("calls", 1))
            per = lambda name: 1e6 * cpu.get(name, 0.0) / calls
            known = ("DeviceRpcServer.exe", "BenchClient.exe", "MonitorSim.exe", "wineserver")
            other = 1e6 * sum(v for k, v in cpu.items() if k not in known) / calls
            total = sum(per(k) for k in known) + other
            limit = meta["cores"] * 1e6 / total if total else 0
            w("| %s | %s | %.0f | %.0f | %.0f | %.0f | %.0f | %.0f | %s | %s |" % (
                OP_TITLES[op], protseq, per("DeviceRpcServer.exe"), per("BenchClient.exe"), per("MonitorSim.exe"),
                per("wineserver"), other, total, fmt_rate(limit), fmt_rate(r["throughput"])))
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
        w("| Printers | Walk (direct) | Walk (server's code) | Monitor round trip | Product opnum 2 p50 | Product − (N=1) | Calls |")
        w("|---|---|---|---|---|---|---|")
        base = rows[0]["product_us"]
        for r in rows:
            w("| %d | %s | %s | %s | %s | %s | %d |" % (
                r["printers"], fmt_us(r["walk_us"]), fmt_us(r.get("walk_server_code_us")), fmt_us(r["copydata_us"]),
                fmt_us(r["product_us"]), fmt_us(r["product_us"] - base), r["calls"]))
        xs = [r["printers"] for r in rows]
        sp, ip, r2p = linear_fit(xs, [r["product_us"] for r in rows])
        sw, iw, r2w = linear_fit(xs, [r["walk_us"] for r in rows])
        sc, ic, r2c = linear_fit(xs, [r["copydata_us"] for r in rows])
        w("")
        w("Least-squares slope per printer: product %.1f µs (R² %.4f); one walk %.1f µs (R² %.4f); monitor round "
          "trip %.1f µs (R² %.4f). The product walks twice per call and MonitorSim once, so the expected slope is "
          "about 2 × walk + monitor = %.1f µs." % (sp, r2p, sw, r2w, sc, r2c, 2 * sw + sc))
        ok = r2p >= 0.98
        a.targets.append(("cost per call linear in printer count", ok, "slope %.1f µs/printer, R² %.4f" % (sp, r2p)))
        w("")

    # -- memory ------------------------------------------------------------
    w("## Memory")
    w("")
    inflight = data["product"].get("inflight")
    bare = data.get("null_inflight_bare")
    stub = data.get("null_inflight_stub")
    if inflight and bare:
        w("256 clients call opnum 2 (DEVREQ_CONFIG, ncalrpc) at once. The product's calls wait for MonitorSim "
          "(--delay-ms %d); the null server holds each call %d ms in its routine (bare: no copy of the arrays, the "
          "runtime alone; stub: the same per-call copy as the real stub). Each server is a fresh process. "
          "Private bytes are split into thread stacks (one mapping per Wine thread, about 1 MiB resident each) and "
          "the rest (heap and other data), read from /proc/<pid>/smaps." % (
              data.get("scale_monitor_delay", 20), data.get("scale_null_hold", 2000)))
        w("")
        w("| Server | Private idle | Private peak | Working set peak | Threads idle → peak | Heap and data idle | Heap and data, all calls in flight | Growth | Calls done |")
        w("|---|---|---|---|---|---|---|---|---|")
        for name, r in (("null, bare (runtime only)", bare), ("null, stub copy", stub), ("product", inflight)):
            if not r:
                continue
            client = r.get("client") or {}
            w("| %s | %s | %s | %s | %d → %d | %s | %s | %s | %s |" % (
                name, kib(r["idle"]["RssAnon"]), kib(r["peak_private"]), kib(r["peak_ws"]), r["idle"]["Threads"],
                r["peak_threads"], kib(r["idle_nonstack"]), kib(r["peak_nonstack"]),
                kib(r["peak_nonstack"] - r["idle_nonstack"]), client.get("calls", "n/a")))
        runtime = bare["peak_nonstack"] - bare["idle_nonstack"]
        product = inflight["peak_nonstack"] - inflight["idle_nonstack"]
        per_call = (product - runtime) / 256.0
        ok = per_call <= MEMORY_ALLOWANCE
        a.targets.append(("memory per call in flight ≤ 2 arrays + 1 block beyond the RPC runtime", ok,
                          "%.0f B per call vs %d B allowed" % (per_call, MEMORY_ALLOWANCE)))
        w("")
        w("Per call in flight beyond the runtime: (product heap and data growth − bare null growth) / 256 = "
          "**%.0f bytes**; allowed: 2 × 32768 + one RequestBlock of %d bytes = %d bytes (%s). The runtime alone "
          "grows by %.0f bytes per call in flight (its request and response buffers) besides %s of stacks per "
          "thread." % (
              per_call, BLOCK_BYTES, MEMORY_ALLOWANCE, "met" if ok else "missed", runtime / 256.0,
              kib(bare.get("stack_per_thread", 0))))
        if stub:
            w("For comparison the null server with the stub's copy of the arrays costs %.0f bytes per call beyond the "
              "bare one (the copy is 65,536 bytes and the strings), which checks the method." % (
                  ((stub["peak_nonstack"] - stub["idle_nonstack"]) - runtime) / 256.0))
        messaging = (data.get("messaging_memory") or {}).get("per_thread")
        if messaging is not None:
            own = per_call - messaging
            ok2 = own <= MEMORY_ALLOWANCE
            a.targets.append(("memory per call in flight, beyond the RPC and the messaging runtime", ok2,
                              "%.0f B per call vs %d B allowed" % (own, MEMORY_ALLOWANCE)))
            w("")
            w("Each call in flight in the product also waits in `SendMessageW`, and under Wine a thread that does so "
              "holds message-queue state of its own: BenchDirect with 256 senders blocked on the slowed MonitorSim "
              "holds **%.0f bytes** per sending thread more than with one, besides stacks. Less that, the server's "
              "own memory per call in flight is **%.0f bytes** (%s); the server's own allocations per call are the "
              "stub's copy of the two arrays and strings (65,552 bytes) and the RequestBlock (%d bytes)." % (
                  messaging, own, "met" if ok2 else "missed", BLOCK_BYTES))
        w("")
    leak = data["product"].get("leak")
    if leak:
        w("Leak check, private bytes of the server (%d clients over ncalrpc, MonitorSim answering). Each figure is "
          "read once the runtime's call threads have ended and is judged on the heap and data part (private bytes "
          "less the threads' stacks), which does not depend on how many threads the runtime keeps. A leak grows in "
          "both halves alike. Target: growth ≤ 128 KiB from the first to the last point; a leak of 2 bytes per call "
          "would show as 198 KiB over 99,000 calls." % LEAK_CLIENTS)
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
            second = last[1]["NonStack"] - middle[1]["NonStack"]
            ok = growth <= 128 * 1024
            a.targets.append(("no growth %d→%d calls (%s)" % (first[0], last[0], op), ok,
                              "%+.0f KiB (%.2f B per call); second half %+.0f KiB%s" % (
                                  growth / 1024.0, per, second / 1024.0,
                                  ", %d errors" % r["errors"] if r["errors"] else "")))
        w("")

    # -- idle and start-up -------------------------------------------------
    w("## Idle listening server and start-up")
    w("")
    idle = data["product"].get("idle")
    if idle:
        ok = idle["server_cpu_s"] <= 1.0 / CLK_TCK
        a.targets.append(("no idle CPU (%d s listening)" % idle["seconds"], ok,
                          "%.0f ms CPU, %d context switches" % (1000 * idle["server_cpu_s"], idle["server_wakeups"])))
        w("| Figure | Value | Baseline |")
        w("|---|---|---|")
        w("| Server CPU while listening idle for %d s | %.0f ms (%d context switches, %d → %d threads) | 0 (clock tick %.0f ms) |" % (
            idle["seconds"], 1000 * idle["server_cpu_s"], idle["server_wakeups"], idle["memory"]["Threads"],
            idle.get("threads_after", idle["memory"]["Threads"]), 1000.0 / CLK_TCK))
        w("| wineserver CPU in the same time (MonitorSim idle too) | %.0f ms | — |" % (1000 * idle["wineserver_cpu_s"]))
        w("| Server private bytes / working set, listening idle | %s / %s | — |" % (
            kib(idle["memory"]["RssAnon"]), kib(idle["memory"]["VmRSS"])))
    st = data["product"].get("startup")
    if st:
        w("| START to the first answered call (ncalrpc, opnum 0) | %.0f ms | 1000 ms: the listener's mandated sleep |" % st["ms"])
    w("")

    # -- summary -----------------------------------------------------------
    w("## Targets")
    w("")
    w("| Target | Verdict | Measured |")
    w("|---|---|---|")
    for name, ok, detail in a.targets:
        w("| %s | %s | %s |" % (name, verdict(ok), detail))
    w("")
    if data.get("notes"):
        w("Notes: " + "; ".join(data["notes"]))
        w("")
    text = "\n".join(out)
    with open(path_md, "w") as f:
        f.write(text)
    plot(data, a, path_png)
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
        ax.axhline(a.bound(op), color=colour, linestyle="--", linewidth=0.8)
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
        with open(os.path.join(RESULTS, "latest.json"), "w") as f:
            json.dump(data, f, indent=1)
    print(write_report(data, md, png))
    print("\nbench: wrote %s and %s" % (os.path.relpath(md, ROOT), os.path.relpath(png, ROOT)))


def int_keys(obj):
    """JSON turns the client-count keys into strings; turn them back."""
    return {int(k) if isinstance(k, str) and k.isdigit() else k: v for k, v in obj.items()}


if __name__ == "__main__":
    main()
