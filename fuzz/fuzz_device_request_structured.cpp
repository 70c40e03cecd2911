// Structure-aware fuzzing of opnums 2 and 3: a compact description is
// expanded into a request and damaged at its boundaries (device_request_shape.h),
// then decoded. The decoder's verdict and, on a stub whose layout survived
// the edits, every decoded field are checked against the description; then
// the RequestBlock and the response, as in fuzz_device_request.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "device_request_checks.h"
#include "device_request_shape.h"
#include "wire_codec.h"

namespace {

// A decoded string lies where it was written and holds the described units.
void CheckString(const ShapedRequest& shaped, const WireString& text, uint32_t offset,
                 const std::vector<uint16_t>& expected, uint32_t drep) {
    if (text.chars != shaped.stub + offset || text.units != expected.size()) abort();
    std::vector<uint16_t> units(text.units);
    CopyWireString(text, drep, units.data());
    if (units != expected) abort();
}

void CheckDescribedFields(const ShapedRequest& shaped, const DeviceRequestCall& call,
                          uint32_t drep) {
    const uint8_t* stub = shaped.stub;
    if (call.dwRequest != shaped.dwRequest || call.cbInData != shaped.cbInData) abort();
    if (call.inData != stub + shaped.inArrayOffset || call.outData != stub + shaped.outArrayOffset)
        abort();
    if ((call.outSizeReferent != 0) != shaped.hasOutSize) abort();
    if (shaped.hasOutSize && call.cbOutData != shaped.cbOutData) abort();
    CheckString(shaped, call.printerName, shaped.nameCharsOffset, shaped.name, drep);
    CheckString(shaped, call.reserved, shaped.reservedCharsOffset, shaped.reserved, drep);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ShapedRequest shaped;
    ExpandShape(data, size, &shaped);
    uint32_t drep = shaped.bigEndian ? WIRE_DREP_BIG_ENDIAN : WIRE_DREP_LITTLE_ENDIAN;

    DeviceRequestCall call;
    bool decoded = DecodeDeviceRequest(shaped.stub, shaped.length, drep, &call);
    if (decoded && shaped.verdict == SHAPE_REJECT) abort();
    if (!decoded && shaped.verdict == SHAPE_ACCEPT) abort();
    if (!decoded) return 0;

    if (shaped.layoutIntact) CheckDescribedFields(shaped, call, drep);
    CheckRequestBlock(shaped.stub, shaped.length, drep, call);
    CheckDeviceResponse(call, shaped.opnum);
    return 0;
}
