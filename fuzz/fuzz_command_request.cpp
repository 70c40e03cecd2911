// Request decoding of opnums 0 and 1, the CommandBlock built from what was
// decoded, as the server would build it, and the response encoded.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "payload_layout.h"
#include "wire_codec.h"

// The first input byte chooses the byte order; the rest is the stub data.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > UINT32_MAX) return 0;
    uint32_t drep = (data[0] & 1) ? WIRE_DREP_BIG_ENDIAN : WIRE_DREP_LITTLE_ENDIAN;
    CommandRequest request;
    if (!DecodeCommandRequest(data + 1, uint32_t(size - 1), drep, &request)) return 0;

    std::vector<uint16_t> name(request.printerName.units);
    std::vector<uint16_t> argument(request.argument.units);
    CopyWireString(request.printerName, drep, name.data());
    CopyWireString(request.argument, drep, argument.data());
    if (name.back() != 0 || argument.back() != 0) abort();

    // The server measures strings up to their first terminator.
    uint32_t nameLength = 0;
    while (name[nameLength]) ++nameLength;
    uint32_t argumentLength = 0;
    while (argument[argumentLength]) ++argumentLength;
    for (bool withArgument : {false, true}) {
        uint32_t length = 0;
        if (!CommandBlockLength(withArgument, nameLength, argumentLength, &length)) abort();
        std::vector<uint8_t> block(length, 0);
        FillCommandBlock(block.data(), withArgument, request.dwCommand, request.dwParam, name.data(),
                         nameLength, argument.data(), argumentLength);
        CommandBlockView view;
        if (!ParseCommandBlock(block.data(), length, &view)) abort();
        if (view.nameLength != nameLength || view.dwCommand != request.dwCommand) abort();
        if (withArgument && view.argumentLength != argumentLength) abort();
    }

    // The answer is the routine's boolean as one octet, whatever it is.
    std::vector<uint8_t> response(CommandResponseLength(), 0xCC);
    if (response.size() != 1) abort();
    uint8_t result = static_cast<uint8_t>(request.dwCommand);
    EncodeCommandResponse(response.data(), result);
    if (response[0] != result) abort();
    return 0;
}
