"""The test harness: the real executables under Wine, driven from Linux.

Used by the end-to-end tests (tests/e2e), the storm (scripts/storm), the
demo (scripts/demo) and the benchmark driver (bench/). Importing any part
of it turns off address randomization for every program started from
this process (see env.turn_off_address_randomization).

Modules:
    env         paths (repository, executables, Wine), Windows paths, the project version
    prefix      a private Wine prefix: create, run and start programs, registry, stop
    processes   the Linux processes of a prefix, their identity and listening TCP ports
    figures     CPU seconds and memory of a process (bytes)
    monitorsim  MonitorSim, the reference language monitor, and its message log
    controller  DeviceRpcCtl in stdin mode (also --supervise), a started server
    pdus        raw DCE/RPC PDUs built from Impacket's classes, for damaging
    raw         a raw ncacn_ip_tcp connection that reports whatever comes back
    calls       calls with known answers; device calls compared with what was sent
    reference   requests encoded by Impacket's NDR types, test patterns
    printers    the Lab printer of the MonitorSim tests and its records
    display     a virtual X display (Xvfb), a prefix booted on it, Wine's virtual desktop, screenshots
    storm       the storm, load and lost-server engine (see harness/storm)

Requests are encoded and responses decoded by the client package
devicerpc (python/), which the harness puts on sys.path.
"""
from .env import turn_off_address_randomization

turn_off_address_randomization()
