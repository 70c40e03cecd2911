"""The Linux side as Debian packages: `make package` builds them with the
wheel and sdist and their checksums; lintian finds no error or warning;
the gateway's unit verifies and is hardened; and the packages install,
run and go in a bare Debian 12 root (scripts/install-check)."""
import glob
import hashlib
import os
import re
import shutil
import subprocess

import pytest

from harness.env import ROOT, bin_dir, project_version

PACKAGES = ("python3-devicerpc", "devicerpc-gateway")
UNIT = "lib/systemd/system/devicerpc-gateway.service"
needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="needs root (debootstrap, chroot)")


@pytest.fixture(scope="module")
def dist():
    """`make package`'s output folder."""
    build = os.path.dirname(bin_dir())
    done = subprocess.run(["make", "-C", ROOT, "package", "BUILD_DIR=%s" % build],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    return os.path.join(build, "dist")


def debs(dist):
    """The two binary packages of this version."""
    return [os.path.join(dist, "%s_%s_all.deb" % (name, project_version())) for name in PACKAGES]


def test_make_package_writes_the_packages_wheel_and_sdist_with_checksums(dist):
    version = project_version()
    for name in debs(dist) + [os.path.join(dist, "devicerpc-%s-py3-none-any.whl" % version),
                              os.path.join(dist, "devicerpc-%s.tar.gz" % version)]:
        with open(name, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        with open(name + ".sha256") as f:
            assert f.read() == "%s  %s\n" % (digest, os.path.basename(name))
    listing = subprocess.run(["dpkg-deb", "-c", debs(dist)[1]], capture_output=True, text=True)
    for path in ("./etc/devicerpc/gateway.toml", "./" + UNIT, "./etc/default/devicerpc-gateway"):
        assert path in listing.stdout, path
    conffiles = subprocess.run(["dpkg-deb", "-I", debs(dist)[1], "conffiles"], capture_output=True,
                               text=True).stdout.split()
    assert conffiles == ["/etc/default/devicerpc-gateway", "/etc/devicerpc/gateway.toml"]


def test_lintian_finds_no_error_or_warning(dist):
    changes = glob.glob(os.path.join(dist, "devicerpc_%s_*.changes" % project_version()))
    done = subprocess.run(["lintian", "--pedantic", *changes], capture_output=True, text=True,
                          timeout=600)
    tags = [line for line in done.stdout.splitlines() if re.match(r"[EW]: ", line)]
    assert tags == [] and done.returncode == 0, done.stdout + done.stderr


def test_the_unit_verifies_and_its_exposure_is_ok(dist, tmp_path):
    for deb in debs(dist):
        subprocess.run(["dpkg-deb", "-x", deb, tmp_path], check=True)
    # A root of the packages' files and what the unit needs beside them
    # (this machine's targets and kill); its man page from the package.
    units = tmp_path / "lib" / "systemd" / "system"
    for target in glob.glob("/lib/systemd/system/*.target"):
        shutil.copy(target, units)
    (tmp_path / "bin").mkdir()
    shutil.copy("/bin/kill", tmp_path / "bin")
    done = subprocess.run(["systemd-analyze", "verify", "--root=%s" % tmp_path, os.path.basename(UNIT)],
                          env=dict(os.environ, MANPATH=str(tmp_path / "usr/share/man")),
                          capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout + done.stderr) == (0, "")
    done = subprocess.run(["systemd-analyze", "security", "--offline=true", "%s/%s" % (tmp_path, UNIT)],
                          capture_output=True, text=True, timeout=120)
    exposure = re.search(r"Overall exposure level for \S+: ([0-9.]+) (\w+)", done.stdout)
    assert exposure and float(exposure.group(1)) <= 2.0 and exposure.group(2) == "OK", done.stdout


@needs_root
def test_the_packages_install_run_and_go_in_a_bare_debian_root(dist):
    done = subprocess.run([os.path.join(ROOT, "scripts", "install-check"), *debs(dist)],
                          capture_output=True, text=True, timeout=1800)
    assert done.returncode == 0 and "every check passed" in done.stdout, done.stdout + done.stderr
    assert done.stdout.count("install-check: ok: ") == 6, done.stdout
