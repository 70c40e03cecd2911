// Byte layout of the payloads sent to the language monitor.
#include "payload_layout.h"

#include <cstring>

namespace {

void PutUnits(uint8_t* p, const uint16_t* units, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) PutLittleEndian16(p + 2 * i, units[i]);
}

// Finds the terminator of a UTF-16LE string starting at `offset`; false
// when none lies inside the block.
bool MeasureString(const uint8_t* block, uint32_t length, uint32_t offset, uint32_t* units) {
    if (offset > length) return false;
    for (uint32_t i = offset; length - i >= 2; i += 2) {
        if (block[i] == 0 && block[i + 1] == 0) {
            *units = (i - offset) / 2;
            return true;
        }
    }
    return false;
}

}  // namespace

bool CommandBlockLength(bool withArgument, uint32_t nameLength, uint32_t argumentLength,
                        uint32_t* length) {
    uint64_t total = 18 + 2 * uint64_t(nameLength);
    if (withArgument) total += 2 + 2 * uint64_t(argumentLength);
    if (total > UINT32_MAX) return false;
    *length = uint32_t(total);
    return true;
}

void FillCommandBlock(uint8_t* block, bool withArgument, int32_t dwCommand, int32_t dwParam,
                      const uint16_t* name, uint32_t nameLength, const uint16_t* argument,
                      uint32_t argumentLength) {
    PutLittleEndian32(block + 0, uint32_t(dwCommand));
    PutLittleEndian32(block + 4, uint32_t(dwParam));
    PutLittleEndian32(block + 8, COMMAND_BLOCK_NAME_OFFSET);
    PutUnits(block + COMMAND_BLOCK_NAME_OFFSET, name, nameLength + 1);
    if (withArgument) {
        uint32_t argumentOffset = 18 + 2 * nameLength;
        PutLittleEndian32(block + 12, argumentOffset);
        PutUnits(block + argumentOffset, argument, argumentLength + 1);
    }
}

bool RequestBlockLength(uint32_t nameLength, uint32_t inputSize, uint32_t outputSize,
                        uint32_t* length) {
    if (inputSize > REQUEST_BLOCK_MAX_DATA || outputSize > REQUEST_BLOCK_MAX_DATA) return false;
    uint64_t total = 26 + 2 * uint64_t(nameLength) + inputSize + outputSize;
    if (total > UINT32_MAX) return false;
    *length = uint32_t(total);
    return true;
}

void FillRequestBlock(uint8_t* block, int32_t dwRequest, const uint8_t* input,
                      uint32_t inputSize, bool hasOutput, uint32_t outputSize,
                      const uint16_t* name, uint32_t nameLength) {
    uint32_t inputOffset = 26 + 2 * nameLength;
    PutLittleEndian32(block + 0, uint32_t(dwRequest));
    PutLittleEndian32(block + 20, REQUEST_BLOCK_NAME_OFFSET);
    PutUnits(block + REQUEST_BLOCK_NAME_OFFSET, name, nameLength + 1);
    PutLittleEndian32(block + 4, inputOffset);
    if (input && inputSize) std::memcpy(block + inputOffset, input, inputSize);
    PutLittleEndian32(block + 8, inputSize);
    bool outputFollows = hasOutput && outputSize != 0;
    PutLittleEndian32(block + 12, outputFollows ? inputOffset + inputSize : inputOffset);
    PutLittleEndian32(block + 16, outputSize);
}

bool ParseCommandBlock(const uint8_t* block, uint32_t length, CommandBlockView* view) {
    if (!block || length < 18) return false;
    view->dwCommand = int32_t(GetLittleEndian32(block));
    view->dwParam = int32_t(GetLittleEndian32(block + 4));
    uint32_t nameOffset = GetLittleEndian32(block + 8);
    uint32_t argumentOffset = GetLittleEndian32(block + 12);
    if (!MeasureString(block, length, nameOffset, &view->nameLength)) return false;
    view->name = block + nameOffset;
    view->argument = nullptr;
    view->argumentLength = 0;
    if (argumentOffset != 0) {
        if (!MeasureString(block, length, argumentOffset, &view->argumentLength)) return false;
        view->argument = block + argumentOffset;
    }
    return true;
}

bool ParseRequestBlock(const uint8_t* block, uint32_t length, RequestBlockView* view) {
    if (!block || length < 26) return false;
    view->dwRequestCode = int32_t(GetLittleEndian32(block));
    uint32_t inputOffset = GetLittleEndian32(block + 4);
    view->inputSize = GetLittleEndian32(block + 8);
    view->outputSize = GetLittleEndian32(block + 16);
    uint32_t nameOffset = GetLittleEndian32(block + 20);
    if (!MeasureString(block, length, nameOffset, &view->nameLength)) return false;
    view->name = block + nameOffset;
    if (inputOffset > length || view->inputSize > length - inputOffset) return false;
    view->input = block + inputOffset;
    return true;
}
