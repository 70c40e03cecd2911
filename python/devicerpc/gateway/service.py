"""`devicerpc gateway`: the service that runs the fleet and its HTTP face,
started, stopped, reloaded and failed the way a daemon under systemd is.

It binds its socket itself (so that a taken address is one clear line,
and port 0 picks a free port that the start line reports), then serves
with uvicorn until SIGTERM or Ctrl-C. On either it makes no further RPC
call, lets the requests in progress end (each within one call time-out)
and exits 0. SIGHUP reads both configuration files again: a file that is
no longer valid is refused and the running configuration kept. Everything
it says goes to standard error, one line each.
"""
import dataclasses
import logging
import signal
import socket
import sys
import threading
from importlib import resources

import uvicorn

from . import webconfig
from .access import Passwords
from .app import create_app
from .config import ConfigError, load
from .fleet import Fleet
from .pages import environment
from .telemetry import Telemetry

log = logging.getLogger("devicerpc.gateway")

EXIT_OK, EXIT_FAILED = 0, 1


class Gateway:
    """The configuration, the gateway's figures, the fleet, the users and
    the pages' templates: what every request reads."""

    def __init__(self, config, web):
        self.config, self.web = config, web
        self.telemetry = Telemetry()
        self.fleet = Fleet(config, self.telemetry)
        self.passwords = Passwords(web.users) if web.users else None
        self.templates = environment()
        self.style = resources.files(__package__).joinpath("static", "style.css").read_bytes()

    def reload(self):
        """Reads the configuration and the web configuration again and, when
        both are valid, serves them from now on; the listen address and the
        TLS settings stay those of the start."""
        try:
            config = load(self.config.path)
            web = webconfig.load(self.web.path) if self.web.path else webconfig.WebConfig()
        except ConfigError as error:
            log.error("reload refused, the running configuration stays: %s", error)
            return
        listen = (self.config.listen_host, self.config.listen_port)
        if (config.listen_host, config.listen_port) != listen or bool(web.tls) != bool(self.web.tls):
            log.warning("the listen address and TLS change only when the gateway restarts")
        old = self.fleet
        self.config = dataclasses.replace(config, listen_host=listen[0], listen_port=listen[1])
        self.fleet = Fleet(self.config, self.telemetry)
        self.passwords = Passwords(web.users) if web.users else None
        self.web = dataclasses.replace(web, tls=self.web.tls)
        # The old fleet's collections in flight end on their own.
        threading.Thread(target=old.close, name="retire-fleet", daemon=True).start()
        log.info("reloaded: %s; %d users (configuration %s)", self.config.summary,
                 len(web.users), self.config.path)

    def close(self):
        """Stops the fleet: no new call, the collections in flight end."""
        self.fleet.close()


class GatewayServer(uvicorn.Server):
    """uvicorn's server, which also tells the fleet to stop calling as soon
    as the signal to stop comes, and reloads on SIGHUP."""

    def __init__(self, config, gateway):
        super().__init__(config)
        self.gateway = gateway

    def install_signal_handlers(self):
        """uvicorn's SIGTERM and SIGINT, and SIGHUP for a reload."""
        super().install_signal_handlers()
        loop = asyncio_loop()
        if loop is not None:
            loop.add_signal_handler(signal.SIGHUP, self.gateway.reload)

    def handle_exit(self, sig, frame):
        """SIGTERM or SIGINT: stop calling servers, then stop serving."""
        self.gateway.fleet.stopping.set()
        super().handle_exit(sig, frame)


def asyncio_loop():
    """The running event loop of the main thread, or None."""
    import asyncio
    if threading.current_thread() is not threading.main_thread():
        return None
    return asyncio.get_event_loop()


def bind(host, port):
    """A listening socket on (host, port); OSError when it cannot be had."""
    family, kind, proto, _, address = socket.getaddrinfo(
        host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)[0]
    sock = socket.socket(family, kind, proto)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(address)
        sock.listen(128)
    except OSError:
        sock.close()
        raise
    return sock


def setup_logging():
    """One line per event on standard error (the journal under systemd)."""
    logging.basicConfig(stream=sys.stderr, level=logging.INFO,
                        format="%(levelname)s %(name)s: %(message)s")
    # uvicorn's start and stop chatter says nothing the gateway does not;
    # its TLS handshake failures are a client's, not the gateway's.
    logging.getLogger("uvicorn").setLevel(logging.WARNING)
    logging.getLogger("asyncio").setLevel(logging.CRITICAL)


def server_for(gateway):
    """The uvicorn server of the gateway's application, TLS as configured."""
    settings = uvicorn.Config(create_app(gateway), log_config=None, access_log=False,
                              lifespan="off", ws="none", server_header=False)
    settings.load()
    settings.ssl = gateway.web.tls
    return GatewayServer(settings, gateway)


def serve(config, web):
    """Runs the gateway for `config` until it is told to stop; exit status."""
    setup_logging()
    try:
        sock = bind(config.listen_host, config.listen_port)
    except OSError as error:
        log.error("cannot listen on %s:%d: %s", config.listen_host, config.listen_port,
                  error.strerror or error)
        return EXIT_FAILED
    host, port = sock.getsockname()[:2]
    gateway = Gateway(config, web)
    server = server_for(gateway)
    shown = "[%s]" % host if ":" in host else host
    log.info("listening on %s://%s:%d/ for %s; %s (configuration %s)",
             "https" if web.tls else "http", shown, port, config.summary,
             "%d users" % len(web.users) if web.users else "no passwords", config.path)
    try:
        server.run(sockets=[sock])
    finally:
        gateway.close()
        sock.close()
    log.info("stopped")
    return EXIT_OK
