"""Where things are, and how programs start under Wine.

    ROOT, SAMPLE_PRINTER, WINE, WINESERVER
    bin_dir()              the executables: --bin / use_bin(), $DEVICERPC_BIN, or build/bin
    use_bin(path)          makes `path` the executables' folder from now on
    to_windows_path(path)  a Linux path as Wine's Z: drive shows it
    project_version()      the version CMakeLists.txt gives
    wine_env(path)         the environment of programs in prefix `path`
    run_devicerpc(*args)   the Python client's command line from this tree

Importing it puts python/ (the devicerpc package) on sys.path; importing
the harness calls turn_off_address_randomization().
"""
import ctypes
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLE_PRINTER = os.path.join(ROOT, "samples", "office.printer")
WINE = os.environ.get("WINE", "/usr/lib/wine/wine64")
WINESERVER = os.environ.get("WINESERVER", "/usr/lib/wine/wineserver")

_bin = [os.environ.get("DEVICERPC_BIN") or os.path.join(ROOT, "build", "bin")]

PACKAGE = os.path.join(ROOT, "python")
if PACKAGE not in sys.path:
    sys.path.insert(0, PACKAGE)


def bin_dir():
    """The folder of the built executables."""
    return _bin[0]


def use_bin(path):
    """Takes the executables from `path` from now on (and tells programs
    this process starts, through $DEVICERPC_BIN)."""
    _bin[0] = os.path.abspath(path)
    os.environ["DEVICERPC_BIN"] = _bin[0]


def run_devicerpc(*args, cwd=None, timeout=120):
    """Runs `python3 -m devicerpc ARGS` from python/ under Debian's Python
    (the one that sees Impacket); its CompletedProcess (text)."""
    path = os.pathsep.join(filter(None, [PACKAGE, os.environ.get("PYTHONPATH")]))
    return subprocess.run(["/usr/bin/python3", "-m", "devicerpc", *map(str, args)],
                          env=dict(os.environ, PYTHONPATH=path), capture_output=True, text=True,
                          timeout=timeout, cwd=cwd)


def to_windows_path(path):
    """A Linux path as Wine's Z: drive shows it."""
    return "Z:" + os.path.abspath(str(path)).replace("/", "\\")


def project_version():
    """The one project version, as CMakeLists.txt gives it."""
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(DeviceRpc VERSION ([0-9.]+)", f.read()).group(1)


def wine_env(path):
    """The environment of the programs of prefix `path`: no debug output,
    no Mono or Gecko installer."""
    return dict(os.environ, WINEPREFIX=path, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")


def turn_off_address_randomization():
    """Debian's Wine loader is linked at 0x7d000000 and has no preloader to
    reserve Wine's fixed addresses; the kernel puts its heap at a random
    place up to 1 GB above it. About once in 5,000 starts that heap covers
    0x7ffe0000, where Wine must map the shared user data page: the program
    then exits with code 1 before it runs, saying why only on an err channel
    (hidden by WINEDEBUG=-all). Without randomization the heap starts right
    after the loader, 48 MB below that page. Children inherit the setting."""
    addr_no_randomize = 0x0040000
    libc = ctypes.CDLL(None, use_errno=True)
    persona = libc.personality(0xFFFFFFFF)
    if persona != -1 and not persona & addr_no_randomize:
        libc.personality(persona | addr_no_randomize)

