"""`devicerpc gateway`: the service that runs the fleet and its HTTP face,
started, stopped and failed the way a daemon under systemd is.

It binds its socket itself (so that a taken address is one clear line,
and port 0 picks a free port that the start line reports), then serves
with uvicorn until SIGTERM or Ctrl-C. On either it makes no further RPC
call, lets the requests in progress end (each within one call time-out)
and exits 0. Everything it says goes to standard error, one line each.
"""
import logging
import socket
import sys
from importlib import resources

import uvicorn

from .app import create_app
from .fleet import Fleet
from .pages import environment
from .telemetry import Telemetry

log = logging.getLogger("devicerpc.gateway")

EXIT_OK, EXIT_FAILED = 0, 1


class Gateway:
    """The configuration, the gateway's figures, the fleet and the pages'
    templates: what every route reads."""

    def __init__(self, config):
        self.config = config
        self.telemetry = Telemetry()
        self.fleet = Fleet(config, self.telemetry)
        self.templates = environment()
        self.style = resources.files(__package__).joinpath("static", "style.css").read_bytes()

    def close(self):
        """Stops the fleet: no new call, the collections in flight end."""
        self.fleet.close()


class GatewayServer(uvicorn.Server):
    """uvicorn's server, which also tells the fleet to stop calling as soon
    as the signal to stop comes, not only when the last request is done."""

    def __init__(self, config, gateway):
        super().__init__(config)
        self.gateway = gateway

    def handle_exit(self, sig, frame):
        """SIGTERM or SIGINT: stop calling servers, then stop serving."""
        self.gateway.fleet.stopping.set()
        super().handle_exit(sig, frame)


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
    # uvicorn's start and stop chatter says nothing the gateway does not.
    logging.getLogger("uvicorn").setLevel(logging.WARNING)


def serve(config):
    """Runs the gateway for `config` until it is told to stop; exit status."""
    setup_logging()
    try:
        sock = bind(config.listen_host, config.listen_port)
    except OSError as error:
        log.error("cannot listen on %s:%d: %s", config.listen_host, config.listen_port,
                  error.strerror or error)
        return EXIT_FAILED
    host, port = sock.getsockname()[:2]
    gateway = Gateway(config)
    server = GatewayServer(uvicorn.Config(create_app(gateway), log_config=None, access_log=False,
                                          lifespan="off", ws="none"), gateway)
    shown = "[%s]" % host if ":" in host else host
    log.info("listening on http://%s:%d/ for %s (configuration %s)", shown, port,
             config.summary, config.path)
    try:
        server.run(sockets=[sock])
    finally:
        gateway.close()
        sock.close()
    log.info("stopped")
    return EXIT_OK
