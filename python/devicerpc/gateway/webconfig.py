"""The web configuration file of `--web.config.file`, in the format that
Prometheus' exporters take: TLS for the listener and users with bcrypt
hashes. Read with PyYAML, hashes checked with bcrypt.

    tls_server_config:
      cert_file: gateway.crt          # relative paths: from this file's folder
      key_file: gateway.key
      client_ca_file: clients.pem     # optional, with client_auth_type
      client_auth_type: RequireAndVerifyClientCert
      min_version: TLS12              # TLS12 (default) or TLS13
    basic_auth_users:
      prometheus: $2y$10$...          # htpasswd -nBC 10 prometheus

Everything is checked when the gateway starts (and reloads): a key it does
not take, a password that is not a bcrypt hash, or a certificate or key
that cannot be loaded is refused with the file's name and the key.
"""
import os
import re
import ssl
from dataclasses import dataclass, field

from .config import ConfigError

TLS_KEYS = ("cert_file", "key_file", "client_ca_file", "client_auth_type", "min_version")
CLIENT_AUTH = {"NoClientCert": ssl.CERT_NONE, "VerifyClientCertIfGiven": ssl.CERT_OPTIONAL,
               "RequireAndVerifyClientCert": ssl.CERT_REQUIRED}
VERSIONS = {"TLS12": ssl.TLSVersion.TLSv1_2, "TLS13": ssl.TLSVersion.TLSv1_3}
# $2a$, $2b$ or $2y$, a two-digit cost, 22 characters of salt and 31 of hash.
BCRYPT = re.compile(r"\$2[aby]\$\d{2}\$[./A-Za-z0-9]{53}")


@dataclass
class WebConfig:
    path: str = None
    tls: ssl.SSLContext = None  # None: plain HTTP
    users: dict = field(default_factory=dict)  # name: bcrypt hash (bytes); empty: no passwords


def _file(folder, table, key, where):
    """The path of a file that `key` names, which must be readable."""
    value = table.get(key)
    if not isinstance(value, str) or not value:
        raise ConfigError("%s.%s: must name a file" % (where, key))
    path = os.path.join(folder, value)
    try:
        with open(path, "rb"):
            pass
    except OSError as error:
        raise ConfigError("%s.%s: cannot read %s: %s" % (where, key, path, error.strerror)) from None
    return path


def _choice(table, key, choices, default, where):
    """One of `choices` (a dict) by its name; `default` when absent."""
    value = table.get(key, default)
    if value not in choices:
        raise ConfigError("%s.%s: must be one of %s, not %r"
                          % (where, key, ", ".join(choices), value))
    return choices[value]


def tls_context(table, folder):
    """The server-side SSLContext of a tls_server_config table."""
    where = "tls_server_config"
    if not isinstance(table, dict):
        raise ConfigError("%s: must be a mapping" % where)
    for key in table:
        if key not in TLS_KEYS:
            raise ConfigError("%s.%s: unknown key (known: %s)" % (where, key, ", ".join(TLS_KEYS)))
    cert, key = _file(folder, table, "cert_file", where), _file(folder, table, "key_file", where)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = _choice(table, "min_version", VERSIONS, "TLS12", where)
    try:
        context.load_cert_chain(cert, key)
    except ssl.SSLError as error:
        raise ConfigError("%s.cert_file, key_file: the certificate and key do not load: %s"
                          % (where, error.reason or error)) from None
    context.verify_mode = _choice(table, "client_auth_type", CLIENT_AUTH, "NoClientCert", where)
    if context.verify_mode != ssl.CERT_NONE:
        context.load_verify_locations(_file(folder, table, "client_ca_file", where))
    return context


def users(table):
    """{name: hash} of a basic_auth_users table; plain passwords refused."""
    if not isinstance(table, dict):
        raise ConfigError("basic_auth_users: must be a mapping of user names to bcrypt hashes")
    found = {}
    for name, value in table.items():
        where = "basic_auth_users.%s" % name
        if not isinstance(name, str) or not name or ":" in name:
            raise ConfigError("%s: a user name is text without ':'" % where)
        if not isinstance(value, str) or not BCRYPT.fullmatch(value):
            raise ConfigError("%s: not a bcrypt hash: passwords are kept only as bcrypt hashes "
                              "(htpasswd -nBC 10 %s makes one)" % (where, name))
        found[name] = value.encode("ascii")
    return found


def load(path):
    """The WebConfig of the file at `path`; ConfigError naming file and key."""
    import yaml  # only a gateway with a web configuration needs it

    try:
        with open(path, encoding="utf-8") as f:
            table = yaml.safe_load(f)
    except OSError as error:
        raise ConfigError("%s: cannot read: %s" % (path, error.strerror or error)) from None
    except (yaml.YAMLError, UnicodeDecodeError) as error:
        raise ConfigError("%s: not valid YAML: %s" % (path, " ".join(str(error).split()))) from None
    table = {} if table is None else table
    try:
        if not isinstance(table, dict):
            raise ConfigError("must be a mapping with tls_server_config and basic_auth_users")
        for key in table:
            if key not in ("tls_server_config", "basic_auth_users"):
                raise ConfigError("%s: unknown key (known: tls_server_config, basic_auth_users)"
                                  % key)
        folder = os.path.dirname(os.path.abspath(path))
        tls = tls_context(table["tls_server_config"], folder) \
            if table.get("tls_server_config") is not None else None
        accounts = users(table["basic_auth_users"]) \
            if table.get("basic_auth_users") is not None else {}
    except ConfigError as error:
        raise ConfigError("%s: %s" % (path, error)) from None
    return WebConfig(path, tls, accounts)
