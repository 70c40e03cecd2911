"""The server keeps serving: under a storm of broken traffic, under many
calls at once, and when the language monitor, the registry or the
controlling process fail it.

The storm and load engine is the harness's (harness/storm); scripts/storm
runs its long versions (`make fuzz`), these are its short versions, each
on a server of its own.
All calls go over ncacn_ip_tcp from this (Linux) side of the prefix.
"""
import os
import random
import shutil
import subprocess
import threading
import time
from collections import Counter

import pytest
from harness import processes
from harness.calls import (CALIBRATION, CONFIG_RECORD, ERROR_INVALID_HANDLE, answers, call_command,
                           call_device, check_known_calls)
from harness.figures import settled_memory
from harness.monitorsim import MonitorSim
from harness.prefix import MONITORS_KEY, PRINTERS_KEY, STORE_ROOT
from harness.raw import RawConnection
from harness.storm.cases import MONITOR_NAMES
from harness.storm.load import load_markers, load_round
from harness.storm.lost import ServerWatch, find_culprit, known_platform_defect
from harness.storm.workers import storm

SEED = int(os.environ.get("DEVICERPC_STORM_SEED", "4242"))
# Private memory a server may gain after its warm-up over a short storm or
# from one load round to the next (measured: well under 1 MB).
MEMORY_SLACK = 4096 * 1024

NO_WINDOW = {2: 0, 3: ERROR_INVALID_HANDLE}


def tcp_port(wine):
    ports = wine.listening_tcp_ports()
    assert len(ports) == 1, "expected one TCP endpoint, found %s" % ports
    return ports[0]


def the_server(wine):
    pid = processes.server_pid(wine.path)
    assert pid, "no server process in the prefix"
    return pid


@pytest.fixture
def monitors(wine):
    """Starts MonitorSim instances (sample printer registered); all are
    stopped after the test."""
    started = []

    def start(*options, log_path=None):
        monitor = MonitorSim(wine, *options, register=True, log_path=log_path)
        started.append(monitor)
        return monitor

    yield start
    for monitor in started:
        monitor.stop()


def assert_no_window_answers(port):
    """Every procedure answers as for a missing monitor window."""
    for opnum in (0, 1):
        assert call_command(port, opnum) == 0, opnum
    for opnum in (2, 3):
        got = call_device(port, opnum, cb_out=64)
        assert (got.result, got.size, got.out_unchanged, got.in_unchanged) == \
            (NO_WINDOW[opnum], 0, True, True), (opnum, got)


def assert_config_served(port):
    for opnum, success in ((2, 1), (3, 0)):
        got = call_device(port, opnum, cb_out=64)
        assert (got.result, got.reply()) == (success, CONFIG_RECORD), (opnum, got)


# -- storm -----------------------------------------------------------------------

class TestStorm:
    @pytest.mark.parametrize("with_monitor", [False, True], ids=["no-monitor", "monitorsim"])
    def test_every_answer_right_and_memory_flat(self, wine, server, monitors, with_monitor):
        """750 mutated and random cases after a warm-up of 300: every
        well-formed PDU gets the answer an independent decoder predicts, the
        same process answers every procedure after each batch, and its
        private memory stays where the warm-up left it.

        Cases that end the process inside Wine's own runtime, before any
        code of the server runs (known_platform_defect), are not sent:
        the long storm finds and reports them, and here they would only stop
        the run. The default seed draws none."""
        port, pid = tcp_port(wine), the_server(wine)
        names = MONITOR_NAMES if with_monitor else ()
        if with_monitor:
            monitors()

        def health():
            if processes.server_pid(wine.path) != pid:
                return "the server process is gone or was replaced"
            return check_known_calls(port, with_monitor)

        watch = ServerWatch(pid, port)
        options = dict(monitor=with_monitor, monitor_names=names, between_batches=health,
                       watch=watch, skip=known_platform_defect)
        warm = storm(port, 300, SEED, first=1_000_000, **options)
        assert (warm.failures, warm.lost) == ([], None)
        before = settled_memory(pid, 12)
        result = storm(port, 750, SEED, batch=250, **options)
        after = settled_memory(pid, 12)
        assert (result.failures, result.lost) == ([], None)
        assert result.cases + sum(result.skipped.values()) == 750 and result.health_checks == 3
        # The mix reached every layer: stubs the decoder rejects and accepts,
        # broken PDUs, binds and connections.
        assert set(result.kinds) == {"stub", "pdu", "bind", "connection"}
        assert result.outcomes["fault 0x6f7"] > 100 and result.outcomes["response"] > 100
        assert after["private"] - before["private"] < MEMORY_SLACK, (before, after)
        # A call hanging inside the server would keep its thread.
        assert after["threads"] <= 12, after

    def test_a_lost_server_is_named_not_counted_wrong(self, wine, server):
        """Seed 77 case 12,201 ends the process in Wine's runtime. Sent among
        its neighbours four at a time, it stops the storm with the server
        reported lost and no wrong answer, and replaying the cases sent last
        on fresh servers names it as that platform defect."""
        port, pid = tcp_port(wine), the_server(wine)
        result = storm(port, 16, 77, first=12195, monitor_names=MONITOR_NAMES,
                             watch=ServerWatch(pid, port))
        if result.lost is None and processes.server_pid(wine.path) == pid and answers(port):
            pytest.skip("this Wine's runtime survives seed 77 case 12,201")
        assert result.lost == "the server process is gone"
        assert result.failures == [] and "server lost" in result.outcomes
        assert 12201 in [index for index, _ in result.candidates]
        index, case, problem = find_culprit(wine, 77, result.candidates, monitor=False)
        assert (index, case.kind, problem) == (12201, "pdu:header:object", "the server process is gone")
        assert known_platform_defect(case) is not None


