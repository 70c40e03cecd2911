// Every name and byte layout that the server shares with its neighbours:
// the controlling process, the language monitor, clients, and the spooler's
// registry. Plain C++ with no platform headers, so that the server, the
// tools, the benchmarks and the native fuzzers all take them from here.
//
// Tests do not include this file: they spell the values themselves and so
// check it independently.
#pragma once

#include <cstdint>

// ---------------------------------------------------------------------------
// The DeviceRpc interface.

// Interface 66c55168-0021-4e96-9a7c-5efefdaee407 version 1.0, as an
// RPC_SYNTAX_IDENTIFIER initializer.
#define DEVICE_RPC_INTERFACE_ID                                                      \
    {                                                                                \
        {0x66c55168, 0x0021, 0x4e96, {0x9a, 0x7c, 0x5e, 0xfe, 0xfd, 0xae, 0xe4, 0x07}}, \
        {1, 0}                                                                       \
    }

// NDR 2.0 (8a885d04-1ceb-11c9-9fe8-08002b104860 version 2.0), the only
// transfer syntax offered.
#define NDR20_TRANSFER_SYNTAX                                                        \
    {                                                                                \
        {0x8a885d04, 0x1ceb, 0x11c9, {0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60}}, \
        {2, 0}                                                                       \
    }

constexpr uint32_t DEVICE_RPC_OPNUM_SEND_COMMAND = 0;
constexpr uint32_t DEVICE_RPC_OPNUM_SEND_COMMAND2 = 1;
constexpr uint32_t DEVICE_RPC_OPNUM_DEVICE_REQUEST = 2;
constexpr uint32_t DEVICE_RPC_OPNUM_DEVICE_REQUEST_MAPPED = 3;
constexpr uint32_t DEVICE_RPC_PROCEDURE_COUNT = 4;

// Both arrays of opnums 2 and 3 travel with this constant conformance.
constexpr uint32_t DEVICE_RPC_ARRAY_SIZE = 32768;

// Protocol sequences and the server's fixed endpoints; TCP and NetBIOS
// endpoints are chosen by the runtime.
#define SERVER_PROTSEQ_NETBIOS L"ncacn_nb_nb"
#define SERVER_PROTSEQ_TCP L"ncacn_ip_tcp"
#define SERVER_PROTSEQ_PIPE L"ncacn_np"
#define SERVER_PROTSEQ_LOCAL L"ncalrpc"
#define SERVER_PIPE_ENDPOINT L"\\pipe\\ZOLT7"
#define SERVER_LRPC_ENDPOINT L"MirelVEXA2xZOLT7"

// The listener's registration limits: MaxCalls of every protocol sequence
// and the runtime's maximum of concurrent calls.
constexpr unsigned int SERVER_PROTSEQ_MAX_CALLS = 1;
constexpr unsigned int SERVER_MAX_CONCURRENT_CALLS = 1234;

// ---------------------------------------------------------------------------
// Kernel objects.

// The instance mutex and the controlling process's events, in the
// caller's local namespace.
#define SERVER_INSTANCE_MUTEX L"ZOLT7-rpc-mutex"
#define EVENT_RPC_START L"ZOLT7SM_EVENT_RPC_START"
#define EVENT_RPC_STOP L"ZOLT7SM_EVENT_RPC_STOP"
#define EVENT_RPC_TERMINATE L"ZOLT7SM_EVENT_RPC_TERMINATE"

// The reply mapping of opnum 3 and the mutex that serialises it,
// machine-wide: prefixed with GLOBAL_OBJECT_PREFIX on NT 5.0 and later.
#define REPLY_MAPPING_NAME L"ZOLT7 DeviceRequest Mapped File"
#define REPLY_MUTEX_NAME L"ZOLT7 DeviceRequest Mapped File Mutex"
#define GLOBAL_OBJECT_PREFIX L"Global\\"

// Kernel-object names and the paths of the Monitors and driver keys are
// built in buffers of this many wide characters, terminator included.
constexpr uint32_t OBJECT_NAME_CHARS = 260;

// ---------------------------------------------------------------------------
// Messages to the language monitor (COPYDATASTRUCT.dwData).

constexpr uint32_t MONMSG_COMMAND = 5;
constexpr uint32_t MONMSG_COMMAND2 = 6;
constexpr uint32_t MONMSG_DEVICE_REQUEST = 9;
constexpr uint32_t MONMSG_DEVICE_REQUEST_MAPPED = 11;

// CommandBlock: dwCommand, dwParam, dwNameOffset (16), dwArgumentOffset
// (0 without argument, else 18 + 2p), the name at 16, the argument after it.
// All integers 32-bit little-endian, strings UTF-16LE with a terminator,
// nothing aligned.
constexpr uint32_t COMMAND_BLOCK_NAME_OFFSET = 16;

