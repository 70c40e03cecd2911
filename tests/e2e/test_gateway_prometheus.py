"""A real Prometheus (Debian's server, started with its own configuration
and data folder on a free local port) scrapes the gateway the multi-target
way, over plain HTTP and over TLS with basic authentication, and the
sample printer's counter is read back through Prometheus' query API."""

from harness.gateway import Gateway
from harness.prometheus import Prometheus, probe_job
from harness.tls import make_pki, write_web_config


def read_back(prometheus):
    """The sample printer's mono counter and the probe's success, as
    Prometheus stored them."""
    [sample] = prometheus.wait_for('devicerpc_pages_mono_total{printer="OFFICE"}')
    assert (sample["value"][1], sample["metric"]["instance"], sample["metric"]["job"]) == (
        "15230", "local", "printers")
    [success] = prometheus.wait_for('devicerpc_probe_success{instance="local"}')
    assert success["value"][1] == "1"


def test_prometheus_reads_the_sample_printer_through_the_probe(site, tmp_path):
    address = "127.0.0.1:%d" % site.gateway.port
    own = {"job_name": "gateway", "static_configs": [{"targets": [address]}]}
    with Prometheus(tmp_path, probe_job(address, ["local"], ["OFFICE"]), own) as prometheus:
        read_back(prometheus)
        # The gateway's own figures, scraped as an ordinary target.
        [made] = prometheus.wait_for('devicerpc_gateway_collections_total{server="local"}')
        assert float(made["value"][1]) >= 1


def test_prometheus_scrapes_through_tls_with_basic_auth(site, tmp_path):
    pki = make_pki(tmp_path)
    web = write_web_config(tmp_path / "web.yml", tls=pki, users={"prometheus": "s3cret pass"})
    gateway = Gateway(site.config_path, "--web.config.file", web)
    try:
        assert gateway.url.startswith("https://")
        job = probe_job("127.0.0.1:%d" % gateway.port, ["local"], ["OFFICE"], scheme="https",
                        tls_config={"ca_file": pki.ca},
                        basic_auth={"username": "prometheus", "password": "s3cret pass"})
        with Prometheus(tmp_path, job) as prometheus:
            read_back(prometheus)
    finally:
        assert gateway.stop() == 0
