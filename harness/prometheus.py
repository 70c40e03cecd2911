"""A real Prometheus server (Debian's /usr/bin/prometheus) with its own
configuration and data folder on a free local port, and its query API.

    with Prometheus(folder, probe_job("127.0.0.1:9464", ["local"])) as prom:
        [sample] = prom.wait_for('devicerpc_pages_mono_total{printer="OFFICE"}')
"""
import json
import os
import socket
import subprocess
import time
import urllib.parse
import urllib.request

PROMETHEUS = "/usr/bin/prometheus"


def free_port():
    """A TCP port on 127.0.0.1 that nothing listens on now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def probe_job(gateway_address, targets, printers=None, **scrape):
    """A scrape job of the multi-target pattern: each target becomes the
    `target` parameter and the instance label, the gateway the address.
    `scrape` adds settings such as scheme, tls_config or basic_auth."""
    job = {"job_name": "printers", "metrics_path": "/probe",
           "static_configs": [{"targets": list(targets)}],
           "relabel_configs": [
               {"source_labels": ["__address__"], "target_label": "__param_target"},
               {"source_labels": ["__param_target"], "target_label": "instance"},
               {"target_label": "__address__", "replacement": gateway_address}]}
    if printers:
        job["params"] = {"printer": list(printers)}
    job.update(scrape)
    return job


class Prometheus:
    """A Prometheus scraping `jobs` every second; stopped on leaving."""

    def __init__(self, folder, *jobs):
        self.folder = str(folder)
        config = os.path.join(self.folder, "prometheus.yml")
        with open(config, "w") as f:  # JSON is YAML
            json.dump({"global": {"scrape_interval": "1s", "evaluation_interval": "1s"},
                       "scrape_configs": list(jobs)}, f)
        self.port = free_port()
        self.url = "http://127.0.0.1:%d" % self.port
        self.log_path = os.path.join(self.folder, "prometheus.log")
        with open(self.log_path, "w") as log:
            self.proc = subprocess.Popen(
                [PROMETHEUS, "--config.file=%s" % config,
                 "--storage.tsdb.path=%s" % os.path.join(self.folder, "data"),
                 "--web.listen-address=127.0.0.1:%d" % self.port],
                stdin=subprocess.DEVNULL, stdout=log, stderr=log)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()

    def query(self, expression):
        """The result vector of an instant query ([] while it is starting)."""
        address = self.url + "/api/v1/query?" + urllib.parse.urlencode({"query": expression})
        try:
            with urllib.request.urlopen(address, timeout=10) as answer:
                return json.loads(answer.read())["data"]["result"]
        except OSError:
            return []

    def wait_for(self, expression, seconds=60):
        """The first non-empty result of `expression`, polled once a second;
        AssertionError, with Prometheus' view of its targets, if none comes."""
        deadline = time.time() + seconds
        while time.time() < deadline:
            result = self.query(expression)
            if result:
                return result
            time.sleep(1)
        with urllib.request.urlopen(self.url + "/api/v1/targets", timeout=10) as answer:
            targets = answer.read().decode()
        raise AssertionError("Prometheus never had %s; targets: %s" % (expression, targets))
