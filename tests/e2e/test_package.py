"""`make package`: the versioned zip holds what a deployment needs and its
checksum file verifies it."""
import hashlib
import os
import subprocess
import sys
import zipfile

from conftest import BIN, ROOT, project_version


def test_zip_contents_and_checksum():
    build = os.path.dirname(BIN)
    done = subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "package"), build],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    name = "DeviceRpc-%s-win64" % project_version()
    archive = os.path.join(build, "dist", name + ".zip")
    with zipfile.ZipFile(archive) as zf:
        names = set(zf.namelist())
        for exe in ("DeviceRpcServer", "DeviceRpcCtl", "MonitorSim", "DeviceRpcClient"):
            member = "%s/bin/%s.exe" % (name, exe)
            with open(os.path.join(BIN, exe + ".exe"), "rb") as f:
                assert zf.read(member) == f.read(), member
    for page in ("interface/DeviceRpc.idl", "README.md", "docs/DeviceRpcClient.md",
                 "docs/DeviceRpcCtl.md", "docs/MonitorSim.md"):
        assert "%s/%s" % (name, page) in names, page
    with open(archive, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    with open(archive + ".sha256") as f:
        assert f.read() == "%s  %s\n" % (digest, name + ".zip")
