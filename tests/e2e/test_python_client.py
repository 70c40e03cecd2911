"""The Python client package (python/devicerpc) against the real server
under Wine and MonitorSim with the sample printer, over TCP: every call,
the errors it tells apart, its command line and the metrics; and its
installation the documented way."""
import json
import os
import shutil
import socket
import subprocess

import pytest
from prometheus_client.parser import text_string_to_metric_families

import devicerpc
from devicerpc import Client, MalformedReply, MappedRequestError, RequestFailed, RpcFault, Unreachable
from harness.env import PACKAGE, project_version
from harness.env import run_devicerpc as cli
from harness.monitorsim import MonitorSim

UNKNOWN = "Nowhere 9"
ERROR_INVALID_PRINTER_NAME = 1801  # MonitorSim's mapped answer for a printer it lacks
ERROR_INVALID_HANDLE = 6

# samples/office.printer, spelled out.
COUNTERS = {"mono": 15230, "color": 8412, "black": 17090, "cyan": 6120, "magenta": 5981,
            "yellow": 6304, "io": 23642}
BINS = [(1, 9, 2100, 2970, 80), (2, 9, 2100, 2970, 35), (4, 11, 1480, 2100, 0)]
CALIBRATION = bytes(range(0x10, 0x4C))
SERVICE = bytes.fromhex("010002000300040005000600070008000900")


def start_monitor(wine, *options):
    return MonitorSim(wine, *options, register=True)


@pytest.fixture
def port(wine, server):
    """The server's TCP port, with MonitorSim answering for OFFICE."""
    start_monitor(wine)
    return wine.listening_tcp_ports()[0]


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# -- the API ---------------------------------------------------------------------------

READS = [
    ("config", (), lambda r: (r.record_length, r.cassettes, r.duplex, r.firmware, r.reserved_zero),
     (32, 3, 1, 0x00020105, True)),
    ("bins", (), lambda r: [(b.source, b.size, b.width, b.height, b.level) for b in r.bins], BINS),
    ("calibration", (), lambda r: r.data, CALIBRATION),
    ("flash", (0,), lambda r: (r.id, r.data), (0x1000, b"OFFICE-7")),
    ("flash", (10,), lambda r: (r.id, r.data), (0x100A, bytes.fromhex("deadbeef00010203"))),
    ("service_settings", (), lambda r: r.data, SERVICE),
    *[("counter", (name,), lambda r: (r.counter, r.value), (name, value))
      for name, value in COUNTERS.items()],
]


@pytest.mark.parametrize("mapped", [False, True], ids=["opnum2", "opnum3"])
def test_typed_reads_over_both_paths(port, mapped):
    with Client("127.0.0.1", port, timeout=60) as client:
        for method, args, pick, expected in READS:
            record = getattr(client, method)("OFFICE", *args, mapped=mapped)
            assert pick(record) == expected, (method, args)
        # A selector without a counter of its own reads the I/O counter.
        assert client.counter("office", 3, mapped=mapped).value == COUNTERS["io"]


def test_writes_commands_and_raw_requests(port):
    with Client("127.0.0.1", port, timeout=60) as client:
        done = client.write_flash("OFFICE", 10, bytes.fromhex("00200000aabb"))
        assert (done.opnum, done.output_size) == (2, 32768)
        assert client.flash("OFFICE", 10) == devicerpc.FlashData(0x2000, b"\xaa\xbb")
        level = bytes([1]) + b"".join(v.to_bytes(4, "little") for v in (2, 9, 2100, 2970, 55))
        assert client.write_bins("OFFICE", level, mapped=True).opnum == 3
        assert client.bins("OFFICE").bins[1].level == 55

        assert client.send_command(1, 0, "OFFICE").result is True
        assert client.send_command2(13, 1, "OFFICE", "tray=2").opnum == 1
        with pytest.raises(RequestFailed):
            client.send_command2(13, 0, "OFFICE", "x")

        # Raw: both arrays back whole; the output beyond the reply as sent.
        in_data, out_data = bytes([2]) + bytes(range(255)), bytes(range(256)) * 128
        for mapped, result in ((False, 1), (True, 0)):
            raw = client.raw_request(9, "OFFICE", in_data, cb_in=1, cb_out=40, mapped=mapped,
                                     out_data=out_data)
            assert (raw.opnum, raw.result, raw.cb_out) == (3 if mapped else 2, result, 4)
            assert raw.in_data == in_data + bytes(32768 - len(in_data))
            assert raw.out_data == (8412).to_bytes(4, "little") + out_data[4:]
        assert client.raw_request(9, "OFFICE", b"\0", cb_out=None).cb_out is None
        assert client.probe() is True