// RequestBlock: dwRequestCode, dwInputOffset (26 + 2n), dwInputSize,
// dwOutputOffset, dwOutputSize, dwNameOffset (24), the name at 24, the
// input bytes, then an output area of dwOutputSize zero bytes.
constexpr uint32_t REQUEST_BLOCK_NAME_OFFSET = 24;

// The largest input and output sizes a block carries: the arrays' size.
constexpr uint32_t REQUEST_BLOCK_MAX_DATA = DEVICE_RPC_ARRAY_SIZE;

// ---------------------------------------------------------------------------
// Device requests.

constexpr int32_t DEVREQ_CONFIG = 2;
constexpr int32_t DEVREQ_BIN_INFO = 3;
constexpr int32_t DEVREQ_CALIBRATION = 4;
constexpr int32_t DEVREQ_BIN_INFO_WRITE = 5;
constexpr int32_t DEVREQ_COUNTER = 9;
constexpr int32_t DEVREQ_FLASH_DATA = 11;
constexpr int32_t DEVREQ_FLASH_DATA_WRITE = 12;

// The selector byte (the first byte of the input array) that sends flash
// requests to the service settings, and the two flash selectors whose reply
// carries the item.
constexpr uint32_t SELECTOR_SERVICE_SETTINGS = 12;
constexpr uint32_t SELECTOR_FLASH_ITEM_A = 0;
constexpr uint32_t SELECTOR_FLASH_ITEM_B = 10;

// Page counters by selector byte; any selector not listed reads the I/O
// counter. `name` is the counter's name in the tools, `value` its registry
// value under SUBKEY_COUNTER.
struct CounterSelector {
    uint32_t selector;
    const char* name;
    const wchar_t* value;
};

constexpr uint32_t COUNTER_COUNT = 7;
constexpr uint32_t COUNTER_IO_SELECTOR = 1;
constexpr CounterSelector COUNTER_SELECTORS[COUNTER_COUNT] = {
    {0, "mono", L"dwMonoCounter"},       {2, "color", L"dwColorCounter"},
    {5, "black", L"dwBlackCounter"},     {6, "cyan", L"dwCyanCounter"},
    {7, "magenta", L"dwMagentaCounter"}, {8, "yellow", L"dwYellowCounter"},
    {COUNTER_IO_SELECTOR, "io", L"dwIOCounter"},
};

// The index in COUNTER_SELECTORS of the counter that `selector` reads: the
// I/O counter, listed last, for every selector not listed.
inline uint32_t CounterIndexForSelector(uint32_t selector) {
    for (uint32_t index = 0; index < COUNTER_COUNT; ++index)
        if (COUNTER_SELECTORS[index].selector == selector) return index;
    return COUNTER_COUNT - 1;
}

// The registry value of the counter that `selector` reads.
inline const wchar_t* CounterValueForSelector(uint32_t selector) {
    return COUNTER_SELECTORS[CounterIndexForSelector(selector)].value;
}

// ---------------------------------------------------------------------------
// Registry, below HKEY_LOCAL_MACHINE.

// The language monitor's key: its window handle (8 bytes, little-endian)
// and one failure flag per printer, named by the client printer name.
#define MONITORS_KEY L"SOFTWARE\\Mirel\\ZOLT7\\Monitors\\ZOLT7 Monitor"
#define MONITOR_WINDOW_VALUE L"LP Window handle"
constexpr uint32_t MONITOR_WINDOW_VALUE_SIZE = 8;

// Printer data keys are the store root followed by the printer key name
// (the local printer name with every backslash turned into a comma).
#define STORE_ROOT L"SOFTWARE\\Mirel\\ZOLT7\\"

// The spooler's published layout and the monitor its drivers must name.
#define PRINTERS_KEY L"System\\CurrentControlSet\\Control\\Print\\Printers"
#define DRIVERS_KEY_PREFIX \
    L"System\\CurrentControlSet\\Control\\Print\\Environments\\Windows x64\\Drivers\\Version-3\\"
#define MONITOR_NAME L"ZOLT7 Monitor"
#define SPOOLER_NAME_VALUE L"Name"
#define SPOOLER_SHARE_NAME_VALUE L"Share Name"
#define SPOOLER_ATTRIBUTES_VALUE L"Attributes"
#define SPOOLER_STATUS_VALUE L"Status"
#define SPOOLER_DRIVER_VALUE L"Printer Driver"
#define DRIVER_MONITOR_VALUE L"Monitor"

// Subkeys below a printer data key.
#define SUBKEY_CONFIG L"\\Driver\\Config"
#define SUBKEY_BIN_INFO L"\\Driver\\BinInfo\\"
#define SUBKEY_BIN_FORMAT L"\\Driver\\BinInfo\\%d"
#define SUBKEY_CALIBRATION L"\\Driver\\Calibration"
#define SUBKEY_COUNTER L"\\Driver\\Counter"
#define SUBKEY_FLASH_DATA L"\\Driver\\FlashData"
#define SUBKEY_SERVICE_SETTINGS L"\\Driver\\Service Settings"

