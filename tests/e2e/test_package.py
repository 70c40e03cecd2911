"""`make package`: the versioned zip holds what a deployment needs and its
checksum file verifies it."""
import hashlib
import os
import subprocess
import sys
import zipfile

from harness.env import ROOT, bin_dir, project_version


def test_zip_contents_and_checksum():
    build = os.path.dirname(bin_dir())
    done = subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "package"), build],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    name = "DeviceRpc-%s-win64" % project_version()
    archive = os.path.join(build, "dist", name + ".zip")
    with zipfile.ZipFile(archive) as zf:
        names = set(zf.namelist())
        for exe in ("DeviceRpcServer.exe", "DeviceRpcCtl.exe", "MonitorSim.exe",
                    "DeviceRpcClient.exe", "DeviceRpcApi.dll", "PrinterStatusSample.exe"):
            member = "%s/bin/%s" % (name, exe)
            with open(os.path.join(bin_dir(), exe), "rb") as f:
                assert zf.read(member) == f.read(), member
        # The import library names the DLL, and both libraries carry the
        # functions an application calls.
        for library, carries in (("lib/DeviceRpcApi.lib", b"DeviceRpcApi.dll"),
                                 ("lib/DeviceRpcApiStatic.lib", b"DeviceRpcGetConfig")):
            content = zf.read("%s/%s" % (name, library))
            assert content.startswith(b"!<arch>\n") and carries in content, library
            assert b"DeviceRpcOpenSession" in content, library
        with open(os.path.join(ROOT, "clientlib", "include", "devicerpc_api.h"), "rb") as f:
            assert zf.read(name + "/include/devicerpc_api.h") == f.read()
    for page in ("interface/DeviceRpc.idl", "README.md", "docs/DeviceRpcClient.md",
                 "docs/DeviceRpcCtl.md", "docs/MonitorSim.md", "docs/client-library.md",
                 "samples/printer_status.c", "samples/office.printer", "lib/DeviceRpcApi.def"):
        assert "%s/%s" % (name, page) in names, page
    with open(archive, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    with open(archive + ".sha256") as f:
        assert f.read() == "%s  %s\n" % (digest, name + ".zip")
