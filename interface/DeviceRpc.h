// The DeviceRpc interface as the server and its clients see it in C++:
// identity, the server routines of opnums 0 to 3, and the stub memory
// routines. The wire contract is interface/DeviceRpc.idl.
#pragma once

#include <windows.h>
#include <rpc.h>
#include <rpcndr.h>

// The server interface record handed to the runtime for endpoint
// and interface registration, and the client one used for calls.
extern RPC_IF_HANDLE DeviceRpc_v1_0_s_ifspec;
extern RPC_IF_HANDLE DeviceRpc_v1_0_c_ifspec;

// Server routines, one per opnum, called on a runtime thread with the
// decoded parameters. The arrays hold 32768 bytes each; `pcbOutData` may
// be null.
boolean RpcSendCommand(handle_t hBinding, long dwCommand, long dwParam,
                       wchar_t* pszPrinterName, wchar_t* pszArgument);
boolean RpcSendCommand2(handle_t hBinding, long dwCommand, long dwParam,
                        wchar_t* pszPrinterName, wchar_t* pszArgument);
boolean RpcDeviceRequest(handle_t hBinding, long dwRequest, unsigned char* pInData,
                         long cbInData, unsigned char* pOutData, long* pcbOutData,
                         wchar_t* pszPrinterName, wchar_t* pszReserved);
long RpcDeviceRequestMapped(handle_t hBinding, long dwRequest, unsigned char* pInData,
                            long cbInData, unsigned char* pOutData, long* pcbOutData,
                            wchar_t* pszPrinterName, wchar_t* pszReserved);

// Stub memory is MIDL_user_allocate and MIDL_user_free (declared by
// rpcndr.h, defined in midl_memory.cpp): the general-purpose allocator,
// never mixed with the process-heap blocks of the bridge.
