"""PrinterStatusMonitor against the real server and MonitorSim, in a prefix
of its own on a virtual X display (harness.display). MonitorDriver reads
the window as a person sees it, through the controls: the printer list,
the bins' level bars and texts, configuration, counters, the last read,
the alerts and the status bar. Command-line errors go to standard error
with exit status 2."""
import json
import os
import re
import time

import pytest
from harness import display
from harness.controller import Controller
from harness.env import project_version
from harness.monitorsim import MonitorSim

MONITOR = "PrinterStatusMonitor.exe"
DESKTOP = "statusmonitor"
SETTINGS_KEY = r"HKCU\Software\DeviceRpc\PrinterStatusMonitor"
# The window's control identifiers, as docs/PrinterStatusMonitor.md lists them.
PRINTERS, COUNTERS, LAST_READ, ALERTS, REFRESH, HIDE = 101, 171, 180, 191, 200, 201
OPEN = 302  # the notification icon's menu item

OFFICE = "Office Color 7"
# samples/office.printer as the window shows it.
BINS = [(80, "Bin 1 (Upper)", "A4, 210 \u00d7 297 mm, level 80 %"),
        (35, "Bin 2 (Lower)", "A4, 210 \u00d7 297 mm, level 35 %"),
        (0, "Bin 3 (Manual)", "A5, 148 \u00d7 210 mm, empty")]
COUNTERS_SHOWN = [("Monochrome", 15230), ("Colour", 8412), ("Black", 17090), ("Cyan", 6120),
                  ("Magenta", 5981), ("Yellow", 6304), ("I/O", 23642)]
UNKNOWN = "No Such Printer"
# Bin 1 written empty, with a paper code the monitor has no name for:
# index 0, then source 1, size 999, width 2159, height 2794, level 0.
EMPTY_BIN_1 = "00" "01000000" "e7030000" "6f080000" "ea0a0000" "00000000"


@pytest.fixture(scope="module")
def xvfb():
    """A virtual display of this module's own."""
    started = display.VirtualDisplay.start()
    yield started
    started.stop()


@pytest.fixture(scope="module")
def screen(xvfb):
    """A prefix booted on the module's display."""
    prefix = display.graphical_prefix(xvfb)
    yield prefix
    prefix.close()


@pytest.fixture
def desk(screen):
    """The display's prefix with nothing running, no device data and no
    remembered printers."""
    screen.stop_all()
    screen.clear_device_tree()
    screen.delete_key(SETTINGS_KEY)
    yield screen
    screen.stop_all()


def start_server(prefix, *monitor_options):
    """A listening server and MonitorSim with the sample printer."""
    controller = Controller(prefix)
    controller.launch_and_start()
    MonitorSim(prefix, *monitor_options, register=True)
    return controller


def drive(prefix, *ops, timeout=120):
    """Runs MonitorDriver on the monitor's desktop; its answers by order."""
    done = prefix.run("MonitorDriver.exe", "--desktop", DESKTOP, "find", 30000, *ops,
                      timeout=timeout)
    assert done.returncode == 0, (ops, done.stdout, done.stderr)
    answers = [json.loads(line) for line in done.stdout.splitlines()]
    assert answers[0]["found"] and answers[0]["title"] == "Printer Status Monitor", answers[0]
    return answers[1:]


def digits(text):
    return int(re.sub(r"\D", "", text))


def check_sample_printer(shown):
    """The sample printer's values, as a dump shows them."""
    assert [(b["pos"], b["high"], b["label"], b["text"]) for b in shown["bins"]] == [
        (pos, 100, label, text) for pos, label, text in BINS]
    assert (shown["duplex"], shown["cassettes"], shown["firmware"]) == (
        "Duplex: yes", "Cassettes: 3", "Firmware: 0x00020105")
    assert [(name, digits(value)) for name, value in shown["counters"]] == COUNTERS_SHOWN


