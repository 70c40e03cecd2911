// Byte layout of the payloads sent to the language monitor. Plain C++ with
// no platform headers: the server builds blocks with it, the reference
// language monitor parses them with it, and both can be fuzzed natively.
//
// All integers are 32-bit little-endian, strings UTF-16LE with one 16-bit
// terminator, nothing aligned. Lengths below count 16-bit units without
// the terminator.
#pragma once

#include <cstdint>

#include "devicerpc_contract.h"

// Length of a CommandBlock; false when it would not fit 32 bits.
bool CommandBlockLength(bool withArgument, uint32_t nameLength, uint32_t argumentLength,
                        uint32_t* length);

// Writes a CommandBlock into `block`, which is zero-filled and exactly
// CommandBlockLength bytes long.
void FillCommandBlock(uint8_t* block, bool withArgument, int32_t dwCommand, int32_t dwParam,
                      const uint16_t* name, uint32_t nameLength, const uint16_t* argument,
                      uint32_t argumentLength);

// Length of a RequestBlock, 26 + 2n + I + O; false when I or O exceeds
// REQUEST_BLOCK_MAX_DATA or the sum would not fit 32 bits.
bool RequestBlockLength(uint32_t nameLength, uint32_t inputSize, uint32_t outputSize,
                        uint32_t* length);

// Writes a RequestBlock into `block` (zero-filled, RequestBlockLength
// bytes). The output offset follows the input only when there is an
// output array and a non-zero output size.
void FillRequestBlock(uint8_t* block, int32_t dwRequest, const uint8_t* input,
                      uint32_t inputSize, bool hasOutput, uint32_t outputSize,
                      const uint16_t* name, uint32_t nameLength);

// Decoded views of received blocks; strings point into the block and are
// known to be terminated inside it.
struct CommandBlockView {
    int32_t dwCommand;
    int32_t dwParam;
    const uint8_t* name;      // UTF-16LE, terminated
    uint32_t nameLength;
    const uint8_t* argument;  // null when the block has none
    uint32_t argumentLength;
};

struct RequestBlockView {
    int32_t dwRequestCode;
    const uint8_t* name;
    uint32_t nameLength;
    const uint8_t* input;
    uint32_t inputSize;
    uint32_t outputSize;
};

bool ParseCommandBlock(const uint8_t* block, uint32_t length, CommandBlockView* view);
bool ParseRequestBlock(const uint8_t* block, uint32_t length, RequestBlockView* view);

