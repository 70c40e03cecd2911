"""DeviceRpcClient: its command line, its answers through the real server,
its decoded reply tables, and doctor's findings on prepared deployments."""
import json
import os
import re
import subprocess

import pytest
from harness.env import WINESERVER, bin_dir, project_version
from harness.monitorsim import MonitorSim
from harness.prefix import DRIVERS_KEY, MONITORS_KEY, PRINTERS_KEY, STORE_ROOT

LAB = "\\\\PRINTSRV\\Lab Color"
LAB_KEY = STORE_ROOT + "\\,,PRINTSRV,Lab Color"
COMMANDS = ["command", "command2", "request", "mapped", "config", "bins", "calibration", "counter",
            "flash", "service-settings", "write-bins", "write-flash", "probe", "doctor"]
FINDING = re.compile(r"^(ok   |warn |FAIL )\S|^(healthy|not healthy): ")


def client(wine, *args):
    return wine.run("DeviceRpcClient.exe", *args)


def keep_wineserver(wine):
    """Keeps this prefix's wineserver up between the many short runs of a
    test, which would otherwise each start one; the fixture ends it."""
    proc = subprocess.Popen([WINESERVER, "-f", "-p30"], env=wine.env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wine.started.append(proc)


def tcp_binding(wine):
    return ["--protseq", "ncacn_ip_tcp", "--host", "127.0.0.1", "--endpoint", str(wine.listening_tcp_ports()[0])]


def add_printer(wine, subkey, name, share, attributes, driver, status=0):
    key = PRINTERS_KEY + "\\" + subkey
    wine.set_string(key, "Name", name)
    wine.set_string(key, "Share Name", share)
    wine.set_string(key, "Printer Driver", driver)
    wine.set_dword(key, "Attributes", attributes)
    wine.set_dword(key, "Status", status)


def add_driver(wine, driver, monitor):
    wine.set_string(DRIVERS_KEY + "\\" + driver, "Monitor", monitor)


def doctor_lines(done):
    lines = done.stdout.splitlines()
    assert lines and all(FINDING.match(line) for line in lines), done.stdout
    return lines


def has_line(lines, start, *parts):
    return any(line.startswith(start) and all(p in line for p in parts) for line in lines)


# -- command line -----------------------------------------------------------------

def test_version_help_and_every_command_help(wine):
    keep_wineserver(wine)
    done = client(wine, "--version")
    assert (done.returncode, done.stdout.strip()) == (0, "DeviceRpcClient " + project_version())
    shown = client(wine, "--help")
    assert shown.returncode == 0
    for command in COMMANDS:
        assert "\n  " + command in shown.stdout, command
        helped = client(wine, command, "--help")
        assert helped.returncode == 0, command
        assert helped.stdout.startswith("Usage: DeviceRpcClient " + command), command
    assert "--cb-out N" in client(wine, "config", "--help").stdout
    assert "--in HEX" not in client(wine, "config", "--help").stdout
    for tool in ("DeviceRpcCtl", "MonitorSim"):
        done = wine.run(tool + ".exe", "--version")
        assert (done.returncode, done.stdout.strip()) == (0, tool + " " + project_version()), tool


def test_every_executable_carries_the_version_in_its_resource():
    """The server has no command line: its file properties are where an
    admin finds its version, and the package's executables carry theirs."""
    wide = lambda text: text.encode("utf-16-le")
    for exe in ("DeviceRpcServer", "DeviceRpcCtl", "MonitorSim", "DeviceRpcClient"):
        with open(os.path.join(bin_dir(), exe + ".exe"), "rb") as f:
            image = f.read()
        for text in ("ProductVersion\0", project_version() + "\0", exe + ".exe\0"):
            assert wide(text) in image, (exe, text)


USAGE_ERRORS = [
    ([], "no command given"),
    (["print"], "unknown command print"),
    (["config", "--printer", "P", "--bogus"], "unknown option --bogus"),
    (["config"], "config needs --printer NAME"),
    (["config", "--printer", "P", "--in", "00"], "config does not take --in"),
    (["counter", "purple", "--printer", "P"], "KIND is mono, color"),
    (["flash", "256", "--printer", "P"], "SELECTOR must be a number from 0 to 255"),
    (["write-bins", "--printer", "P"], "write-bins needs --in HEX"),
    (["request", "2", "--printer", "P", "--in", "0a0"], "--in takes up to 32768 hex bytes"),
    (["request", "2", "P", "--printer", "Q"], "give the printer once"),
    (["bins", "--printer", "P", "--json", "--hex"], "--json and --hex exclude each other"),
    (["--protseq", "ncacn_ip_tcp", "probe"], "ncacn_ip_tcp needs --endpoint PORT or --resolve"),
    (["--protseq", "ncacn_nb_nb", "probe"], "--protseq is ncalrpc, ncacn_np or ncacn_ip_tcp"),
    (["doctor", "--protseq", "ncalrpc"], "doctor does not take --protseq"),
    (["command", "one", "2", "P"], "CMD and PARAM must be numbers"),
    (["command2", "1", "2", "P"], "usage: DeviceRpcClient command2 CMD PARAM PRINTER ARGUMENT"),
]


def test_usage_errors_exit_2_with_the_reason(wine):
    keep_wineserver(wine)
    for args, reason in USAGE_ERRORS:
        done = client(wine, *args)
        assert done.returncode == 2, (args, done.stdout, done.stderr)
        assert done.stdout == ""
        assert "DeviceRpcClient: " + reason in done.stderr, (args, done.stderr)


def test_no_server_exits_3_and_json_says_unreachable(wine):
    keep_wineserver(wine)
    done = client(wine, "config", "--printer", "Lab")
    assert done.returncode == 3
    assert "server unreachable: 1722" in done.stderr
    answer = json.loads(client(wine, "--json", "--protseq", "ncacn_np", "probe").stdout)
    assert (answer["command"], answer["reachable"], answer["status"]) == ("probe", False, 1722)


# -- through the server, without a language monitor -----------------------------------

def test_requests_through_the_server_over_every_protocol_sequence(wine, server):
    for binding in (["--protseq", "ncalrpc"], ["--protseq", "ncacn_np"], tcp_binding(wine)):
        raw = client(wine, *binding, "request", 2, "--printer", LAB, "--in", "00")
        assert (raw.returncode, raw.stdout) == (1, "result: FALSE\noutput size: 0\n"), binding
        mapped = client(wine, *binding, "mapped", 2, LAB, "--cb-out", 40)
        assert mapped.returncode == 1
        first, size = mapped.stdout.splitlines()
        assert re.match(r"^result: 6 \(.+\)$", first) and "success" not in first, first
        assert size == "output size: 0"
    # Named requests go the same way; nothing is decoded from a failed one.
    answer = json.loads(client(wine, "--json", "counter", "cyan", "--printer", "Lab", "--mapped").stdout)
    assert answer["opnum"] == 3 and answer["request"] == 9 and answer["selector"] == 6
    assert (answer["result"], answer["output_size"], answer["reply"], answer["hex"]) == (6, 0, None, "")
    nulled = client(wine, "config", "--printer", "Lab", "--null-out")
    assert (nulled.returncode, nulled.stdout) == (1, "result: FALSE\noutput size: (null)\n")
    hexed = client(wine, "bins", "--printer", "Lab", "--hex")
    assert (hexed.returncode, hexed.stdout) == (1, "")
    assert "result: FALSE" in hexed.stderr
    assert client(wine, "command2", 1, 2, "Lab", "x").stdout == "result: FALSE\n"


# -- decoded replies, through the server and the reference language monitor -----------

def start_monitor(wine):
    if not os.path.exists(os.path.join(bin_dir(), "MonitorSim.exe")):
        pytest.skip("MonitorSim.exe is not built")
    return MonitorSim(wine, register=True)


def test_named_requests_decode_their_records(wine, server):
    start_monitor(wine)
    config = client(wine, "config", "--printer", "office")
    assert config.returncode == 0
    assert config.stdout.splitlines()[2:] == [
        "field          value       hex",
        "record length  32          0x00000020",
        "cassettes      3           0x00000003",
        "duplex         1           0x00000001",
        "firmware       131333      0x00020105"]
    bins = json.loads(client(wine, "--json", "bins", "--printer", "OFFICE").stdout)["reply"]["bins"]
    assert [(b["source"], b["size"], b["width"], b["height"], b["level"]) for b in bins] == [
        (1, 9, 2100, 2970, 80), (2, 9, 2100, 2970, 35), (4, 11, 1480, 2100, 0)]
    assert client(wine, "counter", "io", "--printer", "OFFICE").stdout.splitlines()[-1].split() == [
        "io", "1", "23642"]
    flash = json.loads(client(wine, "flash", 0, "--printer", "OFFICE", "--json", "--mapped").stdout)
    assert (flash["result_text"], flash["reply"]) == ("success", {"id": 0x1000, "size": 8, "data": "4f46464943452d37"})
    service = client(wine, "service-settings", "--printer", "OFFICE", "--hex")
    assert service.stdout == ("01 00 02 00 03 00 04 00 05 00 06 00 07 00 08 00\n09 00\n")
    # A write through its named command, then read back.
    done = client(wine, "write-flash", 10, "--printer", "OFFICE", "--in", "00200000 aabb")
    assert done.returncode == 0 and done.stdout.startswith("result: TRUE\n")
    flash = json.loads(client(wine, "--json", "flash", 10, "--printer", "OFFICE").stdout)
    assert flash["reply"] == {"id": 0x2000, "size": 2, "data": "aabb"}
    assert flash["hex"] == "00200000aabb"

    healthy = client(wine, "doctor", "--endpoint", wine.listening_tcp_ports()[0])
    lines = doctor_lines(healthy)
    assert healthy.returncode == 0, healthy.stdout
    assert has_line(lines, "ok   ", '"LP Window handle"', "is a live window")
    assert has_line(lines, "ok   ", 'printer "Office Color 7"', 'share name "OFFICE"')
    assert has_line(lines, "ok   ", "answers on ncacn_ip_tcp")
    assert lines[-1].startswith("healthy: ")


# -- doctor on prepared deployments -------------------------------------------------------

def test_doctor_on_an_empty_machine(wine):
    keep_wineserver(wine)
    done = client(wine, "doctor")
    lines = doctor_lines(done)
    assert done.returncode == 1
    assert has_line(lines, "FAIL ", "Monitors key", "is missing", "-> start the ZOLT7 Monitor")
    assert has_line(lines, "FAIL ", "spooler's printers key", "is missing")
    assert has_line(lines, "FAIL ", "the server is not running", "-> start DeviceRpcServer.exe")
    assert has_line(lines, "FAIL ", "no answer on ncalrpc endpoint MirelVEXA2xZOLT7")
    assert has_line(lines, "warn ", "ncacn_ip_tcp not checked")
    assert lines[-1].startswith("not healthy: ")


def test_doctor_findings_on_a_broken_deployment(wine, server):
    wine.set_binary(MONITORS_KEY, "LP Window handle", (0x7654321).to_bytes(8, "little"))
    add_driver(wine, "Lab Driver", "ZOLT7 Monitor")
    add_driver(wine, "Case Driver", "zolt7 monitor")
    add_driver(wine, "Other Driver", "Standard TCP/IP Port")
    add_printer(wine, ",,PRINTSRV,Lab Color", LAB, "LAB", 0x8, "Lab Driver")
    add_printer(wine, "Old", "Old Lab", "LAB", 0x8, "Lab Driver")
    add_printer(wine, "Going", "Going", "", 0, "Lab Driver", status=0x4)
    add_printer(wine, "Cased", "Cased", "", 0, "Case Driver")
    add_printer(wine, "Desk", "Front Desk", "", 0, "Other Driver")
    wine.set_binary(LAB_KEY + r"\Driver\Config", "Acquired", bytes(8))
    wine.set_dword(LAB_KEY + r"\Driver\BinInfo", "Written", 1)
    wine.set_binary(LAB_KEY + r"\Driver\Calibration", "Acquired", b"\x01")
    port = wine.listening_tcp_ports()[0]

    done = client(wine, "doctor", "--endpoint", port)
    lines = doctor_lines(done)
    assert done.returncode == 1
    assert has_line(lines, "FAIL ", '"LP Window handle" 0x7654321 is not a window', "-> restart the ZOLT7 Monitor")
    assert has_line(lines, "FAIL ", 'printer "Going" is pending deletion')
    assert has_line(lines, "FAIL ", 'printer "Cased"', '"zolt7 monitor"', 'exactly "ZOLT7 Monitor"')
    # Two printers share LAB; whichever the spooler lists first wins it.
    assert has_line(lines, "FAIL ", 'its share name "LAB" reach printer')
    assert has_line(lines, "FAIL ", '"Acquired" in \\Driver\\Config is 8 bytes')
    assert has_line(lines, "FAIL ", '"Written" in \\Driver\\BinInfo\\ is 4 bytes; the server reads at most 1')
    assert has_line(lines, "FAIL ", '"Acquired" is set in \\Driver\\Calibration but "CalibrationData"')
    assert has_line(lines, "warn ", 'printer "Old Lab": no data key')
    assert has_line(lines, "ok   ", "1 other printer uses other monitors")
    for sequence in ("ncalrpc", "ncacn_np", "ncacn_ip_tcp"):
        assert has_line(lines, "ok   ", "DeviceRpc answers on " + sequence)
    assert has_line(lines, "ok   ", "control events")

    # One printer by share name; the JSON form carries the same findings.
    answer = json.loads(client(wine, "doctor", "--printer", "lab", "--json").stdout)
    assert answer["healthy"] is False
    whats = [f["what"] for f in answer["findings"]]
    assert any(w.startswith('"lab" resolves to printer') for w in whats)
    assert not any("Going" in w or "Cased" in w for w in whats)
    assert all(f["remedy"] for f in answer["findings"] if f["level"] == "fail")
