"""MonitorSim, the reference language monitor: its window handle, its
answers to the server's messages and its fault modes, driven through the
real server and DeviceRpcClient."""
import os
import struct
import time

from harness.env import ROOT, to_windows_path
from harness.prefix import MONITORS_KEY, PRINTERS_KEY, STORE_ROOT
from harness.printers import (BINS, CALIBRATION, COUNTERS, LAB_KEY, LAB_NAME, SERVICE,
                              bin_records, config_record, lab_monitor)

SAMPLE = os.path.join(ROOT, "samples", "office.printer")
HANDLE_VALUE = "LP Window handle"

# -- helpers -----------------------------------------------------------------

def window_value(wine):
    """The stored window handle as a number, or None without a value."""
    return wine.number_value(MONITORS_KEY, HANDLE_VALUE)


def client(wine, *args):
    return wine.run("DeviceRpcClient.exe", *args)


def request(wine, kind, code, printer, *options):
    """(exit code, result text, output bytes or None) of one device request."""
    done = client(wine, kind, code, printer, *options)
    lines = done.stdout.splitlines()
    assert lines and lines[0].startswith("result: "), (done.stdout, done.stderr)
    size_line = lines[1]
    size = int(size_line.split(":")[1]) if "(null)" not in size_line else None
    data = bytes.fromhex("".join(lines[2:])) if size else b""
    return done.returncode, lines[0][len("result: "):], size, data


def command_block(command, param, name, argument=None):
    encoded = name.encode("utf-16-le") + b"\0\0"
    argument_offset = 0 if argument is None else 18 + 2 * len(name)
    block = struct.pack("<iiII", command, param, 16, argument_offset) + encoded
    if argument is not None:
        block += argument.encode("utf-16-le") + b"\0\0"
    return block


# -- window handle and process life ------------------------------------------

def test_handle_stored_then_deleted_at_end_of_stdin(wine, tmp_path):
    sim = lab_monitor(wine, tmp_path)
    kind, raw = wine.get_value(MONITORS_KEY, HANDLE_VALUE)
    assert kind == "REG_BINARY" and len(bytes.fromhex(raw)) == 8
    assert window_value(wine) == sim.hwnd != 0
    assert sim.stop() == 0
    assert wine.get_value(MONITORS_KEY, HANDLE_VALUE) is None


def test_handle_as_dword_and_exit_after_timeout(wine, tmp_path):
    sim = lab_monitor(wine, tmp_path, "--handle-bytes", 4, "--exit-after-ms", 1500)
    assert wine.get_value(MONITORS_KEY, HANDLE_VALUE)[0] == "REG_DWORD"
    assert window_value(wine) == sim.hwnd
    assert sim.proc.wait(timeout=30) == 0
    assert wine.get_value(MONITORS_KEY, HANDLE_VALUE) is None


def test_exit_keeps_the_handle_of_a_later_instance(wine, tmp_path):
    first = lab_monitor(wine, tmp_path)
    second = lab_monitor(wine, tmp_path)
    assert first.hwnd != second.hwnd
    assert first.stop() == 0
    assert window_value(wine) == second.hwnd


def test_usage(wine, tmp_path):
    shown = wine.run("MonitorSim.exe", "--help")
    assert shown.returncode == 0
    for option in ("--printer", "--register-printers", "--log", "--handle-bytes", "--exit-after-ms",
                   "--no-stdin", "--delay-ms", "--leave-flag", "--always-fail", "--die-in-message",
                   "--die-holding-mutex", "--no-handshake", "--value-size", "--flash-size", "--echo",
                   "--mapped-fail", "--mapped-size", "--hold-mapping"):
        assert option in shown.stdout
    for bad in (["--bogus"], ["--handle-bytes", "6"], ["--die-holding-mutex", "11"],
                ["--value-size", "dwDuplx=4"], ["--printer", to_windows_path(str(tmp_path / "none"))]):
        done = wine.run("MonitorSim.exe", *bad)
        assert done.returncode == 2, bad
        assert "MonitorSim:" in done.stderr
    assert wine.get_value(MONITORS_KEY, HANDLE_VALUE) is None