# -- load --------------------------------------------------------------------------

class TestLoad:
    CALLS = 300

    def test_calls_held_at_once_all_answered(self, wine, server, monitors, tmp_path):
        """300 calls of all four procedures are inside the server at once
        (MonitorSim slowed, and stopped until the server has read every
        request), then drain: each gets its own right answer, MonitorSim
        receives each call's message exactly once, and after a warm-up
        round a further round costs no memory."""
        port, pid = tcp_port(wine), the_server(wine)
        log = str(tmp_path / "load.log")
        monitor = monitors("--delay-ms", 2, log_path=log)
        memory = []
        for number in (1, 2, 3):
            outcome = load_round(port, monitor, self.CALLS, pid, round_number=number)
            assert outcome.wrong == [], "round %d" % number
            assert outcome.held == self.CALLS, "round %d" % number
            assert load_markers(log, number) == Counter(range(self.CALLS)), "round %d" % number
            memory.append(settled_memory(pid, 12))
        assert memory[2]["private"] - memory[1]["private"] < MEMORY_SLACK, memory

    def test_stop_drains_held_calls_then_stops_listening(self, wine, server, monitors):
        port, pid = tcp_port(wine), the_server(wine)
        monitor = monitors("--delay-ms", 2)

        def stop():
            assert server.send("stop").startswith("signalled")

        outcome = load_round(port, monitor, 100, pid, during=stop)
        assert (outcome.held, outcome.answered, outcome.wrong) == (100, 100, [])
        assert server.send("wait-stopped 30000") == "not listening"
        assert wine.listening_tcp_ports() == []
        assert processes.server_pid(wine.path) == pid

    def test_terminate_with_calls_held_exits_0(self, wine, server, monitors):
        """TERMINATE ends the process with exit code 0 while 100 calls wait
        for a language monitor that will not answer before the process is
        gone; their clients see the connection close."""
        port, pid = tcp_port(wine), the_server(wine)
        monitor = monitors("--delay-ms", 2)
        exit_line = []

        def terminate():
            assert server.send("terminate").startswith("signalled")
            exit_line.append(server.send("wait-exit 20000"))

        outcome = load_round(port, monitor, 100, pid, during=terminate)
        assert exit_line == ["exit code 0"]
        assert outcome.held == 100 and outcome.answered == 0
        assert processes.server_pid(wine.path) is None

    def test_start_during_a_stop_held_up_by_a_connection_is_kept(self, wine, server):
        """Under Wine a TCP connection left open across STOP keeps the
        runtime's listen from returning; a START in that time is carried out
        once it does, not lost."""
        port = tcp_port(wine)
        idle = RawConnection(port)
        try:
            assert server.send("stop").startswith("signalled")
            assert server.send("wait-stopped 20000") == "not listening"
            assert server.send("start").startswith("signalled")
        finally:
            idle.close()
        assert server.send("wait-listening 20000") == "listening"