def test_errors_tell_apart_failure_kinds(port):
    with Client("127.0.0.1", port, timeout=60) as client:
        with pytest.raises(RequestFailed) as failed:
            client.config(UNKNOWN)
        assert (failed.value.opnum, failed.value.reply.cb_out) == (2, 32768)
        with pytest.raises(MappedRequestError) as mapped:
            client.counter(UNKNOWN, "mono", mapped=True)
        assert mapped.value.code == ERROR_INVALID_PRINTER_NAME
        with pytest.raises(RequestFailed):
            client.send_command(1, 0, UNKNOWN)
        # A counter reply is not a ConfigReply: refused, not cut to shape.
        raw = client.raw_request(9, "OFFICE", b"\0")
        with pytest.raises(MalformedReply, match="4 bytes, not a 32-byte ConfigReply"):
            devicerpc.client.decode_answer(raw, 2, 0)
        # A damaged stub is faulted by the server, and the next call works.
        stub = devicerpc.ndr.command_stub(printer_name="OFFICE",
                                          name_options={"offset": 1}).bytes()
        with pytest.raises(RpcFault) as fault:
            devicerpc.response.check_response(client.call(0, stub))
        assert (fault.value.fault_status, fault.value.status) == (0x6F7, 1783)
        assert client.config("OFFICE").cassettes == 3


def test_a_timed_out_call_does_not_leave_its_answer_to_the_next(wine, server):
    start_monitor(wine, "--delay-ms", 3000)
    with Client("127.0.0.1", wine.listening_tcp_ports()[0], timeout=1) as client:
        with pytest.raises(devicerpc.ConnectionFailed) as error:
            client.config("OFFICE")
        assert (error.value.status, error.value.reachable) == (1818, False)
        assert client.counter("OFFICE", "mono", timeout=30).value == COUNTERS["mono"]


def test_unreachable_server(wine):
    # Nothing is listening at all: the connection is refused.
    with pytest.raises(Unreachable) as error:
        Client("127.0.0.1", closed_port(), timeout=10).config("OFFICE")
    assert (error.value.status, error.value.reachable) == (1722, False)
    done = cli("--json", "--port", closed_port(), "counter", "mono", "--printer", "OFFICE")
    assert done.returncode == 3, done.stderr
    answer = json.loads(done.stdout)
    assert (answer["command"], answer["status"], answer["reachable"]) == ("counter", 1722, False)
    # Without a port the endpoint map is asked; none answers here.
    assert cli("--host", "127.0.0.1", "--timeout", 5, "probe").returncode == 3


# -- the command line --------------------------------------------------------------------

def test_command_line_outputs_and_exit_statuses(port):
    where = ["--host", "127.0.0.1", "--port", port]
    config = cli(*where, "config", "--printer", "office")
    assert config.returncode == 0, config.stderr
    assert config.stdout.splitlines() == [
        "result: TRUE", "output size: 32", "field          value       hex",
        "record length  32          0x00000020", "cassettes      3           0x00000003",
        "duplex         1           0x00000001", "firmware       131333      0x00020105"]
    answer = json.loads(cli("counter", "mono", "--printer", "OFFICE", "--mapped", "--json", *where).stdout)
    assert answer == {"command": "counter", "protseq": "ncacn_ip_tcp", "opnum": 3, "request": 9,
                      "selector": 0, "printer": "OFFICE", "status": 0, "result": 0,
                      "result_text": "success", "output_size": 4,
                      "reply": {"counter": "mono", "value_name": "dwMonoCounter", "selector": 0,
                                "value": 15230}, "hex": "7e3b0000"}
    assert cli(*where, "service-settings", "--printer", "OFFICE", "--hex").stdout == (
        "01 00 02 00 03 00 04 00 05 00 06 00 07 00 08 00\n09 00\n")
    raw = cli(*where, "request", 9, "OFFICE", "--in", "02")
    assert (raw.returncode, raw.stdout) == (0, "result: TRUE\noutput size: 4\ndc 20 00 00\n")
    failed = cli(*where, "bins", "--printer", UNKNOWN)
    assert (failed.returncode, failed.stdout) == (1, "result: FALSE\noutput size: 32768\n")
    mapped = cli(*where, "mapped", 2, UNKNOWN, "--cb-out", 0)
    assert mapped.returncode == 1 and mapped.stdout.startswith("result: 1801 (")
    assert cli(*where, "command", 13, 0, "OFFICE").stdout == "result: FALSE\n"
    assert cli(*where, "command2", 13, 1, "OFFICE", "x").returncode == 0
    assert (cli(*where, "probe").stdout, cli(*where, "write-flash", 10, "--printer", "OFFICE",
                                              "--in", "00200000 aabb").returncode) == ("listening\n", 0)