def test_description_errors_name_the_line(wine, tmp_path):
    cases = [
        ("name = early\n", 1, "before the first [printer]"),
        ("[printer]\nname = a\ncolour = 1\n", 3, "unknown key: colour"),
        ("[printer]\nname = a\nbin.3 = 1 2 3 4 5\n", 3, "bin.0"),
        ("[printer]\nname = a\ncalibration = " + "00" * 61 + "\n", 3, "60"),
        ("[printer]\nname = a\nflash.12.id = 1\n", 3, "service"),
        ("[printer]\nname = a\ncommand.5 = maybe\n", 3, "ok, fail or leave"),
        ("[printer]\nshare = a\n[printer]\nname = b\n", 1, "without \"name =\""),
        ("[printer]\nname = a\n[printer]\nname = A\n", 3, "duplicate printer name"),
    ]
    path = tmp_path / "bad.printer"
    for text, line, words in cases:
        path.write_text(text)
        done = wine.run("MonitorSim.exe", "--printer", to_windows_path(str(path)))
        assert done.returncode == 2, text
        assert "bad.printer:%d:" % line in done.stderr and words in done.stderr, (text, done.stderr)


# -- commands ------------------------------------------------------------------

def test_verdicts_by_command_and_param(wine, server, tmp_path):
    sim = lab_monitor(wine, tmp_path)
    cases = [(["command", 1, 0], True, 0), (["command", 7, 0], False, 1),
             (["command", 7, 3], True, 0), (["command2", 7, 4, LAB_NAME, "x"], False, 1),
             (["command2", 7, 3, LAB_NAME, "x"], True, 0)]
    for args, ok, flag in cases:
        full = args if len(args) > 3 else args + [LAB_NAME]
        done = client(wine, *full)
        assert done.stdout.strip() == ("result: TRUE" if ok else "result: FALSE"), args
        assert wine.number_value(MONITORS_KEY, LAB_NAME) == flag, args
    # "leave": the flag keeps what it held before.
    wine.set_dword(MONITORS_KEY, LAB_NAME, 5)
    assert client(wine, "command", 8, 0, LAB_NAME).returncode == 1
    assert wine.number_value(MONITORS_KEY, LAB_NAME) == 5
    # A printer MonitorSim does not know fails.
    assert client(wine, "command", 1, 0, "Nobody").returncode == 1
    assert wine.number_value(MONITORS_KEY, "Nobody") == 1
    assert sim.stop() == 0


def test_flag_is_named_by_the_client_name(wine, server, tmp_path):
    lab_monitor(wine, tmp_path, "--register-printers")
    assert wine.get_value(PRINTERS_KEY + r"\,,PRINTSRV,Lab Color", "Share Name") == ("REG_SZ", "LAB")
    assert client(wine, "command", 1, 0, "lab").stdout.strip() == "result: TRUE"
    assert wine.get_value(MONITORS_KEY, "lab") == ("REG_DWORD", "0x0")
    assert wine.get_value(MONITORS_KEY, LAB_NAME) is None


def test_log_holds_each_block_byte_for_byte(wine, server, tmp_path):
    sim = lab_monitor(wine, tmp_path)
    client(wine, "command", -1, 0x7FFFFFFF, "Lab", "ignored")
    client(wine, "command2", 2, 3, "Lab", "")
    client(wine, "command2", 4, 5, "", "arg")
    assert sim.messages() == [
        (5, 24, command_block(-1, 0x7FFFFFFF, "Lab")),
        (6, 26, command_block(2, 3, "Lab", "")),
        (6, 26, command_block(4, 5, "", "arg")),
    ]


def test_sample_printer_answers_by_share_name(wine, server, tmp_path):
    lab_monitor(wine, tmp_path, "--register-printers", printers=[SAMPLE])
    assert client(wine, "command", 1, 0, "office").returncode == 0
    assert client(wine, "command", 13, 0, "OFFICE").returncode == 1
    assert client(wine, "command", 13, 1, "OFFICE").returncode == 0


