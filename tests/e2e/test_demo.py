"""The main job, `make demo`, as a smoke test: it runs to the end in its own
prefix, every record comes back, the write shows, and the server exits 0."""
import os
import subprocess

from conftest import BIN, ROOT


def test_demo_runs_to_the_end():
    done = subprocess.run([os.path.join(ROOT, "scripts", "demo"), BIN], capture_output=True,
                          text=True, timeout=600)
    out = done.stdout
    assert done.returncode == 0, out + done.stderr
    assert "controller: listening" in out
    assert out.count("result: TRUE") >= 12
    assert "firmware       131333" in out
    assert "1    32      2          9          2100       2970       90" in out
    assert "result: 0 (success)" in out
    assert "controller: exit code 0" in out
    assert out.rstrip().endswith("demo finished")
