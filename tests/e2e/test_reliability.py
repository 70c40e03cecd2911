"""The server keeps serving when the language monitor, the registry or the
shared reply mapping fail it. (Storms and load: test_storm_load.py.)

All calls go over ncacn_ip_tcp from this (Linux) side of the prefix.
"""
import random
import shutil
import subprocess
import threading
import time

import pytest
from harness import processes
from harness.calls import (CALIBRATION, CONFIG_RECORD, ERROR_INVALID_HANDLE, call_command,
                           call_device)
from harness.prefix import MONITORS_KEY, PRINTERS_KEY, STORE_ROOT

NO_WINDOW = {2: 0, 3: ERROR_INVALID_HANDLE}


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
        port = wine.tcp_port()
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
        port = wine.tcp_port()
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
        port = wine.tcp_port()
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
        port = wine.tcp_port()
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
        port = wine.tcp_port()
        monitors()
        deny(MONITORS_SUBKEY, 0)
        assert_no_window_answers(port)

    def test_monitors_key_only_queryable_still_gives_the_verdict(
            self, wine, server, monitors, deny):
        """A key that grants KEY_QUERY_VALUE but not KEY_READ: the window
        handle and the failure flag are both read, so a command the monitor
        failed reports FALSE, not done."""
        port = wine.tcp_port()
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
        port = wine.tcp_port()
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
        port = wine.tcp_port()
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
        port = wine.tcp_port()
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
