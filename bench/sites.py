"""A Wine prefix of the benchmark with its language monitor and the real
server of the moment, started through its controlling process.

The server allows one instance per object namespace, and each prefix is
one, so the main prefix and the second one each hold their own server.
"""
import time

import measures
import wine
from settings import SAMPLE_PRINTER
from tools import log, run_tool


class Site:
    """A prefix, its MonitorSim, its DeviceRpcCtl and the server it started."""

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
        """Runs a bench tool in this prefix (tools.run_tool)."""
        return run_tool(self.prefix, exe, args, **kw)

    def start_monitor(self, *extra):
        """A fresh MonitorSim for the sample printer, registered in the
        spooler's keys; `extra` are its options (--delay-ms)."""
        self.stop_monitor()
        self.monitor = wine.start_monitor(self.prefix, SAMPLE_PRINTER, *extra)

    def stop_monitor(self):
        if self.monitor:
            self.monitor.close()
            self.monitor = None

    def start_product(self):
        """A fresh server, started and listening; its TCP port is the one
        that was not listening before."""
        before = self.prefix.tcp_ports()
        self.launch_product()
        self.ctl.start()
        self.ctl.wait_listening(20000)
        self.product_port = wine.wait_tcp_port(self.prefix, exclude=before)

    def launch_product(self):
        """The server launched by its controller, waiting for START."""
        self.ctl = wine.start_controller(self.prefix)
        self.ctl.launch()
        self.server_pid = self.prefix.find_pid("DeviceRpcServer.exe")

    def stop_product(self):
        """TERMINATE, and the server's exit as the controller reports it."""
        if not self.ctl:
            return None
        answer = self.ctl.terminate(20000)
        self.ctl.close()
        self.ctl = None
        self.server_pid = None
        self.product_port = None
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
        """The server, the monitor and the prefix's processes go."""
        try:
            answer = self.stop_product()
        finally:
            try:
                self.stop_monitor()
            finally:
                self.prefix.kill()
        return answer
