"""The server keeps serving under a storm of broken traffic and under many
calls at once, and a STOP or TERMINATE under that load loses no call.

The storm and load engine is the harness's (harness/storm); scripts/storm
runs its long versions (`make fuzz`), these are its short versions, each
on a server of its own.
All calls go over ncacn_ip_tcp from this (Linux) side of the prefix.
"""
import os
from collections import Counter

import pytest
from harness import processes
from harness.calls import answers, check_known_calls
from harness.figures import settled_memory
from harness.raw import RawConnection
from harness.storm.cases import MONITOR_NAMES
from harness.storm.load import load_markers, load_round
from harness.storm.lost import ServerWatch, find_culprit, known_platform_defect
from harness.storm.workers import storm

SEED = int(os.environ.get("DEVICERPC_STORM_SEED", "4242"))
# Private memory a server may gain after its warm-up over a short storm or
# from one load round to the next (measured: well under 1 MB).
MEMORY_SLACK = 4096 * 1024


def the_server(wine):
    pid = processes.server_pid(wine.path)
    assert pid, "no server process in the prefix"
    return pid


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
        port, pid = wine.tcp_port(), the_server(wine)
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
        port, pid = wine.tcp_port(), the_server(wine)
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
        port, pid = wine.tcp_port(), the_server(wine)
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
        port, pid = wine.tcp_port(), the_server(wine)
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
        port, pid = wine.tcp_port(), the_server(wine)
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
        port = wine.tcp_port()
        idle = RawConnection(port)
        try:
            assert server.send("stop").startswith("signalled")
            assert server.send("wait-stopped 20000") == "not listening"
            assert server.send("start").startswith("signalled")
        finally:
            idle.close()
        assert server.send("wait-listening 20000") == "listening"
