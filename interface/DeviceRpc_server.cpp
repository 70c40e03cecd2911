// Server side of DeviceRpc: the interface record and one dispatch entry per
// opnum. The runtime does transports, binding and listening; each entry
// decodes its request with the project's NDR code, calls the server
// routine and encodes the response. A request that breaks the contract is
// answered with the fault RPC_X_BAD_STUB_DATA and never reaches a routine.
#include "DeviceRpc.h"

#include <cstring>

#include "devicerpc_contract.h"
#include "wire_codec.h"

namespace {

// Per-call storage of the stub, from MIDL_user_allocate: the two arrays
// followed by the two strings in native byte order.
struct DeviceCallStorage {
    unsigned char inData[DEVICE_RPC_ARRAY_SIZE];
    unsigned char outData[DEVICE_RPC_ARRAY_SIZE];
    wchar_t strings[1];
};

// Raises the fault that ends the call. Called with no stub memory held.
[[noreturn]] void Fault(RPC_STATUS status) {
    RpcRaiseException(status);
    for (;;) {
    }
}

// Replaces the request buffer by a response buffer of `length` bytes.
void GetResponseBuffer(PRPC_MESSAGE message, uint32_t length) {
    message->BufferLength = length;
    RPC_STATUS status = I_RpcGetBuffer(message);
    if (status != RPC_S_OK) Fault(status);
}

// Takes the request's data representation and labels the message with the
// server's own, in which the response (or a fault) is encoded: the runtime
// builds the reply header from the message's label.
unsigned long TakeRequestRepresentation(PRPC_MESSAGE message) {
    unsigned long drep = message->DataRepresentation;
    message->DataRepresentation = NDR_LOCAL_DATA_REPRESENTATION;
    return drep;
}

void ServeCommand(PRPC_MESSAGE message, bool withArgument) {
    unsigned long drep = TakeRequestRepresentation(message);
    CommandRequest request;
    if (!DecodeCommandRequest(static_cast<const uint8_t*>(message->Buffer),
                              message->BufferLength, drep, &request))
        Fault(RPC_X_BAD_STUB_DATA);

    // Both strings together are bounded by the received buffer.
    size_t units = size_t(request.printerName.units) + request.argument.units;
    wchar_t* strings = static_cast<wchar_t*>(MIDL_user_allocate(units * sizeof(wchar_t)));
    if (!strings) Fault(RPC_S_OUT_OF_MEMORY);
    wchar_t* printerName = strings;
    wchar_t* argument = strings + request.printerName.units;
    CopyWireString(request.printerName, drep, reinterpret_cast<uint16_t*>(printerName));
    CopyWireString(request.argument, drep, reinterpret_cast<uint16_t*>(argument));

    boolean result = withArgument
        ? RpcSendCommand2(message->Handle, request.dwCommand, request.dwParam, printerName, argument)
        : RpcSendCommand(message->Handle, request.dwCommand, request.dwParam, printerName, argument);
    MIDL_user_free(strings);

    GetResponseBuffer(message, CommandResponseLength());
    EncodeCommandResponse(static_cast<uint8_t*>(message->Buffer), result ? 1 : 0);
}

void ServeDeviceRequest(PRPC_MESSAGE message, uint32_t opnum) {
    unsigned long drep = TakeRequestRepresentation(message);
    DeviceRequestCall request;
    if (!DecodeDeviceRequest(static_cast<const uint8_t*>(message->Buffer),
                             message->BufferLength, drep, &request))
        Fault(RPC_X_BAD_STUB_DATA);

    size_t units = size_t(request.printerName.units) + request.reserved.units;
    DeviceCallStorage* storage = static_cast<DeviceCallStorage*>(
        MIDL_user_allocate(offsetof(DeviceCallStorage, strings) + units * sizeof(wchar_t)));
    if (!storage) Fault(RPC_S_OUT_OF_MEMORY);
    std::memcpy(storage->inData, request.inData, DEVICE_RPC_ARRAY_SIZE);
    std::memcpy(storage->outData, request.outData, DEVICE_RPC_ARRAY_SIZE);
    wchar_t* printerName = storage->strings;
    wchar_t* reserved = storage->strings + request.printerName.units;
    CopyWireString(request.printerName, drep, reinterpret_cast<uint16_t*>(printerName));
    CopyWireString(request.reserved, drep, reinterpret_cast<uint16_t*>(reserved));

    long cbOutData = request.cbOutData;
    long* pcbOutData = request.outSizeReferent ? &cbOutData : nullptr;
    long result;
    if (opnum == DEVICE_RPC_OPNUM_DEVICE_REQUEST_MAPPED)
        result = RpcDeviceRequestMapped(message->Handle, request.dwRequest, storage->inData,
                                        request.cbInData, storage->outData, pcbOutData,
                                        printerName, reserved);
    else
        result = RpcDeviceRequest(message->Handle, request.dwRequest, storage->inData,
                                  request.cbInData, storage->outData, pcbOutData, printerName,
                                  reserved) ? 1 : 0;

    // The request buffer is not used past this point: the response may
    // replace it. The arrays go back from the stub's own copy.
    message->BufferLength = DeviceResponseLength(opnum, pcbOutData != nullptr);
    RPC_STATUS status = I_RpcGetBuffer(message);
    if (status == RPC_S_OK)
        EncodeDeviceResponse(static_cast<uint8_t*>(message->Buffer), opnum, storage->inData,
                             storage->outData, request.outSizeReferent, cbOutData, result);
    MIDL_user_free(storage);
    if (status != RPC_S_OK) Fault(status);
}

void __RPC_STUB DispatchSendCommand(PRPC_MESSAGE message) {
    ServeCommand(message, false);
}

void __RPC_STUB DispatchSendCommand2(PRPC_MESSAGE message) {
    ServeCommand(message, true);
}

void __RPC_STUB DispatchDeviceRequest(PRPC_MESSAGE message) {
    ServeDeviceRequest(message, DEVICE_RPC_OPNUM_DEVICE_REQUEST);
}

void __RPC_STUB DispatchDeviceRequestMapped(PRPC_MESSAGE message) {
    ServeDeviceRequest(message, DEVICE_RPC_OPNUM_DEVICE_REQUEST_MAPPED);
}

// One entry per opnum, in opnum order; the table's count is 4 and the
// runtime rejects higher opnums. The array nevertheless spans every 16-bit
// opnum, zero past the four entries: Wine's runtime reads the entry of an
// out-of-range opnum after sending the rejection, and a short array would
// let one packet with opnum 0xFFFF read past it and crash the process.
// Zero-filled, the array costs no space in the image.
RPC_DISPATCH_FUNCTION g_dispatchFunctions[65536];

bool FillDispatchTable() {
    g_dispatchFunctions[DEVICE_RPC_OPNUM_SEND_COMMAND] = DispatchSendCommand;
    g_dispatchFunctions[DEVICE_RPC_OPNUM_SEND_COMMAND2] = DispatchSendCommand2;
    g_dispatchFunctions[DEVICE_RPC_OPNUM_DEVICE_REQUEST] = DispatchDeviceRequest;
    g_dispatchFunctions[DEVICE_RPC_OPNUM_DEVICE_REQUEST_MAPPED] = DispatchDeviceRequestMapped;
    return true;
}

const bool g_dispatchTableFilled = FillDispatchTable();

RPC_DISPATCH_TABLE g_dispatchTable = {DEVICE_RPC_PROCEDURE_COUNT, g_dispatchFunctions, 0};

RPC_SERVER_INTERFACE g_serverInterface = {
    sizeof(RPC_SERVER_INTERFACE),
    DEVICE_RPC_INTERFACE_ID,
    NDR20_TRANSFER_SYNTAX,
    &g_dispatchTable,
    0,        // no endpoints in the interface record
    nullptr,
    nullptr,  // no manager entry-point vector
    nullptr,
    0,
};

}  // namespace

RPC_IF_HANDLE DeviceRpc_v1_0_s_ifspec = &g_serverInterface;
