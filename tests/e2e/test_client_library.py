"""The client library (DeviceRpcApi.dll) against the real server and the
reference language monitor, driven by ApiDriver: every typed call over each
protocol sequence and way of opening a session, one session from many
threads, each kind of failing status, and the call time-out against a
monitor that answers late. The C sample reads the demo printer."""
import json
import os
import select

import pytest
from harness.env import bin_dir
from harness.monitorsim import MonitorSim

# samples/office.printer, as its records come back.
CONFIG = {"record_length": 32, "cassettes": 3, "duplex": 1, "firmware": 0x00020105}
BINS = [[32, 1, 9, 2100, 2970, 80], [32, 2, 9, 2100, 2970, 35], [32, 4, 11, 1480, 2100, 0]]
CALIBRATION = bytes(range(0x10, 0x4C)).hex()
SERVICE = "010002000300040005000600070008000900"
COUNTERS = [(0, 15230), (2, 8412), (5, 17090), (6, 6120), (7, 5981), (8, 6304), (1, 23642)]
FLASH = {0: (0x1000, "4f46464943452d37"), 10: (0x100A, "deadbeef00010203")}

OK, ARGUMENT, TRANSPORT, FALSE, WIN32, REPLY = range(6)
TIMED_OUT = 1818


def start_monitor(wine, *options):
    return MonitorSim(wine, *options, register=True)


def binding(wine, protseq):
    """Each protocol sequence opened another way: from the endpoint map,
    from a string binding, and from host and port."""
    if protseq == "ncalrpc":
        return ["--protseq", "ncalrpc", "--resolve"]
    if protseq == "ncacn_np":
        # A string binding escapes the endpoint's backslashes.
        return ["--binding", r"ncacn_np:[\\pipe\\ZOLT7]"]
    return ["--protseq", "ncacn_ip_tcp", "--host", "127.0.0.1", "--endpoint",
            str(wine.listening_tcp_ports()[0])]


def drive(wine, *args, timeout=120):
    """Runs ApiDriver; its answers, the session's opening first."""
    done = wine.run("ApiDriver.exe", *args, timeout=timeout)
    assert done.returncode == 0, (args, done.stdout, done.stderr)
    answers = [json.loads(line) for line in done.stdout.splitlines()]
    assert answers[0] == {"op": "open", "status": OK, "code": 0}, answers[0]
    return answers[1:]


class Answers:
    """The lines of a running ApiDriver, read unbuffered with a deadline."""

    def __init__(self, proc):
        self.fd = proc.stdout.fileno()
        self.pending = b""

    def next(self, timeout=30):
        while b"\n" not in self.pending:
            ready, _, _ = select.select([self.fd], [], [], timeout)
            assert ready, "ApiDriver gave no answer within %d s" % timeout
            chunk = os.read(self.fd, 4096)
            assert chunk, "ApiDriver ended early"
            self.pending += chunk
        line, _, self.pending = self.pending.partition(b"\n")
        return json.loads(line)