def test_flag_faults(wine, server, tmp_path):
    for option, preset, ok, flag in (("--leave-flag", 1, False, 1), ("--leave-flag", 0, True, 0),
                                     ("--always-fail", 0, False, 1)):
        wine.set_dword(MONITORS_KEY, "Lab", preset)
        sim = lab_monitor(wine, tmp_path, option)
        assert (client(wine, "command", 1, 0, "Lab").returncode == 0) == ok, option
        assert wine.number_value(MONITORS_KEY, "Lab") == flag, option
        assert sim.stop() == 0


def test_delay_answers_late_but_answers(wine, server, tmp_path):
    lab_monitor(wine, tmp_path, "--delay-ms", 2000)
    started = time.monotonic()
    done = client(wine, "command", 7, 0, LAB_NAME)
    assert time.monotonic() - started >= 2.0
    assert done.stdout.strip() == "result: FALSE"


def test_die_in_message_leaves_the_handle(wine, server, tmp_path):
    sim = lab_monitor(wine, tmp_path, "--die-in-message", 6)
    assert client(wine, "command", 1, 0, "Lab").returncode == 0  # code 5 is answered
    client(wine, "command2", 1, 0, "Lab", "x")
    assert sim.proc.wait(timeout=30) == 3
    assert window_value(wine) == sim.hwnd
    assert [m[0] for m in sim.messages()] == [5, 6]


# -- device requests -----------------------------------------------------------

def test_registry_and_mapped_replies(wine, server, tmp_path):
    # By share name: the data must land under the resolved local name.
    lab_monitor(wine, tmp_path, "--register-printers")
    cases = [
        (2, None, config_record()),
        (3, None, bin_records()),
        (4, None, CALIBRATION),
        (9, 2, struct.pack("<I", COUNTERS["color"])),
        (9, 3, struct.pack("<I", COUNTERS["io"])),
        (11, 0, struct.pack("<I", 0x1000) + bytes.fromhex("4f464649")),
        (11, 10, struct.pack("<I", 0x100A) + bytes.fromhex("deadbeef00010203")),
        (11, 12, SERVICE),
    ]
    for code, selector, reply in cases:
        options = ["--in", "%02x" % selector] if selector is not None else []
        assert request(wine, "request", code, "LAB", *options) == (0, "TRUE", len(reply), reply), code
        assert request(wine, "mapped", code, "LAB", *options) == (0, "0 (success)", len(reply), reply), code
    # The counter's selector is the first byte of the array, even when no
    # input byte is sent along: MonitorSim stores every counter.
    color = struct.pack("<I", COUNTERS["color"])
    assert request(wine, "request", 9, "LAB", "--in", "02", "--cb-in", "0") == (0, "TRUE", 4, color)
    # A flash item cannot be told without that byte: the call fails rather
    # than answer item 0 to a caller that asked for item 10.
    # The same holds for a mapped counter, whose reply carries one counter.
    for kind, code, failed in (("request", 11, "FALSE"), ("mapped", 11, "87"), ("mapped", 9, "87")):
        done = request(wine, kind, code, "LAB", "--in", "0a", "--cb-in", "0")
        assert (done[0], done[1].split()[0]) == (1, failed), (kind, code)


