// Checks shared by the device-request fuzz targets.
#include "device_request_checks.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include <sanitizer/asan_interface.h>

#include "payload_layout.h"

namespace {

// Room for a block or response of any request with a name of up to 4096
// units; larger ones, seen only from the raw target, take a fresh vector.
constexpr uint32_t REUSED_CAPACITY = 2 * DEVICE_RPC_ARRAY_SIZE + 16384;

// A buffer for one case. Allocating, zeroing and later re-touching 64 KiB
// per case costs more than the code under test, so a reused buffer serves
// whenever it fits; under AddressSanitizer its bytes from `length` on are
// poisoned, so it faults like an allocation of exactly `length` bytes.
uint8_t* CaseBuffer(uint8_t* reused, uint32_t length, std::vector<uint8_t>* spill) {
    if (length > REUSED_CAPACITY) {
        spill->assign(length, 0);
        return spill->data();
    }
    ASAN_UNPOISON_MEMORY_REGION(reused, REUSED_CAPACITY);
    ASAN_POISON_MEMORY_REGION(reused + length, REUSED_CAPACITY - length);
    return reused;
}

}  // namespace

void CheckRequestBlock(const uint8_t* stub, size_t size, uint32_t drep,
                       const DeviceRequestCall& call) {
    if (call.inData < stub || call.outData + DEVICE_RPC_ARRAY_SIZE > stub + size) abort();

    std::vector<uint16_t> name(call.printerName.units);
    CopyWireString(call.printerName, drep, name.data());
    uint32_t nameLength = 0;
    while (name[nameLength]) ++nameLength;

    // The block is built only for sizes within the arrays, as the server does.
    uint32_t inputSize = uint32_t(call.cbInData);
    uint32_t outputSize = call.outSizeReferent ? uint32_t(call.cbOutData) : 0;
    uint32_t length = 0;
    if (RequestBlockLength(nameLength, inputSize, outputSize, &length)) {
        static uint8_t* const reused = static_cast<uint8_t*>(std::malloc(REUSED_CAPACITY));
        std::vector<uint8_t> spill;
        uint8_t* block = CaseBuffer(reused, length, &spill);
        std::memset(block, 0, length);  // the builder expects a zero-filled block
        FillRequestBlock(block, call.dwRequest, call.inData, inputSize, true, outputSize,
                         name.data(), nameLength);
        RequestBlockView view;
        if (!ParseRequestBlock(block, length, &view)) abort();
        if (view.inputSize != inputSize || view.outputSize != outputSize) abort();
        if (inputSize && std::memcmp(view.input, call.inData, inputSize) != 0) abort();
    } else if (inputSize <= REQUEST_BLOCK_MAX_DATA && outputSize <= REQUEST_BLOCK_MAX_DATA) {
        abort();
    }
}

void CheckDeviceResponse(const DeviceRequestCall& call, uint32_t opnum) {
    bool hasOutSize = call.outSizeReferent != 0;
    static uint8_t* const reused = static_cast<uint8_t*>(std::malloc(REUSED_CAPACITY));
    std::vector<uint8_t> spill;
    uint32_t length = DeviceResponseLength(opnum, hasOutSize);
    uint8_t* response = CaseBuffer(reused, length, &spill);
    EncodeDeviceResponse(response, opnum, call.inData, call.outData, call.outSizeReferent,
                         call.cbOutData, call.dwRequest);
    static uint8_t in[DEVICE_RPC_ARRAY_SIZE];
    static uint8_t out[DEVICE_RPC_ARRAY_SIZE];
    int32_t cbOut = 0;
    int32_t result = 0;
    if (!DecodeDeviceResponse(response, length, WIRE_DREP_LITTLE_ENDIAN,
                              opnum, hasOutSize, in, out, &cbOut, &result))
        abort();
    if (std::memcmp(in, call.inData, DEVICE_RPC_ARRAY_SIZE) != 0) abort();
    if (std::memcmp(out, call.outData, DEVICE_RPC_ARRAY_SIZE) != 0) abort();
    if (hasOutSize && cbOut != call.cbOutData) abort();
    // Opnum 3 returns a long; opnums 0 to 2 a boolean octet, 0 or 1.
    int32_t expected = opnum == DEVICE_RPC_OPNUM_DEVICE_REQUEST_MAPPED ? call.dwRequest
                                                                       : (call.dwRequest != 0);
    if (result != expected) abort();
}
