"""The gateway without a server: its configuration's refusals, and the
fleet's sharing, bounds and endpoint-map rule over a stand-in for the
collection of a printer."""
import threading
import time

import pytest

from devicerpc.collection import PrinterSample
from devicerpc.errors import Unreachable
from devicerpc.gateway import config as gateway_config
from devicerpc.gateway import fleet as fleet_module
from devicerpc.gateway.config import ConfigError, load
from devicerpc.gateway.telemetry import Telemetry

GOOD = """
listen = "127.0.0.1:9464"
[servers.lab]
host = "printsrv"
port = 49703
printers = ["OFFICE"]
"""


@pytest.mark.parametrize("text, where, what", [
    ("listen = 5\n" + GOOD.split("\n", 2)[2], "listen", "HOST:PORT"),
    (GOOD.replace("9464", "70000"), "listen", "0 to 65535"),
    (GOOD.replace('listen = "127.0.0.1:9464"', 'listen = "[::zz]:80"'), "listen", ""),
    (GOOD + "refresh = 5\n", "servers.lab.refresh", "unknown key"),
    ("refresh_interval = 0\n" + GOOD, "refresh_interval", "above 0"),
    ("call_timeout = nan\n" + GOOD, "call_timeout", "above 0"),
    ("concurrency = 1.5\n" + GOOD, "concurrency", "whole number"),
    ("low_paper = -1\n" + GOOD, "low_paper", "0 or more"),
    ('listen = "127.0.0.1:1"\n', "servers", "at least one"),
    (GOOD.replace("[servers.lab]", "[servers.'a b']"), "servers.a b", "server name"),
    (GOOD.replace('host = "printsrv"', 'host = ""'), "servers.lab.host", "host name"),
    (GOOD.replace("49703", "0"), "servers.lab.port", "endpoint-map"),
    (GOOD.replace("49703", '"epm"'), "servers.lab.port", "endpoint-map"),
    (GOOD.replace('["OFFICE"]', "[]"), "servers.lab.printers", "one or more"),
    (GOOD.replace('["OFFICE"]', '["OFFICE", "office"]'), "servers.lab.printers", "named twice"),
    (GOOD.replace('"OFFICE"', '"%s"' % ("P" * 260)), "servers.lab.printers", "at most 259"),
    (GOOD.replace("port = 49703", "port = 49703 49704"), "not valid TOML", "line 5"),
])
def test_a_bad_configuration_names_the_file_the_key_and_the_fault(tmp_path, text, where, what):
    path = tmp_path / "gateway.toml"
    path.write_text(text)
    with pytest.raises(ConfigError) as refused:
        load(str(path))
    message = str(refused.value)
    assert message.startswith(str(path) + ": " + where), message
    assert what in message, message


def test_defaults_and_the_endpoint_map(tmp_path):
    path = tmp_path / "gateway.toml"
    path.write_text(GOOD.replace("port = 49703\n", "").replace('listen = "127.0.0.1:9464"',
                                                                'listen = "[::1]:0"'))
    config = load(str(path))
    assert (config.listen_host, config.listen_port, config.refresh_interval, config.call_timeout,
            config.low_paper) == ("::1", 0, 30, 10, 10)
    assert config.servers["lab"].port is None and config.servers["lab"].concurrency == 2
    with pytest.raises(ConfigError, match="none.toml: cannot read"):
        load(str(tmp_path / "none.toml"))


# -- the fleet, over a stand-in collection -----------------------------------------------

class StandIn:
    """Replaces the collection of a printer: counts the calls, the most at
    once, and answers by port: `down_ports` take no connection."""

    def __init__(self, hold=0.2, down_ports=()):
        self.hold, self.down_ports = hold, set(down_ports)
        self.calls, self.now, self.most = [], 0, 0
        self.lock = threading.Lock()

    def __call__(self, client, printer, full=False, timeout=None):
        with self.lock:
            self.calls.append((printer, client.port))
            self.now += 1
            self.most = max(self.most, self.now)
        time.sleep(self.hold)
        with self.lock:
            self.now -= 1
        if client.port in self.down_ports:
            return PrinterSample(printer, error="refused", unreachable=True, server_down=True,
                                 kind="unreachable", started=time.time())
        return PrinterSample(printer, True, started=time.time())


