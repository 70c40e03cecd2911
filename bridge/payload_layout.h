// Byte layout of the payloads sent to the language monitor. Plain C++ with
// no platform headers: the server builds blocks with it, the reference
// language monitor parses them with it, and both can be fuzzed natively.
//
// All integers are 32-bit little-endian, strings UTF-16LE with one 16-bit
// terminator, nothing aligned. Lengths below count 16-bit units without
// the terminator.
#pragma once

#include <cstdint>

// WM_COPYDATA codes (COPYDATASTRUCT.dwData).
constexpr uint32_t MONMSG_COMMAND = 5;
constexpr uint32_t MONMSG_COMMAND2 = 6;
constexpr uint32_t MONMSG_DEVICE_REQUEST = 9;
constexpr uint32_t MONMSG_DEVICE_REQUEST_MAPPED = 11;

// CommandBlock: dwCommand, dwParam, dwNameOffset (16), dwArgumentOffset
// (0 without argument, else 18 + 2p), the name at 16, the argument after it.
constexpr uint32_t COMMAND_BLOCK_NAME_OFFSET = 16;

// RequestBlock: dwRequestCode, dwInputOffset (26 + 2n), dwInputSize,
// dwOutputOffset, dwOutputSize, dwNameOffset (24), the name at 24, the
// input bytes, then an output area of dwOutputSize zero bytes.
constexpr uint32_t REQUEST_BLOCK_NAME_OFFSET = 24;

// The largest input and output sizes a block carries: the arrays' size.
constexpr uint32_t REQUEST_BLOCK_MAX_DATA = 32768;

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

uint32_t GetLittleEndian32(const uint8_t* p);
void PutLittleEndian32(uint8_t* p, uint32_t value);
