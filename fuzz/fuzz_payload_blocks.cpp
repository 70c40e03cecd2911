// The block parsers the reference language monitor runs on what it
// receives: any bytes, never a read outside the block.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "payload_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    // An exact-size copy lets AddressSanitizer see any read past the end.
    std::vector<uint8_t> block(data, data + size);
    CommandBlockView command;
    if (ParseCommandBlock(block.data(), uint32_t(block.size()), &command)) {
        const uint8_t* end = block.data() + block.size();
        if (command.name + 2 * size_t(command.nameLength) + 2 > end) abort();
        if (command.argument && command.argument + 2 * size_t(command.argumentLength) + 2 > end)
            abort();
    }
    RequestBlockView request;
    if (ParseRequestBlock(block.data(), uint32_t(block.size()), &request)) {
        volatile uint8_t sum = 0;
        for (uint32_t i = 0; i < request.inputSize; ++i) sum += request.input[i];
        (void)sum;
    }
    return 0;
}