def make_fleet(monkeypatch, stand_in, port=49703, printers=("A",), concurrency=2):
    """A Fleet of one server "lab" whose collections are `stand_in`'s."""
    monkeypatch.setattr(fleet_module, "collect", stand_in)
    server = gateway_config.ServerConfig("lab", "printsrv", port, tuple(printers), concurrency)
    config = gateway_config.GatewayConfig("t.toml", "127.0.0.1", 0, 30, 5, 10, concurrency,
                                          {"lab": server})
    return fleet_module.Fleet(config, Telemetry())


def test_requests_for_one_printer_share_the_collection_in_flight(monkeypatch):
    stand_in = StandIn(hold=0.3)
    fleet = make_fleet(monkeypatch, stand_in)
    futures = [fleet.collect("lab", "A") for _ in range(20)]
    assert all(f.result(5).up for f in futures)
    assert len(stand_in.calls) == 1
    assert fleet.telemetry.joined._value.get() == 19
    # Once it has ended, the next request starts a new one.
    assert fleet.collect("lab", "A").result(5).up and len(stand_in.calls) == 2
    fleet.close()


def test_a_server_gets_no_more_collections_at_once_than_its_bound(monkeypatch):
    stand_in = StandIn(hold=0.2)
    fleet = make_fleet(monkeypatch, stand_in, printers="ABCDEF", concurrency=2)
    for future in [fleet.collect("lab", p) for p in "ABCDEF"]:
        future.result(10)
    assert (len(stand_in.calls), stand_in.most) == (6, 2)
    fleet.close()


def test_collections_waiting_behind_an_answerless_one_take_its_answer(monkeypatch):
    stand_in = StandIn(hold=0.3, down_ports={49703})
    fleet = make_fleet(monkeypatch, stand_in, printers="ABC", concurrency=1)
    samples = [f.result(10) for f in [fleet.collect("lab", p) for p in "ABC"]]
    assert [s.printer for s in samples] == ["A", "B", "C"] and not any(s.up for s in samples)
    assert len(stand_in.calls) == 1
    # A fixed port that takes no connection: the reason says what to configure.
    assert "fixed port" in samples[0].error and "endpoint-map" in samples[0].error
    fleet.close()


def test_a_restarted_server_is_found_again_through_the_endpoint_map(monkeypatch):
    ports = iter([5000, 6000])
    monkeypatch.setattr(fleet_module, "resolve_port", lambda host, timeout: next(ports))
    stand_in = StandIn(hold=0)
    fleet = make_fleet(monkeypatch, stand_in, port=None)
    assert fleet.collect("lab", "A").result(5).up
    # The server starts again on another port: the port asked for earlier
    # takes no connection, so the map is asked again within the collection.
    stand_in.down_ports.add(5000)
    assert fleet.collect("lab", "A").result(5).up
    assert stand_in.calls == [("A", 5000), ("A", 5000), ("A", 6000)]
    fleet.close()


def test_an_unreachable_endpoint_map_is_the_reason(monkeypatch):
    def resolve(host, timeout):
        raise Unreachable("no TCP endpoint of DeviceRpc in the endpoint map of printsrv:135", 1722)

    monkeypatch.setattr(fleet_module, "resolve_port", resolve)
    stand_in = StandIn(hold=0)
    fleet = make_fleet(monkeypatch, stand_in, port=None)
    sample = fleet.collect("lab", "A").result(5)
    assert (sample.up, sample.kind, stand_in.calls) == (False, "unreachable", [])
    assert "endpoint map of printsrv" in sample.error
    fleet.close()