def test_printer_names_of_any_length(wine, server, tmp_path):
    sim = lab_monitor(wine, tmp_path)
    # (name length, failure flag written): MonitorSim has no such printer,
    # so the verdict is "fail"; no value can bear a name over 16,383
    # characters, and the server takes the missing flag as success.
    cases = [(300, 1), (16383, 1), (16384, None)]
    for length, flag in cases:
        name = ("%05d" % length) * (length // 5) + "x" * (length % 5)
        done = client(wine, "command", 1, 0, name)
        assert done.stdout.strip() == ("result: FALSE" if flag else "result: TRUE"), length
        assert wine.number_value(MONITORS_KEY, name) == flag, length
    # A mapped request is answered for a long name too: unknown printer.
    name = "m" * 300
    code, result, _, _ = request(wine, "mapped", 2, name)
    assert (code, result.split()[0]) == (1, "1801")
    assert [m[:2] for m in sim.messages()] == [(5, 18 + 2 * n) for n, _ in cases] + [(11, 26 + 600 + 32768)]
    assert sim.messages()[-1][2][24:626] == name.encode("utf-16-le") + b"\0\0"


def test_acquire_stores_values_then_sets_the_flag(wine, server, tmp_path):
    lab_monitor(wine, tmp_path, "--register-printers")
    assert request(wine, "request", 2, "lab")[1] == "TRUE"
    config = LAB_KEY + r"\Driver\Config"
    assert [wine.number_value(config, n) for n in ("dwDuplex", "dwNumCassette", "dwFirmVersion")] == [1, 2, 3]
    assert wine.number_value(config, "Acquired") != 0
    # Without a printer of that name nothing is stored and the flag stays cleared.
    assert request(wine, "request", 2, "Nobody")[:2] == (1, "FALSE")
    assert wine.number_value(STORE_ROOT + r"\Nobody\Driver\Config", "dwDuplex") is None


def test_writes_change_the_printer(wine, server, tmp_path):
    lab_monitor(wine, tmp_path)
    new_bin = (7, 8, 9, 10, 11)
    payload = "01" + struct.pack("<5I", *new_bin).hex()
    assert request(wine, "request", 5, LAB_NAME, "--in", payload)[:2] == (0, "TRUE")
    assert wine.get_value(LAB_KEY + r"\Driver\BinInfo", "Written") == ("REG_BINARY", "01")
    assert request(wine, "request", 3, LAB_NAME)[3] == bin_records([BINS[0], new_bin, BINS[2]])
    # A short service settings write is refused and leaves "Written" cleared.
    assert request(wine, "request", 12, LAB_NAME, "--in", "0c0102")[:2] == (1, "FALSE")
    flash = "0a" + struct.pack("<I", 0x2000).hex() + "aabb"
    assert request(wine, "mapped", 12, LAB_NAME, "--in", flash)[:3] == (0, "0 (success)", 0)
    assert request(wine, "mapped", 11, LAB_NAME, "--in", "0a")[3] == struct.pack("<I", 0x2000) + b"\xaa\xbb"


def test_reply_faults(wine, server, tmp_path):
    registry_cases = [
        (["--no-handshake"], 2, (1, "FALSE")),
        (["--value-size", "Acquired=8"], 2, (1, "FALSE")),
        (["--value-size", "CalibrationData=61"], 4, (1, "FALSE")),
        (["--value-size", "CalibrationData=20"], 4, (0, "TRUE", 60, CALIBRATION[:20] + bytes(40))),
    ]
    for options, code, expected in registry_cases:
        sim = lab_monitor(wine, tmp_path, *options)
        assert request(wine, "request", code, LAB_NAME)[:len(expected)] == expected, options
        sim.stop()
    mapped_cases = [
        (["--echo", 99], (1, "1", 0)),           # echo differs: the client's size is kept
        (["--mapped-fail", 31], (1, "31", 32)),  # dwDataSize reported, nothing copied
        (["--mapped-fail", 0], (1, "1", 32)),
        (["--mapped-size", 100], (0, "0", 100)),
    ]
    for options, expected in mapped_cases:
        sim = lab_monitor(wine, tmp_path, *options)
        code, result, size, _ = request(wine, "mapped", 2, LAB_NAME, "--cb-out", 0)
        assert (code, result.split()[0], size) == expected, options
        sim.stop()


def test_held_mapping_keeps_answering(wine, server, tmp_path):
    lab_monitor(wine, tmp_path, "--hold-mapping")
    for code, reply in ((2, config_record()), (3, bin_records()), (2, config_record())):
        assert request(wine, "mapped", code, LAB_NAME)[3] == reply


def test_mutex_left_abandoned_does_not_block_the_next_request(wine, server, tmp_path):
    dying = lab_monitor(wine, tmp_path, "--die-holding-mutex", 5, 3000)
    held = wine.popen("DeviceRpcClient.exe", "command", 1, 0, LAB_NAME)
    time.sleep(1)
    # Waits for the mutex, then finds it abandoned and a window that is
    # gone: the call must come back, failed, instead of waiting for ever.
    code, result, _, _ = request(wine, "mapped", 2, LAB_NAME)
    assert code == 1 and result.split()[0] != "0"
    assert dying.proc.wait(timeout=30) == 3
    held.wait(timeout=30)
    lab_monitor(wine, tmp_path)
    assert request(wine, "mapped", 2, LAB_NAME)[3] == config_record()
