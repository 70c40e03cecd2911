// Response decoding on the client side: whatever a server sends back.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "wire_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 20)) return 0;
    std::vector<uint8_t> stub(data + 1, data + size);
    uint32_t drep = (data[0] & 1) ? WIRE_DREP_BIG_ENDIAN : WIRE_DREP_LITTLE_ENDIAN;
    uint8_t result = 0;
    DecodeCommandResponse(stub.data(), uint32_t(stub.size()), drep, &result);
    static uint8_t in[DEVICE_RPC_ARRAY_SIZE];
    static uint8_t out[DEVICE_RPC_ARRAY_SIZE];
    int32_t cbOut = 0;
    int32_t value = 0;
    uint32_t opnum = (data[0] & 2) ? DEVICE_RPC_OPNUM_DEVICE_REQUEST_MAPPED : DEVICE_RPC_OPNUM_DEVICE_REQUEST;
    DecodeDeviceResponse(stub.data(), uint32_t(stub.size()), drep, opnum, (data[0] & 4) != 0, in, out,
                         &cbOut, &value);
    return 0;
}