# -- the language monitor fails ----------------------------------------------------

DYING_CALLS = {
    5: lambda port: call_command(port, 0),
    6: lambda port: call_command(port, 1),
    9: lambda port: call_device(port, 2, cb_out=64),
    11: lambda port: call_device(port, 3, cb_out=64),
}


class TestMonitorDies:
    @pytest.mark.parametrize("code", [5, 6, 9, 11])
    def test_in_a_message_then_no_window(self, wine, server, monitors, code):
        """MonitorSim ends inside the message with its handle left in the
        registry: that call fails and leaves the arrays alone, and later
        calls answer as with no window (the handle is stale)."""
        port = tcp_port(wine)
        monitor = monitors("--die-in-message", code)
        got = DYING_CALLS[code](port)
        assert monitor.proc.wait(timeout=30) == 3
        if code in (5, 6):
            assert got == 0
        else:
            # The lost message is answered as for no window.
            no_window = 0 if code == 9 else ERROR_INVALID_HANDLE
            assert (got.result, got.size) == (no_window, 0), got
            assert got.in_unchanged and got.out_unchanged, got
        assert processes.named(wine.path, "MonitorSim.exe") == []
        assert_no_window_answers(port)

    def test_holding_the_device_request_mutex(self, wine, server, monitors, tmp_path):
        """MonitorSim takes the device request mutex in a command and dies
        holding it. A mapped request waiting for it then finds it abandoned,
        proceeds, and answers as for the gone window; the next one, with a
        new monitor, is served."""
        port = tcp_port(wine)
        log = str(tmp_path / "dying.log")
        dying = monitors("--die-holding-mutex", 5, 4000, log_path=log)
        command = threading.Thread(target=call_command, args=(port, 0))
        command.start()
        deadline = time.monotonic() + 30
        while dying.codes() != [5] and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.5)  # MonitorSim takes the mutex right after logging
        waiting = []
        mapped = threading.Thread(target=lambda: waiting.append(call_device(port, 3, cb_out=64)))
        mapped.start()
        time.sleep(1)
        # Only meaningful while the holder still lives: the request waits.
        assert dying.proc.poll() is None and waiting == [], "the mutex was not held long enough"
        mapped.join(timeout=60)
        command.join(timeout=60)
        assert dying.proc.wait(timeout=30) == 3
        (got,) = waiting
        assert (got.result, got.size, got.out_unchanged) == (ERROR_INVALID_HANDLE, 0, True), got
        monitors()
        got = call_device(port, 3, cb_out=64)
        assert (got.result, got.reply()) == (0, CONFIG_RECORD), got


class TestHeldReplyMapping:
    """Another process keeps the reply mapping open with an old reply: a
    first MonitorSim (--hold-mapping) answered DEVREQ_CONFIG, so the mapping
    holds that reply, echo 2 and success. A second request then reaches no
    monitor that writes. What the caller must see is the no-window answer,
    never the old reply."""

    @pytest.mark.parametrize("situation, code", [
        ("stale-handle", 2),
        ("garbage-handle", 2),
        ("monitor-dies-unwritten", 2),
        ("monitor-dies-unwritten", 4),
    ])
    def test_old_reply_is_not_returned(self, wine, server, monitors, situation, code):
        port = tcp_port(wine)
        monitors("--hold-mapping")
        first = call_device(port, 3, cb_out=64)
        assert (first.result, first.reply()) == (0, CONFIG_RECORD)
        if situation == "stale-handle":
            gone = monitors("--die-in-message", 9)
            call_device(port, 2)
            assert gone.proc.wait(timeout=30) == 3
        elif situation == "garbage-handle":
            wine.set_binary(MONITORS_KEY, "LP Window handle", random.Random(5).randbytes(8))
        else:
            dying = monitors("--die-in-message", 11)
        got = call_device(port, 3, code=code, cb_out=64)
        if situation == "monitor-dies-unwritten":
            assert dying.proc.wait(timeout=30) == 3
        assert (got.result, got.size, got.out_unchanged) == (ERROR_INVALID_HANDLE, 0, True), got

    @pytest.mark.parametrize("code", [2, 4])
    def test_a_monitor_that_writes_nothing_leaves_the_old_reply(self, wine, server, monitors, code):
        """The server never writes the mapping: when a live monitor handles
        the request without writing, the old reply is what the caller reads.
        Its echo decides: the same request code takes it as a new success,
        another one fails with its error code (0, so 1), size untouched."""
        port = tcp_port(wine)
        monitors("--hold-mapping")
        first = call_device(port, 3, cb_out=64)
        assert (first.result, first.reply()) == (0, CONFIG_RECORD)
        monitors("--mapped-no-reply")
        got = call_device(port, 3, code=code, cb_out=64)
        if code == 2:
            assert (got.result, got.reply()) == (0, CONFIG_RECORD), got
        else:
            assert (got.result, got.size, got.out_unchanged) == (1, 64, True), got


