"""A real Prometheus (Debian's server, started here with its own
configuration and data folder on a free local port) scrapes the gateway
the multi-target way, and the sample printer's counter is read back
through Prometheus' query API."""
import json
import socket
import subprocess
import time
import urllib.parse
import urllib.request

import pytest

PROMETHEUS = "/usr/bin/prometheus"


def free_port():
    """A TCP port on 127.0.0.1 that nothing listens on now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def scrape_config(gateway_address):
    """The relabeling of the multi-target pattern: the target becomes the
    `target` parameter and the instance label, the gateway the address."""
    return {
        "global": {"scrape_interval": "1s", "evaluation_interval": "1s"},
        "scrape_configs": [
            {"job_name": "printers", "metrics_path": "/probe", "params": {"printer": ["OFFICE"]},
             "static_configs": [{"targets": ["local"]}],
             "relabel_configs": [
                 {"source_labels": ["__address__"], "target_label": "__param_target"},
                 {"source_labels": ["__param_target"], "target_label": "instance"},
                 {"target_label": "__address__", "replacement": gateway_address}]},
            {"job_name": "gateway", "static_configs": [{"targets": [gateway_address]}]},
        ]}


@pytest.fixture
def prometheus(site, tmp_path):
    """A Prometheus scraping the site's gateway; its query URL."""
    config = tmp_path / "prometheus.yml"
    config.write_text(json.dumps(scrape_config("127.0.0.1:%d" % site.gateway.port)))  # JSON is YAML
    port = free_port()
    with open(tmp_path / "prometheus.log", "w") as log:
        proc = subprocess.Popen([PROMETHEUS, "--config.file=%s" % config,
                                 "--storage.tsdb.path=%s" % (tmp_path / "data"),
                                 "--web.listen-address=127.0.0.1:%d" % port],
                                stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    yield "http://127.0.0.1:%d/api/v1/query" % port
    proc.terminate()
    proc.wait(timeout=30)


def query(url, expression):
    """The result vector of an instant query ([] while Prometheus is starting)."""
    try:
        with urllib.request.urlopen(url + "?" + urllib.parse.urlencode({"query": expression}),
                                    timeout=10) as answer:
            return json.loads(answer.read())["data"]["result"]
    except OSError:
        return []


def wait_for(url, expression, seconds=60):
    """The first non-empty result of `expression`, polled once a second."""
    deadline = time.time() + seconds
    while time.time() < deadline:
        result = query(url, expression)
        if result:
            return result
        time.sleep(1)
    pytest.fail("Prometheus never had %s" % expression)


def test_prometheus_reads_the_sample_printer_through_the_probe(prometheus):
    [sample] = wait_for(prometheus, 'devicerpc_pages_mono_total{printer="OFFICE"}')
    assert sample["value"][1] == "15230"
    assert (sample["metric"]["instance"], sample["metric"]["job"]) == ("local", "printers")
    [success] = wait_for(prometheus, 'devicerpc_probe_success{instance="local"}')
    assert success["value"][1] == "1"
    # The gateway's own figures, scraped as an ordinary target.
    [collections] = wait_for(prometheus, 'devicerpc_gateway_collections_total{server="local"}')
    assert float(collections["value"][1]) >= 1
