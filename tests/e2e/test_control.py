"""The server process under its controller: single instance, the START,
STOP and TERMINATE events, reachability over every protocol sequence."""
import time

import pytest
from harness.controller import Controller
from harness.figures import cpu_seconds


def probe(wine, protseq, *extra):
    """True when DeviceRpc answers over `protseq`."""
    result = wine.run("DeviceRpcClient.exe", "--protseq", protseq, *extra, "probe", timeout=60)
    return result.returncode == 0 and "listening" in result.stdout


def tcp_probe(wine, port):
    return probe(wine, "ncacn_ip_tcp", "--host", "127.0.0.1", "--endpoint", str(port))


class TestInstances:
    def test_second_instance_exits_1_and_the_first_keeps_listening(self, wine, server):
        second = wine.run("DeviceRpcServer.exe", timeout=60)
        assert second.returncode == 1
        assert probe(wine, "ncalrpc")
        assert server.send("stop") .startswith("signalled")
        assert server.send("wait-stopped") == "not listening"

    def test_terminate_before_any_start_exits_0(self, wine):
        ctl = Controller(wine)
        assert ctl.send("launch").startswith("launched")
        assert ctl.send("sleep 500") == "slept 500 ms"
        assert ctl.send("terminate").startswith("signalled")
        assert ctl.send("wait-exit 20000") == "exit code 0"

    def test_terminate_while_listening_exits_0(self, wine, server):
        assert server.send("terminate").startswith("signalled")
        assert server.send("wait-exit 20000") == "exit code 0"
        assert not probe(wine, "ncacn_np")


class TestReachability:
    def test_every_protocol_sequence_and_the_endpoint_map(self, wine, server):
        ports = wine.listening_tcp_ports()
        assert len(ports) == 1
        assert tcp_probe(wine, ports[0])
        assert probe(wine, "ncacn_np")
        assert probe(wine, "ncalrpc")
        # The local endpoint mapper resolves the local endpoints from the
        # interface identity alone.
        assert probe(wine, "ncacn_np", "--resolve")
        assert probe(wine, "ncalrpc", "--resolve")

    def test_a_command_reaches_the_server_over_each_sequence(self, wine, server):
        port = wine.listening_tcp_ports()[0]
        for binding in (["--protseq", "ncalrpc"], ["--protseq", "ncacn_np"],
                        ["--protseq", "ncacn_ip_tcp", "--host", "127.0.0.1", "--endpoint", str(port)]):
            result = wine.run("DeviceRpcClient.exe", *binding, "command", "1", "2", "Office")
            # No language monitor runs: the server answers FALSE.
            assert result.returncode == 1, result.stderr
            assert result.stdout.strip() == "result: FALSE"

    def test_no_local_rpc_on_a_5x_system(self, wine):
        wine.set_string(r"HKCU\Software\Wine", "Version", "winxp64")
        ctl = Controller(wine)
        ctl.launch_and_start()
        assert probe(wine, "ncacn_np")
        assert not probe(wine, "ncalrpc")
        assert len(wine.listening_tcp_ports()) == 1


