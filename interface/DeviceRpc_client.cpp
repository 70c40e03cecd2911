// Client side of DeviceRpc over the runtime's raw message calls:
// I_RpcGetBuffer for the request, I_RpcSendReceive for the exchange,
// I_RpcFreeBuffer for whatever buffer the message holds at the end.
#include "DeviceRpc_client.h"

#include <rpcdcep.h>

#include <cstring>

#include "DeviceRpc.h"
#include "rpc_identity.h"
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

// Releases the buffer held by `message`, request or response alike.
void EndCall(RPC_MESSAGE* message) {
    if (message->Buffer) I_RpcFreeBuffer(message);
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
    status = I_RpcSendReceive(&message);
    if (status == RPC_S_OK &&
        !DecodeCommandResponse(static_cast<const uint8_t*>(message.Buffer), message.BufferLength,
                               message.DataRepresentation, result))
        status = RPC_X_BAD_STUB_DATA;
    EndCall(&message);
    return status;
}

RPC_STATUS CallDeviceRequest(RPC_BINDING_HANDLE binding, bool mapped, long dwRequest,
                             unsigned char* pInData, long cbInData, unsigned char* pOutData,
                             long* pcbOutData, const wchar_t* pszPrinterName,
                             const wchar_t* pszReserved, long* result) {
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
    status = I_RpcSendReceive(&message);
    if (status == RPC_S_OK) {
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
    }
    EndCall(&message);
    return status;
}

RPC_STATUS CallRaw(RPC_BINDING_HANDLE binding, unsigned int opnum, const void* request,
                   unsigned int requestLength, void** response, unsigned int* responseLength,
                   unsigned long* responseDrep) {
    RPC_MESSAGE message;
    *response = nullptr;
    *responseLength = 0;
    RPC_STATUS status = BeginCall(&message, binding, opnum, requestLength);
    if (status != RPC_S_OK) return status;
    if (requestLength) std::memcpy(message.Buffer, request, requestLength);
    status = I_RpcSendReceive(&message);
    if (status == RPC_S_OK) {
        void* copy = MIDL_user_allocate(message.BufferLength ? message.BufferLength : 1);
        if (copy) {
            std::memcpy(copy, message.Buffer, message.BufferLength);
            *response = copy;
            *responseLength = message.BufferLength;
            *responseDrep = message.DataRepresentation;
        } else {
            status = RPC_S_OUT_OF_MEMORY;
        }
    }
    EndCall(&message);
    return status;
}
