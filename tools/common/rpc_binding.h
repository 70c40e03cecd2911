// Binding to the device RPC server from the tools: protocol sequence,
// host and endpoint, or the endpoint map.
#pragma once

#include <windows.h>
#include <rpc.h>

struct BindingOptions {
    const wchar_t* protseq;   // SERVER_PROTSEQ_LOCAL, _PIPE or _TCP
    const wchar_t* host;      // null: the local machine
    const wchar_t* endpoint;  // null: the server's well-known one, or the map
    bool resolve;             // ask the endpoint map instead of `endpoint`
    DWORD timeoutMs;          // 0: the runtime's default
};

// The server's fixed endpoint for `protseq`; null for TCP, whose port the
// runtime chooses.
const wchar_t* DefaultEndpoint(const wchar_t* protseq);

// Creates a binding handle; on failure returns the runtime status and
// leaves `*binding` null.
RPC_STATUS OpenBinding(const BindingOptions& options, RPC_BINDING_HANDLE* binding);

// True when the server's DeviceRpc interface answers on this binding: a
// call of an opnum the interface does not have is rejected by the server's
// runtime with RPC_S_PROCNUM_OUT_OF_RANGE, which proves it listens without
// running any procedure. `*status` receives the call's status.
bool ProbeServer(const BindingOptions& options, RPC_STATUS* status);
