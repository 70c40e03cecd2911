"""devicerpc: the device RPC server's procedures from any machine, over TCP.

The commands, their output and exit statuses are those of the Windows
client DeviceRpcClient, for what makes sense over ncacn_ip_tcp; `metrics`
prints page counters and paper levels for Prometheus, and `gateway` serves
a fleet's printers over HTTP.
"""
import argparse
import re
import sys
from dataclasses import dataclass

from . import __version__, metrics, output
from .gateway import command as gateway_command
from .client import Client, decode_answer
from .errors import MalformedReply, RequestFailed, TransportError
from .ndr import ARRAY_SIZE
from .records import (COUNTER_NAMES, DEVREQ_BIN_INFO, DEVREQ_BIN_INFO_WRITE, DEVREQ_CALIBRATION,
                      DEVREQ_CONFIG, DEVREQ_COUNTER, DEVREQ_FLASH_DATA, DEVREQ_FLASH_DATA_WRITE,
                      SELECTOR_SERVICE_SETTINGS, counter_selector)
from .transport import DEFAULT_TIMEOUT

EXIT_OK, EXIT_REQUEST_FAILED, EXIT_USAGE, EXIT_UNREACHABLE = 0, 1, 2, 3

# name: (request code or None for a code argument, help). The named requests.
DEVICE_COMMANDS = {
    "request": (None, "Send any device request code with RpcDeviceRequest (opnum 2); prints the "
                      "result, the output size and that many output bytes in hex."),
    "mapped": (None, "Send any device request code with RpcDeviceRequestMapped (opnum 3); prints "
                     "the Windows error code, the output size and the output bytes in hex."),
    "config": (DEVREQ_CONFIG, "Read the ConfigReply: record length, cassettes, duplex, firmware."),
    "bins": (DEVREQ_BIN_INFO, "Read the three bins: source, size, width, height, level."),
    "calibration": (DEVREQ_CALIBRATION, "Read the 60-byte calibration block."),
    "counter": (DEVREQ_COUNTER, "Read one page counter. KIND is %s, or a selector 0 to 255."
                % ", ".join(COUNTER_NAMES)),
    "flash": (DEVREQ_FLASH_DATA, "Read flash data: selectors 0 and 10 give the item id and its "
                                 "data, 12 the service settings, any other an empty reply."),
    "service-settings": (DEVREQ_FLASH_DATA, "Read the 18-byte service settings block."),
    "write-bins": (DEVREQ_BIN_INFO_WRITE, "Write paper-source information: HEX is the whole "
                                          "input, as the language monitor expects it."),
    "write-flash": (DEVREQ_FLASH_DATA_WRITE, "Write flash data: the SELECTOR byte, then HEX. "
                                             "Selector 12 writes the service settings."),
}

EPILOG = ("Exit status: 0 success, 1 the request failed (FALSE, a Windows error code, a reply "
          "that does not fit its record, a call the server rejected), 2 usage error, 3 the "
          "server could not be reached.")


def long_number(text):
    """A 32-bit number: decimal, with a leading '-', or hex with 0x."""
    match = re.fullmatch(r"(-?)(0[xX][0-9a-fA-F]+|[0-9]+)", text)
    if not match:
        raise argparse.ArgumentTypeError("not a number: %r" % text)
    digits = match.group(2)
    # Leading zeros are decimal, not octal.
    value = int(digits, 16) if digits[:2] in ("0x", "0X") else int(digits, 10)
    if match.group(1):
        value = -value
    if not -0x80000000 <= value <= 0xFFFFFFFF:
        raise argparse.ArgumentTypeError("not a 32-bit number: %r" % text)
    return value


def selector_number(text):
    """A selector byte: a number from 0 to 255."""
    value = long_number(text)
    if not 0 <= value <= 255:
        raise argparse.ArgumentTypeError("a selector is a number from 0 to 255, not %r" % text)
    return value


def counter_kind(text):
    """A counter name, or the selector byte it stands for."""
    try:
        return counter_selector(text)
    except KeyError:
        try:
            return selector_number(text)
        except argparse.ArgumentTypeError:
            raise argparse.ArgumentTypeError(
                "KIND is %s or 0 to 255, not %r" % (", ".join(COUNTER_NAMES), text)) from None


def hex_bytes(text):
    """Hex pairs; blanks, ':' or '-' may separate them; at most 32768 bytes."""
    digits = re.sub(r"[ :-]", "", text)
    if len(digits) % 2 or not re.fullmatch(r"[0-9a-fA-F]*", digits) or len(digits) > 2 * ARRAY_SIZE:
        raise argparse.ArgumentTypeError("--in takes up to 32768 hex bytes: %r" % text)
    return bytes.fromhex(digits)


def positive_seconds(text):
    """A time-out in seconds, above zero."""
    try:
        value = float(text)
    except ValueError:
        value = 0
    if not value > 0:
        raise argparse.ArgumentTypeError("a time-out is a positive number of seconds: %r" % text)
    return value


