// Client side of DeviceRpc over the runtime's raw message calls:
// I_RpcGetBuffer for the request, I_RpcSendReceive for the exchange,
// I_RpcFreeBuffer for the response once it has been read.
#include "DeviceRpc_client.h"

#include <rpcdcep.h>

#include <cstring>

#include "DeviceRpc.h"
#include "devicerpc_contract.h"
#include "wire_codec.h"

namespace {

RPC_CLIENT_INTERFACE g_clientInterface = {
    sizeof(RPC_CLIENT_INTERFACE),
    DEVICE_RPC_INTERFACE_ID,
    NDR20_TRANSFER_SYNTAX,
    nullptr,
    0,
    nullptr,
    0,
    nullptr,
    0,
};

// Prepares `message` for `opnum` with a request buffer of `length` bytes.
RPC_STATUS BeginCall(RPC_MESSAGE* message, RPC_BINDING_HANDLE binding, unsigned int opnum,
                     unsigned int length) {
    std::memset(message, 0, sizeof(*message));
    message->Handle = binding;
    message->ProcNum = opnum;
    message->RpcInterfaceInformation = &g_clientInterface;
    message->DataRepresentation = NDR_LOCAL_DATA_REPRESENTATION;
    message->BufferLength = length;
    return I_RpcGetBuffer(message);
}

// True under Wine's runtime, recognised by the export that only its ntdll
// has.
bool WineRuntime() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Exchanges the request in `message` for the response. After a failure the
// message is not touched again on Windows: there the runtime has released
// the call's buffer (generated stubs mark their buffer invalid before the
// exchange and never free it after a failure), so freeing it here would
// free it twice. Wine's runtime (by its source, 8.x and later) instead
// leaves the message holding the request buffer (failed send), nothing
// (failed receive) or the fault's body, with the connection, and its stubs
// release them with I_RpcFreeBuffer; a request buffer replaced by a failed
// receive it frees nowhere. Under Wine alone both are released here.
RPC_STATUS Exchange(RPC_MESSAGE* message) {
    void* request = message->Buffer;
    RPC_STATUS status = I_RpcSendReceive(message);
    if (status != RPC_S_OK && WineRuntime()) {
        if (message->Buffer != request) I_RpcFree(request);
        I_RpcFreeBuffer(message);
    }
    return status;
}

uint32_t Units(const wchar_t* text) {
    return static_cast<uint32_t>(lstrlenW(text)) + 1;
}

const uint16_t* AsUnits(const wchar_t* text) {
    return reinterpret_cast<const uint16_t*>(text);
}

}  // namespace

RPC_IF_HANDLE DeviceRpc_v1_0_c_ifspec = &g_clientInterface;

RPC_STATUS CallSendCommand(RPC_BINDING_HANDLE binding, bool withArgument, long dwCommand,
                           long dwParam, const wchar_t* pszPrinterName,
                           const wchar_t* pszArgument, unsigned char* result) {
    // Both strings are reference pointers in the contract: never null.
    if (!pszPrinterName || !pszArgument) return RPC_X_NULL_REF_POINTER;
    if (!result) return RPC_S_INVALID_ARG;
    uint32_t length = 0;
    if (!CommandRequestLength(Units(pszPrinterName), Units(pszArgument), &length))
        return RPC_S_INVALID_ARG;
    RPC_MESSAGE message;
    unsigned int opnum = withArgument ? DEVICE_RPC_OPNUM_SEND_COMMAND2 : DEVICE_RPC_OPNUM_SEND_COMMAND;
    RPC_STATUS status = BeginCall(&message, binding, opnum, length);
    if (status != RPC_S_OK) return status;
    EncodeCommandRequest(static_cast<uint8_t*>(message.Buffer), dwCommand, dwParam,
                         AsUnits(pszPrinterName), Units(pszPrinterName), AsUnits(pszArgument),
                         Units(pszArgument));
    status = Exchange(&message);
    if (status != RPC_S_OK) return status;
    if (!DecodeCommandResponse(static_cast<const uint8_t*>(message.Buffer), message.BufferLength,
                               message.DataRepresentation, result))
        status = RPC_X_BAD_STUB_DATA;
    I_RpcFreeBuffer(&message);
    return status;
}

RPC_STATUS CallDeviceRequest(RPC_BINDING_HANDLE binding, bool mapped, long dwRequest,
                             unsigned char* pInData, long cbInData, unsigned char* pOutData,
                             long* pcbOutData, const wchar_t* pszPrinterName,
                             const wchar_t* pszReserved, long* result) {
    // The arrays and strings are reference pointers in the contract.
    if (!pInData || !pOutData || !pszPrinterName || !pszReserved) return RPC_X_NULL_REF_POINTER;
    if (!result) return RPC_S_INVALID_ARG;
    uint32_t length = 0;
    bool hasOutSize = pcbOutData != nullptr;
    if (!DeviceRequestLength(hasOutSize, Units(pszPrinterName), Units(pszReserved), &length))
        return RPC_S_INVALID_ARG;
    RPC_MESSAGE message;
    unsigned int opnum = mapped ? DEVICE_RPC_OPNUM_DEVICE_REQUEST_MAPPED : DEVICE_RPC_OPNUM_DEVICE_REQUEST;
    RPC_STATUS status = BeginCall(&message, binding, opnum, length);
    if (status != RPC_S_OK) return status;
    EncodeDeviceRequest(static_cast<uint8_t*>(message.Buffer), dwRequest, pInData, cbInData,
                        pOutData, hasOutSize, hasOutSize ? *pcbOutData : 0,
                        AsUnits(pszPrinterName), Units(pszPrinterName), AsUnits(pszReserved),
                        Units(pszReserved));
    status = Exchange(&message);
    if (status != RPC_S_OK) return status;
    int32_t outSize = 0;
    int32_t value = 0;
    if (DecodeDeviceResponse(static_cast<const uint8_t*>(message.Buffer), message.BufferLength,
                             message.DataRepresentation, opnum, hasOutSize, pInData, pOutData,
                             &outSize, &value)) {
        if (hasOutSize) *pcbOutData = outSize;
        *result = value;
    } else {
        status = RPC_X_BAD_STUB_DATA;
    }
    I_RpcFreeBuffer(&message);
    return status;
}

RPC_STATUS CallRaw(RPC_BINDING_HANDLE binding, unsigned int opnum, const void* request,
                   unsigned int requestLength, void** response, unsigned int* responseLength,
                   unsigned long* responseDrep) {
    if (!response || !responseLength || !responseDrep) return RPC_S_INVALID_ARG;
    *response = nullptr;
    *responseLength = 0;
    if (!request && requestLength) return RPC_X_NULL_REF_POINTER;
    RPC_MESSAGE message;
    RPC_STATUS status = BeginCall(&message, binding, opnum, requestLength);
    if (status != RPC_S_OK) return status;
    if (requestLength) std::memcpy(message.Buffer, request, requestLength);
    status = Exchange(&message);
    if (status != RPC_S_OK) return status;
    void* copy = MIDL_user_allocate(message.BufferLength ? message.BufferLength : 1);
    if (copy) {
        std::memcpy(copy, message.Buffer, message.BufferLength);
        *response = copy;
        *responseLength = message.BufferLength;
        *responseDrep = message.DataRepresentation;
    } else {
        status = RPC_S_OUT_OF_MEMORY;
    }
    I_RpcFreeBuffer(&message);
    return status;
}
