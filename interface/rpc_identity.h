// Identity of DeviceRpc on the wire: interface 66c55168-0021-4e96-9a7c-
// 5efefdaee407 version 1.0 over NDR 2.0 (8a885d04-1ceb-11c9-9fe8-
// 08002b104860 version 2.0), the only transfer syntax offered.
#pragma once

#define DEVICE_RPC_INTERFACE_ID                                                      \
    {                                                                                \
        {0x66c55168, 0x0021, 0x4e96, {0x9a, 0x7c, 0x5e, 0xfe, 0xfd, 0xae, 0xe4, 0x07}}, \
        {1, 0}                                                                       \
    }

#define NDR20_TRANSFER_SYNTAX                                                        \
    {                                                                                \
        {0x8a885d04, 0x1ceb, 0x11c9, {0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60}}, \
        {2, 0}                                                                       \
    }
