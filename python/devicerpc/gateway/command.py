"""The gateway subcommand's command line. It imports the web framework
only when it serves, so that the rest of the command line runs without it.
"""
import dataclasses
import sys

from . import webconfig
from .config import ConfigError, load, parse_listen

EXIT_FAILED, EXIT_USAGE = 1, 2
NEEDS = ("the gateway needs FastAPI, uvicorn and Jinja2 (Debian: python3-fastapi "
         "python3-uvicorn python3-jinja2): %s")


def run_gateway(args, parser):
    """The gateway subcommand: check the configuration, or serve it."""
    path = args.check_config or args.config
    try:
        config = load(path)
        web = webconfig.load(args.web_config_file) if args.web_config_file \
            else webconfig.WebConfig()
        if args.listen:
            host, port = parse_listen(args.listen)
            config = dataclasses.replace(config, listen_host=host, listen_port=port)
    except ConfigError as error:
        print("devicerpc gateway: %s" % error, file=sys.stderr)
        return EXIT_USAGE
    except ValueError as error:
        print("devicerpc gateway: --listen %s" % error, file=sys.stderr)
        return EXIT_USAGE
    if args.check_config:
        print("%s: valid: %s, listening on %s:%d"
              % (path, config.summary, config.listen_host, config.listen_port))
        if web.path:
            print("%s: valid: %s, %d users" % (web.path, "TLS" if web.tls else "no TLS",
                                                len(web.users)))
        return 0
    try:
        from .service import serve
    except ImportError as missing:
        print("devicerpc gateway: " + NEEDS % missing, file=sys.stderr)
        return EXIT_FAILED
    return serve(config, web)


def add_parser(sub):
    """The gateway subcommand and its options."""
    text = ("Serve the configured printers' status over HTTP: pages for people, /probe for "
            "Prometheus (multi-target), /metrics with the gateway's own figures, and JSON "
            "under /api/v1.")
    p = sub.add_parser("gateway", help=text, description=text,
                       epilog="SIGHUP reloads both configuration files (the listen address and "
                              "TLS change only at a restart). Exit status: 0 after SIGTERM or "
                              "Ctrl-C, 1 when it cannot listen, 2 for a configuration that "
                              "cannot be used.")
    which = p.add_mutually_exclusive_group(required=True)
    which.add_argument("--config", metavar="FILE", help="the configuration file (TOML) to serve")
    which.add_argument("--check-config", metavar="FILE",
                       help="only check FILE and say what it configures; exit 0 when it is valid")
    p.add_argument("--listen", metavar="HOST:PORT",
                   help="listen here instead of at the configuration's address (port 0: any)")
    p.add_argument("--web.config.file", dest="web_config_file", metavar="FILE",
                   help="TLS and basic authentication, in the web configuration format of "
                        "Prometheus' exporters (YAML); every path then needs them")
    p.set_defaults(run=run_gateway)