@pytest.mark.parametrize("protseq", ["ncalrpc", "ncacn_np", "ncacn_ip_tcp"])
def test_typed_calls_and_one_session_from_many_threads(wine, server, protseq):
    start_monitor(wine)
    bound = binding(wine, protseq)
    sample = wine.run("PrinterStatusSample.exe", "Office Color 7",
                      *(["ncacn_ip_tcp", "127.0.0.1", bound[-1]] if protseq == "ncacn_ip_tcp"
                        else [protseq]))
    assert sample.returncode == 0, sample.stderr
    assert sample.stdout.splitlines() == [
        "printer: Office Color 7", "cassettes 3, duplex 1, firmware 0x00020105",
        "bin  source  size  width  height  level", "0    1       9     2100   2970    80",
        "1    2       9     2100   2970    35", "2    4       11    1480   2100    0"]

    ops = ["config", "bins", "calibration", "service"]
    for selector, _ in COUNTERS:
        ops += ["counter", str(selector)]
    ops += ["flash", "0", "flash", "10", "+mapped", "config", "bins", "counter", "2", "flash", "10",
            "-mapped", "command", "13", "0", "x", "command2", "13", "1", "y",
            "request", "9", "06", "1", "4", "+mapped", "request", "2", "", "0", "null", "-mapped",
            "write-bins", "01020000000900000034080000" "9a0b00005a000000", "bins",
            "write-flash", "10", "00200000aabb", "flash", "10", "threads", "8", "5"]
    answers = iter(drive(wine, *bound, "--printer", "office", *ops))

    def expect(op, status=OK, code=0, **fields):
        got = next(answers)
        assert (got["op"], got["status"], got["code"]) == (op, status, code), got
        for name, value in fields.items():
            assert got[name] == value, (name, got)

    expect("config", **CONFIG)
    expect("bins", bins=BINS)
    expect("calibration", data=CALIBRATION)
    expect("service", data=SERVICE)
    for _, value in COUNTERS:
        expect("counter", value=value)
    for selector in (0, 10):
        expect("flash", id=FLASH[selector][0], size=8, data=FLASH[selector][1])
    # The same records through the shared memory.
    expect("config", **CONFIG)
    expect("bins", bins=BINS)
    expect("counter", value=8412)
    expect("flash", id=0x100A, size=8, data="deadbeef00010203")
    # Command 13 fails unless its parameter is 1.
    expect("command", FALSE)
    expect("command2")
    # Raw requests: the cyan counter by its selector; opnum 3 with a null
    # output size, which the server refuses.
    expect("request", out_size=4, out="e8170000")
    expect("request", WIN32, 87, out_size=0)
    # Writes, read back: bin 1 filled to 90, flash item 10 replaced.
    expect("write-bins")
    expect("bins", bins=[BINS[0], [32, 2, 9, 2100, 2970, 90], BINS[2]])
    expect("write-flash")
    expect("flash", id=0x2000, size=2, data="aabb")
    expect("threads", threads=8, calls=8 * 5 * 3, failures=0, mismatches=0)


def test_each_kind_of_failure_has_its_own_status(wine, server):
    # Nobody at the endpoint: the transport fails.
    nobody = drive(wine, "--protseq", "ncalrpc", "--endpoint", "NobodyHere", "config")
    assert (nobody[0]["status"], nobody[0]["code"]) == (TRANSPORT, 1722)
    # No language monitor: opnum 2 answers FALSE, opnum 3 error 6.
    alone = drive(wine, "config", "+mapped", "config", "counter", "3")
    assert [(a["status"], a["code"]) for a in alone] == [(FALSE, 0), (WIN32, 6), (ARGUMENT, 4)]
    # A mapped reply 12 bytes long is no ConfigReply: refused whole.
    start_monitor(wine, "--mapped-size", "12")
    short = drive(wine, "+mapped", "config", "-mapped", "config")
    assert (short[0]["status"], short[0]["code"], short[0]["cassettes"]) == (REPLY, 12, 0)
    assert (short[1]["status"], short[1]["cassettes"]) == (OK, 3)


@pytest.mark.parametrize("protseq", ["ncalrpc", "ncacn_np", "ncacn_ip_tcp"])
def test_time_out_bounds_every_call_to_a_late_monitor(wine, server, protseq):
    monitor = start_monitor(wine, "--delay-ms", "2000")
    bound = binding(wine, protseq)
    # Without a time-out the late answer is waited for.
    waited = drive(wine, *bound, "config")[0]
    assert (waited["status"], waited["cassettes"]) == (OK, 3)
    assert waited["ms"] >= 1900, waited

    driver = wine.popen(os.path.join(bin_dir(), "ApiDriver.exe"), *bound, "--timeout", "500",
                        "config", "+mapped", "config", "-mapped", "command", "1", "0", "x",
                        "wait", "config")
    answers = Answers(driver)
    assert answers.next()["status"] == OK
    for op in ("config", "config", "command"):
        late = answers.next()
        assert (late["op"], late["status"], late["code"]) == (op, TRANSPORT, TIMED_OUT), late
        assert 450 <= late["ms"] < 1500, late
    # The session still works: with the monitor gone the next call is
    # answered at once.
    assert monitor.stop() == 0
    driver.stdin.write("go\n")
    driver.stdin.flush()
    after = answers.next()
    assert (after["status"], after["code"]) == (FALSE, 0) and after["ms"] < 500, after
    assert driver.wait(timeout=30) == 0
