// Observing a deployment on this machine for the deployment check: the
// language monitor's key and window, the spooler's printers as the
// server's name resolution walks them, their data keys and flags, and the
// server's kernel objects. Endpoint probes are in doctor.cpp.
#pragma once

#include "doctor_rules.h"

// Reads one value of `key` into `value` (zero-filled first): presence,
// type, size and its first 8 bytes.
void ObserveValue(HKEY key, const wchar_t* name, ObservedValue* value);

// "LP Window handle" and whether it names a live window.
void ObserveMonitorWindow(DeploymentState* state);

// The spooler's printers with their drivers, their resolution by name and
// share name, and their data keys. With `state->onlyPrinter` set, only the
// printer that name resolves to is recorded.
void ObservePrinters(DeploymentState* state);

// The server's instance mutex and its three control events.
void ObserveServerObjects(DeploymentState* state);
