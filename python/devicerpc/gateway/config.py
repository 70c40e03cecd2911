"""The gateway's configuration file (TOML), read with the standard library's
tomllib and checked key by key.

    listen = "127.0.0.1:9464"     # host:port, [v6 address]:port
    refresh_interval = 30         # seconds a collection serves the pages
    call_timeout = 10             # seconds, for each call to a server
    low_paper = 10                # a bin below this level is "low"
    concurrency = 2               # calls at once to one server

    [servers.printsrv1]
    host = "printsrv1.example.org"
    port = "endpoint-map"         # or the server's TCP port
    printers = ["OFFICE", "Lab Color"]
    # concurrency = 1             # this server's own bound

A file that is not right raises ConfigError, whose text names the file,
the key and what is wrong.
"""
import ipaddress
import math
import re
from dataclasses import dataclass

try:
    import tomllib
except ImportError:  # Python before 3.11
    tomllib = None

ENDPOINT_MAP = "endpoint-map"
# The device request that carries the name in a local-name buffer takes 259
# characters at most; a longer name could never be answered.
MAX_PRINTER_NAME = 259
SERVER_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]{0,62}")
DEFAULTS = {"listen": "127.0.0.1:9464", "refresh_interval": 30, "call_timeout": 10,
            "low_paper": 10, "concurrency": 2}
SERVER_KEYS = ("host", "port", "printers", "concurrency")


class ConfigError(Exception):
    """A configuration that cannot be used; the text says where and why."""


@dataclass(frozen=True)
class ServerConfig:
    name: str
    host: str
    port: int  # None: ask the endpoint map
    printers: tuple
    concurrency: int


@dataclass(frozen=True)
class GatewayConfig:
    path: str
    listen_host: str
    listen_port: int
    refresh_interval: float
    call_timeout: float
    low_paper: int
    concurrency: int
    servers: dict  # name: ServerConfig, in the file's order

    @property
    def printer_count(self):
        return sum(len(server.printers) for server in self.servers.values())

    @property
    def summary(self):
        """"2 servers, 5 printers", in words that fit one."""
        servers, printers = len(self.servers), self.printer_count
        return "%d server%s, %d printer%s" % (servers, "" if servers == 1 else "s",
                                              printers, "" if printers == 1 else "s")


def parse_listen(text):
    """(host, port) of "host:port" or "[v6]:port"; ValueError otherwise."""
    match = isinstance(text, str) and re.fullmatch(
        r"\[([0-9A-Fa-f:.]+)\]:(\d{1,5})|([^:\[\]]+):(\d{1,5})", text)
    if not match:
        raise ValueError("must be HOST:PORT or [IPV6]:PORT, not %r" % text)
    host, port = (match.group(1), match.group(2)) if match.group(1) else match.group(3, 4)
    if match.group(1):
        ipaddress.IPv6Address(host)  # ValueError for a bad address
    if not 0 <= int(port) <= 65535:
        raise ValueError("port must be from 0 to 65535, not %s" % port)
    return host, int(port)


def _number(table, key, where, integer=False, default=None):
    """A number above zero from `table` (or its default); `low_paper` may
    be 0, which turns the "low" alert off."""
    value = table.get(key, default)
    kinds = (int,) if integer else (int, float)
    least = 0 if key == "low_paper" else 1e-9
    if isinstance(value, bool) or not isinstance(value, kinds) or not math.isfinite(value) \
            or value < least:
        what = "whole number" if integer else "number"
        bound = "of 0 or more" if least == 0 else "above 0"
        raise ConfigError("%s: must be a %s %s, not %r" % (where, what, bound, value))
    return value


def _unknown_keys(table, known, where):
    """ConfigError for a key this file does not take (a misspelt one, mostly)."""
    for key in table:
        if key not in known:
            raise ConfigError("%s%s: unknown key (known: %s)"
                              % (where, key, ", ".join(known)))


def _printers(value, where):
    """The tuple of printer names of one server."""
    if not isinstance(value, list) or not value:
        raise ConfigError("%s: must be a list of one or more printer names" % where)
    seen = set()
    for name in value:
        if not isinstance(name, str) or not name or "\0" in name:
            raise ConfigError("%s: %r is not a printer name" % (where, name))
        if len(name) > MAX_PRINTER_NAME:
            raise ConfigError("%s: a printer name has at most %d characters, not %d"
                              % (where, MAX_PRINTER_NAME, len(name)))
        # The server compares names without regard to case.
        if name.casefold() in seen:
            raise ConfigError("%s: %r is named twice" % (where, name))
        seen.add(name.casefold())
    return tuple(value)


def _server(name, table, concurrency):
    """The ServerConfig of one [servers.NAME] table."""
    where = "servers.%s" % name
    if not SERVER_NAME.fullmatch(name):
        raise ConfigError("%s: a server name is letters, digits, '.', '_' and '-' "
                          "(up to 63, starting with a letter or digit)" % where)
    if not isinstance(table, dict):
        raise ConfigError("%s: must be a table" % where)
    _unknown_keys(table, SERVER_KEYS, where + ".")
    host = table.get("host")
    if not isinstance(host, str) or not host.strip() or any(c.isspace() for c in host):
        raise ConfigError("%s.host: must be a host name or address, not %r" % (where, host))
    port = table.get("port", ENDPOINT_MAP)
    if port == ENDPOINT_MAP:
        port = None
    elif isinstance(port, bool) or not isinstance(port, int) or not 0 < port < 65536:
        raise ConfigError('%s.port: must be a TCP port from 1 to 65535 or "%s", not %r'
                          % (where, ENDPOINT_MAP, port))
    printers = _printers(table.get("printers"), where + ".printers")
    bound = _number(table, "concurrency", where + ".concurrency", True, concurrency)
    return ServerConfig(name, host, port, printers, bound)


def from_table(table, path):
    """The GatewayConfig of a parsed file; ConfigError names what is wrong."""
    _unknown_keys(table, tuple(DEFAULTS) + ("servers",), "")
    try:
        host, port = parse_listen(table.get("listen", DEFAULTS["listen"]))
    except ValueError as error:
        raise ConfigError("listen: %s" % error) from None
    values = {key: _number(table, key, key, key in ("low_paper", "concurrency"), DEFAULTS[key])
              for key in ("refresh_interval", "call_timeout", "low_paper", "concurrency")}
    servers = table.get("servers")
    if not isinstance(servers, dict) or not servers:
        raise ConfigError("servers: at least one [servers.NAME] table is needed")
    fleet = {name: _server(name, entry, values["concurrency"]) for name, entry in servers.items()}
    return GatewayConfig(path, host, port, servers=fleet, **values)


def load(path):
    """Reads and checks the file at `path`: its GatewayConfig, or
    ConfigError with the file's name in front of the reason."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as error:
        raise ConfigError("%s: cannot read: %s" % (path, error.strerror or error)) from None
    if tomllib is None:
        raise ConfigError("%s: reading TOML needs Python 3.11 or later" % path)
    try:
        table = tomllib.loads(data.decode("utf-8"))
    except UnicodeDecodeError as error:
        raise ConfigError("%s: not UTF-8 text: %s" % (path, error)) from None
    except tomllib.TOMLDecodeError as error:
        raise ConfigError("%s: not valid TOML: %s" % (path, error)) from None
    try:
        return from_table(table, path)
    except ConfigError as error:
        raise ConfigError("%s: %s" % (path, error)) from None