// Handshake flags.
#define FLAG_ACQUIRED L"Acquired"
#define FLAG_WRITTEN L"Written"

// Device data values.
#define VALUE_DUPLEX L"dwDuplex"
#define VALUE_CASSETTES L"dwNumCassette"
#define VALUE_FIRMWARE L"dwFirmVersion"
#define VALUE_PAPER_SOURCE L"dwPaperSource"
#define VALUE_PAPER_SIZE L"dwPaperSize"
#define VALUE_PAPER_WIDTH L"dwPaperWidth"
#define VALUE_PAPER_HEIGHT L"dwPaperHeight"
#define VALUE_PAPER_LEVEL L"dwPaperLevel"
#define VALUE_CALIBRATION L"CalibrationData"
#define VALUE_FLASH_ID L"dwID"
#define VALUE_FLASH_SIZE L"dwSize"
#define VALUE_FLASH_DATA L"ReturnValue"
#define VALUE_SERVICE_SETTINGS L"Setting Value"

// Buffer sizes in wide characters, terminator included: composed printer
// data key paths, and printer names (at most 259 characters).
constexpr uint32_t PRINTER_KEY_PATH_CHARS = 520;
constexpr uint32_t NAME_BUFFER_CHARS = 260;

// The longest registry value name; a failure flag named after a longer
// printer name cannot exist.
constexpr uint32_t MAX_VALUE_NAME_CHARS = 16383;

// ---------------------------------------------------------------------------
// Reply records, as the device requests return them in pOutData.

// ConfigReply: dwLength (32), cassettes, duplex, firmware, 16 reserved.
constexpr uint32_t CONFIG_REPLY_SIZE = 32;
constexpr uint32_t CONFIG_CASSETTES_OFFSET = 4;
constexpr uint32_t CONFIG_DUPLEX_OFFSET = 8;
constexpr uint32_t CONFIG_FIRMWARE_OFFSET = 12;

// Three BinInfoReply records of 32 bytes: dwLength (32), source, size,
// (reserved), width, height, level, (reserved).
constexpr uint32_t REPLY_BIN_COUNT = 3;
constexpr uint32_t BIN_RECORD_SIZE = 32;
constexpr uint32_t BIN_INFO_REPLY_SIZE = REPLY_BIN_COUNT * BIN_RECORD_SIZE;
constexpr uint32_t BIN_SOURCE_OFFSET = 4;
constexpr uint32_t BIN_SIZE_OFFSET = 8;
constexpr uint32_t BIN_WIDTH_OFFSET = 16;
constexpr uint32_t BIN_HEIGHT_OFFSET = 20;
constexpr uint32_t BIN_LEVEL_OFFSET = 24;

constexpr uint32_t CALIBRATION_SIZE = 60;
constexpr uint32_t COUNTER_REPLY_SIZE = 4;
constexpr uint32_t SERVICE_SETTINGS_SIZE = 18;

// FlashDataReply: the item's 4-byte id, then its "dwSize" data bytes.
constexpr uint32_t FLASH_ID_SIZE = 4;

// ---------------------------------------------------------------------------
// MappedReplyBlock, the content of the reply mapping: dwReserved,
// dwSuccess, dwErrorCode, dwRequestCode (the echo), Data, dwDataSize.
constexpr uint32_t MAPPED_REPLY_SIZE = 32792;
constexpr uint32_t MAPPED_RESERVED_OFFSET = 0;
constexpr uint32_t MAPPED_SUCCESS_OFFSET = 4;
constexpr uint32_t MAPPED_ERROR_OFFSET = 8;
constexpr uint32_t MAPPED_ECHO_OFFSET = 12;
constexpr uint32_t MAPPED_DATA_OFFSET = 16;
constexpr uint32_t MAPPED_DATA_SIZE = 32772;
constexpr uint32_t MAPPED_DATA_SIZE_OFFSET = 32788;

// ---------------------------------------------------------------------------
// Little-endian fields, as every integer of the blocks and records lies.

inline uint16_t GetLittleEndian16(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}

inline void PutLittleEndian16(uint8_t* p, uint16_t value) {
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
}

inline uint32_t GetLittleEndian32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) |
           (uint32_t(p[3]) << 24);
}

inline void PutLittleEndian32(uint8_t* p, uint32_t value) {
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
    p[2] = uint8_t(value >> 16);
    p[3] = uint8_t(value >> 24);
}

inline uint64_t GetLittleEndian64(const uint8_t* p) {
    return uint64_t(GetLittleEndian32(p)) | (uint64_t(GetLittleEndian32(p + 4)) << 32);
}

inline void PutLittleEndian64(uint8_t* p, uint64_t value) {
    PutLittleEndian32(p, uint32_t(value));
    PutLittleEndian32(p + 4, uint32_t(value >> 32));
}