USAGE_ERRORS = [
    (["config"], "config needs --printer NAME"),
    (["counter", "purple", "--printer", "P"], "KIND is mono, color"),
    (["flash", "256", "--printer", "P"], "a selector is a number from 0 to 255"),
    (["write-bins", "--printer", "P"], "--in"),
    (["request", "2", "P", "--printer", "Q"], "give the printer once"),
    (["bins", "--printer", "P", "--json", "--hex"], "--json and --hex exclude each other"),
    (["config", "--printer", "P", "--in", "00"], "unrecognized arguments: --in"),
    (["request", "2", "--printer", "P", "--in", "0a0"], "--in takes up to 32768 hex bytes"),
    (["command", "one", "2", "P"], "not a number"),
    (["print"], "invalid choice"),
]


def test_usage_errors_exit_2_and_every_command_has_help():
    for args, reason in USAGE_ERRORS:
        done = cli("--port", 1, *args)
        assert done.returncode == 2 and reason in done.stderr, (args, done.stderr)
        assert done.stdout == ""
    for command in ("command", "command2", "request", "mapped", "config", "bins", "calibration",
                    "counter", "flash", "service-settings", "write-bins", "write-flash", "probe",
                    "metrics"):
        done = cli(command, "--help")
        assert done.returncode == 0 and done.stdout.startswith("usage: devicerpc " + command), command
    assert cli("--version").stdout == "devicerpc %s\n" % project_version()


# -- metrics ---------------------------------------------------------------------------------

def samples_of(text):
    """{(sample name, labels as a sorted tuple): value} of an exposition."""
    return {(s.name, tuple(sorted(s.labels.items()))): s.value
            for family in text_string_to_metric_families(text) for s in family.samples}


def test_metrics_for_two_printers_one_failing(port, tmp_path):
    target = tmp_path / "devicerpc.prom"
    done = cli("--port", port, "--host", "127.0.0.1", "metrics", "--printer", "OFFICE",
               "--printer", UNKNOWN, "--output", target)
    assert done.returncode == 0, done.stderr
    assert UNKNOWN in done.stderr and done.stdout == ""
    assert os.listdir(tmp_path) == ["devicerpc.prom"]
    got = samples_of(target.read_text())
    office, unknown = (("printer", "OFFICE"),), (("printer", UNKNOWN),)
    expected = {("devicerpc_printer_up", office): 1, ("devicerpc_printer_up", unknown): 0}
    for name, value in COUNTERS.items():
        expected[("devicerpc_pages_%s_total" % name, office)] = value
    for index, (source, size, width, height, level) in enumerate(BINS):
        labels = (("bin", str(index)), ("printer", "OFFICE"))
        expected[("devicerpc_bin_paper_level", labels)] = level
        expected[("devicerpc_bin_paper_size", labels)] = size
    assert got == expected
    # No printer answers when the server is gone: all down, exit 3.
    done = cli("--port", closed_port(), "metrics", "--printer", "OFFICE", UNKNOWN)
    assert done.returncode == 3
    assert samples_of(done.stdout) == {("devicerpc_printer_up", office): 0,
                                       ("devicerpc_printer_up", unknown): 0}


# -- installation ----------------------------------------------------------------------------

def test_installs_into_a_venv_the_documented_way(tmp_path):
    source = tmp_path / "src"
    shutil.copytree(PACKAGE, source, ignore=shutil.ignore_patterns("__pycache__", "tests"))
    venv = tmp_path / "venv"
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", venv], check=True,
                   timeout=300)
    pip = subprocess.run([venv / "bin" / "pip", "install", "--no-index", "--no-build-isolation", "--no-deps",
                          source], capture_output=True, text=True, timeout=300)
    assert pip.returncode == 0, pip.stdout + pip.stderr
    done = subprocess.run([venv / "bin" / "devicerpc", "--help"], capture_output=True, text=True,
                          timeout=60, cwd=tmp_path)
    assert done.returncode == 0 and "metrics" in done.stdout, done.stderr
    where = subprocess.run([venv / "bin" / "python", "-c", "import devicerpc; print(devicerpc.__file__)"],
                           capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert where.stdout.startswith(str(venv)), where.stdout
    # The gateway's templates and style sheet are installed with it.
    check = "from devicerpc.gateway import pages, service; pages.environment().get_template('printer.html')"
    pages = subprocess.run([venv / "bin" / "python", "-c", check],
                           capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert pages.returncode == 0, pages.stderr
    style = venv.glob("lib/python3*/site-packages/devicerpc/gateway/static/style.css")
    assert list(style), "style.css not installed"
