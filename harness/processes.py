"""The Linux processes of a Wine prefix, over psutil.

    of_prefix(path)                  every process whose environment names the prefix
    named(path, exe)                 those running Windows program `exe` (pids, sorted)
    server_pid(path)                 the one DeviceRpcServer.exe, or None
    wineserver_pid(path)             the prefix's wineserver, or None
    listening_tcp_ports(path)        TCP ports in LISTEN state held by that wineserver
    Identity(pid)                    a process told apart from a later one with its pid

A Windows program shows its Windows path in its command line; the
wineserver owns every socket of the prefix's programs.
"""
import psutil

# The endpoint mapper's port belongs to the prefix's services, not to a server.
ENDPOINT_MAPPER_PORT = 135


def _prefix_of(process):
    """The WINEPREFIX in a process's environment, or None."""
    try:
        return process.environ().get("WINEPREFIX")
    except (psutil.Error, OSError):
        return None


def of_prefix(path):
    """Every live process whose environment names prefix `path`."""
    return [process for process in psutil.process_iter() if _prefix_of(process) == path]


def _runs(process, exe):
    """True when `exe` is in the process's command line."""
    try:
        return any(exe.lower() in part.lower() for part in process.cmdline())
    except (psutil.Error, OSError):
        return False


def named(path, exe):
    """Pids of the processes of the prefix that run `exe`, sorted."""
    return sorted(p.pid for p in of_prefix(path) if _runs(p, exe) and not _is_zombie(p))


def server_pid(path):
    """The pid of the prefix's one DeviceRpcServer.exe; None for none or several."""
    pids = named(path, "DeviceRpcServer.exe")
    return pids[0] if len(pids) == 1 else None


def wineserver_pid(path):
    """The pid of the prefix's wineserver, or None."""
    for process in of_prefix(path):
        try:
            if process.name().startswith("wineserver"):
                return process.pid
        except psutil.Error:
            continue
    return None


def listening_tcp_ports(path):
    """TCP ports in LISTEN state held by the prefix's wineserver (where
    Wine keeps every socket of the prefix's programs), sorted."""
    pid = wineserver_pid(path)
    if pid is None:
        return []
    try:
        connections = psutil.Process(pid).connections(kind="tcp")
    except psutil.Error:
        return []
    ports = {c.laddr.port for c in connections if c.status == psutil.CONN_LISTEN}
    ports.discard(ENDPOINT_MAPPER_PORT)
    return sorted(ports)


def _is_zombie(process):
    """True for a process that has ended but was not reaped."""
    try:
        return process.status() in (psutil.STATUS_ZOMBIE, psutil.STATUS_DEAD)
    except psutil.Error:
        return True


def start_time(pid):
    """The start time of a live process; None once it is gone or a zombie
    (nothing here reaps the prefix's processes)."""
    try:
        process = psutil.Process(pid)
        return None if _is_zombie(process) else process.create_time()
    except psutil.Error:
        return None


class Identity:
    """One process, told apart from a later one that reuses its pid."""

    def __init__(self, pid):
        self.pid = pid
        self.started = start_time(pid)

    def gone(self):
        """True once the process has ended (or its pid names another)."""
        return self.started is None or start_time(self.pid) != self.started
