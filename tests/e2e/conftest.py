"""End-to-end fixtures over the harness (harness/): the real executables
in a private Wine prefix.

Every test gets a prefix with no process of ours running (the whole prefix
is stopped with `wineserver -k` after each test) and a clean device tree
in the registry. Importing the harness turns off address randomization for
every program started from then on (harness.env).
"""
import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

from harness.controller import Controller  # noqa: E402
from harness.gateway import Site  # noqa: E402
from harness.monitorsim import MonitorSim  # noqa: E402
from harness.prefix import Prefix  # noqa: E402


@pytest.fixture(scope="session")
def prefix_path():
    """The session's prefix: $DEVICERPC_TEST_PREFIX, or a temporary one."""
    base = os.environ.get("DEVICERPC_TEST_PREFIX")
    prefix = Prefix.create(base)
    yield prefix.path
    prefix.close()


@pytest.fixture
def wine(prefix_path):
    """The session prefix with no process of ours running and no device data."""
    prefix = Prefix(prefix_path)
    prefix.stop_all()
    prefix.clear_device_tree()
    yield prefix
    prefix.stop_all()
    prefix.delete_value(r"HKCU\Software\Wine", "Version")


@pytest.fixture
def server(wine):
    """A listening server started through the controller."""
    ctl = Controller(wine)
    ctl.launch_and_start()
    yield ctl
    ctl.close()


@pytest.fixture
def monitors(wine):
    """Starts MonitorSim instances (sample printer registered); all are
    stopped after the test."""
    started = []

    def start(*options, log_path=None):
        monitor = MonitorSim(wine, *options, register=True, log_path=log_path)
        started.append(monitor)
        return monitor

    yield start
    for monitor in started:
        monitor.stop()


@pytest.fixture(scope="module")
def site(prefix_path, tmp_path_factory):
    """One gateway over the sample printer's server for a test module
    (harness.gateway.Site): refresh interval 5 s, call time-out 5 s."""
    started = Site(Prefix(prefix_path), tmp_path_factory.mktemp("site"), refresh_interval=5,
                   call_timeout=5).start()
    yield started
    started.stop()