BAD_LINES = [
    (["--printer", "x" * 5000],
     "--printer takes a printer name of 1 to 259 characters; this one has 5000"),
    (["--binding", "ncacn_ip_tcp:printsrv[49703"],
     "--binding: not a string binding (RPC status 1700"),
    (["--server", "printsrv", "--binding", "ncalrpc:"],
     "--server and --binding cannot be used together"),
    (["--interval", "0"], "--interval takes seconds from 1 to 86400: 0"),
    (["--low", "101"], "--low takes a level from 0 to 100: 101"),
    (["--printer"], "--printer needs a printer name"),
    (["--colour"], "unknown option --colour"),
]


def test_command_line_help_version_errors_and_resources(screen):
    for args, message in BAD_LINES:
        done = screen.run(MONITOR, *args)
        assert done.returncode == 2, (args, done.stderr)
        assert done.stderr.splitlines()[0].startswith("PrinterStatusMonitor: " + message), (
            args, done.stderr)
    version = screen.run(MONITOR, "--version")
    assert (version.returncode, version.stdout) == (
        0, "PrinterStatusMonitor %s\n" % project_version())
    help_text = screen.run(MONITOR, "--help")
    assert help_text.returncode == 0
    flat = " ".join(help_text.stdout.split())
    for part in ("--printer NAME", "--server HOST", "--binding STRING", "--interval SECONDS",
                 "--low N", "level 0 is shown as empty", "Both are assumptions about the printer"):
        assert part in flat, part
    # The version resource carries the project's version, the manifest
    # common controls 6 and per-monitor DPI awareness.
    with open(screen.exe_path(MONITOR), "rb") as f:
        image = f.read()
    for text in ("FileVersion", project_version(), "OriginalFilename", "PrinterStatusMonitor.exe"):
        assert text.encode("utf-16-le") in image, text
    for text in (b"Microsoft.Windows.Common-Controls", b"PerMonitorV2", b"true/pm"):
        assert text in image, text


def test_sample_printer_as_a_person_sees_it(desk, xvfb, tmp_path):
    start_server(desk)
    display.start_in_desktop(desk, DESKTOP, MONITOR, "--printer", OFFICE, "--printer", UNKNOWN,
                             "--interval", 3, "--timeout", 5)
    first, second, shown, tabs, alt, _, unknown, _, back, placed = drive(
        desk, "until", PRINTERS, "bin 3 empty", 20000, "until", PRINTERS, "unknown printer", 10000,
        "dump", "tab", 5, "alt", "c", "select", 1, "dump", "select", 0, "alt", "p", "dump")
    assert first["found"] and second["found"], (first, second)
    assert shown["printers"] == [[OFFICE, "bin 3 empty"],
                                 [UNKNOWN, "unknown printer or no monitor"]]
    assert shown["name"] == OFFICE
    check_sample_printer(shown)
    assert shown["last_read"].startswith("Read at "), shown["last_read"]
    assert sorted(text for _, text in shown["alerts"]) == [
        "No Such Printer: unknown printer or no monitor.", "Office Color 7: bin 3 is empty."]
    assert shown["status"] == ("Office Color 7: bin 3 empty; "
                               "No Such Printer: unknown printer or no monitor")
    # Tab goes round printers, counters, alerts and the two buttons; the
    # access key of "Page counters" goes to its list.
    assert (shown["focus"], tabs["focus"], alt["focus"], back["focus"]) == (
        PRINTERS, [COUNTERS, ALERTS, REFRESH, HIDE, PRINTERS], COUNTERS, PRINTERS)
    assert unknown["name"] == UNKNOWN and [b["text"] for b in unknown["bins"]] == ["\u2013"] * 3
    assert "it does not know a printer of this name" in unknown["last_read"], unknown["last_read"]

    shot = os.environ.get("DEVICERPC_SCREENSHOT") or str(tmp_path / "status-monitor.png")
    display.screenshot(xvfb, shot, placed["rect"])
    with open(shot, "rb") as f:
        head = f.read(24)
    width, height = int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big")
    left, top, right, bottom = placed["rect"]
    assert head[:8] == b"\x89PNG\r\n\x1a\n" and (width, height) == (right - left, bottom - top)

    # Bin 1 written empty: its alert after the next refresh (3 s interval,
    # 5 s time-out), and each alert once however many refreshes follow.
    written = desk.run("DeviceRpcClient.exe", "write-bins", "--in", EMPTY_BIN_1,
                       "--printer", OFFICE)
    assert written.returncode == 0, written.stdout + written.stderr
    alerted, = drive(desk, "until", ALERTS, "Office Color 7: bin 1 is empty.", 8000)
    assert alerted["found"], alerted
    time.sleep(7)
    later, closed = drive(desk, "dump", "close", 10000)
    assert (later["bins"][0]["pos"], later["bins"][0]["text"]) == (
        0, "999, 215.9 \u00d7 279.4 mm, empty")
    assert sorted(text for _, text in later["alerts"]) == [
        "No Such Printer: unknown printer or no monitor.", "Office Color 7: bin 1 is empty.",
        "Office Color 7: bin 3 is empty."]
    assert later["printers"][0] == [OFFICE, "bin 1 empty, bin 3 empty"]
    assert closed["exited"], closed

    # The next start without --printer watches the same printers.
    display.start_in_desktop(desk, DESKTOP, MONITOR, "--interval", 3)
    again, = drive(desk, "until", PRINTERS, "bin 1 empty", 20000)
    assert again["found"], again
    assert [row[0] for row in drive(desk, "dump")[0]["printers"]] == [OFFICE, UNKNOWN]


