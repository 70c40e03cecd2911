"""The release package signed with a throwaway code-signing certificate:
every .exe and .dll in the zip carries an Authenticode signature (SHA-256)
that verifies with that certificate as the trusted root, and a binary with
one byte changed after signing fails the check."""
import os
import subprocess
import sys
import zipfile

import pefile
import pytest

from harness.env import ROOT, bin_dir


def make_certificate(folder):
    """A self-signed certificate for code signing and its key, valid for two days."""
    cert, key = str(folder / "signer.pem"), str(folder / "signer.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=DeviceRpc test signer", "-keyout", key, "-out", cert,
                    "-addext", "keyUsage=critical,digitalSignature",
                    "-addext", "extendedKeyUsage=codeSigning"],
                   check=True, capture_output=True, timeout=60)
    return cert, key


@pytest.fixture(scope="module")
def signed(tmp_path_factory):
    """(certificate, {file name: path}) of the binaries of a package signed with it."""
    folder = tmp_path_factory.mktemp("signing")
    cert, key = make_certificate(folder)
    done = subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "package"),
                           os.path.dirname(bin_dir()), "--dist", str(folder / "dist"),
                           "--sign-cert", cert, "--sign-key", key],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    (archive,) = (folder / "dist").glob("*.zip")
    binaries = {}
    with zipfile.ZipFile(archive) as zf:
        for member in zf.namelist():
            name = member.rsplit("/", 1)[-1]
            if name.lower().endswith((".exe", ".dll")):
                binaries[name] = folder / name
                binaries[name].write_bytes(zf.read(member))
    assert {"DeviceRpcServer.exe", "DeviceRpcApi.dll"} <= set(binaries), sorted(binaries)
    return cert, binaries


def verify(cert, path):
    """osslsigncode's verdict on one file with `cert` as the only trusted root: (exit code, report)."""
    done = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", str(path)],
                          capture_output=True, text=True, timeout=60)
    return done.returncode, done.stdout + done.stderr


def test_every_binary_verifies_with_sha256(signed):
    cert, binaries = signed
    failures = []
    for name, path in sorted(binaries.items()):
        code, report = verify(cert, path)
        if code != 0 or "Message digest algorithm  : SHA256" not in report:
            failures.append("%s: exit %d\n%s" % (name, code, report[-600:]))
    assert not failures, "\n".join(failures)


def test_one_changed_byte_fails_verification(signed, tmp_path):
    cert, binaries = signed
    damaged = tmp_path / "DeviceRpcServer.exe"
    data = bytearray(binaries["DeviceRpcServer.exe"].read_bytes())
    code_section = pefile.PE(data=bytes(data)).sections[0]
    data[code_section.PointerToRawData + code_section.SizeOfRawData // 2] ^= 0x01
    damaged.write_bytes(bytes(data))
    code, report = verify(cert, damaged)
    assert code != 0 and "MISMATCH" in report, report
