"""Throwaway TLS material and web configurations for the gateway's tests:
a test CA and a server certificate for 127.0.0.1 made with openssl, and a
web configuration file with bcrypt hashes.

    pki = make_pki(folder)     pki.ca, pki.cert, pki.key (paths)
    write_web_config(path, tls=pki, users={"prometheus": "secret"})
"""
import os
import subprocess
from typing import NamedTuple

import bcrypt

# P-256 keys: as good as RSA here, and made in milliseconds.
KEY = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]


class Pki(NamedTuple):
    ca: str
    cert: str
    key: str


def openssl(*args, cwd):
    """Runs openssl; RuntimeError with its output when it fails."""
    done = subprocess.run(["openssl", *args], cwd=cwd, capture_output=True, text=True, timeout=60)
    if done.returncode:
        raise RuntimeError("openssl %s: %s" % (" ".join(args), done.stderr))


def make_pki(folder):
    """A CA and a server certificate it signed, valid for IP 127.0.0.1."""
    folder = str(folder)
    openssl("req", "-x509", *KEY, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
            "-subj", "/CN=devicerpc test CA", cwd=folder)
    openssl("req", *KEY, "-keyout", "server.key", "-out", "server.csr",
            "-subj", "/CN=127.0.0.1", cwd=folder)
    with open(os.path.join(folder, "san.cnf"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-out", "server.crt", "-days", "2", "-extfile", "san.cnf",
            cwd=folder)
    return Pki(*(os.path.join(folder, name) for name in ("ca.pem", "server.crt", "server.key")))


def write_web_config(path, tls=None, users=None, cost=4):
    """A web configuration: TLS from a Pki, users with their passwords
    hashed (a low bcrypt cost keeps the tests fast)."""
    lines = []
    if tls:
        lines += ["tls_server_config:", "  cert_file: %s" % tls.cert, "  key_file: %s" % tls.key]
    if users:
        lines.append("basic_auth_users:")
        for name, password in users.items():
            hashed = bcrypt.hashpw(password.encode(), bcrypt.gensalt(cost)).decode()
            lines.append("  %s: '%s'" % (name, hashed))
    with open(str(path), "w") as f:
        f.write("\n".join(lines) + "\n")
    return str(path)