# -- the registry denies access ----------------------------------------------------

KEY_ACL_SOURCE = r"""
/* keyacl SUBKEY MASK: gives Everyone exactly MASK on HKLM\SUBKEY (creating
   the key), no other entry; prints the result and whether the key can then
   be opened for KEY_QUERY_VALUE. */
#include <windows.h>
#include <stdio.h>
#include <wchar.h>
int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    DWORD mask = wcstoul(argv[2], NULL, 0);
    HKEY key;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, argv[1], 0, NULL, 0, WRITE_DAC, NULL, &key, NULL);
    if (status != ERROR_SUCCESS) { printf("open %ld\n", status); return 1; }
    SECURITY_DESCRIPTOR descriptor;
    BYTE buffer[256];
    PACL acl = (PACL)buffer;
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = NULL;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    InitializeAcl(acl, sizeof(buffer), ACL_REVISION);
    AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
    if (mask) AddAccessAllowedAce(acl, ACL_REVISION, mask, everyone);
    SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE);
    status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor);
    RegCloseKey(key);
    HKEY probe;
    LONG query = RegOpenKeyExW(HKEY_LOCAL_MACHINE, argv[1], 0, KEY_QUERY_VALUE, &probe);
    if (query == ERROR_SUCCESS) RegCloseKey(probe);
    printf("set %ld query %ld\n", status, query);
    return status == ERROR_SUCCESS ? 0 : 1;
}
"""
KEY_ALL_ACCESS = 0xF003F
KEY_QUERY_VALUE, KEY_SET_VALUE, KEY_CREATE_SUB_KEY, READ_CONTROL = 0x1, 0x2, 0x4, 0x20000


SMALL_MAPPING_SOURCE = r"""
/* smallmapping SIZE ECHO: creates the reply mapping's name with SIZE bytes
   before the server does, writes a successful reply header that echoes
   ECHO into it, prints "ready" and holds it until standard input ends. */
#include <windows.h>
#include <stdio.h>
#include <wchar.h>
int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0,
                                        wcstoul(argv[1], NULL, 0),
                                        L"Global\\ZOLT7 DeviceRequest Mapped File");
    DWORD* view = mapping ? (DWORD*)MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0) : NULL;
    if (!view) { printf("failed %lu\n", GetLastError()); return 1; }
    view[1] = 1;
    view[3] = wcstoul(argv[2], NULL, 0);
    printf("ready\n");
    fflush(stdout);
    char buffer[16];
    DWORD count;
    ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof(buffer), &count, NULL);
    return 0;
}
"""


@pytest.fixture(scope="session")
def windows_tool(tmp_path_factory):
    """Builds a small Windows program from C source with the project's
    cross compiler, for what none of the tools does (set a key's DACL,
    squat a kernel object's name); skips without the compiler."""
    compiler = shutil.which("x86_64-w64-mingw32-gcc")
    if not compiler:
        pytest.skip("no x86_64-w64-mingw32-gcc to build the helper")
    folder = tmp_path_factory.mktemp("tools")
    built = {}

    def build(name, source):
        if name not in built:
            (folder / (name + ".c")).write_text(source)
            exe = folder / (name + ".exe")
            subprocess.run([compiler, "-municode", "-O1", "-o", str(exe), str(folder / (name + ".c")),
                            "-ladvapi32"], check=True, capture_output=True, timeout=120)
            built[name] = str(exe)
        return built[name]

    return build


@pytest.fixture
def key_acl_tool(windows_tool):
    return windows_tool("keyacl", KEY_ACL_SOURCE)