def connection_options(parser, suppress):
    """--host, --port, --timeout, --json; with `suppress`, an option that is
    not given leaves no default, so that it may stand on either side of the
    command."""
    default = {"default": argparse.SUPPRESS} if suppress else {}
    parser.add_argument("--host", help="server machine (default: localhost)", **default)
    parser.add_argument("--port", type=int, help="the server's TCP port (default: ask the "
                        "endpoint map on port 135)", **default)
    parser.add_argument("--timeout", type=positive_seconds, metavar="SECONDS",
                        help="time-out of each call (default %g)" % DEFAULT_TIMEOUT, **default)
    parser.add_argument("--json", action="store_true", help="print one JSON object", **default)


def device_parser(sub, name, parents):
    """The subcommand of one device request, with the options it takes."""
    code, text = DEVICE_COMMANDS[name]
    p = sub.add_parser(name, help=text, description=text, epilog=EPILOG, parents=parents)
    if code is None:
        p.add_argument("code", type=long_number, metavar="CODE")
        p.add_argument("printer_arg", nargs="?", metavar="PRINTER", help="as --printer")
    elif name == "counter":
        p.add_argument("kind", type=counter_kind, metavar="KIND")
    elif name in ("flash", "write-flash"):
        p.add_argument("selector", type=selector_number, metavar="SELECTOR")
    p.add_argument("--printer", metavar="NAME", help="the printer, by its name or share name")
    if code is None or name.startswith("write-"):
        p.add_argument("--in", dest="in_hex", type=hex_bytes, metavar="HEX",
                       required=name.startswith("write-"),
                       help='input bytes, e.g. 0a or "01 00 02"')
    p.add_argument("--cb-in", type=long_number, metavar="N", help="cbInData sent (default: the "
                   "number of input bytes)")
    p.add_argument("--cb-out", type=long_number, metavar="N", default=ARRAY_SIZE,
                   help="the output size sent (default 32768)")
    p.add_argument("--null-out", action="store_true", help="send a null pcbOutData")
    if code is not None:
        p.add_argument("--mapped", action="store_true", help="send with RpcDeviceRequestMapped "
                       "(opnum 3)")
    p.add_argument("--hex", action="store_true", help="print only the reply bytes in hex")
    p.set_defaults(run=run_device, fixed_code=code)


def build_parser():
    """The whole command line: connection options, commands, their options."""
    common = argparse.ArgumentParser(add_help=False)
    connection_options(common, True)
    parser = argparse.ArgumentParser(prog="devicerpc", description=__doc__.split("\n\n")[0],
                                     epilog=EPILOG, parents=[common])
    parser.add_argument("--version", action="version", version="devicerpc " + __version__)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name, text in (("command", "RpcSendCommand (opnum 0): a command for PRINTER; the monitor "
                                   "ignores ARGUMENT."),
                       ("command2", "RpcSendCommand2 (opnum 1): a command with an argument.")):
        p = sub.add_parser(name, help=text, description=text, epilog=EPILOG, parents=[common])
        p.add_argument("cmd", type=long_number, metavar="CMD")
        p.add_argument("param", type=long_number, metavar="PARAM")
        p.add_argument("printer", metavar="PRINTER")
        p.add_argument("argument", metavar="ARGUMENT", nargs="?" if name == "command" else None,
                       default="")
        p.set_defaults(run=run_command)
    for name in DEVICE_COMMANDS:
        device_parser(sub, name, [common])
    text = "Tell whether the server's runtime answers on DeviceRpc, without running a procedure."
    p = sub.add_parser("probe", help=text, description=text, epilog=EPILOG, parents=[common])
    p.set_defaults(run=run_probe)
    metrics.add_parser(sub, [common])
    gateway_command.add_parser(sub)
    return parser


@dataclass
class Plan:
    """A device request ready to be sent."""
    request: int
    selector: int
    in_data: bytes
    cb_in: int
    cb_out: int  # None: a null pcbOutData
    mapped: bool
    printer: str
    raw: bool  # shown as bytes, not decoded


def make_plan(args, parser):
    """The request of a device command, from its arguments."""
    raw = args.fixed_code is None
    printer = args.printer
    if raw and args.printer_arg is not None:
        if printer is not None:
            parser.error("give the printer once: as an argument or with --printer")
        printer = args.printer_arg
    if printer is None:
        parser.error("%s needs --printer NAME" % args.command)
    request = args.code if raw else args.fixed_code
    prefix = b""
    if args.command == "counter":
        prefix = bytes([args.kind])
    elif args.command in ("flash", "write-flash"):
        prefix = bytes([args.selector])
    elif args.command == "service-settings":
        prefix = bytes([SELECTOR_SERVICE_SETTINGS])
    in_data = prefix + (getattr(args, "in_hex", None) or b"")
    if len(in_data) > ARRAY_SIZE:
        parser.error("--in takes up to 32768 hex bytes")
    cb_in = len(in_data) if args.cb_in is None else args.cb_in
    mapped = args.command == "mapped" or getattr(args, "mapped", False)
    return Plan(request, in_data[0] if in_data else 0, in_data, cb_in,
                None if args.null_out else args.cb_out, mapped, printer, raw)


