"""Interim: the measuring code of the driver as it was, until it is split into phases."""
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

from settings import *  # noqa: F401,F403

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"


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



def run(scale):
    """Every phase; the raw numbers."""
    data = Bench(scale).run()
    data["scale_monitor_delay"] = scale.monitor_delay_ms
    data["scale_null_hold"] = scale.null_hold_ms
    data["scale_grace"] = scale.grace_s
    return data
