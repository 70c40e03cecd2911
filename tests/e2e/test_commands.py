"""RpcSendCommand and RpcSendCommand2 end to end: the real server, the
reference language monitor and the client, with the verdict in every shape
the failure flag can take and every way the monitor's window can be missing."""
import struct

from harness.prefix import MONITORS_KEY
from harness.printers import lab_monitor

HANDLE_VALUE = "LP Window handle"


def verdict(wine, opnum_name, printer, *argument):
    done = wine.run("DeviceRpcClient.exe", opnum_name, 1, 2, printer, *argument)
    return done.stdout.strip()


def test_verdict_from_the_failure_flag_the_monitor_leaves(wine, server, tmp_path):
    sim = lab_monitor(wine, tmp_path, "--leave-flag")
    cases = [
        ("absent", None, "result: TRUE"),
        ("zero", struct.pack("<I", 0), "result: TRUE"),
        ("one", struct.pack("<I", 1), "result: FALSE"),
        ("eight bytes cannot be read", struct.pack("<Q", 1), "result: TRUE"),
    ]
    for what, flag, expected in cases:
        wine.delete_value(MONITORS_KEY, "Lab")
        if flag is not None:
            wine.set_binary(MONITORS_KEY, "Lab", flag)
        assert verdict(wine, "command", "Lab") == expected, what
        assert verdict(wine, "command2", "Lab", "arg") == expected, what
    assert [m[0] for m in sim.messages()] == [5, 6] * len(cases)


def test_missing_window_sends_nothing(wine, server, tmp_path):
    # The monitor runs but publishes a 12-byte value, which names no window.
    sim = lab_monitor(wine, tmp_path, "--handle-bytes", 12)
    wine.set_dword(MONITORS_KEY, "Lab", 0)
    assert verdict(wine, "command", "Lab") == "result: FALSE"
    wine.delete_value(MONITORS_KEY, HANDLE_VALUE)
    assert verdict(wine, "command2", "Lab", "x") == "result: FALSE"
    assert sim.messages() == []


def test_handle_in_four_bytes_reaches_the_window(wine, server, tmp_path):
    sim = lab_monitor(wine, tmp_path, "--handle-bytes", 4)
    assert verdict(wine, "command", "Lab") == "result: TRUE"
    assert [m[0] for m in sim.messages()] == [5]


def test_stale_window_does_not_report_the_last_verdict(wine, server, tmp_path):
    sim = lab_monitor(wine, tmp_path)
    assert verdict(wine, "command", "Lab") == "result: TRUE"
    hwnd = sim.hwnd
    assert sim.stop() == 0
    # The monitor is gone but its handle is published again, as a crashed
    # monitor would leave it; its last verdict for the printer was success.
    wine.set_binary(MONITORS_KEY, HANDLE_VALUE, struct.pack("<Q", hwnd))
    assert verdict(wine, "command", "Lab") == "result: FALSE"
    assert verdict(wine, "command2", "Lab", "x") == "result: FALSE"
