// Running the client's RPC commands: the calls, their results and the
// exit status each outcome gives.
#pragma once

#include "client_args.h"

// Prints a formatted text of any length to standard output (or standard
// error), in pieces that the shared print helpers take.
void PrintTextBuffer(const TextBuffer& text, bool toStderr);

// command, command2: opnum 0 or 1.
int RunSendCommand(const Invocation& invocation);

// Every device request, raw or named: opnum 2, or opnum 3 when mapped.
int RunDeviceRequest(const Invocation& invocation);

// probe: whether DeviceRpc answers on the binding.
int RunProbe(const Invocation& invocation);
