// The exit statuses of the tools, defined once. Scripts and tests tell
// outcomes apart by these numbers, so a value never changes meaning.
#pragma once

// Every tool.
constexpr int EXIT_OK = 0;      // done, or --help / --version
constexpr int EXIT_FAILED = 1;  // the work failed (a request, a start-up step, a command)
constexpr int EXIT_USAGE = 2;   // the command line (or a description file) was refused

// DeviceRpcClient: no server answered on the binding.
constexpr int EXIT_UNREACHABLE = 3;

// MonitorSim: the deliberate exit of a fault option while it handles a
// message (--die-in-message, --die-holding-mutex).
constexpr int EXIT_FAULT = 3;
