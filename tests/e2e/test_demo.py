"""The main job, `make demo`, as a smoke test: it runs to the end in its own
prefix, every record comes back over both transports, the write shows, the
C sample, the metrics and the gateway read the printer, the server exits 0, and nothing
of the prefix is left running."""
import os
import re
import subprocess

from prometheus_client.parser import text_string_to_metric_families

from harness.env import ROOT, bin_dir
from harness.processes import of_prefix


def test_demo_runs_to_the_end():
    done = subprocess.run([os.path.join(ROOT, "scripts", "demo"), bin_dir()], capture_output=True,
                          text=True, timeout=600)
    out = done.stdout
    assert done.returncode == 0, out + done.stderr
    assert "controller: listening" in out
    assert re.search(r"^TCP endpoint: port \d+$", out, re.M), out
    # Seven records over each transport, two commands, a write and its reads.
    assert out.count("result: TRUE") >= 19, out
    assert out.count("firmware       131333") == 3, out
    assert out.count("mono     0         15230") == 2, out
    assert "1    32      2          9          2100       2970       90" in out
    assert "result: 0 (success)" in out
    assert "cassettes 3, duplex 1, firmware 0x00020105" in out
    assert re.search(r"^1    2       9     2100   2970    90$", out, re.M), out
    metrics = out[out.index("# HELP"):out.index("== The printer status gateway")]
    samples = {(s.name, s.labels.get("printer"), s.labels.get("bin")): s.value
               for family in text_string_to_metric_families(metrics) for s in family.samples}
    assert samples[("devicerpc_printer_up", "OFFICE", None)] == 1
    assert samples[("devicerpc_printer_up", "Missing Printer", None)] == 0
    assert samples[("devicerpc_pages_mono_total", "OFFICE", None)] == 15230
    assert samples[("devicerpc_bin_paper_level", "OFFICE", "1")] == 90
    # The gateway's JSON and probe of the sample printer, then its clean stop.
    service = out[out.index("== The printer status gateway"):out.index("== Stopping")]
    assert '"mono": 15230' in service and "devicerpc_probe_success 1.0" in service, service
    assert "gateway: SIGTERM, exit status 0" in service
    assert "controller: exit code 0" in out
    assert out.rstrip().endswith("demo finished")
    prefix = re.search(r"^== Preparing a private Wine prefix \((.*)\)$", out, re.M).group(1)
    assert of_prefix(prefix) == []
    assert not os.path.exists(prefix)
