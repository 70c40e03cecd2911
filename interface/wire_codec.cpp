// NDR 2.0 encoding and decoding of the four DeviceRpc procedures.
#include "wire_codec.h"

#include <cstring>

namespace {

// A cursor over a received buffer. Every step checks the remaining length
// before it touches a byte; once a step fails the cursor stays failed.
struct WireReader {
    const uint8_t* data;
    uint32_t length;
    uint32_t offset;
    bool bigEndian;
    bool ok;
};

WireReader StartReader(const uint8_t* data, uint32_t length, uint32_t drep) {
    WireReader reader;
    reader.data = data;
    reader.length = data ? length : 0;
    reader.offset = 0;
    reader.bigEndian = (drep & 0xF0) == 0;
    reader.ok = data != nullptr || length == 0;
    return reader;
}

// NDR aligns every primitive to its size, counted from the start of the
// stub data; the padding must be inside the buffer.
void Align(WireReader* reader, uint32_t alignment) {
    uint32_t padding = (alignment - reader->offset % alignment) % alignment;
    if (!reader->ok || reader->length - reader->offset < padding) {
        reader->ok = false;
        return;
    }
    reader->offset += padding;
}

const uint8_t* Take(WireReader* reader, uint32_t count) {
    if (!reader->ok || reader->length - reader->offset < count) {
        reader->ok = false;
        return nullptr;
    }
    const uint8_t* where = reader->data + reader->offset;
    reader->offset += count;
    return where;
}

uint32_t ReadUInt32(WireReader* reader) {
    Align(reader, 4);
    const uint8_t* p = Take(reader, 4);
    if (!p) return 0;
    if (reader->bigEndian)
        return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
    return GetLittleEndian32(p);
}

int32_t ReadInt32(WireReader* reader) {
    return static_cast<int32_t>(ReadUInt32(reader));
}

uint16_t UnitAt(const uint8_t* chars, uint32_t index, bool bigEndian) {
    const uint8_t* p = chars + 2 * size_t(index);
    return bigEndian ? uint16_t((p[0] << 8) | p[1]) : GetLittleEndian16(p);
}

// A [string] wide string behind a reference pointer: maximum count, offset,
// actual count, then the units. The offset must be 0, the actual count may
// not exceed the maximum, and the last unit sent must be the terminator.
WireString ReadString(WireReader* reader) {
    WireString text = {nullptr, 0};
    uint32_t maximum = ReadUInt32(reader);
    uint32_t offset = ReadUInt32(reader);
    uint32_t actual = ReadUInt32(reader);
    if (!reader->ok) return text;
    if (offset != 0 || actual == 0 || actual > maximum ||
        actual > (reader->length - reader->offset) / 2) {
        reader->ok = false;
        return text;
    }
    const uint8_t* chars = Take(reader, actual * 2);
    if (!chars || UnitAt(chars, actual - 1, reader->bigEndian) != 0) {
        reader->ok = false;
        return text;
    }
    text.chars = chars;
    text.units = actual;
    return text;
}

// A top-level conformant array with the constant conformance 32768.
const uint8_t* ReadFixedArray(WireReader* reader) {
    uint32_t conformance = ReadUInt32(reader);
    if (!reader->ok || conformance != DEVICE_RPC_ARRAY_SIZE) {
        reader->ok = false;
        return nullptr;
    }
    return Take(reader, DEVICE_RPC_ARRAY_SIZE);
}

// Encoding into a buffer whose size the caller computed with the matching
// length function; alignment padding is written as zeros.
struct WireWriter {
    uint8_t* data;
    uint32_t offset;
};

void PutAlign(WireWriter* writer, uint32_t alignment) {
    while (writer->offset % alignment) writer->data[writer->offset++] = 0;
}

void PutUInt32(WireWriter* writer, uint32_t value) {
    PutAlign(writer, 4);
    PutLittleEndian32(writer->data + writer->offset, value);
    writer->offset += 4;
}

void PutBytes(WireWriter* writer, const uint8_t* bytes, uint32_t count) {
    std::memcpy(writer->data + writer->offset, bytes, count);
    writer->offset += count;
}

void PutString(WireWriter* writer, const uint16_t* units, uint32_t count) {
    PutUInt32(writer, count);
    PutUInt32(writer, 0);
    PutUInt32(writer, count);
    for (uint32_t i = 0; i < count; ++i) {
        PutLittleEndian16(writer->data + writer->offset, units[i]);
        writer->offset += 2;
    }
}

void PutFixedArray(WireWriter* writer, const uint8_t* bytes) {
    PutUInt32(writer, DEVICE_RPC_ARRAY_SIZE);
    PutBytes(writer, bytes, DEVICE_RPC_ARRAY_SIZE);
}

// Adds the encoded size of a string to `*length`, starting at an offset
// that is a multiple of 4; false when the sum would leave 32 bits.
bool AddStringLength(uint64_t* length, uint32_t units) {
    *length = (*length + 3) / 4 * 4 + 12 + uint64_t(units) * 2;
    return *length <= UINT32_MAX;
}

}  // namespace