@pytest.fixture
def deny(wine, key_acl_tool):
    """deny(subkey, allowed mask): the key grants Everyone only that mask.
    Checks first that the platform enforces it; full access comes back
    after the test so that the harness can delete the keys."""
    changed = []

    def restrict(subkey, mask):
        changed.append(subkey)
        done = wine.run(key_acl_tool, subkey, hex(mask))
        assert done.returncode == 0, done.stdout + done.stderr
        if not mask & KEY_QUERY_VALUE and "query 5" not in done.stdout:
            pytest.skip("this Wine does not enforce registry DACLs (%s)" % done.stdout.strip())
        return done.stdout

    yield restrict
    for subkey in reversed(changed):
        wine.run(key_acl_tool, subkey, hex(KEY_ALL_ACCESS))


MONITORS_SUBKEY = MONITORS_KEY.split("\\", 1)[1]
CONFIG_SUBKEY = STORE_ROOT.split("\\", 1)[1] + r"\Office Color 7\Driver\Config"
PRINTERS_SUBKEY = PRINTERS_KEY.split("\\", 1)[1]


class TestRegistryDeniesAccess:
    """Wine enforces key DACLs set with RegSetKeySecurity (checked by each
    test), so these run for real: a denied read is a failed read, never a
    crash, and it gives the documented answers."""

    def test_monitors_key_unreadable_is_no_window(self, wine, server, monitors, deny):
        port = tcp_port(wine)
        monitors()
        deny(MONITORS_SUBKEY, 0)
        assert_no_window_answers(port)

    def test_monitors_key_only_queryable_still_gives_the_verdict(
            self, wine, server, monitors, deny):
        """A key that grants KEY_QUERY_VALUE but not KEY_READ: the window
        handle and the failure flag are both read, so a command the monitor
        failed reports FALSE, not done."""
        port = tcp_port(wine)
        monitors()
        deny(MONITORS_SUBKEY, KEY_QUERY_VALUE | KEY_SET_VALUE)
        for opnum in (0, 1):
            assert call_command(port, opnum, command=13, param=0) == 0
        assert_config_served(port)

    def test_printer_data_key_unreadable_fails_the_request(self, wine, server, monitors, deny):
        """The server can clear "Acquired" and the monitor store the values,
        but nothing under the key can be read back: FALSE, the client's size
        and arrays untouched. Other keys of the printer, and the mapped path,
        are unaffected."""
        port = tcp_port(wine)
        monitors()
        deny(CONFIG_SUBKEY, KEY_SET_VALUE | KEY_CREATE_SUB_KEY | READ_CONTROL)
        got = call_device(port, 2, code=2, cb_out=64)
        assert (got.result, got.size, got.out_unchanged) == (0, 64, True), got
        got = call_device(port, 2, code=4, cb_out=64)
        assert (got.result, got.reply()) == (1, CALIBRATION), got
        got = call_device(port, 3, code=2, cb_out=64)
        assert (got.result, got.reply()) == (0, CONFIG_RECORD), got

    def test_spooler_printers_unreadable_falls_back_to_the_client_name(
            self, wine, server, monitors, deny):
        """Name resolution fails, so the share name itself names the data
        key, on both sides: the request is served from "OFFICE"."""
        port = tcp_port(wine)
        monitors()
        deny(PRINTERS_SUBKEY, 0)
        got = call_device(port, 2, code=2, printer="OFFICE", cb_out=64)
        assert (got.result, got.reply()) == (1, CONFIG_RECORD), got
        assert wine.reg("query", STORE_ROOT + r"\OFFICE\Driver\Config", check=False).returncode == 0


# -- another process owns the reply mapping's name ----------------------------------------

class TestReplyMappingSquatted:
    def test_smaller_mapping_fails_the_request_and_nothing_sticks(
            self, wine, server, monitors, windows_tool):
        """Any local process may create "Global\\ZOLT7 DeviceRequest Mapped
        File" first (everyone may): here with 4096 bytes and a header that
        echoes the request. The request must fail with an error code, not
        fault; once that process has gone, mapped requests are served."""
        port = tcp_port(wine)
        monitors()
        squatter = wine.popen(windows_tool("smallmapping", SMALL_MAPPING_SOURCE), 4096, 2)
        assert squatter.stdout.readline().strip() == "ready"
        try:
            got = call_device(port, 3, cb_out=64)
            assert got.fault is None, got
            assert got.result not in (0, None) and got.out_unchanged, got
        finally:
            squatter.stdin.close()
            squatter.wait(timeout=30)
        assert_config_served(port)