class TestStartStop:
    def test_start_stop_start_listens_again(self, wine, server):
        port = wine.listening_tcp_ports()[0]
        assert tcp_probe(wine, port)
        assert server.send("stop").startswith("signalled")
        assert server.send("wait-stopped") == "not listening"
        assert not probe(wine, "ncalrpc")
        # The listener has left the runtime before the next START, so this
        # START creates a new one rather than being kept for later.
        assert server.send("sleep 2000") == "slept 2000 ms"
        assert server.send("start").startswith("signalled")
        assert server.send("wait-listening 20000") == "listening"
        assert probe(wine, "ncalrpc")
        assert probe(wine, "ncacn_np", "--resolve")

    def test_a_start_in_the_first_second_does_not_break_stop(self, wine):
        ctl = Controller(wine)
        assert ctl.send("launch").startswith("launched")
        assert ctl.send("start").startswith("signalled")
        assert ctl.send("sleep 300") == "slept 300 ms"
        assert ctl.send("start").startswith("signalled")
        assert ctl.send("wait-listening 20000") == "listening"
        assert ctl.send("stop").startswith("signalled")
        assert ctl.send("wait-stopped 20000") == "not listening"
        assert ctl.send("sleep 2000") == "slept 2000 ms"
        assert not probe(wine, "ncalrpc")
        # And the server can still be started and ended normally.
        assert ctl.send("start").startswith("signalled")
        assert ctl.send("wait-listening 20000") == "listening"
        assert ctl.send("terminate").startswith("signalled")
        assert ctl.send("wait-exit 20000") == "exit code 0"

    def test_stop_while_not_listening_is_ignored(self, wine):
        ctl = Controller(wine)
        assert ctl.send("launch").startswith("launched")
        assert ctl.send("stop").startswith("signalled")
        assert ctl.send("start").startswith("signalled")
        assert ctl.send("wait-listening 20000") == "listening"

    def test_manual_reset_events_are_handled(self, wine):
        ctl = Controller(wine, "--manual-reset")
        ctl.launch_and_start()
        assert ctl.send("stop").startswith("signalled")
        assert ctl.send("wait-stopped 20000") == "not listening"
        assert ctl.send("terminate").startswith("signalled")
        assert ctl.send("wait-exit 20000") == "exit code 0"


class TestStartUpWindow:
    @pytest.mark.parametrize("delay_ms", [0, 1000, 1050, 1150])
    def test_terminate_while_starting_exits_0_at_once(self, wine, delay_ms):
        """TERMINATE in every phase of start-up (asleep, registering, about
        to listen) ends the process with 0 within seconds, and nothing of
        it stays behind."""
        ctl = Controller(wine)
        assert ctl.send("launch").startswith("launched")
        assert ctl.send("start").startswith("signalled")
        assert ctl.send("sleep %d" % delay_ms) == "slept %d ms" % delay_ms
        started = time.time()
        assert ctl.send("terminate").startswith("signalled")
        assert ctl.send("wait-exit 20000") == "exit code 0"
        assert time.time() - started < 8
        assert not probe(wine, "ncalrpc")

    def test_a_stop_in_any_phase_of_start_up_leaves_the_loop_in_step(self, wine):
        """A STOP while the listener starts is ignored; once the server
        listens, every STOP stops it and the next START listens again."""
        ctl = Controller(wine)
        assert ctl.send("launch").startswith("launched")
        for delay_ms in (300, 1000, 1050, 1150):
            assert ctl.send("start").startswith("signalled")
            assert ctl.send("sleep %d" % delay_ms) == "slept %d ms" % delay_ms
            assert ctl.send("stop").startswith("signalled")
            assert ctl.send("sleep 2500") == "slept 2500 ms"
            assert ctl.send("stop").startswith("signalled")
            assert ctl.send("wait-stopped 20000") == "not listening", delay_ms
            assert ctl.send("sleep 1000") == "slept 1000 ms"
        assert ctl.send("start").startswith("signalled")
        assert ctl.send("wait-listening 20000") == "listening"
        assert ctl.send("terminate").startswith("signalled")
        assert ctl.send("wait-exit 20000") == "exit code 0"


class TestWithoutEvents:
    def test_waits_idle_for_the_events_then_follows_them(self, wine):
        proc = wine.popen("DeviceRpcServer.exe")
        time.sleep(3)
        before = cpu_seconds(proc.pid)
        time.sleep(4)
        used = cpu_seconds(proc.pid) - before
        assert used < 0.4, "server used %.2f s of CPU in 4 s while waiting for its events" % used
        assert proc.poll() is None

        # Once the controller has created the events the server picks them up.
        ctl = Controller(wine)
        assert ctl.send("events") == "events ready"
        assert ctl.send("sleep 1500") == "slept 1500 ms"
        assert ctl.send("start").startswith("signalled")
        assert ctl.send("wait-listening 20000") == "listening"
        assert ctl.send("terminate").startswith("signalled")
        assert proc.wait(timeout=30) == 0
        out, err = proc.communicate()
        assert out == "" and err == "", "the server printed something"
