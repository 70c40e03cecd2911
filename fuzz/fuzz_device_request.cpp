// Request decoding of opnums 2 and 3, the RequestBlock built from what was
// decoded, and the response encoding.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "payload_layout.h"
#include "wire_codec.h"

namespace {

// Valid requests are 64 KiB and more; to let the fuzzer reach the fields
// behind the arrays, an input of the form "A" + header is expanded: the
// arrays are filled from a short seed.
std::vector<uint8_t> Expand(const uint8_t* data, size_t size) {
    std::vector<uint8_t> stub;
    if (size < 9) return std::vector<uint8_t>(data, data + size);
    auto put = [&](const uint8_t* p, size_t n) { stub.insert(stub.end(), p, p + n); };
    put(data, 4);                                   // dwRequest
    put(data + 4, 4);                               // conformance of pInData
    for (uint32_t i = 0; i < DEVICE_RPC_ARRAY_SIZE; ++i) stub.push_back(uint8_t(data[8] + i));
    put(data + 4, 4);                               // cbInData reuses those bytes
    put(data + 4, 4);                               // conformance of pOutData
    for (uint32_t i = 0; i < DEVICE_RPC_ARRAY_SIZE; ++i) stub.push_back(uint8_t(data[8] ^ i));
    put(data + 9, size - 9);                        // pointer, long, strings
    return stub;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > (1u << 20)) return 0;
    uint32_t drep = (data[0] & 1) ? WIRE_DREP_BIG_ENDIAN : WIRE_DREP_LITTLE_ENDIAN;
    std::vector<uint8_t> stub =
        (data[0] & 2) ? Expand(data + 1, size - 1) : std::vector<uint8_t>(data + 1, data + size);

    DeviceRequestCall call;
    if (!DecodeDeviceRequest(stub.data(), uint32_t(stub.size()), drep, &call)) return 0;
    if (call.inData < stub.data() || call.outData + DEVICE_RPC_ARRAY_SIZE > stub.data() + stub.size())
        abort();

    std::vector<uint16_t> name(call.printerName.units);
    CopyWireString(call.printerName, drep, name.data());
    uint32_t nameLength = 0;
    while (name[nameLength]) ++nameLength;

    // The block is built only for sizes within the arrays, as the server does.
    uint32_t inputSize = uint32_t(call.cbInData);
    uint32_t outputSize = call.outSizeReferent ? uint32_t(call.cbOutData) : 0;
    uint32_t length = 0;
    if (RequestBlockLength(nameLength, inputSize, outputSize, &length)) {
        std::vector<uint8_t> block(length, 0);
        FillRequestBlock(block.data(), call.dwRequest, call.inData, inputSize, true, outputSize,
                         name.data(), nameLength);
        RequestBlockView view;
        if (!ParseRequestBlock(block.data(), length, &view)) abort();
        if (view.inputSize != inputSize || view.outputSize != outputSize) abort();
        if (inputSize && std::memcmp(view.input, call.inData, inputSize) != 0) abort();
    } else if (inputSize <= REQUEST_BLOCK_MAX_DATA && outputSize <= REQUEST_BLOCK_MAX_DATA) {
        abort();
    }

    for (uint32_t opnum : {DEVICE_RPC_OPNUM_DEVICE_REQUEST, DEVICE_RPC_OPNUM_DEVICE_REQUEST_MAPPED}) {
        std::vector<uint8_t> response(DeviceResponseLength(opnum, call.outSizeReferent != 0));
        EncodeDeviceResponse(response.data(), opnum, call.inData, call.outData, call.outSizeReferent,
                             call.cbOutData, call.dwRequest);
        static uint8_t in[DEVICE_RPC_ARRAY_SIZE];
        static uint8_t out[DEVICE_RPC_ARRAY_SIZE];
        int32_t cbOut = 0;
        int32_t result = 0;
        if (!DecodeDeviceResponse(response.data(), uint32_t(response.size()), WIRE_DREP_LITTLE_ENDIAN,
                                  opnum, call.outSizeReferent != 0, in, out, &cbOut, &result))
            abort();
        if (std::memcmp(in, call.inData, DEVICE_RPC_ARRAY_SIZE) != 0) abort();
    }
    return 0;
}
