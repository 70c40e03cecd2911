/* The library's header compiled alone as C99 with -pedantic: it needs no
 * compiler extension and nothing of C++. */
#include "devicerpc_api.h"

/* The records are the reply bytes, so their sizes follow from the fields
 * in C as in C++. */
typedef char config_record_is_32_bytes[sizeof(DEVICERPC_CONFIG) == 32 ? 1 : -1];
typedef char bins_are_96_bytes[sizeof(DEVICERPC_BINS) == 96 ? 1 : -1];
typedef char flash_item_is_id_size_data[sizeof(DEVICERPC_FLASH_ITEM) == 32772 ? 1 : -1];
