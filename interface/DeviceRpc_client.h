// Client side of DeviceRpc: one call per procedure over a binding handle.
// Each returns the runtime's status (RPC_S_OK, a communication error, or
// the fault code the server sent) instead of raising it, so that callers
// need no structured exception handling. A null string or array, which
// the contract does not allow, gives RPC_X_NULL_REF_POINTER and nothing is
// sent; a null result pointer gives RPC_S_INVALID_ARG.
#pragma once

#include <windows.h>
#include <rpc.h>

RPC_STATUS CallSendCommand(RPC_BINDING_HANDLE binding, bool withArgument, long dwCommand,
                           long dwParam, const wchar_t* pszPrinterName,
                           const wchar_t* pszArgument, unsigned char* result);

// `pInData` and `pOutData` hold 32768 bytes each and receive the arrays the
// server sends back; `pcbOutData` may be null. `mapped` selects opnum 3,
// whose long result goes to `*result`; opnum 2 stores its boolean there.
RPC_STATUS CallDeviceRequest(RPC_BINDING_HANDLE binding, bool mapped, long dwRequest,
                             unsigned char* pInData, long cbInData, unsigned char* pOutData,
                             long* pcbOutData, const wchar_t* pszPrinterName,
                             const wchar_t* pszReserved, long* result);

// Sends raw stub data for any opnum and hands back the raw response, for
// probes and tests. `*response` is released with MIDL_user_free; it is
// null when the call failed. `request` may be null only with length 0.
RPC_STATUS CallRaw(RPC_BINDING_HANDLE binding, unsigned int opnum, const void* request,
                   unsigned int requestLength, void** response, unsigned int* responseLength,
                   unsigned long* responseDrep);