def client_for(args):
    """The Client that the connection options name."""
    return Client(args.host, args.port, args.timeout)


def report_transport(args, error):
    """A call that did not come back: 3 when no server answered, else 1."""
    what = "server unreachable" if not error.reachable else "the server rejected the call"
    print("devicerpc: %s: %d (%s)" % (what, error.status, error), file=sys.stderr)
    if args.json:
        sys.stdout.write(output.failure_json(args.command, error))
    return EXIT_UNREACHABLE if not error.reachable else EXIT_REQUEST_FAILED


def run_command(args, parser):
    """command and command2: the monitor's verdict as TRUE or FALSE."""
    opnum = 0 if args.command == "command" else 1
    with client_for(args) as client:
        try:
            send = client.send_command if opnum == 0 else client.send_command2
            send(args.cmd, args.param, args.printer, args.argument)
            result = True
        except TransportError as error:
            return report_transport(args, error)
        except RequestFailed:
            result = False
        except MalformedReply as error:
            print("devicerpc: %s" % error, file=sys.stderr)
            return EXIT_REQUEST_FAILED
    if args.json:
        sys.stdout.write(output.dumps({
            "command": args.command, "protseq": "ncacn_ip_tcp", "opnum": opnum, "cmd": args.cmd,
            "param": args.param, "printer": args.printer, "argument": args.argument, "status": 0,
            "result": result}))
    else:
        print("result: %s" % ("TRUE" if result else "FALSE"))
    return EXIT_OK if result else EXIT_REQUEST_FAILED


def decoded(plan, response):
    """(record or None, the MalformedReply or None) of a response."""
    if plan.raw or plan.request in (DEVREQ_BIN_INFO_WRITE, DEVREQ_FLASH_DATA_WRITE):
        return None, None
    if not response.succeeded:
        return None, None
    try:
        return decode_answer(response, plan.request, plan.selector), None
    except MalformedReply as error:
        return None, error


def show_device(args, plan, response):
    """Prints the answer of a device request; its exit status."""
    record, problem = decoded(plan, response)
    ok = response.succeeded and problem is None
    writes = plan.request in (DEVREQ_BIN_INFO_WRITE, DEVREQ_FLASH_DATA_WRITE)
    decodable = not plan.raw and not writes
    if args.json:
        reply = output.record_json(record) if record is not None else None
        sys.stdout.write(output.device_json(args.command, plan, response, reply, decodable))
    elif args.hex:
        if response.succeeded:
            sys.stdout.write(output.hex_lines(output.shown_bytes(response)))
        else:
            sys.stderr.write(output.result_lines(response))
    else:
        text = output.result_lines(response)
        if plan.raw:
            text += output.hex_lines(output.shown_bytes(response))
        elif problem is not None:
            data = output.shown_bytes(response)
            text += output.malformed_note(problem, data)
        elif record is not None:
            text += output.record_table(record, plan.selector)
        sys.stdout.write(text)
    return EXIT_OK if ok else EXIT_REQUEST_FAILED


def run_device(args, parser):
    """A device request command: sends it and shows the answer."""
    if args.json and args.hex:
        parser.error("--json and --hex exclude each other")
    plan = make_plan(args, parser)
    with client_for(args) as client:
        try:
            response = client.raw_request(plan.request, plan.printer, plan.in_data, plan.cb_in,
                                          plan.cb_out, plan.mapped)
        except TransportError as error:
            return report_transport(args, error)
        except MalformedReply as error:
            print("devicerpc: %s" % error, file=sys.stderr)
            return EXIT_REQUEST_FAILED
    return show_device(args, plan, response)


def run_probe(args, parser):
    """probe: "listening" when the runtime answers on the interface."""
    with client_for(args) as client:
        try:
            client.probe()
        except TransportError as error:
            return report_transport(args, error)
    if args.json:
        sys.stdout.write(output.dumps({"command": "probe", "protseq": "ncacn_ip_tcp",
                                       "listening": True}))
    else:
        print("listening")
    return EXIT_OK


def main(argv=None):
    """Parses `argv` and runs one command; returns its exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    for name, default in (("host", "localhost"), ("port", None), ("timeout", DEFAULT_TIMEOUT),
                          ("json", False)):
        if not hasattr(args, name):
            setattr(args, name, default)
    if args.port is not None and not 0 < args.port < 65536:
        parser.error("--port is a TCP port from 1 to 65535")
    return args.run(args, parser)


def run():
    """The console script."""
    sys.exit(main())
