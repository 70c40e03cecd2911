"""End-to-end harness: the real executables in a private Wine prefix.

Every test gets a prefix with no process of ours running (the whole prefix
is stopped with `wineserver -k` after each test), a clean device tree in the
registry, and helpers to drive the controller, the reference language
monitor and the client. Importing it turns off address randomization for
every program started from then on (see below).
"""
import ctypes
import os
import re
import select
import shutil
import subprocess
import tempfile
import time

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BIN = os.environ.get("DEVICERPC_BIN", os.path.join(ROOT, "build", "bin"))
WINE = os.environ.get("WINE", "/usr/lib/wine/wine64")
WINESERVER = os.environ.get("WINESERVER", "/usr/lib/wine/wineserver")

MONITORS_KEY = r"HKLM\SOFTWARE\Mirel\ZOLT7\Monitors\ZOLT7 Monitor"
STORE_ROOT = r"HKLM\SOFTWARE\Mirel\ZOLT7"
PRINTERS_KEY = r"HKLM\System\CurrentControlSet\Control\Print\Printers"
DRIVERS_KEY = r"HKLM\System\CurrentControlSet\Control\Print\Environments\Windows x64\Drivers\Version-3"
INTERFACE_UUID = "66c55168-0021-4e96-9a7c-5efefdaee407"


def turn_off_address_randomization():
    """Debian's Wine loader is linked at 0x7d000000 and has no preloader to
    reserve Wine's fixed addresses; the kernel puts its heap at a random
    place up to 1 GB above it. About once in 5,000 starts that heap covers
    0x7ffe0000, where Wine must map the shared user data page: the program
    then exits with code 1 before it runs, saying why only on an err channel
    (hidden by WINEDEBUG=-all). Without randomization the heap starts right
    after the loader, 48 MB below that page. Children inherit the setting."""
    ADDR_NO_RANDOMIZE = 0x0040000
    libc = ctypes.CDLL(None, use_errno=True)
    persona = libc.personality(0xFFFFFFFF)
    if persona != -1 and not persona & ADDR_NO_RANDOMIZE:
        libc.personality(persona | ADDR_NO_RANDOMIZE)


turn_off_address_randomization()


