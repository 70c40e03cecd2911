"""The supervising controller: Wine's RPC runtime ends the whole server
process on one request (opnum 1 in two fragments, the last flagged as
carrying an object UUID that is not there), and DeviceRpcController
--supervise must bring the server back."""
import os
import re
import select
import time

import psutil
import pytest
from impacket.dcerpc.v5 import transport
from impacket.dcerpc.v5.rpcrt import (MSRPCRequestHeader, PFC_FIRST_FRAG, PFC_LAST_FRAG,
                                      PFC_OBJECT_UUID)
from impacket.uuid import uuidtup_to_bin

from conftest import Controller
from ndr_peer import command_stub

INTERFACE = ("66c55168-0021-4e96-9a7c-5efefdaee407", "1.0")
ACCESS_VIOLATION = 0xC0000005
RESTART_LINE = re.compile(r"restart (\d+): server pid (\d+) exited with code (\d+) .*"
                          r"started again after (\d+) ms as pid (\d+), START signalled")


def server_processes(wine):
    """Linux processes of DeviceRpcServer.exe in this test's prefix."""
    found = []
    for proc in psutil.process_iter(["cmdline"]):
        try:
            if not any("DeviceRpcServer.exe" in arg for arg in proc.info["cmdline"] or []):
                continue
            if proc.environ().get("WINEPREFIX") == wine.path:
                found.append(proc)
        except psutil.Error:
            continue
    return found


def send_killing_request(port):
    """Bind, then opnum 1 in two fragments; the runtime takes the last 16
    stub bytes of the second for the object UUID its flag announces, which
    leaves that fragment no data."""
    rpc = transport.DCERPCTransportFactory("ncacn_ip_tcp:127.0.0.1[%d]" % port).get_dce_rpc()
    rpc.connect()
    rpc.bind(uuidtup_to_bin(INTERFACE))
    stub = command_stub(1, 2, "Printer", "x").bytes()
    pdus = []
    for flags, chunk in ((PFC_FIRST_FRAG, stub[:-16]), (PFC_LAST_FRAG | PFC_OBJECT_UUID, stub[-16:])):
        pdu = MSRPCRequestHeader()
        pdu["flags"] = flags
        pdu["call_id"] = 2
        pdu["alloc_hint"] = len(stub)
        pdu["op_num"] = 1
        pdu["pduData"] = chunk
        pdu["frag_len"] = 24 + len(chunk)  # no UUID bytes behind the header
        pdus.append(pdu.getData())
    sock = rpc.get_rpc_transport().get_socket()
    for pdu in pdus:
        sock.sendall(pdu)
    return rpc


def read_stderr_line(ctl, pattern, timeout):
    """The first line of the controller's standard error matching `pattern`,
    and everything read so far; None when none came in time."""
    fd = ctl.proc.stderr.fileno()
    text, deadline = b"", time.time() + timeout
    while time.time() < deadline:
        for line in text.decode("utf-8", "replace").splitlines():
            match = pattern.search(line)
            if match:
                return match, text
        ready, _, _ = select.select([fd], [], [], max(deadline - time.time(), 0))
        if ready:
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            text += chunk
    return None, text


def probe(wine, *binding):
    done = wine.run("DeviceRpcClient.exe", *binding, "probe", timeout=60)
    return done.returncode == 0 and "listening" in done.stdout


def test_killed_server_is_restarted_then_terminated(wine):
    ctl = Controller(wine, "--supervise")
    ctl.launch_and_start()
    [server] = server_processes(wine)
    [port] = wine.listening_tcp_ports()

    rpc = send_killing_request(port)
    try:
        server.wait(timeout=60)
    except psutil.TimeoutExpired:
        pytest.fail("the server survived opnum 1 with an empty object-UUID fragment: this Wine "
                    "does not crash on it, so there is nothing for the supervisor to restart")
    finally:
        rpc.get_rpc_transport().disconnect()
    died = time.monotonic()

    match, err = read_stderr_line(ctl, RESTART_LINE, 60)
    assert match, "no restart reported; standard error:\n" + err.decode("utf-8", "replace")[-3000:]
    assert (int(match.group(1)), int(match.group(3))) == (1, ACCESS_VIOLATION)
    assert int(match.group(4)) == 1000  # the first back-off

    # Served again within a few seconds, on a new TCP port.
    deadline = died + 20
    while not probe(wine, "--protseq", "ncalrpc") and time.monotonic() < deadline:
        time.sleep(0.2)
    assert time.monotonic() < deadline, "not served over ncalrpc 20 s after the crash"
    [restarted] = server_processes(wine)
    assert restarted.pid != server.pid
    [new_port] = wine.listening_tcp_ports()
    assert probe(wine, "--protseq", "ncacn_ip_tcp", "--host", "127.0.0.1", "--endpoint", new_port)
    assert probe(wine, "--protseq", "ncacn_np")

    # TERMINATE from the controller ends supervision: exit code 0, no restart.
    assert ctl.send("terminate").startswith("signalled")
    assert ctl.send("wait-exit 20000") == "exit code 0"
    time.sleep(2)
    assert server_processes(wine) == []
    ctl.close()
    ctl.proc.wait(timeout=30)
    rest = ctl.proc.stderr.read()
    assert "restart 2" not in rest, rest
