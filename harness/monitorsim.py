"""MonitorSim, the reference language monitor, and its message log.

    sim = MonitorSim(prefix, "--delay-ms", 2, register=True, log_path=path)
    sim.hwnd, sim.pid, sim.proc     its window handle, process and Popen
    sim.pause(), sim.resume()       stops and continues the process (SIGSTOP)
    sim.stop()                      closes its standard input; its exit code
    sim.messages(), sim.codes(), sim.last_block()   what its log holds
    read_log(path)                  [Message(code, size, block)] of a log file

Without `printers` it answers for the sample printer (samples/office.printer);
a message compares equal to the tuple (code, size, block).
"""
import os
import select
import subprocess
from typing import NamedTuple

import psutil

from . import env

READY_WAIT = 30


class Message(NamedTuple):
    """One logged WM_COPYDATA message: dwData, cbData and the block."""
    code: int
    size: int
    block: bytes


def read_log(path):
    """The messages of a MonitorSim log, in arrival order ([] without a log)."""
    if path is None or not os.path.exists(path):
        return []
    messages = []
    with open(path) as f:
        for line in f:
            if not line.startswith("code="):
                continue
            fields = dict(part.split("=", 1) for part in line.split())
            messages.append(Message(int(fields["code"]), int(fields["cbData"]),
                                    bytes.fromhex(fields["data"])))
    return messages


def read_ready_line(proc, timeout):
    """The first line a program prints, or "" when none comes in time."""
    ready, _, _ = select.select([proc.stdout], [], [], timeout)
    return proc.stdout.readline().strip() if ready else ""


class MonitorSim:
    """One running MonitorSim and the window handle it announced."""

    def __init__(self, prefix, *options, printers=None, register=False, log_path=None):
        args = []
        for printer in [env.SAMPLE_PRINTER] if printers is None else printers:
            args += ["--printer", env.to_windows_path(printer)]
        if register:
            args.append("--register-printers")
        self.log_path = None if log_path is None else str(log_path)
        if self.log_path:
            args += ["--log", env.to_windows_path(self.log_path)]
        self.proc = prefix.popen("MonitorSim.exe", *args, *map(str, options))
        line = read_ready_line(self.proc, READY_WAIT)
        if not line.startswith("ready hwnd=0x"):
            error = self.proc.stderr.read() if self.proc.poll() is not None else ""
            raise RuntimeError("MonitorSim did not start: %r %s" % (line, error))
        self.hwnd = int(line.split("0x", 1)[1], 16)
        self.pid = self.proc.pid

    def pause(self):
        """Stops the process (it answers nothing until resumed)."""
        psutil.Process(self.pid).suspend()

    def resume(self):
        """Lets a paused process run again."""
        try:
            psutil.Process(self.pid).resume()
        except psutil.NoSuchProcess:
            pass

    def stop(self, timeout=30):
        """Closes standard input, MonitorSim's normal way out; its exit code,
        or None when it had to be killed."""
        try:
            self.resume()
            self.proc.stdin.close()
            return self.proc.wait(timeout=timeout)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            return None

    def messages(self):
        """The messages it logged so far."""
        return read_log(self.log_path)

    def codes(self):
        """The message codes it logged so far, in arrival order."""
        return [message.code for message in self.messages()]

    def last_block(self):
        """The block of the last logged message."""
        return self.messages()[-1].block