def project_version():
    """The one project version, as CMakeLists.txt gives it."""
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(DeviceRpc VERSION ([0-9.]+)", f.read()).group(1)


def to_windows_path(path):
    """A Linux path as Wine's Z: drive shows it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Prefix:
    """A private Wine prefix and the processes this test started in it."""

    def __init__(self, path):
        self.path = path
        self.env = dict(os.environ, WINEPREFIX=path, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        self.started = []

    # -- processes ---------------------------------------------------------
    def run(self, exe, *args, timeout=60, input=None):
        """Runs a Windows program to completion; returns CompletedProcess."""
        return subprocess.run([WINE, self.exe_path(exe), *map(str, args)], env=self.env,
                              capture_output=True, text=True, timeout=timeout, input=input)

    def popen(self, exe, *args, **kwargs):
        proc = subprocess.Popen([WINE, self.exe_path(exe), *map(str, args)], env=self.env,
                                stdin=kwargs.pop("stdin", subprocess.PIPE),
                                stdout=kwargs.pop("stdout", subprocess.PIPE),
                                stderr=kwargs.pop("stderr", subprocess.PIPE), text=True, **kwargs)
        self.started.append(proc)
        return proc

    @staticmethod
    def exe_path(exe):
        return exe if os.path.isabs(exe) or exe.startswith("reg") else os.path.join(BIN, exe)

    def stop_all(self):
        """Ends every process of this prefix (and only of this prefix), then
        starts its wineserver again as a persistent one: a server that ends
        on its own when idle can do so just as a new process connects, which
        leaves that process hanging."""
        subprocess.run([WINESERVER, "-k"], env=self.env, capture_output=True, timeout=60)
        subprocess.run([WINESERVER, "-w"], env=self.env, capture_output=True, timeout=60)
        for proc in self.started:
            try:
                proc.kill()
                proc.wait(timeout=5)
            except Exception:
                pass
        self.started = []
        self.keep_server()

    def keep_server(self):
        # The first program of a fresh server starts the prefix's own
        # services; started here without pipes, they cannot hold on to the
        # output pipes of a test's programs.
        quiet = dict(env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL, timeout=120)
        subprocess.run([WINESERVER, "-p"], **quiet)
        subprocess.run([WINE, "cmd", "/c", "exit", "0"], **quiet)

    # -- registry ----------------------------------------------------------
    def reg(self, *args, check=True):
        result = subprocess.run([WINE, "reg", *args], env=self.env, capture_output=True,
                                text=True, timeout=60)
        if check and result.returncode != 0:
            raise RuntimeError("reg %s failed: %s %s" % (args, result.stdout, result.stderr))
        return result

    def set_binary(self, key, name, data):
        self.reg("add", key, "/v", name, "/t", "REG_BINARY", "/d", bytes(data).hex(), "/f")

    def set_dword(self, key, name, value):
        self.reg("add", key, "/v", name, "/t", "REG_DWORD", "/d", str(value & 0xFFFFFFFF), "/f")

    def set_string(self, key, name, value):
        self.reg("add", key, "/v", name, "/t", "REG_SZ", "/d", value, "/f")

    def delete_value(self, key, name):
        self.reg("delete", key, "/v", name, "/f", check=False)

    def delete_key(self, key):
        self.reg("delete", key, "/f", check=False)

    def get_value(self, key, name):
        """(type, raw text) of a value as reg.exe prints it, or None."""
        result = self.reg("query", key, "/v", name, check=False)
        if result.returncode != 0:
            return None
        # reg.exe separates its columns with four blanks; names may hold blanks.
        for line in result.stdout.splitlines():
            match = re.match(r"^    (.*?)    (REG_\w+)(?:    (.*))?$", line)
            if match and match.group(1).lower() == name.lower():
                return match.group(2), match.group(3) or ""
        return None

    # -- network -----------------------------------------------------------
    def wineserver_pid(self):
        out = subprocess.run(["pgrep", "-f", "wineserver"], capture_output=True, text=True).stdout
        for pid in out.split():
            try:
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if ("WINEPREFIX=%s" % self.path).encode() in f.read().split(b"\0"):
                        return int(pid)
            except OSError:
                continue
        return None

    def listening_tcp_ports(self):
        """TCP ports in LISTEN state held by this prefix's wineserver."""
        pid = self.wineserver_pid()
        if pid is None:
            return []
        inodes = set()
        fd_dir = "/proc/%d/fd" % pid
        for fd in os.listdir(fd_dir):
            try:
                target = os.readlink(os.path.join(fd_dir, fd))
            except OSError:
                continue
            m = re.match(r"socket:\[(\d+)\]", target)
            if m:
                inodes.add(m.group(1))
        ports = []
        for table in ("/proc/net/tcp", "/proc/net/tcp6"):
            try:
                with open(table) as f:
                    next(f)
                    for line in f:
                        fields = line.split()
                        if fields[3] == "0A" and fields[9] in inodes:
                            ports.append(int(fields[1].split(":")[1], 16))
            except OSError:
                continue
        return sorted(set(ports))


class Controller:
    """DeviceRpcCtl in stdin mode: one command per line, one answer line each."""

    def __init__(self, prefix, *options):
        self.proc = prefix.popen("DeviceRpcCtl.exe", *options, "-")
        self.pending = b""

    def send(self, line, timeout=90):
        """Sends one command; its answer line (empty when the controller ended)."""
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        return self.read_line(line, timeout)

    def read_line(self, what, timeout):
        # Unbuffered reads with a deadline, so that a controller that hangs
        # fails the test instead of stalling the run.
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

    def launch_and_start(self):
        assert self.send("launch").startswith("launched")
        assert self.send("start").startswith("signalled")
        assert self.send("wait-listening 20000") == "listening"

    def close(self):
        try:
            self.proc.stdin.close()
        except Exception:
            pass


class ModuleServer:
    """One listening server in a prefix of its own, shared by a test module:
    a clean data tree and spooler keys, a controller that launched and
    started it. Modules extend it with what they check between tests."""

    def __init__(self, prefix_path):
        self.prefix = Prefix(prefix_path)
        self.controller = None

    def clear(self):
        for key in (r"HKLM\SOFTWARE\Mirel", PRINTERS_KEY, DRIVERS_KEY):
            self.prefix.delete_key(key)

    def start(self):
        self.stop()
        self.clear()
        self.controller = Controller(self.prefix)
        self.controller.launch_and_start()

    def stop(self):
        if self.controller:
            self.controller.close()
            self.controller = None
        self.prefix.stop_all()


@pytest.fixture(scope="session")
def prefix_path():
    base = os.environ.get("DEVICERPC_TEST_PREFIX")
    path = base or tempfile.mkdtemp(prefix="devicerpc-wine-")
    env = dict(os.environ, WINEPREFIX=path, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    subprocess.run([WINESERVER, "-p"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    subprocess.run([WINE, "wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    yield path
    subprocess.run([WINESERVER, "-k"], env=env, capture_output=True, timeout=60)
    if not base:
        shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def wine(prefix_path):
    """The session prefix with no process of ours running and no device data."""
    prefix = Prefix(prefix_path)
    prefix.stop_all()
    prefix.delete_key(r"HKLM\SOFTWARE\Mirel")
    prefix.delete_key(PRINTERS_KEY)
    prefix.delete_key(DRIVERS_KEY)
    yield prefix
    prefix.stop_all()
    prefix.delete_value(r"HKCU\Software\Wine", "Version")


@pytest.fixture
def server(wine):
    """A listening server started through the controller."""
    ctl = Controller(wine)
    ctl.launch_and_start()
    yield ctl
    ctl.close()
