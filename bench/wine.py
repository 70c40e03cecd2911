"""Interim: Wine prefixes, programs and ports for the benchmark, until the
shared harness package takes them over."""
import os
import queue
import shutil
import subprocess
import threading
import time

import psutil

from settings import BIN

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def version():
    return subprocess.run([WINE, "--version"], capture_output=True, text=True).stdout.strip()


class Prefix:
    """A private Wine prefix with a persistent wineserver."""

    def __init__(self, path):
        self.path = path

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
        for process in psutil.process_iter():
            try:
                if process.environ().get("WINEPREFIX") != self.path:
                    continue
                argv = process.cmdline()
            except psutil.Error:
                continue
            name = (argv[0].replace("\\", "/").split("/")[-1] if argv else "") or "?"
            found[process.pid] = "wineserver" if name.startswith("wineserver") else name
        return found

    def find_pid(self, name, timeout=20, missing_ok=False):
        deadline = time.time() + timeout
        while time.time() < deadline:
            for pid, found in self.processes().items():
                if found.lower() == name.lower():
                    return pid
            time.sleep(0.1)
        if missing_ok:
            return None
        raise RuntimeError("no process %s in the prefix %s" % (name, self.path))

    def tcp_ports(self):
        """TCP ports in LISTEN state held by this prefix's wineserver."""
        ports = set()
        for pid, name in self.processes().items():
            if name != "wineserver":
                continue
            try:
                for conn in psutil.Process(pid).connections(kind="tcp"):
                    if conn.status == psutil.CONN_LISTEN:
                        ports.add(conn.laddr.port)
            except psutil.Error:
                continue
        ports.discard(135)
        return sorted(ports)


def wait_tcp_port(prefix, exclude=(), timeout=20):
    deadline = time.time() + timeout
    while time.time() < deadline:
        ports = [p for p in prefix.tcp_ports() if p not in exclude]
        if ports:
            return ports[0]
        time.sleep(0.1)
    return None


class Proc:
    """A Windows program under Wine with its standard output read line by line."""

    def __init__(self, prefix, exe, *args):
        self.name = exe
        self.popen = subprocess.Popen([WINE, os.path.join(BIN, exe), *map(str, args)], env=prefix.env(),
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, text=True, bufsize=1)
        self.pid = self.popen.pid   # wine64 becomes the Windows process
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
        try:
            return self.lines.get(timeout=timeout)
        except queue.Empty:
            return None

    def send(self, text):
        self.popen.stdin.write(text + "\n")
        self.popen.stdin.flush()

    def running(self):
        return self.popen.poll() is None

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
        return self.popen.returncode

    def stderr_text(self):
        return "\n".join(line for line in self.errors if line)


def start(prefix, exe, *args):
    return Proc(prefix, exe, *args)


def start_ready(prefix, exe, *args):
    proc = Proc(prefix, exe, *args)
    line = proc.line(30)
    if not line or not line.startswith("ready"):
        raise RuntimeError("%s %s did not start: %s" % (exe, " ".join(map(str, args)), proc.stderr_text()))
    return proc


def start_monitor(prefix, printer, *extra):
    return start_ready(prefix, "MonitorSim.exe", "--printer", winpath(printer), "--register-printers", *extra)


class Controller:
    def __init__(self, prefix):
        self.proc = Proc(prefix, "DeviceRpcCtl.exe", "-")

    def command(self, command, timeout=60):
        self.proc.send(command)
        answer = self.proc.line(timeout)
        if answer is None:
            raise RuntimeError("DeviceRpcCtl: no answer to %s: %s" % (command, self.proc.stderr_text()))
        return answer

    def launch(self):
        answer = self.command("launch")
        if not answer.startswith("launched"):
            raise RuntimeError("launch failed: %s %s" % (answer, self.proc.stderr_text()))

    def start(self):
        self.command("start")

    def wait_listening(self, ms):
        answer = self.command("wait-listening %d" % ms)
        if answer != "listening":
            raise RuntimeError("the server does not listen: %s" % answer)

    def terminate(self, ms):
        try:
            self.command("terminate")
            return self.command("wait-exit %d" % ms)
        except RuntimeError as error:
            return str(error)

    def close(self):
        self.proc.close()


def start_controller(prefix):
    return Controller(prefix)
