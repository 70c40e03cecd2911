"""The gateway over the real server under Wine and MonitorSim with the
sample printer: its API and /probe, collections shared as measured in
MonitorSim's log, its answers to bad requests, and its reload on SIGHUP."""
import re
import signal
import threading
import time
from urllib.parse import quote

import psutil
from prometheus_client.parser import text_string_to_metric_families

from harness.gateway import Gateway, write_config
from harness.tls import write_web_config

# samples/office.printer, spelled out.
COUNTERS = {"mono": 15230, "color": 8412, "black": 17090, "cyan": 6120, "magenta": 5981,
            "yellow": 6304, "io": 23642}
BINS = [(1, 9, 2100, 2970, 80), (2, 9, 2100, 2970, 35), (4, 11, 1480, 2100, 0)]
SERVICE = "010002000300040005000600070008000900"
MARKUP = "<b>Bold</b> & <i>Co</i>"
# 7 counters, the bins, the configuration, calibration and service settings.
MESSAGES_PER_COLLECTION = 11
LONG = "P" * 5000


def samples_of(text):
    """{(sample name, labels as a sorted tuple): value} of an exposition."""
    return {(s.name, tuple(sorted(s.labels.items()))): s.value
            for family in text_string_to_metric_families(text) for s in family.samples}


def gateway_figure(site, name, **labels):
    """One sample of the gateway's own /metrics (0 when it has none yet)."""
    wanted = (name, tuple(sorted(labels.items())))
    return samples_of(site.gateway.get("/metrics").text).get(wanted, 0)


def server_connections(site):
    """The gateway's TCP connections to the server."""
    return [c for c in psutil.Process(site.gateway.pid).connections("tcp")
            if c.raddr and c.raddr.port == site.port]


def test_the_api_gives_the_sample_printers_records(site):
    office, missing, markup = site.gateway.json("/api/v1/printers")["printers"]
    assert (office["printer"], office["up"], office["alerts"]) == ("OFFICE", True, ["bin 3 empty"])
    assert [(b["source"], b["size"], b["width"], b["height"], b["level"])
            for b in office["bins"]] == BINS
    assert [(b["size_name"], b["state"]) for b in office["bins"]] == [
        ("A4", "ok"), ("A4", "ok"), ("A5", "empty")]
    assert office["counters"] == COUNTERS
    assert office["config"] == {"cassettes": 3, "duplex": 1, "firmware": 0x00020105,
                                "firmware_hex": "0x00020105"}
    assert office["calibration"] == bytes(range(0x10, 0x4C)).hex()
    assert office["service_settings"] == SERVICE
    for down, name in ((missing, "Missing Printer"), (markup, MARKUP)):
        assert (down["printer"], down["up"], down["error_kind"], down["alerts"], down["bins"]) == (
            name, False, "refused", ["not answering"], [])
        assert "FALSE" in down["error"] and down["since"]
    one = site.gateway.json("/api/v1/printers/local/" + quote(MARKUP, safe=""))
    assert (one["printer"], one["up"]) == (MARKUP, False)
    paths = site.gateway.json("/openapi.json")["paths"]
    assert {"/api/v1/printers", "/api/v1/printers/{server}/{printer}"} <= set(paths)


def test_probe_gives_the_metrics_families_and_its_own(site):
    answer = site.gateway.get("/probe?target=local&printer=OFFICE&printer=Missing%20Printer")
    assert answer.status == 200 and answer.headers["Content-Type"].startswith("text/plain")
    got = samples_of(answer.text)
    office, missing = (("printer", "OFFICE"),), (("printer", "Missing Printer"),)
    assert got.pop(("devicerpc_probe_duration_seconds", ())) > 0
    expected = {("devicerpc_printer_up", office): 1, ("devicerpc_printer_up", missing): 0,
                ("devicerpc_probe_success", ()): 0}
    for name, value in COUNTERS.items():
        expected[("devicerpc_pages_%s_total" % name, office)] = value
    for index, (_, size, _, _, level) in enumerate(BINS):
        labels = (("bin", str(index)), ("printer", "OFFICE"))
        expected[("devicerpc_bin_paper_level", labels)] = level
        expected[("devicerpc_bin_paper_size", labels)] = size
    assert got == expected
    # Without a printer: every configured printer of the target.
    every = samples_of(site.gateway.get("/probe?target=local").text)
    assert sorted(dict(k[1])["printer"] for k in every if k[0] == "devicerpc_printer_up") == sorted(
        ["OFFICE", "Missing Printer", MARKUP])


