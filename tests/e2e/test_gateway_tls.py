"""The gateway with a web configuration (--web.config.file): TLS with a
test CA and basic authentication on every path, against the real server
under Wine; and the web configurations it refuses at start."""
import subprocess
import urllib.request

import pytest

from harness.env import run_devicerpc
from harness.gateway import Gateway
from harness.tls import make_pki, write_web_config

USERS = {"admin": "right horse", "prometheus": "s3cret"}
PATHS = ["/", "/printers/local/OFFICE", "/probe?target=local&printer=OFFICE", "/metrics",
         "/api/v1/printers", "/api/v1/printers/local/OFFICE", "/openapi.json",
         "/static/style.css", "/nothing"]


@pytest.fixture(scope="module")
def secured(site, tmp_path_factory):
    """(gateway with TLS and passwords over the site's server, its Pki)."""
    folder = tmp_path_factory.mktemp("tls")
    pki = make_pki(folder)
    web = write_web_config(folder / "web.yml", tls=pki, users=USERS)
    gateway = Gateway(site.config_path, "--web.config.file", web)
    yield gateway, pki
    assert gateway.stop() == 0


def curl(gateway, pki, path, *options):
    """(HTTP status, body) of curl over TLS, trusting only the test CA."""
    done = subprocess.run(["curl", "-sS", "--cacert", pki.ca, "-o", "-", "-w", "\n%{http_code}",
                           *options, gateway.url + path], capture_output=True, text=True,
                          timeout=60)
    body, _, status = done.stdout.rpartition("\n")
    return int(status or 0), body


@pytest.mark.parametrize("options", [
    (), ("-u", "admin:wrong horse"), ("-u", "nobody:right horse"), ("-u", "admin"),
    ("-H", "Authorization: Basic !!!notbase64"), ("-H", "Authorization: Bearer right horse"),
], ids=["none", "wrong", "unknown-user", "empty", "garbled", "other-scheme"])
def test_every_path_needs_a_right_password(secured, options):
    gateway, pki = secured
    for path in PATHS:
        status, body = curl(gateway, pki, path, *options)
        assert status == 401 and "OFFICE" not in body and "15230" not in body, (path, body)


def test_the_right_password_gets_the_pages_over_tls(secured):
    gateway, pki = secured
    status, body = curl(gateway, pki, "/printers/local/OFFICE", "-u", "admin:right horse")
    assert status == 200 and "15,230" in body
    status, body = curl(gateway, pki, "/api/v1/printers/local/OFFICE", "-u", "prometheus:s3cret")
    assert status == 200 and '"mono":15230' in body
    # Plain HTTP to the TLS listener gets no page.
    with pytest.raises(OSError):
        urllib.request.urlopen(gateway.url.replace("https:", "http:") + "/", timeout=10).read()
    # Without the test CA, curl does not trust the certificate.
    done = subprocess.run(["curl", "-sS", "-u", "admin:right horse", gateway.url + "/"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 60, done.stderr
    assert "Traceback" not in gateway.log()


def test_a_web_configuration_that_cannot_be_used_is_refused_at_start(site, tmp_path):
    pki = make_pki(tmp_path)
    cases = [
        ("basic_auth_users:\n  admin: right horse\n", "basic_auth_users.admin: not a bcrypt hash"),
        ("tls_server_config:\n  cert_file: %s\n  key_file: %s\n" % (pki.cert, tmp_path / "none.key"),
         "tls_server_config.key_file: cannot read"),
        ("tls_server_config:\n  cert_file: %s\n" % pki.cert, "tls_server_config.key_file: must name"),
        ("tls_server_config:\n  cert_file: %s\n  key_file: %s\n" % (pki.ca, pki.key),
         "tls_server_config.cert_file, key_file: the certificate and key do not load"),
        ("tls_config:\n  cert_file: x\n", "tls_config: unknown key"),
        ("basic_auth_users: [admin]\n", "basic_auth_users: must be a mapping"),
        ("tls_server_config: {cert_file: [\n", "not valid YAML"),
    ]
    for text, message in cases:
        web = tmp_path / "web.yml"
        web.write_text(text)
        for mode in ("--check-config", "--config"):
            done = run_devicerpc("gateway", mode, site.config_path, "--web.config.file", web,
                                 "--listen", "127.0.0.1:0", timeout=60)
            assert done.returncode == 2, (mode, text, done.stderr)
            # One line that names the file and the key.
            assert done.stderr.startswith("devicerpc gateway: %s: " % web), done.stderr
            assert message in done.stderr and done.stderr.count("\n") == 1, done.stderr
