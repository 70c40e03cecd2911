// The library's header compiled alone as C++17: the same declarations,
// with C linkage.
#include "devicerpc_api.h"

static_assert(sizeof(DEVICERPC_CONFIG) == 32, "ConfigReply");
static_assert(sizeof(DEVICERPC_BINS) == 96, "three BinInfoReply records");
static_assert(sizeof(DEVICERPC_FLASH_ITEM) == 32772, "id, size and data");
