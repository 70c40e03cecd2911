// Request decoding of opnums 2 and 3 from raw bytes, the RequestBlock built
// from what was decoded, and the response encoding. Its structure-aware
// companion, fuzz_device_request_structured, runs far more cases a second.
#include <cstdint>
#include <vector>

#include "device_request_checks.h"
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
    CheckRequestBlock(stub.data(), stub.size(), drep, call);
    for (uint32_t opnum : {DEVICE_RPC_OPNUM_DEVICE_REQUEST, DEVICE_RPC_OPNUM_DEVICE_REQUEST_MAPPED})
        CheckDeviceResponse(call, opnum);
    return 0;
}