def test_stopped_server_shows_not_answering(desk):
    controller = start_server(desk)
    binding = "ncacn_ip_tcp:127.0.0.1[%d]" % desk.tcp_port()
    display.start_in_desktop(desk, DESKTOP, MONITOR, "--binding", binding, "--printer", "OFFICE",
                             "--interval", 2, "--timeout", 3)
    read, _, hidden, _, opened = drive(desk, "until", PRINTERS, "bin 3 empty", 20000,
                                       "command", HIDE, "dump", "command", OPEN, "dump")
    assert read["found"], read
    # Hidden to the notification area, and opened again from its menu.
    assert (hidden["visible"], opened["visible"]) == (False, True)
    assert controller.send("terminate").startswith("signalled")
    assert controller.send("wait-exit 20000") == "exit code 0"
    # Within the time-out plus one interval; alerted once, however many
    # refreshes follow.
    gone, = drive(desk, "until", PRINTERS, "not answering", 5000)
    assert gone["found"], gone
    time.sleep(4.5)
    shown, = drive(desk, "dump")
    assert shown["printers"] == [["OFFICE", "not answering"]]
    assert ("the server at %s is not answering (RPC status" % binding) in shown["last_read"]
    assert "The values shown were read at" in shown["last_read"]
    check_sample_printer(shown)
    assert [text for _, text in shown["alerts"]].count("OFFICE is not answering.") == 1


def test_window_answers_while_a_read_hangs_and_closes_within_the_time_out(desk):
    # Each answer takes 10 s; the session gives up after 5.
    start_server(desk, "--delay-ms", 10000)
    display.start_in_desktop(desk, DESKTOP, MONITOR, "--printer", OFFICE, "--timeout", 5)
    ping, waiting, gave_up, _, again, closed = drive(
        desk, "ping", 2000, "dump", "until", PRINTERS, "not answering", 15000,
        "command", REFRESH, "ping", 2000, "close", 5000)
    assert ping["answered"] and again["answered"], (ping, again)
    assert waiting["printers"] == [[OFFICE, "not read yet"]]
    assert gave_up["found"], gave_up
    assert closed["exited"] and closed["ms"] < 5000, closed


def test_a_server_that_does_not_exist(desk):
    display.start_in_desktop(desk, DESKTOP, MONITOR, "--server", "no-such-host.invalid",
                             "--printer", OFFICE, "--timeout", 2)
    shown, = drive(desk, "until", LAST_READ, "is not answering", 60000)
    assert shown["found"], shown
    assert "the server on no-such-host.invalid is not answering (RPC status" in shown["text"]
