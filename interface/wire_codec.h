// NDR 2.0 encoding and decoding of the four DeviceRpc procedures.
//
// Plain C++ with no platform headers, so that the same code serves the
// Windows server and client and can be built natively for fuzzing. A
// decoder never trusts a count from the wire: every read is checked against
// the received length first, and a request that breaks a rule of the
// contract is refused as a whole.
#pragma once

#include <cstddef>
#include <cstdint>

#include "devicerpc_contract.h"

// Data representation label of a message, as the runtime hands it over:
// the low nibble of the first octet is the character set, the high nibble
// the integer byte order (1 little-endian, 0 big-endian).
constexpr uint32_t WIRE_DREP_LITTLE_ENDIAN = 0x00000010;
constexpr uint32_t WIRE_DREP_BIG_ENDIAN = 0x00000000;

// A conformant varying wide string as it lies in a received buffer.
// `units` counts 16-bit units including the terminator; the characters are
// still in the sender's byte order.
struct WireString {
    const uint8_t* chars;
    uint32_t units;
};

// Request of opnums 0 and 1.
struct CommandRequest {
    int32_t dwCommand;
    int32_t dwParam;
    WireString printerName;
    WireString argument;
};

// Request of opnums 2 and 3. The arrays point into the received buffer.
struct DeviceRequestCall {
    int32_t dwRequest;
    const uint8_t* inData;   // DEVICE_RPC_ARRAY_SIZE bytes
    int32_t cbInData;
    const uint8_t* outData;  // DEVICE_RPC_ARRAY_SIZE bytes
    uint32_t outSizeReferent;  // 0: pcbOutData is a null pointer
    int32_t cbOutData;         // meaningful only when outSizeReferent != 0
    WireString printerName;
    WireString reserved;
};

// Decoders: true when `buffer` holds a well-formed request in the byte
// order named by `drep`. Nothing is copied; the record points into `buffer`.
bool DecodeCommandRequest(const uint8_t* buffer, uint32_t length, uint32_t drep,
                          CommandRequest* request);
bool DecodeDeviceRequest(const uint8_t* buffer, uint32_t length, uint32_t drep,
                         DeviceRequestCall* request);

// Copies a decoded string into `dest` (wire->units units, terminator
// included) as native little-endian 16-bit units.
void CopyWireString(const WireString& source, uint32_t drep, uint16_t* dest);

// Response sizes and encoders (always little-endian, the server's own
// representation). A device response carries both arrays, the output size
// behind its referent when the pointer is not null, and the result.
uint32_t CommandResponseLength();
void EncodeCommandResponse(uint8_t* buffer, uint8_t result);

uint32_t DeviceResponseLength(uint32_t opnum, bool hasOutSize);
void EncodeDeviceResponse(uint8_t* buffer, uint32_t opnum, const uint8_t* inData,
                          const uint8_t* outData, uint32_t outSizeReferent,
                          int32_t cbOutData, int32_t result);

// Client side: request sizes and encoders, and response decoders.
// Strings are given as little-endian 16-bit units with `units` counting
// the terminator. The encoders write little-endian.
bool CommandRequestLength(uint32_t nameUnits, uint32_t argumentUnits, uint32_t* length);
void EncodeCommandRequest(uint8_t* buffer, int32_t dwCommand, int32_t dwParam,
                          const uint16_t* name, uint32_t nameUnits,
                          const uint16_t* argument, uint32_t argumentUnits);

bool DeviceRequestLength(bool hasOutSize, uint32_t nameUnits, uint32_t reservedUnits,
                         uint32_t* length);
void EncodeDeviceRequest(uint8_t* buffer, int32_t dwRequest, const uint8_t* inData,
                         int32_t cbInData, const uint8_t* outData, bool hasOutSize,
                         int32_t cbOutData, const uint16_t* name, uint32_t nameUnits,
                         const uint16_t* reserved, uint32_t reservedUnits);

bool DecodeCommandResponse(const uint8_t* buffer, uint32_t length, uint32_t drep,
                           uint8_t* result);

// Copies both arrays into the caller's 32768-byte buffers, and the output
// size into `*cbOutData` when the response carries one.
bool DecodeDeviceResponse(const uint8_t* buffer, uint32_t length, uint32_t drep,
                          uint32_t opnum, bool hasOutSize, uint8_t* inData,
                          uint8_t* outData, int32_t* cbOutData, int32_t* result);
