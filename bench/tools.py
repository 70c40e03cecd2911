"""Running the bench tools and reading their `result` lines.

Each tool prints one line per run: `result threads=.. calls=.. errors=..
stuck=.. seconds=.. throughput=.. p50_us=.. p99_us=.. mean_us=.. min_us=..
max_us=..`, and `started` when its clock starts.
"""
import json
import os
import queue
import re
import subprocess
import threading
import time

from settings import RESULTS, ROOT

_log_lock = threading.Lock()


def log(text):
    """One progress line; phases on other threads log too."""
    with _log_lock:
        print("bench: " + text, flush=True)


def write_report(name, data, render, raw=True):
    """Writes RESULTS/NAME.md from render(data), and with `raw` the raw
    numbers as RESULTS/NAME.json (which --report-only reads back); prints
    the report."""
    os.makedirs(RESULTS, exist_ok=True)
    if raw:
        with open(os.path.join(RESULTS, name + ".json"), "w") as f:
            json.dump(data, f, indent=1)
    text = render(data)
    path = os.path.join(RESULTS, name + ".md")
    with open(path, "w") as f:
        f.write(text)
    print(text)
    print("bench: wrote %s" % os.path.relpath(path, ROOT))


class Program:
    """A Windows program started in a prefix (harness Prefix.popen), its
    standard output read line by line and its standard error kept, each on
    a thread of its own, so that a chatty program never blocks on a pipe."""

    def __init__(self, prefix, exe, *args):
        self.name = exe
        self.popen = prefix.popen(exe, *args, bufsize=1)
        self.pid = self.popen.pid   # wine64 becomes the Windows process
        self.lines = queue.Queue()
        self.errors = []
        threading.Thread(target=self._pump, args=(self.popen.stdout, self.lines.put), daemon=True).start()
        threading.Thread(target=self._pump, args=(self.popen.stderr, self.errors.append), daemon=True).start()

    @staticmethod
    def _pump(stream, sink):
        """Hands every line of `stream` to `sink`, then None at its end."""
        for line in stream:
            sink(line.rstrip("\r\n"))
        sink(None)

    def line(self, timeout):
        """The next output line; None at its end or after `timeout` seconds."""
        try:
            return self.lines.get(timeout=timeout)
        except queue.Empty:
            return None

    def running(self):
        """True while the program runs."""
        return self.popen.poll() is None

    def close(self, timeout=30):
        """Closes standard input and waits for the end (killing it after
        `timeout` seconds); the exit code."""
        try:
            self.popen.stdin.close()
        except OSError:
            pass
        try:
            self.popen.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.popen.kill()
            self.popen.wait()
        return self.popen.returncode

    def stderr_text(self):
        """What the program wrote to standard error so far."""
        return "\n".join(line for line in self.errors if line)


def start_ready(prefix, exe, *args):
    """A program that announces itself with a `ready` line (BenchNullServer)."""
    program = Program(prefix, exe, *args)
    line = program.line(30)
    if not line or not line.startswith("ready"):
        raise RuntimeError("%s %s did not start: %s" % (exe, " ".join(map(str, args)), program.stderr_text()))
    return program


def parse_fields(line):
    """The key=value fields of a tool's line, numbers as numbers."""
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
    """Runs a bench tool to its end; returns (result dicts, other lines, exit code).
    `on_started` is called at its `started` line, `on_result` with each
    result before it is kept (to add the figures sampled meanwhile)."""
    proc = Program(prefix, exe, *args)
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
    code = proc.close(timeout=60)
    for line in proc.stderr_text().splitlines()[:6]:
        log("  %s: %s" % (exe, line))
    return results, others, code


def client_args(protseq, op, printer, endpoint=None, *extra):
    """BenchClient's arguments for one procedure over one protocol sequence;
    TCP clients connect to 127.0.0.1 and the endpoint is the port."""
    args = ["--protseq", protseq, "--op", op, "--printer", printer, *extra]
    if endpoint:
        args += ["--endpoint", endpoint]
    if protseq == "ncacn_ip_tcp":
        args += ["--host", "127.0.0.1"]
    return args
