"""The supervising controller: Wine's RPC runtime ends the whole server
process on one request (opnum 1 in two fragments, the last flagged as
carrying an object UUID that is not there), and DeviceRpcCtl
--supervise must bring the server back."""
import re
import time

import psutil
import pytest
from devicerpc.ndr import command_stub
from harness import processes
from harness.controller import Controller
from harness.pdus import object_flag_without_uuid
from harness.raw import RawConnection

ACCESS_VIOLATION = 0xC0000005
RESTART_LINE = re.compile(r"restart (\d+): server pid (\d+) exited with code (\d+) .*"
                          r"started again after (\d+) ms as pid (\d+), START signalled")


def server_processes(wine):
    """Linux processes of DeviceRpcServer.exe in this test's prefix."""
    return [psutil.Process(pid) for pid in processes.named(wine.path, "DeviceRpcServer.exe")]


def send_killing_request(port):
    """Bind, then opnum 1 in two fragments; the runtime takes the last 16
    stub bytes of the second for the object UUID its flag announces, which
    leaves that fragment no data."""
    connection = RawConnection(port)
    for pdu in object_flag_without_uuid(command_stub(1, 2, "Printer", "x").bytes(), 1):
        connection.send(pdu)
    return connection


def probe(wine, *binding):
    done = wine.run("DeviceRpcClient.exe", *binding, "probe", timeout=60)
    return done.returncode == 0 and "listening" in done.stdout


def test_killed_server_is_restarted_then_terminated(wine):
    ctl = Controller(wine, "--supervise")
    ctl.launch_and_start()
    [server] = server_processes(wine)
    [port] = wine.listening_tcp_ports()

    connection = send_killing_request(port)
    try:
        server.wait(timeout=60)
    except psutil.TimeoutExpired:
        pytest.fail("the server survived opnum 1 with an empty object-UUID fragment: this Wine "
                    "does not crash on it, so there is nothing for the supervisor to restart")
    finally:
        connection.close()
    died = time.monotonic()

    match, err = ctl.read_stderr_line(RESTART_LINE, 60)
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
