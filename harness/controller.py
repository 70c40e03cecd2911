"""DeviceRpcCtl in stdin mode, and a server started through it.

    ctl = Controller(prefix, "--supervise")    one command per line, one answer each
    ctl.send("launch") -> "launched pid N"     bounded by a deadline
    ctl.launch_and_start()                     launch, start, wait-listening
    ctl.read_stderr_line(pattern, timeout)     e.g. the supervisor's restart lines
    server = start_server(prefix)              a clean tree, then a listening server:
        server.controller, server.port, server.pid
    ModuleServer(prefix_path)                  one such server shared by a test module
"""
import os
import select
import time
from dataclasses import dataclass

from . import processes
from .prefix import Prefix


class Controller:
    """DeviceRpcCtl reading commands from standard input."""

    def __init__(self, prefix, *options):
        self.proc = prefix.popen("DeviceRpcCtl.exe", *options, "-")
        self.pending = b""

    def send(self, line, timeout=90):
        """Sends one command; its answer line (empty when the controller ended)."""
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        return self.read_line(line, timeout)

    def read_line(self, what, timeout):
        """The next answer line; TimeoutError when none comes in time."""
        # Unbuffered reads with a deadline, so that a controller that hangs
        # fails the caller instead of stalling the run.
        deadline = time.time() + timeout
        fd = self.proc.stdout.fileno()
        while b"\n" not in self.pending:
            left = deadline - time.time()
            ready, _, _ = select.select([fd], [], [], max(left, 0))
            if not ready:
                raise TimeoutError("controller gave no answer to %r within %d s" % (what, timeout))
            chunk = os.read(fd, 4096)
            if not chunk:
                break
            self.pending += chunk
        line, _, self.pending = self.pending.partition(b"\n")
        return line.decode("utf-8", "replace").strip()

    def read_stderr_line(self, pattern, timeout):
        """(the first match of `pattern` in a line of standard error, or None
        when none came in time; everything read so far as bytes)."""
        fd = self.proc.stderr.fileno()
        text, deadline = b"", time.time() + timeout
        while time.time() < deadline:
            for line in text.decode("utf-8", "replace").splitlines():
                match = pattern.search(line)
                if match:
                    return match, text
            ready, _, _ = select.select([fd], [], [], max(deadline - time.time(), 0))
            if ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    break
                text += chunk
        return None, text

    def launch_and_start(self):
        """Launches the server and waits until it answers calls."""
        launched = self.send("launch")
        if not launched.startswith("launched"):
            raise RuntimeError("launch: %r" % launched)
        started = self.send("start")
        if not started.startswith("signalled"):
            raise RuntimeError("start: %r" % started)
        listening = self.send("wait-listening 20000")
        if listening != "listening":
            raise RuntimeError("wait-listening: %r" % listening)

    def close(self):
        """Closes standard input: the controller ends (the server runs on)."""
        try:
            self.proc.stdin.close()
        except OSError:
            pass


@dataclass
class Server:
    """A listening server, the controller that started it, its TCP port and pid."""
    controller: Controller
    port: int
    pid: int


def start_server(prefix, *options):
    """Ends everything in the prefix, clears the device tree and starts a
    listening server; RuntimeError unless it holds exactly one TCP port."""
    prefix.stop_all()
    prefix.clear_device_tree()
    controller = Controller(prefix, *options)
    controller.launch_and_start()
    return Server(controller, prefix.tcp_port(), processes.server_pid(prefix.path))


class ModuleServer:
    """One listening server in a prefix of its own, shared by a test module:
    a clean data tree and spooler keys, a controller that launched and
    started it. Modules extend it with what they check between tests."""

    def __init__(self, prefix_path):
        self.prefix = Prefix(prefix_path)
        self.controller = None

    def clear(self):
        """Deletes the device data and the spooler entries."""
        self.prefix.clear_device_tree()

    def start(self):
        """A fresh server, after ending whatever ran in the prefix."""
        self.stop()
        self.clear()
        self.controller = Controller(self.prefix)
        self.controller.launch_and_start()

    def stop(self):
        """Ends every process of the prefix."""
        if self.controller:
            self.controller.close()
            self.controller = None
        self.prefix.stop_all()
