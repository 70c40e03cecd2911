"""`devicerpc gateway` as a process on a free local port, and its
configuration file.

    write_config(path, {"local": {"host": "127.0.0.1", "port": 49703,
                                  "printers": ["OFFICE"]}}, refresh_interval=5)
    gateway = Gateway(path)          started; gateway.url, .port, .pid, .proc
    gateway.get("/api/v1/printers")  -> Answer(status, headers, body)
    gateway.json("/api/v1/printers") -> the decoded body of a 200 answer
    gateway.stop()                   SIGTERM; its exit status (None: killed)
    gateway.log()                    what it wrote to standard error
    Site(prefix, folder).start()     the sample printer, a server and a gateway over it

It runs from this tree under Debian's Python (env.run_devicerpc's way), its
standard error in a file so that nothing it says can block it.
"""
import json
import os
import re
import signal
import subprocess
import tempfile
import time
import urllib.error
import urllib.request
from typing import NamedTuple

from . import env
from .controller import Controller
from .monitorsim import MonitorSim

READY = re.compile(r"listening on (https?://\S+?:(\d+))/")
START_WAIT = 30


def toml_value(value):
    """A value as TOML writes it (JSON's strings and numbers are TOML's)."""
    if isinstance(value, (list, tuple)):
        return "[%s]" % ", ".join(toml_value(v) for v in value)
    return json.dumps(value)


def write_config(path, servers, **settings):
    """Writes a gateway configuration: top-level `settings`, then one
    [servers.NAME] table per entry of `servers` (name: {key: value})."""
    lines = ["%s = %s" % (key, toml_value(value)) for key, value in settings.items()]
    for name, table in servers.items():
        lines.append("\n[servers.%s]" % name)
        lines += ["%s = %s" % (key, toml_value(value)) for key, value in table.items()]
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    return path


class Answer(NamedTuple):
    """An HTTP answer: status, headers (a Message) and body (bytes)."""
    status: int
    headers: object
    body: bytes

    @property
    def text(self):
        return self.body.decode("utf-8", "replace")


class Gateway:
    """A started gateway; RuntimeError when it does not say where it listens."""

    def __init__(self, config_path, *options, listen="127.0.0.1:0"):
        self.log_file = tempfile.NamedTemporaryFile(prefix="devicerpc-gateway-", suffix=".log")
        path = os.pathsep.join(filter(None, [env.PACKAGE, os.environ.get("PYTHONPATH")]))
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", "-m", "devicerpc", "gateway", "--config", str(config_path),
             "--listen", listen, *map(str, options)],
            env=dict(os.environ, PYTHONPATH=path), stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=self.log_file)
        self.pid = self.proc.pid
        self.url, self.port = self._wait_ready()

    def _wait_ready(self):
        """(base URL, port) from the start line."""
        deadline = time.time() + START_WAIT
        while time.time() < deadline:
            match = READY.search(self.log())
            if match:
                return match.group(1), int(match.group(2))
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        self.stop()
        raise RuntimeError("the gateway did not start: %s" % self.log())

    def log(self):
        """Everything the gateway wrote to standard error so far."""
        if self.log_file.closed:
            return self._last_log
        with open(self.log_file.name, encoding="utf-8", errors="replace") as f:
            return f.read()

    def get(self, path, timeout=60, headers=None, method="GET"):
        """GET (or `method`) `path`: its Answer, whatever the status."""
        request = urllib.request.Request(self.url + path, headers=headers or {}, method=method)
        try:
            with urllib.request.urlopen(request, timeout=timeout) as answer:
                return Answer(answer.status, answer.headers, answer.read())
        except urllib.error.HTTPError as error:
            return Answer(error.code, error.headers, error.read())

    def json(self, path, timeout=60):
        """The decoded JSON body of a 200 answer; AssertionError otherwise."""
        answer = self.get(path, timeout)
        assert answer.status == 200, (path, answer.status, answer.text)
        return json.loads(answer.body)

    def stop(self, timeout=30):
        """SIGTERM, then waits; the exit status, or None when it had to be killed."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None
        finally:
            if not self.log_file.closed:
                self._last_log = self.log()
                self.log_file.close()


# The sample printer by its share name, one that the monitor does not know,
# and one whose name holds HTML markup (also unknown to the monitor).
SITE_PRINTERS = ("OFFICE", "Missing Printer", "<b>Bold</b> & <i>Co</i>")


class Site:
    """MonitorSim with the sample printer (its messages logged), a server
    under Wine, and a gateway over it (one configured server, "local").

        site = Site(prefix, folder, refresh_interval=5).start()
        site.gateway, site.port, site.monitor, site.messages()
        site.restart_monitor("--delay-ms", 100)
        site.stop()
    """

    def __init__(self, prefix, folder, printers=SITE_PRINTERS, listen="127.0.0.1:0",
                 **settings):
        self.prefix, self.folder = prefix, str(folder)
        self.printers, self.listen, self.settings = list(printers), listen, settings
        self.monitor = self.controller = self.gateway = self.port = None

    def start(self, *monitor_options):
        """Starts the parts from a clean prefix; the Site."""
        self.prefix.stop_all()
        self.prefix.clear_device_tree()
        self.restart_monitor(*monitor_options)
        self.controller = Controller(self.prefix)
        self.controller.launch_and_start()
        self.port = self.prefix.tcp_port()
        self.config_path = write_config(
            os.path.join(self.folder, "gateway.toml"),
            {"local": {"host": "127.0.0.1", "port": self.port, "printers": self.printers}},
            **self.settings)
        self.gateway = Gateway(self.config_path, listen=self.listen)
        return self

    def restart_monitor(self, *options):
        """MonitorSim anew with `options`, logging to the same file."""
        if self.monitor is not None:
            self.monitor.stop()
        self.monitor = MonitorSim(self.prefix, *options, register=True,
                                  log_path=os.path.join(self.folder, "monitor.log"))

    def messages(self):
        """The messages MonitorSim logged so far (every run of it)."""
        return self.monitor.messages()

    def stop(self):
        """Stops the gateway, then everything in the prefix."""
        if self.gateway is not None:
            self.gateway.stop()
        if self.controller is not None:
            self.controller.close()
        if self.monitor is not None:
            self.monitor.stop()
        self.prefix.stop_all()
