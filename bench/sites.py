"""A Wine prefix of the benchmark with its language monitor and the real
server of the moment, started through its controlling process; the prefix
itself, its processes and its ports are the harness's.

The server allows one instance per object namespace, and each prefix is
one, so the main prefix and the second one each hold their own server.
"""
import os
import shutil
import subprocess
import time

import psutil

import measures
from harness import env, processes
from harness.controller import Controller
from harness.monitorsim import MonitorSim
from harness.prefix import Prefix
from tools import log, run_tool

WAIT_S = 20


def make_prefix(path):
    """A fresh prefix in `path` (whatever was there goes), booted, with a
    persistent wineserver, so that every later process starts at once."""
    prefix = Prefix(path)
    prefix.stop_all(keep=False)
    shutil.rmtree(path, ignore_errors=True)
    # wineserver -p refuses a folder that does not exist, and without a
    # persistent wineserver a program that starts just as the server ends
    # on its own (idle) hangs.
    os.makedirs(path)
    prefix.boot()
    return prefix


def process_names(prefix):
    """{pid: name} of every process of the prefix, the wineserver included:
    a Windows program by its file name, as its command line shows it."""
    names = {}
    for process in prefix.processes():
        try:
            argv = process.cmdline()
        except psutil.Error:   # gone meanwhile
            continue
        name = (argv[0].replace("\\", "/").split("/")[-1] if argv else "") or "?"
        names[process.pid] = "wineserver" if name.startswith("wineserver") else name
    return names


def wait_pid(prefix, exe, timeout=WAIT_S):
    """The pid of the prefix's process running `exe` once it is there, or None."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        pids = processes.named(prefix.path, exe)
        if pids:
            return pids[0]
        time.sleep(0.1)
    return None


def wait_new_port(prefix, exclude=(), timeout=WAIT_S):
    """The first TCP port the prefix listens on that is not in `exclude`
    (a server just started), or None."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        ports = [p for p in prefix.listening_tcp_ports() if p not in exclude]
        if ports:
            return ports[0]
        time.sleep(0.1)
    return None


class Site:
    """A prefix, its MonitorSim, its DeviceRpcCtl and the server it started."""

    def __init__(self, path, label):
        self.prefix = Prefix(path)
        self.label = label
        self.monitor = None
        self.ctl = None
        self.server_pid = None
        self.product_port = None
        self.server_exe = None   # Linux path of the server to launch; None: beside DeviceRpcCtl

    def log(self, text):
        """A progress line, marked with the site's label."""
        log(("[%s] " % self.label if self.label else "") + text)

    def make(self):
        """A fresh prefix for this site (make_prefix)."""
        self.prefix = make_prefix(self.prefix.path)

    def tool(self, exe, args, **kw):
        """Runs a bench tool in this prefix (tools.run_tool)."""
        return run_tool(self.prefix, exe, args, **kw)

    def start_monitor(self, *extra):
        """A fresh MonitorSim for the sample printer, registered in the
        spooler's keys; `extra` are its options (--delay-ms)."""
        self.stop_monitor()
        self.monitor = MonitorSim(self.prefix, *extra, register=True)

    def stop_monitor(self):
        """Ends MonitorSim by closing its standard input."""
        if self.monitor:
            self.monitor.stop()
            self.monitor = None

    def command(self, line, expected):
        """One controller command; RuntimeError unless its answer starts with `expected`."""
        answer = self.ctl.send(line)
        if not answer.startswith(expected):
            raise RuntimeError("DeviceRpcCtl %s: %r" % (line, answer))
        return answer

    def launch_product(self):
        """The server launched by its controller, waiting for START."""
        options = ("--server", env.to_windows_path(self.server_exe)) if self.server_exe else ()
        self.ctl = Controller(self.prefix, *options)
        self.command("launch", "launched")
        self.server_pid = wait_pid(self.prefix, "DeviceRpcServer.exe")
        if self.server_pid is None:
            raise RuntimeError("no DeviceRpcServer.exe in the prefix %s" % self.prefix.path)

    def start_product(self):
        """A fresh server, started and listening; its TCP port is the one
        that was not listening before."""
        before = self.prefix.listening_tcp_ports()
        self.launch_product()
        self.command("start", "")
        self.command("wait-listening 20000", "listening")
        self.product_port = wait_new_port(self.prefix, exclude=before)

    def stop_product(self):
        """TERMINATE, and the server's exit as the controller reports it."""
        if not self.ctl:
            return None
        try:
            self.ctl.send("terminate")
            answer = self.ctl.send("wait-exit 20000")
        except (OSError, TimeoutError) as error:
            answer = str(error)
        self.ctl.close()
        try:
            self.ctl.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:   # the prefix's stop_all ends it
            pass
        self.ctl = self.server_pid = self.product_port = None
        return answer

    def steady_threads(self, hold_s=3, limit_s=20):
        """The server's thread count once it has not changed for `hold_s`."""
        started = time.time()
        steady_since, threads = time.time(), measures.memory(self.server_pid)["Threads"]
        while time.time() - steady_since < hold_s and time.time() - started < limit_s:
            time.sleep(0.25)
            now_threads = measures.memory(self.server_pid)["Threads"]
            if now_threads != threads:
                steady_since, threads = time.time(), now_threads
        return threads

    def settled_memory(self, threads, timeout=15):
        """Server memory once the runtime's extra threads have ended (Wine's
        runtime keeps its call threads for 5 s after the last call). The part
        without the stacks is worked out once the stack cost of a thread has
        been measured (phase_leak.finish_leak)."""
        deadline = time.time() + timeout
        m = measures.memory(self.server_pid)
        while m and m["Threads"] > threads and time.time() < deadline:
            time.sleep(0.25)
            m = measures.memory(self.server_pid)
        split = measures.private_split(self.server_pid)
        if m and split:
            m["Private"], m["SmapsThreads"] = split[0], split[1]
        return m

    def close(self):
        """The server, the monitor and every process of the prefix go."""
        try:
            return self.stop_product()
        finally:
            try:
                self.stop_monitor()
            finally:
                self.prefix.stop_all(keep=False)
