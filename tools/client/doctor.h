// doctor: checks a deployment on this machine and prints its findings.
#pragma once

#include "client_args.h"

// Observes the monitor window, the served printers and the server, probes
// every protocol sequence, and prints one line (or, with --json, one JSON
// object) per finding. EXIT_OK when nothing failed, EXIT_FAILED
// otherwise.
int RunDoctor(const Invocation& invocation);