bool DecodeCommandRequest(const uint8_t* buffer, uint32_t length, uint32_t drep,
                          CommandRequest* request) {
    WireReader reader = StartReader(buffer, length, drep);
    request->dwCommand = ReadInt32(&reader);
    request->dwParam = ReadInt32(&reader);
    request->printerName = ReadString(&reader);
    request->argument = ReadString(&reader);
    return reader.ok;
}

bool DecodeDeviceRequest(const uint8_t* buffer, uint32_t length, uint32_t drep,
                         DeviceRequestCall* request) {
    WireReader reader = StartReader(buffer, length, drep);
    request->dwRequest = ReadInt32(&reader);
    request->inData = ReadFixedArray(&reader);
    request->cbInData = ReadInt32(&reader);
    request->outData = ReadFixedArray(&reader);
    request->outSizeReferent = ReadUInt32(&reader);
    request->cbOutData = request->outSizeReferent ? ReadInt32(&reader) : 0;
    request->printerName = ReadString(&reader);
    request->reserved = ReadString(&reader);
    return reader.ok;
}

void CopyWireString(const WireString& source, uint32_t drep, uint16_t* dest) {
    bool bigEndian = (drep & 0xF0) == 0;
    for (uint32_t i = 0; i < source.units; ++i) dest[i] = UnitAt(source.chars, i, bigEndian);
}

uint32_t CommandResponseLength() {
    return 1;
}

void EncodeCommandResponse(uint8_t* buffer, uint8_t result) {
    buffer[0] = result;
}

uint32_t DeviceResponseLength(uint32_t opnum, bool hasOutSize) {
    // Two arrays with their conformance, the referent, the long behind it.
    uint32_t length = 2 * (4 + DEVICE_RPC_ARRAY_SIZE) + 4 + (hasOutSize ? 4 : 0);
    return length + (opnum == DEVICE_RPC_OPNUM_DEVICE_REQUEST_MAPPED ? 4 : 1);
}

void EncodeDeviceResponse(uint8_t* buffer, uint32_t opnum, const uint8_t* inData,
                          const uint8_t* outData, uint32_t outSizeReferent,
                          int32_t cbOutData, int32_t result) {
    WireWriter writer = {buffer, 0};
    PutFixedArray(&writer, inData);
    PutFixedArray(&writer, outData);
    PutUInt32(&writer, outSizeReferent);
    if (outSizeReferent) PutUInt32(&writer, static_cast<uint32_t>(cbOutData));
    if (opnum == DEVICE_RPC_OPNUM_DEVICE_REQUEST_MAPPED)
        PutUInt32(&writer, static_cast<uint32_t>(result));
    else
        writer.data[writer.offset++] = result ? 1 : 0;
}