def test_twenty_requests_for_one_printer_make_one_collection(site):
    # A monitor that takes 0.1 s a message keeps the collection in flight
    # while all twenty requests arrive.
    site.restart_monitor("--delay-ms", "100")
    try:
        joined, before = gateway_figure(site, "devicerpc_gateway_joined_requests_total"), \
            len(site.messages())
        barrier, answers = threading.Barrier(20), [None] * 20

        def probe(index):
            barrier.wait()
            answers[index] = site.gateway.get("/probe?target=local&printer=OFFICE")

        threads = [threading.Thread(target=probe, args=(i,)) for i in range(20)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)
        assert all(samples_of(a.text)[("devicerpc_printer_up", (("printer", "OFFICE"),))] == 1
                   for a in answers)
        assert len(site.messages()) - before == MESSAGES_PER_COLLECTION
        assert gateway_figure(site, "devicerpc_gateway_joined_requests_total") - joined == 19
        # A page within the refresh interval of that collection asks nothing.
        before = len(site.messages())
        assert site.gateway.get("/printers/local/OFFICE").status == 200
        assert len(site.messages()) == before
    finally:
        site.restart_monitor()
    assert server_connections(site) == []


BAD_REQUESTS = [
    ("/probe?target=elsewhere", 400, "'elsewhere' is not a server of the configuration"),
    ("/probe?target=127.0.0.1", 400, "'127.0.0.1' is not a server of the configuration"),
    ("/probe", 400, "give one target"),
    ("/probe?target=", 400, "give one target"),
    ("/probe?target=local&target=local", 400, "give one target"),
    ("/probe?target=local&printer=Nowhere", 400, "'Nowhere' is not configured on 'local'"),
    ("/probe?target=local&printer=" + LONG, 400, "is not configured on 'local'"),
    ("/probe?target=local&printer", 400, "'' is not configured"),
    ("/probe?target=local&module=x", 400, "unknown parameter 'module'"),
    ("/probe?target=%ZZ%00", 400, "is not a server of the configuration"),
    ("/printers/local/Nowhere", 404, "no printer &#39;Nowhere&#39;"),
    ("/printers/local/" + LONG, 404, "no printer &#39;PPP"),
    ("/printers/elsewhere/OFFICE", 404, "on a server &#39;elsewhere&#39;"),
    ("/printers/local/" + quote("<script>x</script>"), 404, "&lt;script&gt;x&lt;/script&gt;"),
    ("/api/v1/printers/local/" + LONG, 404, '"status":404'),
    ("/api/v1/printers/local", 404, "no printer '' on a server 'local'"),
    ("/nothing", 404, "there is no page at /nothing"),
]


def test_bad_requests_get_a_clear_answer_and_nothing_is_called(site):
    calls = gateway_figure(site, "devicerpc_gateway_rpc_calls_total", server="local", result="ok")
    before = len(site.messages())
    for path, status, text in BAD_REQUESTS:
        answer = site.gateway.get(path)
        assert (answer.status, text in answer.text) == (status, True), (path, answer.text[:300])
    # Read only: no other method is served.
    for method in ("POST", "PUT", "DELETE"):
        assert site.gateway.get("/api/v1/printers", method=method).status == 405
    assert len(site.messages()) == before
    assert gateway_figure(site, "devicerpc_gateway_rpc_calls_total", server="local",
                          result="ok") == calls
    assert "Traceback" not in site.gateway.log() and site.gateway.proc.poll() is None
    assert site.gateway.get("/").status == 200


def test_sighup_reloads_the_configuration_and_keeps_a_valid_one(site, tmp_path):
    config = tmp_path / "gateway.toml"
    fleet = {"local": {"host": "127.0.0.1", "port": site.port, "printers": ["OFFICE"]}}
    write_config(config, fleet)
    web = tmp_path / "web.yml"
    web.write_text("{}\n")
    gateway = Gateway(config, "--web.config.file", web)
    try:
        def printers():
            return [p["printer"] for p in gateway.json("/api/v1/printers")["printers"]]

        def reloaded(count):
            gateway.proc.send_signal(signal.SIGHUP)
            deadline = time.time() + 30
            while len(re.findall(r": reloaded:|: reload refused", gateway.log())) < count \
                    and time.time() < deadline:
                time.sleep(0.05)

        assert printers() == ["OFFICE"]
        fleet["local"]["printers"].append("Missing Printer")
        write_config(config, fleet)
        reloaded(1)
        assert printers() == ["OFFICE", "Missing Printer"]
        config.write_text("servers = 5\n")
        reloaded(2)
        assert "reload refused, the running configuration stays: %s: servers" % config \
            in gateway.log()
        assert printers() == ["OFFICE", "Missing Printer"]
        # New users take effect at once.
        write_config(config, fleet)
        write_web_config(web, users={"admin": "pw"})
        reloaded(3)
        assert gateway.get("/api/v1/printers").status == 401
    finally:
        assert gateway.stop() == 0
    assert "Traceback" not in gateway.log()
