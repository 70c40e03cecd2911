"""Every .exe and .dll of the release package, checked as a vendor's
binary analyser checks them before release. The binaries are taken from the
zip that scripts/package builds, so one added to the package is checked
without a change here; a failure names the binary and the rule."""
import os
import subprocess
import sys
import zipfile

import pefile
import pytest

from harness.env import ROOT, bin_dir, project_version

# The DLLs of Windows itself (System32) that a shipped binary may import;
# any other DLL would have to be deployed beside it (the compiler's runtime
# DLLs, libssp-0.dll). A new system DLL is added here, once.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "rpcrt4.dll",
               "msvcrt.dll", "comctl32.dll", "shell32.dll", "ole32.dll", "winspool.drv"}
# The tools may also import the client library; the server and the library
# itself stand on the system alone.
CLIENT_LIBRARY = "devicerpcapi.dll"
SYSTEM_ONLY = {"devicerpcserver.exe", "devicerpcapi.dll"}

DYNAMIC_BASE, HIGH_ENTROPY_VA, NX_COMPAT = 0x0040, 0x0020, 0x0100
SCN_MEM_EXECUTE, SCN_MEM_WRITE = 0x20000000, 0x80000000
STACK_GUARD = ("__stack_chk_fail", "__stack_chk_guard")
NM = "x86_64-w64-mingw32-nm"


@pytest.fixture(scope="module")
def binaries(tmp_path_factory):
    """{file name: (path, parsed PE)} of every .exe and .dll in a freshly built package."""
    dist = tmp_path_factory.mktemp("dist")
    done = subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "package"),
                           os.path.dirname(bin_dir()), "--dist", str(dist)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    (archive,) = dist.glob("*.zip")
    found = {}
    with zipfile.ZipFile(archive) as zf:
        for member in zf.namelist():
            name = member.rsplit("/", 1)[-1]
            if name.lower().endswith((".exe", ".dll")):
                path = dist / name
                path.write_bytes(zf.read(member))
                found[name] = (str(path), pefile.PE(str(path)))
    assert {"DeviceRpcServer.exe", "DeviceRpcApi.dll"} <= set(found), sorted(found)
    return found


def flag(bit, label):
    """A rule: the DllCharacteristics bit is set."""
    return lambda name, path, pe: None if pe.OPTIONAL_HEADER.DllCharacteristics & bit else label + " not set"


def no_writable_code(name, path, pe):
    """No section may be both written and executed."""
    both = [s.Name.rstrip(b"\0").decode() for s in pe.sections
            if s.Characteristics & SCN_MEM_EXECUTE and s.Characteristics & SCN_MEM_WRITE]
    return "writable and executable: %s" % ", ".join(both) if both else None


def system_imports(name, path, pe):
    """Imports (plain and delay-loaded) only from Windows and, for a tool, the client library."""
    allowed = SYSTEM_DLLS | (set() if name.lower() in SYSTEM_ONLY else {CLIENT_LIBRARY})
    entries = getattr(pe, "DIRECTORY_ENTRY_IMPORT", []) + getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])
    others = sorted({e.dll.decode() for e in entries if e.dll.decode().lower() not in allowed})
    return "imports %s" % ", ".join(others) if others else None


def project_version_resource(name, path, pe):
    """The version resource carries the project's version, as numbers and as text."""
    version = project_version()
    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        return "no version resource"
    info = pe.VS_FIXEDFILEINFO[0]
    numbers = (info.FileVersionMS >> 16, info.FileVersionMS & 0xFFFF,
               info.FileVersionLS >> 16, info.FileVersionLS & 0xFFFF)
    expected = tuple(int(part) for part in version.split(".")) + (0,)
    texts = {key.decode(): value.decode() for entry in pe.FileInfo[0] if entry.Key == b"StringFileInfo"
             for table in entry.StringTable for key, value in table.entries.items()}
    found = (numbers, texts.get("FileVersion"), texts.get("ProductVersion"))
    wanted = (expected, version, version)
    return None if found == wanted else "version resource %s, the project's is %s" % (found, wanted)


def stack_guard(name, path, pe):
    """The stack protector's guard and failure routine are linked in: some
    code refers to them (only then does the linker take them)."""
    symbols = subprocess.run([NM, path], capture_output=True, text=True).stdout.split()
    missing = [symbol for symbol in STACK_GUARD if symbol not in symbols]
    return "no %s in the symbol table" % ", ".join(missing) if missing else None


RULES = [("DYNAMIC_BASE", flag(DYNAMIC_BASE, "DYNAMIC_BASE")),
         ("HIGH_ENTROPY_VA", flag(HIGH_ENTROPY_VA, "HIGH_ENTROPY_VA")),
         ("NX_COMPAT", flag(NX_COMPAT, "NX_COMPAT")),
         ("no writable code", no_writable_code),
         ("system imports", system_imports),
         ("version resource", project_version_resource),
         ("stack guard", stack_guard)]


@pytest.mark.parametrize("rule", [check for _, check in RULES], ids=[label for label, _ in RULES])
def test_every_binary_keeps_the_rule(binaries, rule, request):
    failures = []
    for name, (path, pe) in sorted(binaries.items()):
        problem = rule(name, path, pe)
        if problem:
            failures.append("%s: %s" % (name, problem))
    assert not failures, "rule %s broken by\n  %s" % (request.node.callspec.id, "\n  ".join(failures))
