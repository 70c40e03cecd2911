"""A private Wine prefix and the programs this process started in it.

    prefix = Prefix.create()              # a new temporary prefix, booted
    prefix = Prefix(path); prefix.boot()  # a given folder
    prefix.run("DeviceRpcClient.exe", "probe")      -> CompletedProcess (text)
    prefix.popen("MonitorSim.exe", ...)             -> Popen, pipes by default
    prefix.stop_all()      ends every process of this prefix (and only of it)
    prefix.close()         ends the prefix's wineserver; removes a temporary folder
    prefix.reg(...), set_binary, set_dword, set_string, get_value,
    delete_value, delete_key, clear_device_tree   the registry, through reg.exe
    prefix.listening_tcp_ports(), prefix.tcp_port(), prefix.processes()  (see processes)

Program names without a folder are taken from env.bin_dir(); reg, cmd
and wineboot are Wine's own.
"""
import os
import re
import shutil
import subprocess
import tempfile

from . import env, processes

MONITORS_KEY = r"HKLM\SOFTWARE\Mirel\ZOLT7\Monitors\ZOLT7 Monitor"
STORE_ROOT = r"HKLM\SOFTWARE\Mirel\ZOLT7"
PRINTERS_KEY = r"HKLM\System\CurrentControlSet\Control\Print\Printers"
DRIVERS_KEY = (r"HKLM\System\CurrentControlSet\Control\Print\Environments\Windows x64"
               r"\Drivers\Version-3")
# What a test may leave behind: the device data and the spooler entries.
DEVICE_TREE = (r"HKLM\SOFTWARE\Mirel", PRINTERS_KEY, DRIVERS_KEY)
WINE_PROGRAMS = ("reg", "cmd", "wineboot")

_QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Prefix:
    """A private Wine prefix and the processes started in it from here."""

    def __init__(self, path, temporary=False):
        self.path = path
        self.env = env.wine_env(path)
        self.started = []
        self.temporary = temporary

    @classmethod
    def create(cls, path=None, name="devicerpc-wine-"):
        """A booted prefix in `path`, or in a new temporary folder that
        close() removes."""
        prefix = cls(path or tempfile.mkdtemp(prefix=name), temporary=path is None)
        prefix.boot()
        return prefix

    def boot(self):
        """Sets the prefix up, then starts it afresh with a persistent
        wineserver. Right after wineboot the prefix's services are still
        starting (a second services.exe appears): a server started then
        never answered its controller's wait-listening."""
        subprocess.run([env.WINESERVER, "-p"], env=self.env, timeout=60, **_QUIET)
        subprocess.run([env.WINE, "wineboot", "-i"], env=self.env, timeout=300, **_QUIET)
        self.stop_all()

    def close(self):
        """Ends every process of the prefix and its wineserver; removes the
        folder of a temporary prefix."""
        self.stop_all(keep=False)
        if self.temporary:
            shutil.rmtree(self.path, ignore_errors=True)

    # -- programs ------------------------------------------------------------
    @staticmethod
    def exe_path(exe):
        """The Linux path of a program name (Wine's own programs as they are)."""
        if os.path.isabs(exe) or exe.split(".")[0].lower() in WINE_PROGRAMS:
            return exe
        return os.path.join(env.bin_dir(), exe)

    def run(self, exe, *args, timeout=60, input=None):
        """Runs a Windows program to completion; its CompletedProcess (text)."""
        return subprocess.run([env.WINE, self.exe_path(exe), *map(str, args)], env=self.env,
                              capture_output=True, text=True, timeout=timeout, input=input)

    def popen(self, exe, *args, **kwargs):
        """Starts a Windows program with pipes (text); stop_all ends it.
        The Popen's pid is the Windows process itself."""
        for stream in ("stdin", "stdout", "stderr"):
            kwargs.setdefault(stream, subprocess.PIPE)
        kwargs.setdefault("text", True)
        proc = subprocess.Popen([env.WINE, self.exe_path(exe), *map(str, args)], env=self.env,
                                **kwargs)
        self.started.append(proc)
        return proc

    def stop_all(self, keep=True):
        """Ends every process of this prefix (and only of this prefix), then,
        with `keep`, starts its wineserver again as a persistent one: a
        server that ends on its own when idle can do so just as a new
        process connects, which leaves that process hanging."""
        subprocess.run([env.WINESERVER, "-k"], env=self.env, capture_output=True, timeout=60)
        subprocess.run([env.WINESERVER, "-w"], env=self.env, capture_output=True, timeout=60)
        for proc in self.started:
            try:
                proc.kill()
                proc.wait(timeout=5)
            except (OSError, subprocess.TimeoutExpired):
                pass
        self.started = []
        if keep:
            self.keep_server()

    def keep_server(self):
        """A persistent wineserver with the prefix's services running."""
        # The first program of a fresh server starts the prefix's own
        # services; started here without pipes, they cannot hold on to the
        # output pipes of a test's programs.
        subprocess.run([env.WINESERVER, "-p"], env=self.env, timeout=120, **_QUIET)
        subprocess.run([env.WINE, "cmd", "/c", "exit", "0"], env=self.env, timeout=120, **_QUIET)

    # -- processes and ports ---------------------------------------------------
    def processes(self):
        """The Linux processes of this prefix (psutil.Process), wineserver included."""
        return processes.of_prefix(self.path)

    def listening_tcp_ports(self):
        """TCP ports in LISTEN state held by this prefix's wineserver."""
        return processes.listening_tcp_ports(self.path)

    def tcp_port(self):
        """The one TCP port the prefix's server listens on; RuntimeError
        when there is not exactly one."""
        ports = self.listening_tcp_ports()
        if len(ports) != 1:
            raise RuntimeError("expected one TCP endpoint, found %s" % ports)
        return ports[0]

    # -- registry --------------------------------------------------------------
    def reg(self, *args, check=True):
        """Runs reg.exe; RuntimeError when it fails and `check` is set."""
        result = subprocess.run([env.WINE, "reg", *args], env=self.env, capture_output=True,
                                text=True, timeout=60)
        if check and result.returncode != 0:
            raise RuntimeError("reg %s failed: %s %s" % (args, result.stdout, result.stderr))
        return result

    def set_binary(self, key, name, data):
        """A REG_BINARY value (the key is created)."""
        self.reg("add", key, "/v", name, "/t", "REG_BINARY", "/d", bytes(data).hex(), "/f")

    def set_dword(self, key, name, value):
        """A REG_DWORD value; negative numbers as their 32-bit pattern."""
        self.reg("add", key, "/v", name, "/t", "REG_DWORD", "/d", str(value & 0xFFFFFFFF), "/f")

    def set_string(self, key, name, value):
        """A REG_SZ value."""
        self.reg("add", key, "/v", name, "/t", "REG_SZ", "/d", value, "/f")

    def delete_value(self, key, name):
        """Deletes a value, if it is there."""
        self.reg("delete", key, "/v", name, "/f", check=False)

    def delete_key(self, key):
        """Deletes a key and everything under it, if it is there."""
        self.reg("delete", key, "/f", check=False)

    def clear_device_tree(self):
        """Deletes the device data and the spooler's printer and driver keys."""
        for key in DEVICE_TREE:
            self.delete_key(key)

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

    def number_value(self, key, name):
        """A REG_DWORD or a little-endian binary value as a number, or None."""
        value = self.get_value(key, name)
        if value is None:
            return None
        kind, raw = value
        return int(raw, 16) if kind == "REG_DWORD" else int.from_bytes(bytes.fromhex(raw), "little")
