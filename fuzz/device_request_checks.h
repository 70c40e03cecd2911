// Checks shared by the device-request fuzz targets, run on every request the
// decoder accepted. Each aborts on the first fault, so that libFuzzer keeps
// the input.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire_codec.h"

// The arrays lie inside the stub; the RequestBlock built from the decoded
// request, as the server builds it, parses back to the same sizes and input.
void CheckRequestBlock(const uint8_t* stub, size_t size, uint32_t drep,
                       const DeviceRequestCall& call);

// The response of `opnum` encoded for the decoded request decodes back to
// the same arrays, output size and result.
void CheckDeviceResponse(const DeviceRequestCall& call, uint32_t opnum);
