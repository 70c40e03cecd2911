// Memory routines of the DeviceRpc stubs.
#include "DeviceRpc.h"

#include <cstdlib>

// Returns a block of `size` bytes from malloc, or null when none is left.
extern "C" void* __RPC_USER MIDL_user_allocate(size_t size) {
    return std::malloc(size);
}

// Returns a block from MIDL_user_allocate to malloc.
extern "C" void __RPC_USER MIDL_user_free(void* block) {
    std::free(block);
}