bool CommandRequestLength(uint32_t nameUnits, uint32_t argumentUnits, uint32_t* length) {
    uint64_t total = 8;
    if (!AddStringLength(&total, nameUnits) || !AddStringLength(&total, argumentUnits))
        return false;
    *length = static_cast<uint32_t>(total);
    return true;
}

void EncodeCommandRequest(uint8_t* buffer, int32_t dwCommand, int32_t dwParam,
                          const uint16_t* name, uint32_t nameUnits,
                          const uint16_t* argument, uint32_t argumentUnits) {
    WireWriter writer = {buffer, 0};
    PutUInt32(&writer, static_cast<uint32_t>(dwCommand));
    PutUInt32(&writer, static_cast<uint32_t>(dwParam));
    PutString(&writer, name, nameUnits);
    PutString(&writer, argument, argumentUnits);
}

bool DeviceRequestLength(bool hasOutSize, uint32_t nameUnits, uint32_t reservedUnits,
                         uint32_t* length) {
    uint64_t total = 4 + 2 * (4 + uint64_t(DEVICE_RPC_ARRAY_SIZE)) + 4 + 4 + (hasOutSize ? 4 : 0);
    if (!AddStringLength(&total, nameUnits) || !AddStringLength(&total, reservedUnits))
        return false;
    *length = static_cast<uint32_t>(total);
    return true;
}

void EncodeDeviceRequest(uint8_t* buffer, int32_t dwRequest, const uint8_t* inData,
                         int32_t cbInData, const uint8_t* outData, bool hasOutSize,
                         int32_t cbOutData, const uint16_t* name, uint32_t nameUnits,
                         const uint16_t* reserved, uint32_t reservedUnits) {
    WireWriter writer = {buffer, 0};
    PutUInt32(&writer, static_cast<uint32_t>(dwRequest));
    PutFixedArray(&writer, inData);
    PutUInt32(&writer, static_cast<uint32_t>(cbInData));
    PutFixedArray(&writer, outData);
    // A full pointer's referent identifier; any non-zero value will do for
    // a single pointer, and 0x00020000 is what generated stubs send first.
    PutUInt32(&writer, hasOutSize ? 0x00020000u : 0u);
    if (hasOutSize) PutUInt32(&writer, static_cast<uint32_t>(cbOutData));
    PutString(&writer, name, nameUnits);
    PutString(&writer, reserved, reservedUnits);
}

bool DecodeCommandResponse(const uint8_t* buffer, uint32_t length, uint32_t drep,
                           uint8_t* result) {
    WireReader reader = StartReader(buffer, length, drep);
    const uint8_t* p = Take(&reader, 1);
    if (!p) return false;
    *result = *p;
    return true;
}

bool DecodeDeviceResponse(const uint8_t* buffer, uint32_t length, uint32_t drep,
                          uint32_t opnum, bool hasOutSize, uint8_t* inData,
                          uint8_t* outData, int32_t* cbOutData, int32_t* result) {
    WireReader reader = StartReader(buffer, length, drep);
    const uint8_t* in = ReadFixedArray(&reader);
    const uint8_t* out = ReadFixedArray(&reader);
    uint32_t referent = ReadUInt32(&reader);
    if (!reader.ok || (referent != 0) != hasOutSize) return false;
    int32_t outSize = referent ? ReadInt32(&reader) : 0;
    int32_t value = 0;
    if (opnum == DEVICE_RPC_OPNUM_DEVICE_REQUEST_MAPPED) {
        value = ReadInt32(&reader);
    } else {
        const uint8_t* p = Take(&reader, 1);
        value = p ? *p : 0;
    }
    if (!reader.ok) return false;
    std::memcpy(inData, in, DEVICE_RPC_ARRAY_SIZE);
    std::memcpy(outData, out, DEVICE_RPC_ARRAY_SIZE);
    if (referent) *cbOutData = outSize;
    *result = value;
    return true;
}
